// Memory descriptor lists.
//
// A user buffer lives in its process's page-backed memory (a memfd); locking it records where,
// and MmMapLockedPagesSpecifyCache maps the same pages a second time at a new address - the
// driver's "system address".  Unlocking (which the I/O manager does when the request completes)
// removes that mapping and leaves the range inaccessible, so a driver that keeps using the address
// after completion faults at once.  System memory (pool, kernel stacks) is "mapped" at its own
// address.
//
// Locked pages of a user process are counted per process: a process that ends while a pending
// request still holds pages locked is PROCESS_HAS_LOCKED_PAGES (0x76).
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"
#include "ob/process.h"

#include <sys/mman.h>

using namespace nt;

namespace {

constexpr ULONG_PTR kPageMask = PAGE_SIZE - 1;
constexpr ULONG kNoMoreSystemPtes = 0x3F; // NO_MORE_SYSTEM_PTES

LONG PagesSpanned(PMDL mdl) {
    return static_cast<LONG>((mdl->ByteOffset + mdl->ByteCount + kPageMask) >> PAGE_SHIFT);
}

void RemoveMapping(PMDL mdl) {
    if (mdl->IopMapping != nullptr) {
        IoManager::Current().PoisonRange(mdl->IopMapping, mdl->IopMappingLen);
        mdl->IopMapping = nullptr;
        mdl->IopMappingLen = 0;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = nullptr;
    }
}

} // namespace

namespace nt {

NTSTATUS IopProbeAndLock(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    PVOID va = MmGetMdlVirtualAddress(mdl);
    Process* process = IopCurrentProcess();
    int fd = -1;
    size_t offset = 0;
    bool user =
        process != nullptr && !process->IsSystem && process->FindUserRegion(va, mdl->ByteCount, &fd, &offset);
    if (!user && mode == UserMode)
        return STATUS_ACCESS_VIOLATION;
    if (user) {
        KiAssertIrqlAtMost(APC_LEVEL, "MmProbeAndLockPages (pageable user memory)");
        mdl->IopMemFd = fd;
        mdl->IopFdOffset = offset - mdl->ByteOffset;
        mdl->Process = reinterpret_cast<PEPROCESS>(process);
        IoManager::Current().AddLockedPages(process, PagesSpanned(mdl));
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (operation != IoReadAccess)
        mdl->MdlFlags |= MDL_WRITE_OPERATION;
    return STATUS_SUCCESS;
}

} // namespace nt

// IRQL: <= DISPATCH_LEVEL.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0)
        return nullptr;
    auto* mdl = static_cast<PMDL>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(MDL), kMdlPoolTag));
    if (mdl == nullptr)
        return nullptr;
    auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~kPageMask);
    mdl->ByteOffset = static_cast<ULONG>(address & kPageMask);
    mdl->ByteCount = Length;
    mdl->IopMemFd = -1;
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

// IRQL: <= DISPATCH_LEVEL.  The pages must be unlocked first; a mapping left is removed.
VOID IoFreeMdl(PMDL Mdl) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    RemoveMapping(Mdl);
    ExFreePoolWithTag(Mdl, kMdlPoolTag);
}

// IRQL: <= APC_LEVEL for user memory, <= DISPATCH_LEVEL for system memory.
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    if (!NT_SUCCESS(IopProbeAndLock(MemoryDescriptorList, AccessMode, Operation)))
        IopViolation(VF_IO_BAD_USER_BUFFER, reinterpret_cast<ULONG_PTR>(MemoryDescriptorList),
                     reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(MemoryDescriptorList)),
                     MemoryDescriptorList->ByteCount,
                     "MmProbeAndLockPages for UserMode on memory that is not the current process's");
}

// IRQL: <= DISPATCH_LEVEL.
VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0)
        IopViolation(VF_IO_UNLOCK_NOT_LOCKED, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                     "MmUnlockPages on an MDL whose pages are not locked");
    RemoveMapping(mdl);
    if (mdl->Process != nullptr) {
        IoManager::Current().AddLockedPages(reinterpret_cast<Process*>(mdl->Process), -PagesSpanned(mdl));
        mdl->Process = nullptr;
    }
    mdl->IopMemFd = -1;
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

// IRQL: <= DISPATCH_LEVEL.
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// IRQL: <= DISPATCH_LEVEL for KernelMode.  User-mode mappings are not provided (null).
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode)
        return nullptr;
    if (mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
        return mdl->MappedSystemVa;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0)
        IopViolation(VF_IO_UNLOCK_NOT_LOCKED, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                     "MmMapLockedPagesSpecifyCache on an MDL whose pages are not locked");
    PVOID address = MmGetMdlVirtualAddress(mdl);
    if (mdl->IopMemFd >= 0) {
        size_t length = (mdl->ByteOffset + mdl->ByteCount + kPageMask) & ~kPageMask;
        int protection = (Priority & MdlMappingNoWrite) ? PROT_READ : PROT_READ | PROT_WRITE;
        void* base = mmap(nullptr, length, protection, MAP_SHARED, mdl->IopMemFd,
                          static_cast<off_t>(mdl->IopFdOffset));
        if (base == MAP_FAILED) {
            if (BugCheckOnFailure)
                VfBugCheck(kNoMoreSystemPtes, 0, length >> PAGE_SHIFT, 0, 0,
                           "MmMapLockedPagesSpecifyCache could not map the pages");
            return nullptr;
        }
        mdl->IopMapping = base;
        mdl->IopMappingLen = length;
        address = static_cast<UCHAR*>(base) + mdl->ByteOffset;
    }
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return address;
}

// IRQL: <= DISPATCH_LEVEL.
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    UNREFERENCED_PARAMETER(BaseAddress);
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    RemoveMapping(MemoryDescriptorList);
}
