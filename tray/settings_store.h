// The tray program's copy of the controller settings in the Parameters key:
// the current setting, the profiles and their names, and two flags.
#pragma once

#include "tray/settings_block.h"

#include <windows.h>

constexpr DWORD PROFILE_NAME_CCH = 260;
constexpr DWORD PROFILE_NAME_BYTES = PROFILE_NAME_CCH * sizeof(WCHAR); // 520
// Profile i has the menu command 3004 + i, which must fit the 16-bit command word.
constexpr LONG MAX_PROFILES = 0xFFFF - 3004 + 1; // 62532

class SettingsStore {
public:
    SettingsStore(HINSTANCE hInstance, HWND hwndOwner);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    void Load();
    void Save();
    void ApplyProfile(LONG index, BOOL fSilent);
    int ShowMessage(HWND hwndOwner, UINT idCaption, UINT idText, UINT uType);
    // The same texts as a notification of the owner's icon, which takes
    // neither the foreground nor a nested message loop.
    void ShowNotification(UINT idCaption, UINT idText);

    // Registry primitives; each opens and closes the Parameters key itself.
    static void ReadValue(void* pvData, DWORD dwType, DWORD cb, LPCWSTR pszName);
    static void WriteValue(const void* pvData, DWORD dwType, DWORD cb, LPCWSTR pszName);
    static void DeleteValue(LPCWSTR pszName);

    SettingsBlock current;
    LONG iCurrent = 0;
    LONG cProfiles = 1; // 1..MAX_PROFILES; 0 only if not even profile 0 could be allocated
    SettingsBlock* rgProfiles = nullptr;
    LPWSTR* rgpszNames = nullptr;
    BYTE fModified = 0;
    BYTE fAutoChange = 0;
    HINSTANCE hInstance;
    HWND hwndOwner;

private:
    bool AllocateProfiles(LONG c);
    void FreeProfiles();
};
