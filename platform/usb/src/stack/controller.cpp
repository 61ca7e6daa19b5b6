// Host controllers: frame processing (a KTIMER + KDPC per controller set to the next (micro)frame
// boundary with work due), the isochronous and bulk schedules, and the root-hub ports.
#include <algorithm>
#include <atomic>
#include <thread>

#include <nt/kernel.h>

#include "io/io_manager.h"
#include "stack.h"
#include "vf/verifier.h"

namespace usbport {

namespace {

usb::Time BoundaryAfter(usb::Time t, usb::Time period) {
    return (t / period + 1) * period;
}
} // namespace

NTSTATUS UsbdToNtStatus(LONG usbdStatus) {
    if (USBD_SUCCESS(usbdStatus))
        return STATUS_SUCCESS;
    switch (usbdStatus) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_PIPE_FLAGS:
    case USBD_STATUS_BAD_START_FRAME:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void CompleteAll(CompletionList& done) {
    for (auto& c : done) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = 0;
        IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
    done.clear();
}

DeviceState* StateOf(PDEVICE_OBJECT pdo) {
    return static_cast<DeviceState*>(pdo->DeviceExtension);
}

HostController::Impl::Impl(HostController& owner, uint32_t base) : hc(owner), frameBase(base) {
    KeInitializeSpinLock(&lock);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &FrameDpc, this);
}

// DISPATCH_LEVEL, on a processor thread: the frame processing of the controller.
VOID HostController::Impl::FrameDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Impl*>(context);
    CompletionList done;
    KeAcquireSpinLockAtDpcLevel(&self->lock);
    const usb::Time now = usb::Time(KeQueryInterruptTime());
    self->armed = usb::kNever; // the timer has fired
    ++self->stats.timerEvents;
    for (DeviceState* dev : self->devices)
        self->RunDevice(*dev, now, done);
    self->Rearm(now);
    KeReleaseSpinLockFromDpcLevel(&self->lock);
    CompleteAll(done);
}

void HostController::Impl::Finish(DeviceState& dev, Transfer* t, LONG usbdStatus, CompletionList& done) {
    if (t->pipe != nullptr) {
        auto& q = t->pipe->queue;
        q.erase(std::find(q.begin(), q.end(), t));
        t->pipe = nullptr;
    }
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) {
        t->cancelling = true; // IoCancelIrp owns it; the cancel routine completes it
        return;
    }
    dev.pending.erase(t->devIt);
    t->urb->UrbHeader.Status = usbdStatus;
    done.push_back({t->irp, UsbdToNtStatus(usbdStatus)});
    ++stats.completions;
    delete t;
}

void HostController::Impl::ClosePipe(DeviceState& dev, Pipe* pipe, LONG usbdStatus, CompletionList& done) {
    while (!pipe->queue.empty())
        Finish(dev, pipe->queue.front(), usbdStatus, done);
    dev.pipes.erase(pipe->handle);
}

namespace {

// One isochronous packet of `t` in the (micro)frame starting at `start`.
void ExchangePacket(DeviceState& dev, Transfer& t, usb::Time start, std::vector<uint8_t>& scratch) {
    auto& iso = t.urb->UrbIsochronousTransfer;
    const ULONG i = t.delivered++;
    auto& packet = iso.IsoPacket[i];
    const ULONG offset = packet.Offset;
    const ULONG room = (i + 1 < t.packets ? iso.IsoPacket[i + 1].Offset : t.length) - offset;
    packet.Length = 0;
    if (t.forcedStatus != 0) {
        packet.Status = t.forcedStatus;
        ++t.errors;
        return;
    }
    Pipe& pipe = *t.pipe;
    usb::Handshake hs;
    if (t.in) {
        uint32_t length = 0;
        hs = dev.function->IsoIn(pipe.address, start, start + pipe.period,
                                 std::span(scratch.data(), pipe.maxPacket), &length);
        if (hs == usb::Handshake::Ack) {
            const ULONG copied = std::min<ULONG>(length, room);
            std::copy_n(scratch.data(), copied, t.buffer + offset);
            packet.Length = copied;
            packet.Status = length > room ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS;
            t.errors += length > room ? 1 : 0;
            t.bytes += copied;
            return;
        }
    } else {
        hs = dev.function->IsoOut(pipe.address, start, start + pipe.period,
                                  std::span(t.buffer + offset, room));
        if (hs == usb::Handshake::Ack) {
            packet.Length = room;
            packet.Status = USBD_STATUS_SUCCESS;
            t.bytes += room;
            return;
        }
    }
    packet.Status = USBD_STATUS_XACT_ERROR;
    ++t.errors;
}

// Bulk transactions for the head transfer at `now`: USBD_STATUS_PENDING while the device NAKs.
LONG Transact(DeviceState& dev, Pipe& pipe, Transfer& t, usb::Time now) {
    const ULONG flags = t.urb->UrbBulkOrInterruptTransfer.TransferFlags;
    for (;;) {
        const ULONG chunk = std::min<ULONG>(pipe.maxPacket, t.length - t.done);
        usb::Handshake hs;
        uint32_t got = 0;
        if (t.in)
            hs = dev.function->BulkIn(pipe.address, std::span(t.buffer + t.done, chunk), &got, now);
        else
            hs = dev.function->BulkOut(pipe.address, std::span(t.buffer + t.done, chunk), now);
        switch (hs) {
        case usb::Handshake::Nak:
            return USBD_STATUS_PENDING;
        case usb::Handshake::Stall:
            return USBD_STATUS_STALL_PID;
        case usb::Handshake::Error:
            return USBD_STATUS_XACT_ERROR; // the controller gave up after its retries
        case usb::Handshake::Ack:
            break;
        }
        if (!t.in)
            got = chunk;
        t.done += got;
        if (t.done == t.length)
            return USBD_STATUS_SUCCESS;
        if (t.in && got < pipe.maxPacket) // a short packet ends the transfer
            return (flags & USBD_SHORT_TRANSFER_OK) ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
}

} // namespace

void HostController::Impl::RunDevice(DeviceState& dev, usb::Time now, CompletionList& done) {
    if (dev.gone)
        return;
    // Isochronous packets in (micro)frame order across pipes; within one (micro)frame OUT packets
    // first.  An OUT packet is delivered once its (micro)frame has begun, an IN packet once it ended.
    Pipe* iso[8];
    size_t isoCount = 0;
    for (auto& entry : dev.pipes)
        if (entry.second->type == UsbdPipeTypeIsochronous && !entry.second->queue.empty() && isoCount < 8)
            iso[isoCount++] = entry.second.get();
    for (;;) {
        Transfer* best = nullptr;
        usb::Time bestStart = usb::kNever;
        for (size_t k = 0; k < isoCount; ++k) {
            for (Transfer* t : iso[k]->queue) {
                if (t->delivered == t->packets)
                    continue;
                const usb::Time s = t->start + usb::Time(t->delivered) * t->period;
                const bool ready = t->in ? s + t->period <= now : s < now;
                if (ready && (s < bestStart || (s == bestStart && best->in && !t->in))) {
                    best = t;
                    bestStart = s;
                }
                break;
            }
        }
        if (best == nullptr)
            break;
        ExchangePacket(dev, *best, bestStart, scratch);
        ++stats.isoPackets;
    }
    for (auto& entry : dev.pipes) {
        Pipe& p = *entry.second;
        if (p.type == UsbdPipeTypeIsochronous) {
            // A transfer completes at the end of its last (micro)frame.
            while (!p.queue.empty()) {
                Transfer* t = p.queue.front();
                if (t->delivered < t->packets || t->End() > now)
                    break;
                auto& iso = t->urb->UrbIsochronousTransfer;
                iso.ErrorCount = t->errors;
                iso.TransferBufferLength = t->bytes;
                Finish(dev, t,
                       t->errors == t->packets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS,
                       done);
            }
            continue;
        }
        while (!p.queue.empty()) {
            Transfer* t = p.queue.front();
            if (p.halted) {
                Finish(dev, t, USBD_STATUS_ENDPOINT_HALTED, done);
                continue;
            }
            if (t->attemptAt > now)
                break;
            LONG status = t->forcedStatus != 0 ? t->forcedStatus : Transact(dev, p, *t, now);
            if (status == USBD_STATUS_PENDING) {
                const usb::Time next = dev.function->NextBulkChange(p.address, now);
                t->attemptAt =
                    next == usb::kNever ? usb::kNever : BoundaryAfter(std::max(next, now), dev.BulkPeriod());
                break;
            }
            if (USBD_HALTED(status))
                p.halted = true;
            t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->done;
            Finish(dev, t, status, done);
            if (!p.queue.empty())
                p.queue.front()->attemptAt = BoundaryAfter(now, dev.BulkPeriod());
        }
    }
    dev.function->AdvanceTo(now);
    // Endpoints that NAKed with nothing foreseeable may have news after what just happened
    // (a MIDI byte sent out through a loopback cable, input scripted meanwhile).
    for (auto& entry : dev.pipes) {
        Pipe& p = *entry.second;
        if (p.type == UsbdPipeTypeIsochronous || p.halted || p.queue.empty() ||
            p.queue.front()->attemptAt != usb::kNever)
            continue;
        const usb::Time next = dev.function->NextBulkChange(p.address, now);
        if (next != usb::kNever)
            p.queue.front()->attemptAt = BoundaryAfter(std::max(next, now), dev.BulkPeriod());
    }
}

void HostController::Impl::Rearm(usb::Time now) {
    usb::Time due = usb::kNever;
    for (DeviceState* dev : devices) {
        if (dev->gone)
            continue;
        for (auto& entry : dev->pipes) {
            Pipe& p = *entry.second;
            if (p.queue.empty())
                continue;
            if (p.type == UsbdPipeTypeIsochronous)
                due = std::min(due, p.queue.front()->End());
            else if (!p.halted)
                due = std::min(due, p.queue.front()->attemptAt);
            else
                due = std::min(due, now); // fail what waits behind a halt
        }
    }
    if (due == armed)
        return;
    armed = due;
    if (due == usb::kNever) {
        KeCancelTimer(&timer);
        return;
    }
    // Absolute system time of the interrupt-clock deadline.
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER when;
    when.QuadPart = system.QuadPart - LONGLONG(KeQueryInterruptTime()) + std::max(due, now);
    KeSetTimer(&timer, when, &dpc);
}

// ---------------------------------------------------------------------------------------------

HostController::HostController(PDRIVER_OBJECT busDriver, std::u16string name, usb::Speed maxSpeed,
                               unsigned ports, uint32_t frameBase)
    : busDriver_(busDriver), name_(std::move(name)), maxSpeed_(maxSpeed),
      impl_(std::make_unique<Impl>(*this, frameBase)) {
    for (unsigned i = 0; i < ports; ++i)
        ports_.push_back(std::make_unique<Port>(*this, i + 1));
}

HostController::~HostController() {
    ports_.clear();
    KeCancelTimer(&impl_->timer);
    KeFlushQueuedDpcs();
}

ULONG HostController::CurrentFrame() const {
    return impl_->FrameNumber(usb::Time(KeQueryInterruptTime()));
}

ControllerStats HostController::Stats() {
    KIRQL old;
    KeAcquireSpinLock(&impl_->lock, &old);
    ControllerStats s = impl_->stats;
    KeReleaseSpinLock(&impl_->lock, old);
    return s;
}

// ---------------------------------------------------------------------------------------------

Port::~Port() {
    if (Connected())
        Unplug();
    if (pdo_ != nullptr)
        DeletePdo();
}

bool Port::Connected() const {
    return state_ != nullptr && !state_->gone;
}

NTSTATUS Port::Plug(std::shared_ptr<usb::Function> device, usb::Speed speed, PDEVICE_OBJECT* pdo) {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "usbport::Port::Plug");
    *pdo = nullptr;
    if (pdo_ != nullptr)
        return STATUS_DEVICE_BUSY;
    if (speed == usb::Speed::High && controller_.MaxSpeed() != usb::Speed::High)
        return STATUS_INVALID_PARAMETER;
    static std::atomic<unsigned> serial{0};
    std::u16string name = u"\\Device\\USBPDO-";
    for (char c : std::to_string(serial++))
        name.push_back(char16_t(c));
    UNICODE_STRING us;
    us.Buffer = name.data();
    us.Length = us.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
    PDEVICE_OBJECT object = nullptr;
    NTSTATUS status = IoCreateDevice(controller_.busDriver_, sizeof(DeviceState), &us, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* state = new (object->DeviceExtension) DeviceState();
    state->controller = &controller_;
    state->port = this;
    state->pdo = object;
    state->function = std::move(device);
    state->speed = speed;
    object->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    object->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);

    auto& c = controller_.impl();
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    state->function->Attach(speed, usb::Time(KeQueryInterruptTime()));
    c.devices.push_back(state);
    KeReleaseSpinLock(&c.lock, old);
    pdo_ = object;
    state_ = state;
    *pdo = object;
    return STATUS_SUCCESS;
}

void Port::Unplug() {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "usbport::Port::Unplug");
    if (!Connected())
        return;
    auto& c = controller_.impl();
    CompletionList done;
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    const usb::Time now = usb::Time(KeQueryInterruptTime());
    c.RunDevice(*state_, now, done);
    std::vector<Transfer*> pending(state_->pending.begin(), state_->pending.end());
    for (Transfer* t : pending)
        if (!t->cancelling)
            c.Finish(*state_, t, USBD_STATUS_DEVICE_GONE, done);
    state_->gone = true;
    state_->function->Detach(now);
    c.devices.erase(std::find(c.devices.begin(), c.devices.end(), state_));
    c.Rearm(now);
    KeReleaseSpinLock(&c.lock, old);
    CompleteAll(done);
    if (OnUnplug)
        OnUnplug(pdo_);
}

void Port::DeletePdo() {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "usbport::Port::DeletePdo");
    if (pdo_ == nullptr || Connected())
        return;
    // A cancel routine still on its way to complete a transfer uses the device's state; it runs on
    // the thread that called IoCancelIrp and finishes without waiting, so let it.
    for (;;) {
        auto& c = controller_.impl();
        KIRQL old;
        KeAcquireSpinLock(&c.lock, &old);
        const bool busy = !state_->pending.empty();
        KeReleaseSpinLock(&c.lock, old);
        if (!busy)
            break;
        std::this_thread::yield();
    }
    state_->~DeviceState();
    IoDeleteDevice(pdo_);
    pdo_ = nullptr;
    state_ = nullptr;
}

bool Port::WithDevice(const std::function<void(usb::Function&)>& f) {
    if (!Connected())
        return false;
    auto& c = controller_.impl();
    CompletionList done;
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    const usb::Time now = usb::Time(KeQueryInterruptTime());
    c.RunDevice(*state_, now, done);
    f(*state_->function);
    // The device may have changed in any way (a stall, scripted input): poll its bulk endpoints
    // again in the next (micro)frame, as the controller's continuous polling would.
    for (auto& entry : state_->pipes)
        if (entry.second->type != UsbdPipeTypeIsochronous && !entry.second->queue.empty())
            entry.second->queue.front()->attemptAt = BoundaryAfter(now, state_->BulkPeriod());
    c.RunDevice(*state_, now, done);
    c.Rearm(now);
    KeReleaseSpinLock(&c.lock, old);
    CompleteAll(done);
    return true;
}

LONG Port::InterfaceReferences() const {
    return state_ == nullptr ? 0 : InterlockedCompareExchange(&state_->interfaceReferences, 0, 0);
}

void Port::FailTransfers(uint8_t endpointAddress, uint32_t count, LONG usbdStatus) {
    if (state_ == nullptr)
        return;
    auto& c = controller_.impl();
    KIRQL old;
    KeAcquireSpinLock(&c.lock, &old);
    state_->faults[endpointAddress] = {count, usbdStatus};
    KeReleaseSpinLock(&c.lock, old);
}

// ---------------------------------------------------------------------------------------------

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);

UsbBus::UsbBus() {
    driver_ = nt::Kernel::Current()->Io().CreateDriverObject(u"usbhub");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &DispatchInternalDeviceControl;
    driver_->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = &DispatchPower;
}

UsbBus::~UsbBus() {
    controllers_.clear();
    nt::Kernel::Current()->Io().UnloadDriver(driver_);
}

HostController& UsbBus::AddController(std::u16string name, usb::Speed maxSpeed, unsigned ports) {
    const uint32_t base = 0x300 + 0x1111 * uint32_t(controllers_.size()); // distinct counters per controller
    controllers_.push_back(std::make_unique<HostController>(driver_, std::move(name), maxSpeed, ports, base));
    return *controllers_.back();
}

} // namespace usbport
