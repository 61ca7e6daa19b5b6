// The I/O manager's life cycle and its namespace of device names and symbolic links.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"
#include "ke/ki.h"
#include "ob/object_manager.h"

#include <algorithm>

#include <sys/mman.h>

namespace nt {

void IopDeleteDevice(PVOID body);
void IopDeleteFile(PVOID body);
void IopDeleteDriver(PVOID body);

IoManager::IoManager(Kernel& kernel) : kernel_(kernel) {
    KeInitializeSpinLock(&cancelLock_);
    (*IoDeviceObjectType)->Delete = &IopDeleteDevice;
    (*IoFileObjectType)->Delete = &IopDeleteFile;
    (*IoDriverObjectType)->Delete = &IopDeleteDriver;
    kernel.Ob().OnProcessTerminating.push_back([this](Process* process) { OnProcessTerminating(process); });
}

IoManager::~IoManager() {
    for (PVOID object : deferredDerefs_)
        ObDereferenceObject(object);
    deferredDerefs_.clear();
    for (PDEVICE_OBJECT device : shutdownDevices_)
        ObDereferenceObject(device);
    shutdownDevices_.clear();
    // The machine's threads are gone by now: release through the pool directly.
    for (PIRP irp : quarantine_)
        kernel_.Pool().Free(irp, kIrpPoolTag, true);
    quarantine_.clear();
    for (auto& [base, length] : poisoned_)
        munmap(base, length);
    for (LoadedDriver* driver : drivers_)
        delete driver;
}

IoManager& IoManager::Current() {
    Kernel* kernel = Kernel::Current();
    if (kernel == nullptr)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_IO_INVALID_IRP, 0, 0, 0,
                   "an I/O manager service was called from a thread outside the machine");
    return kernel->Io();
}

// ----- Names

std::u16string IoManager::CanonicalName(const std::u16string& name) {
    std::u16string s = name;
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    static const std::u16string aliases[] = {u"\\dosdevices\\", u"\\global??\\", u"\\\\.\\"};
    for (const auto& alias : aliases)
        if (s.rfind(alias, 0) == 0)
            return u"\\??\\" + s.substr(alias.size());
    return s;
}

NTSTATUS IoManager::InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(lock_);
    auto [it, inserted] = names_.try_emplace(CanonicalName(name));
    if (!inserted)
        return STATUS_OBJECT_NAME_COLLISION;
    it->second.Device = device;
    return STATUS_SUCCESS;
}

void IoManager::RemoveDeviceName(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    names_.erase(CanonicalName(name));
}

NTSTATUS IoManager::CreateLink(const std::u16string& link, const std::u16string& target) {
    std::lock_guard<std::mutex> guard(lock_);
    auto [it, inserted] = names_.try_emplace(CanonicalName(link));
    if (!inserted)
        return STATUS_OBJECT_NAME_COLLISION;
    it->second.Target = CanonicalName(target);
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::DeleteLink(const std::u16string& link) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = names_.find(CanonicalName(link));
    if (it == names_.end() || it->second.Device != nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    names_.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoManager::LookupDeviceLocked(const std::u16string& name, NTSTATUS* status,
                                             std::u16string* remainder) {
    std::u16string path = CanonicalName(name);
    std::u16string rest;
    for (int hops = 0; hops < 16; ++hops) {
        // The longest prefix of the path that is a name: what follows it is the file's own name.
        auto it = names_.find(path);
        size_t cut = path.size();
        while (it == names_.end()) {
            cut = path.rfind(u'\\', cut - 1);
            if (cut == 0 || cut == std::u16string::npos) {
                *status = STATUS_OBJECT_NAME_NOT_FOUND;
                return nullptr;
            }
            it = names_.find(path.substr(0, cut));
        }
        rest = path.substr(cut) + rest;
        if (it->second.Device != nullptr) {
            if (remainder != nullptr)
                *remainder = rest;
            *status = STATUS_SUCCESS;
            return it->second.Device;
        }
        path = it->second.Target;
    }
    *status = STATUS_OBJECT_PATH_NOT_FOUND;
    return nullptr;
}

// ----- Shutdown notification

void IoManager::AddShutdownDevice(PDEVICE_OBJECT device) {
    ObReferenceObject(device);
    std::lock_guard<std::mutex> guard(lock_);
    shutdownDevices_.push_back(device);
    device->DeviceObjectExtension->ShutdownRegistered = true;
}

void IoManager::RemoveShutdownDevice(PDEVICE_OBJECT device) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find(shutdownDevices_.begin(), shutdownDevices_.end(), device);
        if (it != shutdownDevices_.end()) {
            shutdownDevices_.erase(it);
            device->DeviceObjectExtension->ShutdownRegistered = false;
            found = true;
        }
    }
    if (found)
        ObDereferenceObject(device);
}

void IoManager::SendShutdownNotifications() {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::SendShutdownNotifications");
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard<std::mutex> guard(lock_);
        devices.assign(shutdownDevices_.rbegin(), shutdownDevices_.rend());
        for (PDEVICE_OBJECT device : devices)
            ObReferenceObject(device);
    }
    for (PDEVICE_OBJECT device : devices) {
        PIRP irp = IopAllocateThreadIrp(device, IRP_MJ_SHUTDOWN, KernelMode);
        if (irp != nullptr) {
            IO_STATUS_BLOCK iosb{};
            IopCallAndWait(device, irp, &iosb);
        }
        ObDereferenceObject(device);
    }
    RunDeferredWork();
}

// ----- Helpers

std::u16string IopToString(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string IopNarrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

Process* IopCurrentProcess() {
    return KiCurrentProcess();
}

PDEVICE_OBJECT IopTopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoManager::Current().Lock());
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

} // namespace nt
