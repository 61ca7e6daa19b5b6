// Driver modules: a driver is a shared object exporting DriverEntry, loaded the way the system
// loads an image (dlopen), given a driver object "\Driver\<service>" and its registry path.
// Unloading checks what a driver must have given back before its code goes away: device objects,
// timers and DPCs inside the module (DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS), and
// pool charged to the module (DRIVER_VERIFIER_DETECTED_VIOLATION 0x62 with the blocks listed).
#include "io/iop.h"
#include "vf/verifier.h"
#include "ob/object_manager.h"
#include "ex/pool.h"
#include "ke/ki.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <new>

using namespace nt;

namespace {

constexpr ULONG kVfPoolLeakAtUnload = 0x62; // sub-code: driver unloading without freeing its pool
constexpr NTSTATUS kStatusInvalidImageFormat = static_cast<NTSTATUS>(0xC000007BL);

struct DriverExtra {
    std::u16string Name; // backing store of DRIVER_OBJECT.DriverName
    std::u16string Service;
};

constexpr size_t AlignUp(size_t n) {
    return (n + 15) & ~size_t(15);
}
constexpr size_t kDriverExtensionOffset = AlignUp(sizeof(DRIVER_OBJECT));
constexpr size_t kExtraOffset = AlignUp(kDriverExtensionOffset + sizeof(DRIVER_EXTENSION));

DriverExtra* ExtraOf(PDRIVER_OBJECT driver) {
    return reinterpret_cast<DriverExtra*>(reinterpret_cast<UCHAR*>(driver) + kExtraOffset);
}

void SetString(UNICODE_STRING* s, std::u16string& store) {
    s->Buffer = store.data();
    s->Length = static_cast<USHORT>(store.size() * sizeof(WCHAR));
    s->MaximumLength = s->Length;
}

// The extent of the loaded image whose base is `base`.
struct ImageExtent {
    ULONG_PTR Base;
    ULONG_PTR Start = 0;
    ULONG_PTR End = 0;
};

int FindExtent(struct dl_phdr_info* info, size_t, void* data) {
    auto* extent = static_cast<ImageExtent*>(data);
    if (info->dlpi_addr != extent->Base)
        return 0;
    ULONG_PTR lo = ~ULONG_PTR(0), hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        lo = std::min<ULONG_PTR>(lo, info->dlpi_addr + ph.p_vaddr);
        hi = std::max<ULONG_PTR>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
    }
    extent->Start = lo;
    extent->End = hi;
    return 1;
}

} // namespace

namespace nt {

void IopDeleteDriver(PVOID body) {
    ExtraOf(static_cast<PDRIVER_OBJECT>(body))->~DriverExtra();
}

PDRIVER_OBJECT IoManager::CreateDriverObject(const std::u16string& serviceName) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::CreateDriverObject");
    auto* driver = static_cast<PDRIVER_OBJECT>(
        ObCreateObjectBody(*IoDriverObjectType, kExtraOffset + sizeof(DriverExtra)));
    if (driver == nullptr)
        return nullptr;
    DriverExtra* extra = new (ExtraOf(driver)) DriverExtra();
    extra->Name = u"\\Driver\\" + serviceName;
    extra->Service = serviceName;
    auto* extension =
        reinterpret_cast<PDRIVER_EXTENSION>(reinterpret_cast<UCHAR*>(driver) + kDriverExtensionOffset);
    extension->DriverObject = driver;
    SetString(&extension->ServiceKeyName, extra->Service);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    SetString(&driver->DriverName, extra->Name);
    // Every major function starts out refusing the request, as on Windows.
    for (auto& dispatch : driver->MajorFunction)
        dispatch = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        };
    return driver;
}

NTSTATUS IoManager::LoadDriver(const std::string& path, const std::u16string& serviceName,
                               const std::u16string& registryPath, PDRIVER_OBJECT* driverOut) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::LoadDriver");
    *driverOut = nullptr;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    Dl_info info{};
    if (entry == nullptr || dladdr(reinterpret_cast<void*>(entry), &info) == 0) {
        dlclose(module);
        return kStatusInvalidImageFormat;
    }
    PDRIVER_OBJECT driver = CreateDriverObject(serviceName);
    if (driver == nullptr) {
        dlclose(module);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ImageExtent extent{reinterpret_cast<ULONG_PTR>(info.dli_fbase)};
    dl_iterate_phdr(&FindExtent, &extent);
    if (extent.End > extent.Start) {
        driver->DriverStart = reinterpret_cast<PVOID>(extent.Start);
        driver->DriverSize = static_cast<ULONG>(extent.End - extent.Start);
    }
    driver->DriverInit = entry;

    auto* loaded = new LoadedDriver;
    loaded->Module = module;
    loaded->Driver = driver;
    loaded->Path = path;
    loaded->ServiceName = serviceName;
    loaded->RegistryPath = registryPath;
    SetString(&loaded->RegistryPathString, loaded->RegistryPath);
    driver->DriverSection = loaded;

    NTSTATUS status = entry(driver, &loaded->RegistryPathString);
    RunDeferredWork();
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(driver);
        dlclose(module);
        delete loaded;
        return status;
    }
    {
        // Devices created in DriverEntry are ready once it returns.
        std::lock_guard<std::mutex> guard(lock_);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
            d->Flags &= ~DO_DEVICE_INITIALIZING;
        drivers_.push_back(loaded);
    }
    *driverOut = driver;
    return STATUS_SUCCESS;
}

void IoManager::UnloadDriver(PDRIVER_OBJECT driver) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::UnloadDriver");
    if (driver->DriverUnload != nullptr)
        driver->DriverUnload(driver);
    RunDeferredWork();

    std::string name = IopNarrow(ExtraOf(driver)->Name);
    std::string devices;
    ULONG count = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice, ++count) {
            const std::u16string& deviceName = d->DeviceObjectExtension->Name;
            devices += "\n  " + (deviceName.empty() ? std::string("(unnamed)") : IopNarrow(deviceName));
        }
    }
    if (count != 0)
        IopViolation(VF_IO_UNLOAD_WITH_DEVICES, reinterpret_cast<ULONG_PTR>(driver), count, 0,
                     name + " unloaded with device objects it did not delete:" + devices);

    auto* loaded = static_cast<LoadedDriver*>(driver->DriverSection);
    if (loaded != nullptr) {
        if (KiHasPendingTimersOrDpcsIn(driver->DriverStart, driver->DriverSize))
            VfBugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                       reinterpret_cast<ULONG_PTR>(driver->DriverStart), driver->DriverSize, 0, 0,
                       name + " unloaded with a timer set or a DPC queued that runs its code");
        auto leaks = kernel_.Pool().OutstandingFor(reinterpret_cast<const void*>(driver->DriverInit));
        if (!leaks.empty()) {
            size_t bytes = 0;
            for (const auto& block : leaks)
                bytes += block.Size;
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVfPoolLeakAtUnload,
                       reinterpret_cast<ULONG_PTR>(driver), bytes, leaks.size(),
                       name + " unloaded without freeing its pool allocations:\n" +
                           FormatPoolAllocations(leaks));
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            drivers_.erase(std::remove(drivers_.begin(), drivers_.end(), loaded), drivers_.end());
        }
        driver->DriverSection = nullptr;
        dlclose(loaded->Module);
        delete loaded;
    }
    ObDereferenceObject(driver);
}

} // namespace nt
