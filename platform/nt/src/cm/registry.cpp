// The registry tree, its construction and persistence, and the path-based API.

#include "cm/registry.h"

#include "cm/key_node.h"
#include "cm/key_object.h"
#include "cm/regedit_text.h"
#include "ob/object_manager.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace nt {

namespace {

// "\Registry\Machine\A", "HKEY_LOCAL_MACHINE\A", "HKLM\A" -> {"Machine", "A"}.  False when the
// path is not below \Registry or has an empty component.
bool SplitApiPath(std::string_view path, std::vector<std::u16string>* parts) {
    std::u16string p = CmUtf8ToUtf16(path);
    std::vector<std::u16string> comps;
    size_t start = 0;
    if (!p.empty() && p[0] == u'\\')
        start = 1;
    while (start <= p.size()) {
        size_t end = p.find(u'\\', start);
        if (end == std::u16string::npos)
            end = p.size();
        comps.push_back(p.substr(start, end - start));
        start = end + 1;
    }
    if (!comps.empty() && comps.back().empty() && comps.size() > 1)
        comps.pop_back(); // one trailing backslash is tolerated here
    for (auto& c : comps)
        if (c.empty())
            return false;
    if (comps.empty())
        return false;
    parts->clear();
    if (path.size() > 0 && path[0] == '\\') {
        if (!CmEqualNames(comps[0], u"Registry"))
            return false;
        parts->assign(comps.begin() + 1, comps.end());
        return true;
    }
    if (CmEqualNames(comps[0], u"HKEY_LOCAL_MACHINE") || CmEqualNames(comps[0], u"HKLM"))
        parts->push_back(u"Machine");
    else if (CmEqualNames(comps[0], u"HKEY_USERS") || CmEqualNames(comps[0], u"HKU"))
        parts->push_back(u"User");
    else
        return false;
    parts->insert(parts->end(), comps.begin() + 1, comps.end());
    return true;
}

std::shared_ptr<KeyNode> AddPredefined(KeyNode& parent, const char16_t* name, bool sealed, bool isVolatile) {
    auto node = CmCreateChild(parent, name, isVolatile);
    node->Predefined = true;
    node->Sealed = sealed;
    return node;
}

} // namespace

Registry::Registry(Kernel& kernel) : kernel_(kernel) {
    (*CmKeyObjectType)->Delete = CmDeleteKeyObject;
    root_ = std::make_shared<KeyNode>();
    root_->Predefined = root_->Sealed = true;
    auto machine = AddPredefined(*root_, u"MACHINE", true, false);
    AddPredefined(*root_, u"USER", true, false);
    AddPredefined(*machine, u"SYSTEM", false, false);
    AddPredefined(*machine, u"SOFTWARE", false, false);
    AddPredefined(*machine, u"HARDWARE", false, true);

    const auto& dir = kernel_.Config().stateDir;
    if (dir.empty())
        return;
    file_ = (dir / "registry.reg").string();
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return; // a new machine
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!CmImportRegedit(text.str(), *root_, &error))
        std::fprintf(stderr, "registry: %s: %s (the rest was loaded)\n", file_.c_str(), error.c_str());
}

Registry::~Registry() {
    std::lock_guard<std::mutex> guard(lock_);
    // Open key objects keep their nodes; unlink the tree so that nothing points at it.
    root_.reset();
}

std::shared_ptr<KeyNode> Registry::Find(std::string_view path) const {
    std::vector<std::u16string> parts;
    if (!SplitApiPath(path, &parts))
        return nullptr;
    std::shared_ptr<KeyNode> node = root_;
    for (const auto& part : parts) {
        node = node->FindSubkey(part);
        if (!node)
            return nullptr;
    }
    return node;
}

std::shared_ptr<KeyNode> Registry::FindOrCreate(std::string_view path, bool isVolatile) {
    std::vector<std::u16string> parts;
    if (!SplitApiPath(path, &parts) || parts.empty())
        return nullptr;
    std::shared_ptr<KeyNode> node = root_;
    for (const auto& part : parts) {
        auto next = node->FindSubkey(part);
        if (!next) {
            if (node->Sealed)
                return nullptr;
            next = CmCreateChild(*node, part, isVolatile || node->Volatile);
            next->LastWrite = ++writeCounter_;
        }
        node = next;
    }
    return node;
}

void Registry::Changed(const KeyNode& node) {
    if (node.Volatile)
        return;
    SaveLocked();
}

void Registry::SaveLocked() {
    if (file_.empty() || !root_)
        return;
    std::string tmp = file_ + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << CmExportRegedit(*root_);
        if (!out)
            return;
    }
    std::rename(tmp.c_str(), file_.c_str());
}

void Registry::Save() {
    std::lock_guard<std::mutex> guard(lock_);
    SaveLocked();
}

std::string Registry::ExportText() const {
    std::lock_guard<std::mutex> guard(lock_);
    return CmExportRegedit(*root_);
}

bool Registry::ImportText(std::string_view text, std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    bool ok = CmImportRegedit(text, *root_, error);
    SaveLocked();
    return ok;
}

bool Registry::CreateKeyPath(std::string_view path, bool isVolatile) {
    std::lock_guard<std::mutex> guard(lock_);
    auto node = FindOrCreate(path, isVolatile);
    if (node)
        Changed(*node);
    return node != nullptr;
}

bool Registry::KeyExists(std::string_view path) const {
    std::lock_guard<std::mutex> guard(lock_);
    return Find(path) != nullptr;
}

bool Registry::DeleteKeyTree(std::string_view path) {
    std::lock_guard<std::mutex> guard(lock_);
    auto node = Find(path);
    if (!node || node->Predefined)
        return false;
    CmUnlinkTree(*node);
    SaveLocked();
    return true;
}

bool Registry::SetValue(std::string_view path, std::string_view name, ULONG type, const void* data,
                        size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    auto node = FindOrCreate(path, false);
    if (!node)
        return false;
    auto bytes = static_cast<const uint8_t*>(data);
    CmSetValue(*node, CmUtf8ToUtf16(name), type, std::vector<uint8_t>(bytes, bytes + size));
    node->LastWrite = ++writeCounter_;
    Changed(*node);
    return true;
}

bool Registry::SetDword(std::string_view path, std::string_view name, DWORD value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return SetValue(path, name, REG_DWORD, bytes, 4);
}

bool Registry::SetString(std::string_view path, std::string_view name, std::string_view utf8, ULONG type) {
    std::u16string text = CmUtf8ToUtf16(utf8);
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(uint8_t(c));
        bytes.push_back(uint8_t(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return SetValue(path, name, type, bytes.data(), bytes.size());
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
    std::lock_guard<std::mutex> guard(lock_);
    auto node = Find(path);
    if (!node || !CmDeleteValue(*node, CmUtf8ToUtf16(name)))
        return false;
    node->LastWrite = ++writeCounter_;
    Changed(*node);
    return true;
}

std::optional<RegistryValue> Registry::GetValue(std::string_view path, std::string_view name) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto node = Find(path);
    if (!node)
        return std::nullopt;
    KeyValue* v = node->FindValue(CmUtf8ToUtf16(name));
    if (!v)
        return std::nullopt;
    return RegistryValue{v->Type, v->Data};
}

std::optional<DWORD> Registry::GetDword(std::string_view path, std::string_view name) const {
    auto v = GetValue(path, name);
    if (!v || v->Type != REG_DWORD || v->Data.size() != 4)
        return std::nullopt;
    return DWORD(v->Data[0]) | DWORD(v->Data[1]) << 8 | DWORD(v->Data[2]) << 16 | DWORD(v->Data[3]) << 24;
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) const {
    auto v = GetValue(path, name);
    if (!v || (v->Type != REG_SZ && v->Type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < v->Data.size(); i += 2) {
        char16_t c = char16_t(v->Data[i] | v->Data[i + 1] << 8);
        if (c == 0)
            break;
        text += c;
    }
    return CmUtf16ToUtf8(text);
}

std::vector<std::string> Registry::SubkeyNames(std::string_view path) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> out;
    if (auto node = Find(path))
        for (auto& [key, child] : node->Subkeys)
            out.push_back(CmUtf16ToUtf8(child->Name));
    return out;
}

std::vector<std::string> Registry::ValueNames(std::string_view path) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> out;
    if (auto node = Find(path))
        for (auto& v : node->Values)
            out.push_back(CmUtf16ToUtf8(v.Name));
    return out;
}

} // namespace nt
