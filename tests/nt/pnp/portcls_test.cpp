// Port-class's own rules, apart from the PnP sequences: the reserved extension area, requests on
// device objects port-class did not create, and the adapter's reference.
#include "pnp_fixture.h"

#include <portcls.h>

namespace pnptest {
namespace {

NTSTATUS SendTo(PDEVICE_OBJECT device, UCHAR major) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST_F(PnpTest, AddAdapterDeviceRefusesAnExtensionSmallerThanPortClassesArea) {
    PDEVICE_OBJECT pdo = Plug("TEST\\VID_9999&PID_0001");
    PDRIVER_OBJECT driver = kernel_->Io().CreateDriverObject(u"small");
    auto start = [](PDEVICE_OBJECT, PIRP, PRESOURCELIST) -> NTSTATUS { return STATUS_SUCCESS; };
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PcAddAdapterDevice(driver, pdo, start, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE - 8));
    EXPECT_EQ(nullptr, driver->DeviceObject);
    EXPECT_EQ(pdo, IoGetAttachedDevice(pdo));
    ObDereferenceObject(driver);
}

TEST_F(PnpTest, RequestsOnTheDriversOwnDeviceCompleteWithoutPortClassState) {
    Plug();
    PDEVICE_OBJECT control = pnp_->LoadedDriver("pnptest")->DeviceObject;
    ASSERT_NE(nullptr, control);
    // The test driver hands everything but create/close/PnP/power to port-class.
    struct Case {
        UCHAR major;
        NTSTATUS status;
    } cases[] = {
        {IRP_MJ_CLEANUP, STATUS_SUCCESS},
        {IRP_MJ_DEVICE_CONTROL, STATUS_INVALID_DEVICE_REQUEST},
        {IRP_MJ_READ, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.major));
        EXPECT_EQ(c.status, SendTo(control, c.major));
    }
}

TEST_F(PnpTest, RemovalReleasesPortClassesReferenceToTheAdapter) {
    // The adapter's teardown runs inside the remove request, before the PDO gets it, so that the
    // driver can still talk to its hardware.
    PDEVICE_OBJECT pdo = Plug();
    Log().clear();
    Unplug(pdo);
    std::string events = Events();
    EXPECT_LT(events.find("teardown"), events.find("pdo pnp 2,"));
}

} // namespace
} // namespace pnptest
