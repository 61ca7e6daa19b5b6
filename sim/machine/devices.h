// The machine's devices: its USB host controllers, the PnP manager, the installed driver
// package, and the instruments plugged into root-hub ports.  The machine-facing surface for
// tests and vexsim; every call enters the machine on the calling thread (which must not be a
// thread of a user process) and runs at PASSIVE_LEVEL.
#pragma once

#include <nt/kernel.h>
#include <wdm.h>

#include <usb/bus.h>
#include <usb/function.h>

#include <memory>
#include <string>
#include <vector>

namespace nt {
class PnpManager;
struct DriverPackage;
} // namespace nt

namespace sim {

// One plugged device as the machine sees it.
struct DeviceRow {
    unsigned Id = 0;        // the machine's number for the plugged device (1, 2, ...)
    std::string Controller; // the host controller's name
    unsigned ControllerIndex = 0;
    unsigned Port = 0; // 0-based root-hub port
    usb::Speed Speed = usb::Speed::Full;
    std::string InstanceId;
    std::string PnpState; // "started", "surprise-removed", ...
    std::string Service;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Top = nullptr; // the top of the stack while started
    unsigned OpenFiles = 0;
};

class DeviceManager {
public:
    // Controllers: 0 "USB0" full-speed only, 1 "USB1" high speed; four ports each.
    explicit DeviceManager(nt::Kernel& kernel);
    ~DeviceManager(); // unplugs what is left and removes the controllers
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    nt::PnpManager& Pnp() { return *pnp_; }
    usbport::UsbBus& Usb() { return *bus_; }

    // The package of the ZK-57: service "vexwdm" with `imagePath`, the instrument's hardware ID,
    // the driver-information key with the installed defaults.
    static nt::DriverPackage ZkPackage(const std::string& imagePath);
    NTSTATUS InstallPackage(const nt::DriverPackage& package);

    // Plugs `device` into a port; the PnP manager binds and starts it.  *id receives the
    // device's number.  Returns the start's status (or the port's refusal).
    NTSTATUS Plug(unsigned controller, unsigned port, usb::Speed speed, std::shared_ptr<usb::Function> device,
                  unsigned* id);
    NTSTATUS Unplug(unsigned id); // the cable is pulled
    NTSTATUS Eject(unsigned id);  // the user's safe removal
    NTSTATUS Sleep();             // system S3
    NTSTATUS Wake();              // system S0
    std::vector<DeviceRow> List();
    // The port a device is plugged into, or null.
    usbport::Port* PortOf(unsigned id);

private:
    struct Plugged {
        unsigned Id;
        unsigned Controller;
        unsigned PortIndex;
        usb::Speed Speed;
        ULONG Node;
        std::shared_ptr<usb::Function> Device;
    };
    Plugged* Find(unsigned id);

    nt::Kernel& kernel_;
    std::unique_ptr<nt::PnpManager> pnp_;
    std::unique_ptr<usbport::UsbBus> bus_;
    std::vector<Plugged> plugged_; // touched only by the machine's controlling thread
    unsigned nextId_ = 1;
};

} // namespace sim
