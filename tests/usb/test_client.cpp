#include "test_client.h"

#include <algorithm>
#include <cstring>

#include <usbbusif.h>

#include <instrument/test_pattern.h>

namespace usbtest {
namespace {

constexpr ULONG kTag = 0x54425355; // "USBT"
constexpr ULONG kBytesPerFrame = 6;

PVOID Allocate(SIZE_T bytes) {
    return ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kTag);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The bus interface's answer to "high speed?".  PASSIVE_LEVEL.
NTSTATUS QueryHighSpeed(PDEVICE_OBJECT pdo, bool* high) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    USB_BUS_INTERFACE_USBDI_V1 bi{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    auto* sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = IRP_MJ_PNP;
    sl->MinorFunction = IRP_MN_QUERY_INTERFACE;
    sl->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    sl->Parameters.QueryInterface.Size = sizeof(bi);
    sl->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    sl->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bi);
    IoSetCompletionRoutine(irp, &SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        *high = bi.IsDeviceHighSpeed(bi.BusContext) != FALSE;
        bi.InterfaceDereference(bi.BusContext);
    }
    IoFreeIrp(irp);
    return status;
}

// Interface information of one selection, from a select-interface request.
NTSTATUS SelectInterface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE config, UCHAR number, UCHAR alt,
                         ULONG pipes, std::vector<PipeInfo>* out) {
    const USHORT size = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(std::max<ULONG>(pipes, 1)));
    auto* urb = static_cast<PURB>(Allocate(size));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, size, config, number, alt);
    for (ULONG i = 0; i < pipes; ++i)
        urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    NTSTATUS status = SubmitUrbSync(pdo, urb);
    if (NT_SUCCESS(status))
        for (ULONG i = 0; i < urb->UrbSelectInterface.Interface.NumberOfPipes; ++i)
            out->push_back({urb->UrbSelectInterface.Interface.Pipes[i].PipeHandle,
                            urb->UrbSelectInterface.Interface.Pipes[i].MaximumPacketSize});
    ExFreePool(urb);
    return status;
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT pdo, UCHAR type, PVOID buffer, ULONG length, ULONG* got) {
    auto* urb = static_cast<PURB>(Allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbSync(pdo, urb);
    *got = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePool(urb);
    return status;
}

} // namespace

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT pdo, PURB urb) {
    return InternalIoctlSync(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr);
}

NTSTATUS InternalIoctlSync(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1, PVOID argument2) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* sl = IoGetNextIrpStackLocation(irp);
    sl->Parameters.Others.Argument1 = argument1;
    if (argument2 != nullptr)
        sl->Parameters.Others.Argument2 = argument2;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

TestClient::TestClient(PDEVICE_OBJECT pdo, ClientOptions options) : pdo_(pdo), options_(options) {
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&idle_, NotificationEvent, FALSE);
    KeInitializeEvent(&windowDone_, NotificationEvent, FALSE);
    KeInitializeEvent(&midiIdle_, NotificationEvent, FALSE);
    KeInitializeEvent(&midiInEvent_, SynchronizationEvent, FALSE);
}

TestClient::~TestClient() {
    StopStreaming();
    StopMidi();
    for (Slot* s : captureSlots_)
        FreeSlot(s);
    for (Slot* s : playbackSlots_)
        FreeSlot(s);
    if (midiInSlot_ != nullptr)
        FreeSlot(midiInSlot_);
}

NTSTATUS TestClient::Configure(UCHAR midiAlt) {
    USB_DEVICE_DESCRIPTOR device{};
    ULONG got = 0;
    NTSTATUS status = GetDescriptor(pdo_, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof(device), &got);
    if (!NT_SUCCESS(status))
        return status;
    USB_CONFIGURATION_DESCRIPTOR head{};
    status = GetDescriptor(pdo_, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof(head), &got);
    if (!NT_SUCCESS(status))
        return status;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(head.wTotalLength));
    if (config == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(pdo_, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, head.wTotalLength, &got);
    if (NT_SUCCESS(status)) {
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        status = urb == nullptr ? STATUS_INSUFFICIENT_RESOURCES : SubmitUrbSync(pdo_, urb);
        if (NT_SUCCESS(status))
            configHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        if (urb != nullptr)
            ExFreePool(urb);
    }
    ExFreePool(config);
    if (!NT_SUCCESS(status))
        return status;
    bool high = false;
    if (NT_SUCCESS(QueryHighSpeed(pdo_, &high)))
        highSpeed_ = high;
    std::vector<PipeInfo> out, in, midi;
    if (!NT_SUCCESS(status = SelectInterface(pdo_, configHandle_, 0, 1, 1, &out)) ||
        !NT_SUCCESS(status = SelectInterface(pdo_, configHandle_, 1, 1, 1, &in)) ||
        !NT_SUCCESS(status = SelectInterface(pdo_, configHandle_, 2, midiAlt, 2, &midi)))
        return status;
    if (out.size() != 1 || in.size() != 1 || midi.size() != 2)
        return STATUS_UNSUCCESSFUL;
    playback_ = out[0];
    capture_ = in[0];
    midiOut_ = midi[0];
    midiIn_ = midi[1];
    return STATUS_SUCCESS;
}

TestClient::Slot* TestClient::NewSlot(bool capture, ULONG packets, ULONG bufferSize) {
    auto* s = new Slot;
    s->owner = this;
    s->capture = capture;
    s->irp = IoAllocateIrp(pdo_->StackSize, FALSE);
    s->urbSize = packets ? ULONG(GET_ISO_URB_SIZE(packets)) : sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    s->urb = static_cast<PURB>(Allocate(s->urbSize));
    s->bufferSize = bufferSize;
    s->buffer = static_cast<PUCHAR>(Allocate(bufferSize));
    return s;
}

void TestClient::FreeSlot(Slot* s) {
    IoFreeIrp(s->irp);
    ExFreePool(s->urb);
    ExFreePool(s->buffer);
    delete s;
}

void TestClient::PrepareIrp(Slot* s, PIO_COMPLETION_ROUTINE routine) {
    IoReuseIrp(s->irp, STATUS_SUCCESS);
    auto* sl = IoGetNextIrpStackLocation(s->irp);
    sl->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sl->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    sl->Parameters.Others.Argument1 = s->urb;
    IoSetCompletionRoutine(s->irp, routine, s, TRUE, TRUE, TRUE);
}

TestClient::Slot* TestClient::TakeSlot(std::vector<Slot*>& pool) {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    Slot* found = nullptr;
    for (Slot* s : pool) {
        if (stopping_.load()) // a stop began: no IRP is reused from now on
            break;
        if (!s->busy) {
            s->busy = true;
            found = s;
            break;
        }
    }
    KeReleaseSpinLock(&lock_, old);
    return found;
}

void TestClient::Release(Slot* s) {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    s->busy = false;
    s->sent = false;
    KeReleaseSpinLock(&lock_, old);
}

// Hands a prepared slot to the stack.  A stop that began before the slot was marked sent did not
// collect it: then the submitter cancels it itself (once stopping is set nobody reuses an IRP), so
// that every IRP is cancelled by exactly one thread.
void TestClient::Send(Slot* s, const std::atomic<bool>& stopping) {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    s->sent = true;
    const bool missedByStop = stopping.load();
    KeReleaseSpinLock(&lock_, old);
    ++submissions_;
    IoCallDriver(pdo_, s->irp);
    if (missedByStop)
        IoCancelIrp(s->irp);
}

NTSTATUS TestClient::StartStreaming(ULONG windowMs) {
    packets_ = options_.msPerTransfer * (highSpeed_ ? 8 : 1);
    if (captureSlots_.empty()) {
        for (ULONG i = 0; i < options_.inFlight + 2; ++i)
            captureSlots_.push_back(NewSlot(true, packets_, packets_ * capture_.maxPacket));
        for (ULONG i = 0; i < 2 * options_.inFlight + 4; ++i)
            playbackSlots_.push_back(NewSlot(false, packets_, packets_ * playback_.maxPacket));
    }
    windowMs_ = windowMs;
    stopping_ = false;
    KeClearEvent(&idle_);
    KeClearEvent(&windowDone_);
    // Priming: N capture transfers and N playback transfers of silence, 44.1 frames a millisecond.
    for (ULONG i = 0; i < options_.inFlight; ++i) {
        if (!SubmitCapture())
            return STATUS_UNSUCCESSFUL;
        ULONG frames = 0;
        for (ULONG ms = 0; ms < options_.msPerTransfer; ++ms) {
            primeAccumulator_ += 100;
            frames += 44 + (primeAccumulator_ >= 1000 ? 1 : 0);
            primeAccumulator_ %= 1000;
        }
        nextPattern_ -= frames; // priming carries silence, the pattern starts after it
        if (!SubmitPlayback(frames))
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void TestClient::StopStreaming() {
    std::vector<PIRP> busy;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    stopping_ = true;
    for (auto* pool : {&captureSlots_, &playbackSlots_})
        for (Slot* s : *pool)
            if (s->sent)
                busy.push_back(s->irp);
    KeReleaseSpinLock(&lock_, old);
    if (inFlight_.load() == 0)
        return;
    for (PIRP irp : busy)
        IoCancelIrp(irp);
    if (inFlight_.load() != 0)
        KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
}

bool TestClient::SubmitCapture() {
    Slot* s = TakeSlot(captureSlots_);
    if (s == nullptr)
        return false;
    PrepareIrp(s, &CaptureDone);
    std::memset(s->urb, 0, s->urbSize);
    auto& iso = s->urb->UrbIsochronousTransfer;
    iso.Hdr.Length = USHORT(s->urbSize);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = capture_.handle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = s->buffer;
    iso.TransferBufferLength = packets_ * capture_.maxPacket;
    iso.NumberOfPackets = packets_;
    for (ULONG i = 0; i < packets_; ++i)
        iso.IsoPacket[i].Offset = i * capture_.maxPacket;
    ++inFlight_;
    Send(s, stopping_);
    return true;
}

bool TestClient::SubmitPlayback(ULONG frames) {
    if (frames == 0)
        return true;
    Slot* s = TakeSlot(playbackSlots_);
    if (s == nullptr) {
        ++playbackStarved_;
        return false;
    }
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    int64_t first = nextPattern_;
    nextPattern_ += frames;
    KeReleaseSpinLock(&lock_, old);
    for (ULONG f = 0; f < frames; ++f) {
        const int64_t k = first + f;
        const bool pattern = options_.playPattern && k >= 0;
        instrument::PutSample24(s->buffer + f * 6, pattern ? instrument::PatternSample(k, 0) : 0);
        instrument::PutSample24(s->buffer + f * 6 + 3, pattern ? instrument::PatternSample(k, 1) : 0);
    }
    PrepareIrp(s, &PlaybackDone);
    std::memset(s->urb, 0, s->urbSize);
    auto& iso = s->urb->UrbIsochronousTransfer;
    iso.Hdr.Length = USHORT(s->urbSize);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = playback_.handle;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = s->buffer;
    iso.NumberOfPackets = packets_;
    // Spread the frames evenly over the packets.
    ULONG e = 0;
    ULONG sum = 0;
    for (ULONG i = 0; i < packets_; ++i) {
        iso.IsoPacket[i].Offset = e;
        sum += frames;
        const ULONG end = (sum / packets_) * kBytesPerFrame;
        iso.IsoPacket[i].Length = end - e;
        e = end;
    }
    iso.TransferBufferLength = e;
    playbackFrames_ += frames;
    ++inFlight_;
    Send(s, stopping_);
    return true;
}

NTSTATUS TestClient::CaptureDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* s = static_cast<Slot*>(context);
    s->owner->OnCaptureComplete(s);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TestClient::PlaybackDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* s = static_cast<Slot*>(context);
    s->owner->OnPlaybackComplete(s);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void TestClient::OnCaptureComplete(Slot* s) {
    ++completions_;
    auto& iso = s->urb->UrbIsochronousTransfer;
    const bool ok = NT_SUCCESS(s->irp->IoStatus.Status) && USBD_SUCCESS(iso.Hdr.Status);
    ULONG frames = 0;
    bool windowReached = false;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    ++stats_.transfers;
    captureStatuses_.push_back(s->irp->IoStatus.Status);
    if (s->irp->IoStatus.Status != STATUS_CANCELLED)
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
            stats_.packetErrors += USBD_ERROR(iso.IsoPacket[i].Status) ? 1 : 0;
    if (ok) {
        if (stats_.transfers == 1)
            stats_.firstStartFrame = iso.StartFrame;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            const ULONG n = iso.IsoPacket[i].Length / kBytesPerFrame;
            stats_.zeroPackets += n == 0 ? 1 : 0;
            const PUCHAR p = s->buffer + iso.IsoPacket[i].Offset;
            for (ULONG k = 0; k < n; ++k, ++captureIndex_) {
                const auto index =
                    instrument::PatternIndex(instrument::GetSample24(p + k * kBytesPerFrame), 0);
                if (index && stats_.firstPatternAt < 0) {
                    stats_.firstPatternAt = captureIndex_;
                    stats_.firstPatternIndex = *index;
                } else if (stats_.firstPatternAt >= 0 && (!index || *index != expectPattern_)) {
                    ++stats_.patternBreaks;
                }
                if (index)
                    expectPattern_ = (*index + 1) & instrument::kPatternIndexMask;
            }
            frames += n;
        }
        stats_.frames += frames;
        const ULONG elapsed = iso.StartFrame - stats_.firstStartFrame;
        if (windowMs_ != 0 && elapsed < windowMs_)
            stats_.windowFrames += frames;
        windowReached = windowMs_ != 0 && elapsed + options_.msPerTransfer >= windowMs_;
    } else if (s->irp->IoStatus.Status != STATUS_CANCELLED) {
        ++stats_.failed;
    }
    s->busy = false;
    s->sent = false;
    KeReleaseSpinLock(&lock_, old);
    if (windowReached)
        KeSetEvent(&windowDone_, IO_NO_INCREMENT, FALSE);
    const bool gone = s->irp->IoStatus.Status == STATUS_NO_SUCH_DEVICE;
    if (!stopping_.load() && !gone) {
        if (feeding_.load())
            SubmitPlayback(frames);
        SubmitCapture();
    }
    if (--inFlight_ == 0 && stopping_.load())
        KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
}

void TestClient::OnPlaybackComplete(Slot* s) {
    ++completions_;
    const bool ok = NT_SUCCESS(s->irp->IoStatus.Status) && USBD_SUCCESS(s->urb->UrbHeader.Status);
    if (!ok && !stopping_.load())
        ++playbackFailed_;
    Release(s);
    if (--inFlight_ == 0 && stopping_.load())
        KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
}

CaptureStats TestClient::Capture_() const {
    KIRQL old;
    KeAcquireSpinLock(const_cast<PKSPIN_LOCK>(&lock_), &old);
    CaptureStats s = stats_;
    KeReleaseSpinLock(const_cast<PKSPIN_LOCK>(&lock_), old);
    return s;
}

std::vector<NTSTATUS> TestClient::CaptureStatuses() const {
    KIRQL old;
    KeAcquireSpinLock(const_cast<PKSPIN_LOCK>(&lock_), &old);
    auto v = captureStatuses_;
    KeReleaseSpinLock(const_cast<PKSPIN_LOCK>(&lock_), old);
    return v;
}

// ----- MIDI

NTSTATUS TestClient::StartMidiIn() {
    if (midiInSlot_ == nullptr)
        midiInSlot_ = NewSlot(false, 0, midiIn_.maxPacket);
    midiStopping_ = false;
    KeClearEvent(&midiIdle_);
    return SubmitMidiIn();
}

NTSTATUS TestClient::SubmitMidiIn() {
    Slot* s = midiInSlot_;
    PrepareIrp(s, &MidiInDone);
    std::memset(s->urb, 0, s->urbSize);
    UsbBuildInterruptOrBulkTransferRequest(s->urb, USHORT(s->urbSize), midiIn_.handle, s->buffer, nullptr,
                                           midiIn_.maxPacket,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    midiInPending_ = true;
    ++submissions_;
    const NTSTATUS status = IoCallDriver(pdo_, s->irp);
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    midiSubmitting_ = false;
    const bool stop = midiStopping_.load();
    KeReleaseSpinLock(&lock_, old);
    if (stop) // StopMidi left the cancel to us
        IoCancelIrp(s->irp);
    return status;
}

NTSTATUS TestClient::MidiInDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<Slot*>(context)->owner->OnMidiInComplete();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void TestClient::OnMidiInComplete() {
    ++completions_;
    Slot* s = midiInSlot_;
    const NTSTATUS status = s->irp->IoStatus.Status;
    const LONG usbd = s->urb->UrbHeader.Status;
    midiInStatus_ = status;
    midiInUsbd_ = usbd;
    const bool ok = NT_SUCCESS(status) && USBD_SUCCESS(usbd);
    if (ok) {
        const ULONG n = s->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        midiReceived_.push_back({KeQueryInterruptTime(), std::vector<uint8_t>(s->buffer, s->buffer + n)});
        KeReleaseSpinLock(&lock_, old);
    }
    KeSetEvent(&midiInEvent_, IO_NO_INCREMENT, FALSE);
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    const bool again = ok && !midiStopping_.load();
    midiSubmitting_ = again;
    if (!again)
        midiInPending_ = false;
    KeReleaseSpinLock(&lock_, old);
    if (again) {
        SubmitMidiIn();
        return;
    }
    KeSetEvent(&midiIdle_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS TestClient::SendMidi(const std::vector<uint8_t>& packets, LONG* usbdStatus) {
    auto* urb = static_cast<PURB>(Allocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    auto* buffer = static_cast<PUCHAR>(Allocate(std::max<size_t>(packets.size(), 1)));
    std::copy(packets.begin(), packets.end(), buffer);
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           midiOut_.handle, buffer, nullptr, ULONG(packets.size()), 0,
                                           nullptr);
    const NTSTATUS status = SubmitUrbSync(pdo_, urb);
    if (usbdStatus != nullptr)
        *usbdStatus = urb->UrbHeader.Status;
    ExFreePool(buffer);
    ExFreePool(urb);
    return status;
}

void TestClient::StopMidi() {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    midiStopping_ = true;
    const bool pending = midiInPending_.load();
    const bool cancelHere = pending && !midiSubmitting_; // else the resubmitting thread cancels
    KeReleaseSpinLock(&lock_, old);
    if (cancelHere)
        IoCancelIrp(midiInSlot_->irp);
    if (pending)
        KeWaitForSingleObject(&midiIdle_, Executive, KernelMode, FALSE, nullptr);
}

std::vector<TestClient::MidiReceived> TestClient::MidiInReceived() const {
    KIRQL old;
    KeAcquireSpinLock(const_cast<PKSPIN_LOCK>(&lock_), &old);
    auto v = midiReceived_;
    KeReleaseSpinLock(const_cast<PKSPIN_LOCK>(&lock_), old);
    return v;
}

} // namespace usbtest
