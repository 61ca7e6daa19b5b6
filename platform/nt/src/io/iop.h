// Helpers shared by the I/O manager's source files (not visible to drivers).
#pragma once

#include "io/io_manager.h"

#include <string>

namespace nt {

constexpr ULONG kIrpMagic = 0x21505249;      // "IRP!": the packet is initialised
constexpr ULONG kIrpFreedMagic = 0x44455246; // "FRED": the packet was freed (quarantined)
constexpr ULONG kIrpIdle = 0;                // held by the driver that allocated it
constexpr ULONG kIrpDispatched = 1;          // sent down; a lower driver owns it
constexpr ULONG kOriginDriver = 0;           // IoAllocateIrp / IoInitializeIrp by a driver
constexpr ULONG kOriginThread = 1;           // finished and freed by the I/O manager
constexpr UCHAR kIrpAllocatedByIo = 0x04;    // AllocationFlags: memory from IoAllocateIrp

// A pool tag as it reads in a memory dump ("Irp " -> 'I' in the lowest byte).
constexpr ULONG IopTag(const char (&s)[5]) {
    return ULONG(UCHAR(s[0])) | ULONG(UCHAR(s[1])) << 8 | ULONG(UCHAR(s[2])) << 16 | ULONG(UCHAR(s[3])) << 24;
}
constexpr ULONG kIrpPoolTag = IopTag("Irp ");
constexpr ULONG kMdlPoolTag = IopTag("Mdl ");
constexpr ULONG kBufferPoolTag = IopTag("IoBf");
constexpr ULONG kDevicePoolTag = IopTag("IoDv");

// DRIVER_VERIFIER_DETECTED_VIOLATION with an I/O sub-code.  Any IRQL.
[[noreturn]] void IopViolation(ULONG subCode, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string rule);

// Location `location` (1 = the bottom driver's) of an IRP.
inline PIO_STACK_LOCATION IopStackLocation(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// Checks that `irp` is a live, initialised packet; `function` names the caller in the report.
void IopCheckIrp(PIRP irp, const char* function);

// The top of the stack `device` belongs to (not referenced).  Any IRQL; takes the I/O lock.
PDEVICE_OBJECT IopTopOfStack(PDEVICE_OBJECT device);

// A request the I/O manager finishes (thread IRP) for `device`'s stack, with the next location's
// major function set and the requestor mode of the calling thread.  Null when out of memory.
// IRQL: PASSIVE_LEVEL.
PIRP IopAllocateThreadIrp(PDEVICE_OBJECT device, UCHAR majorFunction, KPROCESSOR_MODE mode);
// Sends a thread IRP with a private event and status block and waits for it.  PASSIVE_LEVEL.
NTSTATUS IopCallAndWait(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb);
// The end of a thread IRP: copy-back, MDLs, status block, event, references, free.
void IopFinishThreadIrp(PIRP irp);
// Releases the packet's memory (through the quarantine).  Any IRQL <= DISPATCH_LEVEL.
void IopReleaseIrp(PIRP irp);
// Deletes a device whose deletion was pending once its last file reference is gone.
void IopCompleteDeviceDeletion(PDEVICE_OBJECT device);
// Drops an open file's reference on the device (ReferenceCount); completes a pending deletion on
// the last.  PASSIVE_LEVEL.
void IopDropDeviceReference(PDEVICE_OBJECT device);

// The process whose user memory the calling thread sees (the System process for system threads).
Process* IopCurrentProcess();

// Locks an MDL's pages for `mode` without raising: STATUS_ACCESS_VIOLATION when a user buffer is
// not memory of the current process.  IRQL: <= APC_LEVEL for user memory.
NTSTATUS IopProbeAndLock(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation);

std::u16string IopToString(PCUNICODE_STRING s);
std::string IopNarrow(const std::u16string& s);

} // namespace nt
