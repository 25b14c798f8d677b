// What the machine under the kit is and has, gathered before any test runs:
// each program's needs are met or not from these facts alone.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Fact {
    std::wstring name;
    bool fYes;
    std::wstring detail;
};

struct MachineFacts {
    bool fWine = false;
    std::wstring platform; // "Wine 9.0 (Windows 10.0.19045)" or "Windows 10.0.22631"
    bool fNativeX64 = false;
    bool fX86Starts = false;
    bool fElevated = false;
    bool fDesktop = false;
    bool fProduct = false;           // the product's Uninstall entry or its driver's class
    bool fRealDriver = false;        // a controller service that is not the kit's
    bool fVirtualController = false; // the kit's drivers are installed
    bool fTestSigning = false;       // Windows loads drivers signed with a test certificate
    std::vector<Fact> facts;         // the above in words, in the order to print
};

// X86PROGRAM: an x86 program of the kit to try, or empty when it has none.
MachineFacts GatherFacts(const std::wstring& x86Program, const std::wstring& workDirectory);

// Installs the kit's virtual controller (KIT\x64\vcontroller.exe install)
// where it may: elevated, not there yet, and no real controller driver holding
// its service, which it must never replace. The outcome becomes a fact.
void InstallVirtualController(MachineFacts& facts, const std::wstring& kit,
                              const std::wstring& workDirectory);

// Whether NEED is met; when not, the reason and the remedy.
bool NeedMet(const MachineFacts& facts, const std::wstring& need, std::wstring& reason, std::wstring& remedy);
