// Helpers shared by the Win32 layer's source files.
#pragma once

#include <windows.h>

#include <nt/kernel.h>

namespace win32 {

// Sets the last error from `status` and returns FALSE.
BOOL FailWithStatus(NTSTATUS status);

// The kernel and user process of the calling thread.  Null (and ERROR_INVALID_FUNCTION set) when
// the thread is not a thread of a user process.
nt::Kernel* CurrentKernel(nt::Process** process);

// Runs the PnP manager's work that waits for handles to close (removal after a surprise removal,
// unloading a module).  PASSIVE_LEVEL.
void AfterHandlesClosed(nt::Kernel& kernel);

} // namespace win32
