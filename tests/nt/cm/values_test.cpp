// Values: the three information layouts byte for byte, the buffer-size answers, default values.

#include "registry_fixture.h"

#include <cstring>
#include <vector>

namespace {

ULONG U32(const std::vector<UCHAR>& b, size_t offset) {
    ULONG v;
    std::memcpy(&v, b.data() + offset, 4);
    return v;
}

class ValuesTest : public RegistryTest {
protected:
    ValuesTest() {
        kernel.Cm().CreateKeyPath(
            "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters");
        EXPECT_EQ(Open(&key, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters"),
                  STATUS_SUCCESS);
    }
    ~ValuesTest() override { ZwClose(key); }

    // Queries into a buffer of `length` bytes pre-filled with 0xEE; returns status, result length, bytes.
    NTSTATUS Query(const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, ULONG length, ULONG* result,
                   std::vector<UCHAR>* bytes) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, name);
        bytes->assign(length + 8, 0xEE);
        *result = 0xDEAD;
        return ZwQueryValueKey(key, name ? &n : nullptr, cls, bytes->data(), length, result);
    }

    HANDLE key;
};

TEST_F(ValuesTest, FullInformationOfADwordFitsTheDriversNamePlus44Buffer) {
    ASSERT_EQ(SetDword(key, u"BufSize2", 0x10003), STATUS_SUCCESS);
    std::vector<UCHAR> b;
    ULONG result;
    const ULONG length = 16 + 44; // the name's length in bytes plus 44
    ASSERT_EQ(Query(u"bufsize2", KeyValueFullInformation, length, &result, &b), STATUS_SUCCESS);
    EXPECT_EQ(result, 36u + 4u); // 20 fixed + 16 name = 36, already 4-byte aligned
    EXPECT_EQ(U32(b, 0), 0u);    // TitleIndex
    EXPECT_EQ(U32(b, 4), ULONG(REG_DWORD));
    EXPECT_EQ(U32(b, 8), 36u);  // DataOffset
    EXPECT_EQ(U32(b, 12), 4u);  // DataLength
    EXPECT_EQ(U32(b, 16), 16u); // NameLength
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(&b[20]), 8), u"BufSize2") << "the stored case";
    EXPECT_EQ(U32(b, 36), 0x10003u);
    EXPECT_EQ(b[40], 0xEE) << "nothing written past the answer";

    ASSERT_EQ(SetDword(key, u"As176", 416), STATUS_SUCCESS);
    ASSERT_EQ(Query(u"As176", KeyValueFullInformation, 10 + 44, &result, &b), STATUS_SUCCESS);
    EXPECT_EQ(U32(b, 8), 32u) << "20 + 10 rounded up to a multiple of 4";
    EXPECT_EQ(result, 36u);
    EXPECT_EQ(U32(b, 32), 416u);
}

TEST_F(ValuesTest, PartialInformationOfAStringIsTheDataAsStored) {
    const char16_t inf[] = u"C:\\Windows\\INF\\oem7.inf";
    ASSERT_EQ(SetString(key, u"InfPath", inf), STATUS_SUCCESS);
    std::vector<UCHAR> b;
    ULONG result;
    ASSERT_EQ(Query(u"InfPath", KeyValuePartialInformation, 255, &result, &b), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u + sizeof(inf));
    EXPECT_EQ(U32(b, 4), ULONG(REG_SZ));
    EXPECT_EQ(U32(b, 8), ULONG(sizeof(inf)));
    EXPECT_EQ(std::memcmp(&b[12], inf, sizeof(inf)), 0);

    ASSERT_EQ(Query(u"InfPath", KeyValueBasicInformation, 64, &result, &b), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u + 14u);
    EXPECT_EQ(U32(b, 4), ULONG(REG_SZ));
    EXPECT_EQ(U32(b, 8), 14u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(&b[12]), 7), u"InfPath");
}

// Below the fixed part: too small, nothing written.  Fixed part fits: overflow with the fixed part
// filled.  ResultLength is the full size every time.
TEST_F(ValuesTest, ShortBuffersAnswerTooSmallOrOverflowWithTheNeededLength) {
    ASSERT_EQ(SetDword(key, u"MidiInLite", 1), STATUS_SUCCESS); // name 20 bytes
    struct Case {
        KEY_VALUE_INFORMATION_CLASS cls;
        ULONG length;
        NTSTATUS expected;
        ULONG required;
    } cases[] = {
        {KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 16},
        {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 16},
        {KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 16},
        {KeyValuePartialInformation, 15, STATUS_BUFFER_OVERFLOW, 16},
        {KeyValuePartialInformation, 16, STATUS_SUCCESS, 16},
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 44},
        {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 44},
        {KeyValueFullInformation, 43, STATUS_BUFFER_OVERFLOW, 44},
        {KeyValueFullInformation, 44, STATUS_SUCCESS, 44}, // 20 + 20 name, data at 40
        {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 32},
        {KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW, 32},
        {KeyValueBasicInformation, 32, STATUS_SUCCESS, 32},
    };
    for (const Case& c : cases) {
        std::vector<UCHAR> b;
        ULONG result;
        NTSTATUS status = Query(u"MidiInLite", c.cls, c.length, &result, &b);
        EXPECT_EQ(status, c.expected) << c.cls << "/" << c.length;
        EXPECT_EQ(result, c.required) << c.cls << "/" << c.length;
        if (status == STATUS_BUFFER_TOO_SMALL) {
            for (ULONG i = 0; i < c.length; ++i)
                EXPECT_EQ(b[i], 0xEE) << c.cls << "/" << c.length << " byte " << i;
        } else {
            EXPECT_EQ(U32(b, 4), ULONG(REG_DWORD))
                << "the fixed part is filled: " << c.cls << "/" << c.length;
        }
        EXPECT_EQ(b[c.length], 0xEE) << "nothing past the buffer: " << c.cls << "/" << c.length;
    }
}

TEST_F(ValuesTest, MissingAndDefaultValuesAndEveryType) {
    std::vector<UCHAR> b;
    ULONG result;
    EXPECT_EQ(Query(u"As32", KeyValuePartialInformation, 64, &result, &b), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(SetString(key, u"", u"default"), STATUS_SUCCESS);
    ASSERT_EQ(Query(nullptr, KeyValuePartialInformation, 64, &result, &b), STATUS_SUCCESS);
    EXPECT_EQ(U32(b, 8), 16u);

    const UCHAR blob[] = {1, 2, 3};
    const ULONGLONG qword = 0x1122334455667788ull;
    struct Case {
        const char16_t* name;
        ULONG type;
        const void* data;
        ULONG size;
    } cases[] = {
        {u"none", REG_NONE, nullptr, 0},
        {u"binary", REG_BINARY, blob, 3},
        {u"qword", REG_QWORD, &qword, 8},
        {u"multi", REG_MULTI_SZ, u"a\0bc\0", 12},
        {u"expand", REG_EXPAND_SZ, u"%SystemRoot%", 26},
    };
    for (const Case& c : cases) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, c.name);
        ASSERT_EQ(ZwSetValueKey(key, &n, 0, c.type, const_cast<void*>(c.data), c.size), STATUS_SUCCESS);
        ASSERT_EQ(Query(c.name, KeyValuePartialInformation, 64, &result, &b), STATUS_SUCCESS);
        EXPECT_EQ(U32(b, 4), c.type);
        EXPECT_EQ(U32(b, 8), c.size);
        EXPECT_EQ(c.size == 0 || std::memcmp(&b[12], c.data, c.size) == 0, true);
    }
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, u"missing");
    EXPECT_EQ(ZwDeleteValueKey(key, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
