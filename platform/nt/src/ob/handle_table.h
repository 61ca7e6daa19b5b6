// A process's handle table.  Handles are multiples of 4 starting at 4 (never 0); the handle's
// value is (slot + 1) * 4.  Handles of the System process are returned with the kernel-handle bit
// set (as OBJ_KERNEL_HANDLE handles are on Windows) so that they are distinguishable from a user
// process's handles.
#pragma once

#include <ntdef.h>

#include <mutex>
#include <vector>

namespace nt {

// Bit set in kernel handles (handles of the System process's table).  On 64-bit Windows kernel
// handles are sign-extended 32-bit values with bit 31 set.
constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ull;

inline bool ObIsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBits) == kKernelHandleBits;
}

struct HandleEntry {
    PVOID Object = nullptr; // body; the entry holds one reference
    ACCESS_MASK GrantedAccess = 0;
    ULONG Attributes = 0;
};

class HandleTable {
public:
    explicit HandleTable(bool kernelTable) : kernelTable_(kernelTable) {}

    // Stores the entry (which already carries its reference) and returns the handle.  Any IRQL <= DISPATCH.
    HANDLE Insert(const HandleEntry& entry);
    // Copies the entry and takes a reference on its object under the table lock, so that a
    // concurrent close cannot free the object in between.  False for an invalid handle.
    bool ReferenceEntry(HANDLE handle, HandleEntry* entry);
    // Removes the entry; its reference passes to the caller.  False for an invalid handle.
    bool Remove(HANDLE handle, HandleEntry* entry);
    // Removes every entry (process end); the references pass to the caller.
    std::vector<HandleEntry> RemoveAll();
    size_t Count() const;

private:
    bool SlotOf(HANDLE handle, size_t* slot) const;

    const bool kernelTable_;
    mutable std::mutex lock_;
    std::vector<HandleEntry> entries_; // guarded by lock_; Object null = free slot
    std::vector<size_t> free_;         // guarded by lock_; free slots, reused last-in first-out
    size_t used_ = 0;                  // guarded by lock_
};

} // namespace nt
