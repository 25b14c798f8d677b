#include "tray/settings_store.h"

#include "common/device_contract.h"
#include "common/reg_key.h"
#include "tray/resource.h"
#include "tray/tray_platform.h"

#include <strsafe.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Other programs read and write the key at any time, so no handle is kept:
// every value is read, written or deleted through its own open of the key.
// The program runs with the user's own token, which may read the key and set
// its values but nothing more: asking for more access than the one call needs
// would fail every open. The key belongs to the controller's service and is
// never created here: started elevated before the driver is installed, the
// program would otherwise leave a service key without a service. A missing
// key reads as the defaults and drops every write.
HKEY OpenParametersKey(REGSAM samDesired)
{
    HKEY hkey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, samDesired, &hkey) != ERROR_SUCCESS) {
        return nullptr;
    }
    return hkey;
}

// Value names of profile i; profile 0 has none, it is never stored.
struct ProfileValueNames {
    explicit ProfileValueNames(LONG i)
    {
        StringCchPrintfW(szSetting, ARRAYSIZE(szSetting), SETTING_VALUE_FORMAT, i);
        StringCchPrintfW(szName, ARRAYSIZE(szName), SETTING_NAME_VALUE_FORMAT, i);
    }
    WCHAR szSetting[32];
    WCHAR szName[32];
};

} // namespace

SettingsStore::SettingsStore(HINSTANCE hInstance, HWND hwndOwner) : hInstance(hInstance), hwndOwner(hwndOwner)
{
    Load();
}

SettingsStore::~SettingsStore()
{
    FreeProfiles();
}

void SettingsStore::ReadValue(void* pvData, DWORD /*dwType: the stored type is not looked at*/, DWORD cb,
                              LPCWSTR pszName)
{
    RegKey key(OpenParametersKey(KEY_QUERY_VALUE));
    if (!key.get()) return;

    // The data goes through a buffer of our own: when the stored value is
    // longer than cb the platform leaves the contents of the buffer it was
    // given undefined, and a value that does not fit must leave the field
    // exactly as it was. The largest value the program reads is a name.
    BYTE rgbLocal[PROFILE_NAME_BYTES];
    std::unique_ptr<BYTE[]> pbHeap;
    BYTE* pb = rgbLocal;
    if (cb > sizeof(rgbLocal)) {
        pbHeap.reset(new (std::nothrow) BYTE[cb]);
        if (!pbHeap) return;
        pb = pbHeap.get();
    }

    // A shorter value fills only its own length; the rest keeps what it had.
    DWORD cbStored = cb;
    if (RegQueryValueExW(key.get(), pszName, nullptr, nullptr, pb, &cbStored) == ERROR_SUCCESS &&
        cbStored <= cb) {
        std::memcpy(pvData, pb, cbStored);
    }
}

void SettingsStore::WriteValue(const void* pvData, DWORD dwType, DWORD cb, LPCWSTR pszName)
{
    RegKey key(OpenParametersKey(KEY_SET_VALUE));
    if (!key.get()) return;
    // Nobody could be told of a failed write: the tray program has no window
    // of its own, and the settings it holds stay in effect until the next try.
    RegSetValueExW(key.get(), pszName, 0, dwType, static_cast<const BYTE*>(pvData), cb);
}

void SettingsStore::DeleteValue(LPCWSTR pszName)
{
    RegKey key(OpenParametersKey(KEY_SET_VALUE));
    if (!key.get()) return;
    RegDeleteValueW(key.get(), pszName); // a value that is already gone is just as good
}

bool SettingsStore::AllocateProfiles(LONG c)
{
    cProfiles = c;
    rgProfiles = new (std::nothrow) SettingsBlock[c]();
    rgpszNames = new (std::nothrow) LPWSTR[c]();
    if (rgProfiles && rgpszNames) {
        LONG i = 0;
        while (i < c && (rgpszNames[i] = new (std::nothrow) WCHAR[PROFILE_NAME_CCH]())) {
            ++i;
        }
        if (i == c) return true;
    }
    FreeProfiles();
    return false;
}

void SettingsStore::FreeProfiles()
{
    delete[] rgProfiles;
    rgProfiles = nullptr;
    if (rgpszNames) {
        for (LONG i = 0; i < cProfiles; ++i) {
            delete[] rgpszNames[i];
        }
        delete[] rgpszNames;
        rgpszNames = nullptr;
    }
}

void SettingsStore::Load()
{
    FreeProfiles();

    // Each field gets its default right before its read, so a value that is
    // missing or unreadable leaves the default.
    SetDefaults(&current);
    ReadValue(&current, REG_BINARY, SETTINGS_BLOCK_SIZE, CURRENT_SETTING_VALUE);

    iCurrent = 0; // taken as stored: its users only compare it with profile indexes
    ReadValue(&iCurrent, REG_DWORD, sizeof(iCurrent), CURRENT_SETTING_INDEX_VALUE);

    // Profile 0 always exists, and profile i is menu command 3004 + i, which
    // has to fit the 16-bit command word.
    LONG cStored = 1;
    ReadValue(&cStored, REG_DWORD, sizeof(cStored), SETTING_COUNT_VALUE);
    cStored = std::clamp<LONG>(cStored, 1, MAX_PROFILES);

    if (!AllocateProfiles(cStored)) {
        // Better the defaults alone than no profiles at all.
        if (!AllocateProfiles(1)) cProfiles = 0;
    }

    if (cProfiles > 0) {
        SetDefaults(&rgProfiles[0]);
        LoadStringW(hInstance, IDS_DEFAULT_PROFILE, rgpszNames[0], PROFILE_NAME_CCH);
    }

    // Profiles from 1 up start all zero with empty names, not as defaults.
    for (LONG i = 1; i < cProfiles; ++i) {
        const ProfileValueNames names(i);
        ReadValue(&rgProfiles[i], REG_BINARY, SETTINGS_BLOCK_SIZE, names.szSetting);
        ReadValue(rgpszNames[i], REG_SZ, PROFILE_NAME_BYTES, names.szName);
        // A name stored without a terminator may fill all 520 bytes: cut it
        // to the 259 units that leave room for one.
        rgpszNames[i][PROFILE_NAME_CCH - 1] = L'\0';
    }

    fModified = 0;
    ReadValue(&fModified, REG_BINARY, sizeof(fModified), MODIFIED_FLAG_VALUE);
    fAutoChange = 0;
    ReadValue(&fAutoChange, REG_BINARY, sizeof(fAutoChange), AUTO_SETTING_CHANGE_VALUE);
}

void SettingsStore::Save()
{
    // The program only chooses among the profiles: it writes what it owns and
    // nothing else. The profiles, their names and their count belong to the
    // property sheet, which may have changed them since the last Load, from
    // this session or from another user's; writing back this store's copy of
    // them would undo those changes or delete profiles it never saw.
    WriteValue(&current, REG_BINARY, SETTINGS_BLOCK_SIZE, CURRENT_SETTING_VALUE);
    WriteValue(&iCurrent, REG_DWORD, sizeof(iCurrent), CURRENT_SETTING_INDEX_VALUE);
    WriteValue(&fModified, REG_BINARY, sizeof(fModified), MODIFIED_FLAG_VALUE);
    WriteValue(&fAutoChange, REG_BINARY, sizeof(fAutoChange), AUTO_SETTING_CHANGE_VALUE);
}

void SettingsStore::ApplyProfile(LONG index, BOOL fSilent)
{
    // The callers check the index; a wrong one must still not read past the profiles.
    if (index < 0 || index >= cProfiles) return;

    if (fModified == 1) {
        // Automatic switching never discards the user's changes.
        if (fSilent) return;
        // No is the default: Enter must not throw the user's changes away.
        if (ShowMessage(hwndOwner, IDS_WARNING_CAPTION, IDS_WARNING_TEXT,
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
            return;
        }
    }

    const SettingsBlock& profile = rgProfiles[index];
    // The driver takes up the Restart bytes only when it restarts: say so
    // before the copy, which goes ahead anyway. Automatic switching does so
    // the moment a game comes to the front: a message box there would take
    // the foreground from the game and hold switching until it is closed, so
    // the icon shows the notice, which the system holds back during
    // full-screen play and quiet hours.
    if (profile.rgb[RESTART_BYTE_1] != current.rgb[RESTART_BYTE_1] ||
        profile.rgb[RESTART_BYTE_2] != current.rgb[RESTART_BYTE_2]) {
        if (fSilent)
            ShowNotification(IDS_RESTART_CAPTION, IDS_RESTART_TEXT);
        else
            ShowMessage(hwndOwner, IDS_RESTART_CAPTION, IDS_RESTART_TEXT, MB_OK | MB_ICONINFORMATION);
    }

    current = profile;
    iCurrent = index;
    fModified = 0;
}

int SettingsStore::ShowMessage(HWND hwnd, UINT idCaption, UINT idText, UINT uType)
{
    WCHAR szCaption[264] = {};
    WCHAR szText[264] = {};
    LoadStringW(hInstance, idCaption, szCaption, ARRAYSIZE(szCaption));
    LoadStringW(hInstance, idText, szText, ARRAYSIZE(szText));
    return g_platform.MessageBoxW(hwnd, szText, szCaption, uType);
}

void SettingsStore::ShowNotification(UINT idCaption, UINT idText)
{
    // The icon of the owner window, icon id 0. Without an icon (no controller
    // connected) there is no one to tell.
    NOTIFYICONDATAW nid = {sizeof(nid)};
    nid.hWnd = hwndOwner;
    nid.uID = 0;
    nid.uFlags = NIF_INFO;
    nid.dwInfoFlags = NIIF_INFO;
    LoadStringW(hInstance, idCaption, nid.szInfoTitle, ARRAYSIZE(nid.szInfoTitle));
    LoadStringW(hInstance, idText, nid.szInfo, ARRAYSIZE(nid.szInfo));
    g_platform.Shell_NotifyIconW(NIM_MODIFY, &nid);
}
