// The pool: guard bytes, the per-module ledger, the bug checks of wrong frees, fault injection.

#include <gtest/gtest.h>

#include <wdm.h>

#include "ex/pool.h"

#include <cstring>
#include <functional>

namespace {

constexpr ULONG kTagPcCr = 0x72436350; // "PcCr"
constexpr ULONG kTagPcNw = 0x774E6350; // "PcNw"

// An address inside this test program, and one inside the kernel library: the two "modules".
const void* const kHere = reinterpret_cast<const void*>(&kTagPcCr);
const void* const kKernelModule = reinterpret_cast<const void*>(&ExAllocatePool2);

class PoolTest : public ::testing::Test {
protected:
    nt::Kernel kernel;
    nt::PoolManager& pool = kernel.Pool();
};

TEST_F(PoolTest, BlocksAreAlignedZeroedOnRequestAndChargedToTheCallersModule) {
    auto* zeroed = static_cast<unsigned char*>(pool.Allocate(NonPagedPoolNx, 324, kTagPcCr, true, kHere));
    auto* raw = static_cast<unsigned char*>(pool.Allocate(PagedPool, 5, kTagPcNw, false, kHere));
    void* kernels = pool.Allocate(NonPagedPool, 64, kTagPcNw, true, kKernelModule);
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(zeroed) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(raw) % 16, 0u);
    for (int i = 0; i < 324; ++i)
        ASSERT_EQ(zeroed[i], 0) << i;
    EXPECT_NE(raw[0], 0) << "an uninitialised block is filled so that reading it before writing shows";

    auto mine = pool.OutstandingFor(kHere);
    ASSERT_EQ(mine.size(), 2u);
    const nt::PoolAllocationInfo& big = mine[0].Address == zeroed ? mine[0] : mine[1];
    EXPECT_EQ(big.Size, 324u);
    EXPECT_EQ(big.Tag, kTagPcCr);
    EXPECT_EQ(big.Type, NonPagedPoolNx);
    EXPECT_EQ(pool.OutstandingFor(big.Module).size(), 2u);
    EXPECT_EQ(pool.OutstandingFor(kKernelModule).size(), 1u);
    std::string report = nt::FormatPoolAllocations(mine);
    EXPECT_NE(report.find("'PcCr' 324 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'PcNw' 5 bytes"), std::string::npos) << report;

    // Writing every byte of a block (and nothing beyond it) is fine.
    std::memset(raw, 0x11, 5);
    pool.Free(raw, kTagPcNw, true);
    pool.Free(zeroed, 0, false);
    pool.Free(kernels, 0, false);
    EXPECT_TRUE(pool.OutstandingFor(kHere).empty());
    EXPECT_TRUE(pool.Outstanding().empty());
}

TEST_F(PoolTest, FailNthCountsFromArmingAndOnlyTheChosenModule) {
    pool.Allocate(NonPagedPoolNx, 8, 0, true, kHere); // before arming: not counted
    pool.FailNthAllocation(3, kHere);
    std::vector<bool> got;
    for (int i = 0; i < 6; ++i) {
        // Kernel-module allocations in between are neither counted nor failed.
        EXPECT_NE(pool.Allocate(NonPagedPoolNx, 8, 0, true, kKernelModule), nullptr);
        got.push_back(pool.Allocate(NonPagedPoolNx, 8, 0, true, kHere) != nullptr);
    }
    EXPECT_EQ(got, (std::vector<bool>{true, true, false, true, true, true}));
    EXPECT_EQ(pool.InjectedFailures(), 1u);

    pool.FailNthAllocation(1); // any module
    EXPECT_EQ(pool.Allocate(NonPagedPoolNx, 8, 0, true, kKernelModule), nullptr);
    EXPECT_NE(pool.Allocate(NonPagedPoolNx, 8, 0, true, kKernelModule), nullptr);
    for (auto& b : pool.Outstanding())
        pool.Free(const_cast<void*>(b.Address), 0, false);
}

TEST_F(PoolTest, FractionFailuresAreReproducibleForASeed) {
    auto run = [&](uint64_t seed) {
        pool.FailFraction(0.25, seed, kHere);
        std::vector<bool> pattern;
        for (int i = 0; i < 400; ++i) {
            void* p = pool.Allocate(NonPagedPoolNx, 16, 0, true, kHere);
            pattern.push_back(p == nullptr);
            if (p)
                pool.Free(p, 0, false);
        }
        pool.ClearFaults();
        return pattern;
    };
    auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    long failed = std::count(a.begin(), a.end(), true);
    EXPECT_GT(failed, 60);
    EXPECT_LT(failed, 140);
    EXPECT_NE(pool.Allocate(NonPagedPoolNx, 16, 0, true, kHere), nullptr) << "cleared";
}

// Each wrong use of the pool stops the machine with Windows' code and sub-code.
TEST_F(PoolTest, WrongFreesAndDamagedGuardsBugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        std::function<void(nt::PoolManager&)> act;
        const char* expected;
    } cases[] = {
        {"double free",
         [](nt::PoolManager& p) {
             void* b = p.Allocate(NonPagedPoolNx, 32, kTagPcCr, true, kHere);
             p.Free(b, 0, false);
             p.Free(b, 0, false);
         },
         "0x000000C2 \\(0x0+7, 0x0+, 0x0+72436350,.*BAD_POOL_CALLER"},
        {"unknown address",
         [](nt::PoolManager& p) {
             static char notPool[64];
             p.Free(notPool + 16, 0, false);
         },
         "0x000000C2 \\(0x0+46,.*BAD_POOL_CALLER"},
        {"tag mismatch",
         [](nt::PoolManager& p) {
             p.Free(p.Allocate(NonPagedPoolNx, 32, kTagPcCr, true, kHere), kTagPcNw, true);
         },
         "0x000000C2 \\(0x0+A, 0x[0-9A-F]+, 0x0+72436350, 0x0+774E6350\\) BAD_POOL_CALLER"},
        {"overrun by one byte",
         [](nt::PoolManager& p) {
             auto* b = static_cast<char*>(p.Allocate(PagedPool, 30, kTagPcCr, true, kHere));
             b[30] = 1;
             p.Free(b, 0, false);
         },
         "0x000000C1 .*0x0+24\\) SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION.*past its end"},
        {"underrun",
         [](nt::PoolManager& p) {
             auto* b = static_cast<char*>(p.Allocate(PagedPool, 30, kTagPcCr, true, kHere));
             b[-1] = 1;
             p.Free(b, 0, false);
         },
         "0x000000C1 .*0x0+23\\) SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"},
        {"zero bytes", [](nt::PoolManager& p) { p.Allocate(NonPagedPoolNx, 0, kTagPcCr, true, kHere); },
         "0x000000C4 \\(0x0+, .*DRIVER_VERIFIER_DETECTED_VIOLATION"},
    };
    for (const Case& c : cases)
        EXPECT_DEATH(c.act(pool), c.expected) << c.what;
}

} // namespace
