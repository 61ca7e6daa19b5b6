// A machine in virtual time with the USB bus (a full-speed-only and a high-speed controller) and
// the test's thread inside it at PASSIVE_LEVEL.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include <nt/kernel.h>
#include <usb/bus.h>
#include <wdm.h>

#include <instrument/instrument.h>

#include "test_client.h"

namespace usbtest {

constexpr LONGLONG kMs = 10000;

class UsbTest : public ::testing::Test {
protected:
    UsbTest() {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        nt::KernelConfig config;
        config.processors = 2;
        kernel_ = std::make_unique<nt::Kernel>(config);
        kernel_->Start();
        scope_.emplace(*kernel_);
        bus_ = std::make_unique<usbport::UsbBus>();
        full_ = &bus_->AddController(u"\\??\\PCI#VEN_1B36&DEV_0001#USB1", usb::Speed::Full, 2);
        high_ = &bus_->AddController(u"\\??\\PCI#VEN_1B36&DEV_0002#USB2", usb::Speed::High, 4);
    }
    ~UsbTest() override {
        bus_.reset();
        scope_.reset();
        kernel_->Stop();
    }

    // Plugs a ZK-57 into the first free port of the controller for `speed`.
    PDEVICE_OBJECT Plug(usb::Speed speed, instrument::InstrumentConfig config = {}) {
        instrument_ = std::make_shared<instrument::Instrument>(config);
        usbport::HostController& hc = speed == usb::Speed::High ? *high_ : *full_;
        for (unsigned i = 0; i < hc.PortCount(); ++i) {
            if (hc.PortAt(i).Pdo() != nullptr)
                continue;
            port_ = &hc.PortAt(i);
            PDEVICE_OBJECT pdo = nullptr;
            EXPECT_EQ(STATUS_SUCCESS, port_->Plug(instrument_, speed, &pdo));
            return pdo;
        }
        ADD_FAILURE() << "no free port";
        return nullptr;
    }

    // Runs `f` on the instrument with the bus brought up to now.
    template <class F>
    void OnInstrument(F f) {
        port_->WithDevice([&](usb::Function& fn) { f(static_cast<instrument::Instrument&>(fn)); });
    }

    void Sleep(LONGLONG units) {
        LARGE_INTEGER t;
        t.QuadPart = -units;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    NTSTATUS Wait(PKEVENT event, LONGLONG timeout) {
        LARGE_INTEGER t;
        t.QuadPart = -timeout;
        return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &t);
    }

    std::unique_ptr<nt::Kernel> kernel_;
    std::optional<nt::MachineThreadScope> scope_;
    std::unique_ptr<usbport::UsbBus> bus_;
    usbport::HostController* full_ = nullptr;
    usbport::HostController* high_ = nullptr;
    usbport::Port* port_ = nullptr;
    std::shared_ptr<instrument::Instrument> instrument_;
};

} // namespace usbtest
