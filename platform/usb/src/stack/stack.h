// Internal state of the USB stack: controllers, the devices on their ports, open pipes and the
// transfers the stack holds.
//
// Locking: everything here is guarded by the controller's spin lock (HostController::Impl::lock),
// taken at <= DISPATCH_LEVEL, including every call into a device model.  IRPs are completed only
// after the lock is released (a completion routine may submit again).  A pending transfer's IRP has
// a cancel routine; whoever clears it with IoSetCancelRoutine(irp, NULL) first owns the completion.
#pragma once

#include <wdm.h>

#include <array>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include <usb.h>
#include <usb/bus.h>
#include <usbbusif.h>
#include <usbioctl.h>

namespace usbport {

struct DeviceState;
struct Pipe;

// A transfer the stack holds (pending isochronous or bulk URB).  Stored in the IRP's
// Tail.Overlay.DriverContext[0] while the PDO owns the IRP.
struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr; // null once the pipe closed while a canceller owned the IRP
    bool iso = false;
    bool in = false;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    LONG forcedStatus = 0;                // a bus fault decided the result (USBD error), 0 otherwise
    bool cancelling = false;              // IoCancelIrp took the cancel routine: the routine completes it
    std::list<Transfer*>::iterator devIt; // position in DeviceState::pending

    // Isochronous: packet i occupies [start + i * period, start + (i + 1) * period).
    usb::Time start = 0;
    usb::Time period = 0;
    ULONG packets = 0;
    ULONG delivered = 0; // packets exchanged with the device so far
    ULONG errors = 0;
    ULONG bytes = 0;
    usb::Time End() const { return start + usb::Time(packets) * period; }

    // Bulk.
    usb::Time attemptAt = usb::kNever;
    ULONG done = 0;
};

struct Pipe {
    PVOID handle = nullptr;
    uint8_t interfaceNumber = 0;
    uint8_t address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    uint16_t maxPacket = 0;
    uint8_t interval = 0;
    usb::Time period = 0;      // isochronous: time per packet
    ULONG packetsPerFrame = 1; // isochronous at high speed: 8 >> (bInterval - 1)
    bool halted = false;
    bool scheduled = false; // nextFrame continues a schedule
    int64_t nextFrame = 0;  // absolute 1-ms frame index after the last scheduled packet
    std::deque<Transfer*> queue;
};

struct BusFault {
    uint32_t count = 0;
    LONG status = 0;
};

// One plugged device; lives in its PDO's device extension.
struct DeviceState {
    HostController* controller = nullptr;
    Port* port = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<usb::Function> function;
    usb::Speed speed = usb::Speed::Full;
    bool gone = false; // unplugged: requests fail with STATUS_NO_SUCH_DEVICE

    std::vector<uint8_t> configuration; // the client's descriptor as selected; empty when unconfigured
    PVOID configurationHandle = nullptr;
    std::array<uint8_t, 32> alternate{};
    std::map<PVOID, std::unique_ptr<Pipe>> pipes; // open pipes by handle
    std::list<Transfer*> pending;                 // every transfer the stack holds
    std::map<uint8_t, BusFault> faults;
    LONG interfaceReferences = 0; // bus interface references handed out (interlocked)

    usb::Time BulkPeriod() const {
        return speed == usb::Speed::High ? usb::kMicroframeTime : usb::kFrameTime;
    }
};

struct Completion {
    PIRP irp;
    NTSTATUS status;
};
using CompletionList = std::vector<Completion>;

struct HostController::Impl {
    explicit Impl(HostController& owner, uint32_t frameBase);

    HostController& hc;
    KSPIN_LOCK lock = 0;
    KTIMER timer{};
    KDPC dpc{};
    usb::Time armed = usb::kNever; // due time the timer is set to
    uint32_t frameBase;
    std::vector<DeviceState*> devices;
    ControllerStats stats;
    std::vector<uint8_t> scratch = std::vector<uint8_t>(3072);
    uint64_t nextHandle = 1;

    PVOID NewHandle(uint32_t kind) { return reinterpret_cast<PVOID>((nextHandle++ << 8) | kind); }
    ULONG FrameNumber(usb::Time now) const { return ULONG(uint64_t(now / usb::kFrameTime) + frameBase); }

    // All with `lock` held.
    void RunDevice(DeviceState& dev, usb::Time now, CompletionList& done);
    void Rearm(usb::Time now);
    // Takes the transfer out of the schedule and, when the stack still owns its IRP, queues it for
    // completion with the URB status given.
    void Finish(DeviceState& dev, Transfer* t, LONG usbdStatus, CompletionList& done);
    // Ends every transfer of the pipe (abort) and forgets the pipe.
    void ClosePipe(DeviceState& dev, Pipe* pipe, LONG usbdStatus, CompletionList& done);

    static KDEFERRED_ROUTINE FrameDpc;
};

// Completes the IRPs collected under the lock; the lock must be released.
void CompleteAll(CompletionList& done);
// The NTSTATUS an IRP carries for a URB that ended with `usbdStatus`.
NTSTATUS UsbdToNtStatus(LONG usbdStatus);
DeviceState* StateOf(PDEVICE_OBJECT pdo);

// URB handlers (urb_control.cpp, urb_transfer.cpp).  They complete the IRP or leave it pending
// and return what the dispatch routine returns.
NTSTATUS SubmitUrb(DeviceState& dev, PIRP irp, PURB urb);
NTSTATUS SubmitTransfer(DeviceState& dev, PIRP irp, PURB urb);

// Bus-interface functions (pdo.cpp).
void FillBusInterface(DeviceState& dev, PUSB_BUS_INTERFACE_USBDI_V1 bi, USHORT version);

} // namespace usbport
