// Each I/O rule the verifier enforces, broken once: the machine must stop with Windows' bug-check
// code (and the verifier sub-code where there is one).
#include "io_fixture.h"

#include "ob/object_manager.h"
#include "ob/process.h"

#include <cstdio>
#include <cstdlib>

using namespace iotest;

namespace {

constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x850, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);

class IoVerifierDeathTest : public IoTest {
public:
    IoVerifierDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Sends a built request to `device` and returns the status of IoCallDriver.
    NTSTATUS Send(PDEVICE_OBJECT device) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(kNeither, device, nullptr, 0, nullptr, 0, FALSE, &event_, &iosb_);
        return IoCallDriver(device, irp);
    }
    // A driver-allocated packet sent to a device that keeps it pending.
    PIRP SendOwned() {
        PDEVICE_OBJECT keeper = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(keeper->StackSize + 1), FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoCallDriver(keeper, irp);
        return irp;
    }
    // A user process with an OUT_DIRECT request pending on a device that keeps it (no cancel
    // routine); returns the driver's mapping of the caller's block.
    UCHAR* PendingOutDirect(nt::Process* app, PIRP* held) {
        static UCHAR* mapped;
        static PIRP* heldOut;
        heldOut = held;
        PDEVICE_OBJECT device = MakeDevice(
            [](PDEVICE_OBJECT, PIRP irp) {
                if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
                    return CompleteWith(irp, STATUS_SUCCESS);
                mapped =
                    static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
                *heldOut = irp;
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            },
            u"\\Device\\IoV");
        (void)device;
        EnterProcess(app);
        auto open = Io().OpenFile(app, u"\\Device\\IoV", GENERIC_READ, 0, FILE_OPEN, false);
        auto* block = static_cast<UCHAR*>(app->AllocateUserMemory(8192));
        auto* iosb = static_cast<IO_STATUS_BLOCK*>(app->AllocateUserMemory(sizeof(IO_STATUS_BLOCK)));
        Io().DeviceIoControl(app, open.Handle, kOutDirect, nullptr, 0, block, 8192, nullptr, iosb);
        EnterProcess(nullptr);
        return mapped;
    }

    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
};

struct Rule {
    const char* name;
    void (*provoke)(IoVerifierDeathTest* t);
    const char* expected;
};

TEST_F(IoVerifierDeathTest, EveryIoRuleStopsTheMachineWithItsCode) {
    static const Rule rules[] = {
        {"completing an IRP twice",
         [](IoVerifierDeathTest* t) {
             t->Send(t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
                 CompleteWith(irp, STATUS_SUCCESS);
                 return CompleteWith(irp, STATUS_SUCCESS);
             }));
         },
         "0x00000044 .*MULTIPLE_IRP_COMPLETE_REQUESTS"},
        {"completing an IRP that still has a cancel routine",
         [](IoVerifierDeathTest* t) {
             t->Send(t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                 return CompleteWith(irp, STATUS_SUCCESS);
             }));
         },
         "0x00000048 .*CANCEL_STATE_IN_COMPLETED_IRP"},
        {"STATUS_PENDING without IoMarkIrpPending",
         [](IoVerifierDeathTest* t) {
             static PIRP kept;
             t->Send(t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
                 kept = irp;
                 return STATUS_PENDING;
             }));
             CompleteWith(kept, STATUS_SUCCESS); // the missing mark is found on the way up
         },
         "0x000000C4 \\(0x0000000000002001"},
        {"IoMarkIrpPending, then a final status",
         [](IoVerifierDeathTest* t) {
             t->Send(t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 return CompleteWith(irp, STATUS_SUCCESS);
             }));
         },
         "0x000000C4 \\(0x0000000000002002"},
        {"IoFreeIrp while a lower driver owns the IRP",
         [](IoVerifierDeathTest* t) { IoFreeIrp(t->SendOwned()); }, "0x000000C4 \\(0x0000000000002003"},
        {"IoReuseIrp while a lower driver owns the IRP",
         [](IoVerifierDeathTest* t) { IoReuseIrp(t->SendOwned(), STATUS_SUCCESS); },
         "0x000000C4 \\(0x0000000000002004"},
        {"IoCallDriver with no stack location left",
         [](IoVerifierDeathTest* t) {
             PDEVICE_OBJECT bottom =
                 t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, 0); });
             static PDEVICE_OBJECT below;
             below = bottom;
             PDEVICE_OBJECT filter = t->MakeDevice(
                 [](PDEVICE_OBJECT, PIRP irp) {
                     IoCopyCurrentIrpStackLocationToNext(irp);
                     return IoCallDriver(below, irp);
                 },
                 u"", bottom);
             PIRP irp = IoAllocateIrp(1, FALSE); // one location short
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IoCallDriver(filter, irp);
         },
         "0x00000035 .*NO_MORE_IRP_STACK_LOCATIONS"},
        {"IoBuildDeviceIoControlRequest at DISPATCH_LEVEL",
         [](IoVerifierDeathTest* t) {
             PDEVICE_OBJECT device =
                 t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, 0); });
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             IoBuildDeviceIoControlRequest(kNeither, device, nullptr, 0, nullptr, 0, FALSE, &t->event_,
                                           &t->iosb_);
         },
         "0x000000C4 \\(0x0000000000000038(.|\n)*IoBuildDeviceIoControlRequest"},
        {"IoCreateDevice at DISPATCH_LEVEL",
         [](IoVerifierDeathTest* t) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             PDEVICE_OBJECT device;
             IoCreateDevice(t->driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         },
         "0x000000C4 \\(0x0000000000000038(.|\n)*IoCreateDevice"},
        {"IoCallDriver above DISPATCH_LEVEL",
         [](IoVerifierDeathTest* t) {
             PDEVICE_OBJECT device =
                 t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, 0); });
             PIRP irp = IoAllocateIrp(2, FALSE);
             KIRQL old;
             KeRaiseIrql(CLOCK_LEVEL, &old);
             IoCallDriver(device, irp);
         },
         "0x000000(C4|0A|D1) (.|\n)*IoCallDriver"},
        {"a driver unloading with a device object left",
         [](IoVerifierDeathTest* t) {
             t->MakeDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, 0); }, u"\\Device\\Left");
             t->Io().UnloadDriver(t->driver_);
         },
         "0x000000C4 \\(0x000000000000200A(.|\n)*\\\\Device\\\\Left"},
        {"a process ending with pages locked for a pending request",
         [](IoVerifierDeathTest* t) {
             nt::Process* app = t->kernel_->Ob().CreateProcess("asiohost");
             PIRP held;
             t->PendingOutDirect(app, &held);
             t->kernel_->Ob().TerminateProcess(app);
         },
         "0x00000076 .*PROCESS_HAS_LOCKED_PAGES(.|\n)*asiohost, 2 pages"},
        {"using an MDL mapping after its request completed",
         [](IoVerifierDeathTest* t) {
             nt::Process* app = t->kernel_->Ob().CreateProcess("app");
             PIRP held;
             UCHAR* mapped = t->PendingOutDirect(app, &held);
             mapped[0] = 1; // fine while pending
             CompleteWith(held, STATUS_SUCCESS);
             std::fprintf(stderr, "touching the stale mapping\n");
             mapped[0] = 2;
         },
         "touching the stale mapping"},
    };
    for (const Rule& rule : rules) {
        SCOPED_TRACE(rule.name);
        EXPECT_DEATH(
            {
                rule.provoke(this);
                std::fprintf(stderr, "rule not enforced\n");
                std::_Exit(0);
            },
            rule.expected);
    }
}

} // namespace
