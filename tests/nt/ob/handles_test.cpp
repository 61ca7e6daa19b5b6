// Object references, handle values and ObReferenceObjectByHandle's checks.

#include <gtest/gtest.h>

#include <wdm.h>

#include "ob/object_manager.h"

namespace {

int gDeleted = 0;
void CountDelete(PVOID) {
    ++gDeleted;
}

constexpr ACCESS_MASK kRead = 0x1;
constexpr ACCESS_MASK kWrite = 0x2;
nt::ObjectType gWidgetType{
    "Widget", CountDelete, STANDARD_RIGHTS_ALL | kRead | kWrite, {kRead, kWrite, kRead, kRead | kWrite}};
nt::ObjectType gGadgetType{"Gadget", nullptr, STANDARD_RIGHTS_ALL | kRead, {kRead, 0, 0, kRead}};

class HandlesTest : public ::testing::Test {
protected:
    void SetUp() override { gDeleted = 0; }
    nt::Kernel kernel;
    nt::ObjectManager& ob = kernel.Ob();
};

TEST_F(HandlesTest, ObjectLivesUntilLastReferenceAndDeletesOnce) {
    PVOID body = nt::ObCreateObjectBody(&gWidgetType, 64);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(body)[63], 0); // zeroed
    HANDLE h;
    ASSERT_EQ(nt::ObInsertHandle(body, ob.SystemProcess(), kRead, &h), STATUS_SUCCESS);
    EXPECT_EQ(nt::ObGetPointerCount(body), 2);
    EXPECT_EQ(ObfReferenceObject(body), 3);
    EXPECT_EQ(ObDereferenceObject(body), 2);
    EXPECT_EQ(ObDereferenceObject(body), 1); // creator's reference gone, the handle keeps it
    EXPECT_EQ(gDeleted, 0);
    EXPECT_EQ(ob.CloseHandle(ob.SystemProcess(), h, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(gDeleted, 1);
}

TEST_F(HandlesTest, HandleValuesAreNonZeroMultiplesOfFourAndKernelHandlesAreMarked) {
    nt::Process* user = ob.CreateProcess("app");
    PVOID body = nt::ObCreateObjectBody(&gWidgetType, 8);
    HANDLE k1, k2, u1, u2;
    ASSERT_EQ(nt::ObInsertHandle(body, ob.SystemProcess(), kRead, &k1), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(body, ob.SystemProcess(), kRead, &k2), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(body, user, kRead, &u1), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(body, user, kRead, &u2), STATUS_SUCCESS);
    for (HANDLE h : {k1, k2, u1, u2}) {
        auto v = reinterpret_cast<ULONG_PTR>(h);
        EXPECT_NE(v, 0u);
        EXPECT_EQ(v % 4, 0u);
    }
    EXPECT_NE(k1, k2);
    EXPECT_NE(u1, u2);
    EXPECT_TRUE(nt::ObIsKernelHandle(k1));
    EXPECT_FALSE(nt::ObIsKernelHandle(u1));
    // A closed slot is reused, with the same value.
    ASSERT_EQ(ob.CloseHandle(user, u1, UserMode), STATUS_SUCCESS);
    HANDLE u3;
    ASSERT_EQ(nt::ObInsertHandle(body, user, kRead, &u3), STATUS_SUCCESS);
    EXPECT_EQ(u3, u1);
    ob.TerminateProcess(user);
    ob.CloseHandle(nullptr, k1, KernelMode);
    ob.CloseHandle(ob.SystemProcess(), k2, KernelMode);
    EXPECT_EQ(ObDereferenceObject(body), 0);
    EXPECT_EQ(gDeleted, 1);
}

TEST_F(HandlesTest, ReferenceByHandleChecksHandleTypeAccessAndMode) {
    nt::Process* app = ob.CreateProcess("app");
    nt::Process* other = ob.CreateProcess("other");
    PVOID widget = nt::ObCreateObjectBody(&gWidgetType, 8);
    HANDLE readOnly, kernelHandle, otherHandle, closed;
    ASSERT_EQ(nt::ObInsertHandle(widget, app, kRead, &readOnly), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(widget, ob.SystemProcess(), kRead | kWrite, &kernelHandle), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(widget, other, kRead | kWrite, &otherHandle), STATUS_SUCCESS);
    ASSERT_EQ(nt::ObInsertHandle(widget, app, kRead | kWrite, &closed), STATUS_SUCCESS);
    ASSERT_EQ(ob.CloseHandle(app, closed, UserMode), STATUS_SUCCESS);
    // The other process's handle value is not a handle of app (its slot 3 is free).
    HANDLE absent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(otherHandle) + 8);

    struct Case {
        const char* what;
        HANDLE handle;
        ACCESS_MASK desired;
        POBJECT_TYPE type;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    } cases[] = {
        {"granted right, user mode", readOnly, kRead, &gWidgetType, UserMode, STATUS_SUCCESS},
        {"generic read maps to granted right", readOnly, GENERIC_READ, &gWidgetType, UserMode,
         STATUS_SUCCESS},
        {"any type accepted with null type", readOnly, kRead, nullptr, UserMode, STATUS_SUCCESS},
        {"right not granted, user mode", readOnly, kWrite, &gWidgetType, UserMode, STATUS_ACCESS_DENIED},
        {"generic write not granted", readOnly, GENERIC_WRITE, &gWidgetType, UserMode, STATUS_ACCESS_DENIED},
        {"right not granted, kernel mode skips the check", readOnly, kWrite, &gWidgetType, KernelMode,
         STATUS_SUCCESS},
        {"wrong type", readOnly, kRead, &gGadgetType, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"wrong type before access", readOnly, kWrite, &gGadgetType, UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"kernel handle from kernel mode", kernelHandle, kWrite, &gWidgetType, KernelMode, STATUS_SUCCESS},
        {"kernel handle from user mode", kernelHandle, kRead, &gWidgetType, UserMode, STATUS_INVALID_HANDLE},
        {"closed handle", closed, kRead, &gWidgetType, KernelMode, STATUS_INVALID_HANDLE},
        {"handle of another process", absent, kRead, &gWidgetType, KernelMode, STATUS_INVALID_HANDLE},
        {"null handle", nullptr, kRead, &gWidgetType, KernelMode, STATUS_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        PVOID object = reinterpret_cast<PVOID>(1);
        LONG_PTR before = nt::ObGetPointerCount(widget);
        NTSTATUS status =
            ob.ReferenceByHandle(c.handle, c.desired, c.type, c.mode, app, false, &object, nullptr);
        EXPECT_EQ(status, c.expected) << c.what;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(object, widget) << c.what;
            EXPECT_EQ(nt::ObGetPointerCount(widget), before + 1) << c.what;
            ObDereferenceObject(object);
        } else {
            EXPECT_EQ(object, nullptr) << c.what;
            EXPECT_EQ(nt::ObGetPointerCount(widget), before) << c.what;
        }
    }
    // The registry checks rights for kernel callers as well.
    PVOID object;
    EXPECT_EQ(ob.ReferenceByHandle(readOnly, kWrite, &gWidgetType, KernelMode, app, true, &object, nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info{};
    ASSERT_EQ(ob.ReferenceByHandle(readOnly, 0, &gWidgetType, UserMode, app, false, &object, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, kRead);
    ObDereferenceObject(object);

    ob.TerminateProcess(app);
    ob.TerminateProcess(other);
    ob.CloseHandle(nullptr, kernelHandle, KernelMode);
    EXPECT_EQ(gDeleted, 0);
    ObDereferenceObject(widget);
    EXPECT_EQ(gDeleted, 1);
}

TEST_F(HandlesTest, ProcessPseudoHandleNamesTheProcessItself) {
    nt::Process* app = ob.CreateProcess("app");
    PVOID object;
    ASSERT_EQ(ob.ReferenceByHandle(reinterpret_cast<HANDLE>(-1), 0, *PsProcessType, UserMode, app, false,
                                   &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, app);
    ObDereferenceObject(object);
    ob.TerminateProcess(app);
}

using HandlesDeathTest = HandlesTest;

TEST_F(HandlesDeathTest, ClosingAnInvalidHandleFromKernelModeBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0xFFFFFFFF80000040ull)),
                 "0x00000093.*INVALID_KERNEL_HANDLE");
}

TEST_F(HandlesDeathTest, DereferencingPastZeroBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PVOID body = nt::ObCreateObjectBody(&gGadgetType, 8);
            ObfReferenceObject(body);
            ObDereferenceObject(body);
            ObDereferenceObject(body);
            ObDereferenceObject(body);
        },
        "0x00000018.*REFERENCE_BY_POINTER");
}

} // namespace
