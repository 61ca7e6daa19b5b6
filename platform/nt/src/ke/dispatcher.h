// The dispatcher of one machine: its clock, its threads, every dispatcher object's wait list, the
// timer queue and the processors that run DPCs.
//
// One lock (the dispatcher lock, lock_) guards every dispatcher object's state and wait list,
// every thread's wait fields, the clock queue, the DPC queues and the count of runnable machine
// threads.  A machine thread is counted runnable from its registration until it blocks in a wait;
// whoever satisfies the wait counts it runnable again before releasing the lock.  In virtual time
// the clock thread (not a machine thread) advances the interrupt time to the earliest clock event
// only while the count is 0 and at least one outside thread is inside the machine, so time never
// jumps past a wake-up and never moves while an outside thread is away (runs are reproducible).
#pragma once

#include <nt/kernel.h>

#include "ke/ki.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nt {

class Dispatcher {
public:
    explicit Dispatcher(Kernel& kernel);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    Kernel& kernel() { return kernel_; }

    // Starts the clock thread and the processors.  Outside thread.
    void Start();
    // Waits until every machine thread is blocked, checks that no system thread is left, then ends
    // the processors and the clock and joins them.  Outside thread, not inside a MachineThreadScope.
    void Stop();

    // ---- clock (any thread)
    bool IsVirtual() const { return virtual_; }
    // Interrupt time, 100-ns units since boot.
    LONGLONG InterruptTime() const;
    // System time, 100-ns units since 1601.
    LONGLONG SystemTime() const { return bootSystemTime_ + InterruptTime(); }

    // ---- threads
    // Registers the calling outside thread (MachineThreadScope).  `process` null: the System process.
    KTHREAD* Adopt(Process* process);
    void Leave(KTHREAD* thread);
    // Starts a host thread for `thread` (a zeroed, constructed record) that runs its StartRoutine at
    // PASSIVE_LEVEL.  The thread counts as runnable from this call on.  Any machine thread.
    void StartSystemThread(KTHREAD* thread);
    // Called by the thread itself when its routine returns or PsTerminateSystemThread unwinds.
    void ExitCurrentThread(KTHREAD* thread);
    ULONG NextThreadId() { return nextThreadId_.fetch_add(4); }
    Process* SystemProcess();

    // ---- dispatcher objects (callers check IRQL first)
    LONG SetEvent(PRKEVENT event);
    LONG ResetEvent(PRKEVENT event);
    LONG ReadState(PDISPATCHER_HEADER object);
    // `deadline`: interrupt time of the time-out, -1 = none, 0 with `poll` = test only.
    NTSTATUS Wait(KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON reason,
                  LONGLONG deadline, bool poll, PKWAIT_BLOCK blocks);
    BOOLEAN SetTimer(PKTIMER timer, LONGLONG dueInterruptTime, LONG periodMs, PKDPC dpc);
    BOOLEAN CancelTimer(PKTIMER timer);
    BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
    BOOLEAN RemoveQueueDpc(PRKDPC dpc);
    void FlushQueuedDpcs();
    // Converts a wait or timer due time (negative relative, positive absolute system time) to an
    // absolute interrupt time.
    LONGLONG DeadlineFrom(LONGLONG dueTime) const;

    // ---- verifier support
    void CheckFreedMemory(const void* base, size_t size);
    bool HasPendingTimersOrDpcsIn(const void* base, size_t size);

    // ---- processors and timer resolution
    unsigned ProcessorCount() const { return static_cast<unsigned>(processors_.size()); }
    ULONG SetTimerResolution(const void* module, ULONG desired, bool set);
    ULONG TimerResolution();
    std::map<const void*, ULONG> TimerResolutionRequests();

    // What the machine did, for reports.
    struct Stats {
        uint64_t clockAdvances = 0; // times the clock jumped to a deadline
        uint64_t timerExpiries = 0;
        uint64_t waits = 0; // waits that blocked
        uint64_t threadsCreated = 0;
        std::vector<uint64_t> dpcsPerProcessor;
    };
    Stats GetStats();
    // Every waiting thread and what it waits on, one line each (the deadlock report's body).
    std::string DescribeWaiters();

private:
    struct ClockKey {
        LONGLONG due;
        uint64_t seq;
        auto operator<=>(const ClockKey&) const = default;
    };
    struct ClockEntry {
        enum Kind { Timer, WaitTimeout } kind;
        void* object; // PKTIMER or KTHREAD*
    };
    struct Processor {
        unsigned index = 0;
        KTHREAD* thread = nullptr;
        std::thread host;
        LIST_ENTRY queue;     // KDPC.DpcListEntry; guarded by lock_
        KEVENT work;          // synchronization event: set when work is queued or at stop
        bool stop = false;    // guarded by lock_
        uint64_t dpcsRun = 0; // guarded by lock_
    };

    using Lock = std::unique_lock<std::mutex>;

    // All with lock_ held.
    NTSTATUS WaitLocked(Lock& lk, KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type,
                        KWAIT_REASON reason, LONGLONG deadline, bool poll, PKWAIT_BLOCK blocks);
    void SignalObjectLocked(PDISPATCHER_HEADER object);
    void WakeLocked(KTHREAD* thread, NTSTATUS status);
    bool AllSignalledLocked(KTHREAD* thread);
    uint64_t AddClockEntryLocked(LONGLONG due, ClockEntry entry);
    void RemoveClockEntryLocked(LONGLONG due, uint64_t seq);
    void ExpireTimerLocked(PKTIMER timer, LONGLONG due);
    BOOLEAN CancelTimerLocked(PKTIMER timer);
    BOOLEAN InsertQueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2);
    void RunnableDownLocked();
    LONGLONG NowLocked() const;
    void FireDueLocked(LONGLONG now);

    void ClockMain();
    void ProcessorMain(Processor* p);
    void SystemThreadMain(KTHREAD* thread);
    [[noreturn]] void ReportDeadlockLocked(Lock& lk);

    Kernel& kernel_;
    const bool virtual_;
    const LONGLONG bootSystemTime_;
    const std::chrono::steady_clock::time_point bootWall_;
    std::atomic<ULONG> nextThreadId_{8};

    std::mutex lock_;                             // the dispatcher lock
    std::condition_variable clockCv_;             // the clock thread and Stop wait on it with lock_
    std::atomic<LONGLONG> now_{0};                // virtual interrupt time; written with lock_ held
    int runnable_ = 0;                            // machine threads not blocked in a wait; guarded by lock_
    int adopted_ = 0;                             // outside threads inside the machine; guarded by lock_
    bool stopping_ = false;                       // guarded by lock_
    bool started_ = false;                        // guarded by lock_
    std::vector<KTHREAD*> threads_;               // every live machine thread; guarded by lock_
    std::vector<std::thread> hosts_;              // system threads' host threads; guarded by lock_
    std::map<ClockKey, ClockEntry> clock_;        // guarded by lock_
    std::map<const KTIMER*, ClockKey> setTimers_; // guarded by lock_
    uint64_t clockSeq_ = 0;                       // guarded by lock_
    std::vector<std::unique_ptr<Processor>> processors_; // fixed after construction
    unsigned nextProcessor_ = 0;                         // guarded by lock_
    std::thread clockThread_;
    Stats stats_;                                     // guarded by lock_
    std::map<const void*, ULONG> resolutionRequests_; // per module; guarded by lock_
};

} // namespace nt
