// The PnP manager: package installation, device nodes, and the PnP requests of arrival,
// removal and eject.  System power is in system_power.cpp.
#include "pnp/pnp_manager.h"

#include "cm/registry.h"
#include "io/io_manager.h"
#include "pnp/power_state.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstdio>

namespace nt {
namespace {

std::mutex gInstancesLock;
std::map<Kernel*, PnpManager*> gInstances; // guarded by gInstancesLock

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end()); // service names and paths here are ASCII
}

NTSTATUS SignalRequestDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

const char* DevNodeStateName(DevNodeState state) {
    switch (state) {
    case DevNodeState::NoDriver:
        return "no-driver";
    case DevNodeState::Started:
        return "started";
    case DevNodeState::StartFailed:
        return "start-failed";
    case DevNodeState::SurpriseRemoved:
        return "surprise-removed";
    case DevNodeState::Removed:
        return "removed";
    }
    return "?";
}

NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill, ULONG_PTR* information) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PnP manager request");
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Every PnP and power request starts out unhandled.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill)
        fill(next);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalRequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr)
        *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

PnpManager::PnpManager(Kernel& kernel) : kernel_(kernel) {
    std::lock_guard<std::mutex> guard(gInstancesLock);
    gInstances[&kernel] = this;
}

PnpManager::~PnpManager() {
    {
        std::lock_guard<std::mutex> guard(gInstancesLock);
        gInstances.erase(&kernel_);
    }
    for (auto& [id, node] : nodes_)
        if (node.Info.Pdo != nullptr)
            ObDereferenceObject(node.Info.Pdo);
}

PnpManager* PnpManager::Of(Kernel& kernel) {
    std::lock_guard<std::mutex> guard(gInstancesLock);
    auto it = gInstances.find(&kernel);
    return it == gInstances.end() ? nullptr : it->second;
}

std::string PnpManager::ServiceKeyPath(const std::string& service) {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

std::string PnpManager::ClassKeyPath(const std::string& classGuid) {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + classGuid;
}

namespace {
constexpr const char* kDeviceIds = "\\Registry\\Machine\\System\\DriverDatabase\\DeviceIds\\";
}

NTSTATUS PnpManager::InstallPackage(const DriverPackage& p) {
    Registry& cm = kernel_.Cm();
    std::string service = ServiceKeyPath(p.Service);
    bool ok = cm.CreateKeyPath(service) && cm.SetString(service, "ImagePath", p.ImagePath, REG_EXPAND_SZ) &&
              cm.SetDword(service, "Type", 1) && cm.SetDword(service, "Start", 3) &&
              cm.SetDword(service, "ErrorControl", 1);
    for (const std::string& id : p.HardwareIds) {
        std::string key = kDeviceIds + id;
        ok = ok && cm.SetString(key, "Service", p.Service) && cm.SetString(key, "ClassGUID", p.ClassGuid) &&
             cm.SetString(key, "InfPath", p.InfPath) && cm.SetString(key, "DriverDesc", p.DriverDesc);
    }
    if (!p.InfoKey.empty()) {
        std::string info = "\\Registry\\Machine\\SOFTWARE\\Classes\\" + p.InfoKey;
        ok = ok && cm.CreateKeyPath(info) && cm.SetString(info, "", p.InstallFolder) &&
             cm.SetString(info, "version", p.Version) && cm.SetString(info, "copyright", p.Copyright);
        for (const auto& [name, value] : p.InfoDwords)
            ok = ok && cm.SetDword(info, name, value);
    }
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

std::string PnpManager::BindService(const std::vector<std::string>& hardwareIds, std::string* classGuid,
                                    std::string* infPath) {
    Registry& cm = kernel_.Cm();
    for (const std::string& id : hardwareIds) {
        std::string key = kDeviceIds + id;
        auto service = cm.GetString(key, "Service");
        if (!service || !cm.KeyExists(ServiceKeyPath(*service)))
            continue;
        *classGuid = cm.GetString(key, "ClassGUID").value_or("");
        *infPath = cm.GetString(key, "InfPath").value_or("");
        return *service;
    }
    return {};
}

PnpManager::DevNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
    for (auto& [id, node] : nodes_)
        if (node.Info.Pdo == pdo)
            return &node;
    return nullptr;
}

NTSTATUS PnpManager::LoadService(const std::string& service, PDRIVER_OBJECT* driver) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = services_.find(service);
        if (it != services_.end() && it->second.Driver != nullptr) {
            *driver = it->second.Driver;
            // A module waiting to unload is in use again.
            unloadPending_.erase(std::remove(unloadPending_.begin(), unloadPending_.end(), service),
                                 unloadPending_.end());
            return STATUS_SUCCESS;
        }
    }
    auto image = kernel_.Cm().GetString(ServiceKeyPath(service), "ImagePath");
    if (!image)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status = kernel_.Io().LoadDriver(*image, Widen(service), Widen(ServiceKeyPath(service)), driver);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(lock_);
    services_[service].Driver = *driver;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::BuildAndStart(DevNode* node, const std::string& service) {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoadService(service, &driver);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> guard(lock_);
        services_[service].Devices++;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    status = addDevice != nullptr ? addDevice(driver, node->Info.Pdo) : STATUS_INVALID_DEVICE_REQUEST;
    kernel_.Io().RunDeferredWork();
    if (!NT_SUCCESS(status) || IoGetAttachedDevice(node->Info.Pdo) == node->Info.Pdo) {
        // Nothing attached: the driver refused the device.
        if (NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
        ReleaseService(service);
        return status;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Info.Pdo);
    if (top->Flags & DO_DEVICE_INITIALIZING)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3101, reinterpret_cast<ULONG_PTR>(top), 0, 0,
                   "AddDevice returned with DO_DEVICE_INITIALIZING still set on the device it attached");
    status = PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
        // A failed start tears the stack down again with a remove request.
        PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        ReleaseService(service);
        return status;
    }
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = ~0u;
    caps.UINumber = ~0u;
    if (NT_SUCCESS(
            PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
                s->Parameters.DeviceCapabilities.Capabilities = &caps;
            })))
        node->Info.SurpriseRemovalOK = caps.SurpriseRemovalOK != 0;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::ReportDeviceArrival(PDEVICE_OBJECT pdo, const std::vector<std::string>& hardwareIds,
                                         const std::string& instanceId, ULONG* id) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PnpManager::ReportDeviceArrival");
    std::lock_guard<std::recursive_mutex> serial(pnpLock_);
    Registry& cm = kernel_.Cm();
    std::string enumKey = std::string(kEnumRoot) + "\\" + instanceId;
    cm.CreateKeyPath(enumKey);
    if (!hardwareIds.empty())
        cm.SetString(enumKey, "HardwareID", hardwareIds.front());

    DevNode* node;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ULONG n = nextId_++;
        node = &nodes_[n];
        node->Info.Id = n;
        node->Info.InstanceId = instanceId;
        node->Info.Pdo = pdo;
        ObReferenceObject(pdo);
        if (id != nullptr)
            *id = n;
    }
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    std::string classGuid, infPath;
    std::string service = BindService(hardwareIds, &classGuid, &infPath);
    if (service.empty()) {
        node->Info.State = DevNodeState::NoDriver;
        return STATUS_SUCCESS;
    }
    // The device's software key: reuse the one an earlier installation of this instance got.
    auto driverKey = cm.GetString(enumKey, "Driver");
    if (!driverKey || driverKey->rfind(classGuid, 0) != 0) {
        std::vector<std::string> used = cm.SubkeyNames(ClassKeyPath(classGuid));
        char number[8];
        for (unsigned i = 0;; ++i) {
            std::snprintf(number, sizeof number, "%04u", i);
            if (std::find(used.begin(), used.end(), number) == used.end())
                break;
        }
        driverKey = classGuid + "\\" + number;
        std::string classKey = ClassKeyPath(classGuid) + "\\" + number;
        cm.CreateKeyPath(classKey);
        cm.SetString(classKey, "InfPath", infPath);
        cm.SetString(classKey, "MatchingDeviceId", hardwareIds.front());
        cm.SetString(enumKey, "Driver", *driverKey);
    }
    cm.SetString(enumKey, "Service", service);
    node->Info.Service = service;
    node->Info.DriverKey = *driverKey;

    NTSTATUS status = BuildAndStart(node, service);
    node->Info.StartStatus = status;
    node->Info.State = NT_SUCCESS(status) ? DevNodeState::Started : DevNodeState::StartFailed;
    node->Info.SystemPower = systemPower_;
    ProcessPendingWork();
    return status;
}

ULONG PnpManager::OpenFilesOnStack(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(kernel_.Io().Lock());
    ULONG files = 0;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice)
        files += static_cast<ULONG>(std::max<LONG>(d->ReferenceCount, 0));
    return files;
}

void PnpManager::ReleaseService(const std::string& service) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = services_.find(service);
    if (it == services_.end())
        return;
    if (it->second.Devices > 0)
        it->second.Devices--;
    if (it->second.Devices == 0 && it->second.Driver != nullptr &&
        std::find(unloadPending_.begin(), unloadPending_.end(), service) == unloadPending_.end())
        unloadPending_.push_back(service);
}

void PnpManager::RemoveStack(DevNode* node, bool missing) {
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard<std::mutex> guard(kernel_.Io().Lock());
        for (PDEVICE_OBJECT d = node->Info.Pdo; d != nullptr; d = d->AttachedDevice)
            stack.push_back(d);
    }
    PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
    for (PDEVICE_OBJECT d : stack)
        if (d != node->Info.Pdo)
            PopForgetDevice(d);
    node->Info.State = DevNodeState::Removed;
    node->Info.Top = nullptr;
    ReleaseService(node->Info.Service);
    if (missing) {
        PDEVICE_OBJECT pdo = node->Info.Pdo;
        PopForgetDevice(pdo);
        {
            std::lock_guard<std::mutex> guard(lock_);
            nodes_.erase(node->Info.Id);
        }
        if (OnPdoReleased)
            OnPdoReleased(pdo);
        ObDereferenceObject(pdo);
    }
}

NTSTATUS PnpManager::ReportDeviceMissing(PDEVICE_OBJECT pdo) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PnpManager::ReportDeviceMissing");
    std::lock_guard<std::recursive_mutex> serial(pnpLock_);
    DevNode* node;
    {
        std::lock_guard<std::mutex> guard(lock_);
        node = FindByPdo(pdo);
    }
    if (node == nullptr || node->Missing)
        return STATUS_NO_SUCH_DEVICE;
    node->Missing = true;
    if (node->Info.State == DevNodeState::Started) {
        PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
        node->Info.State = DevNodeState::SurpriseRemoved;
    } else {
        // No stack (never started, failed or ejected): only the PDO goes.
        node->Info.State = DevNodeState::Removed;
        PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        PopForgetDevice(pdo);
        {
            std::lock_guard<std::mutex> guard(lock_);
            nodes_.erase(node->Info.Id);
        }
        if (OnPdoReleased)
            OnPdoReleased(pdo);
        ObDereferenceObject(pdo);
    }
    ProcessPendingWork();
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Eject(ULONG id) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PnpManager::Eject");
    std::lock_guard<std::recursive_mutex> serial(pnpLock_);
    DevNode* node;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = nodes_.find(id);
        node = it == nodes_.end() ? nullptr : &it->second;
    }
    if (node == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    if (node->Info.State != DevNodeState::Started)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
        PnpSendRequest(node->Info.Pdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
        return status;
    }
    RemoveStack(node, false);
    ProcessPendingWork();
    return STATUS_SUCCESS;
}

void PnpManager::ProcessPendingWork() {
    std::unique_lock<std::recursive_mutex> serial(pnpLock_, std::try_to_lock);
    if (!serial.owns_lock())
        return; // the operation in progress runs this when it ends
    std::vector<DevNode*> ready;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [id, node] : nodes_)
            if (node.Info.State == DevNodeState::SurpriseRemoved)
                ready.push_back(&node);
    }
    for (DevNode* node : ready)
        if (OpenFilesOnStack(node->Info.Pdo) == 0)
            RemoveStack(node, true);

    std::vector<std::pair<std::string, PDRIVER_OBJECT>> unload;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = unloadPending_.begin(); it != unloadPending_.end();) {
            Service& s = services_[*it];
            bool hasDevices;
            {
                std::lock_guard<std::mutex> io(kernel_.Io().Lock());
                hasDevices = s.Driver->DeviceObject != nullptr;
            }
            if (s.Devices == 0 && !hasDevices) {
                unload.emplace_back(*it, s.Driver);
                s.Driver = nullptr;
                it = unloadPending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& [service, driver] : unload)
        kernel_.Io().UnloadDriver(driver);
}

bool PnpManager::HasPendingWork() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!unloadPending_.empty())
        return true;
    for (auto& [id, node] : nodes_)
        if (node.Info.State == DevNodeState::SurpriseRemoved)
            return true;
    return false;
}

std::vector<DevNodeInfo> PnpManager::Devices() {
    std::vector<DevNodeInfo> out;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [id, node] : nodes_)
            out.push_back(node.Info);
    }
    for (DevNodeInfo& info : out) {
        info.OpenFiles = OpenFilesOnStack(info.Pdo);
        PDEVICE_OBJECT top = IoGetAttachedDevice(info.Pdo);
        info.Top = top != info.Pdo ? top : nullptr;
    }
    return out;
}

PDRIVER_OBJECT PnpManager::LoadedDriver(const std::string& service) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = services_.find(service);
    return it == services_.end() ? nullptr : it->second.Driver;
}

SYSTEM_POWER_STATE PnpManager::CurrentSystemPowerState() {
    std::lock_guard<std::mutex> guard(lock_);
    return systemPower_;
}

std::string PnpManager::DriverKeyPathFor(PDEVICE_OBJECT pdo, std::string* instanceId) {
    std::lock_guard<std::mutex> guard(lock_);
    DevNode* node = FindByPdo(pdo);
    if (node == nullptr)
        return {};
    if (instanceId != nullptr)
        *instanceId = node->Info.InstanceId;
    if (node->Info.DriverKey.empty())
        return {};
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + node->Info.DriverKey;
}

} // namespace nt
