#include "registry_backup.h"

#include "common/class_ids.h"
#include "common/device_contract.h"
#include "common/reg_key.h"

#include <algorithm>

namespace {

struct Value {
    std::wstring name;
    DWORD dwType;
    std::vector<BYTE> data;
    bool operator==(const Value&) const = default;
};

struct Tree {
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, Tree>> subkeys;
    std::vector<BYTE> dacl; // the key's access, as a self-relative security descriptor
    bool operator==(const Tree&) const = default;
};

// The system keeps the devices a service drives there (volatile, the PnP
// manager's own): neither saved nor put back.
bool Untouched(const std::wstring& name)
{
    return !_wcsicmp(name.c_str(), L"Enum");
}

void Read(HKEY hKey, REGSAM samView, Tree& tree)
{
    DWORD cchMaxName = 0, cchMaxValueName = 0, cbMaxData = 0, cbSecurity = 0;
    RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, &cchMaxName, nullptr, nullptr,
                     &cchMaxValueName, &cbMaxData, &cbSecurity, nullptr);
    tree.dacl.resize(cbSecurity);
    if (RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, tree.dacl.data(), &cbSecurity) != ERROR_SUCCESS)
        tree.dacl.clear();
    for (DWORD i = 0;; ++i) {
        std::wstring name(cchMaxValueName + 1, L'\0');
        Value value;
        value.data.resize(cbMaxData);
        DWORD cch = static_cast<DWORD>(name.size()), cb = cbMaxData;
        if (RegEnumValueW(hKey, i, name.data(), &cch, nullptr, &value.dwType, value.data.data(), &cb) !=
            ERROR_SUCCESS)
            break;
        value.name = name.substr(0, cch);
        value.data.resize(cb);
        tree.values.push_back(std::move(value));
    }
    for (DWORD i = 0;; ++i) {
        std::wstring name(cchMaxName + 1, L'\0');
        DWORD cch = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(hKey, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        name.resize(cch);
        if (Untouched(name)) continue;
        RegKey subkey;
        if (RegOpenKeyExW(hKey, name.c_str(), 0, KEY_READ | READ_CONTROL | samView, subkey.put()) !=
            ERROR_SUCCESS)
            continue;
        tree.subkeys.emplace_back(name, Tree());
        Read(subkey.get(), samView, tree.subkeys.back().second);
    }
}

// Makes the key at hKey hold exactly what TREE holds.
LSTATUS Write(HKEY hKey, REGSAM samView, const Tree& tree)
{
    Tree now;
    Read(hKey, samView, now);
    LSTATUS status = ERROR_SUCCESS;
    for (const Value& value : now.values)
        if (std::none_of(tree.values.begin(), tree.values.end(), [&](const Value& saved) {
                return !_wcsicmp(saved.name.c_str(), value.name.c_str());
            }))
            RegDeleteValueW(hKey, value.name.c_str());
    for (const Value& value : tree.values) {
        const LSTATUS set = RegSetValueExW(hKey, value.name.c_str(), 0, value.dwType, value.data.data(),
                                           static_cast<DWORD>(value.data.size()));
        if (set != ERROR_SUCCESS) status = set;
    }
    for (const auto& [name, subtree] : now.subkeys)
        if (std::none_of(tree.subkeys.begin(), tree.subkeys.end(),
                         [&](const auto& saved) { return !_wcsicmp(saved.first.c_str(), name.c_str()); }))
            RegDeleteTreeW(hKey, name.c_str());
    for (const auto& [name, subtree] : tree.subkeys) {
        RegKey subkey;
        LSTATUS sub = RegCreateKeyExW(hKey, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | WRITE_DAC | samView,
                                      nullptr, subkey.put(), nullptr);
        if (sub == ERROR_SUCCESS) sub = Write(subkey.get(), samView, subtree);
        if (sub != ERROR_SUCCESS) status = sub;
    }
    if (!tree.dacl.empty() && tree.dacl != now.dacl)
        RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION,
                          const_cast<PSECURITY_DESCRIPTOR>(static_cast<const void*>(tree.dacl.data())));
    return status;
}

} // namespace

struct RegistryBackup::Saved {
    HKEY hRoot;
    std::wstring name; // for the report
    std::wstring path;
    REGSAM samView;
    bool fExisted;
    Tree tree;
};

RegistryBackup::RegistryBackup() = default;
RegistryBackup::~RegistryBackup() = default;

void RegistryBackup::Save(HKEY hRoot, LPCWSTR pszRoot, const std::wstring& path, REGSAM samView)
{
    auto pSaved = std::make_unique<Saved>();
    pSaved->hRoot = hRoot;
    pSaved->name =
        std::wstring(pszRoot) + L"\\" + path + (samView == KEY_WOW64_32KEY ? L" (32-bit view)" : L"");
    pSaved->path = path;
    pSaved->samView = samView;
    RegKey key;
    pSaved->fExisted =
        RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ | READ_CONTROL | samView, key.put()) == ERROR_SUCCESS;
    if (pSaved->fExisted) Read(key.get(), samView, pSaved->tree);
    saved_.push_back(std::move(pSaved));
}

void RegistryBackup::SaveKitKeys()
{
    for (REGSAM samView : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        Save(HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Classes\\CLSID\\" CLSID_EFFECT_DRIVER_STRING, samView);
        Save(HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Classes\\CLSID\\" CLSID_PROPERTY_SHEET_COMPONENT_STRING,
             samView);
        Save(HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", samView);
    }
    Save(HKEY_CURRENT_USER, L"HKCU", L"SOFTWARE\\Classes\\CLSID\\" CLSID_EFFECT_DRIVER_STRING, 0);
    Save(HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Corvane", KEY_WOW64_64KEY);
    Save(HKEY_LOCAL_MACHINE, L"HKLM", L"SYSTEM\\CurrentControlSet\\Services\\" CONTROLLER_SERVICE_NAME,
         KEY_WOW64_64KEY);
    Save(HKEY_LOCAL_MACHINE, L"HKLM",
         L"SYSTEM\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM",
         KEY_WOW64_64KEY);
}

std::vector<RegistryBackup::Restored> RegistryBackup::Restore()
{
    std::vector<Restored> restored;
    for (const auto& pSaved : saved_) {
        RegKey key;
        const bool fThere =
            RegOpenKeyExW(pSaved->hRoot, pSaved->path.c_str(), 0,
                          KEY_ALL_ACCESS | WRITE_DAC | pSaved->samView, key.put()) == ERROR_SUCCESS;
        Tree now;
        if (fThere) Read(key.get(), pSaved->samView, now);
        const bool fChanged = fThere != pSaved->fExisted || (fThere && !(now == pSaved->tree));
        LSTATUS status = ERROR_SUCCESS;
        if (fChanged && !pSaved->fExisted) {
            // Emptied through the key itself, so that the view is the saved one.
            status = RegDeleteTreeW(key.get(), nullptr);
            if (status == ERROR_SUCCESS) {
                const size_t slash = pSaved->path.find_last_of(L'\\');
                RegKey parent;
                status = RegOpenKeyExW(pSaved->hRoot, pSaved->path.substr(0, slash).c_str(), 0,
                                       KEY_ALL_ACCESS | pSaved->samView, parent.put());
                if (status == ERROR_SUCCESS)
                    status = RegDeleteKeyExW(parent.get(), pSaved->path.substr(slash + 1).c_str(),
                                             pSaved->samView, 0);
            }
        } else if (fChanged) {
            if (!fThere)
                status = RegCreateKeyExW(pSaved->hRoot, pSaved->path.c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS | WRITE_DAC | pSaved->samView, nullptr, key.put(),
                                         nullptr);
            if (status == ERROR_SUCCESS) status = Write(key.get(), pSaved->samView, pSaved->tree);
        }
        if (fChanged || status != ERROR_SUCCESS) restored.push_back({pSaved->name, fChanged, status});
    }
    return restored;
}
