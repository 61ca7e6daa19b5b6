// The Win32 layer against a small in-test driver: names, transfer methods, overlapped requests,
// error codes, events, and the run-down of an ending process.
#include <windows.h>
#include <wdm.h>
#include <win32/process.h>

#include "io/io_manager.h"
#include "ob/object_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ULONG kEchoBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kFillDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kFailWith = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWriteOnly = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_WRITE_ACCESS);

// The driver's state; one test at a time uses it.
struct EchoDriver {
    std::vector<std::string> log;
    PIRP held = nullptr; // a request kept pending by kHold
    NTSTATUS createStatus = STATUS_SUCCESS;
    KTIMER timer;
    KDPC dpc;
} gDriver;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    gDriver.held = nullptr;
    gDriver.log.push_back("cancel");
    Complete(irp, STATUS_CANCELLED);
}

// Completes the held request from a timer DPC with 3 bytes of answer.
VOID CompleteHeld(PKDPC, PVOID, PVOID, PVOID) {
    PIRP irp = gDriver.held;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr)
        return;
    gDriver.held = nullptr;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
    Complete(irp, STATUS_SUCCESS, 3);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        gDriver.log.push_back("create");
        return Complete(irp, gDriver.createStatus);
    case IRP_MJ_CLEANUP:
        gDriver.log.push_back("cleanup");
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        gDriver.log.push_back("close");
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    auto& p = stack->Parameters.DeviceIoControl;
    auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (p.IoControlCode) {
    case kEchoBuffered: {
        ULONG n = std::min(p.InputBufferLength, p.OutputBufferLength);
        std::reverse(system, system + n); // input and output share the system buffer
        return Complete(irp, STATUS_SUCCESS, n);
    }
    case kFillDirect: {
        auto* out = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::memset(out, 0xAB, p.OutputBufferLength);
        return Complete(irp, STATUS_SUCCESS, p.OutputBufferLength);
    }
    case kHold:
        IoMarkIrpPending(irp);
        gDriver.held = irp;
        IoSetCancelRoutine(irp, CancelHeld);
        return STATUS_PENDING;
    case kFailWith: {
        NTSTATUS status;
        std::memcpy(&status, system, sizeof status);
        return Complete(irp, status, NT_ERROR(status) ? 0 : 2);
    }
    case kWriteOnly:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

class Win32Test : public ::testing::Test {
protected:
    Win32Test() {
        gDriver = {};
        kernel_ = std::make_unique<nt::Kernel>();
        kernel_->Start();
        InSystem([&] {
            driver_ = kernel_->Io().CreateDriverObject(u"echo");
            for (auto& d : driver_->MajorFunction)
                d = Dispatch;
            UNICODE_STRING name, link;
            RtlInitUnicodeString(&name, u"\\Device\\Echo");
            RtlInitUnicodeString(&link, u"\\DosDevices\\Echo");
            ASSERT_EQ(STATUS_SUCCESS,
                      IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
            device_->Flags &= ~DO_DEVICE_INITIALIZING;
            ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &name));
            KeInitializeTimer(&gDriver.timer);
            KeInitializeDpc(&gDriver.dpc, CompleteHeld, nullptr);
        });
        process_ = win32::CreateUserProcess(*kernel_, "test.exe");
    }
    ~Win32Test() override {
        InSystem([&] {
            if (process_ != nullptr)
                win32::TerminateUserProcess(*kernel_, process_);
            KeCancelTimer(&gDriver.timer);
            KeFlushQueuedDpcs();
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, u"\\DosDevices\\Echo");
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(device_);
            ObDereferenceObject(driver_);
        });
        kernel_->Stop();
    }
    void InSystem(const std::function<void()>& fn) {
        nt::MachineThreadScope scope(*kernel_);
        fn();
    }
    void InProcess(const std::function<void()>& fn) {
        win32::UserThreadScope scope(*kernel_, process_);
        fn();
    }
    HANDLE OpenEcho(DWORD flags = 0) {
        return CreateFileW(u"\\\\.\\Echo", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }

    std::unique_ptr<nt::Kernel> kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    nt::Process* process_ = nullptr;
};

TEST_F(Win32Test, CreateFileResolvesNamesAndReportsFailuresAsErrorCodes) {
    InProcess([&] {
        HANDLE h =
            CreateFileA("\\\\.\\Echo", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ((std::vector<std::string>{"create", "cleanup", "close"}), gDriver.log);

        struct Case {
            const char16_t* name;
            DWORD disposition;
            NTSTATUS createStatus;
            DWORD error;
        } cases[] = {
            {u"\\\\.\\Missing", OPEN_EXISTING, STATUS_SUCCESS, ERROR_FILE_NOT_FOUND},
            {u"\\\\.\\Echo", 0, STATUS_SUCCESS, ERROR_INVALID_PARAMETER},
            {u"\\\\.\\Echo", OPEN_EXISTING, STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
            {u"\\\\.\\Echo", OPEN_EXISTING, STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        };
        for (const Case& c : cases) {
            gDriver.createStatus = c.createStatus;
            EXPECT_EQ(INVALID_HANDLE_VALUE,
                      CreateFileW(c.name, GENERIC_READ, 0, nullptr, c.disposition, 0, nullptr));
            EXPECT_EQ(c.error, GetLastError());
        }
    });
}

TEST_F(Win32Test, BufferedAndOutDirectRequestsCarryTheirData) {
    InProcess([&] {
        HANDLE h = OpenEcho();
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        char io[4] = {'1', '2', '3', '4'};
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(h, kEchoBuffered, io, 4, io, 4, &bytes, nullptr));
        EXPECT_EQ(4u, bytes);
        EXPECT_EQ(0, std::memcmp(io, "4321", 4));

        // Direct I/O needs memory the kernel can map: the process's global memory.
        auto* out = static_cast<UCHAR*>(GlobalAlloc(GPTR, 64));
        ASSERT_NE(nullptr, out);
        ASSERT_TRUE(DeviceIoControl(h, kFillDirect, nullptr, 0, out, 64, &bytes, nullptr));
        EXPECT_EQ(64u, bytes);
        EXPECT_EQ(0xAB, out[0]);
        EXPECT_EQ(0xAB, out[63]);
        EXPECT_EQ(nullptr, GlobalFree(out));
        // A stack buffer is not memory the kernel can lock for the process.
        UCHAR local[16];
        EXPECT_FALSE(DeviceIoControl(h, kFillDirect, nullptr, 0, local, sizeof local, &bytes, nullptr));
        EXPECT_EQ(ERROR_NOACCESS, GetLastError());
        CloseHandle(h);
    });
}

TEST_F(Win32Test, DriverStatusesBecomeTheErrorCodesCallersMeet) {
    InProcess([&] {
        HANDLE h = OpenEcho();
        struct Case {
            NTSTATUS status;
            BOOL result;
            DWORD error;
            DWORD bytes;
        } cases[] = {
            {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER, 0},
            {STATUS_DELETE_PENDING, FALSE, ERROR_ACCESS_DENIED, 0},
            {STATUS_DEVICE_BUSY, FALSE, ERROR_BUSY, 2}, // a warning still reports its bytes
            {STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA, 2},
            {STATUS_INVALID_HANDLE, FALSE, ERROR_INVALID_HANDLE, 0},
            {STATUS_UNSUCCESSFUL, FALSE, ERROR_GEN_FAILURE, 0},
            {STATUS_NOT_IMPLEMENTED, FALSE, ERROR_INVALID_FUNCTION, 0},
            {STATUS_INSUFFICIENT_RESOURCES, FALSE, ERROR_NO_SYSTEM_RESOURCES, 0},
            {static_cast<NTSTATUS>(0xC0DE0001L), FALSE, ERROR_MR_MID_NOT_FOUND, 0},
            {STATUS_SUCCESS, TRUE, ERROR_SUCCESS, 2},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.status);
            NTSTATUS in = c.status;
            char out[4];
            DWORD bytes = 99;
            EXPECT_EQ(c.result,
                      DeviceIoControl(h, kFailWith, &in, sizeof in, out, sizeof out, &bytes, nullptr));
            EXPECT_EQ(c.error, GetLastError());
            EXPECT_EQ(c.bytes, bytes);
        }
        CloseHandle(h);
        // A handle opened for reading cannot send a code that needs write access.
        HANDLE readOnly = CreateFileW(u"\\\\.\\Echo", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD bytes = 0;
        EXPECT_FALSE(DeviceIoControl(readOnly, kWriteOnly, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
        CloseHandle(readOnly);
        EXPECT_FALSE(CloseHandle(readOnly));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    });
}

TEST_F(Win32Test, OverlappedRequestCompletesIntoItsEventAndStatusBlock) {
    InProcess([&] {
        HANDLE h = OpenEcho(FILE_FLAG_OVERLAPPED);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr); // signalled: the request must reset it
        char out[8] = {};
        DWORD bytes = 0;
        EXPECT_FALSE(DeviceIoControl(h, kHold, nullptr, 0, out, sizeof out, nullptr, &ov));
        EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
        EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

        // The driver completes it 5 ms later from a timer DPC; the wait lets the clock move.
        LARGE_INTEGER due;
        due.QuadPart = -50000;
        KeSetTimer(&gDriver.timer, due, &gDriver.dpc);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
        EXPECT_EQ(3u, bytes);
        EXPECT_EQ(0, std::memcmp(out, "abc", 3));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 0));
        CloseHandle(ov.hEvent);
        CloseHandle(h);
    });
}

TEST_F(Win32Test, EventsSignalResetAndTimeOutInMachineTime) {
    InProcess([&] {
        HANDLE autoReset = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, autoReset);
        LONGLONG before = static_cast<LONGLONG>(KeQueryInterruptTime());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoReset, 10));
        EXPECT_EQ(before + 100000, static_cast<LONGLONG>(KeQueryInterruptTime()));
        EXPECT_TRUE(SetEvent(autoReset));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoReset, 0));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoReset, 0)); // the wait consumed it
        HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        EXPECT_TRUE(ResetEvent(manual));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
        EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, u"Named"));
        EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
        EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        CloseHandle(autoReset);
        CloseHandle(manual);
    });
}

TEST_F(Win32Test, AnEndingProcessHasItsRequestsCancelledAndFilesClosed) {
    // The request's buffers belong to the process and outlive the thread that sent it.
    OVERLAPPED ov{};
    char out[8];
    InProcess([&] {
        HANDLE h = OpenEcho(FILE_FLAG_OVERLAPPED);
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(DeviceIoControl(h, kHold, nullptr, 0, out, sizeof out, nullptr, &ov));
        EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
    });
    ASSERT_NE(nullptr, gDriver.held);
    InSystem([&] { win32::TerminateUserProcess(*kernel_, process_); });
    process_ = nullptr;
    EXPECT_EQ(nullptr, gDriver.held);
    EXPECT_EQ((std::vector<std::string>{"create", "cancel", "cleanup", "close"}), gDriver.log);
}

TEST_F(Win32Test, CallsOutsideAUserProcessFail) {
    InSystem([&] {
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenEcho());
        EXPECT_EQ(ERROR_INVALID_FUNCTION, GetLastError());
    });
}

} // namespace
