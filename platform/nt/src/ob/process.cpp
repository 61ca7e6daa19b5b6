// Processes and their user memory.

#include "ob/process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace nt {

namespace {
size_t PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}
} // namespace

Process::Process(ObjectManager& owner, std::string name, ULONG_PTR id, bool isSystem)
    : Owner(owner), Name(std::move(name)), Id(id), IsSystem(isSystem), Handles(isSystem) {}

Process::~Process() {
    std::lock_guard<std::mutex> guard(memLock_);
    for (auto& [address, region] : regions_)
        munmap(reinterpret_cast<void*>(address), region.size);
    regions_.clear();
    if (memFd_ >= 0)
        close(memFd_);
}

bool Process::Terminated() const {
    std::lock_guard<std::mutex> guard(memLock_);
    return terminated_;
}

void* Process::AllocateUserMemory(size_t bytes) {
    if (bytes == 0)
        return nullptr;
    const size_t page = PageSize();
    const size_t size = (bytes + page - 1) / page * page;
    std::lock_guard<std::mutex> guard(memLock_);
    if (memFd_ < 0) {
        std::string label = "user-" + Name;
        memFd_ = memfd_create(label.c_str(), MFD_CLOEXEC);
        if (memFd_ < 0)
            return nullptr;
    }
    size_t offset;
    auto reuse = freeRanges_.lower_bound(size);
    if (reuse != freeRanges_.end()) {
        offset = reuse->second;
        size_t rest = reuse->first - size;
        freeRanges_.erase(reuse);
        if (rest != 0)
            freeRanges_.emplace(rest, offset + size);
    } else {
        offset = memFileSize_;
        if (ftruncate(memFd_, static_cast<off_t>(offset + size)) != 0)
            return nullptr;
        memFileSize_ = offset + size;
    }
    void* address =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memFd_, static_cast<off_t>(offset));
    if (address == MAP_FAILED) {
        freeRanges_.emplace(size, offset);
        return nullptr;
    }
    regions_[reinterpret_cast<uintptr_t>(address)] = Region{size, offset};
    return address;
}

void Process::FreeUserMemory(void* address) {
    std::lock_guard<std::mutex> guard(memLock_);
    auto it = regions_.find(reinterpret_cast<uintptr_t>(address));
    if (it == regions_.end())
        return; // as VirtualFree, an address that is not a block start is refused silently
    munmap(address, it->second.size);
    // Give the pages back; the range is reused by a later allocation (reading it gives zeros).
    fallocate(memFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(it->second.offset),
              static_cast<off_t>(it->second.size));
    freeRanges_.emplace(it->second.size, it->second.offset);
    regions_.erase(it);
}

bool Process::FindUserRegion(const void* p, size_t len, int* fd, size_t* offset) const {
    std::lock_guard<std::mutex> guard(memLock_);
    uintptr_t start = reinterpret_cast<uintptr_t>(p);
    auto it = regions_.upper_bound(start);
    if (it == regions_.begin())
        return false;
    --it;
    uintptr_t base = it->first;
    if (start < base || len > it->second.size || start - base > it->second.size - len)
        return false;
    *fd = memFd_;
    *offset = it->second.offset + (start - base);
    return true;
}

} // namespace nt
