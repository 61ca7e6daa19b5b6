// The calling host thread's place in the machine: its KTHREAD (null outside the machine) and
// its kernel (also set for the clock thread, which is not a machine thread).
#pragma once

#include "ke/ki.h"

namespace nt {

void KiSetCurrentThread(KTHREAD* thread); // also sets the kernel to thread->Kernel
void KiSetCurrentKernel(Kernel* kernel);
Dispatcher& KiDispatcher(); // the current thread's dispatcher; fatal outside the machine
Kernel* KiCurrentKernel();  // null outside the machine (and its clock thread)

} // namespace nt
