// The DeviceContext's reference count: the start holds one, every open handle on the adapter
// device or the control device one more.  The thread that takes it from 1 to 0 deletes the
// control device and its link and frees the block.
#include "DeviceContext.h"
#include "References.h"
#include "ControlDevice.h"

namespace {

// Guards the control device's Context pointer against a create that reads it while the last
// reference goes: the 1 -> 0 transition and the clearing of the pointer happen under it, so a
// create sees either no DeviceContext or one with a reference it can add to.
KSPIN_LOCK s_ContextLock = 0;

} // namespace

VOID ReleaseDeviceContext(DeviceContext* Context) {
    KIRQL irql;
    KeAcquireSpinLock(&s_ContextLock, &irql);
    const LONG before = InterlockedExchangeAdd(&Context->ReferenceCount, -1);
    const bool last = before == 1;
    if (last && Context->Control.Device != nullptr)
        ExtensionPart(Context->Control.Device)->Context = nullptr;
    KeReleaseSpinLock(&s_ContextLock, irql);
    // A count that was already 0 is a release without a reference: freeing again would free
    // twice, so only the 1 -> 0 transition frees.
    if (!last)
        return;
    DeleteControlDevice(Context);
    ExFreePool(Context);
}

DeviceContext* ReferenceControlContext(PDEVICE_OBJECT ControlDevice, NTSTATUS* Status) {
    DeviceExtensionPart* part = ExtensionPart(ControlDevice);
    KIRQL irql;
    KeAcquireSpinLock(&s_ContextLock, &irql);
    DeviceContext* context = part->Context;
    *Status = STATUS_UNSUCCESSFUL;
    if (context != nullptr) {
        const LONG state = ReadDeviceState(&context->Usb);
        if (state == DeviceRunning || state == DeviceWaking || state == DevicePoweredDown) {
            InterlockedIncrement(&context->ReferenceCount);
            *Status = STATUS_SUCCESS;
        } else {
            *Status = STATUS_DELETE_PENDING;
            context = nullptr;
        }
    }
    KeReleaseSpinLock(&s_ContextLock, irql);
    return context;
}
