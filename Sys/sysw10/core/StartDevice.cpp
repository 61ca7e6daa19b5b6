// Device start: the DeviceContext, stage 1 (InitializeDevice: USB configuration, control device,
// settings, pipe bindings, link), the adapter object and stage 2 (StartDeviceFunctions).  Also
// the DeviceContext's reference count.
//
// IRQL: PASSIVE_LEVEL, on the start request (the PnP manager serialises it with the device's
// other PnP and power requests).
#include "AdapterCommon.h"
#include "ControlDevice.h"
#include "DeviceContext.h"
#include "DriverGlobals.h"
#include "Entry.h"

namespace {

// The members' initial values; the later Parts' objects start empty and unbound.
VOID ConstructDeviceContext(DeviceContext* Context) {
    RtlZeroMemory(Context, sizeof(*Context));
    KeInitializeTimer(&Context->Timer.Timer);
    KeInitializeDpc(&Context->Timer.Dpc, AdapterTimerDpc, Context);
    Context->Timer.Context = Context;
    Context->Timer.Armed = 0;
    Context->Control.Device = nullptr;
    Context->AdapterCommon = nullptr;
    Context->ReferenceCount = 0;
    KeInitializeEvent(&Context->ControlRequestEvent, SynchronizationEvent, TRUE);
    WriteDeviceState(&Context->Usb, DeviceNotStarted);
    KeInitializeSpinLock(&Context->MidiOut.Lock);
    Context->MidiOut.SuspendState = MidiPoweredDown;
    KeInitializeEvent(&Context->Engine.AttachMutex, SynchronizationEvent, TRUE);
    InitializeWorkerThread(&Context->Engine.Worker);
    InitializeWorkerThread(&Context->MidiWorker);
}

BOOLEAN InitializeDevice(DeviceContext* Context) {
    UsbDevice* usb = &Context->Usb;
    usb->Settings = g_SharedSettings;
    usb->SampleRate = 44100;
    usb->HighSpeed = 0;
    usb->TargetDevice = Context->PhysicalDeviceObject;
    usb->SettingsListener = usb;
    InitializePipeBindings(usb);

    if (!ConfigureUsbDevice(usb)) {
        DeconfigureUsbDevice(usb);
        return FALSE;
    }
    if (!CreateControlDevice(Context)) {
        DeconfigureUsbDevice(usb);
        return FALSE;
    }
    KeInitializeSpinLock(&usb->TimerResolutionLock);
    LoadSettings(g_SharedSettings);
    QueryHighSpeed(usb, Context->PhysicalDeviceObject);

    if (ProbeInterfaces(usb) && BindPipeAtStart(&usb->MidiOut, usb, 0) &&
        BindPipeAtStart(&usb->MidiIn, usb, 1) &&
        (usb->PlaybackPresent == 0 || BindPipeAtStart(&usb->AudioOut, usb, 0)) &&
        (usb->CapturePresent == 0 || BindPipeAtStart(&usb->AudioIn, usb, 0)) &&
        NT_SUCCESS(CreateControlLink(Context)))
        return TRUE;

    DeconfigureUsbDevice(usb);
    DeleteControlDevice(Context);
    return FALSE;
}

// Undoes stage 1 after it succeeded, when the start cannot go on: the start reference goes and
// with it the control device and the DeviceContext (no handle can be open yet: the link exists
// but opening needs DeviceRunning, DeviceWaking or DevicePoweredDown).
VOID AbandonDeviceContext(DeviceExtensionPart* Part, DeviceContext* Context) {
    Context->AdapterCommon = nullptr;
    DeconfigureUsbDevice(&Context->Usb);
    Context->DriverObject = nullptr;
    Context->PhysicalDeviceObject = nullptr;
    Context->Usb.TargetDevice = nullptr;
    Part->Context = nullptr;
    ReleaseDeviceContext(Context);
}

} // namespace

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
    UNREFERENCED_PARAMETER(ResourceList);
    DeviceExtensionPart* part = ExtensionPart(DeviceObject);
    part->Context = nullptr;
    auto* context = static_cast<DeviceContext*>(ExAllocatePool(NonPagedPoolNx, sizeof(DeviceContext)));
    if (context == nullptr)
        return STATUS_SUCCESS; // the adapter device runs without a DeviceContext
    ConstructDeviceContext(context);
    part->Context = context;
    context->DriverObject = part->DriverObject;
    context->PhysicalDeviceObject = part->PhysicalDeviceObject;

    BOOLEAN initialized = InitializeDevice(context);
    InterlockedIncrement(&context->ReferenceCount); // the start reference; TeardownDevice drops it
    if (!initialized) {
        AbandonDeviceContext(part, context);
        return STATUS_SUCCESS;
    }

    IAdapterCommon* common = nullptr;
    NTSTATUS status = CreateAdapterCommon(DeviceObject, context, &common);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        // Nothing holds the stage-1 DeviceContext but the start reference: release it here.
        AbandonDeviceContext(part, context);
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        // The object was built but could not be handed to port-class; its release has torn the
        // device down and freed the DeviceContext.
        part->Context = nullptr;
        return STATUS_UNSUCCESSFUL;
    }

    if (!StartDeviceFunctions(context, DeviceObject, Irp, common)) {
        context->AdapterCommon = common; // plain pointer; port-class's reference keeps it
        common->Release();
        return STATUS_UNSUCCESSFUL;
    }
    ArmAdapterTimer(&context->Timer);
    common->Release(); // port-class's and the ports' references keep the object alive
    return STATUS_SUCCESS;
}

BOOLEAN DeviceIsBusy(const DeviceContext* Context) {
    return __atomic_load_n(&Context->MidiOut.PortOpen, __ATOMIC_RELAXED) != 0 ||
           __atomic_load_n(&Context->MidiIn.PortOpen, __ATOMIC_RELAXED) != 0 ||
           EngineHasOpenClient(&Context->Engine);
}
