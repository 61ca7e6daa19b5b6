// User processes and the calling thread's process.
#include "win32_internal.h"

#include <win32/process.h>

#include "ke/ki.h"
#include "ob/object_manager.h"
#include "ob/process.h"
#include "pnp/pnp_manager.h"

namespace win32 {

nt::Kernel* CurrentKernel(nt::Process** process) {
    nt::Kernel* kernel = nt::Kernel::Current();
    nt::Process* p = kernel != nullptr ? nt::KiCurrentProcess() : nullptr;
    if (p == nullptr || p->IsSystem) {
        // Win32 code runs only on threads of user processes.
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    *process = p;
    return kernel;
}

void AfterHandlesClosed(nt::Kernel& kernel) {
    if (nt::PnpManager* pnp = nt::PnpManager::Of(kernel))
        pnp->ProcessPendingWork();
}

nt::Process* CreateUserProcess(nt::Kernel& kernel, std::string name) {
    return kernel.Ob().CreateProcess(std::move(name));
}

void TerminateUserProcess(nt::Kernel& kernel, nt::Process* process) {
    kernel.Ob().TerminateProcess(process);
    AfterHandlesClosed(kernel);
}

} // namespace win32
