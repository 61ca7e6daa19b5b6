// What the object manager, the pool, the registry and the run-time library need from the
// dispatcher and the verifier (src/ke, src/vf), behind one narrow interface.
#pragma once

#include <ntdef.h>

#include <string>

typedef UCHAR KIRQL;

namespace nt {

struct Process;

constexpr KIRQL kPassiveLevel = 0;
constexpr KIRQL kApcLevel = 1;
constexpr KIRQL kDispatchLevel = 2;

// The caller's IRQL.  Any IRQL.
KIRQL ObpCurrentIrql();
// The process whose handle table non-kernel handles refer to.  Any IRQL.
Process* ObpCurrentProcess();
// The previous mode of the calling thread (UserMode for threads of user processes).
KPROCESSOR_MODE ObpPreviousMode();
// Stops the machine with a bug check; prints the rule and a backtrace.
[[noreturn]] void ObpBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                              std::string rule);
// Bug-checks when the caller runs above `max` (passive-only services and the like).
void ObpAssertIrqlAtMost(KIRQL max, const char* function);
// Bug-checks when a live dispatcher object (set timer, queued DPC, waited object) lies in the range.
void ObpCheckFreedMemory(const void* base, size_t size);

} // namespace nt
