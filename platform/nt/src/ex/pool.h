#pragma once
#include <nt/kernel.h>

namespace nt {

class PoolManager {
public:
    explicit PoolManager(Kernel& kernel) : kernel_(kernel) {}
    Kernel& kernel() { return kernel_; }

private:
    Kernel& kernel_;
};

} // namespace nt
