#include "machine/devices.h"

#include "pnp/pnp_manager.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

// Hardware IDs from the device descriptor, most specific first, as the USB hub reports them.
std::vector<std::string> HardwareIds(usbport::Port& port) {
    std::vector<std::string> ids;
    port.WithDevice([&](usb::Function& f) {
        auto d = f.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0);
        if (d.size() < 14)
            return;
        unsigned vid = d[8] | d[9] << 8, pid = d[10] | d[11] << 8, rev = d[12] | d[13] << 8;
        char text[64];
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev);
        ids.push_back(text);
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vid, pid);
        ids.push_back(text);
    });
    return ids;
}

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

} // namespace

DeviceManager::DeviceManager(nt::Kernel& kernel) : kernel_(kernel) {
    nt::MachineThreadScope scope(kernel_);
    pnp_ = std::make_unique<nt::PnpManager>(kernel_);
    bus_ = std::make_unique<usbport::UsbBus>();
    bus_->AddController(u"USB0", usb::Speed::Full, 4);
    bus_->AddController(u"USB1", usb::Speed::High, 4);
    pnp_->OnPdoReleased = [this](PDEVICE_OBJECT pdo) {
        for (unsigned c = 0; c < bus_->ControllerCount(); ++c)
            for (unsigned p = 0; p < bus_->Controller(c).PortCount(); ++p)
                if (bus_->Controller(c).PortAt(p).Pdo() == pdo)
                    bus_->Controller(c).PortAt(p).DeletePdo();
    };
    for (unsigned c = 0; c < bus_->ControllerCount(); ++c)
        for (unsigned p = 0; p < bus_->Controller(c).PortCount(); ++p)
            bus_->Controller(c).PortAt(p).OnUnplug = [this](PDEVICE_OBJECT pdo) {
                pnp_->ReportDeviceMissing(pdo);
            };
}

DeviceManager::~DeviceManager() {
    nt::MachineThreadScope scope(kernel_);
    while (!plugged_.empty())
        Unplug(plugged_.back().Id);
    pnp_->ProcessPendingWork();
    bus_.reset();
    pnp_.reset();
}

nt::DriverPackage DeviceManager::ZkPackage(const std::string& imagePath) {
    nt::DriverPackage p;
    p.Service = "vexwdm";
    p.ImagePath = imagePath;
    p.HardwareIds = {"USB\\VID_7A57&PID_0057"};
    p.InfPath = "oem7.inf";
    p.DriverDesc = "ZK-57";
    p.InfoKey = "CLSID\\{5E0B9C43-D217-4A8E-B36F-91C4E28A0D57}\\VEXDRVID";
    p.InstallFolder = "C:\\Program Files\\ZK-57";
    p.Version = "1.0.0";
    p.Copyright = "Copyright (C) Tavrin";
    // The rate table's installed defaults.
    p.InfoDwords = {{"As32", 109}, {"As44", 134},  {"As48", 143}, {"As88", 229},
                    {"As96", 245}, {"As176", 416}, {"As192", 449}};
    return p;
}

NTSTATUS DeviceManager::InstallPackage(const nt::DriverPackage& package) {
    return pnp_->InstallPackage(package);
}

DeviceManager::Plugged* DeviceManager::Find(unsigned id) {
    auto it = std::find_if(plugged_.begin(), plugged_.end(), [id](const Plugged& p) { return p.Id == id; });
    return it == plugged_.end() ? nullptr : &*it;
}

usbport::Port* DeviceManager::PortOf(unsigned id) {
    Plugged* p = Find(id);
    return p == nullptr ? nullptr : &bus_->Controller(p->Controller).PortAt(p->PortIndex);
}

NTSTATUS DeviceManager::Plug(unsigned controller, unsigned port, usb::Speed speed,
                       std::shared_ptr<usb::Function> device, unsigned* id) {
    nt::MachineThreadScope scope(kernel_);
    if (id != nullptr)
        *id = 0;
    if (controller >= bus_->ControllerCount() || port >= bus_->Controller(controller).PortCount())
        return STATUS_INVALID_PARAMETER;
    usbport::Port& p = bus_->Controller(controller).PortAt(port);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = p.Plug(device, speed, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    Plugged entry{nextId_++, controller, port, speed, 0, std::move(device)};
    plugged_.push_back(entry);
    if (id != nullptr)
        *id = entry.Id;
    std::string instance = "USB\\VID_7A57&PID_0057\\" + Narrow(bus_->Controller(controller).Name()) + "&" +
                           std::to_string(port + 1);
    std::vector<std::string> ids = HardwareIds(p);
    if (!ids.empty()) {
        std::string base = ids.back();
        instance = base + "\\" + Narrow(bus_->Controller(controller).Name()) + "&" + std::to_string(port + 1);
    }
    ULONG node = 0;
    status = pnp_->ReportDeviceArrival(pdo, ids, instance, &node);
    Find(entry.Id)->Node = node;
    return status;
}

NTSTATUS DeviceManager::Unplug(unsigned id) {
    nt::MachineThreadScope scope(kernel_);
    Plugged* p = Find(id);
    if (p == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    usbport::Port& port = bus_->Controller(p->Controller).PortAt(p->PortIndex);
    plugged_.erase(plugged_.begin() + (p - plugged_.data()));
    port.Unplug(); // OnUnplug starts the surprise removal
    return STATUS_SUCCESS;
}

NTSTATUS DeviceManager::Eject(unsigned id) {
    nt::MachineThreadScope scope(kernel_);
    Plugged* p = Find(id);
    return p == nullptr ? STATUS_NO_SUCH_DEVICE : pnp_->Eject(p->Node);
}

NTSTATUS DeviceManager::Sleep() {
    nt::MachineThreadScope scope(kernel_);
    return pnp_->SetSystemPowerState(PowerSystemSleeping3);
}

NTSTATUS DeviceManager::Wake() {
    nt::MachineThreadScope scope(kernel_);
    return pnp_->SetSystemPowerState(PowerSystemWorking);
}

std::vector<DeviceRow> DeviceManager::List() {
    nt::MachineThreadScope scope(kernel_);
    std::vector<nt::DevNodeInfo> nodes = pnp_->Devices();
    std::vector<DeviceRow> rows;
    for (const Plugged& p : plugged_) {
        DeviceRow row;
        row.Id = p.Id;
        row.ControllerIndex = p.Controller;
        row.Controller = Narrow(bus_->Controller(p.Controller).Name());
        row.Port = p.PortIndex;
        row.Speed = p.Speed;
        for (const nt::DevNodeInfo& n : nodes)
            if (n.Id == p.Node) {
                row.InstanceId = n.InstanceId;
                row.PnpState = nt::DevNodeStateName(n.State);
                row.Service = n.Service;
                row.StartStatus = n.StartStatus;
                row.Pdo = n.Pdo;
                row.Top = n.Top;
                row.OpenFiles = n.OpenFiles;
            }
        rows.push_back(row);
    }
    return rows;
}

} // namespace sim
