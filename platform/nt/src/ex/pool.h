// The pool: tagged blocks with guard bytes, a ledger per driver module, and fault injection.
//
// Every block is charged to the module (shared object) that contains the return address of the
// ExAllocatePool* call, so that unloading a driver can list what it leaked.  The whole pool is
// guarded by one host mutex held briefly; callable at any IRQL the pool rules allow.
#pragma once

#include <nt/ex.h>
#include <nt/kernel.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace nt {

// One block still allocated.
struct PoolAllocationInfo {
    const void* Address;
    size_t Size;
    ULONG Tag;
    POOL_TYPE Type;
    std::string Module; // path of the allocating module
};

// "PcCr" for 'rCcP'; non-printable bytes as '.'.
std::string PoolTagString(ULONG tag);
// One line per block: tag, size, address, pool type; used in leak reports.
std::string FormatPoolAllocations(const std::vector<PoolAllocationInfo>& blocks);

class PoolManager {
public:
    explicit PoolManager(Kernel& kernel);
    ~PoolManager(); // releases what is still allocated (reported by the I/O manager at unload)
    PoolManager(const PoolManager&) = delete;
    PoolManager& operator=(const PoolManager&) = delete;
    Kernel& kernel() { return kernel_; }

    // `caller` is the return address of the public entry point; it picks the module to charge.
    // Bug-checks on a zero size or a too-high IRQL; null when refused (fault injection).
    PVOID Allocate(POOL_TYPE type, size_t bytes, ULONG tag, bool zero, const void* caller);
    // Bug-checks on an unknown or already freed address, a wrong tag (checkTag), a too-high IRQL,
    // or damaged guard bytes; then tells the dispatcher the range is gone.
    void Free(PVOID block, ULONG tag, bool checkTag);

    // What the module containing `addressInModule` still holds (any address inside it, e.g. its
    // DriverEntry).  Sorted by address.
    std::vector<PoolAllocationInfo> OutstandingFor(const void* addressInModule) const;
    // The same by the module's path as the loader reports it.
    std::vector<PoolAllocationInfo> OutstandingFor(const std::string& modulePath) const;
    std::vector<PoolAllocationInfo> Outstanding() const;

    // Fault injection.  `module` (any address inside it) limits counting and failing to that
    // module's allocations; null counts every allocation.  Arming replaces the previous plan.
    // Fails the nth allocation from now (1 = the next one), once.
    void FailNthAllocation(uint64_t n, const void* module = nullptr);
    // Fails each allocation with probability `fraction`, reproducibly for a given seed.
    void FailFraction(double fraction, uint64_t seed, const void* module = nullptr);
    void ClearFaults();
    uint64_t InjectedFailures() const; // allocations refused since construction

private:
    struct Block {
        void* raw; // what malloc returned
        size_t size;
        size_t tailBytes; // guard bytes after the block
        ULONG tag;
        POOL_TYPE type;
        const void* module; // base address of the allocating module
    };
    enum class FaultKind { None, Nth, Fraction };

    const void* ModuleOf(const void* address); // records the module's path; needs lock_
    bool ShouldFail(const void* module);       // needs lock_
    std::vector<PoolAllocationInfo>
    Collect(const std::function<bool(const void* module, const std::string& path)>& match) const;

    Kernel& kernel_;
    mutable std::mutex lock_;
    std::unordered_map<uintptr_t, Block> blocks_;    // guarded by lock_; keyed by block address
    std::unordered_map<uintptr_t, ULONG> freed_;     // guarded by lock_; recently freed address -> tag
    std::deque<uintptr_t> freedOrder_;               // guarded by lock_; bounds freed_
    std::map<const void*, std::string> modulePaths_; // guarded by lock_; base -> path
    FaultKind faultKind_ = FaultKind::None;          // guarded by lock_
    const void* faultModule_ = nullptr;              // guarded by lock_; null = any module
    uint64_t faultN_ = 0;                            // guarded by lock_
    uint64_t faultCount_ = 0;                        // guarded by lock_; matching allocations seen
    double faultFraction_ = 0;                       // guarded by lock_
    uint64_t faultSeed_ = 0;                         // guarded by lock_
    uint64_t injected_ = 0;                          // guarded by lock_
};

} // namespace nt
