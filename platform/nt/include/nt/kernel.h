// The simulated Windows kernel of one machine: the control surface that sim/machine and the tests
// use to create, start and stop a kernel.  Not part of the WDK-shaped API that drivers see.
//
// One Kernel per machine; several may exist in one process (tests create many).  Every thread
// that runs machine code (system threads, processor threads, user threads, a test thread that
// entered the machine) knows its Kernel through a thread-local pointer, so the WDK-shaped
// functions (KeSetEvent, IoCallDriver, ...) need no machine argument.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace nt {

class Dispatcher;    // ke: clock, threads, waits, processors, DPCs, timers (src/ke)
class Verifier;      // bug checks and the verifier's rules (src/vf)
class PoolManager;   // ex: pool, tags, ledger, guard bytes, fault injection (src/ex)
class ObjectManager; // ob: object headers, types, handle tables, processes (src/ob)
class Registry;      // cm: the registry tree and its REGEDIT4 file (src/cm)
class IoManager;     // io: drivers, devices, IRPs, MDLs, symbolic links (src/io)
struct Process;      // ob: a process object with its handle table (the System process or a user one)

struct KernelConfig {
    unsigned processors = 2;        // processor threads that run DPCs at DISPATCH_LEVEL
    bool virtualTime = true;        // virtual: time jumps when every machine thread waits
    std::filesystem::path stateDir; // registry file and C: drive; empty = keep nothing on disk
};

// What a bug check reports.  Tests may install a handler; the default prints the report with a
// backtrace and aborts the process (a test that did not expect it fails).
struct BugCheckReport {
    ULONG code = 0;
    const char* name = "";
    ULONG_PTR parameters[4] = {};
    std::string rule; // the rule that was broken, in words
    std::string backtrace;
};
using BugCheckHandler = std::function<void(const BugCheckReport&)>;

class Kernel {
public:
    explicit Kernel(KernelConfig config = {});
    ~Kernel(); // stops the kernel if it still runs; joins every thread
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    void Start(); // starts the clock and the processor threads
    void Stop();  // ends processors and the clock; system threads must have ended

    // Called with the report when the machine bug-checks, before the process aborts.  Any thread.
    void SetBugCheckHandler(BugCheckHandler handler);

    const KernelConfig& Config() const { return config_; }
    Dispatcher& Ke() { return *ke_; }
    Verifier& Vf() { return *vf_; }
    PoolManager& Pool() { return *pool_; }
    ObjectManager& Ob() { return *ob_; }
    Registry& Cm() { return *cm_; }
    IoManager& Io() { return *io_; }

    // The kernel of the calling thread, or null when the thread is not a machine thread.
    static Kernel* Current();

private:
    KernelConfig config_;
    std::unique_ptr<Verifier> vf_;
    std::unique_ptr<Dispatcher> ke_;
    std::unique_ptr<PoolManager> pool_;
    std::unique_ptr<ObjectManager> ob_;
    std::unique_ptr<Registry> cm_;
    std::unique_ptr<IoManager> io_;
};

// Makes the calling (outside) thread a machine thread of `kernel` at PASSIVE_LEVEL for the
// lifetime of the object: it may then wait on dispatcher objects, and while it runs the virtual
// clock stands still.  A test's main thread enters the machine this way.
class MachineThreadScope {
public:
    // `process` null: the System process (kernel-mode requests); otherwise the thread is a thread
    // of that user process and its requests carry RequestorMode UserMode.
    explicit MachineThreadScope(Kernel& kernel, Process* process = nullptr);
    ~MachineThreadScope();
    MachineThreadScope(const MachineThreadScope&) = delete;
    MachineThreadScope& operator=(const MachineThreadScope&) = delete;

private:
    void* thread_; // the adopted thread's record (owned by the dispatcher)
};

} // namespace nt
