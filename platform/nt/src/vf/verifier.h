// The verifier core: bug checks and the rules every component enforces through it.
#pragma once

#include <nt/kernel.h>
#include <nt/ke.h>
#include <nt/bugcodes.h>

#include <mutex>
#include <string>

#include "vf/lock_order.h"

namespace nt {

// Stops the machine: prints "*** STOP: 0x%08X (p1, p2, p3, p4) NAME", the rule in words and a
// backtrace to stderr, calls the kernel's bug-check handler if one is installed, then aborts the
// process.  Callable from any thread, at any IRQL, with or without a current kernel.
[[noreturn]] void VfBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                             std::string rule);

// Bug-checks (DRIVER_VERIFIER_DETECTED_VIOLATION / VF_IRQL_TOO_HIGH_FOR_CALL) when the calling
// thread's IRQL is above `max`.  `function` names the service in the report.  Any IRQL; a thread
// outside the machine counts as PASSIVE_LEVEL.
void KiAssertIrqlAtMost(KIRQL max, const char* function);

class Verifier {
public:
    explicit Verifier(Kernel& kernel) : kernel_(kernel) {}
    Kernel& kernel() { return kernel_; }

    // Called by VfBugCheck before it aborts.  Any thread.
    void SetBugCheckHandler(BugCheckHandler handler);
    BugCheckHandler Handler();

    // The acquired-before graph of spin locks (see lock_order.h).
    LockOrderGraph& LockOrder() { return lockOrder_; }

private:
    Kernel& kernel_;
    std::mutex handlerLock_;
    BugCheckHandler handler_; // guarded by handlerLock_
    LockOrderGraph lockOrder_;
};

} // namespace nt
