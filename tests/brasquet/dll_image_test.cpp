// brasquet.dll as a file: a 64-bit DLL that imports nothing but Windows
// system DLLs (the C and C++ runtimes are linked in) and exports exactly its
// two COM entry points, by name, with their fixed ordinals.
#include "driver_activation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// The DLL read from disk, with RVAs resolved through its section table.
class PeImage {
public:
    explicit PeImage(const std::wstring& path)
    {
        FILE* pFile = _wfopen(path.c_str(), L"rb");
        if (!pFile) return;
        BYTE rgb[65536];
        size_t cb;
        while ((cb = fread(rgb, 1, sizeof(rgb), pFile)) > 0)
            bytes_.insert(bytes_.end(), rgb, rgb + cb);
        fclose(pFile);
        const auto* pDos = At<IMAGE_DOS_HEADER>(0);
        if (!pDos || pDos->e_magic != IMAGE_DOS_SIGNATURE) return;
        pNt_ = At<IMAGE_NT_HEADERS64>(static_cast<DWORD>(pDos->e_lfanew));
        if (!pNt_ || pNt_->Signature != IMAGE_NT_SIGNATURE) pNt_ = nullptr;
    }

    const IMAGE_NT_HEADERS64* Nt() const { return pNt_; }

    template <class T> const T* At(DWORD dwOffset) const
    {
        if (static_cast<size_t>(dwOffset) + sizeof(T) > bytes_.size()) return nullptr;
        return reinterpret_cast<const T*>(bytes_.data() + dwOffset);
    }

    // File offset of an RVA, or 0 when no section holds it.
    DWORD Offset(DWORD dwRva) const
    {
        const auto* pSection = IMAGE_FIRST_SECTION(pNt_);
        for (WORD i = 0; i < pNt_->FileHeader.NumberOfSections; ++i, ++pSection) {
            const DWORD cbSection = std::max(pSection->Misc.VirtualSize, pSection->SizeOfRawData);
            if (dwRva >= pSection->VirtualAddress && dwRva < pSection->VirtualAddress + cbSection)
                return dwRva - pSection->VirtualAddress + pSection->PointerToRawData;
        }
        return 0;
    }

    template <class T> const T* AtRva(DWORD dwRva) const
    {
        const DWORD dwOffset = Offset(dwRva);
        return dwOffset ? At<T>(dwOffset) : nullptr;
    }

    std::string StringAtRva(DWORD dwRva) const
    {
        const DWORD dwOffset = Offset(dwRva);
        std::string s;
        for (size_t i = dwOffset; dwOffset && i < bytes_.size() && bytes_[i]; ++i)
            s += static_cast<char>(bytes_[i]);
        return s;
    }

    const IMAGE_DATA_DIRECTORY& Directory(int i) const { return pNt_->OptionalHeader.DataDirectory[i]; }

    std::vector<std::string> ImportedDlls() const
    {
        std::vector<std::string> dlls;
        const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
        for (DWORD i = 0; dwRva; ++i) {
            const auto* pDescriptor =
                AtRva<IMAGE_IMPORT_DESCRIPTOR>(dwRva + i * sizeof(IMAGE_IMPORT_DESCRIPTOR));
            if (!pDescriptor || pDescriptor->Name == 0) break;
            dlls.push_back(StringAtRva(pDescriptor->Name));
        }
        return dlls;
    }

    std::vector<std::string> DelayImportedDlls() const
    {
        std::vector<std::string> dlls;
        const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).VirtualAddress;
        for (DWORD i = 0; dwRva; ++i) {
            const auto* pDescriptor =
                AtRva<IMAGE_DELAYLOAD_DESCRIPTOR>(dwRva + i * sizeof(IMAGE_DELAYLOAD_DESCRIPTOR));
            if (!pDescriptor || pDescriptor->DllNameRVA == 0) break;
            dlls.push_back(StringAtRva(pDescriptor->DllNameRVA));
        }
        return dlls;
    }

    // Exported names with their ordinals, and the count of all exports.
    std::map<std::string, DWORD> Exports(DWORD* pcFunctions) const
    {
        std::map<std::string, DWORD> exports;
        *pcFunctions = 0;
        const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress;
        const auto* pDirectory = dwRva ? AtRva<IMAGE_EXPORT_DIRECTORY>(dwRva) : nullptr;
        if (!pDirectory) return exports;
        for (DWORD i = 0; i < pDirectory->NumberOfFunctions; ++i) {
            const auto* pdwFunction = AtRva<DWORD>(pDirectory->AddressOfFunctions + i * sizeof(DWORD));
            *pcFunctions += pdwFunction && *pdwFunction ? 1 : 0;
        }
        for (DWORD i = 0; i < pDirectory->NumberOfNames; ++i) {
            const auto* pdwName = AtRva<DWORD>(pDirectory->AddressOfNames + i * sizeof(DWORD));
            const auto* pwOrdinal = AtRva<WORD>(pDirectory->AddressOfNameOrdinals + i * sizeof(WORD));
            if (pdwName && pwOrdinal) exports[StringAtRva(*pdwName)] = pDirectory->Base + *pwOrdinal;
        }
        return exports;
    }

private:
    std::vector<BYTE> bytes_;
    const IMAGE_NT_HEADERS64* pNt_ = nullptr;
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return static_cast<char>(tolower(ch)); });
    return s;
}

// The Windows system DLLs the driver may depend on; a compiler runtime DLL
// (libstdc++, libgcc, libwinpthread) or anything else fails the test.
const std::set<std::string> SYSTEM_DLLS = {
    "kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll", "ole32.dll", "oleaut32.dll",
};

TEST(DllImage, IsA64BitDll)
{
    PeImage image(DefaultDriverPath());
    ASSERT_NE(nullptr, image.Nt());
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, image.Nt()->FileHeader.Machine);
    EXPECT_TRUE(image.Nt()->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(DllImage, ImportsOnlyWindowsSystemDlls)
{
    PeImage image(DefaultDriverPath());
    ASSERT_NE(nullptr, image.Nt());
    const std::vector<std::string> dlls = image.ImportedDlls();
    EXPECT_FALSE(dlls.empty());
    for (const std::string& dll : dlls)
        EXPECT_TRUE(SYSTEM_DLLS.count(Lower(dll))) << "imports " << dll;
    for (const std::string& dll : image.DelayImportedDlls())
        EXPECT_TRUE(SYSTEM_DLLS.count(Lower(dll))) << "delay-imports " << dll;
}

TEST(DllImage, ExportsExactlyTheTwoEntryPointsWithOrdinalsOneAndTwo)
{
    PeImage image(DefaultDriverPath());
    ASSERT_NE(nullptr, image.Nt());
    DWORD cFunctions = 0;
    const std::map<std::string, DWORD> exports = image.Exports(&cFunctions);
    const std::map<std::string, DWORD> expected = {{"DllCanUnloadNow", 1}, {"DllGetClassObject", 2}};
    EXPECT_EQ(expected, exports);
    EXPECT_EQ(2u, cFunctions);
}

TEST(DllImage, EntryPointsResolveByNameAndByOrdinal)
{
    HMODULE hModule = LoadLibraryW(DefaultDriverPath().c_str());
    ASSERT_NE(nullptr, hModule);
    EXPECT_EQ(GetProcAddress(hModule, "DllCanUnloadNow"), GetProcAddress(hModule, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(GetProcAddress(hModule, "DllGetClassObject"), GetProcAddress(hModule, MAKEINTRESOURCEA(2)));
    EXPECT_NE(nullptr, GetProcAddress(hModule, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(nullptr, GetProcAddress(hModule, "DllRegisterServer"));
    FreeLibrary(hModule);
}

} // namespace
