// IoOpenDeviceRegistryKey: a device's hardware and software keys, found through its device node.
#include "pnp/pnp_manager.h"

#include "cm/registry.h"
#include "vf/verifier.h"

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    *DevInstRegKey = nullptr;
    nt::Kernel* kernel = nt::Kernel::Current();
    nt::PnpManager* pnp = kernel != nullptr ? nt::PnpManager::Of(*kernel) : nullptr;
    if (pnp == nullptr || DeviceObject == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string instance;
    std::string driverKey = pnp->DriverKeyPathFor(DeviceObject, &instance);
    if (instance.empty())
        return STATUS_INVALID_DEVICE_REQUEST; // not a PDO the PnP manager knows
    std::string path;
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DRIVER:
        if (driverKey.empty())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        path = driverKey;
        break;
    case PLUGPLAY_REGKEY_DEVICE:
        path = std::string(nt::PnpManager::kEnumRoot) + "\\" + instance + "\\Device Parameters";
        kernel->Cm().CreateKeyPath(path);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string wide(path.begin(), path.end());
    UNICODE_STRING name;
    name.Buffer = wide.data();
    name.Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(DevInstRegKey, DesiredAccess, &oa);
}
