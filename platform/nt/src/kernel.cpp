#include <nt/kernel.h>

#include "cm/registry.h"
#include "ex/pool.h"
#include "io/io_manager.h"
#include "ke/dispatcher.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

namespace nt {

Kernel::Kernel(KernelConfig config) : config_(std::move(config)) {
    vf_ = std::make_unique<Verifier>(*this);
    ke_ = std::make_unique<Dispatcher>(*this);
    pool_ = std::make_unique<PoolManager>(*this);
    ob_ = std::make_unique<ObjectManager>(*this);
    cm_ = std::make_unique<Registry>(*this);
    io_ = std::make_unique<IoManager>(*this);
}

Kernel::~Kernel() = default;

void Kernel::Start() {}
void Kernel::Stop() {}

Kernel* Kernel::Current() { return nullptr; }

MachineThreadScope::MachineThreadScope(Kernel&, Process*) : thread_(nullptr) {}
MachineThreadScope::~MachineThreadScope() = default;

} // namespace nt
