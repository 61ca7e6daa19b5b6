#include <nt/kernel.h>

#include "cm/registry.h"
#include "ex/pool.h"
#include "io/io_manager.h"
#include "ke/dispatcher.h"
#include "ke/thread_context.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

#include <nt/ob.h>

#include <cstdio>
#include <cstdlib>

namespace nt {

Kernel::Kernel(KernelConfig config) : config_(std::move(config)) {
    // The thread type's delete routine belongs to the dispatcher, which defines KTHREAD.
    (*PsThreadType)->Delete = KiDeleteThreadObject;
    vf_ = std::make_unique<Verifier>(*this);
    ke_ = std::make_unique<Dispatcher>(*this);
    pool_ = std::make_unique<PoolManager>(*this);
    ob_ = std::make_unique<ObjectManager>(*this);
    cm_ = std::make_unique<Registry>(*this);
    io_ = std::make_unique<IoManager>(*this);
}

Kernel::~Kernel() {
    Stop();
}

void Kernel::Start() {
    ke_->Start();
}

void Kernel::Stop() {
    ke_->Stop();
}

void Kernel::SetBugCheckHandler(BugCheckHandler handler) {
    vf_->SetBugCheckHandler(std::move(handler));
}

Kernel* Kernel::Current() {
    return KiCurrentKernel();
}

MachineThreadScope::MachineThreadScope(Kernel& kernel, Process* process) : thread_(nullptr) {
    if (KTHREAD* current = KiCurrentThreadOrNull()) {
        if (current->Kernel == &kernel && process == nullptr)
            return; // already inside this machine: nothing to do
        std::fprintf(stderr, "fatal: MachineThreadScope on a thread that is already a thread of a machine\n");
        std::abort();
    }
    KTHREAD* t = kernel.Ke().Adopt(process);
    KiSetCurrentThread(t);
    thread_ = t;
}

MachineThreadScope::~MachineThreadScope() {
    if (thread_ == nullptr)
        return;
    auto* t = static_cast<KTHREAD*>(thread_);
    if (t->Irql != PASSIVE_LEVEL || t->HeldLockCount != 0)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_THREAD_EXIT_AT_RAISED_IRQL,
                   reinterpret_cast<ULONG_PTR>(t), t->Irql, t->HeldLockCount,
                   "a thread left the machine at raised IRQL or holding a spin lock");
    KiSetCurrentThread(nullptr);
    t->Kernel->Ke().Leave(t);
}

} // namespace nt
