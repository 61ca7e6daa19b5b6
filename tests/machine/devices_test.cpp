// Plugging instruments into the machine's ports: the PnP manager binds the installed package,
// and unplug, eject, sleep and wake reach the driver's stack.
#include "machine/devices.h"
#include "machine/machine.h"

#include "instrument/instrument.h"
#include "pnp/pnp_manager.h"

#include <gtest/gtest.h>

namespace {

class DevicesTest : public ::testing::Test {
protected:
    DevicesTest() {
        nt::DriverPackage package = sim::DeviceManager::ZkPackage(PNP_TEST_DRIVER);
        package.Service = "zktest";
        EXPECT_EQ(STATUS_SUCCESS, machine_.Devices().InstallPackage(package));
    }
    std::shared_ptr<usb::Function> NewInstrument() { return std::make_shared<instrument::Instrument>(); }
    sim::Machine machine_;
};

TEST_F(DevicesTest, PlugStartsTheBoundDriverAndUnplugRemovesIt) {
    sim::DeviceManager& devices = machine_.Devices();
    unsigned id = 0;
    ASSERT_EQ(STATUS_SUCCESS, devices.Plug(1, 0, usb::Speed::High, NewInstrument(), &id));
    std::vector<sim::DeviceRow> rows = devices.List();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("USB1", rows[0].Controller);
    EXPECT_EQ("started", rows[0].PnpState);
    EXPECT_EQ("zktest", rows[0].Service);
    EXPECT_EQ("USB\\VID_7A57&PID_0057\\USB1&1", rows[0].InstanceId);
    EXPECT_EQ(STATUS_SUCCESS, devices.Sleep());
    EXPECT_EQ(STATUS_SUCCESS, devices.Wake());
    EXPECT_EQ(STATUS_SUCCESS, devices.Unplug(id));
    EXPECT_TRUE(devices.List().empty());
    EXPECT_EQ(nullptr, devices.Pnp().LoadedDriver("zktest"));
}

TEST_F(DevicesTest, PortsRefuseWhatTheyCannotTake) {
    sim::DeviceManager& devices = machine_.Devices();
    unsigned id = 0;
    // A full-speed-only controller cannot run a device at high speed; a port holds one device.
    EXPECT_FALSE(NT_SUCCESS(devices.Plug(0, 0, usb::Speed::High, NewInstrument(), &id)));
    EXPECT_EQ(0u, id);
    devices.Plug(0, 0, usb::Speed::Full, NewInstrument(), &id);
    ASSERT_NE(0u, id);
    unsigned second = 0;
    EXPECT_EQ(STATUS_DEVICE_BUSY, devices.Plug(0, 0, usb::Speed::Full, NewInstrument(), &second));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, devices.Plug(5, 0, usb::Speed::Full, NewInstrument(), &second));
    EXPECT_EQ(1u, devices.List().size());
}

TEST_F(DevicesTest, EjectedDeviceStaysPluggedWithoutAStack) {
    sim::DeviceManager& devices = machine_.Devices();
    unsigned id = 0;
    ASSERT_EQ(STATUS_SUCCESS, devices.Plug(1, 2, usb::Speed::High, NewInstrument(), &id));
    EXPECT_EQ(STATUS_SUCCESS, devices.Eject(id));
    EXPECT_EQ("removed", devices.List().at(0).PnpState);
    EXPECT_EQ(nullptr, devices.Pnp().LoadedDriver("zktest"));
    EXPECT_EQ(STATUS_SUCCESS, devices.Unplug(id));
    EXPECT_TRUE(devices.List().empty());
}

} // namespace
