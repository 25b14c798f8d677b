// Class identifiers fixed at installation. The property sheet component's is
// the Effect Driver's with Data1 one higher; install/ registers both.
#pragma once

#include <guiddef.h>

// {7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}
inline constexpr GUID CLSID_EffectDriver = {
    0x7A3C91E4, 0x52B8, 0x4F1D, {0x9C, 0x6A, 0x3E, 0x0B, 0x8D, 0x2F, 0x4A, 0x61}};

// {7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}
inline constexpr GUID CLSID_PropertySheetComponent = {CLSID_EffectDriver.Data1 + 1,
                                                      CLSID_EffectDriver.Data2,
                                                      CLSID_EffectDriver.Data3,
                                                      {0x9C, 0x6A, 0x3E, 0x0B, 0x8D, 0x2F, 0x4A, 0x61}};

#define CLSID_EFFECT_DRIVER_STRING L"{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}"
#define CLSID_PROPERTY_SHEET_COMPONENT_STRING L"{7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}"
