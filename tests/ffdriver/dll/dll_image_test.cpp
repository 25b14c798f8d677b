// brasquet.dll as an image: a DLL of its machine (x64, and x86 for 32-bit
// games) that imports nothing but Windows system DLLs (the C and C++ runtimes
// are linked in) and exports exactly its two COM entry points, by their
// undecorated names, with their fixed ordinals. Each DLL is mapped as an
// image resource, without resolving its imports or running its entry point,
// so its tables read as the file has them; that maps the other machine's DLL
// as well.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct DllImage {
    const char* pszName;
    std::wstring path;
    WORD wMachine;
};

std::vector<DllImage> Images()
{
#ifdef _WIN64
    return {{"x64", DefaultDriverPath(), IMAGE_FILE_MACHINE_AMD64},
            {"x86", X86DriverPath(), IMAGE_FILE_MACHINE_I386}};
#else
    return {{"x86", DefaultDriverPath(), IMAGE_FILE_MACHINE_I386}};
#endif
}

class MappedDll : public ::testing::TestWithParam<DllImage> {
protected:
    void SetUp() override
    {
        const std::wstring& path = GetParam().path;
        if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            GTEST_SKIP() << "no " << GetParam().pszName << " DLL: build the windows-x86 preset first";
        hModule_ =
            LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, hModule_);
        // The low bits of the handle mark a resource mapping.
        pBase_ =
            reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(hModule_) & ~static_cast<ULONG_PTR>(3));
        const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase_);
        ASSERT_EQ(IMAGE_DOS_SIGNATURE, pDos->e_magic);
        pNt_ = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase_ + pDos->e_lfanew);
        ASSERT_EQ(static_cast<DWORD>(IMAGE_NT_SIGNATURE), pNt_->Signature);
        // The optional header, and with it the data directories, differs
        // between a PE32 (x86) and a PE32+ (x64) image.
        const WORD wMagic = pNt_->OptionalHeader.Magic;
        if (wMagic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            pDirectories_ = reinterpret_cast<const IMAGE_NT_HEADERS64*>(pNt_)->OptionalHeader.DataDirectory;
        else if (wMagic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            pDirectories_ = reinterpret_cast<const IMAGE_NT_HEADERS32*>(pNt_)->OptionalHeader.DataDirectory;
        ASSERT_NE(nullptr, pDirectories_) << "optional header magic " << wMagic;
    }
    void TearDown() override
    {
        if (hModule_) FreeLibrary(hModule_);
    }

    template <class T> const T* At(DWORD dwRva) const { return reinterpret_cast<const T*>(pBase_ + dwRva); }
    DWORD Directory(int i) const { return pDirectories_[i].VirtualAddress; }

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
    const IMAGE_NT_HEADERS* pNt_ = nullptr;
    const IMAGE_DATA_DIRECTORY* pDirectories_ = nullptr;
};

// The Windows system DLLs the driver may depend on; a compiler runtime DLL
// (libstdc++, libgcc, libwinpthread) or anything else fails the test.
const std::set<std::string> SYSTEM_DLLS = {
    "kernel32.dll", "msvcrt.dll", "ntdll.dll",    "advapi32.dll",
    "user32.dll",   "ole32.dll",  "oleaut32.dll", "hid.dll",
};

TEST_P(MappedDll, IsADllOfItsMachine)
{
    EXPECT_EQ(GetParam().wMachine, pNt_->FileHeader.Machine);
    EXPECT_TRUE(pNt_->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_P(MappedDll, ImportsOnlyWindowsSystemDlls)
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
TEST_P(MappedDll, CarriesNoLinkTime)
{
    EXPECT_EQ(0u, pNt_->FileHeader.TimeDateStamp);
}

TEST_P(MappedDll, ExportsExactlyTheTwoEntryPointsWithOrdinalsOneAndTwo)
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

INSTANTIATE_TEST_SUITE_P(Machines, MappedDll, ::testing::ValuesIn(Images()),
                         [](const ::testing::TestParamInfo<DllImage>& info) { return info.param.pszName; });

// In a process of the DLL's own machine.
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
