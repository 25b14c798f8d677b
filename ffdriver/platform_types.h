// The Windows and DirectInput types, structures and constants that the force
// feedback core uses. Under Windows they come from the platform headers; the
// native build (tests, sanitizers, benchmarks) gets the same names with the
// 64-bit Windows layout, checked below against both. The 32-bit Windows build
// (the driver of 32-bit games) is checked against the 32-bit layout.
#pragma once

#ifdef _WIN32

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <windows.h>
#include <dinput.h>
#include <dinputd.h>

#else // !_WIN32

#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef int BOOL;
typedef LONG HRESULT;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFF

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0x00000000L)
#define S_FALSE ((HRESULT)0x00000001L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)

#define DI_OK S_OK
#define DI_TRUNCATED ((HRESULT)0x00000008L)
#define DIERR_INVALIDPARAM E_INVALIDARG
#define DIERR_OUTOFMEMORY E_OUTOFMEMORY
#define DIERR_DEVICEFULL 0x80040201L

struct DIENVELOPE {
    DWORD dwSize;
    DWORD dwAttackLevel;
    DWORD dwAttackTime;
    DWORD dwFadeLevel;
    DWORD dwFadeTime;
};
typedef DIENVELOPE* LPDIENVELOPE;
typedef const DIENVELOPE* LPCDIENVELOPE;

struct DICONSTANTFORCE {
    LONG lMagnitude;
};
typedef DICONSTANTFORCE* LPDICONSTANTFORCE;

struct DIRAMPFORCE {
    LONG lStart;
    LONG lEnd;
};
typedef DIRAMPFORCE* LPDIRAMPFORCE;

struct DIPERIODIC {
    DWORD dwMagnitude;
    LONG lOffset;
    DWORD dwPhase;
    DWORD dwPeriod;
};
typedef DIPERIODIC* LPDIPERIODIC;

struct DIEFFECT {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwDuration;
    DWORD dwSamplePeriod;
    DWORD dwGain;
    DWORD dwTriggerButton;
    DWORD dwTriggerRepeatInterval;
    DWORD cAxes;
    LPDWORD rgdwAxes;
    LPLONG rglDirection;
    LPDIENVELOPE lpEnvelope;
    DWORD cbTypeSpecificParams;
    LPVOID lpvTypeSpecificParams;
    DWORD dwStartDelay;
};
typedef DIEFFECT* LPDIEFFECT;
typedef const DIEFFECT* LPCDIEFFECT;

struct DIEFFESCAPE {
    DWORD dwSize;
    DWORD dwCommand;
    LPVOID lpvInBuffer;
    DWORD cbInBuffer;
    LPVOID lpvOutBuffer;
    DWORD cbOutBuffer;
};
typedef DIEFFESCAPE* LPDIEFFESCAPE;

struct DIDRIVERVERSIONS {
    DWORD dwSize;
    DWORD dwFirmwareRevision;
    DWORD dwHardwareRevision;
    DWORD dwFFDriverVersion;
};
typedef DIDRIVERVERSIONS* LPDIDRIVERVERSIONS;

struct DIDEVICESTATE {
    DWORD dwSize;
    DWORD dwState;
    DWORD dwLoad;
};
typedef DIDEVICESTATE* LPDIDEVICESTATE;

#define DIEP_DURATION 0x00000001
#define DIEP_SAMPLEPERIOD 0x00000002
#define DIEP_GAIN 0x00000004
#define DIEP_TRIGGERBUTTON 0x00000008
#define DIEP_TRIGGERREPEATINTERVAL 0x00000010
#define DIEP_AXES 0x00000020
#define DIEP_DIRECTION 0x00000040
#define DIEP_ENVELOPE 0x00000080
#define DIEP_TYPESPECIFICPARAMS 0x00000100
#define DIEP_STARTDELAY 0x00000200
#define DIEP_ALLPARAMS 0x000003FF
#define DIEP_START 0x20000000
#define DIEP_NORESTART 0x40000000
#define DIEP_NODOWNLOAD 0x80000000

#define DIES_SOLO 0x00000001
#define DIES_NODOWNLOAD 0x80000000

#define DIEGES_PLAYING 0x00000001

#define DISFFC_RESET 0x00000001
#define DISFFC_STOPALL 0x00000002
#define DISFFC_PAUSE 0x00000004
#define DISFFC_CONTINUE 0x00000008
#define DISFFC_SETACTUATORSON 0x00000010
#define DISFFC_SETACTUATORSOFF 0x00000020

#define DIGFFS_EMPTY 0x00000001
#define DIGFFS_STOPPED 0x00000002
#define DIGFFS_PAUSED 0x00000004
#define DIGFFS_ACTUATORSON 0x00000010
#define DIGFFS_ACTUATORSOFF 0x00000020
#define DIGFFS_POWERON 0x00000040
#define DIGFFS_POWEROFF 0x00000080
#define DIGFFS_SAFETYSWITCHON 0x00000100
#define DIGFFS_SAFETYSWITCHOFF 0x00000200
#define DIGFFS_USERFFSWITCHON 0x00000400
#define DIGFFS_USERFFSWITCHOFF 0x00000800

#endif // _WIN32

#include <cstddef>

// The members without pointers have one layout everywhere.
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HRESULT) == 4);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(DIENVELOPE) == 20 && offsetof(DIENVELOPE, dwFadeTime) == 16);
static_assert(sizeof(DICONSTANTFORCE) == 4);
static_assert(sizeof(DIRAMPFORCE) == 8 && offsetof(DIRAMPFORCE, lEnd) == 4);
static_assert(sizeof(DIPERIODIC) == 16 && offsetof(DIPERIODIC, lOffset) == 4 &&
              offsetof(DIPERIODIC, dwPhase) == 8 && offsetof(DIPERIODIC, dwPeriod) == 12);
static_assert(sizeof(DIDRIVERVERSIONS) == 16 && offsetof(DIDRIVERVERSIONS, dwFFDriverVersion) == 12);
static_assert(sizeof(DIDEVICESTATE) == 12 && offsetof(DIDEVICESTATE, dwLoad) == 8);
static_assert(offsetof(DIEFFECT, cAxes) == 28);

#if defined(_WIN32) && !defined(_WIN64)
// The layout a 32-bit game hands over: pointers of 4 bytes, no padding.
static_assert(sizeof(void*) == 4);
static_assert(sizeof(DIEFFECT) == 56);
static_assert(offsetof(DIEFFECT, rgdwAxes) == 32 && offsetof(DIEFFECT, rglDirection) == 36 &&
              offsetof(DIEFFECT, lpEnvelope) == 40 && offsetof(DIEFFECT, cbTypeSpecificParams) == 44 &&
              offsetof(DIEFFECT, lpvTypeSpecificParams) == 48 && offsetof(DIEFFECT, dwStartDelay) == 52);
static_assert(sizeof(DIEFFESCAPE) == 24 && offsetof(DIEFFESCAPE, lpvInBuffer) == 8 &&
              offsetof(DIEFFESCAPE, cbInBuffer) == 12 && offsetof(DIEFFESCAPE, lpvOutBuffer) == 16 &&
              offsetof(DIEFFESCAPE, cbOutBuffer) == 20);
static_assert(sizeof(DIHIDFFINITINFO) == 24 && offsetof(DIHIDFFINITINFO, pwszDeviceInterface) == 4 &&
              offsetof(DIHIDFFINITINFO, GuidInstance) == 8);
#else
// The layout DirectInput hands over on 64-bit Windows; the native stand-ins
// must match it so that tests exercise the same copies and offsets.
static_assert(sizeof(void*) == 8);
static_assert(sizeof(DIEFFECT) == 80);
static_assert(offsetof(DIEFFECT, rgdwAxes) == 32 && offsetof(DIEFFECT, rglDirection) == 40 &&
              offsetof(DIEFFECT, lpEnvelope) == 48 && offsetof(DIEFFECT, cbTypeSpecificParams) == 56 &&
              offsetof(DIEFFECT, lpvTypeSpecificParams) == 64 && offsetof(DIEFFECT, dwStartDelay) == 72);
static_assert(sizeof(DIEFFESCAPE) == 40 && offsetof(DIEFFESCAPE, lpvInBuffer) == 8 &&
              offsetof(DIEFFESCAPE, cbInBuffer) == 16 && offsetof(DIEFFESCAPE, lpvOutBuffer) == 24 &&
              offsetof(DIEFFESCAPE, cbOutBuffer) == 32);
#ifdef _WIN32
static_assert(sizeof(DIHIDFFINITINFO) == 32 && offsetof(DIHIDFFINITINFO, pwszDeviceInterface) == 8 &&
              offsetof(DIHIDFFINITINFO, GuidInstance) == 16);
#endif
#endif

// The values DirectInput and its applications pass.
static_assert(S_OK == 0 && DI_TRUNCATED == 8 && E_NOTIMPL == (HRESULT)0x80004001L &&
              E_POINTER == (HRESULT)0x80004003L && E_OUTOFMEMORY == (HRESULT)0x8007000EL &&
              E_INVALIDARG == (HRESULT)0x80070057L && E_FAIL == (HRESULT)0x80004005L &&
              (HRESULT)DIERR_DEVICEFULL == (HRESULT)0x80040201L);
static_assert(INFINITE == 0xFFFFFFFF);
static_assert(DIEP_DURATION == 0x01 && DIEP_SAMPLEPERIOD == 0x02 && DIEP_GAIN == 0x04 &&
              DIEP_TRIGGERBUTTON == 0x08 && DIEP_TRIGGERREPEATINTERVAL == 0x10 && DIEP_AXES == 0x20 &&
              DIEP_DIRECTION == 0x40 && DIEP_ENVELOPE == 0x80 && DIEP_TYPESPECIFICPARAMS == 0x100 &&
              DIEP_STARTDELAY == 0x200 && DIEP_START == 0x20000000 && DIEP_NORESTART == 0x40000000 &&
              DIEP_NODOWNLOAD == 0x80000000);
static_assert(DIES_SOLO == 0x01 && DIES_NODOWNLOAD == 0x80000000 && DIEGES_PLAYING == 0x01);
static_assert(DISFFC_RESET == 0x01 && DISFFC_STOPALL == 0x02 && DISFFC_PAUSE == 0x04 &&
              DISFFC_CONTINUE == 0x08 && DISFFC_SETACTUATORSON == 0x10 && DISFFC_SETACTUATORSOFF == 0x20);
static_assert(DIGFFS_EMPTY == 0x01 && DIGFFS_STOPPED == 0x02 && DIGFFS_PAUSED == 0x04 &&
              DIGFFS_ACTUATORSON == 0x10 && DIGFFS_ACTUATORSOFF == 0x20 && DIGFFS_POWERON == 0x40 &&
              DIGFFS_SAFETYSWITCHOFF == 0x200 && DIGFFS_USERFFSWITCHON == 0x400);
