#include "tray/tray_platform.h"

TrayPlatform g_platform;
