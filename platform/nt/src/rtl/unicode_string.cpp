// Counted strings and memory comparison.

#include <nt/rtl.h>

#include "ob/ke_imports.h"

namespace {

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Writes a terminator after the string when the buffer has room for one.
void TerminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, PCWSTR source, size_t bytes) {
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) // the longest string a USHORT length can describe with its terminator
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitEmptyUnicodeString(PUNICODE_STRING DestinationString, PWCHAR Buffer, USHORT BufferSize) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = BufferSize;
    DestinationString->Buffer = Buffer;
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE)
        bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= ~USHORT(1);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr)
        return STATUS_SUCCESS;
    return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return Append(Destination, Source->Buffer, Source->Length);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    // Latin, Latin-1, Greek and Cyrillic lower-case letters; everything else is its own upper case.
    if (c >= u'a' && c <= u'z')
        return static_cast<WCHAR>(c - 0x20);
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<WCHAR>(c - 0x50);
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

VOID RtlFailFast(ULONG Code) {
    nt::ObpBugCheck(0x139, Code, 0, 0, 0,
                    Code == FAST_FAIL_CORRUPT_LIST_ENTRY
                        ? "a LIST_ENTRY's neighbours do not point back at it (inserted twice, removed twice, "
                          "or freed while linked)"
                        : "fast fail");
}
