// The registry: one tree of keys under \Registry (Machine and User), with values, persisted as a
// REGEDIT4 text file <stateDir>/registry.reg that is read at construction and rewritten after
// every change to a non-volatile key.
//
// Keys opened through handles are object-manager objects of type *CmKeyObjectType whose body holds
// a reference to the key's node, so a key deleted while open stays valid (and answers
// STATUS_KEY_DELETED) until its handles close.  One host mutex guards the whole tree; every
// service is passive-only.
#pragma once

#include <nt/kernel.h>
#include <nt/zw.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nt {

struct RegistryValue {
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

struct KeyNode;

class Registry {
public:
    explicit Registry(Kernel& kernel); // loads <stateDir>/registry.reg when present
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    Kernel& kernel() { return kernel_; }

    // --- For the machine, installers and tests: paths without handles ----------------------
    // Paths are "\Registry\Machine\..." (or "HKEY_LOCAL_MACHINE\...", "HKLM\..."), UTF-8,
    // case-insensitive.  Missing keys along the path are created by the setters.
    bool CreateKeyPath(std::string_view path, bool isVolatile = false);
    bool KeyExists(std::string_view path) const;
    bool DeleteKeyTree(std::string_view path); // the key, its subkeys and values
    bool SetValue(std::string_view path, std::string_view name, ULONG type, const void* data, size_t size);
    bool SetDword(std::string_view path, std::string_view name, DWORD value);
    // REG_SZ / REG_EXPAND_SZ stored as UTF-16 with its terminator.
    bool SetString(std::string_view path, std::string_view name, std::string_view utf8, ULONG type = REG_SZ);
    bool DeleteValue(std::string_view path, std::string_view name);
    std::optional<RegistryValue> GetValue(std::string_view path, std::string_view name) const;
    std::optional<DWORD> GetDword(std::string_view path, std::string_view name) const;
    // The UTF-8 text of a REG_SZ / REG_EXPAND_SZ value (up to its first terminator).
    std::optional<std::string> GetString(std::string_view path, std::string_view name) const;
    std::vector<std::string> SubkeyNames(std::string_view path) const;
    std::vector<std::string> ValueNames(std::string_view path) const;

    // The non-volatile tree as REGEDIT4 text, and the reverse (merged into the tree).
    std::string ExportText() const;
    bool ImportText(std::string_view text, std::string* error);
    // Writes registry.reg now (nothing to do without a state folder).
    void Save();

    // --- The services behind Zw* (KernelMode) and later the user-mode layer (UserMode) ------
    NTSTATUS CreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG options,
                       PULONG disposition, bool create, KPROCESSOR_MODE mode);
    NTSTATUS DeleteKey(HANDLE handle, KPROCESSOR_MODE mode);
    NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer,
                        ULONG length, PULONG resultLength, KPROCESSOR_MODE mode);
    NTSTATUS EnumerateValue(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer,
                            ULONG length, PULONG resultLength, KPROCESSOR_MODE mode);
    NTSTATUS SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG type, const void* data, ULONG size,
                         KPROCESSOR_MODE mode);
    NTSTATUS DeleteValueKey(HANDLE handle, PUNICODE_STRING name, KPROCESSOR_MODE mode);
    NTSTATUS EnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                          PULONG resultLength, KPROCESSOR_MODE mode);
    NTSTATUS QueryKey(HANDLE handle, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                      PULONG resultLength, KPROCESSOR_MODE mode);
    NTSTATUS FlushKey(HANDLE handle, KPROCESSOR_MODE mode);

private:
    // Resolves a handle to its node with `access` checked (for kernel callers too: a driver that
    // writes through a KEY_READ handle is wrong even though Windows lets kernel mode through).
    NTSTATUS NodeOf(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, std::shared_ptr<KeyNode>* node);
    std::shared_ptr<KeyNode> Find(std::string_view path) const;                    // needs lock_
    std::shared_ptr<KeyNode> FindOrCreate(std::string_view path, bool isVolatile); // needs lock_
    void Changed(const KeyNode& node);                                             // needs lock_; persists
    void SaveLocked();                                                             // needs lock_

    Kernel& kernel_;
    std::string file_; // registry.reg path; empty = not persisted
    mutable std::mutex lock_;
    std::shared_ptr<KeyNode> root_; // \Registry; guarded by lock_ (with every node below it)
    LONGLONG writeCounter_ = 0;     // guarded by lock_; stands in for last-write times
};

} // namespace nt
