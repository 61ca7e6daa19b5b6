// The pool's public entry points inside a running machine: the caller's module is charged, and
// the IRQL rules of each pool kind are enforced.

#include <gtest/gtest.h>

#include <wdm.h>

#include "ex/pool.h"

#include <optional>

namespace {

constexpr ULONG kTag = 0x74736554; // "Test"

class PoolMachineTest : public ::testing::Test {
protected:
    PoolMachineTest() {
        kernel.Start();
        scope.emplace(kernel);
    }
    ~PoolMachineTest() override { scope.reset(); }
    nt::Kernel kernel;
    std::optional<nt::MachineThreadScope> scope;
};

TEST_F(PoolMachineTest, PublicCallsAreChargedToTheCallingModule) {
    const void* here = reinterpret_cast<const void*>(&kTag);
    auto* zeroed = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag));
    void* raw = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    void* untagged = ExAllocatePool(PagedPool, 8);
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(raw, nullptr);
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(zeroed[99], 0);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 8, kTag), nullptr) << "two pool kinds";

    auto mine = kernel.Pool().OutstandingFor(here);
    ASSERT_EQ(mine.size(), 3u);
    std::string report = nt::FormatPoolAllocations(mine);
    EXPECT_NE(report.find("'Test' 100 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'None' 8 bytes"), std::string::npos) << report;
    EXPECT_TRUE(kernel.Pool().OutstandingFor(reinterpret_cast<const void*>(&ExFreePool)).empty());

    // Non-paged pool may be used at DISPATCH_LEVEL.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* atDispatch = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);
    EXPECT_NE(atDispatch, nullptr);
    ExFreePoolWithTag(atDispatch, kTag);
    KeLowerIrql(old);

    ExFreePoolWithTag(zeroed, kTag);
    ExFreePool(raw);
    ExFreePool(untagged);
    EXPECT_TRUE(kernel.Pool().OutstandingFor(here).empty());
}

void PagedAtDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExAllocatePool2(POOL_FLAG_PAGED, 16, kTag);
}

void FreePagedAtDispatch() {
    void* p = ExAllocatePool2(POOL_FLAG_PAGED, 16, kTag);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(p);
}

TEST_F(PoolMachineTest, PagedPoolAboveApcLevelBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(PagedAtDispatch(),
                 "0x000000C4 \\(0x0+1, 0x0+2, 0x0+1, 0x0+10\\) DRIVER_VERIFIER_DETECTED_VIOLATION");
    EXPECT_DEATH(FreePagedAtDispatch(), "0x000000C4 \\(0x0+11, 0x0+2,.*DRIVER_VERIFIER_DETECTED_VIOLATION");
}

} // namespace
