// The acquired-before graph of spin locks.
#include "vf/lock_order.h"

namespace nt {

const void* LockOrderGraph::RecordAcquire(const void* acquired, const void* const* held, size_t heldCount) {
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < heldCount; ++i) {
        const void* h = held[i];
        if (h == acquired)
            continue;
        auto found = nodes_.find(h);
        if (found != nodes_.end() && found->second.after.count(acquired))
            continue; // known edge: it closed no cycle when it was added
        if (Reaches(acquired, h))
            return h;
        nodes_[h].after.insert(acquired);
        nodes_[acquired].before.insert(h);
    }
    return nullptr;
}

bool LockOrderGraph::Reaches(const void* from, const void* to) {
    stack_.assign(1, from);
    seen_.clear();
    seen_.insert(from);
    while (!stack_.empty()) {
        const void* n = stack_.back();
        stack_.pop_back();
        if (n == to)
            return true;
        auto it = nodes_.find(n);
        if (it == nodes_.end())
            continue;
        for (const void* next : it->second.after)
            if (seen_.insert(next).second)
                stack_.push_back(next);
    }
    return false;
}

void LockOrderGraph::Forget(const void* base, size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    auto first = nodes_.lower_bound(base);
    auto last = nodes_.lower_bound(static_cast<const char*>(base) + size);
    for (auto it = first; it != last; ++it) {
        const void* self = it->first;
        for (const void* a : it->second.after)
            if (a < base || a >= static_cast<const void*>(static_cast<const char*>(base) + size))
                nodes_[a].before.erase(self);
        for (const void* b : it->second.before)
            if (b < base || b >= static_cast<const void*>(static_cast<const char*>(base) + size))
                nodes_[b].after.erase(self);
    }
    nodes_.erase(first, last);
}

size_t LockOrderGraph::EdgeCount() {
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (auto& [lock, node] : nodes_)
        n += node.after.size();
    return n;
}

} // namespace nt
