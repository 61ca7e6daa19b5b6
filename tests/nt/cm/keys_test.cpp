// Keys: name resolution, creation of the last component only, dispositions, access, deletion,
// enumeration, and the passive-only rule.

#include "registry_fixture.h"

#include <vector>

namespace {

const char16_t* const kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

class KeysTest : public RegistryTest {
protected:
    KeysTest() {
        kernel.Cm().CreateKeyPath("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm");
    }
};

TEST_F(KeysTest, OpenAndCreateResolveNamesAsWindowsDoes) {
    struct Case {
        const char16_t* path;
        bool create;
        ULONG options;
        NTSTATUS expected;
        ULONG disposition; // when created or opened
    } cases[] = {
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm", false, 0, STATUS_SUCCESS, 0},
        {u"\\REGISTRY\\MACHINE\\system\\currentcontrolset\\SERVICES\\VexWdm", false, 0, STATUS_SUCCESS, 0},
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters", false, 0,
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        // Only the last component is created: a missing parent fails.
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common", true, 0,
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters", true, 0,
         STATUS_SUCCESS, REG_CREATED_NEW_KEY},
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\PARAMETERS", true, 0,
         STATUS_SUCCESS, REG_OPENED_EXISTING_KEY},
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common", true, 0,
         STATUS_SUCCESS, REG_CREATED_NEW_KEY},
        {u"\\Registry\\Machine\\SYSTEM\\\\CurrentControlSet", false, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {u"Registry\\Machine\\SYSTEM", false, 0, STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        {u"\\Device\\Vexwdm001", false, 0, STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {u"\\Registry\\Machine\\NewHive", true, 0, STATUS_ACCESS_DENIED, 0},
        {u"\\Registry\\Machine\\HARDWARE\\Persistent", true, REG_OPTION_NON_VOLATILE,
         STATUS_CHILD_MUST_BE_VOLATILE, 0},
        {u"\\Registry\\Machine\\HARDWARE\\Scratch", true, REG_OPTION_VOLATILE, STATUS_SUCCESS,
         REG_CREATED_NEW_KEY},
    };
    for (const Case& c : cases) {
        HANDLE h;
        ULONG disposition = 0;
        NTSTATUS status = Open(&h, c.path, KEY_ALL_ACCESS, c.create, nullptr, c.options, &disposition);
        std::string path(c.path, c.path + std::char_traits<char16_t>::length(c.path));
        EXPECT_EQ(status, c.expected) << path;
        if (NT_SUCCESS(status)) {
            EXPECT_TRUE(nt::ObIsKernelHandle(h)) << path;
            if (c.create) {
                EXPECT_EQ(disposition, c.disposition) << path;
            }
            EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(h, nullptr) << path;
        }
    }
}

TEST_F(KeysTest, RelativeNamesResolveFromTheRootHandle) {
    HANDLE services, key, self;
    ASSERT_EQ(Open(&services, kServices, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(Open(&key, u"VEXWDM", KEY_READ, false, services), STATUS_SUCCESS);
    EXPECT_EQ(Open(&self, u"", KEY_READ, false, key), STATUS_SUCCESS) << "an empty name reopens the root";
    HANDLE bad;
    EXPECT_EQ(Open(&bad, u"\\vexwdm", KEY_READ, false, services), STATUS_OBJECT_PATH_SYNTAX_BAD);
    HANDLE eventHandle;
    ASSERT_EQ(kernel.Ob().CreateEvent(kernel.Ob().SystemProcess(), NotificationEvent, FALSE, &eventHandle),
              STATUS_SUCCESS);
    EXPECT_EQ(Open(&bad, u"vexwdm", KEY_READ, false, eventHandle), STATUS_OBJECT_TYPE_MISMATCH);
    for (HANDLE h : {services, key, self, eventHandle})
        ZwClose(h);
}

TEST_F(KeysTest, HandlesAllowOnlyTheRightsTheyWereOpenedWith) {
    HANDLE rw, ro;
    ASSERT_EQ(Open(&rw, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm"), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(rw, u"Start", 3), STATUS_SUCCESS);
    ASSERT_EQ(Open(&ro, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm", KEY_READ),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Start");
    UCHAR buffer[32];
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(ro, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    EXPECT_EQ(SetDword(ro, u"Start", 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteValueKey(ro, &name), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(ro), STATUS_ACCESS_DENIED);
    HANDLE wo;
    ASSERT_EQ(Open(&wo, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm", KEY_WRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(wo, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwEnumerateKey(wo, 0, KeyBasicInformation, buffer, sizeof(buffer), &result),
              STATUS_ACCESS_DENIED);
    for (HANDLE h : {rw, ro, wo})
        ZwClose(h);
    EXPECT_EQ(kernel.Cm().GetDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\vexwdm", "Start"), 3u);
}

TEST_F(KeysTest, DeletedKeyAnswersKeyDeletedUntilClosed) {
    HANDLE parent, child;
    ASSERT_EQ(Open(&parent, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm"),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(&child, u"Parameters", KEY_ALL_ACCESS, true, parent), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(child, u"BufSize2", 5), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "a key with subkeys";
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(child, u"BufSize2", 6), STATUS_KEY_DELETED);
    HANDLE again;
    EXPECT_EQ(Open(&again, u"Parameters", KEY_READ, false, parent), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(&again, u"Sub", KEY_ALL_ACCESS, true, child), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(parent);
    EXPECT_FALSE(kernel.Cm().KeyExists("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm"));
}

TEST_F(KeysTest, EnumerationListsSubkeysByNameAndValuesInCreationOrder) {
    HANDLE key, sub;
    ASSERT_EQ(Open(&key, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexwdm"),
              STATUS_SUCCESS);
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
        ASSERT_EQ(Open(&sub, name, KEY_ALL_ACCESS, true, key), STATUS_SUCCESS);
        ZwClose(sub);
    }
    for (const char16_t* name : {u"Zeta", u"Eta", u"Theta"})
        ASSERT_EQ(SetDword(key, name, 1), STATUS_SUCCESS);

    auto names = [&](bool values) {
        std::vector<std::u16string> out;
        alignas(8) UCHAR buffer[128];
        ULONG result;
        for (ULONG i = 0;; ++i) {
            NTSTATUS s =
                values
                    ? ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer), &result)
                    : ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer), &result);
            if (s == STATUS_NO_MORE_ENTRIES)
                break;
            EXPECT_EQ(s, STATUS_SUCCESS);
            if (values) {
                auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
                out.emplace_back(info->Name, info->NameLength / 2);
            } else {
                auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
                out.emplace_back(info->Name, info->NameLength / 2);
            }
        }
        return out;
    };
    EXPECT_EQ(names(false), (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
    EXPECT_EQ(names(true), (std::vector<std::u16string>{u"Zeta", u"Eta", u"Theta"}));

    KEY_FULL_INFORMATION full;
    ULONG result;
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, &full, sizeof(full), &result), STATUS_SUCCESS);
    EXPECT_EQ(full.SubKeys, 3u);
    EXPECT_EQ(full.Values, 3u);
    EXPECT_EQ(full.MaxNameLen, 10u);
    EXPECT_EQ(full.MaxValueDataLen, 4u);
    ZwClose(key);
}

using KeysDeathTest = KeysTest;

TEST_F(KeysDeathTest, RegistryAtDispatchLevelBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            HANDLE h;
            Open(&h, kServices, KEY_READ);
        },
        "0x000000C4 .*DRIVER_VERIFIER_DETECTED_VIOLATION");
}

} // namespace
