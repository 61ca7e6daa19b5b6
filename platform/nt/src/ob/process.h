// A process: a kernel object of type *PsProcessType with a handle table and user memory.
// The System process owns kernel handles; user processes own what user mode opens.
#pragma once

#include <ntdef.h>

#include "ob/handle_table.h"

#include <map>
#include <mutex>
#include <string>

namespace nt {

class ObjectManager;

struct Process {
    Process(ObjectManager& owner, std::string name, ULONG_PTR id, bool isSystem);
    ~Process(); // unmaps the user memory and closes the memory file
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    ObjectManager& Owner;
    const std::string Name;
    const ULONG_PTR Id; // multiple of 4; the System process is 4
    const bool IsSystem;
    HandleTable Handles;

    // User memory: page-granular blocks mapped from one memory file per process, so that the
    // kernel can map the same pages a second time (MDL mappings).  Null when out of memory.
    void* AllocateUserMemory(size_t bytes);
    void FreeUserMemory(void* address);
    // True when [p, p + len) lies inside one live block; then *fd is the memory file and
    // *offset the file offset of p itself (not page-aligned).
    bool FindUserRegion(const void* p, size_t len, int* fd, size_t* offset) const;

    bool Terminated() const;

private:
    friend class ObjectManager;
    struct Region {
        size_t size;   // mapped length, whole pages
        size_t offset; // file offset of the first byte
    };
    mutable std::mutex memLock_;
    int memFd_ = -1;                           // guarded by memLock_
    size_t memFileSize_ = 0;                   // guarded by memLock_
    std::map<uintptr_t, Region> regions_;      // guarded by memLock_; keyed by start address
    std::multimap<size_t, size_t> freeRanges_; // guarded by memLock_; size -> file offset, reusable
    bool terminated_ = false;                  // guarded by memLock_
};

} // namespace nt
