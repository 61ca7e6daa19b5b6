// The control dispatch and the group A requests (device information and settings).
//
// IRQL: PASSIVE_LEVEL, in the caller's thread, with the device's ControlRequestEvent held, so the
// requests of one instrument never overlap.  SharedSettings is shared by every instrument: the
// ActiveStreamCount read takes its spin lock; the record copies do not (the last writer wins).
//
// Buffer lengths: every request that reads or writes a record first checks that the caller's
// buffer holds the whole record and refuses a shorter one with STATUS_BUFFER_TOO_SMALL, so that
// nothing is read or written past the system buffer.
#include <VexIoctl.h>
#include <VexSettings.h>

#include "../asio/AsioRequests.h"
#include "ControlDevice.h"
#include "DeviceContext.h"
#include "DriverGlobals.h"
#include "UsbBus.h"

namespace {

const ULONG kControllerNameBufferBytes = 2052;
const ULONG kControllerNameQueryLength = 2046; // bytes the stack may fill
const ULONG kInfPathQueryBytes = 255;          // partial information: header and at most 243 bytes
const NTSTATUS kNoPoolForControllerName = static_cast<NTSTATUS>(0xFFFFFFFF);

enum class Group { A, B, C, None };

// The request table: each code and the group whose handler runs it.  The reserved codes route
// to their group's handler, which has no case for them.
struct Route {
    ULONG Code;
    Group To;
};
const Route kRoutes[] = {
    {IOCTL_GET_INF_PATH, Group::A},
    {IOCTL_GET_DEVICE_BUSY, Group::A},
    {IOCTL_GET_CONTROLLER_NAME, Group::A},
    {IOCTL_GET_INTERFACE_VERSION, Group::A},
    {IOCTL_GET_HIGH_SPEED, Group::A},
    {IOCTL_RESERVED_812, Group::A},
    {IOCTL_GET_ZERO, Group::A},
    {IOCTL_GET_SAMPLE_RATE, Group::B},
    {IOCTL_ASIO_START, Group::B},
    {IOCTL_ASIO_STOP, Group::B},
    {IOCTL_ASIO_RELEASE_BUFFERS, Group::B},
    {IOCTL_GET_LATENCIES, Group::B},
    {IOCTL_RESERVED_84B, Group::B},
    {IOCTL_GET_BUFFER_SIZES, Group::B},
    {IOCTL_RESERVED_84D, Group::B},
    {IOCTL_GET_SAMPLE_WIDTH, Group::B},
    {IOCTL_GET_CLOCK_STAMP, Group::B},
    {IOCTL_ASIO_MAP_BUFFERS, Group::B},
    {IOCTL_VENDOR_REQUEST, Group::B},
    {IOCTL_RESERVED_852, Group::B},
    {IOCTL_ASIO_SET_EVENTS, Group::B},
    {IOCTL_ASIO_CLEAR_EVENTS, Group::B},
    {IOCTL_SYNC_FRAME_CLOCK, Group::B},
    {IOCTL_SET_ASIO_INFO, Group::B},
    {IOCTL_GET_ASIO_INFO, Group::B},
    {IOCTL_GET_SETTINGS, Group::A},
    {IOCTL_SET_SETTINGS, Group::A},
    {IOCTL_NOOP_88C, Group::C},
    {IOCTL_NOOP_88D, Group::C},
    {IOCTL_NOOP_88E, Group::C},
    {IOCTL_NOOP_88F, Group::C},
    {IOCTL_NOOP_890, Group::C},
    {IOCTL_RESERVED_8FA, Group::B},
};
static_assert(sizeof(kRoutes) / sizeof(kRoutes[0]) == 33);

Group RouteOf(ULONG Code) {
    for (const Route& r : kRoutes)
        if (r.Code == Code)
            return r.To;
    return Group::None;
}

struct Buffers {
    PUCHAR System;
    ULONG InputLength;
    ULONG OutputLength;
};

NTSTATUS GetInfPath(DeviceContext* Context, const Buffers& b) {
    if (b.System == nullptr)
        return STATUS_INVALID_HANDLE;
    if (b.OutputLength < sizeof(VexInfPathRecord))
        return STATUS_BUFFER_TOO_SMALL;
    // After teardown the physical device object may be gone: no key is opened through it.
    if (Context->PhysicalDeviceObject == nullptr)
        return STATUS_INVALID_HANDLE;
    HANDLE key = nullptr;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(Context->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return STATUS_INVALID_HANDLE;
    alignas(8) UCHAR answer[kInfPathQueryBytes];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"InfPath");
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, answer, sizeof(answer), &resultLength);
    ZwClose(key);
    // Only a complete answer is copied (a longer value is STATUS_BUFFER_OVERFLOW here).
    if (!NT_SUCCESS(status))
        return STATUS_INVALID_HANDLE;
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(answer);
    const ULONG room = sizeof(answer) - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (info->DataLength > room || info->DataLength > sizeof(VexInfPathRecord::InfPath))
        return STATUS_INVALID_HANDLE;
    RtlCopyMemory(b.System + offsetof(VexInfPathRecord, InfPath), info->Data, info->DataLength);
    return STATUS_SUCCESS;
}

NTSTATUS GetControllerName(DeviceContext* Context, const Buffers& b) {
    if (b.System == nullptr)
        return STATUS_INVALID_HANDLE;
    if (b.OutputLength < sizeof(VexControllerNameRecord))
        return STATUS_BUFFER_TOO_SMALL;
    auto* query = static_cast<PUCHAR>(ExAllocatePool(NonPagedPoolNx, kControllerNameBufferBytes));
    if (query == nullptr)
        return kNoPoolForControllerName;
    RtlZeroMemory(query, kControllerNameBufferBytes);
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    // After teardown the physical device object may be gone: nothing is sent to it.
    if (Context->PhysicalDeviceObject != nullptr)
        status = SendInternalIoctlSync(
            Context->PhysicalDeviceObject, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, query,
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kControllerNameQueryLength)));
    auto* record = reinterpret_cast<VexControllerNameRecord*>(b.System);
    if (NT_SUCCESS(status)) {
        // The stack reports the whole name's length even when less of it fit: copy what fit,
        // whole characters only, and leave room for the terminator.
        ULONG length = reinterpret_cast<PUSB_HUB_NAME>(query)->ActualLength;
        const ULONG fits = kControllerNameQueryLength - sizeof(ULONG);
        if (length > fits)
            length = fits;
        length &= ~1u;
        record->NameLength = length;
        RtlCopyMemory(record->Name, query + sizeof(ULONG), length);
        record->Name[length / sizeof(WCHAR)] = 0;
    } else {
        static const WCHAR kNoHostName[] = u"NoHostName";
        record->NameLength = sizeof(kNoHostName) - sizeof(WCHAR); // 20
        RtlCopyMemory(record->Name, kNoHostName, sizeof(kNoHostName));
    }
    ExFreePool(query);
    return STATUS_SUCCESS;
}

NTSTATUS SetSettings(DeviceContext* Context, const Buffers& b) {
    if (b.System == nullptr)
        return STATUS_INVALID_HANDLE;
    if (b.InputLength < sizeof(SettingsRecord) || b.OutputLength < sizeof(VexSettingsRequest))
        return STATUS_BUFFER_TOO_SMALL;
    SharedSettings* settings = g_SharedSettings;
    auto* request = reinterpret_cast<VexSettingsRequest*>(b.System);
    RtlCopyMemory(&settings->PendingSettings, &request->Record, sizeof(SettingsRecord));
    if (ReadActiveStreamCount(settings) < 1)
        RtlCopyMemory(&settings->ActiveSettings, &settings->PendingSettings, VEX_SETTINGS_RESTART_FREE_BYTES);
    ULONG mask = (SettingsEqual(settings) ? 0 : VEX_RESTART_WAITS_FOR_STREAMS) | RestartOnlyMask(settings);
    NotifySettingsChanged(
        &Context->Usb, settings->ActiveSettings.MidiInLite != settings->PendingSettings.MidiInLite ? 2 : 0);
    request->Tail = mask;
    SavePendingSettings(settings);
    return STATUS_SUCCESS;
}

NTSTATUS WriteU32(const Buffers& b, ULONG Value) {
    if (b.System == nullptr || b.OutputLength < sizeof(VexU32Record))
        return STATUS_BUFFER_TOO_SMALL;
    reinterpret_cast<VexU32Record*>(b.System)->Value = Value;
    return STATUS_SUCCESS;
}

NTSTATUS DispatchGroupA(DeviceContext* Context, ULONG Code, const Buffers& b) {
    switch (Code) {
    case IOCTL_GET_INF_PATH:
        return GetInfPath(Context, b);
    case IOCTL_GET_DEVICE_BUSY:
        return WriteU32(b, DeviceIsBusy(Context) ? 1 : 0);
    case IOCTL_GET_CONTROLLER_NAME:
        return GetControllerName(Context, b);
    case IOCTL_GET_INTERFACE_VERSION: {
        if (b.System == nullptr)
            return STATUS_INVALID_HANDLE;
        if (b.OutputLength < sizeof(VexInterfaceVersionRecord))
            return STATUS_BUFFER_TOO_SMALL;
        auto* record = reinterpret_cast<VexInterfaceVersionRecord*>(b.System);
        record->OutputsPerInstrument = 2;
        record->InputsPerInstrument = 2;
        record->Version = 1;
        return STATUS_SUCCESS;
    }
    case IOCTL_GET_HIGH_SPEED:
        if (b.System == nullptr)
            return STATUS_INVALID_HANDLE;
        return WriteU32(b, Context->Usb.HighSpeed);
    case IOCTL_GET_ZERO:
        return WriteU32(b, 0);
    case IOCTL_GET_SETTINGS: {
        if (b.System == nullptr)
            return STATUS_INVALID_HANDLE;
        if (b.OutputLength < sizeof(VexSettingsRequest))
            return STATUS_BUFFER_TOO_SMALL;
        auto* request = reinterpret_cast<VexSettingsRequest*>(b.System);
        RtlCopyMemory(&request->Record, &g_SharedSettings->PendingSettings, sizeof(SettingsRecord));
        request->Tail = 1;
        return STATUS_SUCCESS;
    }
    case IOCTL_SET_SETTINGS:
        return SetSettings(Context, b);
    default: // IOCTL_RESERVED_812
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

NTSTATUS DispatchControlRequest(PDEVICE_OBJECT ControlDevice, PIRP Irp) {
    DeviceExtensionPart* part = ExtensionPart(ControlDevice);
    if (Irp == nullptr || part == nullptr || part->Context == nullptr)
        return STATUS_INVALID_PARAMETER;
    DeviceContext* context = part->Context;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const Buffers buffers = {static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
                             stack->Parameters.DeviceIoControl.InputBufferLength,
                             stack->Parameters.DeviceIoControl.OutputBufferLength};

    NTSTATUS status;
    switch (RouteOf(code)) {
    case Group::A:
        status = DispatchGroupA(context, code, buffers);
        break;
    case Group::B: {
        BOOLEAN pending = FALSE;
        status = DispatchAsioRequest(&context->Engine, Irp, &pending);
        if (pending)
            return status; // the group B handler owns the IRP now
        break;
    }
    case Group::C:
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = buffers.OutputLength;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
