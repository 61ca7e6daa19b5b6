#pragma once
#include <nt/kernel.h>

namespace nt {

class IoManager {
public:
    explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
    Kernel& kernel() { return kernel_; }

private:
    Kernel& kernel_;
};

} // namespace nt
