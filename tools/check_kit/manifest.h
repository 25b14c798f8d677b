// The kit's manifest, written by the build: each GoogleTest program with its
// architecture, what it needs, its time limit, its tests and the tests whose
// premise holds only on Wine or only on Windows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct OnlyRule {
    std::wstring where;  // "wine" or "windows"
    std::wstring filter; // a GoogleTest filter
    std::wstring reason;
};

struct KitProgram {
    std::wstring path; // relative to the kit's folder
    std::wstring arch; // "x64" or "x86"
    DWORD seconds = 0;
    std::vector<std::wstring> needs; // elevation, vcontroller, desktop, x86, no-product
    std::vector<std::wstring> tests; // GoogleTest filters, one per test (a family for TEST_P)
    std::vector<OnlyRule> only;
    std::vector<std::wstring> isolated; // tests that run each in a process of its own

    std::wstring Name() const; // the file name without ".exe"
};

// Reads a manifest; false with the reason when it cannot be read or a line is malformed.
bool ReadManifest(const std::wstring& file, std::vector<KitProgram>& programs, std::wstring& error);

// Whether a test's full name matches one pattern of GoogleTest's filter
// syntax ('*', '?', patterns separated by ':').
bool MatchesFilter(const std::wstring& name, const std::wstring& filter);

std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);
