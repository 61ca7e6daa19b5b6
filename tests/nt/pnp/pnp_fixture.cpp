#include "pnp_fixture.h"

#include <algorithm>

extern "C" void PnpTestRecord(const char* event) {
    pnptest::Log().push_back(event);
}

extern "C" int PnpTestOption(const char* name) {
    return pnptest::Options().count(name) != 0;
}

namespace pnptest {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The bus driver's PDO: answers the PnP and power requests that reach the bottom of a stack.
NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        bool system = stack->Parameters.Power.Type == SystemPowerState;
        Log().push_back(std::string("pdo power ") + std::to_string(stack->MinorFunction) +
                        (system ? " S" : " D") +
                        std::to_string(system ? stack->Parameters.Power.State.SystemState - 1
                                              : stack->Parameters.Power.State.DeviceState - 1));
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MajorFunction == IRP_MJ_PNP) {
        Log().push_back("pdo pnp " + std::to_string(stack->MinorFunction));
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES:
            stack->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
            [[fallthrough]];
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            return Complete(irp, STATUS_SUCCESS);
        default:
            return Complete(irp, irp->IoStatus.Status);
        }
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

std::set<std::string>& Options() {
    static std::set<std::string> options;
    return options;
}

std::string Events(const std::string& filter) {
    std::string out;
    for (const std::string& e : Log())
        if (e.find(filter) != std::string::npos)
            out += (out.empty() ? "" : ", ") + e;
    return out;
}

PnpTest::PnpTest() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Log().clear();
    Options().clear();
    kernel_ = std::make_unique<nt::Kernel>();
    kernel_->Start();
    scope_.emplace(*kernel_);
    pnp_ = std::make_unique<nt::PnpManager>(*kernel_);
    pnp_->OnPdoReleased = [](PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); };
    bus_ = kernel_->Io().CreateDriverObject(u"testbus");
    for (auto& dispatch : bus_->MajorFunction)
        dispatch = BusDispatch;
    nt::DriverPackage package;
    package.Service = "pnptest";
    package.ImagePath = PNP_TEST_DRIVER;
    package.HardwareIds = {"TEST\\VID_1234&PID_0001"};
    package.InfoKey = "CLSID\\{00000000-1111-2222-3333-444444444444}\\TESTINFO";
    package.InstallFolder = "C:\\Program Files\\Test";
    package.Version = "1.2.3";
    package.Copyright = "(c) test";
    package.InfoDwords = {{"As44", 200}};
    EXPECT_EQ(STATUS_SUCCESS, pnp_->InstallPackage(package));
}

PnpTest::~PnpTest() {
    for (const nt::DevNodeInfo& node : pnp_->Devices())
        if (node.Pdo->DriverObject == bus_)
            pnp_->ReportDeviceMissing(node.Pdo);
    pnp_->ProcessPendingWork();
    pnp_.reset();
    ObDereferenceObject(bus_);
    scope_.reset();
    kernel_->Stop();
}

PDEVICE_OBJECT PnpTest::Plug(const std::string& hardwareId, NTSTATUS* status, ULONG* id) {
    std::u16string name = u"\\Device\\TestPdo" + std::u16string(1, char16_t(u'0' + nextPdo_));
    UNICODE_STRING n;
    n.Buffer = name.data();
    n.Length = n.MaximumLength = static_cast<USHORT>(name.size() * 2);
    PDEVICE_OBJECT pdo = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(bus_, 0, &n, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo));
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    ULONG node = 0;
    NTSTATUS s =
        pnp_->ReportDeviceArrival(pdo, {hardwareId}, "TEST\\DEVICE\\" + std::to_string(nextPdo_++), &node);
    if (status != nullptr)
        *status = s;
    if (id != nullptr)
        *id = node;
    return pdo;
}

void PnpTest::Unplug(PDEVICE_OBJECT pdo) {
    EXPECT_EQ(STATUS_SUCCESS, pnp_->ReportDeviceMissing(pdo));
}

nt::DevNodeInfo PnpTest::Node(ULONG id) {
    for (const nt::DevNodeInfo& node : pnp_->Devices())
        if (node.Id == id)
            return node;
    return {};
}

HANDLE PnpTest::Open(const std::u16string& name, NTSTATUS* status) {
    nt::OpenFileResult r =
        kernel_->Io().OpenFile(nullptr, name, GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN, true);
    if (status != nullptr)
        *status = r.Status;
    return r.Handle;
}

void PnpTest::Close(HANDLE handle) {
    EXPECT_EQ(STATUS_SUCCESS, kernel_->Io().CloseHandle(nullptr, handle));
    pnp_->ProcessPendingWork();
}

} // namespace pnptest
