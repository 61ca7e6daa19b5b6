// The machine's side of user mode: user processes and the threads that run their code.  Not part
// of the Win32 API the programs see.
//
// A user process is an object-manager process with its own handle table and page-backed memory.
// A host thread runs Win32 code for a process inside a UserThreadScope: it is then a machine
// thread of that process (requests carry UserMode, handles are the process's).
#pragma once

#include <nt/kernel.h>

#include <string>

namespace win32 {

// A new user process.  Any thread.
nt::Process* CreateUserProcess(nt::Kernel& kernel, std::string name);
// Ends the process: its pending requests are cancelled, its handles closed (files get cleanup
// and close), then removals waiting for those files run.  PASSIVE_LEVEL, on a machine thread
// that is not one of the process's own.
void TerminateUserProcess(nt::Kernel& kernel, nt::Process* process);

class UserThreadScope {
public:
    UserThreadScope(nt::Kernel& kernel, nt::Process* process) : scope_(kernel, process) {}

private:
    nt::MachineThreadScope scope_;
};

// NTSTATUS -> Win32 error code, as the system maps the statuses callers meet.  Any thread.
unsigned long NtStatusToWin32Error(NTSTATUS status);

} // namespace win32
