// The dispatcher core: wait lists, wake-ups, the runnable count and the clock thread.
#include "ke/dispatcher.h"

#include "ke/list.h"
#include "ke/thread_context.h"
#include "vf/verifier.h"

#include <cstdio>
#include <sstream>

namespace nt {

namespace {

// The system time at boot in virtual mode: 1 January 2024, 00:00 UTC, so that runs repeat.
constexpr LONGLONG kVirtualBootSystemTime = 133485408000000000LL;
// 100-ns units between 1601 and 1970.
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

LONGLONG WallSystemTime() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsSystemTime + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

const char* TypeName(UCHAR type) {
    switch (type) {
    case EventNotificationObject:
        return "notification event";
    case EventSynchronizationObject:
        return "synchronization event";
    case ThreadObject:
        return "thread";
    case TimerNotificationObject:
        return "notification timer";
    case TimerSynchronizationObject:
        return "synchronization timer";
    default:
        return "object";
    }
}

} // namespace

Dispatcher::Dispatcher(Kernel& kernel)
    : kernel_(kernel), virtual_(kernel.Config().virtualTime),
      bootSystemTime_(virtual_ ? kVirtualBootSystemTime : WallSystemTime()),
      bootWall_(std::chrono::steady_clock::now()) {
    unsigned n = kernel.Config().processors ? kernel.Config().processors : 1;
    for (unsigned i = 0; i < n; ++i) {
        auto p = std::make_unique<Processor>();
        p->index = i;
        KiInitializeList(&p->queue);
        KeInitializeEvent(&p->work, SynchronizationEvent, FALSE);
        processors_.push_back(std::move(p));
    }
    stats_.dpcsPerProcessor.assign(n, 0);
}

Dispatcher::~Dispatcher() {
    Stop();
}

LONGLONG Dispatcher::InterruptTime() const {
    if (virtual_)
        return now_.load(std::memory_order_acquire);
    auto d = std::chrono::steady_clock::now() - bootWall_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

LONGLONG Dispatcher::NowLocked() const {
    return InterruptTime();
}

LONGLONG Dispatcher::DeadlineFrom(LONGLONG dueTime) const {
    if (dueTime < 0)
        return InterruptTime() - dueTime;
    // Absolute system time; one already past expires at once.
    LONGLONG t = dueTime - bootSystemTime_;
    return t < InterruptTime() ? InterruptTime() : t;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void Dispatcher::Start() {
    Lock lk(lock_);
    if (started_)
        return;
    started_ = true;
    for (auto& p : processors_) {
        auto* t = new KTHREAD();
        t->Kernel = &kernel_;
        t->Kind = KiThreadKind::Processor;
        t->ProcessorIndex = static_cast<int>(p->index);
        t->Id = NextThreadId();
        t->Name = "processor " + std::to_string(p->index);
        t->Process = SystemProcess();
        p->thread = t;
        threads_.push_back(t);
        ++runnable_;
    }
    for (auto& p : processors_)
        p->host = std::thread([this, raw = p.get()] { ProcessorMain(raw); });
    clockThread_ = std::thread([this] { ClockMain(); });
}

void Dispatcher::Stop() {
    Lock lk(lock_);
    if (!started_ || stopping_)
        return;
    KTHREAD* self = KiCurrentThreadOrNull();
    if (self && self->Kernel == &kernel_)
        VfBugCheck(
            DRIVER_VERIFIER_DETECTED_VIOLATION, VF_MACHINE_DEADLOCK, 0, 0, 0,
            "the machine was stopped from one of its own threads (leave the MachineThreadScope first)");
    // Let running threads reach a wait; time stands still meanwhile (stopping_ stops the clock).
    stopping_ = true;
    clockCv_.notify_all();
    clockCv_.wait(lk, [&] { return runnable_ == 0 || adopted_ > 0; });
    std::string left;
    for (KTHREAD* t : threads_)
        if (t->Kind != KiThreadKind::Processor)
            left += "  " + t->Name + " (id " + std::to_string(t->Id) + ")\n";
    if (!left.empty()) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_MACHINE_DEADLOCK, threads_.size(), 0, 0,
                   "machine stopped while threads are still alive (system threads must end and every "
                   "MachineThreadScope must close before the machine stops):\n" +
                       left + DescribeWaiters());
    }
    for (auto& p : processors_) {
        p->stop = true;
        p->work.Header.SignalState = 1;
        SignalObjectLocked(&p->work.Header);
    }
    lk.unlock();
    for (auto& p : processors_)
        if (p->host.joinable())
            p->host.join();
    if (clockThread_.joinable())
        clockThread_.join();
    std::vector<std::thread> hosts;
    {
        Lock again(lock_);
        hosts.swap(hosts_);
    }
    for (auto& h : hosts)
        if (h.joinable())
            h.join();
}

// ---------------------------------------------------------------------------------------------
// Threads

KTHREAD* Dispatcher::Adopt(Process* process) {
    auto* t = new KTHREAD();
    t->Kernel = &kernel_;
    t->Kind = KiThreadKind::Adopted;
    t->Id = NextThreadId();
    t->Process = process ? process : SystemProcess();
    t->PreviousMode = process ? UserMode : KernelMode;
    t->Name = (process ? "user thread " : "outside thread ") + std::to_string(t->Id);
    t->Header.Type = ThreadObject;
    t->Header.Size = sizeof(KTHREAD) / sizeof(LONG) > 255 ? 255 : sizeof(KTHREAD) / sizeof(LONG);
    KiInitializeList(&t->Header.WaitListHead);
    Lock lk(lock_);
    threads_.push_back(t);
    ++runnable_;
    ++adopted_;
    return t;
}

void Dispatcher::Leave(KTHREAD* t) {
    {
        Lock lk(lock_);
        std::erase(threads_, t);
        --adopted_;
        RunnableDownLocked();
    }
    delete t;
}

void Dispatcher::StartSystemThread(KTHREAD* t) {
    Lock lk(lock_);
    threads_.push_back(t);
    ++runnable_;
    ++stats_.threadsCreated;
    hosts_.emplace_back([this, t] { SystemThreadMain(t); });
}

void Dispatcher::ExitCurrentThread(KTHREAD* t) {
    Lock lk(lock_);
    t->Terminated = true;
    std::erase(threads_, t);
    t->Header.SignalState = 1;
    SignalObjectLocked(&t->Header);
    RunnableDownLocked();
}

void Dispatcher::RunnableDownLocked() {
    if (--runnable_ == 0)
        clockCv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Signalling and waiting

void Dispatcher::WakeLocked(KTHREAD* t, NTSTATUS status) {
    for (ULONG i = 0; i < t->WaitCount; ++i)
        KiRemoveEntry(&t->WaitBlocks[i].WaitListEntry);
    if (t->WaitDeadline >= 0) {
        RemoveClockEntryLocked(t->WaitDeadline, t->WaitTimeoutKey);
        t->WaitDeadline = -1;
    }
    t->WaitCount = 0;
    t->WaitBlocks = nullptr;
    t->WaitStatus = status;
    t->Waiting = false;
    ++runnable_;
    t->Wake.notify_one();
}

static void ConsumeLocked(PDISPATCHER_HEADER h) {
    if (h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject)
        h->SignalState = 0;
}

bool Dispatcher::AllSignalledLocked(KTHREAD* t) {
    for (ULONG i = 0; i < t->WaitCount; ++i)
        if (static_cast<PDISPATCHER_HEADER>(t->WaitBlocks[i].Object)->SignalState <= 0)
            return false;
    return true;
}

void Dispatcher::SignalObjectLocked(PDISPATCHER_HEADER h) {
    // Satisfy waiters in the order they queued, until the object stops being signalled (a
    // synchronization object is consumed by its first waiter).
    bool woke = true;
    while (woke && h->SignalState > 0) {
        woke = false;
        for (PLIST_ENTRY e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
            auto* b = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
            KTHREAD* t = b->Thread;
            if (b->WaitType == WaitAny) {
                ConsumeLocked(h);
                WakeLocked(t, STATUS_WAIT_0 + b->WaitKey);
                woke = true;
                break;
            }
            if (AllSignalledLocked(t)) {
                for (ULONG i = 0; i < t->WaitCount; ++i)
                    ConsumeLocked(static_cast<PDISPATCHER_HEADER>(t->WaitBlocks[i].Object));
                WakeLocked(t, STATUS_WAIT_0);
                woke = true;
                break;
            }
        }
    }
}

LONG Dispatcher::SetEvent(PRKEVENT event) {
    Lock lk(lock_);
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 1;
    if (!KiIsListEmpty(&event->Header.WaitListHead))
        SignalObjectLocked(&event->Header);
    return old;
}

LONG Dispatcher::ResetEvent(PRKEVENT event) {
    Lock lk(lock_);
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 0;
    return old;
}

LONG Dispatcher::ReadState(PDISPATCHER_HEADER object) {
    Lock lk(lock_);
    return object->SignalState;
}

NTSTATUS Dispatcher::Wait(KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON reason,
                          LONGLONG deadline, bool poll, PKWAIT_BLOCK blocks) {
    Lock lk(lock_);
    return WaitLocked(lk, self, count, objects, type, reason, deadline, poll, blocks);
}

NTSTATUS Dispatcher::WaitLocked(Lock& lk, KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type,
                                KWAIT_REASON reason, LONGLONG deadline, bool poll, PKWAIT_BLOCK blocks) {
    auto hdr = [&](ULONG i) { return static_cast<PDISPATCHER_HEADER>(objects[i]); };
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i)
            if (hdr(i)->SignalState > 0) {
                ConsumeLocked(hdr(i));
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count && all; ++i)
            all = hdr(i)->SignalState > 0;
        if (all) {
            for (ULONG i = 0; i < count; ++i)
                ConsumeLocked(hdr(i));
            return STATUS_WAIT_0;
        }
    }
    if (poll || (deadline >= 0 && deadline <= NowLocked()))
        return STATUS_TIMEOUT;

    for (ULONG i = 0; i < count; ++i) {
        KWAIT_BLOCK& b = blocks[i];
        b.Thread = self;
        b.Object = objects[i];
        b.WaitKey = static_cast<USHORT>(i);
        b.WaitType = static_cast<UCHAR>(type);
        b.BlockState = 1;
        b.NextWaitBlock = &blocks[(i + 1) % count];
        KiInsertTail(&hdr(i)->WaitListHead, &b.WaitListEntry);
    }
    self->Waiting = true;
    self->WaitType = type;
    self->WaitReason = reason;
    self->WaitCount = count;
    self->WaitBlocks = blocks;
    self->WaitDeadline = deadline;
    if (deadline >= 0)
        self->WaitTimeoutKey = AddClockEntryLocked(deadline, {ClockEntry::WaitTimeout, self});
    ++stats_.waits;
    RunnableDownLocked();
    self->Wake.wait(lk, [&] { return !self->Waiting; });
    for (ULONG i = 0; i < count; ++i)
        blocks[i].BlockState = 0;
    return self->WaitStatus;
}

// ---------------------------------------------------------------------------------------------
// The clock

uint64_t Dispatcher::AddClockEntryLocked(LONGLONG due, ClockEntry entry) {
    uint64_t seq = ++clockSeq_;
    bool earliest = clock_.empty() || ClockKey{due, seq} < clock_.begin()->first;
    clock_.emplace(ClockKey{due, seq}, entry);
    if (!virtual_ && earliest)
        clockCv_.notify_all();
    return seq;
}

void Dispatcher::RemoveClockEntryLocked(LONGLONG due, uint64_t seq) {
    clock_.erase(ClockKey{due, seq});
}

void Dispatcher::FireDueLocked(LONGLONG now) {
    while (!clock_.empty() && clock_.begin()->first.due <= now) {
        auto it = clock_.begin();
        LONGLONG due = it->first.due;
        ClockEntry e = it->second;
        clock_.erase(it);
        if (e.kind == ClockEntry::WaitTimeout) {
            auto* t = static_cast<KTHREAD*>(e.object);
            t->WaitDeadline = -1; // its entry is gone already
            WakeLocked(t, STATUS_TIMEOUT);
        } else {
            ExpireTimerLocked(static_cast<PKTIMER>(e.object), due);
        }
    }
}

void Dispatcher::ClockMain() {
    KiSetCurrentKernel(&kernel_);
    Lock lk(lock_);
    for (;;) {
        if (stopping_)
            return;
        if (virtual_) {
            if (runnable_ != 0 || adopted_ == 0) {
                clockCv_.wait(lk);
                continue;
            }
            if (clock_.empty())
                ReportDeadlockLocked(lk);
            LONGLONG due = clock_.begin()->first.due;
            if (due > now_.load(std::memory_order_relaxed)) {
                now_.store(due, std::memory_order_release);
                ++stats_.clockAdvances;
            }
            FireDueLocked(due);
        } else {
            if (clock_.empty()) {
                clockCv_.wait(lk);
                continue;
            }
            LONGLONG due = clock_.begin()->first.due;
            LONGLONG now = NowLocked();
            if (due > now) {
                clockCv_.wait_until(lk, bootWall_ + std::chrono::nanoseconds(due * 100));
                continue;
            }
            ++stats_.clockAdvances;
            FireDueLocked(now);
        }
    }
}

std::string Dispatcher::DescribeWaiters() {
    std::ostringstream out;
    for (KTHREAD* t : threads_) {
        if (t->Kind == KiThreadKind::Processor && t->Waiting)
            continue; // an idle processor waits for DPCs
        out << "  " << t->Name << " (id " << t->Id << ")";
        if (!t->Waiting) {
            out << " runnable\n";
            continue;
        }
        out << " waits (" << (t->WaitType == WaitAll ? "all" : "any") << ") for";
        for (ULONG i = 0; i < t->WaitCount; ++i) {
            auto* h = static_cast<PDISPATCHER_HEADER>(t->WaitBlocks[i].Object);
            out << (i ? "," : "") << " " << TypeName(h->Type) << " " << static_cast<const void*>(h)
                << " (state " << h->SignalState << ")";
        }
        if (t->WaitDeadline >= 0)
            out << ", time-out at " << t->WaitDeadline;
        else
            out << ", no time-out";
        out << "\n";
    }
    return out.str();
}

void Dispatcher::ReportDeadlockLocked(Lock& lk) {
    std::string report = "deadlock: every machine thread waits and no timer or time-out is pending (time " +
                         std::to_string(now_.load()) + "):\n" + DescribeWaiters();
    size_t waiting = threads_.size();
    lk.unlock();
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_MACHINE_DEADLOCK, waiting, 0, 0, std::move(report));
}

// ---------------------------------------------------------------------------------------------
// Reports

Dispatcher::Stats Dispatcher::GetStats() {
    Lock lk(lock_);
    Stats s = stats_;
    for (auto& p : processors_)
        s.dpcsPerProcessor[p->index] = p->dpcsRun;
    return s;
}

ULONG Dispatcher::SetTimerResolution(const void* module, ULONG desired, bool set) {
    {
        Lock lk(lock_);
        if (set)
            resolutionRequests_[module] = desired;
        else
            resolutionRequests_.erase(module);
    }
    return TimerResolution();
}

ULONG Dispatcher::TimerResolution() {
    constexpr ULONG kDefaultResolution = 156250; // 15.625 ms
    Lock lk(lock_);
    ULONG r = kDefaultResolution;
    for (auto& [module, value] : resolutionRequests_)
        r = std::min(r, std::max<ULONG>(value, 5000)); // finest: 0.5 ms
    return r;
}

std::map<const void*, ULONG> Dispatcher::TimerResolutionRequests() {
    Lock lk(lock_);
    return resolutionRequests_;
}

} // namespace nt
