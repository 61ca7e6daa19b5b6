// The power manager's record of each device object's power state (PoSetPowerState).
#pragma once

#include <wdm.h>

namespace nt {

struct PopDeviceStates {
    SYSTEM_POWER_STATE System = PowerSystemUnspecified;
    DEVICE_POWER_STATE Device = PowerDeviceUnspecified;
};

// What the device's driver last recorded with PoSetPowerState.  Any IRQL.
PopDeviceStates PopGetPowerStates(PDEVICE_OBJECT device);
// Drops the record when the device object goes.  Any IRQL.
void PopForgetDevice(PDEVICE_OBJECT device);

} // namespace nt
