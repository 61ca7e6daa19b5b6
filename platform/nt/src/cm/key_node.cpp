#include "cm/key_node.h"

#include <nt/rtl.h>

namespace nt {

std::u16string CmUpcase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        c = RtlUpcaseUnicodeChar(c);
    return out;
}

bool CmEqualNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i]))
            return false;
    return true;
}

KeyValue* KeyNode::FindValue(std::u16string_view name) {
    for (auto& v : Values)
        if (CmEqualNames(v.Name, name))
            return &v;
    return nullptr;
}

std::shared_ptr<KeyNode> KeyNode::FindSubkey(std::u16string_view name) const {
    auto it = Subkeys.find(CmUpcase(name));
    return it == Subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<KeyNode> CmCreateChild(KeyNode& parent, std::u16string_view name, bool isVolatile) {
    auto node = std::make_shared<KeyNode>();
    node->Name = std::u16string(name);
    node->Parent = &parent;
    node->Volatile = isVolatile;
    parent.Subkeys[CmUpcase(name)] = node;
    return node;
}

void CmUnlinkTree(KeyNode& node) {
    node.Deleted = true;
    node.Values.clear();
    auto children = std::move(node.Subkeys);
    node.Subkeys.clear();
    for (auto& [key, child] : children) {
        child->Parent = nullptr;
        CmUnlinkTree(*child);
    }
    if (KeyNode* parent = node.Parent) {
        node.Parent = nullptr;
        parent->Subkeys.erase(CmUpcase(node.Name)); // may drop the last reference to `node`
    }
}

void CmSetValue(KeyNode& node, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
    if (KeyValue* v = node.FindValue(name)) {
        v->Type = type;
        v->Data = std::move(data);
        return;
    }
    node.Values.push_back(KeyValue{std::u16string(name), type, std::move(data)});
}

bool CmDeleteValue(KeyNode& node, std::u16string_view name) {
    for (auto it = node.Values.begin(); it != node.Values.end(); ++it)
        if (CmEqualNames(it->Name, name)) {
            node.Values.erase(it);
            return true;
        }
    return false;
}

std::u16string KeyNode::FullPath() const {
    if (Parent == nullptr)
        return u"\\REGISTRY";
    return Parent->FullPath() + u"\\" + Name;
}

std::u16string CmUtf8ToUtf16(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c >> 5) == 6 && i + 1 < s.size()) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            n = 2;
        } else if ((c >> 4) == 14 && i + 2 < s.size()) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            n = 3;
        } else if ((c >> 3) == 30 && i + 3 < s.size()) {
            cp =
                ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            n = 4;
        } else {
            cp = c; // not UTF-8: take the byte as Latin-1
            n = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

std::string CmUtf16ToUtf8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string_view CmView(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

} // namespace nt
