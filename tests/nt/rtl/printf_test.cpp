// The bounded formatted print: directives as the kernel's callers use them, truncation, refusals.

#include <gtest/gtest.h>

#include <wdm.h>

#include <string>

namespace {

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

TEST(PrintfTest, DirectivesFormatLikeTheWindowsFormatter) {
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"Common");
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "ansi");
    WCHAR buf[128];
    auto fmt = [&](NTSTATUS expected, const char16_t* format, auto... args) {
        EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof(buf), format, args...), expected) << Narrow(format);
        return Narrow(buf);
    };
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"\\Device\\%s%03d", u"Vexwdm", 1), "\\Device\\Vexwdm001");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"\\DosDevices\\%ws%03d", u"Vexwdm", 12), "\\DosDevices\\Vexwdm012");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%S|%hs|%ls", "narrow", "hs", u"ls"), "narrow|hs|ls");
    EXPECT_EQ(
        fmt(STATUS_SUCCESS, u"%s\\%s\\%s\\%s", u"\\Registry\\Machine\\SOFTWARE\\Classes", u"CLSID",
            u"{5E0B9C43-D217-4A8E-B36F-91C4E28A0D57}", u"VEXDRVID"),
        "\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{5E0B9C43-D217-4A8E-B36F-91C4E28A0D57}\\VEXDRVID");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%d %i %u %lu %ld", -5, 7, 4000000000u, 4294967295u, -2147483647 - 1),
              "-5 7 4000000000 4294967295 -2147483648");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%x %X %08x %#x %o %#o", 0xbeefu, 0xbeefu, 0x2au, 0x2au, 8u, 8u),
              "beef BEEF 0000002a 0x2a 10 010");
    EXPECT_EQ(
        fmt(STATUS_SUCCESS, u"%I64d %lld %I64x %Iu", -1234567890123LL, 5LL, 0x123456789aULL, size_t(77)),
        "-1234567890123 5 123456789a 77");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"[%5d][%-5d][%+d][% d][%05d][%.3d]", 42, 42, 42, 42, -42, 7),
              "[   42][42   ][+42][ 42][-0042][007]");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"[%*d][%.*s][%-4s]", 4, 9, 2, u"abc", u"x"), "[   9][ab][x   ]");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%wZ/%Z/%c/%%", &counted, &ansi, u'Q'), "Common/ansi/Q/%");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%s %wZ", static_cast<const char16_t*>(nullptr),
                  static_cast<PCUNICODE_STRING>(nullptr)),
              "(null) (null)");
    EXPECT_EQ(fmt(STATUS_SUCCESS, u"%p", reinterpret_cast<void*>(0xABCDEF)), "0000000000ABCDEF");
    EXPECT_EQ(fmt(STATUS_INVALID_PARAMETER, u"%n", nullptr), "");
    EXPECT_EQ(fmt(STATUS_INVALID_PARAMETER, u"%f", 1.0), "");
    EXPECT_EQ(fmt(STATUS_INVALID_PARAMETER, u"100%"), "");
}

TEST(PrintfTest, TruncationKeepsAPrefixAndTheTerminator) {
    WCHAR buf[8];
    for (auto& c : buf)
        c = u'#';
    EXPECT_EQ(RtlStringCchPrintfW(buf, 5, u"Vexwdm%03d", 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"Vexw");
    EXPECT_EQ(buf[5], u'#') << "nothing written past the given size";
    EXPECT_EQ(RtlStringCbPrintfW(buf, 10, u"%d", 1234), STATUS_SUCCESS); // exactly fits: 4 + terminator
    EXPECT_EQ(std::u16string(buf), u"1234");
    EXPECT_EQ(RtlStringCbPrintfW(buf, 1, u"x"), STATUS_INVALID_PARAMETER) << "no room for a character";

    WCHAR storage[6];
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, storage, sizeof(storage));
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%s%03d", u"Vex", 7), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"Vex007") << "a counted string needs no terminator";
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%s%03d", u"Vexwdm", 7), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"Vexwdm");
}

} // namespace
