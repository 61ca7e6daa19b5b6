// DriverEntry, AddDevice and DriverUnload: the driver's registration with port-class and its
// driver-wide data.  IRQL: PASSIVE_LEVEL.
#include "../asio/AsioRequests.h"
#include "DeviceContext.h"
#include "DriverGlobals.h"
#include "Entry.h"

SharedSettings* g_SharedSettings = nullptr;
AsioSyncRecord* g_AsioSyncRecord = nullptr;

namespace {

// The driver-wide records live as long as the module; the pointers above say whether they are
// set up (DriverEntry) or forgotten (DriverUnload).
SharedSettings s_SharedSettings;
AsioSyncRecord s_AsioSyncRecord;

const ULONG kMaxSubdevices = 6;

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);

    // Port-class handles every other major function (cleanup on the control device included).
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchIrp;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    DriverObject->DriverUnload = DriverUnload;

    // A missing copy only means that settings are neither read nor saved.
    if (g_RegistryPath == nullptr && RegistryPath != nullptr && RegistryPath->Buffer != nullptr) {
        const ULONG chars = RegistryPath->Length / sizeof(WCHAR);
        auto* copy = static_cast<PWSTR>(ExAllocatePool(NonPagedPoolNx, (chars + 1) * sizeof(WCHAR)));
        if (copy != nullptr) {
            RtlCopyMemory(copy, RegistryPath->Buffer, chars * sizeof(WCHAR));
            copy[chars] = 0;
            g_RegistryPath = copy;
        }
    }

    if (g_SharedSettings == nullptr) {
        InitializeSharedSettings(&s_SharedSettings);
        g_SharedSettings = &s_SharedSettings;
    }
    if (g_AsioSyncRecord == nullptr) {
        InitializeAsioSyncRecord(&s_AsioSyncRecord);
        g_AsioSyncRecord = &s_AsioSyncRecord;
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, kMaxSubdevices,
                                         ADAPTER_EXTENSION_SIZE);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    status = IoRegisterShutdownNotification(top);
    DeviceExtensionPart* part = ExtensionPart(top);
    new (part->RoleStorage) AdapterRoleTag();
    part->Context = nullptr;
    part->DriverObject = DriverObject;
    part->PhysicalDeviceObject = PhysicalDeviceObject;
    ObDereferenceObject(top);
    return status;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (g_RegistryPath != nullptr) {
        ExFreePool(g_RegistryPath);
        g_RegistryPath = nullptr;
    }
    g_SharedSettings = nullptr;
    g_AsioSyncRecord = nullptr;
}
