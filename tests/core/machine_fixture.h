// A machine with the package installed and vexwdm.so loaded by its PnP manager when an instrument
// arrives; a user process that talks to the control devices through the Win32 layer; and a
// white-box view of a started instrument's DeviceContext for the states user mode cannot see.
#pragma once

#include <gtest/gtest.h>

#include <instrument/instrument.h>
#include <machine/devices.h>
#include <machine/machine.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DeviceContext;

namespace coretest {

struct IoResult {
    bool ok = false;
    unsigned long error = 0; // GetLastError when !ok
    unsigned long bytes = 0;
};

class CoreMachine : public ::testing::Test {
protected:
    CoreMachine();
    ~CoreMachine() override;

    sim::Machine& M() { return machine_; }
    sim::DeviceManager& Devices() { return machine_.Devices(); }

    // Plugs a new instrument; controller 0 is full speed only, 1 is high speed; 4 ports each.
    NTSTATUS Plug(unsigned controller, unsigned port, unsigned* id, instrument::InstrumentConfig config = {},
                  std::shared_ptr<instrument::Instrument>* out = nullptr);
    NTSTATUS Unplug(unsigned id);

    // Win32 calls in the client process.  Open returns null on failure with *error set.
    void* Open(int number, unsigned long* error = nullptr);
    void Close(void* handle);
    IoResult Ioctl(void* handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength);

    // The DeviceContext behind \Device\Vexwdm00<number>, or null when that device does not exist.
    DeviceContext* ContextOf(int number);
    bool DriverLoaded();
    // An address inside the loaded vexwdm module (for the pool ledger and fault injection).
    const void* Module();

private:
    sim::Machine machine_;
    void* process_ = nullptr; // nt::Process*
};

} // namespace coretest
