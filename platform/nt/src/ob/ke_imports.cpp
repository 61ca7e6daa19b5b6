#include "ob/ke_imports.h"

#include <nt/ke.h>
#include <nt/ps.h>

#include "ke/ki.h"
#include "vf/verifier.h"

namespace nt {

KIRQL ObpCurrentIrql() {
    return KeGetCurrentIrql();
}

Process* ObpCurrentProcess() {
    return KiCurrentProcess();
}

KPROCESSOR_MODE ObpPreviousMode() {
    return ExGetPreviousMode();
}

void ObpBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string rule) {
    VfBugCheck(code, p1, p2, p3, p4, std::move(rule));
}

void ObpAssertIrqlAtMost(KIRQL max, const char* function) {
    KiAssertIrqlAtMost(max, function);
}

void ObpCheckFreedMemory(const void* base, size_t size) {
    KiCheckFreedMemory(base, size);
}

} // namespace nt
