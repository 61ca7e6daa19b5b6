// Process termination and user memory.

#include <gtest/gtest.h>

#include <wdm.h>

#include "ob/object_manager.h"

#include <sys/mman.h>

#include <cstring>

namespace {

int gDeleted = 0;
nt::ObjectType gThingType{"Thing", [](PVOID) { ++gDeleted; }, STANDARD_RIGHTS_ALL | 1, {1, 1, 1, 1}};

TEST(ProcessTest, TerminationRunsHooksWhileHandlesAreStillOpenThenClosesThem) {
    gDeleted = 0;
    nt::Kernel kernel;
    nt::ObjectManager& ob = kernel.Ob();
    nt::Process* app = ob.CreateProcess("app");
    ObfReferenceObject(app); // keep the process object for the checks below
    PVOID thing = nt::ObCreateObjectBody(&gThingType, 16);
    HANDLE h;
    ASSERT_EQ(nt::ObInsertHandle(thing, app, 1, &h), STATUS_SUCCESS);
    ObDereferenceObject(thing); // only the handle keeps it

    std::vector<NTSTATUS> seen;
    ob.OnProcessTerminating.push_back([&](nt::Process* p) {
        PVOID object;
        seen.push_back(ob.ReferenceByHandle(h, 1, &gThingType, UserMode, p, false, &object, nullptr));
        if (NT_SUCCESS(seen.back()))
            ObDereferenceObject(object);
    });
    ob.TerminateProcess(app);
    EXPECT_EQ(seen, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(gDeleted, 1);
    EXPECT_TRUE(app->Terminated());
    EXPECT_EQ(app->Handles.Count(), 0u);
    ob.TerminateProcess(app); // a second termination does nothing
    EXPECT_EQ(seen.size(), 1u);
    ObDereferenceObject(app);
}

TEST(ProcessTest, UserMemoryCanBeMappedASecondTimeThroughItsFile) {
    nt::Kernel kernel;
    nt::Process* app = kernel.Ob().CreateProcess("app");
    auto* a = static_cast<unsigned char*>(app->AllocateUserMemory(10000));
    auto* b = static_cast<unsigned char*>(app->AllocateUserMemory(100));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::memset(a, 0x5A, 10000);
    std::strcpy(reinterpret_cast<char*>(b), "second block");

    int fd;
    size_t offset;
    ASSERT_TRUE(app->FindUserRegion(b + 7, 5, &fd, &offset));
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t base = offset / page * page;
    void* view = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(base));
    ASSERT_NE(view, MAP_FAILED);
    char* seen = static_cast<char*>(view) + (offset - base);
    EXPECT_EQ(std::memcmp(seen, "block", 5), 0);
    seen[0] = 'B'; // a write through the second mapping is visible in the first
    EXPECT_EQ(b[7], 'B');
    munmap(view, page);

    struct Case {
        const void* p;
        size_t len;
        bool found;
    } cases[] = {
        {a, 10000, true},         {a + 9999, 1, true},
        {a + 12287, 1, true},     // rounded up to whole pages
        {a + 12000, 1000, false}, // runs past the block
        {b - 1, 2, false},        {reinterpret_cast<const void*>(&fd), 4, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app->FindUserRegion(c.p, c.len, &fd, &offset), c.found) << c.p << "+" << c.len;

    app->FreeUserMemory(b);
    EXPECT_FALSE(app->FindUserRegion(b, 1, &fd, &offset));
    auto* c = static_cast<unsigned char*>(app->AllocateUserMemory(50));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[0], 0); // reused file pages come back zeroed
    kernel.Ob().TerminateProcess(app);
}

} // namespace
