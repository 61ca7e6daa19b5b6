// Device start-up, removal, power and the pool on the start path, with the real module on a
// machine.  Removal tests also prove that nothing leaks: the PnP manager unloads the module when
// its last device goes, and the unload bug-checks on pool, devices or timers left behind.
#include <VexIoctl.h>

#include <cm/registry.h>
#include <ex/pool.h>
#include <io/io_manager.h>
#include <pnp/pnp_manager.h>

#include "DeviceContext.h"
#include "machine_fixture.h"

namespace coretest {
namespace {

const unsigned long kFileNotFound = 2;
const unsigned long kAccessDenied = 5; // STATUS_DELETE_PENDING as Win32 reports it

using Startup = CoreMachine;

TEST_F(Startup, FirstInstrumentGetsNumberOneAndIndexZero) {
    unsigned id = 0;
    ASSERT_EQ(Plug(1, 0, &id), STATUS_SUCCESS);
    DeviceContext* context = ContextOf(1);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->DeviceIndex, 0);
    EXPECT_EQ(context->Usb.DeviceIndex, 0u);
    EXPECT_EQ(ReadDeviceState(&context->Usb), DeviceRunning);
    EXPECT_EQ(context->Usb.HighSpeed, 1u);
    EXPECT_EQ(context->Usb.OutputPacketSize, instrument::kIsoPacketSizeHigh);
    EXPECT_EQ(context->Usb.InputPacketSize, instrument::kIsoPacketSizeHigh);
    EXPECT_EQ(context->MidiOut.SuspendState, MidiPowered);
    EXPECT_NE(context->Usb.MidiOut.PipeHandle, nullptr);
    EXPECT_NE(context->Usb.MidiIn.PipeHandle, nullptr);
    EXPECT_EQ(context->Usb.MidiOut.MaximumPacketSize, instrument::kBulkPacketSizeHigh);

    void* handle = Open(1);
    EXPECT_NE(handle, nullptr);
    unsigned long error = 0;
    EXPECT_EQ(Open(2, &error), nullptr);
    EXPECT_EQ(error, kFileNotFound);
    Close(handle);
    ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(1), nullptr);
    EXPECT_FALSE(DriverLoaded());
}

// The old control device lives while a handle holds it: its number is taken, the next instrument
// gets 002, and the old handle keeps answering (without sending anything to the gone device).
TEST_F(Startup, SurpriseRemovalWithAHandleOpen) {
    unsigned first = 0;
    ASSERT_EQ(Plug(1, 0, &first), STATUS_SUCCESS);
    void* old = Open(1);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(Unplug(first), STATUS_SUCCESS);

    DeviceContext* gone = ContextOf(1);
    ASSERT_NE(gone, nullptr) << "the open handle keeps the DeviceContext";
    EXPECT_EQ(ReadDeviceState(&gone->Usb), DeviceRemoved);
    EXPECT_EQ(gone->PhysicalDeviceObject, nullptr);
    unsigned long error = 0;
    EXPECT_EQ(Open(1, &error), nullptr);
    EXPECT_EQ(error, kAccessDenied);

    VexU32Record zero = {7};
    EXPECT_TRUE(Ioctl(old, IOCTL_GET_ZERO, nullptr, 0, &zero, sizeof(zero)).ok);
    EXPECT_EQ(zero.Value, 0u);
    VexControllerNameRecord name = {};
    EXPECT_TRUE(Ioctl(old, IOCTL_GET_CONTROLLER_NAME, nullptr, 0, &name, sizeof(name)).ok);
    EXPECT_EQ(std::u16string(name.Name), u"NoHostName");
    EXPECT_EQ(name.NameLength, 20u);
    VexInfPathRecord inf = {};
    EXPECT_EQ(Ioctl(old, IOCTL_GET_INF_PATH, nullptr, 0, &inf, sizeof(inf)).error,
              6u); // ERROR_INVALID_HANDLE

    unsigned second = 0;
    ASSERT_EQ(Plug(1, 1, &second), STATUS_SUCCESS);
    DeviceContext* next = ContextOf(2);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->DeviceIndex, 1);
    EXPECT_TRUE(DriverLoaded());

    Close(old); // frees the old DeviceContext and its control device
    EXPECT_EQ(ContextOf(1), nullptr);
    ASSERT_EQ(Unplug(second), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(Startup, FifthInstrumentStartsWithoutAControlDevice) {
    unsigned ids[5] = {};
    for (unsigned i = 0; i < 4; ++i)
        ASSERT_EQ(Plug(i / 2, i % 2, &ids[i]), STATUS_SUCCESS);
    ASSERT_EQ(Plug(1, 3, &ids[4]), STATUS_SUCCESS);
    for (int n = 1; n <= 4; ++n) {
        ASSERT_NE(ContextOf(n), nullptr) << n;
        EXPECT_EQ(ContextOf(n)->DeviceIndex, n - 1);
    }
    EXPECT_EQ(ContextOf(5), nullptr);
    const auto rows = Devices().List();
    ASSERT_EQ(rows.size(), 5u);
    for (const auto& row : rows)
        EXPECT_EQ(row.PnpState, "started") << row.Id;
    // The fifth runs without a DeviceContext: its removal and the others' leave nothing behind.
    for (unsigned id : ids)
        ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(Startup, SleepAndWake) {
    unsigned id = 0;
    ASSERT_EQ(Plug(1, 0, &id), STATUS_SUCCESS);
    DeviceContext* context = ContextOf(1);
    ASSERT_NE(context, nullptr);
    void* handle = Open(1);
    ASSERT_NE(handle, nullptr);

    M().Run([&] { EXPECT_EQ(Devices().Sleep(), STATUS_SUCCESS); });
    EXPECT_EQ(ReadDeviceState(&context->Usb), DevicePoweredDown);
    EXPECT_EQ(context->MidiOut.SuspendState, MidiPoweredDown);
    EXPECT_EQ(context->Timer.Armed, 0);
    void* whileAsleep = Open(1);
    EXPECT_NE(whileAsleep, nullptr) << "a powered-down instrument still opens";

    M().Run([&] { EXPECT_EQ(Devices().Wake(), STATUS_SUCCESS); });
    EXPECT_EQ(ReadDeviceState(&context->Usb), DeviceRunning);
    EXPECT_EQ(context->MidiOut.SuspendState, MidiPowered);
    EXPECT_EQ(context->Timer.Armed, 1);
    M().RunFor(100000); // 10 ms of timer ticks
    Close(whileAsleep);
    Close(handle);
    ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(Startup, ShutdownNotificationChangesNothing) {
    unsigned id = 0;
    ASSERT_EQ(Plug(1, 0, &id), STATUS_SUCCESS);
    DeviceContext* context = ContextOf(1);
    ASSERT_NE(context, nullptr);
    M().Run([&] { M().Kernel().Io().SendShutdownNotifications(); });
    EXPECT_EQ(ReadDeviceState(&context->Usb), DeviceRunning);
    EXPECT_EQ(context->ReferenceCount, 1);
    void* handle = Open(1);
    EXPECT_NE(handle, nullptr);
    Close(handle);
    ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(Startup, QueryRemoveRefusedWhileBusy) {
    unsigned id = 0;
    ASSERT_EQ(Plug(1, 0, &id), STATUS_SUCCESS);
    DeviceContext* context = ContextOf(1);
    ASSERT_NE(context, nullptr);
    context->MidiIn.PortOpen = 1; // as an open MIDI input stream would
    NTSTATUS status = STATUS_SUCCESS;
    M().Run([&] { status = Devices().Eject(id); });
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(ReadDeviceState(&context->Usb), DeviceRunning);
    void* handle = Open(1);
    ASSERT_NE(handle, nullptr);
    VexU32Record busy = {};
    EXPECT_TRUE(Ioctl(handle, IOCTL_GET_DEVICE_BUSY, nullptr, 0, &busy, sizeof(busy)).ok);
    EXPECT_EQ(busy.Value, 1u);
    Close(handle);

    context->MidiIn.PortOpen = 0;
    M().Run([&] { status = Devices().Eject(id); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(1), nullptr);
}

TEST_F(Startup, DescriptorVariantsStart) {
    struct Case {
        const char* name;
        instrument::DescriptorVariant variant;
        USHORT out;
        USHORT in;
    };
    const Case cases[] = {
        {"two rates", instrument::DescriptorVariant::TwoRateFormat, 0, 0},
        {"capture without endpoint", instrument::DescriptorVariant::CaptureAltWithoutEndpoint,
         instrument::kIsoPacketSizeFull, 0},
        {"long configuration", instrument::DescriptorVariant::LongConfiguration,
         instrument::kIsoPacketSizeFull, instrument::kIsoPacketSizeFull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned id = 0;
        instrument::InstrumentConfig config;
        config.descriptors = c.variant;
        ASSERT_EQ(Plug(0, 0, &id, config), STATUS_SUCCESS);
        DeviceContext* context = ContextOf(1);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(context->Usb.HighSpeed, 0u);
        EXPECT_EQ(context->Usb.OutputPacketSize, c.out);
        EXPECT_EQ(context->Usb.InputPacketSize, c.in);
        EXPECT_EQ(ReadDeviceState(&context->Usb), DeviceRunning);
        ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
    }
}

TEST_F(Startup, MidiInLiteSelectsTheLightAlternateSetting) {
    M().Kernel().Cm().SetDword(nt::PnpManager::ServiceKeyPath("vexwdm") + "\\Parameters\\Common",
                               "MidiInLite", 1);
    unsigned id = 0;
    std::shared_ptr<instrument::Instrument> device;
    ASSERT_EQ(Plug(1, 0, &id, {}, &device), STATUS_SUCCESS);
    DeviceContext* context = ContextOf(1);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->Usb.MidiAltSetting, 1u);
    ASSERT_NE(context->Usb.Selections[MidiInterface], nullptr);
    EXPECT_EQ(context->Usb.Selections[MidiInterface]->AlternateSetting, 1);
    EXPECT_EQ(context->Usb.MidiIn.PipeHandle, context->Usb.Selections[MidiInterface]->Pipes[1].PipeHandle);
    bool checked = false;
    M().Run([&] {
        checked = Devices().PortOf(id)->WithDevice([](usb::Function& f) {
            EXPECT_EQ(static_cast<instrument::Instrument&>(f).AlternateSetting(2), 1);
        });
    });
    EXPECT_TRUE(checked);
    ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
}

// Every allocation the driver makes while starting a second instrument fails in turn.  The start
// reports success without a DeviceContext (stage 1) or STATUS_UNSUCCESSFUL (the adapter object);
// after the instrument is pulled, the driver's pool is back to what the first instrument holds.
TEST_F(Startup, EveryStartAllocationFailingInTurn) {
    unsigned first = 0;
    ASSERT_EQ(Plug(1, 0, &first), STATUS_SUCCESS);
    const void* module = Module();
    ASSERT_NE(module, nullptr);
    nt::PoolManager& pool = M().Kernel().Pool();
    const size_t baseline = pool.OutstandingFor(module).size();

    bool completed = false;
    bool sawStageOneFailure = false; // started without a DeviceContext
    bool sawAdapterFailure = false;  // STATUS_UNSUCCESSFUL
    for (uint64_t n = 1; n < 400 && !completed; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        const uint64_t before = pool.InjectedFailures();
        pool.FailNthAllocation(n, module);
        unsigned id = 0;
        NTSTATUS status = Plug(1, 1, &id);
        pool.ClearFaults();
        completed = pool.InjectedFailures() == before;
        if (completed) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_NE(ContextOf(2), nullptr);
        } else {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL) << std::hex << status;
            if (status == STATUS_UNSUCCESSFUL) {
                EXPECT_EQ(ContextOf(2), nullptr);
                sawAdapterFailure = true;
            } else if (ContextOf(2) == nullptr) {
                sawStageOneFailure = true;
            }
        }
        ASSERT_EQ(Unplug(id), STATUS_SUCCESS);
        EXPECT_EQ(ContextOf(2), nullptr);
        EXPECT_EQ(pool.OutstandingFor(module).size(), baseline);
    }
    EXPECT_TRUE(completed);
    EXPECT_TRUE(sawStageOneFailure);
    EXPECT_TRUE(sawAdapterFailure);
    ASSERT_EQ(Unplug(first), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

} // namespace
} // namespace coretest
