#include "ob/handle_table.h"

#include <nt/ob.h>

namespace nt {

HANDLE HandleTable::Insert(const HandleEntry& entry) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
        entries_[slot] = entry;
    } else {
        slot = entries_.size();
        entries_.push_back(entry);
    }
    ++used_;
    ULONG_PTR value = (slot + 1) * 4;
    if (kernelTable_)
        value |= kKernelHandleBits;
    return reinterpret_cast<HANDLE>(value);
}

bool HandleTable::SlotOf(HANDLE handle, size_t* slot) const {
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    if (kernelTable_ && ObIsKernelHandle(handle))
        value &= ~kKernelHandleBits;
    // The low two bits are free for the caller on Windows; a handle value ignores them.
    value &= ~ULONG_PTR(3);
    if (value == 0 || value > 0x7FFFFFFF)
        return false;
    size_t index = value / 4 - 1;
    if (index >= entries_.size() || entries_[index].Object == nullptr)
        return false;
    *slot = index;
    return true;
}

bool HandleTable::ReferenceEntry(HANDLE handle, HandleEntry* entry) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t slot;
    if (!SlotOf(handle, &slot))
        return false;
    *entry = entries_[slot];
    ObfReferenceObject(entry->Object);
    return true;
}

bool HandleTable::Remove(HANDLE handle, HandleEntry* entry) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t slot;
    if (!SlotOf(handle, &slot))
        return false;
    *entry = entries_[slot];
    entries_[slot] = HandleEntry{};
    free_.push_back(slot);
    --used_;
    return true;
}

std::vector<HandleEntry> HandleTable::RemoveAll() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<HandleEntry> out;
    for (auto& e : entries_)
        if (e.Object != nullptr)
            out.push_back(e);
    entries_.clear();
    free_.clear();
    used_ = 0;
    return out;
}

size_t HandleTable::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return used_;
}

} // namespace nt
