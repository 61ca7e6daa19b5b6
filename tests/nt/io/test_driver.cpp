// A small driver module for the loader tests: one named control device with a link, and device
// controls that make it misbehave on purpose (leak pool, leave a timer set).
#include <wdm.h>

namespace {

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlLeakPool = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlArmTimer = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);

PDEVICE_OBJECT gDevice;
KTIMER gTimer;
KDPC gDpc;
WCHAR gRegistryPath[128]; // what DriverEntry was given, echoed back by kIoctlEcho

UNICODE_STRING Name(const WCHAR* s) {
    UNICODE_STRING u;
    USHORT n = 0;
    while (s[n] != 0)
        ++n;
    u.Buffer = const_cast<PWSTR>(s);
    u.Length = u.MaximumLength = static_cast<USHORT>(n * sizeof(WCHAR));
    return u;
}

VOID TimerDpc(PKDPC, PVOID, PVOID, PVOID) {}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case kIoctlEcho:
            information = sizeof(gRegistryPath);
            if (stack->Parameters.DeviceIoControl.OutputBufferLength < information)
                information = stack->Parameters.DeviceIoControl.OutputBufferLength;
            RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, gRegistryPath, information);
            break;
        case kIoctlLeakPool:
            ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, 0x6B61654C); // "Leak"
            break;
        case kIoctlArmTimer: {
            LARGE_INTEGER due;
            due.QuadPart = -10LL * 1000 * 1000;
            KeSetTimer(&gTimer, due, &gDpc);
            break;
        }
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link = Name(u"\\DosDevices\\IoTestDrv");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(gDevice);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ULONG n = registryPath->Length / sizeof(WCHAR);
    for (ULONG i = 0; i < n && i + 1 < 128; ++i)
        gRegistryPath[i] = registryPath->Buffer[i];
    KeInitializeTimer(&gTimer);
    KeInitializeDpc(&gDpc, TimerDpc, nullptr);
    UNICODE_STRING device = Name(u"\\Device\\IoTestDrv");
    UNICODE_STRING link = Name(u"\\DosDevices\\IoTestDrv");
    NTSTATUS status = IoCreateDevice(driver, 0, &device, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(gDevice);
        return status;
    }
    for (auto& f : driver->MajorFunction)
        f = Dispatch;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
