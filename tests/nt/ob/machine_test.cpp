// The object manager inside a running machine: user-mode events, requestor mode and kernel handles.

#include <gtest/gtest.h>

#include <wdm.h>

#include "ob/object_manager.h"

namespace {

TEST(ObMachineTest, UserEventIsReachableFromItsProcessOnlyAndByRights) {
    nt::Kernel kernel;
    kernel.Start();
    nt::Process* app = kernel.Ob().CreateProcess("app");
    HANDLE event;
    {
        nt::MachineThreadScope user(kernel, app);
        ASSERT_EQ(kernel.Ob().CreateEvent(app, NotificationEvent, FALSE, &event), STATUS_SUCCESS);
        EXPECT_FALSE(nt::ObIsKernelHandle(event));
        EXPECT_EQ(ExGetPreviousMode(), UserMode);

        // What a driver does with an event handle passed in a request from this process.
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object,
                                            nullptr),
                  STATUS_SUCCESS);
        KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 1);
        PVOID wrong = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *PsThreadType, UserMode, &wrong, nullptr),
                  STATUS_OBJECT_TYPE_MISMATCH);
        ObDereferenceObject(object);
    }
    {
        // A system thread is in the System process: the user handle means nothing there.
        nt::MachineThreadScope system(kernel);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);

        // A kernel handle made by a system thread, closed with ZwClose.
        HANDLE kernelEvent;
        ASSERT_EQ(
            kernel.Ob().CreateEvent(kernel.Ob().SystemProcess(), SynchronizationEvent, TRUE, &kernelEvent),
            STATUS_SUCCESS);
        EXPECT_TRUE(nt::ObIsKernelHandle(kernelEvent));
        ASSERT_EQ(ObReferenceObjectByHandle(kernelEvent, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object,
                                            nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(nt::ObGetPointerCount(object), 2);
        EXPECT_EQ(ZwClose(kernelEvent), STATUS_SUCCESS);
        EXPECT_EQ(nt::ObGetPointerCount(object), 1);
        ObDereferenceObject(object);
    }
    {
        nt::MachineThreadScope user(kernel, app);
        PVOID object = nullptr;
        HANDLE kernelLooking =
            reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | nt::kKernelHandleBits);
        EXPECT_EQ(ObReferenceObjectByHandle(kernelLooking, 0, *ExEventObjectType, UserMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);
    }
    nt::MachineThreadScope system(kernel);
    kernel.Ob().TerminateProcess(app);
}

} // namespace
