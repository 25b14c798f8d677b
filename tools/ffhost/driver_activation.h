// Getting Effect Drivers the two ways a force feedback host does: through
// COM from the class registered in the registry, or straight from a DLL's
// DllGetClassObject.
#pragma once

#include <windows.h>
#include <dinput.h>
#include <dinputd.h>

#include <string>

// brasquet.dll beside the running program.
std::wstring DefaultDriverPath();

// The DLL path registered for the Effect Driver's class, or "" if none: in
// the registry view of this process, or in samView (KEY_WOW64_64KEY,
// KEY_WOW64_32KEY).
std::wstring RegisteredDriverPath(REGSAM samView = 0);

// Holds the driver's library (or COM, on this thread) for as long as it lives:
// every Effect Driver it creates must be released before it is destroyed.
class DriverLoader {
public:
    // fCom: CoCreateInstance of the registered class; else the DLL at path.
    DriverLoader(bool fCom, const std::wstring& path);
    ~DriverLoader();
    DriverLoader(const DriverLoader&) = delete;
    DriverLoader& operator=(const DriverLoader&) = delete;

    // Loads the library or initialises COM.
    HRESULT Load();
    // A new Effect Driver, holding the caller's one reference.
    HRESULT Create(IDirectInputEffectDriver** ppDriver);
    // The DLL that serves the drivers.
    std::wstring Path() const;

private:
    bool fCom_;
    std::wstring path_;
    HMODULE hModule_ = nullptr;
    bool fComInitialized_ = false;
    using PFNDLLGETCLASSOBJECT = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    PFNDLLGETCLASSOBJECT pfnGetClassObject_ = nullptr;
};

// What an HRESULT of the driver or of COM is called, for messages.
std::string HresultName(HRESULT hr);
