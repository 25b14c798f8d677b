// brasquet.dll as an image: a 64-bit DLL that imports nothing but Windows
// system DLLs (the C and C++ runtimes are linked in) and exports exactly its
// two COM entry points, by name, with their fixed ordinals. The DLL is mapped
// without resolving its imports or running its entry point, so its tables
// read as the file has them.
#include "driver_activation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

class MappedDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        hModule_ = LoadLibraryExW(DefaultDriverPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        ASSERT_NE(nullptr, hModule_);
        pBase_ = reinterpret_cast<const BYTE*>(hModule_);
        const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase_);
        pNt_ = reinterpret_cast<const IMAGE_NT_HEADERS64*>(pBase_ + pDos->e_lfanew);
        ASSERT_EQ(static_cast<DWORD>(IMAGE_NT_SIGNATURE), pNt_->Signature);
    }
    void TearDown() override
    {
        if (hModule_) FreeLibrary(hModule_);
    }

    template <class T> const T* At(DWORD dwRva) const { return reinterpret_cast<const T*>(pBase_ + dwRva); }
    DWORD Directory(int i) const { return pNt_->OptionalHeader.DataDirectory[i].VirtualAddress; }

    std::vector<std::string> ImportedDlls() const
    {
        std::vector<std::string> dlls;
        if (const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT)) {
            for (const auto* p = At<IMAGE_IMPORT_DESCRIPTOR>(dwRva); p->Name; ++p)
                dlls.push_back(At<char>(p->Name));
        }
        if (const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)) {
            for (const auto* p = At<IMAGE_DELAYLOAD_DESCRIPTOR>(dwRva); p->DllNameRVA; ++p)
                dlls.push_back(At<char>(p->DllNameRVA));
        }
        return dlls;
    }

    HMODULE hModule_ = nullptr;
    const BYTE* pBase_ = nullptr;
    const IMAGE_NT_HEADERS64* pNt_ = nullptr;
};

// The Windows system DLLs the driver may depend on; a compiler runtime DLL
// (libstdc++, libgcc, libwinpthread) or anything else fails the test.
const std::set<std::string> SYSTEM_DLLS = {
    "kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll", "ole32.dll", "oleaut32.dll",
};

TEST_F(MappedDll, IsA64BitDll)
{
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, pNt_->FileHeader.Machine);
    EXPECT_TRUE(pNt_->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_F(MappedDll, ImportsOnlyWindowsSystemDlls)
{
    const std::vector<std::string> dlls = ImportedDlls();
    EXPECT_FALSE(dlls.empty());
    for (std::string dll : dlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(),
                       [](unsigned char ch) { return static_cast<char>(tolower(ch)); });
        EXPECT_TRUE(SYSTEM_DLLS.count(dll)) << "imports " << dll;
    }
}

// Two builds of the same sources give the same file: no link time.
TEST_F(MappedDll, CarriesNoLinkTime)
{
    EXPECT_EQ(0u, pNt_->FileHeader.TimeDateStamp);
}

TEST_F(MappedDll, ExportsExactlyTheTwoEntryPointsWithOrdinalsOneAndTwo)
{
    const DWORD dwRva = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(0u, dwRva);
    const auto* pExports = At<IMAGE_EXPORT_DIRECTORY>(dwRva);
    std::map<std::string, DWORD> exports;
    for (DWORD i = 0; i < pExports->NumberOfNames; ++i) {
        const DWORD dwName = At<DWORD>(pExports->AddressOfNames)[i];
        exports[At<char>(dwName)] = pExports->Base + At<WORD>(pExports->AddressOfNameOrdinals)[i];
    }
    const std::map<std::string, DWORD> expected = {{"DllCanUnloadNow", 1}, {"DllGetClassObject", 2}};
    EXPECT_EQ(expected, exports);
    EXPECT_EQ(2u, pExports->NumberOfFunctions);
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
