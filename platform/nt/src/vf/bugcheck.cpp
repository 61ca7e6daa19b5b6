// Bug checks: the report, the handler and the stop.
#include "vf/verifier.h"

#include "ke/ki.h"
#include "ke/thread_context.h"

#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nt {

namespace {

struct BugCheckName {
    ULONG code;
    const char* name;
};

// Windows' names for the codes this kernel raises.
constexpr BugCheckName kNames[] = {
    {IRQL_NOT_LESS_OR_EQUAL, "IRQL_NOT_LESS_OR_EQUAL"},
    {MAXIMUM_WAIT_OBJECTS_EXCEEDED, "MAXIMUM_WAIT_OBJECTS_EXCEEDED"},
    {0x18, "REFERENCE_BY_POINTER"},
    {BAD_POOL_HEADER, "BAD_POOL_HEADER"},
    {NO_MORE_IRP_STACK_LOCATIONS, "NO_MORE_IRP_STACK_LOCATIONS"},
    {SYSTEM_SERVICE_EXCEPTION, "SYSTEM_SERVICE_EXCEPTION"},
    {MULTIPLE_IRP_COMPLETE_REQUESTS, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {CANCEL_STATE_IN_COMPLETED_IRP, "CANCEL_STATE_IN_COMPLETED_IRP"},
    {IRQL_GT_ZERO_AT_SYSTEM_SERVICE, "IRQL_GT_ZERO_AT_SYSTEM_SERVICE"},
    {PROCESS_HAS_LOCKED_PAGES, "PROCESS_HAS_LOCKED_PAGES"},
    {SYSTEM_THREAD_EXCEPTION_NOT_HANDLED, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"},
    {0x93, "INVALID_KERNEL_HANDLE"},
    {DRIVER_POWER_STATE_FAILURE, "DRIVER_POWER_STATE_FAILURE"},
    {SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"},
    {BAD_POOL_CALLER, "BAD_POOL_CALLER"},
    {DRIVER_VERIFIER_DETECTED_VIOLATION, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {TIMER_OR_DPC_INVALID, "TIMER_OR_DPC_INVALID"},
    {IRQL_UNEXPECTED_VALUE, "IRQL_UNEXPECTED_VALUE"},
    {DRIVER_VERIFIER_IOMANAGER_VIOLATION, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
    {DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
     "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    {DRIVER_IRQL_NOT_LESS_OR_EQUAL, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {MANUALLY_INITIATED_CRASH, "MANUALLY_INITIATED_CRASH"},
    {WORKER_INVALID, "WORKER_INVALID"},
    {0x139, "KERNEL_SECURITY_CHECK_FAILURE"},
};

std::string Backtrace() {
    void* frames[48];
    int n = backtrace(frames, 48);
    std::string out;
    char** symbols = backtrace_symbols(frames, n);
    for (int i = 1; i < n; ++i) { // skip this frame
        out += "    ";
        out += symbols ? symbols[i] : "?";
        out += "\n";
    }
    std::free(symbols);
    return out;
}

} // namespace

void Verifier::SetBugCheckHandler(BugCheckHandler handler) {
    std::lock_guard<std::mutex> g(handlerLock_);
    handler_ = std::move(handler);
}

BugCheckHandler Verifier::Handler() {
    std::lock_guard<std::mutex> g(handlerLock_);
    return handler_;
}

void VfBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string rule) {
    // One report per process: a second bug check raised while the first is reported (another
    // processor tripping over the same fault) waits for the abort.
    static std::atomic<bool> stopping{false};
    if (stopping.exchange(true)) {
        for (;;)
            pause();
    }
    BugCheckReport report;
    report.code = code;
    report.name = KiBugCheckName(code);
    report.parameters[0] = p1;
    report.parameters[1] = p2;
    report.parameters[2] = p3;
    report.parameters[3] = p4;
    report.rule = std::move(rule);
    report.backtrace = Backtrace();
    KTHREAD* thread = KiCurrentThreadOrNull();
    std::fprintf(stderr, "\n*** STOP: 0x%08X (0x%016lX, 0x%016lX, 0x%016lX, 0x%016lX) %s\n", code,
                 static_cast<unsigned long>(p1), static_cast<unsigned long>(p2),
                 static_cast<unsigned long>(p3), static_cast<unsigned long>(p4), report.name);
    std::fprintf(stderr, "*** %s\n", report.rule.c_str());
    std::fprintf(stderr, "*** on %s at IRQL %u\n",
                 thread ? thread->Name.c_str() : "a thread outside the machine", thread ? thread->Irql : 0U);
    std::fprintf(stderr, "*** backtrace:\n%s", report.backtrace.c_str());
    std::fflush(stderr);
    if (Kernel* kernel = KiCurrentKernel())
        if (BugCheckHandler handler = kernel->Vf().Handler())
            handler(report);
    std::abort();
}

void KiAssertIrqlAtMost(KIRQL max, const char* function) {
    KTHREAD* t = KiCurrentThreadOrNull();
    KIRQL irql = t ? t->Irql : PASSIVE_LEVEL;
    if (irql > max)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_IRQL_TOO_HIGH_FOR_CALL, irql, max, 0,
                   std::string(function) + " called at IRQL " + std::to_string(irql) +
                       ", above its maximum " + std::to_string(max));
}

} // namespace nt

const char* KiBugCheckName(ULONG code) {
    for (const auto& n : nt::kNames)
        if (n.code == code)
            return n.name;
    return "UNKNOWN";
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
    nt::VfBugCheck(BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
                   BugCheckParameter4, "KeBugCheckEx called by a driver");
}

VOID KeBugCheck(ULONG BugCheckCode) {
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}
