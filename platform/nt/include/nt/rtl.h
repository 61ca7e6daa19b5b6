// Run-time library: counted strings, memory helpers, doubly and singly linked lists, and the
// safe string functions (bounded, always terminated).
#pragma once

#include <ntdef.h>

#include <cstdarg>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Counted UTF-16 strings.  Lengths are in bytes.  Any IRQL for the non-paged buffers used here.
// ---------------------------------------------------------------------------------------------

// Points the string at a zero-terminated buffer (not copied); null gives an empty string.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitEmptyUnicodeString(PUNICODE_STRING DestinationString, PWCHAR Buffer, USHORT BufferSize);
// Copies as much as fits; terminates when room remains.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the result does not fit.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
// <0, 0, >0 as String1 sorts before, equal to or after String2.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);

// ---------------------------------------------------------------------------------------------
// Memory.
// ---------------------------------------------------------------------------------------------
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Source1, Source2, Length) (std::memcmp((Source1), (Source2), (Length)) == 0)
// The number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// Lists.  As on Windows the insert and remove operations check the neighbouring links first and
// stop the machine (KERNEL_SECURITY_CHECK_FAILURE, FAST_FAIL_CORRUPT_LIST_ENTRY) when a list is
// corrupt: an entry inserted twice, removed twice, or freed while linked shows up here.
// ---------------------------------------------------------------------------------------------
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3

// Stops the machine with KERNEL_SECURITY_CHECK_FAILURE and `Code` as the first parameter.
[[noreturn]] VOID RtlFailFast(ULONG Code);

inline VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return ListHead->Flink == ListHead;
}

// Returns TRUE when the list is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY flink = Entry->Flink;
    PLIST_ENTRY blink = Entry->Blink;
    if (flink->Blink != Entry || blink->Flink != Entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Flink;
    PLIST_ENTRY next = entry->Flink;
    if (entry->Blink != ListHead || next->Blink != entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Flink = next;
    next->Blink = ListHead;
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Blink;
    PLIST_ENTRY prev = entry->Blink;
    if (entry->Flink != ListHead || prev->Flink != entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Blink = prev;
    prev->Flink = ListHead;
    return entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY last = ListHead->Blink;
    if (last->Flink != ListHead)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY first = ListHead->Flink;
    if (first->Blink != ListHead)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = first;
    Entry->Blink = ListHead;
    first->Blink = Entry;
    ListHead->Flink = Entry;
}

inline VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    if (first != nullptr)
        ListHead->Next = first->Next;
    return first;
}

// ---------------------------------------------------------------------------------------------
// Safe strings.  Results are always zero-terminated (when the destination has room for at least
// the terminator); truncation returns STATUS_BUFFER_OVERFLOW with the truncated result in place.
// A destination of 0 characters, or more than NTSTRSAFE_MAX_CCH, is STATUS_INVALID_PARAMETER.
//
// Format directives: %d %i %u %x %X %o %c %s %S %ws %hs %ls %wZ %Z %p %% with flags (- + space
// 0 #), width and precision (also *), and size prefixes h l ll w I64 I32 I z.  In the wide
// functions %s and %ws take a UTF-16 string and %S / %hs a narrow one; %wZ takes a
// PCUNICODE_STRING.  IRQL: PASSIVE_LEVEL on Windows (the formatter may touch paged code); any
// IRQL here.
// ---------------------------------------------------------------------------------------------
#define NTSTRSAFE_MAX_CCH 2147483647
typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                             va_list argList);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList);
// Formats into the string's buffer up to MaximumLength (no terminator is added); sets Length.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
// Length in bytes without the terminator; STATUS_INVALID_PARAMETER when no terminator lies within
// cbMax bytes.  pcbLength may be null.
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
