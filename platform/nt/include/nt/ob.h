// Object manager: object types, references and handles (the subset drivers call).
#pragma once

#include <ntdef.h>

namespace nt {
struct ObjectType; // defined by the object manager (src/ob/object_manager.h)
} // namespace nt

typedef nt::ObjectType* POBJECT_TYPE;

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// The exported object types.  As on Windows each is a pointer to the kernel's variable, so a
// driver passes `*ExEventObjectType`.
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* CmKeyObjectType;

// Translates a handle of the current process (or a kernel handle) to the object's body and takes
// a reference.  ObjectType null accepts any type.  UserMode: the granted access must include
// DesiredAccess and kernel handles are invalid; KernelMode skips the access check.
// IRQL: PASSIVE_LEVEL.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
NTSTATUS ObReferenceObjectByHandleWithTag(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode, ULONG Tag, PVOID* Object,
                                          POBJECT_HANDLE_INFORMATION HandleInformation);

// Takes a reference on an object the caller already holds one on.  Type null accepts any type.
// IRQL: <= DISPATCH_LEVEL.
NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode);

// Reference counting; return the new count.  The last dereference deletes the object.
// IRQL: <= DISPATCH_LEVEL.
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
LONG_PTR ObfReferenceObjectWithTag(PVOID Object, ULONG Tag);
LONG_PTR ObfDereferenceObjectWithTag(PVOID Object, ULONG Tag);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#define ObReferenceObjectWithTag(Object, Tag) ObfReferenceObjectWithTag(Object, Tag)
#define ObDereferenceObjectWithTag(Object, Tag) ObfDereferenceObjectWithTag(Object, Tag)

// Closes a handle of the current process or a kernel handle; the handle's reference goes.
// Closing a handle that is not valid bug-checks INVALID_KERNEL_HANDLE (kernel-mode caller).
// IRQL: PASSIVE_LEVEL.
NTSTATUS ZwClose(HANDLE Handle);
