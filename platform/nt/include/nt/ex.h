// Executive services: pool.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------------------------------------
// Pool.  Every block is charged to the driver module that allocated it (the module of the
// caller's return address) and carries a tag; unloading a driver with blocks outstanding is a
// bug check.  Blocks are 16-byte aligned.
//
// IRQL: paged pool at <= APC_LEVEL, non-paged pool at <= DISPATCH_LEVEL, for allocation and free.
// A zero-byte request, a free of an address the pool did not hand out (or handed out and took
// back), a tag that does not match, or bytes written just outside a block are bug checks.
// ---------------------------------------------------------------------------------------------

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// ExAllocatePool2 flags.  Exactly one of NON_PAGED, NON_PAGED_EXECUTE and PAGED is required.
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

// Tags are four characters, written as a multi-character literal read backwards ('rCcP' is "PcCr").
#define POOL_TAG_NONE 0

// Zeroed unless POOL_FLAG_UNINITIALIZED; null when the pool (or fault injection) refuses.
PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
// Not zeroed; tagged "None" for ExAllocatePool.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePool(PVOID P);
// The tag must be the one the block was allocated with.
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
