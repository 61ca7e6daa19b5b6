// The verifier's view of IRPs in flight.
//
// Pending rule.  A dispatch routine that returns STATUS_PENDING must have marked its location
// pending; one that marked it must return STATUS_PENDING.  The mark may also be set later by the
// driver's own completion routine (the "propagate PendingReturned" pattern), so the check is made
// at whichever comes last: the dispatch routine returning, or completion passing the location.
// Each IoCallDriver leaves a DispatchRecord under (IRP, location) until its dispatch routine
// returns; completion passing the location resolves the records that are still open.
//
// Quarantine.  Freed packets keep a "freed" mark for a while so that a second IoCompleteRequest
// on a finished thread IRP is reported as 0x44 instead of touching reused memory.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"

#include <sys/mman.h>

namespace nt {

namespace {
constexpr size_t kQuarantineDepth = 256;
constexpr size_t kPoisonDepth = 64;
} // namespace

ULONGLONG IoManager::BeginDispatch(PIRP irp, PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(lock_);
    ULONGLONG id = nextDispatchId_++;
    dispatches_[{irp, irp->CurrentLocation}].push_back(DispatchRecord{id, false, false, false, device});
    return id;
}

void IoManager::EndDispatch(PIRP irp, CCHAR location, ULONGLONG id, NTSTATUS status) {
    ULONG violation = 0;
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = dispatches_.find({irp, location});
        if (it == dispatches_.end())
            return;
        auto& records = it->second;
        for (auto rec = records.begin(); rec != records.end(); ++rec) {
            if (rec->Id != id)
                continue;
            device = rec->Device;
            bool marked;
            if (rec->Passed) {
                marked = rec->Marked;
            } else {
                // Completion has not come up through the location: the packet is alive and the
                // location still shows what the driver did.
                marked = (IopStackLocation(irp, location)->Control & SL_PENDING_RETURNED) != 0;
                if (status == STATUS_PENDING && !marked) {
                    rec->AwaitingCheck = true; // a completion routine may still mark it
                    return;
                }
            }
            if (status == STATUS_PENDING && !marked)
                violation = VF_IO_PENDING_NOT_MARKED;
            else if (status != STATUS_PENDING && marked)
                violation = VF_IO_MARKED_BUT_NOT_PENDING;
            records.erase(rec);
            break;
        }
        if (records.empty())
            dispatches_.erase(it);
    }
    if (violation == VF_IO_PENDING_NOT_MARKED)
        IopViolation(violation, reinterpret_cast<ULONG_PTR>(irp), reinterpret_cast<ULONG_PTR>(device), 0,
                     "a dispatch routine returned STATUS_PENDING without calling IoMarkIrpPending");
    if (violation == VF_IO_MARKED_BUT_NOT_PENDING)
        IopViolation(violation, reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG>(status),
                     reinterpret_cast<ULONG_PTR>(device),
                     "a dispatch routine called IoMarkIrpPending but returned a status other than "
                     "STATUS_PENDING");
}

void IoManager::CompletionPassing(PIRP irp, CCHAR location) {
    bool marked = (IopStackLocation(irp, location)->Control & SL_PENDING_RETURNED) != 0;
    PDEVICE_OBJECT offender = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = dispatches_.find({irp, location});
        if (it == dispatches_.end())
            return;
        auto& records = it->second;
        for (auto rec = records.begin(); rec != records.end();) {
            if (rec->Passed) {
                ++rec;
                continue;
            }
            if (rec->AwaitingCheck) {
                if (!marked)
                    offender = rec->Device;
                rec = records.erase(rec);
                continue;
            }
            rec->Passed = true;
            rec->Marked = marked;
            ++rec;
        }
        if (records.empty())
            dispatches_.erase(it);
    }
    if (offender != nullptr)
        IopViolation(VF_IO_PENDING_NOT_MARKED, reinterpret_cast<ULONG_PTR>(irp),
                     reinterpret_cast<ULONG_PTR>(offender), 0,
                     "a dispatch routine returned STATUS_PENDING without calling IoMarkIrpPending");
}

void IoManager::Quarantine(PIRP irp) {
    PIRP release = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        quarantine_.push_back(irp);
        if (quarantine_.size() > kQuarantineDepth) {
            release = quarantine_.front();
            quarantine_.pop_front();
        }
    }
    if (release != nullptr)
        ExFreePoolWithTag(release, kIrpPoolTag);
}

void IoManager::PoisonRange(void* base, size_t length) {
    // Replace the mapping in place with an inaccessible one, so the address cannot be handed out
    // again while a stale pointer might still use it.
    void* p = mmap(base, length, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        munmap(base, length);
        return;
    }
    std::pair<void*, size_t> release{nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(lock_);
        poisoned_.emplace_back(base, length);
        if (poisoned_.size() > kPoisonDepth) {
            release = poisoned_.front();
            poisoned_.pop_front();
        }
    }
    if (release.first != nullptr)
        munmap(release.first, release.second);
}

void IoManager::TrackPending(PIRP irp, Process* process) {
    std::lock_guard<std::mutex> guard(lock_);
    irp->IopTracking.Process = process;
    ProcessIo& pio = processes_[process];
    pio.Pending.insert(irp);
    KeClearEvent(&pio.AllDone);
}

bool IoManager::ReleaseAfterCancelHold(PIRP irp) {
    std::lock_guard<std::mutex> guard(lock_);
    auto* process = static_cast<Process*>(irp->IopTracking.Process);
    auto it = processes_.find(process);
    if (it != processes_.end()) {
        it->second.Pending.erase(irp);
        if (it->second.Pending.empty())
            KeSetEvent(&it->second.AllDone, 0, FALSE);
    }
    if (irp->IopTracking.CancelHolds > 0) {
        irp->IopTracking.FreePending = TRUE;
        return false;
    }
    return true;
}

void IoManager::AddLockedPages(Process* process, LONG pages) {
    std::lock_guard<std::mutex> guard(lock_);
    processes_[process].LockedPages += pages;
}

void IoManager::DeferDereference(PVOID object) {
    if (KeGetCurrentIrql() <= APC_LEVEL) {
        ObDereferenceObject(object);
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    deferredDerefs_.push_back(object);
}

void IoManager::RunDeferredWork() {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::RunDeferredWork");
    for (;;) {
        std::vector<PVOID> objects;
        {
            std::lock_guard<std::mutex> guard(lock_);
            objects.swap(deferredDerefs_);
        }
        if (objects.empty())
            return;
        for (PVOID object : objects)
            ObDereferenceObject(object);
    }
}

} // namespace nt
