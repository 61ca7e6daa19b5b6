#include "ob/ke_imports.h"

#include "ob/object_manager.h"

#include <cstdio>
#include <cstdlib>

// Weak references to the dispatcher and verifier; null until those components define them.
KIRQL KeGetCurrentIrql() __attribute__((weak));
namespace nt {
Process* KiCurrentProcess() __attribute__((weak));
[[noreturn]] void VfBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                             std::string rule) __attribute__((weak));
void KiAssertIrqlAtMost(KIRQL max, const char* function) __attribute__((weak));
void KiCheckFreedMemory(const void* base, size_t size) __attribute__((weak));
} // namespace nt
KPROCESSOR_MODE ExGetPreviousMode() __attribute__((weak));

namespace nt {

namespace {
// Names of the codes this component raises, for the report printed before the verifier exists.
const char* FallbackBugCheckName(ULONG code) {
    switch (code) {
    case 0x18:
        return "REFERENCE_BY_POINTER";
    case 0x19:
        return "BAD_POOL_HEADER";
    case 0x93:
        return "INVALID_KERNEL_HANDLE";
    case 0xC1:
        return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case 0xC2:
        return "BAD_POOL_CALLER";
    case 0xC4:
        return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case 0x139:
        return "KERNEL_SECURITY_CHECK_FAILURE";
    default:
        return "";
    }
}
} // namespace

KIRQL ObpCurrentIrql() {
    return KeGetCurrentIrql ? KeGetCurrentIrql() : kPassiveLevel;
}

Process* ObpCurrentProcess() {
    if (KiCurrentProcess)
        return KiCurrentProcess();
    Kernel* kernel = Kernel::Current();
    return kernel ? kernel->Ob().SystemProcess() : nullptr;
}

KPROCESSOR_MODE ObpPreviousMode() {
    return ExGetPreviousMode ? ExGetPreviousMode() : KPROCESSOR_MODE(KernelMode);
}

void ObpBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string rule) {
    if (VfBugCheck)
        VfBugCheck(code, p1, p2, p3, p4, std::move(rule));
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%lx, 0x%lx, 0x%lx, 0x%lx) %s\n%s\n", code, (unsigned long)p1,
                 (unsigned long)p2, (unsigned long)p3, (unsigned long)p4, FallbackBugCheckName(code),
                 rule.c_str());
    std::fflush(stderr);
    std::abort();
}

void ObpAssertIrqlAtMost(KIRQL max, const char* function) {
    if (KiAssertIrqlAtMost) {
        KiAssertIrqlAtMost(max, function);
        return;
    }
    KIRQL irql = ObpCurrentIrql();
    if (irql > max)
        ObpBugCheck(0xC4, 0x3A, irql, max, 0, std::string(function) + " called above its maximum IRQL");
}

void ObpCheckFreedMemory(const void* base, size_t size) {
    if (KiCheckFreedMemory)
        KiCheckFreedMemory(base, size);
}

} // namespace nt
