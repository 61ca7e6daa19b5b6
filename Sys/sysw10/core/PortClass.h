// The port-class declarations the driver core uses (adapter registration, the reserved extension
// area, IRP hand-over, adapter power management) and the driver's private adapter interface.
#pragma once

#include <ntddk.h>
#include <portcls.h>

// {3F6D2A91-7C48-4E05-9B1A-62D8E4C07B35}
inline constexpr GUID IID_IAdapterCommon = {
    0x3F6D2A91, 0x7C48, 0x4E05, {0x9B, 0x1A, 0x62, 0xD8, 0xE4, 0xC0, 0x7B, 0x35}};

// The adapter object's private interface.  Slots after IUnknown: Init.
struct IAdapterCommon : IUnknown {
    // Stores the DeviceContext of the adapter device and sets the power state to D0.
    // PASSIVE_LEVEL.  STATUS_SUCCESS.
    virtual NTSTATUS Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) = 0;

protected:
    ~IAdapterCommon() = default;
};
