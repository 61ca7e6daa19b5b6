// The object manager: object headers with reference counts and a type, handle tables, processes.
//
// Every object body is preceded by an ObjectHeader (never visible to drivers).  Bodies are zeroed
// at creation and carry one reference; the last ObfDereferenceObject runs the type's Delete
// routine on the body, then frees the memory.
#pragma once

#include <nt/kernel.h>
#include <nt/ob.h>

#include "ob/process.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace nt {

struct ObjectType {
    const char* Name;
    void (*Delete)(PVOID body); // may be null; runs once, on the last dereference
    ACCESS_MASK ValidAccess;    // every right an object of this type knows
    GENERIC_MAPPING GenericMapping;
};

// Creates a zeroed object body of `bodySize` bytes with one reference.  Null when out of memory.
// IRQL: <= DISPATCH_LEVEL.
PVOID ObCreateObjectBody(POBJECT_TYPE type, size_t bodySize);

// Puts a handle to `body` in the process's table with `granted` access (generic rights are
// mapped by the type, then limited to its ValidAccess).  Takes its own reference.  Handles of the
// System process are kernel handles.  IRQL: <= APC_LEVEL.
NTSTATUS ObInsertHandle(PVOID body, Process* process, ACCESS_MASK granted, PHANDLE handle);

// The type of an object body.  Any IRQL.
POBJECT_TYPE ObGetObjectType(PVOID body);
// The current reference count (for tests and leak reports).  Any IRQL.
LONG_PTR ObGetPointerCount(PVOID body);
// Maps generic rights with the type's mapping and drops rights the type does not know.
ACCESS_MASK ObMapAccess(POBJECT_TYPE type, ACCESS_MASK access);

class ObjectManager {
public:
    explicit ObjectManager(Kernel& kernel);
    ~ObjectManager(); // closes every remaining handle of every process
    ObjectManager(const ObjectManager&) = delete;
    ObjectManager& operator=(const ObjectManager&) = delete;
    Kernel& kernel() { return kernel_; }

    // The System process: exists from construction, owns kernel handles.
    Process* SystemProcess() { return system_; }
    // A new user process; the object manager holds one reference until TerminateProcess.
    Process* CreateProcess(std::string name);
    // Runs the OnProcessTerminating hooks, then closes every handle of the process and drops the
    // object manager's reference.  IRQL: PASSIVE_LEVEL.
    void TerminateProcess(Process* process);
    // Called with the process before its handles close (the I/O manager cancels its IRPs).
    // Register hooks while the machine is being built, before user processes run.
    std::vector<std::function<void(Process*)>> OnProcessTerminating;

    // Looks up a handle for `mode` in the context of `process` (null = the current process).
    // UserMode: the process's own handles only, and the granted access must cover `desired`.
    // KernelMode: also kernel handles; access is checked only when `checkAccess` is set (the
    // registry checks KEY_* rights for kernel callers too).  On success *object holds a reference.
    NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desired, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                               Process* process, bool checkAccess, PVOID* object,
                               POBJECT_HANDLE_INFORMATION info);
    // Closes a handle for `mode` in the context of `process` (null = current).  STATUS_INVALID_HANDLE
    // when it is not valid there.  IRQL: PASSIVE_LEVEL.
    NTSTATUS CloseHandle(Process* process, HANDLE handle, KPROCESSOR_MODE mode);

    // A KEVENT in an object body of type *ExEventObjectType, with a handle in `process`
    // (EVENT_ALL_ACCESS).  For tests and the user-mode layer.  IRQL: PASSIVE_LEVEL.
    NTSTATUS CreateEvent(Process* process, EVENT_TYPE type, BOOLEAN initialState, PHANDLE handle);

private:
    Kernel& kernel_;
    Process* system_ = nullptr;
    std::mutex lock_;                 // guards processes_ and nextProcessId_
    std::vector<Process*> processes_; // user processes not yet terminated; one reference each
    ULONG_PTR nextProcessId_ = 8;
};

} // namespace nt
