// Pool blocks: guard bytes, the per-module ledger, the pool's bug checks and fault injection.

#include "ex/pool.h"

#include "ob/ke_imports.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace nt {

namespace {

constexpr size_t kAlign = 16;
constexpr size_t kFrontGuard = 16;          // guard bytes before each block
constexpr size_t kMinTailGuard = 16;        // at least this many guard bytes after each block
constexpr unsigned char kGuardByte = 0xFD;  // written around every block, checked on free
constexpr unsigned char kUninitByte = 0xC5; // fills blocks the caller did not ask to be zeroed
constexpr unsigned char kFreedByte = 0xDF;  // fills blocks as they are freed
constexpr size_t kFreedHistory = 65536;     // freed addresses remembered to recognise double frees

// Bug-check codes and the parameter-1 sub-codes the pool raises.
constexpr ULONG kBadPoolCaller = 0xC2;
constexpr ULONG_PTR kCallerDoubleFree = 0x07;     // p2 0, p3 the block's tag, p4 address
constexpr ULONG_PTR kCallerTagMismatch = 0x0A;    // p2 address, p3 allocation tag, p4 tag passed
constexpr ULONG_PTR kCallerInvalidAddress = 0x46; // p2 address
constexpr ULONG_PTR kCallerNoMachine = 0xFF;      // ours: a pool call from outside every machine
constexpr ULONG kVerifier = 0xC4;
constexpr ULONG_PTR kVfZeroBytes = 0x00;      // p2 IRQL, p3 pool type, p4 bytes
constexpr ULONG_PTR kVfPagedAllocIrql = 0x01; // p2 IRQL, p3 pool type, p4 bytes
constexpr ULONG_PTR kVfNonPagedAllocIrql = 0x02;
constexpr ULONG_PTR kVfPagedFreeIrql = 0x11; // p2 IRQL, p3 pool type, p4 address
constexpr ULONG_PTR kVfNonPagedFreeIrql = 0x12;
constexpr ULONG kSpecialPoolCorruption = 0xC1;
constexpr ULONG_PTR kCorruptBefore = 0x23; // p4: bytes before the block were written
constexpr ULONG_PTR kCorruptAfter = 0x24;  // p4: bytes after the end of the block were written

bool IsPaged(POOL_TYPE type) {
    return (static_cast<int>(type) & 1) != 0;
}

const char* PoolTypeName(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    case NonPagedPoolNxCacheAligned:
        return "NonPagedPoolNxCacheAligned";
    default:
        return "pool";
    }
}

std::string Hex(uintptr_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

// Reproducible coin for fault injection: SplitMix64 of (seed, counter).
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

const void* ModuleBase(const void* address, std::string* path) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
        if (path)
            *path = "?";
        return nullptr;
    }
    if (path)
        *path = info.dli_fname ? info.dli_fname : "?";
    return info.dli_fbase;
}

PoolManager& CurrentPool(const char* function) {
    Kernel* kernel = Kernel::Current();
    if (kernel == nullptr)
        ObpBugCheck(kBadPoolCaller, kCallerNoMachine, 0, 0, 0,
                    std::string(function) + " called from a thread that is not a machine thread");
    return kernel->Pool();
}

} // namespace

std::string PoolTagString(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c <= 0x7E) ? c : '.';
    }
    return s;
}

std::string FormatPoolAllocations(const std::vector<PoolAllocationInfo>& blocks) {
    std::ostringstream s;
    for (const auto& b : blocks)
        s << "  '" << PoolTagString(b.Tag) << "' " << b.Size << " bytes at " << b.Address << " ("
          << PoolTypeName(b.Type) << ", " << b.Module << ")\n";
    return s.str();
}

PoolManager::PoolManager(Kernel& kernel) : kernel_(kernel) {}

PoolManager::~PoolManager() {
    for (auto& [address, block] : blocks_)
        std::free(block.raw);
}

const void* PoolManager::ModuleOf(const void* address) {
    std::string path;
    const void* base = ModuleBase(address, &path);
    modulePaths_.emplace(base, path);
    return base;
}

bool PoolManager::ShouldFail(const void* module) {
    if (faultKind_ == FaultKind::None || (faultModule_ != nullptr && faultModule_ != module))
        return false;
    ++faultCount_;
    if (faultKind_ == FaultKind::Nth) {
        if (faultCount_ != faultN_)
            return false;
        faultKind_ = FaultKind::None;
        return true;
    }
    double coin = static_cast<double>(Mix(faultSeed_ ^ Mix(faultCount_)) >> 11) * 0x1.0p-53;
    return coin < faultFraction_;
}

PVOID PoolManager::Allocate(POOL_TYPE type, size_t bytes, ULONG tag, bool zero, const void* caller) {
    KIRQL irql = ObpCurrentIrql();
    if (bytes == 0)
        ObpBugCheck(kVerifier, kVfZeroBytes, irql, type, bytes,
                    "a driver requested a zero-byte pool allocation");
    if (IsPaged(type) && irql > kApcLevel)
        ObpBugCheck(kVerifier, kVfPagedAllocIrql, irql, type, bytes,
                    "paged pool allocated at IRQL above APC_LEVEL");
    if (!IsPaged(type) && irql > kDispatchLevel)
        ObpBugCheck(kVerifier, kVfNonPagedAllocIrql, irql, type, bytes,
                    "non-paged pool allocated at IRQL above DISPATCH_LEVEL");
    if (bytes > (size_t(1) << 40))
        return nullptr;

    std::lock_guard<std::mutex> guard(lock_);
    const void* module = ModuleOf(caller);
    if (ShouldFail(module)) {
        ++injected_;
        return nullptr;
    }
    const size_t rounded = (bytes + kAlign - 1) / kAlign * kAlign;
    const size_t tail = rounded - bytes + kMinTailGuard;
    auto* raw = static_cast<unsigned char*>(std::aligned_alloc(kAlign, kFrontGuard + bytes + tail));
    if (raw == nullptr)
        return nullptr;
    unsigned char* block = raw + kFrontGuard;
    std::memset(raw, kGuardByte, kFrontGuard);
    std::memset(block, zero ? 0 : kUninitByte, bytes);
    std::memset(block + bytes, kGuardByte, tail);
    auto key = reinterpret_cast<uintptr_t>(block);
    blocks_[key] = Block{raw, bytes, tail, tag, type, module};
    freed_.erase(key); // the address is live again
    return block;
}

void PoolManager::Free(PVOID p, ULONG tag, bool checkTag) {
    auto key = reinterpret_cast<uintptr_t>(p);
    Block block;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = blocks_.find(key);
        if (it == blocks_.end()) {
            auto freed = freed_.find(key);
            if (p != nullptr && freed != freed_.end()) {
                // The block's memory is gone; its tag stands in for its contents in parameter 3.
                ObpBugCheck(kBadPoolCaller, kCallerDoubleFree, 0, freed->second, key,
                            "pool freed twice: the block at " + Hex(key) + " was already freed");
            }
            ObpBugCheck(kBadPoolCaller, kCallerInvalidAddress, key, 0, 0,
                        "free of " + Hex(key) + ", an address the pool did not allocate");
        }
        block = it->second;
        if (checkTag && tag != block.tag)
            ObpBugCheck(kBadPoolCaller, kCallerTagMismatch, key, block.tag, tag,
                        "ExFreePoolWithTag with tag '" + PoolTagString(tag) +
                            "' on a block allocated with tag '" + PoolTagString(block.tag) + "'");
        KIRQL irql = ObpCurrentIrql();
        if (IsPaged(block.type) && irql > kApcLevel)
            ObpBugCheck(kVerifier, kVfPagedFreeIrql, irql, block.type, key,
                        "paged pool freed above APC_LEVEL");
        if (!IsPaged(block.type) && irql > kDispatchLevel)
            ObpBugCheck(kVerifier, kVfNonPagedFreeIrql, irql, block.type, key,
                        "non-paged pool freed above DISPATCH_LEVEL");
        auto* raw = static_cast<unsigned char*>(block.raw);
        for (size_t i = 0; i < kFrontGuard; ++i)
            if (raw[i] != kGuardByte)
                ObpBugCheck(kSpecialPoolCorruption, key, reinterpret_cast<ULONG_PTR>(raw + i), 0,
                            kCorruptBefore,
                            "pool block '" + PoolTagString(block.tag) + "' at " + Hex(key) + ": byte " +
                                std::to_string(kFrontGuard - i) + " before the block was overwritten");
        auto* end = static_cast<unsigned char*>(p) + block.size;
        for (size_t i = 0; i < block.tailBytes; ++i)
            if (end[i] != kGuardByte)
                ObpBugCheck(kSpecialPoolCorruption, key, reinterpret_cast<ULONG_PTR>(end + i), 0,
                            kCorruptAfter,
                            "pool overrun: block '" + PoolTagString(block.tag) + "' of " +
                                std::to_string(block.size) + " bytes at " + Hex(key) + " was written " +
                                std::to_string(i) + " bytes past its end");
        blocks_.erase(it);
        freed_[key] = block.tag;
        freedOrder_.push_back(key);
        if (freedOrder_.size() > kFreedHistory) {
            freed_.erase(freedOrder_.front());
            freedOrder_.pop_front();
        }
    }
    // Outside the pool lock: the dispatcher takes its own lock and may bug-check.
    ObpCheckFreedMemory(p, block.size);
    std::memset(p, kFreedByte, block.size);
    std::free(block.raw);
}

std::vector<PoolAllocationInfo>
PoolManager::Collect(const std::function<bool(const void* module, const std::string& path)>& match) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<PoolAllocationInfo> out;
    for (const auto& [address, b] : blocks_) {
        auto m = modulePaths_.find(b.module);
        std::string modulePath = m != modulePaths_.end() ? m->second : std::string("?");
        if (match(b.module, modulePath))
            out.push_back(
                {reinterpret_cast<const void*>(address), b.size, b.tag, b.type, std::move(modulePath)});
    }
    std::sort(out.begin(), out.end(), [](auto& x, auto& y) { return x.Address < y.Address; });
    return out;
}

std::vector<PoolAllocationInfo> PoolManager::OutstandingFor(const void* addressInModule) const {
    const void* base = ModuleBase(addressInModule, nullptr);
    return Collect([base](const void* module, const std::string&) { return module == base; });
}

std::vector<PoolAllocationInfo> PoolManager::OutstandingFor(const std::string& modulePath) const {
    return Collect([&](const void*, const std::string& path) { return path == modulePath; });
}

std::vector<PoolAllocationInfo> PoolManager::Outstanding() const {
    return Collect([](const void*, const std::string&) { return true; });
}

void PoolManager::FailNthAllocation(uint64_t n, const void* module) {
    std::lock_guard<std::mutex> guard(lock_);
    faultKind_ = n == 0 ? FaultKind::None : FaultKind::Nth;
    faultN_ = n;
    faultCount_ = 0;
    faultModule_ = module ? ModuleBase(module, nullptr) : nullptr;
}

void PoolManager::FailFraction(double fraction, uint64_t seed, const void* module) {
    std::lock_guard<std::mutex> guard(lock_);
    faultKind_ = FaultKind::Fraction;
    faultFraction_ = fraction;
    faultSeed_ = seed;
    faultCount_ = 0;
    faultModule_ = module ? ModuleBase(module, nullptr) : nullptr;
}

void PoolManager::ClearFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    faultKind_ = FaultKind::None;
}

uint64_t PoolManager::InjectedFailures() const {
    std::lock_guard<std::mutex> guard(lock_);
    return injected_;
}

} // namespace nt

// The public entry points capture their own return address: that is the driver to charge.
// They must not call one another, or the charge would go to the kernel.

namespace {
constexpr ULONG kNoneTag = 0x656E6F4E; // "None", the tag ExAllocatePool gives its blocks
} // namespace

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    const void* caller = __builtin_return_address(0);
    const POOL_FLAGS kinds = Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
    POOL_TYPE type;
    if (kinds == POOL_FLAG_NON_PAGED)
        type = NonPagedPoolNx;
    else if (kinds == POOL_FLAG_NON_PAGED_EXECUTE)
        type = NonPagedPool;
    else if (kinds == POOL_FLAG_PAGED)
        type = PagedPool;
    else
        return nullptr; // exactly one pool kind is required
    // POOL_FLAG_RAISE_ON_FAILURE would raise an exception; there are none here, so it returns null.
    return nt::CurrentPool("ExAllocatePool2")
        .Allocate(type, NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0, caller);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    const void* caller = __builtin_return_address(0);
    return nt::CurrentPool("ExAllocatePoolWithTag").Allocate(PoolType, NumberOfBytes, Tag, false, caller);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    const void* caller = __builtin_return_address(0);
    return nt::CurrentPool("ExAllocatePool").Allocate(PoolType, NumberOfBytes, kNoneTag, false, caller);
}

VOID ExFreePool(PVOID P) {
    nt::CurrentPool("ExFreePool").Free(P, 0, false);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    nt::CurrentPool("ExFreePoolWithTag").Free(P, Tag, true);
}
