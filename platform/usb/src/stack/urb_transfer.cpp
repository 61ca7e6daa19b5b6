// Isochronous and bulk URBs: checked at submission, then held pending (IoMarkIrpPending, a cancel
// routine) until the controller's frame processing completes them.  IRQL <= DISPATCH_LEVEL.
#include <algorithm>

#include "stack.h"

namespace usbport {
namespace {

constexpr int64_t kAsapLeadFrames = 2; // an idle pipe's ASAP transfer starts this many frames ahead
constexpr int64_t kMaxStartAhead = 1024;

PUCHAR TransferAddress(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr)
        return static_cast<PUCHAR>(buffer);
    if (mdl != nullptr)
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

// IRQL <= DISPATCH_LEVEL; the cancel spin lock is held on entry and released first.
VOID CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceState& dev = *StateOf(pdo);
    auto& c = dev.controller->impl();
    auto* t = static_cast<Transfer*>(irp->Tail.Overlay.DriverContext[0]);
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    if (t->pipe != nullptr) {
        auto& q = t->pipe->queue;
        q.erase(std::find(q.begin(), q.end(), t));
    }
    dev.pending.erase(t->devIt);
    t->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    c.Rearm(usb::Time(KeQueryInterruptTime()));
    KeReleaseSpinLock(&c.lock, old);
    delete t;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Checks an isochronous URB against its pipe and places it in the pipe's schedule.
LONG ScheduleIso(HostController::Impl& c, DeviceState& dev, Pipe& pipe, PURB urb, Transfer& t,
                 usb::Time now) {
    auto& iso = urb->UrbIsochronousTransfer;
    const ULONG n = iso.NumberOfPackets;
    const ULONG limit = dev.speed == usb::Speed::High ? 1024 : 256;
    if (n == 0 || n > limit ||
        urb->UrbHeader.Length <
            offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
        return USBD_STATUS_INVALID_PARAMETER;
    // At high speed a transfer fills whole 1-ms frames.
    if (n % pipe.packetsPerFrame != 0)
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.buffer == nullptr || t.length == 0)
        return USBD_STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < n; ++i) {
        const ULONG offset = iso.IsoPacket[i].Offset;
        const ULONG next = i + 1 < n ? iso.IsoPacket[i + 1].Offset : t.length;
        if (offset >= t.length || next < offset || next > t.length)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!t.in && next - offset > pipe.maxPacket)
            return USBD_STATUS_INVALID_PARAMETER; // a packet longer than wMaxPacketSize
    }
    const int64_t frameNow = now / usb::kFrameTime;
    int64_t start;
    if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        // Continue the pipe's schedule without a gap while its next frame has not begun;
        // otherwise the pipe is idle and starts a few frames ahead.
        start = pipe.scheduled && pipe.nextFrame * usb::kFrameTime >= now ? pipe.nextFrame
                                                                          : frameNow + kAsapLeadFrames;
    } else {
        const int32_t delta = int32_t(iso.StartFrame - c.FrameNumber(now));
        start = frameNow + delta;
        if (start * usb::kFrameTime < now || delta > kMaxStartAhead)
            return USBD_STATUS_BAD_START_FRAME;
    }
    t.iso = true;
    t.start = start * usb::kFrameTime;
    t.period = pipe.period;
    t.packets = n;
    const int64_t frames = (int64_t(n) * pipe.period + usb::kFrameTime - 1) / usb::kFrameTime;
    pipe.nextFrame = start + frames;
    pipe.scheduled = true;
    iso.StartFrame = ULONG(uint64_t(start) + c.frameBase);
    iso.ErrorCount = 0;
    for (ULONG i = 0; i < n; ++i) {
        iso.IsoPacket[i].Length = 0;
        iso.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
    }
    return USBD_STATUS_SUCCESS;
}

NTSTATUS CompleteNow(PIRP irp, PURB urb, LONG usbdStatus) {
    urb->UrbHeader.Status = usbdStatus;
    const NTSTATUS status =
        usbdStatus == USBD_STATUS_DEVICE_GONE ? STATUS_NO_SUCH_DEVICE : UsbdToNtStatus(usbdStatus);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

NTSTATUS SubmitTransfer(DeviceState& dev, PIRP irp, PURB urb) {
    const bool iso = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    if (!iso && urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto& c = dev.controller->impl();
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    const usb::Time now = usb::Time(KeQueryInterruptTime());
    LONG status = USBD_STATUS_SUCCESS;
    Pipe* pipe = nullptr;
    if (dev.gone) {
        status = USBD_STATUS_DEVICE_GONE;
    } else {
        // Both transfer URBs keep the pipe handle, flags and buffer at the same offsets.
        auto it = dev.pipes.find(urb->UrbBulkOrInterruptTransfer.PipeHandle);
        if (it == dev.pipes.end())
            status = USBD_STATUS_INVALID_PIPE_HANDLE; // never opened, or closed by a later selection
        else if ((it->second->type == UsbdPipeTypeIsochronous) != iso)
            status = USBD_STATUS_INVALID_PARAMETER;
        else if (!iso && it->second->halted)
            status = USBD_STATUS_ENDPOINT_HALTED;
        else
            pipe = it->second.get();
    }
    if (status != USBD_STATUS_SUCCESS) {
        KeReleaseSpinLock(&c.lock, old);
        return CompleteNow(irp, urb, status);
    }

    auto* t = new Transfer;
    t->irp = irp;
    t->urb = urb;
    t->in = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
    auto& common = urb->UrbBulkOrInterruptTransfer;
    t->buffer = TransferAddress(common.TransferBuffer, common.TransferBufferMDL);
    t->length = common.TransferBufferLength;
    if (iso) {
        status = ScheduleIso(c, dev, *pipe, urb, *t, now);
    } else if (t->buffer == nullptr && t->length != 0) {
        status = USBD_STATUS_INVALID_PARAMETER;
    } else {
        common.TransferBufferLength = 0;
        t->attemptAt = (now / dev.BulkPeriod() + 1) * dev.BulkPeriod(); // the next (micro)frame
    }
    if (status != USBD_STATUS_SUCCESS) {
        KeReleaseSpinLock(&c.lock, old);
        delete t;
        return CompleteNow(irp, urb, status);
    }
    if (auto f = dev.faults.find(pipe->address); f != dev.faults.end() && f->second.count > 0) {
        --f->second.count;
        t->forcedStatus = f->second.status;
    }
    t->pipe = pipe;
    pipe->queue.push_back(t);
    t->devIt = dev.pending.insert(dev.pending.end(), t);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    irp->Tail.Overlay.DriverContext[0] = t;
    IoMarkIrpPending(irp);
    // Irp->Cancel is written by IoCancelIrp under the cancel spin lock; read it under that lock
    // (taken inside the controller lock, released first) so that the check and the installation
    // of the cancel routine cannot interleave with a cancel.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        // Cancelled before the routine was in place: complete it here.
        pipe->queue.pop_back();
        dev.pending.erase(t->devIt);
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        KeReleaseSpinLock(&c.lock, old);
        delete t;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, &CancelTransfer);
    IoReleaseCancelSpinLock(cancelIrql);
    c.Rearm(now);
    KeReleaseSpinLock(&c.lock, old);
    return STATUS_PENDING;
}

} // namespace usbport
