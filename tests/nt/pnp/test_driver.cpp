// A small port-class adapter driver for the PnP manager's tests: it records what reaches it
// through PnpTestRecord (exported by the test program) and behaves as PnpTestOption says.
#include <portcls.h>

#include <new>
#include <string>

extern "C" void PnpTestRecord(const char* event);
extern "C" int PnpTestOption(const char* name);

namespace {

constexpr ULONG kTag = 0x74736554; // "Test"

struct DriverPart {
    bool IsControl;
    PDEVICE_OBJECT Control; // adapter device: its control device
};

DriverPart* PartOf(PDEVICE_OBJECT device) {
    return reinterpret_cast<DriverPart*>(static_cast<UCHAR*>(device->DeviceExtension) +
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

void Record(const std::string& s) {
    PnpTestRecord(s.c_str());
}

void MakeNames(int number, WCHAR* device, WCHAR* link) {
    std::u16string d = u"\\Device\\PnpTest00", l = u"\\DosDevices\\PnpTest00";
    d += char16_t(u'0' + number);
    l += char16_t(u'0' + number);
    d.copy(device, d.size());
    device[d.size()] = 0;
    l.copy(link, l.size());
    link[l.size()] = 0;
}

// The adapter's power object; its last release is the device's teardown.
struct Adapter final : IAdapterPowerManagement {
    LONG Refs = 1;
    PDEVICE_OBJECT Fdo;
    explicit Adapter(PDEVICE_OBJECT fdo) : Fdo(fdo) {}
    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IAdapterPowerManagement) {
            *out = static_cast<IAdapterPowerManagement*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return InterlockedIncrement(&Refs); }
    ULONG Release() override {
        LONG left = InterlockedDecrement(&Refs);
        if (left == 0) {
            Record("teardown");
            PDEVICE_OBJECT control = PartOf(Fdo)->Control;
            if (control != nullptr) {
                WCHAR name[32], link[32];
                MakeNames(1, name, link);
                UNICODE_STRING l;
                RtlInitUnicodeString(&l, link);
                IoDeleteSymbolicLink(&l);
                IoDeleteDevice(control);
            }
            this->~Adapter();
            ExFreePoolWithTag(this, kTag);
        }
        return static_cast<ULONG>(left);
    }
    void PowerChangeState(POWER_STATE s) override {
        Record("PowerChangeState D" + std::to_string(s.DeviceState - 1));
    }
    NTSTATUS QueryPowerChangeState(POWER_STATE s) override {
        Record("QueryPowerChangeState D" + std::to_string(s.DeviceState - 1));
        return PnpTestOption("veto-power") ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
        Record("QueryDeviceCapabilities");
        caps->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }
};

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP, PRESOURCELIST) {
    Record("StartDevice");
    if (PnpTestOption("fail-start"))
        return STATUS_UNSUCCESSFUL;
    WCHAR name[32], link[32];
    MakeNames(1, name, link);
    UNICODE_STRING n, l;
    RtlInitUnicodeString(&n, name);
    RtlInitUnicodeString(&l, link);
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(fdo->DriverObject, PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DriverPart),
                                     &n, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
    if (NT_SUCCESS(status)) {
        PartOf(control)->IsControl = true;
        IoCreateSymbolicLink(&l, &n);
        control->Flags &= ~DO_DEVICE_INITIALIZING;
        PartOf(fdo)->Control = control;
    }
    void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(Adapter), kTag);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* adapter = new (memory) Adapter(fdo);
    status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement*>(adapter), fdo);
    adapter->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Record("AddDevice");
    return PcAddAdapterDevice(driver, pdo, StartDevice, 6,
                              static_cast<ULONG>(PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DriverPart)));
}

NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (PartOf(device)->IsControl) {
        NTSTATUS status = stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE
                              ? STATUS_SUCCESS
                              : STATUS_NOT_IMPLEMENTED;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_PNP) {
        Record("fdo pnp " + std::to_string(stack->MinorFunction));
        if (stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && PnpTestOption("busy")) {
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        }
    } else if (stack->MajorFunction == IRP_MJ_POWER) {
        bool system = stack->Parameters.Power.Type == SystemPowerState;
        Record(std::string("fdo power ") + std::to_string(stack->MinorFunction) + (system ? " S" : " D") +
               std::to_string(system ? stack->Parameters.Power.State.SystemState - 1
                                     : stack->Parameters.Power.State.DeviceState - 1));
    }
    return PcDispatchIrp(device, irp);
}

VOID DriverUnload(PDRIVER_OBJECT) {
    Record("DriverUnload");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    Record("DriverEntry");
    NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchIrp;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchIrp;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchIrp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchIrp;
    driver->DriverUnload = DriverUnload;
    return status;
}
