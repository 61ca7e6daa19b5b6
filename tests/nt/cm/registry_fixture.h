// A running kernel entered by the test thread, with helpers that open keys by path.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include "cm/registry.h"
#include "ob/object_manager.h"

#include <optional>
#include <string>

class RegistryTest : public ::testing::Test {
protected:
    explicit RegistryTest(nt::KernelConfig config = {}) : kernel(std::move(config)) {
        kernel.Start();
        scope.emplace(kernel);
    }
    ~RegistryTest() override { scope.reset(); }

    // ZwCreateKey / ZwOpenKey of `path` (relative to `root` when given).
    NTSTATUS Open(HANDLE* h, const char16_t* path, ACCESS_MASK access = KEY_ALL_ACCESS, bool create = false,
                  HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE,
                  ULONG* disposition = nullptr, ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, attributes, root, nullptr);
        *h = nullptr;
        return create ? ZwCreateKey(h, access, &oa, 0, nullptr, options, disposition)
                      : ZwOpenKey(h, access, &oa);
    }

    NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, name);
        return ZwSetValueKey(key, &n, 0, REG_DWORD, &value, sizeof(value));
    }

    NTSTATUS SetString(HANDLE key, const char16_t* name, const char16_t* text, ULONG type = REG_SZ) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, name);
        ULONG bytes = static_cast<ULONG>((std::char_traits<char16_t>::length(text) + 1) * sizeof(WCHAR));
        return ZwSetValueKey(key, &n, 0, type, const_cast<char16_t*>(text), bytes);
    }

    nt::Kernel kernel;
    std::optional<nt::MachineThreadScope> scope;
};
