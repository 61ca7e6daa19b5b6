// Doubly linked LIST_ENTRY helpers for the dispatcher's own lists (wait lists, DPC queues).
// Callers hold the dispatcher lock.
#pragma once

#include <ntdef.h>

#include <cstdint>

namespace nt {

inline void KiInitializeList(PLIST_ENTRY head) {
    head->Flink = head->Blink = head;
}
inline bool KiIsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}
inline void KiInsertTail(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}
inline void KiInsertHead(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Blink = head;
    entry->Flink = head->Flink;
    head->Flink->Blink = entry;
    head->Flink = entry;
}
inline void KiRemoveEntry(PLIST_ENTRY entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = nullptr;
}
inline bool KiInRange(const void* p, const void* base, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
    return a >= b && a - b < size;
}

} // namespace nt
