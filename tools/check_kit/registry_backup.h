// The registry keys the kit's programs change outside their own sandboxes
// (the driver's class in both views, the service's keys, DirectInput's OEM
// entries, the Run keys), copied to memory before the run and put back after
// it in place, whatever the programs left there: values, subkeys and each
// key's access.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

class RegistryBackup {
public:
    RegistryBackup();
    ~RegistryBackup();
    RegistryBackup(const RegistryBackup&) = delete;
    RegistryBackup& operator=(const RegistryBackup&) = delete;

    // Saves the kit's keys as they are now (a key that is not there is saved
    // as absent).
    void SaveKitKeys();

    struct Restored {
        std::wstring key; // "HKLM\\...", with its view
        bool fChanged;    // the run had changed it
        LSTATUS status;   // of putting it back
    };
    // Puts every saved key back; the keys the run had changed, and any that
    // could not be put back.
    std::vector<Restored> Restore();

private:
    struct Saved;
    void Save(HKEY hRoot, LPCWSTR pszRoot, const std::wstring& path, REGSAM samView);
    std::vector<std::unique_ptr<Saved>> saved_;
};
