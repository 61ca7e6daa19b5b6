// Device objects: creation with an extension and an optional name, deletion that waits for the
// last open file, device stacks (attach/detach), symbolic links and shutdown registration.
//
// A device object is an object-manager object of type *IoDeviceObjectType whose body holds the
// DEVICE_OBJECT, the I/O manager's _DEVOBJ_EXTENSION and the driver's extension, in that order.
// Its creation reference goes when the deletion completes: at IoDeleteDevice when no file is open
// on it (ReferenceCount 0), otherwise when the last such file is closed.  Until then the name
// stays, so a new device cannot take it.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ob/object_manager.h"

#include <new>

using namespace nt;

namespace {

constexpr size_t AlignUp(size_t n) {
    return (n + 15) & ~size_t(15);
}
constexpr size_t kExtensionOffset = AlignUp(sizeof(DEVICE_OBJECT));
constexpr size_t kDriverAreaOffset = AlignUp(kExtensionOffset + sizeof(_DEVOBJ_EXTENSION));

} // namespace

namespace nt {

void IopDeleteDevice(PVOID body) {
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    if (device->DeviceObjectExtension != nullptr)
        device->DeviceObjectExtension->~_DEVOBJ_EXTENSION();
}

void IopCompleteDeviceDeletion(PDEVICE_OBJECT device) {
    IoManager& io = IoManager::Current();
    _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    if (!ext->Name.empty())
        io.RemoveDeviceName(ext->Name);
    {
        std::lock_guard<std::mutex> guard(io.Lock());
        PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
        while (*link != nullptr && *link != device)
            link = &(*link)->NextDevice;
        if (*link == device)
            *link = device->NextDevice;
        device->NextDevice = nullptr;
    }
    ObDereferenceObject(device);
}

// Drops one open file's reference; completes a pending deletion on the last.  PASSIVE_LEVEL.
void IopDropDeviceReference(PDEVICE_OBJECT device) {
    bool complete;
    {
        std::lock_guard<std::mutex> guard(IoManager::Current().Lock());
        LONG left = --device->ReferenceCount;
        _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
        complete = left == 0 && ext->DeletePending && !ext->Deleted;
        if (complete)
            ext->Deleted = true;
    }
    if (complete)
        IopCompleteDeviceDeletion(device);
}

} // namespace nt

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    IoManager& io = IoManager::Current();
    std::u16string name = IopToString(DeviceName);
    size_t size = kDriverAreaOffset + DeviceExtensionSize;
    auto* device = static_cast<PDEVICE_OBJECT>(ObCreateObjectBody(*IoDeviceObjectType, size));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* bytes = reinterpret_cast<UCHAR*>(device);
    auto* ext = new (bytes + kExtensionOffset) _DEVOBJ_EXTENSION();
    ext->DeviceObject = device;
    ext->Name = name;
    ext->Exclusive = Exclusive != FALSE;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags =
        DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? bytes + kDriverAreaOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = ext;

    if (!name.empty()) {
        NTSTATUS status = io.InsertDeviceName(name, device);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(device);
            return status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(io.Lock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    IoManager& io = IoManager::Current();
    _DEVOBJ_EXTENSION* ext = DeviceObject->DeviceObjectExtension;
    if (ext->ShutdownRegistered)
        io.RemoveShutdownDevice(DeviceObject);
    bool complete;
    {
        std::lock_guard<std::mutex> guard(io.Lock());
        if (DeviceObject->AttachedDevice != nullptr)
            IopViolation(VF_IO_DELETE_ATTACHED_DEVICE, reinterpret_cast<ULONG_PTR>(DeviceObject),
                         reinterpret_cast<ULONG_PTR>(DeviceObject->AttachedDevice), 0,
                         "IoDeleteDevice on a device that another device is still attached to");
        if (ext->DeletePending)
            IopViolation(VF_IO_DELETE_TWICE, reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0,
                         "IoDeleteDevice called twice for the same device");
        ext->DeletePending = true;
        complete = DeviceObject->ReferenceCount == 0;
        if (complete)
            ext->Deleted = true;
    }
    if (complete)
        IopCompleteDeviceDeletion(DeviceObject);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    return IoManager::Current().CreateLink(IopToString(SymbolicLinkName), IopToString(DeviceName));
}

// IRQL: PASSIVE_LEVEL.  Links carry no security descriptor here, so both forms behave alike.
NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoCreateUnprotectedSymbolicLink");
    return IoManager::Current().CreateLink(IopToString(SymbolicLinkName), IopToString(DeviceName));
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    return IoManager::Current().DeleteLink(IopToString(SymbolicLinkName));
}

// IRQL: <= DISPATCH_LEVEL.
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDevice");
    return IopTopOfStack(DeviceObject);
}

// IRQL: <= DISPATCH_LEVEL.
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    std::lock_guard<std::mutex> guard(IoManager::Current().Lock());
    while (DeviceObject->AttachedDevice != nullptr)
        DeviceObject = DeviceObject->AttachedDevice;
    ObReferenceObject(DeviceObject);
    return DeviceObject;
}

// IRQL: PASSIVE_LEVEL.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> guard(IoManager::Current().Lock());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    if (top->DeviceObjectExtension->DeletePending)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

// IRQL: PASSIVE_LEVEL.
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> guard(IoManager::Current().Lock());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper != nullptr)
        upper->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoRegisterShutdownNotification");
    IoManager::Current().AddShutdownDevice(DeviceObject);
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoUnregisterShutdownNotification");
    IoManager::Current().RemoveShutdownDevice(DeviceObject);
}

PDRIVER_EXTENSION IoGetDriverExtension(PDRIVER_OBJECT DriverObject) {
    return DriverObject->DriverExtension;
}
