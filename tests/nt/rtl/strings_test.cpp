// Counted strings: initialisation, copies and appends that respect MaximumLength, comparisons.

#include <gtest/gtest.h>

#include <wdm.h>

#include <string>

namespace {

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST(UnicodeStringTest, InitCopyAndAppendStayWithinTheBuffer) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Vexwdm");
    EXPECT_EQ(name.Length, 12);
    EXPECT_EQ(name.MaximumLength, 14);
    RtlInitUnicodeString(&name, nullptr);
    EXPECT_EQ(name.Length, 0);
    EXPECT_EQ(name.Buffer, nullptr);

    WCHAR storage[12];
    for (auto& c : storage)
        c = u'#';
    UNICODE_STRING dest;
    RtlInitEmptyUnicodeString(&dest, storage, 10 * sizeof(WCHAR)); // the last two stay untouched
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"\\Device\\");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(Text(dest), u"\\Device\\");
    EXPECT_EQ(storage[8], 0) << "terminated when there is room";

    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Ve"), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"\\Device\\Ve");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"x"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"\\Device\\Ve") << "unchanged on failure";
    EXPECT_EQ(storage[10], u'#');

    RtlInitUnicodeString(&src, u"\\Device\\Vexwdm001");
    RtlCopyUnicodeString(&dest, &src); // truncated to the buffer, not terminated
    EXPECT_EQ(Text(dest), u"\\Device\\Ve");
    EXPECT_EQ(storage[10], u'#');

    dest.Length = 0;
    UNICODE_STRING part;
    RtlInitUnicodeString(&part, u"Ab");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &part), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &part), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"AbAb");
}

TEST(UnicodeStringTest, ComparisonsOrderAndFoldCase) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        bool caseInsensitive;
        int sign;
    } cases[] = {
        {u"Common", u"common", true, 0},
        {u"Common", u"common", false, -1},
        {u"abc", u"abd", true, -1},
        {u"abc", u"ab", false, 1},
        {u"", u"", false, 0},
        {u"Ärger", u"äRGER", true, 0},
        {u"Parameters", u"PARAMETERS", true, 0},
    };
    for (const Case& c : cases) {
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, c.a);
        RtlInitUnicodeString(&b, c.b);
        LONG r = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::string(c.a, c.a + a.Length / 2);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive) != 0, c.sign == 0);
    }
    const char x[] = "abcdef", y[] = "abcXef";
    EXPECT_EQ(RtlCompareMemory(x, y, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(x, x, 6), 6u);
}

TEST(SafeStringTest, CopyAndLengthAreBounded) {
    WCHAR buf[6];
    EXPECT_EQ(RtlStringCbCopyW(buf, sizeof(buf), u"Hello"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"Hello");
    EXPECT_EQ(RtlStringCbCopyW(buf, sizeof(buf), u"Hello!"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"Hello");
    EXPECT_EQ(RtlStringCbCopyW(buf, 0, u"x"), STATUS_INVALID_PARAMETER);

    size_t bytes = 99;
    EXPECT_EQ(RtlStringCbLengthW(u"InfPath", 16, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 14u);
    EXPECT_EQ(RtlStringCbLengthW(u"InfPath", 14, &bytes), STATUS_INVALID_PARAMETER)
        << "no terminator in range";
    EXPECT_EQ(bytes, 0u);
}

} // namespace
