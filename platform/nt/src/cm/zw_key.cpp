// The key services behind ZwCreateKey, ZwQueryValueKey and the rest: name resolution, access
// checks, and the information layouts byte for byte as Windows returns them.

#include "cm/key_node.h"
#include "cm/key_object.h"
#include "cm/registry.h"

#include "ob/ke_imports.h"
#include "ob/object_manager.h"

#include <cstring>
#include <new>

namespace nt {

namespace {

constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxKeyNameChars = 255;
constexpr ULONG kNoClass = 0xFFFFFFFF; // ClassOffset of a key without a class

std::vector<std::u16string_view> SplitName(std::u16string_view name, bool* ok) {
    std::vector<std::u16string_view> parts;
    *ok = true;
    if (name.empty())
        return parts;
    size_t start = 0;
    for (;;) {
        size_t end = name.find(u'\\', start);
        std::u16string_view part = name.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars)
            *ok = false;
        parts.push_back(part);
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

// Writes the fixed part (always) and as much of the variable parts as fits; returns the status
// for a buffer of `length` against `required`.
NTSTATUS Finish(ULONG length, ULONG fixed, ULONG required, PULONG resultLength) {
    if (resultLength)
        *resultLength = required;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void CopyPart(PVOID buffer, ULONG length, ULONG offset, const void* data, size_t size) {
    if (offset >= length || size == 0)
        return;
    size_t room = length - offset;
    std::memcpy(static_cast<uint8_t*>(buffer) + offset, data, size < room ? size : room);
}

void PutUlong(PVOID buffer, ULONG offset, ULONG value) {
    std::memcpy(static_cast<uint8_t*>(buffer) + offset, &value, sizeof(value));
}

NTSTATUS FillValueInformation(const KeyValue& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength) {
    const ULONG nameBytes = static_cast<ULONG>(v.Name.size() * sizeof(WCHAR));
    const ULONG dataBytes = static_cast<ULONG>(v.Data.size());
    ULONG fixed, required;
    switch (cls) {
    case KeyValueBasicInformation: {
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + nameBytes;
        NTSTATUS status = Finish(length, fixed, required, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.Type);
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        CopyPart(buffer, length, fixed, v.Name.data(), nameBytes);
        return status;
    }
    case KeyValueFullInformation: {
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG dataOffset = static_cast<ULONG>(ALIGN_UP_BY(fixed + nameBytes, sizeof(ULONG)));
        required = dataOffset + dataBytes;
        NTSTATUS status = Finish(length, fixed, required, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type), v.Type);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        CopyPart(buffer, length, fixed, v.Name.data(), nameBytes);
        CopyPart(buffer, length, dataOffset, v.Data.data(), dataBytes);
        return status;
    }
    case KeyValuePartialInformation: {
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + dataBytes;
        NTSTATUS status = Finish(length, fixed, required, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.Type);
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        CopyPart(buffer, length, fixed, v.Data.data(), dataBytes);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Node (KEY_NODE_INFORMATION) layout: LastWriteTime, TitleIndex, ClassOffset, ClassLength, NameLength, Name.
constexpr ULONG kNodeInfoNameOffset = 24;

NTSTATUS FillKeyInformation(const KeyNode& node, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                            PULONG resultLength) {
    const ULONG nameBytes = static_cast<ULONG>(node.Name.size() * sizeof(WCHAR));
    switch (cls) {
    case KeyBasicInformation: {
        const ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        NTSTATUS status = Finish(length, fixed, fixed + nameBytes, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        LARGE_INTEGER t;
        t.QuadPart = node.LastWrite;
        std::memcpy(buffer, &t, sizeof(t));
        PutUlong(buffer, offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
        CopyPart(buffer, length, fixed, node.Name.data(), nameBytes);
        return status;
    }
    case KeyNodeInformation: {
        NTSTATUS status = Finish(length, kNodeInfoNameOffset, kNodeInfoNameOffset + nameBytes, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        LARGE_INTEGER t;
        t.QuadPart = node.LastWrite;
        std::memcpy(buffer, &t, sizeof(t));
        PutUlong(buffer, 8, 0);         // TitleIndex
        PutUlong(buffer, 12, kNoClass); // ClassOffset
        PutUlong(buffer, 16, 0);        // ClassLength
        PutUlong(buffer, 20, nameBytes);
        CopyPart(buffer, length, kNodeInfoNameOffset, node.Name.data(), nameBytes);
        return status;
    }
    case KeyFullInformation: {
        const ULONG fixed = offsetof(KEY_FULL_INFORMATION, Class);
        NTSTATUS status = Finish(length, fixed, fixed, resultLength);
        if (status == STATUS_BUFFER_TOO_SMALL)
            return status;
        KEY_FULL_INFORMATION info{};
        info.LastWriteTime.QuadPart = node.LastWrite;
        info.ClassOffset = kNoClass;
        info.SubKeys = static_cast<ULONG>(node.Subkeys.size());
        for (const auto& [key, child] : node.Subkeys)
            info.MaxNameLen = std::max<ULONG>(info.MaxNameLen, static_cast<ULONG>(child->Name.size() * 2));
        info.Values = static_cast<ULONG>(node.Values.size());
        for (const auto& v : node.Values) {
            info.MaxValueNameLen =
                std::max<ULONG>(info.MaxValueNameLen, static_cast<ULONG>(v.Name.size() * 2));
            info.MaxValueDataLen = std::max<ULONG>(info.MaxValueDataLen, static_cast<ULONG>(v.Data.size()));
        }
        std::memcpy(buffer, &info, fixed);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

Process* HandleOwner(Kernel& kernel, ULONG attributes, KPROCESSOR_MODE mode) {
    if (mode == KernelMode && (attributes & OBJ_KERNEL_HANDLE))
        return kernel.Ob().SystemProcess();
    Process* current = ObpCurrentProcess();
    return current ? current : kernel.Ob().SystemProcess();
}

} // namespace

void CmDeleteKeyObject(PVOID body) {
    static_cast<KeyObject*>(body)->~KeyObject();
}

NTSTATUS Registry::NodeOf(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode,
                          std::shared_ptr<KeyNode>* node) {
    PVOID object = nullptr;
    NTSTATUS status = kernel_.Ob().ReferenceByHandle(handle, access, *CmKeyObjectType, mode, nullptr, true,
                                                     &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    *node = static_cast<KeyObject*>(object)->Node;
    ObfDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::CreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG options,
                             PULONG disposition, bool create, KPROCESSOR_MODE mode) {
    if (handle == nullptr || attributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    if (options & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE))
        return STATUS_INVALID_PARAMETER; // links are not supported
    std::u16string_view name = CmView(attributes->ObjectName);
    std::shared_ptr<KeyNode> start;
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = NodeOf(attributes->RootDirectory, 0, mode, &start);
        if (!NT_SUCCESS(status))
            return status;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        name.remove_prefix(1);
        size_t slash = name.find(u'\\');
        std::u16string_view first = name.substr(0, slash);
        if (!CmEqualNames(first, u"Registry"))
            return STATUS_OBJECT_PATH_NOT_FOUND; // not a registry name at all
        name = slash == std::u16string_view::npos ? std::u16string_view() : name.substr(slash + 1);
    }
    bool ok;
    auto parts = SplitName(name, &ok);
    if (!ok)
        return STATUS_OBJECT_NAME_INVALID;

    std::shared_ptr<KeyNode> node;
    ULONG result = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!start)
            start = root_;
        if (start->Deleted)
            return STATUS_KEY_DELETED;
        node = start;
        for (size_t i = 0; i < parts.size(); ++i) {
            auto next = node->FindSubkey(parts[i]);
            if (!next) {
                if (!create || i + 1 != parts.size())
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                if (node->Sealed)
                    return STATUS_ACCESS_DENIED; // no keys directly below \Registry, Machine or User
                bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
                if (node->Volatile && !isVolatile)
                    return STATUS_CHILD_MUST_BE_VOLATILE;
                next = CmCreateChild(*node, parts[i], isVolatile);
                next->LastWrite = ++writeCounter_;
                result = REG_CREATED_NEW_KEY;
                Changed(*next);
            }
            node = next;
        }
    }

    void* body = ObCreateObjectBody(*CmKeyObjectType, sizeof(KeyObject));
    if (body == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    new (body) KeyObject{node};
    ACCESS_MASK granted = (access & MAXIMUM_ALLOWED) ? KEY_ALL_ACCESS : access;
    NTSTATUS status =
        ObInsertHandle(body, HandleOwner(kernel_, attributes->Attributes, mode), granted, handle);
    ObfDereferenceObject(body);
    if (NT_SUCCESS(status) && disposition != nullptr)
        *disposition = result;
    return status;
}

NTSTATUS Registry::DeleteKey(HANDLE handle, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, DELETE, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    if (node->Predefined)
        return STATUS_ACCESS_DENIED;
    if (!node->Subkeys.empty())
        return STATUS_CANNOT_DELETE;
    bool persisted = !node->Volatile;
    CmUnlinkTree(*node);
    if (persisted)
        SaveLocked();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls,
                              PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, KEY_QUERY_VALUE, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    KeyValue* v = node->FindValue(CmView(name));
    if (v == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*v, cls, buffer, length, resultLength);
}

NTSTATUS Registry::EnumerateValue(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer,
                                  ULONG length, PULONG resultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, KEY_QUERY_VALUE, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    if (index >= node->Values.size())
        return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(node->Values[index], cls, buffer, length, resultLength);
}

NTSTATUS Registry::SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG type, const void* data, ULONG size,
                               KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, KEY_SET_VALUE, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string_view valueName = CmView(name);
    if (valueName.size() > kMaxValueNameChars || (data == nullptr && size != 0))
        return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<const uint8_t*>(data);
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    CmSetValue(*node, valueName, type, std::vector<uint8_t>(bytes, bytes + size));
    node->LastWrite = ++writeCounter_;
    Changed(*node);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteValueKey(HANDLE handle, PUNICODE_STRING name, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, KEY_SET_VALUE, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    if (!CmDeleteValue(*node, CmView(name)))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    node->LastWrite = ++writeCounter_;
    Changed(*node);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::EnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS cls, PVOID buffer,
                                ULONG length, PULONG resultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, KEY_ENUMERATE_SUB_KEYS, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    if (index >= node->Subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    auto it = node->Subkeys.begin();
    std::advance(it, index);
    return FillKeyInformation(*it->second, cls, buffer, length, resultLength);
}

NTSTATUS Registry::QueryKey(HANDLE handle, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                            PULONG resultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    // Windows asks KEY_QUERY_VALUE for the full information and nothing for the name.
    NTSTATUS status = NodeOf(handle, cls == KeyFullInformation ? KEY_QUERY_VALUE : 0, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    if (node->Deleted)
        return STATUS_KEY_DELETED;
    return FillKeyInformation(*node, cls, buffer, length, resultLength);
}

NTSTATUS Registry::FlushKey(HANDLE handle, KPROCESSOR_MODE mode) {
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = NodeOf(handle, 0, mode, &node);
    if (!NT_SUCCESS(status))
        return status;
    Save(); // every change is on disk already; this rewrites the file
    return STATUS_SUCCESS;
}

} // namespace nt

// ---------------------------------------------------------------------------------------------
// The Zw entry points: passive-only, previous mode KernelMode.
// ---------------------------------------------------------------------------------------------

namespace {
nt::Registry& CurrentRegistry(const char* function) {
    nt::ObpAssertIrqlAtMost(nt::kPassiveLevel, function);
    nt::Kernel* kernel = nt::Kernel::Current();
    if (kernel == nullptr)
        nt::ObpBugCheck(0xC4, 0, 0, 0, 0,
                        std::string(function) + " called from a thread that is not a machine thread");
    return kernel->Cm();
}
} // namespace

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG CreateOptions, PULONG Disposition) {
    return CurrentRegistry("ZwCreateKey")
        .CreateKey(KeyHandle, DesiredAccess, ObjectAttributes, CreateOptions, Disposition, true, KernelMode);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return CurrentRegistry("ZwOpenKey")
        .CreateKey(KeyHandle, DesiredAccess, ObjectAttributes, 0, nullptr, false, KernelMode);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    return CurrentRegistry("ZwDeleteKey").DeleteKey(KeyHandle, KernelMode);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    return CurrentRegistry("ZwQueryValueKey")
        .QueryValue(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                    KernelMode);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    return CurrentRegistry("ZwSetValueKey")
        .SetValueKey(KeyHandle, ValueName, Type, Data, DataSize, KernelMode);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return CurrentRegistry("ZwDeleteValueKey").DeleteValueKey(KeyHandle, ValueName, KernelMode);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return CurrentRegistry("ZwEnumerateKey")
        .EnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength,
                      KernelMode);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength) {
    return CurrentRegistry("ZwEnumerateValueKey")
        .EnumerateValue(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                        KernelMode);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
    return CurrentRegistry("ZwQueryKey")
        .QueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    return CurrentRegistry("ZwFlushKey").FlushKey(KeyHandle, KernelMode);
}
