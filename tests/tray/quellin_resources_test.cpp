// The resources built into quellin.exe, read through the Win32 resource calls
// from the program file itself.
#include "tray/resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::wstring BesideThisProgram(const wchar_t* pszFile)
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(nullptr, szPath, ARRAYSIZE(szPath));
    std::wstring path = szPath;
    return path.substr(0, path.rfind(L'\\') + 1) + pszFile;
}

std::wstring ProgramPath()
{
    return BesideThisProgram(L"quellin.exe");
}

class QuellinResourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hModule_ = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, hModule_);
    }
    void TearDown() override { FreeLibrary(hModule_); }

    HMODULE hModule_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE bWidth;
    BYTE bHeight;
    BYTE bColorCount;
    BYTE bReserved;
    WORD wPlanes;
    WORD wBitCount;
    DWORD dwBytesInRes;
    WORD nId;
};
struct GroupIconDir {
    WORD idReserved;
    WORD idType;
    WORD idCount;
    GroupIconEntry rgEntries[1];
};
#pragma pack(pop)

// The Startup tab and the file's properties show who made each shipped file.
TEST(ShippedFiles, VersionNamesEachFileItsMakerAndProduct)
{
    const struct {
        const wchar_t* pszFile;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> strings;
    } files[] = {
        {L"quellin.exe",
         {
             {L"CompanyName", L"Corvane"},
             {L"FileDescription", L"Status Area Icon for Corvane Wireless Controller"},
             {L"ProductName", L"Corvane Wireless Controller"},
             {L"SpecialBuild", L"English"},
             {L"FileVersion", L"1.0.0.0"},
         }},
        {L"brasquet.dll",
         {
             {L"CompanyName", L"Corvane"},
             {L"FileDescription", L"Force Feedback Effect Driver for Corvane Wireless Controller"},
             {L"ProductName", L"Corvane Wireless Controller"},
             {L"OriginalFilename", L"brasquet.dll"},
             {L"FileVersion", L"1.0.0.0"},
         }},
    };
    for (const auto& file : files) {
        const std::wstring path = BesideThisProgram(file.pszFile);
        DWORD dwHandle = 0;
        const DWORD cb = GetFileVersionInfoSizeW(path.c_str(), &dwHandle);
        ASSERT_NE(0u, cb) << testing::PrintToString(path);
        std::string data(cb, '\0');
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cb, data.data()));

        for (const auto& [pszName, pszExpected] : file.strings) {
            const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + pszName;
            LPWSTR pszValue = nullptr;
            UINT cch = 0;
            ASSERT_TRUE(VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&pszValue), &cch))
                << testing::PrintToString(std::wstring(pszName));
            EXPECT_STREQ(pszExpected, pszValue) << testing::PrintToString(path);
        }
    }
}

// Shipped without debug information or symbols, and with no link time, so
// that two builds of the same sources give the same file.
TEST(QuellinImage, CarriesNoLinkTimeAndNoSymbols)
{
    HANDLE hFile =
        CreateFileW(ProgramPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    std::string image(GetFileSize(hFile, nullptr), '\0');
    DWORD cbRead = 0;
    ReadFile(hFile, image.data(), static_cast<DWORD>(image.size()), &cbRead, nullptr);
    CloseHandle(hFile);
    ASSERT_EQ(image.size(), cbRead);

    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + pDos->e_lfanew);
    ASSERT_EQ(static_cast<DWORD>(IMAGE_NT_SIGNATURE), pNt->Signature);
    EXPECT_EQ(0u, pNt->FileHeader.TimeDateStamp);
    EXPECT_EQ(0u, pNt->FileHeader.PointerToSymbolTable);
    EXPECT_EQ(0u, pNt->FileHeader.NumberOfSymbols);
    const IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
    for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; i++, pSection++) {
        const std::string name(reinterpret_cast<const char*>(pSection->Name),
                               strnlen(reinterpret_cast<const char*>(pSection->Name), 8));
        // Debug sections have long names, kept in the symbols' string table.
        EXPECT_FALSE(name.starts_with(".debug") || name.starts_with("/")) << name;
    }
}

TEST_F(QuellinResourcesTest, ContextMenuHoldsItsFourItemsInOrder)
{
    HMENU hmenu = LoadMenuW(hModule_, MAKEINTRESOURCEW(IDR_CONTEXT_MENU));
    ASSERT_NE(nullptr, hmenu);
    ASSERT_EQ(1, GetMenuItemCount(hmenu));
    WCHAR szText[64] = L"";
    GetMenuStringW(hmenu, 0, szText, ARRAYSIZE(szText), MF_BYPOSITION);
    EXPECT_STREQ(L"Dummy Popup", szText);

    HMENU hmenuPopup = GetSubMenu(hmenu, 0);
    ASSERT_EQ(4, GetMenuItemCount(hmenuPopup));
    const struct {
        UINT wID;
        UINT fType;
        const wchar_t* pszText;
    } items[] = {
        {3001, MFT_STRING, L"&Properties"},
        {3002, MFT_STRING, L"&Auto setting change"},
        {0, MFT_SEPARATOR, L""},
        {3003, MFT_STRING, L"E&xit"},
    };
    for (int i = 0; i < 4; i++) {
        MENUITEMINFOW mii = {sizeof(mii)};
        mii.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
        szText[0] = L'\0';
        mii.dwTypeData = szText;
        mii.cch = ARRAYSIZE(szText);
        ASSERT_TRUE(GetMenuItemInfoW(hmenuPopup, i, TRUE, &mii));
        EXPECT_EQ(items[i].wID, mii.wID) << i;
        EXPECT_EQ(items[i].fType, mii.fType) << i;
        EXPECT_STREQ(items[i].pszText, szText) << i;
    }
    DestroyMenu(hmenu);
}

TEST_F(QuellinResourcesTest, StringTableHoldsTheProgramsTexts)
{
    const std::pair<UINT, const wchar_t*> strings[] = {
        {2001, L"Corvane Wireless Controller"},
        {2002, L"Default settings"},
        {2003, L" (modified)"},
        {2004, L"Corvane Wireless Controller \"Warning\""},
        {2005,
         L"You have modified your current settings profile.\nDo you want to discard your changes and load a "
         L"new profile?"},
        {2006, L"Corvane Wireless Controller \"Restart\""},
        {2007, L"Your changes require a driver restart to become effective. Please unplug and replug your "
               L"controller from the USB port or restart your computer."},
    };
    for (const auto& [id, pszExpected] : strings) {
        WCHAR szText[300] = L"";
        LoadStringW(hModule_, id, szText, ARRAYSIZE(szText));
        EXPECT_STREQ(pszExpected, szText) << id;
    }
}

TEST_F(QuellinResourcesTest, IconGroupHoldsEveryDecodableSizeAndDepth)
{
    HRSRC hrsrc = FindResourceW(hModule_, MAKEINTRESOURCEW(IDI_TRAY), RT_GROUP_ICON);
    ASSERT_NE(nullptr, hrsrc);
    const auto* pDir = static_cast<const GroupIconDir*>(LockResource(LoadResource(hModule_, hrsrc)));
    ASSERT_NE(nullptr, pDir);
    EXPECT_EQ(1, pDir->idType);
    ASSERT_EQ(24, pDir->idCount);

    std::set<std::pair<int, int>> seen;
    for (int i = 0; i < pDir->idCount; i++) {
        const GroupIconEntry& entry = pDir->rgEntries[i];
        const int size = entry.bWidth == 0 ? 256 : entry.bWidth;
        EXPECT_EQ(entry.bWidth, entry.bHeight);
        seen.insert({size, entry.wBitCount});

        // The image itself decodes to an icon of that size.
        HRSRC hrsrcImage = FindResourceW(hModule_, MAKEINTRESOURCEW(entry.nId), RT_ICON);
        ASSERT_NE(nullptr, hrsrcImage);
        auto* pbImage = static_cast<BYTE*>(LockResource(LoadResource(hModule_, hrsrcImage)));
        const auto* pHeader = reinterpret_cast<const BITMAPINFOHEADER*>(pbImage);
        EXPECT_EQ(entry.wBitCount, pHeader->biBitCount);
        HICON hicon = CreateIconFromResourceEx(pbImage, SizeofResource(hModule_, hrsrcImage), TRUE,
                                               0x00030000, size, size, LR_DEFAULTCOLOR);
        ASSERT_NE(nullptr, hicon) << size << "x" << entry.wBitCount;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(hicon, &info));
        BITMAP bm = {};
        GetObjectW(info.hbmMask, sizeof(bm), &bm);
        EXPECT_EQ(size, bm.bmWidth);
        DeleteObject(info.hbmMask);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        DestroyIcon(hicon);
    }
    std::set<std::pair<int, int>> expected;
    // The small and the large size of every common scale, each drawn for it.
    for (int size : {256, 64, 48, 40, 32, 24, 20, 16})
        for (int bpp : {4, 8, 32})
            expected.insert({size, bpp});
    EXPECT_EQ(expected, seen);
}

TEST_F(QuellinResourcesTest, ManifestBindsCommonControlsSix)
{
    HRSRC hrsrc = FindResourceW(hModule_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(nullptr, hrsrc);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(hModule_, hrsrc))),
                               SizeofResource(hModule_, hrsrc));
    const size_t iDependency = manifest.find("Microsoft.Windows.Common-Controls");
    ASSERT_NE(std::string::npos, iDependency);
    const std::string dependency =
        manifest.substr(iDependency, manifest.find("/>", iDependency) - iDependency);
    EXPECT_NE(std::string::npos, dependency.find("version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, dependency.find("processorArchitecture=\"*\""));
    const std::string own = manifest.substr(0, iDependency);
    EXPECT_NE(std::string::npos, own.find("version=\"1.0.0.0\""));
    EXPECT_NE(std::string::npos, own.find("type=\"win32\""));
    EXPECT_NE(std::string::npos, own.find("processorArchitecture=\"*\""));
}

// Started by the user, never elevated; declared for Windows 7 to 11, so that
// the system gives it their own behaviour; scaled by the system's DPI.
TEST_F(QuellinResourcesTest, ManifestAsksForTheCallersRightsAndNamesItsSystems)
{
    HRSRC hrsrc = FindResourceW(hModule_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(nullptr, hrsrc);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(hModule_, hrsrc))),
                               SizeofResource(hModule_, hrsrc));
    const char* const rgpszExpected[] = {
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
        "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>", // Windows 7
        "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>", // Windows 8
        "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>", // Windows 8.1
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", // Windows 10 and 11
        ">true</dpiAware>",
        ">system</dpiAwareness>",
    };
    for (const char* pszExpected : rgpszExpected)
        EXPECT_NE(std::string::npos, manifest.find(pszExpected)) << pszExpected;
}

} // namespace
