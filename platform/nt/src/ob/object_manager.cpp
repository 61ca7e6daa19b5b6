// Processes, handle lookups and closes.

#include "ob/object_manager.h"

#include "ob/ke_imports.h"

#include <nt/ke.h>

#include <algorithm>
#include <new>

namespace nt {

namespace {

// NtCurrentProcess(): the pseudo-handle that always means the calling process.
const HANDLE kCurrentProcessHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

Process* NewProcess(ObjectManager& owner, std::string name, ULONG_PTR id, bool isSystem) {
    void* body = ObCreateObjectBody(*PsProcessType, sizeof(Process));
    if (body == nullptr)
        return nullptr;
    return new (body) Process(owner, std::move(name), id, isSystem);
}

void CloseEntries(std::vector<HandleEntry> entries) {
    for (auto& e : entries)
        ObfDereferenceObject(e.Object);
}

} // namespace

void ObpDeleteProcess(PVOID body) {
    static_cast<Process*>(body)->~Process();
}

ObjectManager::ObjectManager(Kernel& kernel) : kernel_(kernel) {
    (*PsProcessType)->Delete = ObpDeleteProcess;
    system_ = NewProcess(*this, "System", 4, true);
}

ObjectManager::~ObjectManager() {
    // The other components are gone by now: their hooks must not run.
    OnProcessTerminating.clear();
    std::vector<Process*> processes;
    {
        std::lock_guard<std::mutex> guard(lock_);
        processes.swap(processes_);
    }
    for (Process* p : processes) {
        CloseEntries(p->Handles.RemoveAll());
        ObfDereferenceObject(p);
    }
    CloseEntries(system_->Handles.RemoveAll());
    ObfDereferenceObject(system_);
}

Process* ObjectManager::CreateProcess(std::string name) {
    ULONG_PTR id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        id = nextProcessId_;
        nextProcessId_ += 4;
    }
    Process* p = NewProcess(*this, std::move(name), id, false);
    if (p == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    processes_.push_back(p);
    return p;
}

void ObjectManager::TerminateProcess(Process* process) {
    ObpAssertIrqlAtMost(kPassiveLevel, "TerminateProcess");
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find(processes_.begin(), processes_.end(), process);
        if (it == processes_.end())
            return; // the System process, or already terminated
        processes_.erase(it);
    }
    for (auto& hook : OnProcessTerminating)
        hook(process);
    {
        std::lock_guard<std::mutex> guard(process->memLock_);
        process->terminated_ = true;
    }
    CloseEntries(process->Handles.RemoveAll());
    ObfDereferenceObject(process);
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, ACCESS_MASK desired, POBJECT_TYPE type,
                                          KPROCESSOR_MODE mode, Process* process, bool checkAccess,
                                          PVOID* object, POBJECT_HANDLE_INFORMATION info) {
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (process == nullptr)
        process = ObpCurrentProcess();
    if (process == nullptr)
        return STATUS_INVALID_HANDLE;

    HandleEntry entry;
    if (handle == kCurrentProcessHandle) {
        entry.Object = process;
        entry.GrantedAccess = (*PsProcessType)->ValidAccess;
        ObfReferenceObject(process);
    } else {
        HandleTable* table = &process->Handles;
        if (ObIsKernelHandle(handle)) {
            if (mode != KernelMode)
                return STATUS_INVALID_HANDLE;
            table = &system_->Handles;
        }
        if (!table->ReferenceEntry(handle, &entry))
            return STATUS_INVALID_HANDLE;
    }
    if (type != nullptr && ObGetObjectType(entry.Object) != type) {
        ObfDereferenceObject(entry.Object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode != KernelMode || checkAccess) {
        ACCESS_MASK wanted = ObMapAccess(type ? type : ObGetObjectType(entry.Object), desired);
        if ((wanted & ~entry.GrantedAccess) != 0) {
            ObfDereferenceObject(entry.Object);
            return STATUS_ACCESS_DENIED;
        }
    }
    if (info != nullptr) {
        info->HandleAttributes = entry.Attributes;
        info->GrantedAccess = entry.GrantedAccess;
    }
    *object = entry.Object;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::CloseHandle(Process* process, HANDLE handle, KPROCESSOR_MODE mode) {
    ObpAssertIrqlAtMost(kPassiveLevel, "NtClose");
    HandleTable* table = &system_->Handles;
    if (ObIsKernelHandle(handle)) {
        if (mode != KernelMode)
            return STATUS_INVALID_HANDLE;
    } else {
        if (process == nullptr)
            process = ObpCurrentProcess();
        if (process == nullptr)
            return STATUS_INVALID_HANDLE;
        table = &process->Handles;
    }
    HandleEntry entry;
    if (!table->Remove(handle, &entry))
        return STATUS_INVALID_HANDLE;
    ObfDereferenceObject(entry.Object);
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::CreateEvent(Process* process, EVENT_TYPE type, BOOLEAN initialState, PHANDLE handle) {
    ObpAssertIrqlAtMost(kPassiveLevel, "CreateEvent");
    if (process == nullptr || handle == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* event = static_cast<PKEVENT>(ObCreateObjectBody(*ExEventObjectType, sizeof(KEVENT)));
    if (event == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(event, type, initialState);
    NTSTATUS status = ObInsertHandle(event, process, EVENT_ALL_ACCESS, handle);
    ObfDereferenceObject(event); // the handle holds the object now
    return status;
}

NTSTATUS ObInsertHandle(PVOID body, Process* process, ACCESS_MASK granted, PHANDLE handle) {
    ObpAssertIrqlAtMost(kApcLevel, "ObInsertHandle");
    if (body == nullptr || process == nullptr || handle == nullptr)
        return STATUS_INVALID_PARAMETER;
    HandleEntry entry;
    entry.Object = body;
    entry.GrantedAccess = ObMapAccess(ObGetObjectType(body), granted);
    ObfReferenceObject(body);
    *handle = process->Handles.Insert(entry);
    return STATUS_SUCCESS;
}

} // namespace nt

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    nt::ObpAssertIrqlAtMost(nt::kPassiveLevel, "ObReferenceObjectByHandle");
    nt::Kernel* kernel = nt::Kernel::Current();
    if (kernel == nullptr)
        return STATUS_INVALID_HANDLE;
    return kernel->Ob().ReferenceByHandle(Handle, DesiredAccess, ObjectType, AccessMode, nullptr, false,
                                          Object, HandleInformation);
}

NTSTATUS ObReferenceObjectByHandleWithTag(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode, ULONG, PVOID* Object,
                                          POBJECT_HANDLE_INFORMATION HandleInformation) {
    return ObReferenceObjectByHandle(Handle, DesiredAccess, ObjectType, AccessMode, Object,
                                     HandleInformation);
}

NTSTATUS ZwClose(HANDLE Handle) {
    nt::ObpAssertIrqlAtMost(nt::kPassiveLevel, "ZwClose");
    nt::Kernel* kernel = nt::Kernel::Current();
    nt::Process* process = nt::ObpCurrentProcess();
    NTSTATUS status = kernel ? kernel->Ob().CloseHandle(process, Handle, KernelMode) : STATUS_INVALID_HANDLE;
    if (status == STATUS_INVALID_HANDLE) {
        // Kernel code closing a handle it does not own is a bug (a double close or a stale handle).
        nt::ObpBugCheck(0x93, reinterpret_cast<ULONG_PTR>(Handle),
                        reinterpret_cast<ULONG_PTR>(process ? &process->Handles : nullptr), 1, 0,
                        "ZwClose called with a handle that is not valid in this context");
    }
    return status;
}
