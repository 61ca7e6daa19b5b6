// The registry file: every value survives a machine restart byte for byte; volatile keys do not.

#include "registry_fixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

std::filesystem::path FreshStateDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    auto dir =
        std::filesystem::temp_directory_path() / ("zk-cm-" + std::to_string(getpid()) + "-" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

nt::KernelConfig WithState(const std::filesystem::path& dir) {
    nt::KernelConfig c;
    c.stateDir = dir;
    return c;
}

const char* const kCommon =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common";

struct Stored {
    const char* name;
    ULONG type;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Wide(std::u16string_view s, bool terminate = true) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    if (terminate)
        out.insert(out.end(), {0, 0});
    return out;
}

TEST(RegistryPersistenceTest, ValuesSurviveARestartByteForByte) {
    auto dir = FreshStateDir();
    std::vector<uint8_t> longBlob(300);
    for (size_t i = 0; i < longBlob.size(); ++i)
        longBlob[i] = uint8_t(i * 7);
    const std::vector<Stored> values = {
        {"BufSize2", REG_DWORD, {5, 0, 0, 0}},
        {"", REG_SZ, Wide(u"default value")},
        {"Quoted \"name\" \\ with =", REG_SZ, Wide(u"C:\\Path \"with\" quotes")},
        {"Unicode", REG_SZ, Wide(u"Grüße €")},
        {"NotTerminated", REG_SZ, Wide(u"abc", false)},
        {"TwoLines", REG_SZ, Wide(u"a\r\nb")},
        {"Expand", REG_EXPAND_SZ, Wide(u"%SystemRoot%\\x")},
        {"Multi", REG_MULTI_SZ, Wide(u"one\0two\0", false)},
        {"Qword", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"ShortDword", REG_DWORD, {1, 2}},
        {"Nothing", REG_NONE, {}},
        {"Blob", REG_BINARY, longBlob},
    };
    {
        nt::Kernel kernel(WithState(dir));
        kernel.Start();
        nt::MachineThreadScope scope(kernel);
        for (const auto& v : values)
            ASSERT_TRUE(kernel.Cm().SetValue(kCommon, v.name, v.type, v.data.data(), v.data.size()));
        ASSERT_TRUE(kernel.Cm().CreateKeyPath("\\Registry\\Machine\\HARDWARE\\DEVICEMAP"));
        ASSERT_TRUE(kernel.Cm().SetDword("\\Registry\\Machine\\HARDWARE\\DEVICEMAP", "Gone", 1));

        // A value written by a driver through a handle is persisted at once too.
        UNICODE_STRING path, name;
        RtlInitUnicodeString(
            &path, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key;
        ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
        ULONG midi = 1;
        RtlInitUnicodeString(&name, u"MidiInLite");
        ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &midi, 4), STATUS_SUCCESS);
        ZwClose(key);
    }
    std::ifstream file(dir / "registry.reg");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str().rfind("REGEDIT4\r\n", 0), 0u);
    EXPECT_NE(text.str().find(
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common]"),
              std::string::npos);
    EXPECT_NE(text.str().find("\"BufSize2\"=dword:00000005"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("\"MidiInLite\"=dword:00000001"), std::string::npos);
    EXPECT_EQ(text.str().find("DEVICEMAP"), std::string::npos) << "volatile keys are not written";

    nt::Kernel again(WithState(dir));
    for (const auto& v : values) {
        auto got = again.Cm().GetValue(kCommon, v.name);
        ASSERT_TRUE(got.has_value()) << v.name;
        EXPECT_EQ(got->Type, v.type) << v.name;
        EXPECT_EQ(got->Data, v.data) << v.name;
    }
    EXPECT_EQ(again.Cm().GetDword(kCommon, "MidiInLite"), 1u);
    EXPECT_EQ(again.Cm().GetString(kCommon, "Unicode"), "Grüße €");
    EXPECT_FALSE(again.Cm().KeyExists("\\Registry\\Machine\\HARDWARE\\DEVICEMAP"));
    std::filesystem::remove_all(dir);
}

TEST(RegistryPersistenceTest, ImportReportsTheFirstBadLine) {
    nt::Kernel kernel;
    struct Case {
        const char* text;
        bool ok;
        const char* error;
    } cases[] = {
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=dword:0000002a\n", true, ""},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"b\"=hex:01,02,\\\r\n  03\r\n", true, ""},
        {"Windows Registry Editor Version 5.00\n", false, "line 1"},
        {"REGEDIT4\n\"x\"=dword:1\n", false, "line 2: a value outside of a key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=dword:zz\n", false, "line 3: bad dword"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n", false, "line 2: unknown key path"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"y\"=hex(b):01,0g\n", false, "line 3: bad hex list"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(kernel.Cm().ImportText(c.text, &error), c.ok) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    EXPECT_EQ(kernel.Cm().GetDword("HKLM\\SOFTWARE\\A", "x"), 42u);
    auto b = kernel.Cm().GetValue("HKLM\\SOFTWARE\\A", "b");
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->Data, (std::vector<uint8_t>{1, 2, 3}));
}

} // namespace
