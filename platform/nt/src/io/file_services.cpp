// The kernel side of user-mode file I/O: open by name (IRP_MJ_CREATE), device control by
// transfer method, close (IRP_MJ_CLEANUP on the last handle, IRP_MJ_CLOSE on the last reference)
// and the run-down of a terminating process.
//
// A file object is an object-manager object of type *IoFileObjectType: the FILE_OBJECT followed
// by the I/O manager's FileExtra.  The file holds one ReferenceCount on the named device; each
// request in flight holds an object reference on the file.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"
#include "ob/object_manager.h"
#include "ob/process.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace nt;

namespace {

struct FileExtra {
    Process* Owner = nullptr;        // the process that opened it (System for kernel opens)
    PDEVICE_OBJECT Device = nullptr; // the named device (holds one ReferenceCount)
    bool CreateSucceeded = false;    // IRP_MJ_CLOSE is sent only for a file the driver accepted
    bool CleanedUp = false;          // IRP_MJ_CLEANUP was sent
    std::u16string Name;             // backing store of FILE_OBJECT.FileName
};

constexpr size_t kExtraOffset = (sizeof(FILE_OBJECT) + 15) & ~size_t(15);

FileExtra* ExtraOf(PFILE_OBJECT file) {
    return reinterpret_cast<FileExtra*>(reinterpret_cast<UCHAR*>(file) + kExtraOffset);
}

KPROCESSOR_MODE ModeFor(Process* process) {
    return process == nullptr || process->IsSystem ? KernelMode : UserMode;
}

// Sends a create/cleanup/close-style request for `file` to the top of its device's stack.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK iosb,
                         void (*fill)(PIO_STACK_LOCATION, void*) = nullptr, void* context = nullptr) {
    PDEVICE_OBJECT top = IopTopOfStack(file->DeviceObject);
    PIRP irp = IopAllocateThreadIrp(top, major, mode);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = file;
    if (fill != nullptr)
        fill(next, context);
    if (major == IRP_MJ_CREATE)
        irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    if (major == IRP_MJ_CLOSE)
        irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    return IopCallAndWait(top, irp, iosb);
}

struct CreateParameters {
    IO_SECURITY_CONTEXT Security;
    ULONG Options;
    USHORT ShareAccess;
};

// Creates the file object and sends IRP_MJ_CREATE.  On success *out holds the creation reference.
NTSTATUS OpenFileObject(Process* process, const std::u16string& name, ACCESS_MASK desiredAccess,
                        ULONG shareAccess, ULONG disposition, bool synchronous, PFILE_OBJECT* out,
                        ULONG_PTR* information) {
    IoManager& io = IoManager::Current();
    *out = nullptr;
    NTSTATUS status;
    std::u16string remainder;
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(io.Lock());
        device = io.LookupDeviceLocked(name, &status, &remainder);
        if (device == nullptr)
            return status;
        _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
        if (ext->DeletePending || (device->Flags & DO_DEVICE_INITIALIZING))
            return STATUS_NO_SUCH_DEVICE;
        if (ext->Exclusive && device->ReferenceCount != 0)
            return STATUS_ACCESS_DENIED;
        device->ReferenceCount++;
    }
    auto* file =
        static_cast<PFILE_OBJECT>(ObCreateObjectBody(*IoFileObjectType, kExtraOffset + sizeof(FileExtra)));
    if (file == nullptr) {
        IopDropDeviceReference(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FileExtra* extra = new (ExtraOf(file)) FileExtra();
    extra->Owner = process;
    extra->Device = device;
    extra->Name = remainder;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = extra->Name.data();
    file->FileName.Length = static_cast<USHORT>(extra->Name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    file->Flags = synchronous ? FO_SYNCHRONOUS_IO : 0;
    file->ReadAccess = (desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    file->WriteAccess =
        (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (desiredAccess & DELETE) != 0;
    file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;

    CreateParameters params{};
    params.Security.DesiredAccess = desiredAccess;
    params.Options =
        (disposition << 24) | (synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0) | FILE_NON_DIRECTORY_FILE;
    params.ShareAccess = static_cast<USHORT>(shareAccess);
    IO_STATUS_BLOCK iosb{};
    iosb.Information = FILE_OPENED;
    status = SendFileRequest(
        file, IRP_MJ_CREATE, ModeFor(process), &iosb,
        [](PIO_STACK_LOCATION next, void* context) {
            auto* p = static_cast<CreateParameters*>(context);
            next->Parameters.Create.SecurityContext = &p->Security;
            next->Parameters.Create.Options = p->Options;
            next->Parameters.Create.ShareAccess = p->ShareAccess;
        },
        &params);
    io.RunDeferredWork();
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(file); // no IRP_MJ_CLOSE: the driver never accepted the file
        return status;
    }
    extra->CreateSucceeded = true;
    *information = iosb.Information;
    *out = file;
    return STATUS_SUCCESS;
}

} // namespace

namespace nt {

// Delete routine of *IoFileObjectType: the last reference is gone.  PASSIVE_LEVEL (references
// dropped at DISPATCH_LEVEL are deferred).
void IopDeleteFile(PVOID body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    FileExtra* extra = ExtraOf(file);
    if (extra->CreateSucceeded) {
        KiAssertIrqlAtMost(PASSIVE_LEVEL, "the last dereference of a file object");
        IO_STATUS_BLOCK iosb{};
        SendFileRequest(file, IRP_MJ_CLOSE, ModeFor(extra->Owner), &iosb);
    }
    if (extra->Device != nullptr)
        IopDropDeviceReference(extra->Device);
    extra->~FileExtra();
}

OpenFileResult IoManager::OpenFile(Process* process, const std::u16string& name, ACCESS_MASK desiredAccess,
                                   ULONG shareAccess, ULONG disposition, bool synchronous) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::OpenFile");
    RunDeferredWork();
    if (process == nullptr)
        process = kernel_.Ob().SystemProcess();
    OpenFileResult result;
    PFILE_OBJECT file = nullptr;
    result.Status = OpenFileObject(process, name, desiredAccess, shareAccess, disposition, synchronous, &file,
                                   &result.Information);
    if (!NT_SUCCESS(result.Status))
        return result;
    result.Status = ObInsertHandle(file, process, desiredAccess, &result.Handle);
    if (NT_SUCCESS(result.Status)) {
        std::lock_guard<std::mutex> guard(lock_);
        processes_[process].Files.insert(file);
    } else {
        ExtraOf(file)->CleanedUp = true;
        SendCleanup(file);
    }
    ObDereferenceObject(file); // the handle holds the file now
    return result;
}

NTSTATUS IoManager::SendCleanup(PFILE_OBJECT file) {
    IO_STATUS_BLOCK iosb{};
    return SendFileRequest(file, IRP_MJ_CLEANUP, ModeFor(ExtraOf(file)->Owner), &iosb);
}

NTSTATUS IoManager::DeviceIoControl(Process* process, HANDLE handle, ULONG ioControlCode, PVOID inputBuffer,
                                    ULONG inputLength, PVOID outputBuffer, ULONG outputLength, HANDLE event,
                                    PIO_STATUS_BLOCK iosb) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::DeviceIoControl");
    RunDeferredWork();
    if (process == nullptr)
        process = kernel_.Ob().SystemProcess();
    KPROCESSOR_MODE mode = ModeFor(process);

    // The code's access bits name the rights the handle must carry.
    ULONG access = (ioControlCode >> 14) & 3;
    ACCESS_MASK desired = ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
                          ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
    PVOID object = nullptr;
    NTSTATUS status = kernel_.Ob().ReferenceByHandle(handle, desired, *IoFileObjectType, mode, process,
                                                     mode == UserMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    PVOID eventObject = nullptr;
    if (event != nullptr) {
        status = kernel_.Ob().ReferenceByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, mode, process,
                                                mode == UserMode, &eventObject, nullptr);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(file);
            return status;
        }
        KeClearEvent(static_cast<PKEVENT>(eventObject));
    }
    auto fail = [&](NTSTATUS failure) {
        if (eventObject != nullptr)
            ObDereferenceObject(eventObject);
        ObDereferenceObject(file);
        return failure;
    };

    PDEVICE_OBJECT top = IopTopOfStack(file->DeviceObject);
    PIRP irp = IopAllocateThreadIrp(top, IRP_MJ_DEVICE_CONTROL, mode);
    if (irp == nullptr)
        return fail(STATUS_INSUFFICIENT_RESOURCES);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = file;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    auto discard = [&](NTSTATUS failure) {
        if (irp->MdlAddress != nullptr) {
            if (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED)
                MmUnlockPages(irp->MdlAddress);
            IoFreeMdl(irp->MdlAddress);
        }
        if (irp->AssociatedIrp.SystemBuffer != nullptr)
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferPoolTag);
        irp->IopTracking.Origin = kOriginDriver;
        IoFreeIrp(irp);
        return fail(failure);
    };

    ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        irp->UserBuffer = outputBuffer;
    } else {
        ULONG systemLength = method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
        if (systemLength != 0) {
            PVOID buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, systemLength, kBufferPoolTag);
            if (buffer == nullptr)
                return discard(STATUS_INSUFFICIENT_RESOURCES);
            if (inputBuffer != nullptr && inputLength != 0)
                std::memcpy(buffer, inputBuffer, inputLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (method == METHOD_BUFFERED) {
            if (outputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = outputBuffer;
                irp->IopTracking.UserOutputLength = outputLength;
            }
        } else if (outputLength != 0) {
            if (outputBuffer == nullptr)
                return discard(STATUS_INVALID_PARAMETER);
            PMDL mdl = IoAllocateMdl(outputBuffer, outputLength, FALSE, FALSE, irp);
            if (mdl == nullptr)
                return discard(STATUS_INSUFFICIENT_RESOURCES);
            NTSTATUS probe =
                IopProbeAndLock(mdl, mode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
            if (!NT_SUCCESS(probe))
                return discard(probe);
        }
    }

    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    KEVENT done;
    IO_STATUS_BLOCK localIosb{};
    if (synchronous) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp->UserEvent = &done;
        irp->UserIosb = &localIosb;
    } else {
        irp->UserEvent = static_cast<PKEVENT>(eventObject);
        irp->IopTracking.EventObject = eventObject; // the packet owns this reference now
        eventObject = nullptr;
        irp->UserIosb = iosb;
    }
    irp->Tail.Overlay.OriginalFileObject = file; // the packet owns the lookup's reference
    if (mode == UserMode)
        TrackPending(irp, process);

    status = IoCallDriver(top, irp);
    if (synchronous) {
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, mode, FALSE, nullptr);
            status = localIosb.Status;
        } else {
            // Finished before the dispatch routine returned; the block holds the final status.
            status = localIosb.Status;
        }
        if (iosb != nullptr)
            *iosb = localIosb;
        if (eventObject != nullptr) {
            KeSetEvent(static_cast<PKEVENT>(eventObject), 0, FALSE);
            ObDereferenceObject(eventObject);
        }
    }
    RunDeferredWork();
    return status;
}

NTSTATUS IoManager::CloseHandle(Process* process, HANDLE handle) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::CloseHandle");
    RunDeferredWork();
    if (process == nullptr)
        process = kernel_.Ob().SystemProcess();
    KPROCESSOR_MODE mode = ModeFor(process);
    PVOID object = nullptr;
    NTSTATUS status =
        kernel_.Ob().ReferenceByHandle(handle, 0, nullptr, mode, process, false, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    if (ObGetObjectType(object) == *IoFileObjectType) {
        auto* file = static_cast<PFILE_OBJECT>(object);
        FileExtra* extra = ExtraOf(file);
        bool cleanup = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!extra->CleanedUp) {
                extra->CleanedUp = true;
                cleanup = true;
                processes_[process].Files.erase(file);
            }
        }
        if (cleanup)
            SendCleanup(file);
    }
    ObDereferenceObject(object);
    status = kernel_.Ob().CloseHandle(process, handle, mode);
    RunDeferredWork();
    return status;
}

void IoManager::OnProcessTerminating(Process* process) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoManager::OnProcessTerminating");
    RunDeferredWork();
    std::vector<PIRP> pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = processes_.find(process);
        if (it == processes_.end())
            return;
        for (PIRP irp : it->second.Pending) {
            irp->IopTracking.CancelHolds++;
            pending.push_back(irp);
        }
    }
    for (PIRP irp : pending)
        IoCancelIrp(irp);
    std::vector<PIRP> release;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PIRP irp : pending)
            if (--irp->IopTracking.CancelHolds == 0 && irp->IopTracking.FreePending)
                release.push_back(irp);
    }
    for (PIRP irp : release)
        IopReleaseIrp(irp);

    // Give cancelled requests that complete from a DPC a moment (virtual time) to finish.
    ProcessIo* pio;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pio = &processes_[process];
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 1000 * 1000; // 1 s
    KeWaitForSingleObject(&pio->AllDone, Executive, KernelMode, FALSE, &timeout);

    std::vector<PFILE_OBJECT> files;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (pio->LockedPages > 0) {
            ULONG_PTR pages = static_cast<ULONG_PTR>(pio->LockedPages);
            lock_.unlock();
            VfBugCheck(PROCESS_HAS_LOCKED_PAGES, 0, reinterpret_cast<ULONG_PTR>(process), pages, 0,
                       "a process ended while a request it issued still keeps its pages locked (" +
                           process->Name + ", " + std::to_string(pages) + " pages)");
        }
        // Requests still pending complete later without writing to the ended process.
        for (PIRP irp : pio->Pending)
            irp->IopTracking.Orphaned = TRUE;
        for (PFILE_OBJECT file : pio->Files) {
            if (!ExtraOf(file)->CleanedUp) {
                ExtraOf(file)->CleanedUp = true;
                ObReferenceObject(file);
                files.push_back(file);
            }
        }
        pio->Files.clear();
    }
    for (PFILE_OBJECT file : files) {
        SendCleanup(file);
        ObDereferenceObject(file);
    }
    RunDeferredWork();
}

} // namespace nt

// IRQL: PASSIVE_LEVEL.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    IoManager& io = IoManager::Current();
    PFILE_OBJECT file = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status = OpenFileObject(io.kernel().Ob().SystemProcess(), IopToString(ObjectName), DesiredAccess,
                                     0, FILE_OPEN, true, &file, &information);
    if (!NT_SUCCESS(status))
        return status;
    // No handle stays open: the caller keeps only the reference, as after the handle's close.
    ExtraOf(file)->CleanedUp = true;
    IO_STATUS_BLOCK iosb{};
    SendFileRequest(file, IRP_MJ_CLEANUP, KernelMode, &iosb);
    *FileObject = file;
    *DeviceObject = IopTopOfStack(file->DeviceObject);
    return STATUS_SUCCESS;
}
