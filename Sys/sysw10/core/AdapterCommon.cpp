// AdapterCommon: three interface tables (the private adapter interface, IAdapterPowerManagement
// and the non-delegating unknown) over one reference count.
#include "AdapterCommon.h"

#include "../engine/StreamEngine.h"
#include "DriverGlobals.h"

namespace {

class AdapterCommon final : public IAdapterCommon,
                            public IAdapterPowerManagement,
                            public INonDelegatingUnknown {
public:
    // IRQL of every method: PASSIVE_LEVEL, except the reference counting (<= DISPATCH_LEVEL).
    explicit AdapterCommon() : references_(1) {}
    virtual ~AdapterCommon() {
        if (context_ != nullptr)
            TeardownDevice(context_);
    }

    // Forwarding unknown of both interfaces (the controlling unknown is the object itself).
    NTSTATUS QueryInterface(REFIID Iid, PVOID* Object) override {
        return NonDelegatingQueryInterface(Iid, Object);
    }
    ULONG AddRef() override { return NonDelegatingAddRef(); }
    ULONG Release() override { return NonDelegatingRelease(); }

    NTSTATUS Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) override {
        UNREFERENCED_PARAMETER(ResourceList);
        DeviceExtensionPart* part = ExtensionPart(DeviceObject);
        context_ = part != nullptr ? part->Context : nullptr;
        powerState_ = PowerDeviceD0;
        return STATUS_SUCCESS;
    }

    void PowerChangeState(POWER_STATE NewState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE NewStateQuery) override {
        const DEVICE_POWER_STATE state = NewStateQuery.DeviceState;
        return state >= PowerDeviceD0 && state <= PowerDeviceD3 ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES Capabilities) override {
        Capabilities->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }

    NTSTATUS NonDelegatingQueryInterface(REFIID Iid, PVOID* Object) override {
        if (IsEqualGUID(Iid, IID_IUnknown) || IsEqualGUID(Iid, IID_IAdapterCommon)) {
            *Object = static_cast<IAdapterCommon*>(this);
        } else if (IsEqualGUID(Iid, IID_IAdapterPowerManagement)) {
            *Object = static_cast<IAdapterPowerManagement*>(this);
        } else {
            *Object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    ULONG NonDelegatingAddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG NonDelegatingRelease() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            this->~AdapterCommon();
            ExFreePoolWithTag(this, ADAPTER_COMMON_POOL_TAG);
        }
        return static_cast<ULONG>(left);
    }

private:
    volatile LONG references_;
    DeviceContext* context_ = nullptr;              // set by Init; the teardown's DeviceContext
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0; // written on the serialised power path only
};

void AdapterCommon::PowerChangeState(POWER_STATE NewState) {
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == powerState_ || state < PowerDeviceD0 || state > PowerDeviceD3 || context_ == nullptr) {
        if (state >= PowerDeviceD0 && state <= PowerDeviceD3)
            powerState_ = state;
        return;
    }
    DeviceContext* context = context_;
    UsbDevice* usb = &context->Usb;
    KIRQL irql;
    if (state != PowerDeviceD0) {
        powerState_ = state;
        CancelAdapterTimer(&context->Timer);
        SavePendingSettings(g_SharedSettings);
        const LONG deviceState = ReadDeviceState(usb);
        if (deviceState != DeviceNotStarted && deviceState != DevicePoweredDown &&
            deviceState != DeviceSurpriseRemoved && deviceState != DeviceRemoved)
            WriteDeviceState(usb, DevicePoweredDown);
        AcquireAttachMutex(&context->Engine);
        SendPowerCommand(&context->Engine, EnginePowerDown);
        ReleaseAttachMutex(&context->Engine);
        StopWorkerThread(&context->MidiWorker);
        KeAcquireSpinLock(&context->MidiOut.Lock, &irql);
        context->MidiOut.SuspendState = MidiPoweredDown;
        KeReleaseSpinLock(&context->MidiOut.Lock, irql);
        StopMidiOutPipe(&context->MidiOut);
        StopMidiInPipe(&context->MidiIn);
        return;
    }

    powerState_ = PowerDeviceD0;
    if (QueryPortConnected(usb) == 0)
        return; // unplugged: nothing restarts, state and timer stay as they are
    KeAcquireSpinLock(&context->MidiOut.Lock, &irql);
    context->MidiOut.SuspendState = MidiPowered;
    if (MidiOutHasQueuedEvents(&context->MidiOut))
        KickOutLocked(&context->MidiOut);
    KeReleaseSpinLock(&context->MidiOut.Lock, irql);
    KickIn(&context->MidiIn);
    AcquireAttachMutex(&context->Engine);
    const ULONG running = SendPowerCommand(&context->Engine, EnginePowerUp);
    ReleaseAttachMutex(&context->Engine);
    if (running == 0) {
        AcquireAttachMutex(&context->Engine);
        SendPowerCommand(&context->Engine, EnginePowerDown);
        ReleaseAttachMutex(&context->Engine);
    }
    const LONG deviceState = ReadDeviceState(usb);
    if ((deviceState < 0 || deviceState > DeviceRunning) && deviceState != DeviceSurpriseRemoved &&
        deviceState != DeviceRemoved)
        WriteDeviceState(usb, DeviceRunning);
    ArmAdapterTimer(&context->Timer);
}

} // namespace

NTSTATUS CreateAdapterCommon(PDEVICE_OBJECT AdapterDevice, DeviceContext* Context, IAdapterCommon** Common) {
    *Common = nullptr;
    PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(AdapterCommon), ADAPTER_COMMON_POOL_TAG);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* object = new (memory) AdapterCommon();
    INonDelegatingUnknown* unknown = object;

    IAdapterCommon* common = nullptr;
    NTSTATUS status =
        unknown->NonDelegatingQueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&common));
    if (NT_SUCCESS(status))
        status = common->Init(nullptr, AdapterDevice);
    if (NT_SUCCESS(status))
        status = PcRegisterAdapterPowerManagement(common, AdapterDevice);
    if (NT_SUCCESS(status)) {
        Context->AdapterCommon = common;
        *Common = common;
    } else if (common != nullptr) {
        common->Release();
    }
    unknown->NonDelegatingRelease(); // the construction reference
    return status;
}
