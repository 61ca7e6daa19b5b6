// The machine's USB: host controllers with root-hub ports, and the bus driver whose physical
// device objects (PDOs) represent the devices plugged into them.  This is the machine-facing
// control surface; drivers see only the PDO and the WDK-shaped requests it answers:
//   IRP_MJ_INTERNAL_DEVICE_CONTROL: IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS,
//                                   _GET_CONTROLLER_NAME
//   IRP_MJ_PNP / IRP_MN_QUERY_INTERFACE: USB_BUS_INTERFACE_USBDI_GUID, versions 0 and 1
//
// Control requests complete at once.  Isochronous and bulk transfers stay pending and complete
// from the controller's frame processing: a KTIMER whose DPC runs at DISPATCH_LEVEL on a processor
// thread at the next (micro)frame boundary with work due (the end of an isochronous transfer's
// last (micro)frame, or the frame in which a bulk endpoint stops NAKing).
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <usb/function.h>

namespace usbport {

class HostController;
struct DeviceState;

// One root-hub port.  Methods: PASSIVE_LEVEL, on a machine thread.
class Port {
public:
    Port(HostController& controller, unsigned number) : controller_(controller), number_(number) {}
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Powers `device` at `speed` (a full-speed-only controller refuses high speed) and creates its
    // PDO.  STATUS_DEVICE_BUSY when the port is occupied.
    NTSTATUS Plug(std::shared_ptr<usb::Function> device, usb::Speed speed, PDEVICE_OBJECT* pdo);
    // The device leaves: pending transfers complete with USBD_STATUS_DEVICE_GONE, the port reports
    // not connected at once, new requests fail with STATUS_NO_SUCH_DEVICE, then OnUnplug runs
    // (the machine starts surprise removal).  The PDO stays until DeletePdo.
    void Unplug();
    // Deletes the PDO of an unplugged device (the PnP manager's removal does this later).
    void DeletePdo();
    bool Connected() const;
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    unsigned Number() const { return number_; }
    HostController& Controller() { return controller_; }

    // Runs `f` on the plugged device under the controller's lock after the bus has delivered every
    // transaction up to now (so the device's state is current).  False when no device is plugged.
    bool WithDevice(const std::function<void(usb::Function&)>& f);

    // Fault on the bus side: the next `count` transfers on `endpointAddress` complete with
    // `status` (every packet of an isochronous transfer fails) without reaching the device.
    void FailTransfers(uint8_t endpointAddress, uint32_t count, LONG usbdStatus);

    // Bus-interface references handed out and not yet returned (0 when no device).
    LONG InterfaceReferences() const;

    std::function<void(PDEVICE_OBJECT pdo)> OnUnplug;

private:
    friend class HostController;
    HostController& controller_;
    unsigned number_;
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceState* state_ = nullptr; // lives in the PDO's extension
};

struct ControllerStats {
    uint64_t timerEvents = 0; // frame-processing DPCs that ran
    uint64_t isoPackets = 0;  // isochronous packets exchanged with devices
    uint64_t completions = 0; // transfers completed from frame processing
};

class HostController {
public:
    // `frameBase` offsets the 1-ms frame counter from the machine's clock.
    HostController(PDRIVER_OBJECT busDriver, std::u16string name, usb::Speed maxSpeed, unsigned ports,
                   uint32_t frameBase);
    ~HostController(); // ports must be empty (PASSIVE_LEVEL)
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    const std::u16string& Name() const { return name_; }
    usb::Speed MaxSpeed() const { return maxSpeed_; }
    Port& PortAt(unsigned index) { return *ports_.at(index); }
    unsigned PortCount() const { return unsigned(ports_.size()); }
    // The 1-ms frame counter (also at high speed).  Any IRQL.
    ULONG CurrentFrame() const;
    ControllerStats Stats();

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    friend class Port;
    PDRIVER_OBJECT busDriver_;
    std::u16string name_;
    usb::Speed maxSpeed_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::unique_ptr<Impl> impl_;
};

// The bus driver object ("\Driver\usbhub") and the controllers of one machine.  Create and
// destroy at PASSIVE_LEVEL on a machine thread of the kernel.
class UsbBus {
public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    HostController& AddController(std::u16string name, usb::Speed maxSpeed, unsigned ports);
    HostController& Controller(unsigned index) { return *controllers_.at(index); }
    unsigned ControllerCount() const { return unsigned(controllers_.size()); }
    PDRIVER_OBJECT Driver() const { return driver_; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<HostController>> controllers_;
};

} // namespace usbport
