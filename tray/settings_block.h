// The controller's 126-byte settings record, stored whole in the registry.
#pragma once

#include "common/parameters_key.h"

#include <windows.h>

// Settings that the controller driver takes up only when it restarts.
constexpr DWORD RESTART_BYTE_1 = 123;
constexpr DWORD RESTART_BYTE_2 = 124;

struct SettingsBlock {
    BYTE rgb[SETTINGS_BLOCK_SIZE];
};
static_assert(sizeof(SettingsBlock) == SETTINGS_BLOCK_SIZE);

// Overwrites all 126 bytes with the default block.
void SetDefaults(SettingsBlock* pBlock);
