// The user-mode service layer: open by name through links, device control by transfer method,
// overlapped completion, close and cleanup, process run-down, and device deletion while open.
#include "io_fixture.h"

#include "ob/object_manager.h"
#include "ob/process.h"

#include <cstring>
#include <string>
#include <vector>

using namespace iotest;

namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x850, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kWriteAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);

class FileTest : public IoTest {
protected:
    void MakeNamed(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch) {
        device_ = MakeDevice(std::move(dispatch), u"\\Device\\IoT1");
        UNICODE_STRING link = Str(u"\\DosDevices\\IoT1"), target = Str(u"\\Device\\IoT1");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
    }
    nt::OpenFileResult Open(nt::Process* process, bool synchronous = true,
                            ACCESS_MASK access = GENERIC_READ) {
        return Io().OpenFile(process, u"\\\\.\\IoT1", access, FILE_SHARE_READ, FILE_OPEN, synchronous);
    }
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(FileTest, OpenFollowsLinksAndCloseSendsCleanupThenClose) {
    std::vector<std::string> log;
    PFILE_OBJECT created = nullptr;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        static const char* names[] = {"create", "", "close"};
        log.push_back(stack->MajorFunction == IRP_MJ_CLEANUP ? "cleanup" : names[stack->MajorFunction]);
        if (stack->MajorFunction == IRP_MJ_CREATE) {
            created = stack->FileObject;
            EXPECT_EQ(ULONG(FILE_OPEN), stack->Parameters.Create.Options >> 24);
            EXPECT_EQ(USHORT(FILE_SHARE_READ), stack->Parameters.Create.ShareAccess);
            EXPECT_EQ(ACCESS_MASK(GENERIC_READ), stack->Parameters.Create.SecurityContext->DesiredAccess);
        } else {
            EXPECT_EQ(created, stack->FileObject);
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    struct Case {
        std::u16string name;
        NTSTATUS status;
    } cases[] = {
        {u"\\Device\\IoT1", STATUS_SUCCESS},
        {u"\\DosDevices\\iot1", STATUS_SUCCESS},
        {u"\\??\\IoT1", STATUS_SUCCESS},
        {u"\\\\.\\IOT1", STATUS_SUCCESS},
        {u"\\??\\IoT2", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        log.clear();
        auto open = Io().OpenFile(nullptr, c.name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, true);
        ASSERT_EQ(c.status, open.Status) << std::string(c.name.begin(), c.name.end());
        if (!NT_SUCCESS(c.status))
            continue;
        EXPECT_EQ(1, device_->ReferenceCount);
        EXPECT_EQ(device_, created->DeviceObject);
        EXPECT_EQ(STATUS_SUCCESS, Io().CloseHandle(nullptr, open.Handle));
        EXPECT_EQ((std::vector<std::string>{"create", "cleanup", "close"}), log);
        EXPECT_EQ(0, device_->ReferenceCount);
    }
    UNICODE_STRING link = Str(u"\\DosDevices\\IoT1");
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(nullptr).Status);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&link));
}

TEST_F(FileTest, RefusedCreateSendsNoCloseAndExclusiveDeviceAdmitsOneFile) {
    int closes = 0;
    NTSTATUS createStatus = STATUS_ACCESS_DENIED;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        closes += major == IRP_MJ_CLOSE;
        return CompleteWith(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
    });
    EXPECT_EQ(STATUS_ACCESS_DENIED, Open(nullptr).Status);
    EXPECT_EQ(0, closes);
    EXPECT_EQ(0, device_->ReferenceCount);

    createStatus = STATUS_SUCCESS;
    device_->DeviceObjectExtension->Exclusive = true;
    auto first = Open(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, first.Status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, Open(nullptr).Status);
    Io().CloseHandle(nullptr, first.Handle);
    EXPECT_EQ(1, closes);
}

TEST_F(FileTest, BufferedControlCopiesBackInformationBytesOnlyOnSuccess) {
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        size_t copied;
    } cases[] = {{STATUS_SUCCESS, 5, 5},
                 {STATUS_SUCCESS, 0, 0},
                 {STATUS_BUFFER_OVERFLOW, 8, 8},
                 {STATUS_UNSUCCESSFUL, 8, 0}};
    const Case* current = nullptr;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return CompleteWith(irp, STATUS_SUCCESS);
        EXPECT_EQ(UserMode, irp->RequestorMode);
        EXPECT_EQ(4u, stack->Parameters.DeviceIoControl.InputBufferLength);
        EXPECT_EQ(8u, stack->Parameters.DeviceIoControl.OutputBufferLength);
        auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(0, std::memcmp(system, "ping", 4));
        std::memset(system, 'A', 8);
        return CompleteWith(irp, current->status, current->information);
    });
    nt::Process* app = kernel_->Ob().CreateProcess("app");
    EnterProcess(app);
    auto open = Open(app);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    for (const Case& c : cases) {
        current = &c;
        char out[8] = {};
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(c.status, Io().DeviceIoControl(app, open.Handle, kBuffered, const_cast<char*>("ping"), 4,
                                                 out, sizeof(out), nullptr, &iosb));
        EXPECT_EQ(c.status, iosb.Status);
        EXPECT_EQ(std::string(c.copied, 'A') + std::string(8 - c.copied, '\0'), std::string(out, 8));
    }
    // A code that needs write access is refused on a read-only handle before any IRP is built.
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(STATUS_ACCESS_DENIED,
              Io().DeviceIoControl(app, open.Handle, kWriteAccess, nullptr, 0, nullptr, 0, nullptr, &iosb));
    Io().CloseHandle(app, open.Handle);
    EnterProcess(nullptr);
    kernel_->Ob().TerminateProcess(app);
}

// The shared-buffer pattern: an OUT_DIRECT request that stays pending with the caller's block
// mapped a second time, completed later by the driver.
TEST_F(FileTest, OutDirectRequestMapsTheCallersBlockUntilItCompletes) {
    PIRP held = nullptr;
    UCHAR* mapped = nullptr;
    int closes = 0;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        closes += stack->MajorFunction == IRP_MJ_CLOSE;
        if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return CompleteWith(irp, STATUS_SUCCESS);
        EXPECT_EQ(0, std::memcmp(irp->AssociatedIrp.SystemBuffer, "map!", 4));
        mapped = static_cast<UCHAR*>(
            MmGetSystemAddressForMdlSafe(irp->MdlAddress, HighPagePriority | MdlMappingNoExecute));
        EXPECT_EQ(20000u, MmGetMdlByteCount(irp->MdlAddress));
        std::memset(mapped, 0x11, 20000);
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    nt::Process* app = kernel_->Ob().CreateProcess("app");
    EnterProcess(app);
    auto open = Open(app, /*synchronous=*/false);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    HANDLE event;
    ASSERT_EQ(STATUS_SUCCESS, kernel_->Ob().CreateEvent(app, NotificationEvent, TRUE, &event));
    auto* block = static_cast<UCHAR*>(app->AllocateUserMemory(20000 + 100)) + 100; // not page-aligned
    auto* iosb = static_cast<IO_STATUS_BLOCK*>(app->AllocateUserMemory(sizeof(IO_STATUS_BLOCK)));
    iosb->Status = -1;
    EXPECT_EQ(STATUS_PENDING, Io().DeviceIoControl(app, open.Handle, kOutDirect, const_cast<char*>("map!"), 4,
                                                   block, 20000, event, iosb));
    ASSERT_NE(nullptr, held);
    EXPECT_NE(block, mapped); // a second mapping of the same pages
    EXPECT_EQ(0x11, block[0]);
    EXPECT_EQ(0x11, block[19999]);
    block[12345] = 0x22;
    EXPECT_EQ(0x22, mapped[12345]);
    EXPECT_EQ(-1, iosb->Status);
    PVOID eventObject;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                                        &eventObject, nullptr));
    EXPECT_EQ(0, KeReadStateEvent(static_cast<PKEVENT>(eventObject))); // reset when the request began

    // Closing the handle sends cleanup, but the pending request keeps the file until it ends.
    Io().CloseHandle(app, open.Handle);
    EXPECT_EQ(0, closes);
    CompleteWith(held, STATUS_SUCCESS, 20000);
    Io().RunDeferredWork();
    EXPECT_EQ(1, closes);
    EXPECT_EQ(STATUS_SUCCESS, iosb->Status);
    EXPECT_EQ(20000u, iosb->Information);
    EXPECT_EQ(1, KeReadStateEvent(static_cast<PKEVENT>(eventObject)));
    ObDereferenceObject(eventObject);
    EnterProcess(nullptr);
    kernel_->Ob().TerminateProcess(app); // no pages stay locked
}

TEST_F(FileTest, ProcessRunDownCancelsPendingRequestsAndCleansUpItsFiles) {
    std::vector<std::string> log;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_CLEANUP)
            log.push_back("cleanup");
        if (stack->MajorFunction == IRP_MJ_CLOSE)
            log.push_back("close");
        if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return CompleteWith(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteWith(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    });
    nt::Process* app = kernel_->Ob().CreateProcess("app");
    EnterProcess(app);
    auto open = Open(app, /*synchronous=*/false);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    auto* iosb = static_cast<IO_STATUS_BLOCK*>(app->AllocateUserMemory(sizeof(IO_STATUS_BLOCK)));
    char out[4];
    EXPECT_EQ(STATUS_PENDING,
              Io().DeviceIoControl(app, open.Handle, kBuffered, nullptr, 0, out, 4, nullptr, iosb));
    EnterProcess(nullptr);
    ObfReferenceObject(app);
    kernel_->Ob().TerminateProcess(app);
    EXPECT_EQ((std::vector<std::string>{"cleanup", "close"}), log);
    EXPECT_EQ(0, device_->ReferenceCount);
    ObDereferenceObject(app);
}

TEST_F(FileTest, DeletedDeviceKeepsItsNameUntilTheLastFileCloses) {
    int closes = 0;
    MakeNamed([&](PDEVICE_OBJECT, PIRP irp) {
        closes += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE;
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    auto open = Open(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    PDEVICE_OBJECT old = device_;
    ObReferenceObject(old);
    IoDeleteDevice(old);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Open(nullptr).Status);
    UNICODE_STRING name = Str(u"\\Device\\IoT1");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(driver_, sizeof(TestDevice), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));

    Io().CloseHandle(nullptr, open.Handle); // the close still reaches the deleted device
    EXPECT_EQ(1, closes);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    static_cast<TestDevice*>(old->DeviceExtension)->~TestDevice();
    ObDereferenceObject(old);
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver_, sizeof(TestDevice), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    new (second->DeviceExtension)
        TestDevice{[](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }};
}

} // namespace
