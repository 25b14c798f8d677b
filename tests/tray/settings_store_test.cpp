#include "tray/settings_store.h"

#include "common/device_contract.h"
#include "tests/tray/failing_allocation.h"
#include "tests/tray/registry_sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using testing::ElementsAreArray;

namespace {

SettingsBlock Defaults()
{
    SettingsBlock block;
    SetDefaults(&block);
    return block;
}

SettingsBlock Filled(BYTE b)
{
    SettingsBlock block;
    std::memset(&block, b, sizeof(block));
    return block;
}

template <class T> std::vector<BYTE> Raw(const T& value)
{
    const BYTE* const pb = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(pb, pb + sizeof(value));
}

std::vector<BYTE> Bytes(const SettingsBlock& block)
{
    return Raw(block.rgb);
}

class SettingsStoreTest : public RegistrySandbox {
protected:
    static HINSTANCE Module() { return GetModuleHandleW(nullptr); }

    static void SetBlock(LPCWSTR pszName, const SettingsBlock& block, DWORD cb = SETTINGS_BLOCK_SIZE)
    {
        SetValue(pszName, REG_BINARY, &block, cb);
    }
    static void SetName(LPCWSTR pszName, const std::wstring& name)
    {
        SetValue(pszName, REG_SZ, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
    }
    // Three stored profiles: 1 "racer.exe" filled with 0x11, 2 "shooter.exe" with 0x22.
    static void StoreThreeProfiles()
    {
        SetDword(L"Setting Count", 3);
        SetBlock(L"Setting 1", Filled(0x11));
        SetName(L"Setting Name 1", L"racer.exe");
        SetBlock(L"Setting 2", Filled(0x22));
        SetName(L"Setting Name 2", L"shooter.exe");
    }
};

// The key is the controller's service's: the program never creates it, not
// even elevated, where it would leave a service key without a driver.
TEST_F(SettingsStoreTest, MissingKeyLoadsTheDefaultsAndIsNeverCreated)
{
    SettingsStore store(Module(), nullptr);
    store.fAutoChange = 1;
    store.Save();

    HKEY hkey = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, KEY_READ, &hkey));
    HKEY hkeyService = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"SYSTEM\\CurrentControlSet\\Services\\CorvaneWirelessController", 0, KEY_READ,
                            &hkeyService));
    store.Load();
    EXPECT_EQ(Bytes(Defaults()), Bytes(store.current));
    EXPECT_EQ(0, store.iCurrent);
    ASSERT_EQ(1, store.cProfiles);
    EXPECT_EQ(Bytes(Defaults()), Bytes(store.rgProfiles[0]));
    EXPECT_STREQ(L"Default settings", store.rgpszNames[0]);
    EXPECT_EQ(0, store.fModified);
    EXPECT_EQ(0, store.fAutoChange);
}

TEST_F(SettingsStoreTest, StoredValuesAreTakenUnchangedAndMissingProfilesStayEmpty)
{
    SetBlock(L"Current Setting", Filled(0x5A));
    SetDword(L"Current Setting Index", 7); // out of range, still taken
    SetDword(L"Setting Count", 4);
    SetBlock(L"Setting 1", Filled(0x11));
    SetName(L"Setting Name 1", L"racer.exe");
    SetName(L"Setting Name 2", L"no block stored");
    SetBlock(L"Setting 3", Filled(0x33));
    const BYTE bModified = 2, bAuto = 1;
    SetValue(L"Modified Flag", REG_BINARY, &bModified, 1);
    SetValue(L"Auto Setting Change", REG_BINARY, &bAuto, 1);

    SettingsStore store(Module(), nullptr);

    EXPECT_EQ(Bytes(Filled(0x5A)), Bytes(store.current));
    EXPECT_EQ(7, store.iCurrent);
    ASSERT_EQ(4, store.cProfiles);
    EXPECT_EQ(Bytes(Defaults()), Bytes(store.rgProfiles[0]));
    EXPECT_EQ(Bytes(Filled(0x11)), Bytes(store.rgProfiles[1]));
    EXPECT_STREQ(L"racer.exe", store.rgpszNames[1]);
    EXPECT_EQ(Bytes(Filled(0)), Bytes(store.rgProfiles[2])); // zeros, not the defaults
    EXPECT_STREQ(L"no block stored", store.rgpszNames[2]);
    EXPECT_EQ(Bytes(Filled(0x33)), Bytes(store.rgProfiles[3]));
    EXPECT_STREQ(L"", store.rgpszNames[3]);
    EXPECT_EQ(2, store.fModified);
    EXPECT_EQ(1, store.fAutoChange);
}

TEST_F(SettingsStoreTest, ValueShorterThanItsFieldFillsOnlyItsOwnLength)
{
    SetBlock(L"Current Setting", Filled(0xAA), 100);
    const BYTE rgbCount[] = {2, 0}; // the stored type is not looked at either
    SetValue(L"Setting Count", REG_BINARY, rgbCount, sizeof(rgbCount));
    SetBlock(L"Setting 1", Filled(0x11), 10);

    SettingsStore store(Module(), nullptr);

    std::vector<BYTE> expected = Bytes(Defaults());
    std::fill(expected.begin(), expected.begin() + 100, 0xAA);
    EXPECT_EQ(expected, Bytes(store.current));
    ASSERT_EQ(2, store.cProfiles);
    expected.assign(SETTINGS_BLOCK_SIZE, 0);
    std::fill(expected.begin(), expected.begin() + 10, 0x11);
    EXPECT_EQ(expected, Bytes(store.rgProfiles[1]));
}

TEST_F(SettingsStoreTest, ValueLongerThanItsFieldIsNotTaken)
{
    SetDword(L"Modified Flag", 1);
    SetDword(L"Auto Setting Change", 1);
    const BYTE rgbLong[SETTINGS_BLOCK_SIZE + 1] = {0x77};
    SetValue(L"Current Setting", REG_BINARY, rgbLong, sizeof(rgbLong));
    const ULONGLONG qwCount = 2;
    SetValue(L"Setting Count", REG_QWORD, &qwCount, sizeof(qwCount));

    SettingsStore store(Module(), nullptr);

    EXPECT_EQ(0, store.fModified);
    EXPECT_EQ(0, store.fAutoChange);
    EXPECT_EQ(Bytes(Defaults()), Bytes(store.current));
    EXPECT_EQ(1, store.cProfiles);

    // A name of 261 units does not fit the 520-byte buffer either.
    SetDword(L"Setting Count", 2);
    SetName(L"Setting Name 1", std::wstring(260, L'n'));
    store.Load();
    ASSERT_EQ(2, store.cProfiles);
    EXPECT_STREQ(L"", store.rgpszNames[1]);
}

TEST_F(SettingsStoreTest, SettingCountIsClampedToOneAndMaxProfiles)
{
    for (const LONG stored : {0L, -3L, LONG(0x80000000)}) {
        SetDword(L"Setting Count", static_cast<DWORD>(stored));
        SettingsStore store(Module(), nullptr);
        EXPECT_EQ(1, store.cProfiles) << stored;
    }

    // The last profile's command id, 3004 + 62531, is 0xFFFF.
    SetDword(L"Setting Count", MAX_PROFILES + 1);
    SetName(L"Setting Name 62531", L"last");
    SettingsStore store(Module(), nullptr);
    ASSERT_EQ(MAX_PROFILES, store.cProfiles);
    EXPECT_STREQ(L"last", store.rgpszNames[MAX_PROFILES - 1]);
}

TEST_F(SettingsStoreTest, NameFillingAllBytesWithoutTerminatorIsCutTo259Units)
{
    SetDword(L"Setting Count", 2);
    // Not even the unit past the data is a terminator: the registry would count it in.
    const std::wstring full(PROFILE_NAME_CCH + 1, L'x');
    SetValue(L"Setting Name 1", REG_SZ, full.data(), PROFILE_NAME_BYTES);

    SettingsStore store(Module(), nullptr);
    ASSERT_EQ(2, store.cProfiles);
    EXPECT_EQ(std::wstring(PROFILE_NAME_CCH - 1, L'x'), store.rgpszNames[1]);

    store.Save();
    EXPECT_EQ(PROFILE_NAME_BYTES, GetValue(L"Setting Name 1").size()); // 259 units and the terminator
}

TEST_F(SettingsStoreTest, LoadAgainReplacesProfilesAndFlags)
{
    StoreThreeProfiles();
    SetDword(L"Auto Setting Change", 1);
    SettingsStore store(Module(), nullptr);
    ASSERT_EQ(3, store.cProfiles);

    SetDword(L"Setting Count", 2);
    DeleteValue(L"Auto Setting Change");
    SetName(L"Setting Name 1", L"other.exe");
    store.Load();

    ASSERT_EQ(2, store.cProfiles);
    EXPECT_STREQ(L"Default settings", store.rgpszNames[0]);
    EXPECT_STREQ(L"other.exe", store.rgpszNames[1]);
    EXPECT_EQ(0, store.fAutoChange);
}

TEST_F(SettingsStoreTest, FailedAllocationLeavesProfileZeroAloneAndKeepsStoredProfiles)
{
    // Allocations of a Load of three profiles: 1 blocks, 2 name pointers, 3..5 name buffers.
    const struct {
        int iFirst, cFailing;
        LONG cExpected;
    } cases[] = {{1, 1, 1}, {2, 1, 1}, {4, 1, 1}, {1, 1000, 0}};
    for (const auto& c : cases) {
        StoreThreeProfiles();
        SetBlock(L"Current Setting", Filled(0x5A));
        SettingsStore store(Module(), nullptr);

        FailNothrowAllocations(c.iFirst, c.cFailing);
        store.Load();
        FailNothrowAllocations(0, 0);

        ASSERT_EQ(c.cExpected, store.cProfiles) << c.iFirst;
        if (c.cExpected == 1) {
            EXPECT_EQ(Bytes(Defaults()), Bytes(store.rgProfiles[0]));
            EXPECT_STREQ(L"Default settings", store.rgpszNames[0]);
        }
        EXPECT_EQ(Bytes(Filled(0x5A)), Bytes(store.current));

        // Saving what little the store holds must not cut the stored profiles back.
        store.current = Filled(0x6B);
        store.Save();
        EXPECT_EQ(Bytes(Filled(0x6B)), GetValue(L"Current Setting"));
        EXPECT_EQ(3u, GetDword(L"Setting Count"));
        EXPECT_TRUE(HasValue(L"Setting 2"));
        EXPECT_TRUE(HasValue(L"Setting Name 2"));
    }
}

TEST_F(SettingsStoreTest, SaveWritesEveryValueWithItsTypeAndSize)
{
    SetDword(L"Setting Count", 3);
    SetName(L"Setting Name 1", L"abcdef");
    SetBlock(L"Setting 2", Filled(0x22)); // and no name
    SettingsStore store(Module(), nullptr);
    store.current = Filled(0x5A);
    store.iCurrent = 2;
    store.fModified = 1;
    store.fAutoChange = 3;
    store.Save();

    const struct {
        LPCWSTR pszName;
        DWORD dwType;
        std::vector<BYTE> data;
    } expected[] = {
        {L"Current Setting", REG_BINARY, Bytes(Filled(0x5A))},
        {L"Current Setting Index", REG_DWORD, Raw(DWORD(2))},
        {L"Modified Flag", REG_BINARY, {1}},
        {L"Auto Setting Change", REG_BINARY, {3}},
    };
    for (const auto& e : expected) {
        DWORD dwType = REG_NONE;
        EXPECT_EQ(e.data, GetValue(e.pszName, &dwType)) << testing::PrintToString(std::wstring(e.pszName));
        EXPECT_EQ(e.dwType, dwType) << testing::PrintToString(std::wstring(e.pszName));
    }
    // The profiles, their names and their count are the property sheet's:
    // what is stored stays as it was, what is missing stays missing.
    EXPECT_EQ(3u, GetDword(L"Setting Count"));
    EXPECT_EQ(Raw(L"abcdef"), GetValue(L"Setting Name 1"));
    EXPECT_EQ(Bytes(Filled(0x22)), GetValue(L"Setting 2"));
    for (LPCWSTR pszName : {L"Setting 0", L"Setting Name 0", L"Setting 1", L"Setting Name 2"}) {
        EXPECT_FALSE(HasValue(pszName)) << testing::PrintToString(std::wstring(pszName));
    }
}

// Another writer (the property sheet of this session or of another user's)
// adds, renames or changes profiles after the Load; the program's Save, after
// a switch or a toggle of automatic switching, keeps every change of theirs.
TEST_F(SettingsStoreTest, SaveLeavesTheProfilesOfOtherWritersAlone)
{
    StoreThreeProfiles();
    SettingsStore store(Module(), nullptr);

    SetDword(L"Setting Count", 5);
    for (LPCWSTR pszName : {L"Setting 3", L"Setting 4"}) {
        SetBlock(pszName, Filled(0x44));
    }
    for (LPCWSTR pszName : {L"Setting Name 3", L"Setting Name 4"}) {
        SetName(pszName, L"added.exe");
    }
    SetName(L"Setting Name 1", L"renamed.exe");
    SetBlock(L"Setting 2", Filled(0x2F));
    store.fAutoChange = 1;
    store.Save();

    EXPECT_EQ(5u, GetDword(L"Setting Count"));
    for (LPCWSTR pszName : {L"Setting 3", L"Setting Name 3", L"Setting 4", L"Setting Name 4"}) {
        EXPECT_TRUE(HasValue(pszName)) << testing::PrintToString(std::wstring(pszName));
    }
    EXPECT_EQ(Raw(L"renamed.exe"), GetValue(L"Setting Name 1"));
    EXPECT_EQ(Bytes(Filled(0x2F)), GetValue(L"Setting 2"));
    EXPECT_EQ(std::vector<BYTE>{1}, GetValue(L"Auto Setting Change"));

    // Nor does a lower count make the store write its own back.
    SetDword(L"Setting Count", 1);
    store.Save();
    EXPECT_EQ(1u, GetDword(L"Setting Count"));
}

TEST_F(SettingsStoreTest, KeyThatCannotBeCreatedLeavesDefaultsAndDropsWrites)
{
    // The registry refuses a lasting key under a volatile one, as it refuses
    // one to a user without the right to create it.
    HKEY hkeyService = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Services\\CorvaneWirelessController", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &hkeyService, nullptr));
    RegCloseKey(hkeyService);

    SettingsStore store(Module(), nullptr);
    EXPECT_EQ(Bytes(Defaults()), Bytes(store.current));
    EXPECT_EQ(1, store.cProfiles);
    store.Save();

    HKEY hkey = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, KEY_READ, &hkey));
}

// A standard user may read the key and, with the grant, set its values, but
// may not open it for anything more. Every stored value is still read, and
// the writes land exactly when the grant allows them.
TEST_F(SettingsStoreTest, StandardUserReadsTheKeyAndSavesOnlyWithTheGrant)
{
    // The installation's descriptor has an Administrators entry to take out.
    ASSERT_NE(std::wstring(PARAMETERS_KEY_SDDL), StandardUserWithGrantSddl());

    for (const StandardUserKey& c : StandardUserKeys()) {
        StoreThreeProfiles();
        SetDword(L"Setting Count", 4);
        SetBlock(L"Setting 3", Filled(0x33));
        SetDword(L"Current Setting Index", 0);
        const BYTE fAutoChange = 1;
        SetValue(L"Auto Setting Change", REG_BINARY, &fAutoChange, 1);
        {
            ParametersKeySecurity security(c.sddl);
            SettingsStore store(Module(), nullptr);
            ASSERT_EQ(4, store.cProfiles) << testing::PrintToString(c.sddl);
            EXPECT_STREQ(L"shooter.exe", store.rgpszNames[2]);
            EXPECT_EQ(1, store.fAutoChange);

            store.current = store.rgProfiles[2];
            store.iCurrent = 2;
            store.Save();

            EXPECT_EQ(c.fGranted ? 2u : 0u, GetDword(L"Current Setting Index"))
                << testing::PrintToString(c.sddl);
            // The profiles are never written, granted or not.
            EXPECT_EQ(4u, GetDword(L"Setting Count"));
            EXPECT_TRUE(HasValue(L"Setting 3"));
        }
    }
}

} // namespace
