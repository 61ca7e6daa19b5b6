// User processes and the calling thread's process.
#include "win32_internal.h"

#include <win32/process.h>

#include "ke/ki.h"
#include "ob/object_manager.h"
#include "ob/process.h"
#include "pnp/pnp_manager.h"

#include <wdm.h>

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

namespace {

VOID RunPnpWork(PVOID context) {
    static_cast<nt::PnpManager*>(context)->ProcessPendingWork();
}

} // namespace

void AfterHandlesClosed(nt::Kernel& kernel) {
    nt::PnpManager* pnp = nt::PnpManager::Of(kernel);
    if (pnp == nullptr || !pnp->HasPendingWork())
        return;
    // Removal and unloading run in the System process, as the PnP manager's worker does; the
    // closing thread waits for them so that the close is complete when it returns.
    HANDLE thread = nullptr;
    if (!NT_SUCCESS(
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunPnpWork, pnp)))
        return;
    nt::Process* system = kernel.Ob().SystemProcess();
    PVOID object = nullptr;
    if (NT_SUCCESS(kernel.Ob().ReferenceByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, system,
                                                 false, &object, nullptr))) {
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object);
    }
    kernel.Ob().CloseHandle(system, thread, KernelMode);
}

nt::Process* CreateUserProcess(nt::Kernel& kernel, std::string name) {
    return kernel.Ob().CreateProcess(std::move(name));
}

void TerminateUserProcess(nt::Kernel& kernel, nt::Process* process) {
    kernel.Ob().TerminateProcess(process);
    AfterHandlesClosed(kernel);
}

} // namespace win32
