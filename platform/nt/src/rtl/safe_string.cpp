// The safe string functions: bounded copies and a formatted print into a fixed buffer.
//
// The formatter is a state machine over the format string:
//   Text -> (on '%') Flags -> Width -> Precision -> Size -> Conversion -> Text
// Each state consumes the characters it owns and hands the first other character to the next
// state.  Output goes to a bounded sink that counts what did not fit.

#include <nt/rtl.h>

#include <cstdint>

namespace {

// Collects output up to `capacity` characters and remembers whether anything was dropped.
class Sink {
public:
    Sink(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    void Put(WCHAR c) {
        if (used_ < capacity_)
            buffer_[used_++] = c;
        else
            truncated_ = true;
    }
    void Repeat(WCHAR c, size_t n) {
        for (size_t i = 0; i < n; ++i)
            Put(c);
    }
    size_t Used() const { return used_; }
    bool Truncated() const { return truncated_; }

private:
    WCHAR* buffer_;
    size_t capacity_;
    size_t used_ = 0;
    bool truncated_ = false;
};

enum class State { Text, Flags, Width, Precision, Size, Conversion };
enum class Size { Default, Short, Long, LongLong, Wide, Pointer };

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1; // -1: not given
    Size size = Size::Default;
};

// Lays out a field: sign/prefix, zero or space padding, digits or text.
void EmitField(Sink& out, const Spec& spec, const WCHAR* prefix, size_t prefixLen, const WCHAR* body,
               size_t bodyLen, bool numeric) {
    size_t zeros = 0;
    if (numeric && spec.precision >= 0 && static_cast<size_t>(spec.precision) > bodyLen)
        zeros = spec.precision - bodyLen;
    size_t total = prefixLen + zeros + bodyLen;
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > total ? spec.width - total : 0;
    bool zeroPad = numeric && spec.zero && !spec.left && spec.precision < 0;
    if (!spec.left && !zeroPad)
        out.Repeat(u' ', pad);
    for (size_t i = 0; i < prefixLen; ++i)
        out.Put(prefix[i]);
    if (zeroPad)
        out.Repeat(u'0', pad);
    out.Repeat(u'0', zeros);
    for (size_t i = 0; i < bodyLen; ++i)
        out.Put(body[i]);
    if (spec.left)
        out.Repeat(u' ', pad);
}

void EmitInteger(Sink& out, const Spec& spec, uint64_t magnitude, bool negative, unsigned base, bool upper,
                 bool isSigned) {
    WCHAR digits[32];
    size_t n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    if (!(magnitude == 0 && spec.precision == 0)) {
        do {
            digits[n++] = static_cast<WCHAR>(set[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
    }
    for (size_t i = 0; i < n / 2; ++i) {
        WCHAR t = digits[i];
        digits[i] = digits[n - 1 - i];
        digits[n - 1 - i] = t;
    }
    WCHAR prefix[2];
    size_t prefixLen = 0;
    if (isSigned) {
        if (negative)
            prefix[prefixLen++] = u'-';
        else if (spec.plus)
            prefix[prefixLen++] = u'+';
        else if (spec.space)
            prefix[prefixLen++] = u' ';
    } else if (spec.alt && n != 0 && !(n == 1 && digits[0] == u'0')) {
        if (base == 16) {
            prefix[prefixLen++] = u'0';
            prefix[prefixLen++] = upper ? u'X' : u'x';
        } else if (base == 8) {
            prefix[prefixLen++] = u'0';
        }
    }
    EmitField(out, spec, prefix, prefixLen, digits, n, true);
}

// Strings: wide or narrow, limited by precision; "(null)" for a null pointer.
void EmitWide(Sink& out, const Spec& spec, const WCHAR* s, size_t len) {
    EmitField(out, spec, nullptr, 0, s, len, false);
}

void EmitNarrow(Sink& out, const Spec& spec, const char* s, size_t len) {
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > len ? spec.width - len : 0;
    if (!spec.left)
        out.Repeat(u' ', pad);
    for (size_t i = 0; i < len; ++i)
        out.Put(static_cast<WCHAR>(static_cast<unsigned char>(s[i]))); // ANSI as Latin-1
    if (spec.left)
        out.Repeat(u' ', pad);
}

size_t Limit(size_t length, const Spec& spec) {
    return spec.precision >= 0 && static_cast<size_t>(spec.precision) < length ? spec.precision : length;
}

const WCHAR kNull[] = u"(null)";

// Formats into `out`; false for a format this formatter refuses (%n, floating point, unknown).
bool Format(Sink& out, const WCHAR* format, va_list args) {
    State state = State::Text;
    Spec spec;
    const WCHAR* p = format;
    while (*p != 0) {
        WCHAR c = *p;
        switch (state) {
        case State::Text:
            if (c == u'%') {
                spec = Spec{};
                state = State::Flags;
            } else {
                out.Put(c);
            }
            ++p;
            break;
        case State::Flags:
            if (c == u'-')
                spec.left = true;
            else if (c == u'+')
                spec.plus = true;
            else if (c == u' ')
                spec.space = true;
            else if (c == u'#')
                spec.alt = true;
            else if (c == u'0')
                spec.zero = true;
            else {
                state = State::Width;
                break;
            }
            ++p;
            break;
        case State::Width:
            if (c == u'*') {
                int w = va_arg(args, int);
                if (w < 0) {
                    spec.left = true;
                    w = -w;
                }
                spec.width = w;
                ++p;
            } else if (c >= u'0' && c <= u'9') {
                spec.width = spec.width * 10 + (c - u'0');
                ++p;
            } else if (c == u'.') {
                spec.precision = 0;
                state = State::Precision;
                ++p;
            } else {
                state = State::Size;
            }
            break;
        case State::Precision:
            if (c == u'*') {
                int prec = va_arg(args, int);
                spec.precision = prec < 0 ? -1 : prec;
                ++p;
            } else if (c >= u'0' && c <= u'9') {
                spec.precision = spec.precision * 10 + (c - u'0');
                ++p;
            } else {
                state = State::Size;
            }
            break;
        case State::Size:
            if (c == u'h') {
                spec.size = Size::Short;
                ++p;
            } else if (c == u'l') {
                spec.size = spec.size == Size::Long ? Size::LongLong : Size::Long;
                ++p;
            } else if (c == u'w') {
                spec.size = Size::Wide;
                ++p;
            } else if (c == u'z') {
                spec.size = Size::Pointer;
                ++p;
            } else if (c == u'I') {
                if (p[1] == u'6' && p[2] == u'4') {
                    spec.size = Size::LongLong;
                    p += 3;
                } else if (p[1] == u'3' && p[2] == u'2') {
                    spec.size = Size::Long;
                    p += 3;
                } else {
                    spec.size = Size::Pointer;
                    ++p;
                }
            } else {
                state = State::Conversion;
            }
            break;
        case State::Conversion: {
            ++p;
            state = State::Text;
            switch (c) {
            case u'%':
                out.Put(u'%');
                break;
            case u'd':
            case u'i': {
                int64_t v;
                // LONG is 32 bits wide, so "l" reads 32 bits as on Windows.
                if (spec.size == Size::LongLong || spec.size == Size::Pointer)
                    v = va_arg(args, int64_t);
                else if (spec.size == Size::Short)
                    v = static_cast<short>(va_arg(args, int));
                else
                    v = va_arg(args, int32_t);
                uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                EmitInteger(out, spec, magnitude, v < 0, 10, false, true);
                break;
            }
            case u'u':
            case u'x':
            case u'X':
            case u'o': {
                uint64_t v;
                if (spec.size == Size::LongLong || spec.size == Size::Pointer)
                    v = va_arg(args, uint64_t);
                else if (spec.size == Size::Short)
                    v = static_cast<unsigned short>(va_arg(args, unsigned));
                else
                    v = va_arg(args, uint32_t);
                unsigned base = c == u'u' ? 10 : c == u'o' ? 8 : 16;
                EmitInteger(out, spec, v, false, base, c == u'X', false);
                break;
            }
            case u'p': {
                Spec pointer = spec;
                pointer.precision = 16; // all 16 digits, upper case
                pointer.alt = false;
                EmitInteger(out, pointer, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true,
                            false);
                break;
            }
            case u'c':
            case u'C': {
                int v = va_arg(args, int);
                bool narrow = spec.size == Size::Short ||
                              (c == u'C' && spec.size != Size::Long && spec.size != Size::Wide);
                WCHAR ch = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(v)) : static_cast<WCHAR>(v);
                EmitWide(out, spec, &ch, 1);
                break;
            }
            case u's':
            case u'S': {
                // In a wide format %s is wide and %S narrow; h forces narrow, l and w force wide.
                bool narrow = spec.size == Size::Short ||
                              (c == u'S' && spec.size != Size::Long && spec.size != Size::Wide);
                if (narrow) {
                    const char* s = va_arg(args, const char*);
                    if (s == nullptr)
                        EmitWide(out, spec, kNull, Limit(6, spec));
                    else {
                        size_t len = 0;
                        while ((spec.precision < 0 || len < static_cast<size_t>(spec.precision)) &&
                               s[len] != 0)
                            ++len;
                        EmitNarrow(out, spec, s, len);
                    }
                } else {
                    const WCHAR* s = va_arg(args, const WCHAR*);
                    if (s == nullptr)
                        s = kNull;
                    size_t len = 0;
                    while ((spec.precision < 0 || len < static_cast<size_t>(spec.precision)) && s[len] != 0)
                        ++len;
                    EmitWide(out, spec, s, len);
                }
                break;
            }
            case u'Z': {
                // %wZ: a counted UTF-16 string; %Z (or %hZ): a counted ANSI string.
                if (spec.size == Size::Wide || spec.size == Size::Long) {
                    auto* s = va_arg(args, PCUNICODE_STRING);
                    if (s == nullptr || s->Buffer == nullptr)
                        EmitWide(out, spec, kNull, Limit(6, spec));
                    else
                        EmitWide(out, spec, s->Buffer, Limit(s->Length / sizeof(WCHAR), spec));
                } else {
                    auto* s = va_arg(args, const ANSI_STRING*);
                    if (s == nullptr || s->Buffer == nullptr)
                        EmitWide(out, spec, kNull, Limit(6, spec));
                    else
                        EmitNarrow(out, spec, s->Buffer, Limit(s->Length, spec));
                }
                break;
            }
            default:
                return false; // %n, floating point and unknown conversions are refused
            }
            break;
        }
        }
    }
    return state == State::Text; // a format ending inside a directive is invalid
}

NTSTATUS PrintfCch(WCHAR* dest, size_t cch, const WCHAR* format, va_list args) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || dest == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    Sink out(dest, cch - 1);
    bool ok = Format(out, format, args);
    dest[out.Used()] = 0;
    if (!ok) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return out.Truncated() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS CopyCch(WCHAR* dest, size_t cch, const WCHAR* src) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || dest == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (src == nullptr) {
        dest[0] = 0;
        return STATUS_SUCCESS;
    }
    size_t i = 0;
    while (i < cch - 1 && src[i] != 0) {
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    return src[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS LengthCch(const WCHAR* s, size_t cchMax, size_t* length) {
    if (length)
        *length = 0;
    if (s == nullptr || cchMax > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < cchMax; ++i)
        if (s[i] == 0) {
            if (length)
                *length = i;
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}

} // namespace

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
    return PrintfCch(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                             va_list argList) {
    return PrintfCch(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintfCch(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = PrintfCch(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    if (DestinationString == nullptr || pszFormat == nullptr || (DestinationString->MaximumLength & 1) != 0 ||
        (DestinationString->Buffer == nullptr && DestinationString->MaximumLength != 0))
        return STATUS_INVALID_PARAMETER;
    va_list args;
    va_start(args, pszFormat);
    Sink out(DestinationString->Buffer, DestinationString->MaximumLength / sizeof(WCHAR));
    bool ok = Format(out, pszFormat, args);
    va_end(args);
    if (!ok) {
        DestinationString->Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    DestinationString->Length = static_cast<USHORT>(out.Used() * sizeof(WCHAR));
    return out.Truncated() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return CopyCch(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return CopyCch(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    if (cbMax > NTSTRSAFE_MAX_CCH * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    size_t cch = 0;
    NTSTATUS status = LengthCch(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength)
        *pcbLength = cch * sizeof(WCHAR);
    return status;
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return LengthCch(psz, cchMax, pcchLength);
}
