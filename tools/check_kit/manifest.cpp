#include "manifest.h"

#include <filesystem>
#include <fstream>
#include <sstream>

std::wstring Widen(const std::string& s)
{
    if (s.empty()) return {};
    const int cch = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(cch, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), cch);
    return w;
}

std::string Narrow(const std::wstring& w)
{
    if (w.empty()) return {};
    const int cb =
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), cb, nullptr, nullptr);
    return s;
}

std::wstring KitProgram::Name() const
{
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    if (name.size() > 4 && !_wcsicmp(name.c_str() + name.size() - 4, L".exe")) name.resize(name.size() - 4);
    return name;
}

namespace {

std::vector<std::wstring> Split(const std::wstring& line, wchar_t separator)
{
    std::vector<std::wstring> fields;
    std::wstring field;
    std::wistringstream in(line);
    while (std::getline(in, field, separator))
        fields.push_back(field);
    return fields;
}

// GoogleTest's own matching: '*' any run of characters, '?' one.
bool MatchesPattern(const wchar_t* name, const wchar_t* pattern)
{
    switch (*pattern) {
    case L'\0':
        return *name == L'\0';
    case L'?':
        return *name != L'\0' && MatchesPattern(name + 1, pattern + 1);
    case L'*':
        return (*name != L'\0' && MatchesPattern(name + 1, pattern)) || MatchesPattern(name, pattern + 1);
    default:
        return *pattern == *name && MatchesPattern(name + 1, pattern + 1);
    }
}

} // namespace

bool MatchesFilter(const std::wstring& name, const std::wstring& filter)
{
    for (const std::wstring& pattern : Split(filter, L':'))
        if (MatchesPattern(name.c_str(), pattern.c_str())) return true;
    return false;
}

bool ReadManifest(const std::wstring& file, std::vector<KitProgram>& programs, std::wstring& error)
{
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    if (!in) {
        error = L"cannot open " + file;
        return false;
    }
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.empty() || raw[0] == '#') continue;
        std::vector<std::wstring> f = Split(Widen(raw), L'\t');
        auto bad = [&](LPCWSTR why) {
            error = file + L", line " + std::to_wstring(number) + L": " + why;
            return false;
        };
        if (f[0] == L"program") {
            if (f.size() != 5) return bad(L"a program line has 5 fields");
            KitProgram program;
            program.path = f[1];
            for (wchar_t& ch : program.path)
                if (ch == L'/') ch = L'\\';
            program.arch = f[2];
            program.seconds = wcstoul(f[3].c_str(), nullptr, 10);
            if (!program.seconds) return bad(L"no time limit");
            if (f[4] != L"-") program.needs = Split(f[4], L',');
            programs.push_back(std::move(program));
            continue;
        }
        if (programs.empty()) return bad(L"a line before the first program");
        KitProgram& program = programs.back();
        if (f[0] == L"test" && f.size() == 3) {
            program.tests.push_back(f[2]);
        } else if (f[0] == L"isolate" && f.size() == 3) {
            program.isolated.push_back(f[2]);
        } else if (f[0] == L"only" && f.size() == 5 && (f[2] == L"wine" || f[2] == L"windows")) {
            program.only.push_back({f[2], f[3], f[4]});
        } else {
            return bad(L"neither a program, a test, an only nor an isolate line");
        }
    }
    if (programs.empty()) {
        error = file + L" lists no program";
        return false;
    }
    return true;
}
