// Control URBs: they complete at once, checked the way the host stack checks them.  Selection
// requests and pipe resets are PASSIVE_LEVEL only; the others may come at <= DISPATCH_LEVEL.
#include <algorithm>

#include <usbdlib.h>

#include "stack.h"
#include "vf/verifier.h"

namespace usbport {
namespace {

constexpr uint32_t kHandleConfiguration = 0x21;
constexpr uint32_t kHandleInterface = 0x31;
constexpr uint32_t kHandlePipe = 0x41;

PUCHAR TransferAddress(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr)
        return static_cast<PUCHAR>(buffer);
    if (mdl != nullptr)
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

// Opens the pipes of interface descriptor `idesc` into `out`, filling `info` as the answer.
LONG OpenInterface(HostController::Impl& c, DeviceState& dev, PUSB_CONFIGURATION_DESCRIPTOR cfg,
                   PUSB_INTERFACE_DESCRIPTOR idesc, PUSBD_INTERFACE_INFORMATION info,
                   std::vector<std::unique_ptr<Pipe>>& out) {
    const ULONG endpoints = idesc->bNumEndpoints;
    if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints))
        return USBD_STATUS_BUFFER_TOO_SMALL;
    const ULONG total = cfg->wTotalLength;
    PUCHAR pos = reinterpret_cast<PUCHAR>(idesc) + idesc->bLength;
    std::vector<std::unique_ptr<Pipe>> pipes;
    for (ULONG k = 0; k < endpoints; ++k) {
        auto* d = USBD_ParseDescriptors(cfg, total, pos, USB_ENDPOINT_DESCRIPTOR_TYPE);
        auto* nextInterface = USBD_ParseDescriptors(cfg, total, pos, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (d == nullptr || d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR) ||
            (nextInterface != nullptr &&
             reinterpret_cast<PUCHAR>(nextInterface) < reinterpret_cast<PUCHAR>(d)))
            return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
        auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d);
        auto& pi = info->Pipes[k];
        if (pi.PipeFlags & ~ULONG(USBD_PF_VALID_MASK))
            return USBD_STATUS_INVALID_PIPE_FLAGS;
        auto pipe = std::make_unique<Pipe>();
        pipe->handle = c.NewHandle(kHandlePipe);
        pipe->interfaceNumber = idesc->bInterfaceNumber;
        pipe->address = ep->bEndpointAddress;
        pipe->type = USBD_PIPE_TYPE(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        const bool periodic = pipe->type == UsbdPipeTypeIsochronous || pipe->type == UsbdPipeTypeInterrupt;
        const bool high = dev.speed == usb::Speed::High;
        pipe->maxPacket = uint16_t((ep->wMaxPacketSize & 0x7FF) *
                                   (high && periodic ? 1 + ((ep->wMaxPacketSize >> 11) & 3) : 1));
        pipe->interval = ep->bInterval;
        if (pipe->type == UsbdPipeTypeIsochronous) {
            const int exponent = std::clamp<int>(ep->bInterval, 1, 16) - 1;
            pipe->period = (high ? usb::kMicroframeTime : usb::kFrameTime) << exponent;
            pipe->packetsPerFrame =
                pipe->period < usb::kFrameTime ? ULONG(usb::kFrameTime / pipe->period) : 1;
        }
        pi.MaximumPacketSize = pipe->maxPacket;
        pi.EndpointAddress = pipe->address;
        pi.Interval = pipe->interval;
        pi.PipeType = pipe->type;
        pi.PipeHandle = pipe->handle;
        pipes.push_back(std::move(pipe));
        pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    info->Class = idesc->bInterfaceClass;
    info->SubClass = idesc->bInterfaceSubClass;
    info->Protocol = idesc->bInterfaceProtocol;
    info->NumberOfPipes = endpoints;
    info->InterfaceHandle = c.NewHandle(kHandleInterface);
    for (auto& p : pipes)
        out.push_back(std::move(p));
    return USBD_STATUS_SUCCESS;
}

void CloseInterfacePipes(HostController::Impl& c, DeviceState& dev, int interfaceNumber,
                         CompletionList& done) {
    std::vector<Pipe*> victims;
    for (auto& entry : dev.pipes)
        if (interfaceNumber < 0 || entry.second->interfaceNumber == interfaceNumber)
            victims.push_back(entry.second.get());
    for (Pipe* p : victims)
        c.ClosePipe(dev, p, USBD_STATUS_CANCELED, done);
}

LONG SelectConfiguration(HostController::Impl& c, DeviceState& dev, PURB urb, usb::Time now,
                         CompletionList& done) {
    auto& sc = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface))
        return USBD_STATUS_INVALID_PARAMETER;
    if (sc.ConfigurationDescriptor == nullptr) { // back to the unconfigured state
        CloseInterfacePipes(c, dev, -1, done);
        dev.function->SetConfiguration(0, now);
        dev.configuration.clear();
        dev.configurationHandle = nullptr;
        dev.alternate = {};
        return USBD_STATUS_SUCCESS;
    }
    auto* client = sc.ConfigurationDescriptor;
    if (client->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || client->bLength < 9 ||
        client->wTotalLength < 9)
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    auto own = dev.function->Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
    if (own.size() < 9 || own[5] != client->bConfigurationValue)
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    // The stack keeps its own copy: the client may free its buffer after the selection.
    std::vector<uint8_t> copy(reinterpret_cast<PUCHAR>(client),
                              reinterpret_cast<PUCHAR>(client) + client->wTotalLength);
    auto* cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());

    std::vector<std::unique_ptr<Pipe>> pipes;
    std::vector<std::pair<uint8_t, uint8_t>> alternates;
    PUCHAR record = reinterpret_cast<PUCHAR>(&sc.Interface);
    PUCHAR const end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    for (ULONG i = 0; i < cfg->bNumInterfaces; ++i) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        if (end - record < ptrdiff_t(offsetof(USBD_INTERFACE_INFORMATION, Pipes)) ||
            info->Length > end - record)
            return USBD_STATUS_BUFFER_TOO_SMALL;
        auto* idesc = USBD_ParseConfigurationDescriptorEx(cfg, cfg, info->InterfaceNumber,
                                                          info->AlternateSetting, -1, -1, -1);
        if (idesc == nullptr)
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        const LONG status = OpenInterface(c, dev, cfg, idesc, info, pipes);
        if (!USBD_SUCCESS(status))
            return status;
        alternates.emplace_back(info->InterfaceNumber, info->AlternateSetting);
        record += info->Length;
    }
    if (dev.function->SetConfiguration(cfg->bConfigurationValue, now) != usb::Handshake::Ack)
        return USBD_STATUS_SET_CONFIG_FAILED;
    for (auto [number, alt] : alternates)
        if (alt != 0 && dev.function->SetInterface(number, alt, now) != usb::Handshake::Ack)
            return USBD_STATUS_SET_CONFIG_FAILED;

    CloseInterfacePipes(c, dev, -1, done);
    for (auto& p : pipes) {
        PVOID h = p->handle;
        dev.pipes.emplace(h, std::move(p));
    }
    dev.configuration = std::move(copy);
    dev.configurationHandle = c.NewHandle(kHandleConfiguration);
    dev.alternate = {};
    for (auto [number, alt] : alternates)
        dev.alternate[number % dev.alternate.size()] = alt;
    sc.ConfigurationHandle = dev.configurationHandle;
    return USBD_STATUS_SUCCESS;
}

LONG SelectInterface(HostController::Impl& c, DeviceState& dev, PURB urb, usb::Time now,
                     CompletionList& done) {
    auto& si = urb->UrbSelectInterface;
    if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_INTERFACE, Interface.Pipes))
        return USBD_STATUS_INVALID_PARAMETER;
    if (dev.configuration.empty() || si.ConfigurationHandle != dev.configurationHandle)
        return USBD_STATUS_INVALID_PARAMETER; // unconfigured, or a handle of an earlier configuration
    auto* info = &si.Interface;
    if (offsetof(struct _URB_SELECT_INTERFACE, Interface) + info->Length > urb->UrbHeader.Length)
        return USBD_STATUS_BUFFER_TOO_SMALL;
    auto* cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(dev.configuration.data());
    auto* idesc = USBD_ParseConfigurationDescriptorEx(cfg, cfg, info->InterfaceNumber, info->AlternateSetting,
                                                      -1, -1, -1);
    if (idesc == nullptr)
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    std::vector<std::unique_ptr<Pipe>> pipes;
    const LONG status = OpenInterface(c, dev, cfg, idesc, info, pipes);
    if (!USBD_SUCCESS(status))
        return status;
    if (dev.function->SetInterface(info->InterfaceNumber, info->AlternateSetting, now) != usb::Handshake::Ack)
        return USBD_STATUS_STALL_PID;
    CloseInterfacePipes(c, dev, info->InterfaceNumber, done);
    for (auto& p : pipes) {
        PVOID h = p->handle;
        dev.pipes.emplace(h, std::move(p));
    }
    dev.alternate[info->InterfaceNumber % dev.alternate.size()] = info->AlternateSetting;
    return USBD_STATUS_SUCCESS;
}

LONG PipeRequest(HostController::Impl& c, DeviceState& dev, PURB urb, usb::Time now, CompletionList& done) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    auto it = dev.pipes.find(urb->UrbPipeRequest.PipeHandle);
    if (it == dev.pipes.end())
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    Pipe& p = *it->second;
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        while (!p.queue.empty())
            c.Finish(dev, p.queue.front(), USBD_STATUS_CANCELED, done);
        p.scheduled = false;
        return USBD_STATUS_SUCCESS;
    }
    // Reset: the host side forgets the halt, the device gets CLEAR_FEATURE(ENDPOINT_HALT).
    p.halted = false;
    p.scheduled = false;
    if (p.type != UsbdPipeTypeIsochronous &&
        dev.function->ClearEndpointHalt(p.address, now) != usb::Handshake::Ack)
        return USBD_STATUS_STALL_PID;
    return USBD_STATUS_SUCCESS;
}

LONG GetDescriptor(DeviceState& dev, PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    PUCHAR buffer = TransferAddress(r.TransferBuffer, r.TransferBufferMDL);
    if (buffer == nullptr && r.TransferBufferLength != 0)
        return USBD_STATUS_INVALID_PARAMETER;
    auto bytes = dev.function->Descriptor(r.DescriptorType, r.Index);
    if (bytes.empty())
        return USBD_STATUS_STALL_PID;
    const ULONG n = std::min<ULONG>(r.TransferBufferLength, ULONG(bytes.size()));
    std::copy_n(bytes.data(), n, buffer);
    r.TransferBufferLength = n;
    return USBD_STATUS_SUCCESS;
}

LONG VendorOrClass(DeviceState& dev, PURB urb, usb::Time now) {
    auto& r = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    PUCHAR buffer = TransferAddress(r.TransferBuffer, r.TransferBufferMDL);
    if (buffer == nullptr && r.TransferBufferLength != 0)
        return USBD_STATUS_INVALID_PARAMETER;
    const USHORT f = urb->UrbHeader.Function;
    const UCHAR type = f >= URB_FUNCTION_CLASS_DEVICE ? BMREQUEST_CLASS : BMREQUEST_VENDOR;
    const UCHAR recipient =
        UCHAR((f - (type == BMREQUEST_CLASS ? URB_FUNCTION_CLASS_DEVICE : URB_FUNCTION_VENDOR_DEVICE)));
    const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    setup.bmRequestType = UCHAR((in ? 0x80 : 0) | type << 5 | recipient | r.RequestTypeReservedBits);
    setup.bRequest = r.Request;
    setup.wValue = r.Value;
    setup.wIndex = r.Index;
    setup.wLength = USHORT(std::min<ULONG>(r.TransferBufferLength, 0xFFFF));
    uint32_t length = 0;
    switch (dev.function->ControlRequest(setup, std::span(buffer, setup.wLength), &length, now)) {
    case usb::Handshake::Ack:
        r.TransferBufferLength = in ? std::min<ULONG>(length, setup.wLength) : setup.wLength;
        return USBD_STATUS_SUCCESS;
    case usb::Handshake::Stall:
        r.TransferBufferLength = 0;
        return USBD_STATUS_STALL_PID;
    default:
        r.TransferBufferLength = 0;
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
}

} // namespace

NTSTATUS SubmitUrb(DeviceState& dev, PIRP irp, PURB urb) {
    if (urb == nullptr || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return SubmitTransfer(dev, irp, urb);
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SELECT_CONFIGURATION");
        break;
    case URB_FUNCTION_SELECT_INTERFACE:
        nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SELECT_INTERFACE");
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL");
        break;
    default:
        break;
    }

    auto& c = dev.controller->impl();
    CompletionList done;
    LONG status;
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    const usb::Time now = usb::Time(KeQueryInterruptTime());
    if (dev.gone) {
        status = USBD_STATUS_DEVICE_GONE;
    } else {
        c.RunDevice(dev, now, done); // the device's timeline is current before it answers
        switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            status = SelectConfiguration(c, dev, urb, now, done);
            break;
        case URB_FUNCTION_SELECT_INTERFACE:
            status = SelectInterface(c, dev, urb, now, done);
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            status = PipeRequest(c, dev, urb, now, done);
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            status = GetDescriptor(dev, urb);
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
            status = VendorOrClass(dev, urb, now);
            break;
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                status = USBD_STATUS_INVALID_PARAMETER;
            } else {
                urb->UrbGetCurrentFrameNumber.FrameNumber = c.FrameNumber(now);
                status = USBD_STATUS_SUCCESS;
            }
            break;
        default:
            status = USBD_STATUS_INVALID_URB_FUNCTION;
            break;
        }
        c.Rearm(now);
    }
    urb->UrbHeader.Status = status;
    KeReleaseSpinLock(&c.lock, old);
    CompleteAll(done);
    const NTSTATUS result = UsbdToNtStatus(status);
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

} // namespace usbport
