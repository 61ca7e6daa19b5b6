// The acquired-before graph of spin locks, as the verifier's deadlock detection keeps it.
//
// Every acquisition of lock B while the thread holds A records the edge A -> B.  A new edge that
// closes a cycle (B already reaches A) means two paths take the same locks in opposite orders: a
// deadlock waiting to happen, reported on the acquisition that closes it even when no thread ever
// blocked.  Locks are identified by address; re-initialising a lock or freeing its memory forgets
// its edges, since the address may next hold an unrelated lock.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace nt {

class LockOrderGraph {
public:
    // Records held[i] -> acquired for every held lock.  Returns the held lock that `acquired`
    // already precedes (the edge would close a cycle), or null when the order is consistent.
    // Any thread; internally locked.
    const void* RecordAcquire(const void* acquired, const void* const* held, size_t heldCount);

    // Forgets every lock whose address lies in [base, base + size).
    void Forget(const void* base, size_t size);

    size_t EdgeCount();

private:
    bool Reaches(const void* from, const void* to); // caller holds lock_

    struct Node {
        std::set<const void*> after;  // locks acquired while this one was held
        std::set<const void*> before; // locks held while this one was acquired
    };
    std::mutex lock_;
    std::map<const void*, Node> nodes_; // guarded by lock_; ordered for range removal
    std::vector<const void*> stack_;    // scratch for Reaches; guarded by lock_
    std::set<const void*> seen_;        // scratch for Reaches; guarded by lock_
};

} // namespace nt
