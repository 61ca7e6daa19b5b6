// The I/O manager of one machine: the device namespace and symbolic links, the cancel spin lock,
// the bookkeeping behind the verifier's IRP rules, the user-mode service layer (open, device
// control, close) and the driver loader.
//
// Locking: lock_ is a host mutex held only briefly and never across a call into a driver; it is
// taken at any IRQL (it never blocks on machine work).  The cancel spin lock is a real KSPIN_LOCK.
#pragma once

#include <nt/kernel.h>
#include <wdm.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The I/O manager's private part of every device object (DEVICE_OBJECT.DeviceObjectExtension).
// Fields are guarded by the IoManager's lock_ unless noted.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject; // back pointer; constant
    PDEVICE_OBJECT AttachedTo;   // the device directly below in its stack, or null
    std::u16string Name;         // "\Device\..." as created; empty when unnamed
    bool DeletePending = false;  // IoDeleteDevice was called
    bool Deleted = false;        // the deletion completed (name and creation reference gone)
    bool Exclusive = false;      // only one open file at a time
    bool ShutdownRegistered = false;
};

namespace nt {

struct Process;

// Verifier sub-codes of DRIVER_VERIFIER_DETECTED_VIOLATION raised by the I/O manager (p1).
// p2 is the IRP (or the object named), p3/p4 as noted.
enum : ULONG {
    VF_IO_PENDING_NOT_MARKED = 0x2001,     // STATUS_PENDING returned without IoMarkIrpPending; p3 = device
    VF_IO_MARKED_BUT_NOT_PENDING = 0x2002, // IoMarkIrpPending, then a final status returned; p3 = status
    VF_IO_FREE_OWNED_IRP = 0x2003,         // IoFreeIrp on an IRP a lower driver still owns
    VF_IO_REUSE_OWNED_IRP = 0x2004,        // IoReuseIrp on an IRP a lower driver still owns
    VF_IO_COMPLETE_WITH_PENDING = 0x2005,  // IoCompleteRequest with IoStatus.Status STATUS_PENDING
    VF_IO_IRQL_CHANGED_IN_DISPATCH =
        0x2006, // a dispatch routine returned at another IRQL; p3/p4 = before/after
    VF_IO_DRIVER_IRP_COMPLETED_TO_TOP = 0x2007, // a driver-allocated IRP completed past its allocator
    VF_IO_FREE_THREAD_IRP = 0x2008,             // IoFreeIrp on an IRP the I/O manager owns
    VF_IO_INVALID_IRP = 0x2009,                 // an IRP that is freed or was never initialised
    VF_IO_UNLOAD_WITH_DEVICES = 0x200A,         // a driver unloaded with device objects left; p3 = count
    VF_IO_DELETE_ATTACHED_DEVICE = 0x200B,      // IoDeleteDevice of a device still attached to another
    VF_IO_BAD_USER_BUFFER = 0x200C,             // MmProbeAndLockPages on memory the process does not own
    VF_IO_UNLOCK_NOT_LOCKED = 0x200D,           // MmUnlockPages/MmMapLockedPages... on an unlocked MDL
    VF_IO_DELETE_TWICE = 0x200E,                // IoDeleteDevice twice on one device
};

// One entry of the per-location dispatch bookkeeping (see irp_tracking.cpp).
struct DispatchRecord {
    ULONGLONG Id;
    bool Passed;        // completion has gone up through the location
    bool Marked;        // SL_PENDING_RETURNED as completion saw it
    bool AwaitingCheck; // the dispatch routine returned STATUS_PENDING before completion passed
    PDEVICE_OBJECT Device;
};

// A driver module loaded by LoadDriver.
struct LoadedDriver {
    void* Module = nullptr; // dlopen handle
    PDRIVER_OBJECT Driver = nullptr;
    std::string Path;
    std::u16string ServiceName;
    std::u16string RegistryPath; // backing store of the UNICODE_STRING handed to DriverEntry
    UNICODE_STRING RegistryPathString{};
};

// What the user-mode layer gets back from OpenFile.
struct OpenFileResult {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    HANDLE Handle = nullptr;
    ULONG_PTR Information = 0; // FILE_OPENED, ...
};

class IoManager {
public:
    explicit IoManager(Kernel& kernel);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;
    Kernel& kernel() { return kernel_; }

    // The I/O manager of the calling machine thread's kernel; bug-checks outside a machine.
    static IoManager& Current();

    // ----- Driver modules.  PASSIVE_LEVEL.
    // dlopens `path`, creates "\Driver\<serviceName>" and calls the module's DriverEntry with
    // `registryPath`.  On failure the module is closed again and *driver stays null.
    NTSTATUS LoadDriver(const std::string& path, const std::u16string& serviceName,
                        const std::u16string& registryPath, PDRIVER_OBJECT* driver);
    // A driver object for dispatch routines that live in the caller (tests, built-in drivers):
    // no module, no DriverEntry.
    PDRIVER_OBJECT CreateDriverObject(const std::u16string& serviceName);
    // Calls DriverUnload, then bug-checks if device objects, timers or DPCs inside the module,
    // or pool charged to the module remain; closes the module and frees the driver object.
    void UnloadDriver(PDRIVER_OBJECT driver);

    // ----- Shutdown: sends IRP_MJ_SHUTDOWN to every registered device, newest first.  PASSIVE_LEVEL.
    void SendShutdownNotifications();

    // ----- User-mode service layer.  PASSIVE_LEVEL, on a thread of `process` (or the System
    // process for kernel callers).  Statuses are NTSTATUS; nothing throws.
    //
    // Opens `name` ("\Device\X", "\DosDevices\X", "\??\X"; links are followed) with IRP_MJ_CREATE.
    // `synchronous` chooses a synchronous handle (requests wait for completion) or an overlapped
    // one (requests may return STATUS_PENDING and complete into the caller's event and block).
    OpenFileResult OpenFile(Process* process, const std::u16string& name, ACCESS_MASK desiredAccess,
                            ULONG shareAccess, ULONG disposition, bool synchronous);
    // Sends a device-control request on `handle`.  Buffers by the code's transfer method:
    // METHOD_BUFFERED through a system buffer copied back on success, METHOD_IN/OUT_DIRECT with an
    // MDL over the caller's output buffer, METHOD_NEITHER with the caller's pointers.
    // Synchronous handles wait and return the final status; overlapped handles return
    // STATUS_PENDING when the driver does, then write *iosb and set `event` (a handle of the
    // process to an event object, may be null) at completion.
    NTSTATUS DeviceIoControl(Process* process, HANDLE handle, ULONG ioControlCode, PVOID inputBuffer,
                             ULONG inputLength, PVOID outputBuffer, ULONG outputLength, HANDLE event,
                             PIO_STATUS_BLOCK iosb);
    // IRP_MJ_CLEANUP for the file's last handle, then the handle goes; IRP_MJ_CLOSE follows when
    // the last reference to the file object does.
    NTSTATUS CloseHandle(Process* process, HANDLE handle);
    // Cancels the process's pending requests and sends cleanup for its open files (hooked into
    // ObjectManager::OnProcessTerminating).  Bug-checks PROCESS_HAS_LOCKED_PAGES when a request
    // that is still pending keeps pages of the process locked.
    void OnProcessTerminating(Process* process);

    // Finishes dereferences deferred from DISPATCH_LEVEL.  PASSIVE_LEVEL.
    void RunDeferredWork();

    // ----- Internal interfaces of the io component (irp.cpp, mdl.cpp, ...).
    std::mutex& Lock() { return lock_; }
    PKSPIN_LOCK CancelSpinLock() { return &cancelLock_; }

    // Dispatch bookkeeping for the pending rules.  Any IRQL <= DISPATCH_LEVEL.
    ULONGLONG BeginDispatch(PIRP irp, PDEVICE_OBJECT device);
    void EndDispatch(PIRP irp, CCHAR location, ULONGLONG id, NTSTATUS status);
    void CompletionPassing(PIRP irp, CCHAR location);

    // Freed thread IRPs stay in a short quarantine so that a second completion is recognised.
    void Quarantine(PIRP irp);
    // A second mapping that was removed: the address range stays reserved and inaccessible for a
    // while so that a stale pointer faults.
    void PoisonRange(void* base, size_t length);

    // Pending requests of user processes (for cancellation at termination) and locked pages.
    void TrackPending(PIRP irp, Process* process);
    // A finished packet leaves its process's list; true when the caller frees it now, false when
    // a canceller holds it (the canceller frees it).
    bool ReleaseAfterCancelHold(PIRP irp);
    void AddLockedPages(Process* process, LONG pages);
    void DeferDereference(PVOID object);

    // Namespace.  Names are case-insensitive; "\DosDevices\" and "\??\" are one directory.
    NTSTATUS InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device);
    void RemoveDeviceName(const std::u16string& name);
    NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
    NTSTATUS DeleteLink(const std::u16string& link);
    // Follows links; returns the named device (not referenced) or null, and in *remainder what
    // follows the device's name ("" or "\..."; may be null).  Caller holds lock_.
    PDEVICE_OBJECT LookupDeviceLocked(const std::u16string& name, NTSTATUS* status,
                                      std::u16string* remainder);
    void AddShutdownDevice(PDEVICE_OBJECT device);
    void RemoveShutdownDevice(PDEVICE_OBJECT device);
    static std::u16string CanonicalName(const std::u16string& name);

private:
    struct ProcessIo {
        ProcessIo() { KeInitializeEvent(&AllDone, NotificationEvent, TRUE); }
        std::set<PIRP> Pending;       // requests issued by the process, not yet finished
        KEVENT AllDone;               // signalled while Pending is empty
        LONG LockedPages = 0;         // pages locked by MmProbeAndLockPages for the process's buffers
        std::set<PFILE_OBJECT> Files; // open files (one handle each)
    };
    struct NameEntry {
        PDEVICE_OBJECT Device = nullptr; // a device name ...
        std::u16string Target;           // ... or a symbolic link to this name
    };

    NTSTATUS SendCleanup(PFILE_OBJECT file);

    Kernel& kernel_;
    KSPIN_LOCK cancelLock_ = 0;

    std::mutex lock_;
    std::map<std::u16string, NameEntry> names_;   // guarded by lock_; key: CanonicalName
    std::vector<PDEVICE_OBJECT> shutdownDevices_; // guarded by lock_; referenced
    std::map<Process*, ProcessIo> processes_;     // guarded by lock_
    std::map<std::pair<PIRP, int>, std::vector<DispatchRecord>> dispatches_; // guarded by lock_
    ULONGLONG nextDispatchId_ = 1;                                           // guarded by lock_
    std::deque<PIRP> quarantine_;                                            // guarded by lock_
    std::deque<std::pair<void*, size_t>> poisoned_;                          // guarded by lock_
    std::vector<PVOID> deferredDerefs_;                                      // guarded by lock_
    std::vector<LoadedDriver*> drivers_;                                     // guarded by lock_
};

} // namespace nt
