// IRP mechanics: completion routines up a device stack, SL_INVOKE_* conditions, packets handed
// back with STATUS_MORE_PROCESSING_REQUIRED and reused, pending propagation, cancellation, and
// requests built with IoBuildDeviceIoControlRequest.
#include "io_fixture.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using namespace iotest;

namespace {

// A completion from a processor thread at DISPATCH_LEVEL, as a USB controller would do it.
struct DeferredCompletion {
    KDPC dpc;
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    DeferredCompletion() {
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID self, PVOID, PVOID) {
                auto* d = static_cast<DeferredCompletion*>(self);
                CompleteWith(d->irp, d->status);
            },
            this);
    }
    void Queue(PIRP pending, NTSTATUS final) {
        irp = pending;
        status = final;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
};

class IrpTest : public IoTest {};

struct Trace {
    std::vector<std::string> steps;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* name = static_cast<const char*>(context);
    auto* trace = static_cast<Trace*>(irp->Tail.Overlay.DriverContext[0]);
    trace->steps.push_back(std::string(name) + (device ? "@dev" : "@top") +
                           (irp->PendingReturned ? "+pending" : ""));
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST_F(IrpTest, CompletionRunsRoutinesBottomUpAndFinishesTheBuiltRequest) {
    Trace trace;
    PDEVICE_OBJECT bottom = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
        auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(0, std::memcmp(system, "input", 5));
        std::memset(system, 'R', 16); // more than the reported Information
        trace.steps.push_back("bottom");
        return CompleteWith(irp, STATUS_SUCCESS, 3);
    });
    auto passDown = [&](const char* name, PDEVICE_OBJECT lower) {
        return [&trace, name, lower](PDEVICE_OBJECT device, PIRP irp) {
            EXPECT_EQ(device, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
            irp->Tail.Overlay.DriverContext[0] = &trace;
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Record, const_cast<char*>(name), TRUE, TRUE, TRUE);
            return IoCallDriver(lower, irp);
        };
    };
    PDEVICE_OBJECT middle = MakeDevice(passDown("middle", bottom), u"", bottom);
    PDEVICE_OBJECT top = MakeDevice(passDown("top", middle), u"", bottom);
    ASSERT_EQ(3, top->StackSize);
    ASSERT_EQ(top, IoGetAttachedDevice(bottom));

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char input[8] = "input";
    char output[16] = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                      input, sizeof(input), output, sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(top, irp));

    // Each routine runs with the device of the driver that set it, lowest first.
    EXPECT_EQ((std::vector<std::string>{"bottom", "middle@dev", "top@dev"}), trace.steps);
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(3u, iosb.Information);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ("RRR", std::string(output, 3)); // only Information bytes come back
    EXPECT_EQ(0, output[3]);
}

TEST_F(IrpTest, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor) {
    struct Case {
        NTSTATUS status;
        bool cancelled;
        BOOLEAN onSuccess, onError, onCancel;
        bool invoked;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true}, // a warning is not success
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
    };
    const Case* current = nullptr;
    bool invoked = false;
    PDEVICE_OBJECT bottom =
        MakeDevice([&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, current->status); });
    PDEVICE_OBJECT filter = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID flag) -> NTSTATUS {
                    *static_cast<bool*>(flag) = true;
                    return STATUS_SUCCESS;
                },
                &invoked, current->onSuccess, current->onError, current->onCancel);
            return IoCallDriver(bottom, irp);
        },
        u"", bottom);
    // The allocator always takes its packet back.
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(filter->StackSize + 1), FALSE);
    ASSERT_NE(nullptr, irp);
    for (const Case& c : cases) {
        current = &c;
        invoked = false;
        IoReuseIrp(irp, STATUS_SUCCESS);
        irp->Cancel = c.cancelled;
        IoSetNextIrpStackLocation(irp);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
            nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(c.status, IoCallDriver(filter, irp));
        EXPECT_EQ(c.invoked, invoked) << "status " << std::hex << c.status << " cancelled " << c.cancelled;
    }
    IoFreeIrp(irp);
}

struct Slot {
    PIRP irp = nullptr;
    PDEVICE_OBJECT target = nullptr;
    KEVENT done;
    std::atomic<int> completions{0};
    std::atomic<bool> sawPendingAtDispatchLevel{true};
};

NTSTATUS Submit(Slot* s);

NTSTATUS SlotCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* s = static_cast<Slot*>(context);
    if (device != nullptr || !irp->PendingReturned || KeGetCurrentIrql() != DISPATCH_LEVEL)
        s->sawPendingAtDispatchLevel = false;
    if (++s->completions < 3)
        Submit(s); // straight from the completion routine
    else
        KeSetEvent(&s->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Submit(Slot* s) {
    IoReuseIrp(s->irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(s->irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(s->irp, SlotCompleted, s, TRUE, TRUE, TRUE);
    return IoCallDriver(s->target, s->irp);
}

// The streaming pattern: a driver-owned packet resubmitted from its own completion routine, the
// lower driver completing it later at DISPATCH_LEVEL.
TEST_F(IrpTest, DriverOwnedIrpIsHandedBackAndReusedAcrossSubmissions) {
    DeferredCompletion later;
    PDEVICE_OBJECT bus = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        later.Queue(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT pass = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(bus, irp);
        },
        u"", bus);

    Slot slot;
    KeInitializeEvent(&slot.done, NotificationEvent, FALSE);
    slot.target = pass;
    slot.irp = IoAllocateIrp(static_cast<CCHAR>(pass->StackSize + 1), FALSE);
    ASSERT_NE(nullptr, slot.irp);
    EXPECT_EQ(STATUS_PENDING, Submit(&slot));
    KeWaitForSingleObject(&slot.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(3, slot.completions.load());
    EXPECT_TRUE(slot.sawPendingAtDispatchLevel.load());
    IoFreeIrp(slot.irp);
}

// A filter that waits for the lower driver with STATUS_MORE_PROCESSING_REQUIRED and then
// completes the request itself; the caller sees the filter's final status.
TEST_F(IrpTest, FilterTakesTheIrpBackThenCompletesItAgain) {
    DeferredCompletion later;
    PDEVICE_OBJECT bottom = MakeDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        later.Queue(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT filter = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            KEVENT back;
            KeInitializeEvent(&back, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
                    KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                },
                &back, TRUE, TRUE, TRUE);
            if (IoCallDriver(bottom, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
            return CompleteWith(irp, STATUS_DEVICE_BUSY, 7);
        },
        u"", bottom);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x2F0003, filter, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb); // NEITHER
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_DEVICE_BUSY, IoCallDriver(filter, irp));
    EXPECT_EQ(STATUS_DEVICE_BUSY, iosb.Status);
    EXPECT_EQ(7u, iosb.Information);
}

TEST_F(IrpTest, CancelRunsTheCancelRoutineOnceUnderTheCancelLock) {
    struct Queue {
        PIRP held = nullptr;
        int cancelled = 0;
    } queue;
    PDEVICE_OBJECT device = MakeDevice([&](PDEVICE_OBJECT device, PIRP irp) {
        device->CurrentIrp = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP irp) {
            EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
            EXPECT_TRUE(irp->Cancel);
            EXPECT_EQ(device->CurrentIrp, irp);
            IoReleaseCancelSpinLock(irp->CancelIrql);
            device->CurrentIrp = nullptr;
            CompleteWith(irp, STATUS_CANCELLED);
        });
        queue.held = irp;
        return STATUS_PENDING;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x2F0003, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(STATUS_CANCELLED, iosb.Status);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    // Without a cancel routine the request is only flagged; the driver completes it itself.
    PIRP second =
        IoBuildDeviceIoControlRequest(0x2F0003, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, second));
    ASSERT_NE(nullptr, IoSetCancelRoutine(second, nullptr));
    EXPECT_FALSE(IoCancelIrp(second));
    EXPECT_TRUE(second->Cancel);
    CompleteWith(second, STATUS_CANCELLED);
}

TEST_F(IrpTest, ShutdownNotificationReachesRegisteredDevicesNewestFirst) {
    std::vector<PDEVICE_OBJECT> seen;
    auto onShutdown = [&](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(IRP_MJ_SHUTDOWN, IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        seen.push_back(device);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT a = MakeDevice(onShutdown);
    PDEVICE_OBJECT b = MakeDevice(onShutdown);
    PDEVICE_OBJECT c = MakeDevice(onShutdown);
    for (PDEVICE_OBJECT d : {a, b, c})
        ASSERT_EQ(STATUS_SUCCESS, IoRegisterShutdownNotification(d));
    IoUnregisterShutdownNotification(b);
    Io().SendShutdownNotifications();
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{c, a}), seen);
}

} // namespace
