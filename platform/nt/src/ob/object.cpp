// Object headers, reference counts and the exported object types.

#include "ob/object_manager.h"

#include "ob/ke_imports.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace nt {

namespace {

constexpr ULONG kHeaderMagic = 0x6A624F68; // "hObj"
constexpr ULONG kDeadMagic = 0x64416544;   // written when the object is freed

// Lives immediately before every body; 16-byte aligned so that bodies are too.
struct alignas(16) ObjectHeader {
    ULONG Magic;
    std::atomic<LONG_PTR> PointerCount;
    POBJECT_TYPE Type;
    size_t BodySize;
};

ObjectHeader* HeaderOf(PVOID body) {
    return reinterpret_cast<ObjectHeader*>(body) - 1;
}

// A pointer that is not an object body (or an object already deleted) is a driver bug.
ObjectHeader* CheckedHeader(PVOID body, const char* function) {
    if (body == nullptr)
        ObpBugCheck(0x18, 0, 0, 0, 0, std::string(function) + " called with a null object");
    ObjectHeader* header = HeaderOf(body);
    if (header->Magic != kHeaderMagic)
        ObpBugCheck(0x18, 0, reinterpret_cast<ULONG_PTR>(body), 0, header->Magic,
                    std::string(function) + " called with a pointer that is not a live object");
    return header;
}

// Deleted objects stay mapped for a while with a dead header, so that a stale reference is
// reported as REFERENCE_BY_POINTER instead of reading reused memory.  Under AddressSanitizer the
// body is poisoned meanwhile, so any use of it is reported too.
constexpr size_t kQuarantine = 1024;
std::mutex gQuarantineLock;
std::deque<ObjectHeader*> gQuarantine; // guarded by gQuarantineLock

void Release(ObjectHeader* header) {
    ASAN_UNPOISON_MEMORY_REGION(header + 1, header->BodySize);
    header->~ObjectHeader();
    std::free(header);
}

void DeleteObject(PVOID body, ObjectHeader* header) {
    if (header->Type && header->Type->Delete)
        header->Type->Delete(body);
    ObpCheckFreedMemory(body, header->BodySize);
    header->Magic = kDeadMagic;
    std::memset(body, 0xDF, header->BodySize);
    ASAN_POISON_MEMORY_REGION(body, header->BodySize);
    ObjectHeader* evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(gQuarantineLock);
        gQuarantine.push_back(header);
        if (gQuarantine.size() > kQuarantine) {
            evicted = gQuarantine.front();
            gQuarantine.pop_front();
        }
    }
    if (evicted)
        Release(evicted);
}

// Frees the quarantine when the library unloads (keeps leak checkers quiet).
struct QuarantineReaper {
    ~QuarantineReaper() {
        std::lock_guard<std::mutex> guard(gQuarantineLock);
        for (ObjectHeader* h : gQuarantine)
            Release(h);
        gQuarantine.clear();
    }
} gReaper;

// Generic mappings: which specific rights GENERIC_READ/WRITE/EXECUTE/ALL stand for per type.
constexpr GENERIC_MAPPING kEventMapping = {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE,
                                           STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                           STANDARD_RIGHTS_READ | SYNCHRONIZE, EVENT_ALL_ACCESS};
constexpr GENERIC_MAPPING kThreadMapping = {STANDARD_RIGHTS_READ | 0x0048, STANDARD_RIGHTS_WRITE | 0x0037,
                                            STANDARD_RIGHTS_READ | SYNCHRONIZE, THREAD_ALL_ACCESS};
constexpr ACCESS_MASK kProcessAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
constexpr GENERIC_MAPPING kProcessMapping = {STANDARD_RIGHTS_READ | 0x0410, STANDARD_RIGHTS_WRITE | 0x0BEA,
                                             STANDARD_RIGHTS_READ | SYNCHRONIZE | 0x1000, kProcessAllAccess};
constexpr ACCESS_MASK kFileAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;
constexpr GENERIC_MAPPING kFileMapping = {STANDARD_RIGHTS_READ | SYNCHRONIZE | 0x0089,
                                          STANDARD_RIGHTS_WRITE | SYNCHRONIZE | 0x0116,
                                          STANDARD_RIGHTS_READ | SYNCHRONIZE | 0x00A0, kFileAllAccess};
constexpr GENERIC_MAPPING kDeviceMapping = {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE, STANDARD_RIGHTS_READ,
                                            kFileAllAccess};
constexpr ACCESS_MASK kKeyAllAccess = 0xF003F;
constexpr GENERIC_MAPPING kKeyMapping = {0x20019, 0x20006, 0x20019, kKeyAllAccess};

// Delete routines are installed by the owning component (ke, io, cm) before objects exist.
ObjectType gEventType{"Event", nullptr, EVENT_ALL_ACCESS, kEventMapping};
ObjectType gThreadType{"Thread", nullptr, THREAD_ALL_ACCESS, kThreadMapping};
ObjectType gProcessType{"Process", nullptr, kProcessAllAccess, kProcessMapping};
ObjectType gFileType{"File", nullptr, kFileAllAccess, kFileMapping};
ObjectType gDeviceType{"Device", nullptr, kFileAllAccess, kDeviceMapping};
ObjectType gDriverType{"Driver", nullptr, kFileAllAccess, kDeviceMapping};
ObjectType gKeyType{"Key", nullptr, kKeyAllAccess, kKeyMapping};

POBJECT_TYPE gEventTypePtr = &gEventType;
POBJECT_TYPE gThreadTypePtr = &gThreadType;
POBJECT_TYPE gProcessTypePtr = &gProcessType;
POBJECT_TYPE gFileTypePtr = &gFileType;
POBJECT_TYPE gDeviceTypePtr = &gDeviceType;
POBJECT_TYPE gDriverTypePtr = &gDriverType;
POBJECT_TYPE gKeyTypePtr = &gKeyType;

} // namespace

PVOID ObCreateObjectBody(POBJECT_TYPE type, size_t bodySize) {
    ObpAssertIrqlAtMost(kDispatchLevel, "ObCreateObjectBody");
    void* memory = std::calloc(1, sizeof(ObjectHeader) + bodySize);
    if (memory == nullptr)
        return nullptr;
    auto* header = new (memory) ObjectHeader{};
    header->Magic = kHeaderMagic;
    header->PointerCount.store(1, std::memory_order_relaxed);
    header->Type = type;
    header->BodySize = bodySize;
    return header + 1;
}

POBJECT_TYPE ObGetObjectType(PVOID body) {
    return CheckedHeader(body, "ObGetObjectType")->Type;
}

LONG_PTR ObGetPointerCount(PVOID body) {
    return CheckedHeader(body, "ObGetPointerCount")->PointerCount.load(std::memory_order_acquire);
}

ACCESS_MASK ObMapAccess(POBJECT_TYPE type, ACCESS_MASK access) {
    if (type == nullptr)
        return access;
    const GENERIC_MAPPING& m = type->GenericMapping;
    if (access & GENERIC_READ)
        access |= m.GenericRead;
    if (access & GENERIC_WRITE)
        access |= m.GenericWrite;
    if (access & GENERIC_EXECUTE)
        access |= m.GenericExecute;
    if (access & GENERIC_ALL)
        access |= m.GenericAll;
    access &= ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    return access & type->ValidAccess;
}

} // namespace nt

using nt::CheckedHeader;

POBJECT_TYPE* ExEventObjectType = &nt::gEventTypePtr;
POBJECT_TYPE* PsThreadType = &nt::gThreadTypePtr;
POBJECT_TYPE* PsProcessType = &nt::gProcessTypePtr;
POBJECT_TYPE* IoFileObjectType = &nt::gFileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &nt::gDeviceTypePtr;
POBJECT_TYPE* IoDriverObjectType = &nt::gDriverTypePtr;
POBJECT_TYPE* CmKeyObjectType = &nt::gKeyTypePtr;

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    nt::ObpAssertIrqlAtMost(nt::kDispatchLevel, "ObfReferenceObject");
    auto* header = CheckedHeader(Object, "ObfReferenceObject");
    LONG_PTR previous = header->PointerCount.fetch_add(1, std::memory_order_relaxed);
    if (previous <= 0)
        nt::ObpBugCheck(0x18, 0, reinterpret_cast<ULONG_PTR>(Object), 0, previous,
                        "ObfReferenceObject on an object whose reference count already reached zero");
    return previous + 1;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    nt::ObpAssertIrqlAtMost(nt::kDispatchLevel, "ObfDereferenceObject");
    auto* header = CheckedHeader(Object, "ObfDereferenceObject");
    LONG_PTR previous = header->PointerCount.fetch_sub(1, std::memory_order_acq_rel);
    if (previous <= 0)
        nt::ObpBugCheck(0x18, 0, reinterpret_cast<ULONG_PTR>(Object), 0, previous,
                        "ObfDereferenceObject dropped more references than were taken");
    if (previous == 1)
        nt::DeleteObject(Object, header);
    return previous - 1;
}

LONG_PTR ObfReferenceObjectWithTag(PVOID Object, ULONG) {
    return ObfReferenceObject(Object);
}
LONG_PTR ObfDereferenceObjectWithTag(PVOID Object, ULONG) {
    return ObfDereferenceObject(Object);
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE) {
    auto* header = CheckedHeader(Object, "ObReferenceObjectByPointer");
    if (ObjectType != nullptr && header->Type != ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(Object);
    return STATUS_SUCCESS;
}
