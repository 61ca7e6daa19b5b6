// Driver-wide data, created once per loaded driver by DriverEntry and forgotten by DriverUnload.
// Written only on those two paths (PASSIVE_LEVEL, no device exists then); read everywhere else.
#pragma once

#include <ntddk.h>

#include "../asio/AsioRequests.h"
#include "Settings.h"

extern SharedSettings* g_SharedSettings; // the static SharedSettings while the driver is loaded
extern AsioSyncRecord* g_AsioSyncRecord; // the static AsioSyncRecord while the driver is loaded
