// The registry tree's nodes and the string helpers the registry shares.  Guarded by Registry's lock.
#pragma once

#include <ntdef.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nt {

struct KeyValue {
    std::u16string Name; // as set; compared case-insensitively
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

struct KeyNode {
    std::u16string Name;       // as created; "" for \Registry itself
    KeyNode* Parent = nullptr; // null for the root and for deleted keys
    bool Volatile = false;     // not persisted, nor anything below it
    bool Deleted = false;      // unlinked; open handles still reach it
    bool Predefined = false;   // \Registry, Machine, User and the hives: never deleted
    bool Sealed = false;       // \Registry, Machine, User: no keys are created directly below
    LONGLONG LastWrite = 0;
    std::map<std::u16string, std::shared_ptr<KeyNode>> Subkeys; // keyed by the upper-cased name
    std::vector<KeyValue> Values;                               // in creation order

    KeyValue* FindValue(std::u16string_view name);
    std::shared_ptr<KeyNode> FindSubkey(std::u16string_view name) const;
    std::u16string FullPath() const; // "\REGISTRY\MACHINE\..." with the stored case
};

// Tree edits (the caller holds the registry lock).
std::shared_ptr<KeyNode> CmCreateChild(KeyNode& parent, std::u16string_view name, bool isVolatile);
void CmUnlinkTree(KeyNode& node); // marks the key and everything below it deleted and unlinks it
void CmSetValue(KeyNode& node, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
bool CmDeleteValue(KeyNode& node, std::u16string_view name);

std::u16string CmUpcase(std::u16string_view s);
bool CmEqualNames(std::u16string_view a, std::u16string_view b);
std::u16string CmUtf8ToUtf16(std::string_view s);
std::string CmUtf16ToUtf8(std::u16string_view s);
// The counted string's text; empty for null.
std::u16string_view CmView(const UNICODE_STRING* s);

} // namespace nt
