// The kernel-mode COM base: IUnknown with Windows' slot order.  Kernel objects answer
// QueryInterface with an NTSTATUS (STATUS_SUCCESS or an error such as STATUS_INVALID_PARAMETER)
// and hand out referenced interface pointers.
#pragma once

#include <ntdef.h>

#ifndef DECLARE_GUID_CONSTANT
#define DECLARE_GUID_CONSTANT(name) extern const GUID name
#endif

// {00000000-0000-0000-C000-000000000046}
DECLARE_GUID_CONSTANT(IID_IUnknown);

// Slots: QueryInterface, AddRef, Release.
struct IUnknown {
    virtual NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default; // objects go through Release, never through delete on an interface
};
typedef IUnknown* PUNKNOWN;

// An aggregatable object's own unknown, distinct from the controlling unknown it forwards to.
// Slots: NonDelegatingQueryInterface, NonDelegatingAddRef, NonDelegatingRelease.
struct INonDelegatingUnknown {
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;
