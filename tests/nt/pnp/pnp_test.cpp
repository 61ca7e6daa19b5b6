// Arrival, removal, eject, sleep and wake of device stacks built by the test adapter driver.
#include "pnp_fixture.h"

#include "cm/registry.h"
#include "ex/pool.h"

#include <portcls.h>
#include <windows.h>
#include <win32/process.h>

namespace pnptest {
namespace {

TEST_F(PnpTest, ArrivalLoadsTheModuleOnceThenAddsAndStartsEachDevice) {
    ULONG first = 0, second = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Plug("TEST\\VID_1234&PID_0001", &status, &first);
    EXPECT_EQ(STATUS_SUCCESS, status);
    Plug("TEST\\VID_1234&PID_0001", &status, &second);
    EXPECT_EQ(STATUS_SUCCESS, status);
    // One DriverEntry; lower drivers start before the adapter's start routine; capabilities pass
    // the adapter on their way back up.
    const std::string device = "AddDevice, fdo pnp 0, pdo pnp 0, StartDevice, fdo pnp 9, pdo pnp 9, "
                               "QueryDeviceCapabilities";
    EXPECT_EQ("DriverEntry, " + device + ", " + device, Events());
    nt::DevNodeInfo node = Node(first);
    EXPECT_EQ(nt::DevNodeState::Started, node.State);
    EXPECT_TRUE(node.SurpriseRemovalOK);
    EXPECT_NE(nullptr, node.Top);
    EXPECT_NE(Node(first).DriverKey, Node(second).DriverKey);
    EXPECT_NE(nullptr, pnp_->LoadedDriver("pnptest"));
}

TEST_F(PnpTest, UnplugWithoutFilesRemovesAtOnceAndUnloadsTheModule) {
    PDEVICE_OBJECT pdo = Plug();
    Log().clear();
    Unplug(pdo);
    EXPECT_EQ("fdo pnp 23, pdo pnp 23, fdo pnp 2, teardown, pdo pnp 2, DriverUnload", Events());
    EXPECT_EQ(nullptr, pnp_->LoadedDriver("pnptest"));
    EXPECT_TRUE(pnp_->Devices().empty());
}

TEST_F(PnpTest, UnplugWithAFileOpenOnTheStackWaitsForItsClose) {
    PDEVICE_OBJECT pdo = Plug();
    HANDLE file = Open(u"\\Device\\TestPdo1");
    ASSERT_NE(nullptr, file);
    Log().clear();
    Unplug(pdo);
    EXPECT_EQ("fdo pnp 23, pdo pnp 23", Events());
    ULONG id = pnp_->Devices().at(0).Id;
    EXPECT_EQ(nt::DevNodeState::SurpriseRemoved, Node(id).State);
    EXPECT_EQ(1u, Node(id).OpenFiles);
    // A new open of the removed device is refused by port-class; the old file still works.
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, Open(u"\\Device\\TestPdo1", &status));
    EXPECT_EQ(STATUS_DELETE_PENDING, status);
    Close(file);
    EXPECT_EQ("fdo pnp 23, pdo pnp 23, fdo pnp 2, teardown, pdo pnp 2, DriverUnload", Events());
}

TEST_F(PnpTest, AHandleOnTheDriversOwnDeviceKeepsTheModuleLoadedUntilClosed) {
    PDEVICE_OBJECT pdo = Plug();
    HANDLE control = Open(u"\\DosDevices\\PnpTest001");
    ASSERT_NE(nullptr, control);
    Unplug(pdo);
    EXPECT_EQ("teardown", Events("teardown")); // the stack went at once
    EXPECT_EQ("", Events("DriverUnload"));
    EXPECT_NE(nullptr, pnp_->LoadedDriver("pnptest"));
    Close(control);
    EXPECT_EQ("DriverUnload", Events("DriverUnload"));
}

TEST_F(PnpTest, EjectAsksFirstAndRemovesOrCancels) {
    struct Case {
        bool busy;
        NTSTATUS status;
        const char* events;
        nt::DevNodeState state;
    } cases[] = {
        {false, STATUS_SUCCESS, "fdo pnp 1, pdo pnp 1, fdo pnp 2, teardown, pdo pnp 2, DriverUnload",
         nt::DevNodeState::Removed},
        {true, STATUS_DEVICE_BUSY, "fdo pnp 1, fdo pnp 3, pdo pnp 3", nt::DevNodeState::Started},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busy ? "busy" : "idle");
        ULONG id = 0;
        PDEVICE_OBJECT pdo = Plug("TEST\\VID_1234&PID_0001", nullptr, &id);
        Options().clear();
        if (c.busy)
            Options().insert("busy");
        Log().clear();
        EXPECT_EQ(c.status, pnp_->Eject(id));
        EXPECT_EQ(c.events, Events());
        EXPECT_EQ(c.state, Node(id).State);
        Options().clear();
        Unplug(pdo);
    }
}

TEST_F(PnpTest, SleepAndWakeReachTheAdapterAsDevicePowerChanges) {
    Plug();
    Log().clear();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->SetSystemPowerState(PowerSystemSleeping3));
    EXPECT_EQ("fdo power 3 S3, QueryPowerChangeState D3, pdo power 3 S3, "
              "fdo power 2 S3, fdo power 2 D3, PowerChangeState D3, pdo power 2 D3, pdo power 2 S3",
              Events());
    Log().clear();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->SetSystemPowerState(PowerSystemWorking));
    EXPECT_EQ("fdo power 2 S0, pdo power 2 S0, fdo power 2 D0, pdo power 2 D0, PowerChangeState D0",
              Events());
    EXPECT_EQ(PowerSystemWorking, pnp_->CurrentSystemPowerState());
}

TEST_F(PnpTest, AVetoedSleepChangesNothing) {
    Plug();
    Options().insert("veto-power");
    Log().clear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp_->SetSystemPowerState(PowerSystemSleeping3));
    EXPECT_EQ("fdo power 3 S3, QueryPowerChangeState D3", Events());
    EXPECT_EQ(PowerSystemWorking, pnp_->CurrentSystemPowerState());
}

TEST_F(PnpTest, AFailedStartRemovesTheStackAndUnloadsTheModule) {
    Options().insert("fail-start");
    ULONG id = 0;
    NTSTATUS status = STATUS_SUCCESS;
    Plug("TEST\\VID_1234&PID_0001", &status, &id);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(nt::DevNodeState::StartFailed, Node(id).State);
    EXPECT_EQ("DriverEntry, AddDevice, fdo pnp 0, pdo pnp 0, StartDevice, fdo pnp 2, pdo pnp 2, DriverUnload",
              Events());
    EXPECT_EQ(nullptr, Node(id).Top);
}

TEST_F(PnpTest, EveryFailingAllocationOfAddDeviceLeavesNothingBehind) {
    // The adapter device's subdevice table is port-class's only allocation in AddDevice.
    kernel_->Pool().FailNthAllocation(1, reinterpret_cast<const void*>(&PcAddAdapterDevice));
    ULONG id = 0;
    NTSTATUS status = STATUS_SUCCESS;
    Plug("TEST\\VID_1234&PID_0001", &status, &id);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    EXPECT_EQ(nt::DevNodeState::StartFailed, Node(id).State);
    EXPECT_EQ("DriverUnload", Events("DriverUnload"));
}

TEST_F(PnpTest, UnknownHardwareGetsNoDriver) {
    ULONG id = 0;
    Plug("TEST\\VID_9999&PID_0001", nullptr, &id);
    EXPECT_EQ(nt::DevNodeState::NoDriver, Node(id).State);
    EXPECT_EQ("", Events());
}

TEST_F(PnpTest, InstallationAndTheDeviceRegistryKeys) {
    nt::Registry& cm = kernel_->Cm();
    EXPECT_EQ(PNP_TEST_DRIVER,
              cm.GetString(nt::PnpManager::ServiceKeyPath("pnptest"), "ImagePath").value_or(""));
    std::string info =
        "\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}\\TESTINFO";
    EXPECT_EQ("1.2.3", cm.GetString(info, "version").value_or(""));
    EXPECT_EQ("C:\\Program Files\\Test", cm.GetString(info, "").value_or(""));
    EXPECT_EQ(200u, cm.GetDword(info, "As44").value_or(0));

    ULONG id = 0;
    PDEVICE_OBJECT pdo = Plug("TEST\\VID_1234&PID_0001", nullptr, &id);
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"InfPath");
    UCHAR buffer[128];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length));
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(ULONG(REG_SZ), value->Type);
    EXPECT_EQ(std::u16string(u"oem7.inf"), std::u16string(reinterpret_cast<const char16_t*>(value->Data)));
    ZwClose(key);
    // Only a PDO the PnP manager knows has device keys.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoOpenDeviceRegistryKey(Node(id).Top, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
}

} // namespace
} // namespace pnptest

namespace pnptest {
namespace {

TEST_F(PnpTest, AUserProcessClosingTheLastFileCompletesThePendingRemoval) {
    PDEVICE_OBJECT pdo = Plug();
    nt::Process* process = win32::CreateUserProcess(*kernel_, "app.exe");
    HANDLE file = INVALID_HANDLE_VALUE;
    scope_.reset();
    {
        win32::UserThreadScope user(*kernel_, process);
        file = CreateFileW(u"\\Device\\TestPdo1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    scope_.emplace(*kernel_);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    Unplug(pdo);
    EXPECT_EQ("", Events("DriverUnload"));
    scope_.reset();
    {
        win32::UserThreadScope user(*kernel_, process);
        EXPECT_TRUE(CloseHandle(file));
    }
    scope_.emplace(*kernel_);
    // The close came back only after the removal and the unload had run.
    EXPECT_EQ("teardown, DriverUnload", Events("teardown") + ", " + Events("DriverUnload"));
    EXPECT_TRUE(pnp_->Devices().empty());
    win32::TerminateUserProcess(*kernel_, process);
}

} // namespace
} // namespace pnptest
