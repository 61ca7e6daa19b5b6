// Reading and writing the REGEDIT4 text of the registry.

#include "cm/regedit_text.h"

#include "cm/key_node.h"

#include <nt/zw.h>

#include <cstdio>
#include <vector>

namespace nt {

namespace {

// ---------------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------------

// The data of a REG_SZ that a quoted string can carry exactly: one terminated UTF-16 string with
// no control characters and no lone surrogates.
bool AsQuotableString(const std::vector<uint8_t>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
        return false;
    text->clear();
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = char16_t(data[i] | data[i + 1] << 8);
        if (c < 0x20 || c == 0x7F)
            return false;
        bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
        if (low)
            return false;
        if (high) {
            if (i + 4 >= data.size())
                return false;
            char16_t next = char16_t(data[i + 2] | data[i + 3] << 8);
            if (next < 0xDC00 || next >= 0xE000)
                return false;
            *text += c;
            *text += next;
            i += 2;
            continue;
        }
        *text += c;
    }
    return true;
}

std::string Quote(std::u16string_view s) {
    std::string out = "\"";
    for (char c : CmUtf16ToUtf8(s)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// "hex:01,02,..." wrapped as the registry editor does: a line ends with ",\" and the next one
// starts with two spaces.
void AppendHex(std::string& line, std::string& out, const std::vector<uint8_t>& data) {
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof(byte), "%02x", data[i]);
        line += byte;
        if (i + 1 < data.size()) {
            line += ',';
            if (line.size() > 76) {
                out += line + "\\\r\n";
                line = "  ";
            }
        }
    }
}

void WriteValue(std::string& out, const KeyValue& v) {
    std::string line = v.Name.empty() ? "@=" : Quote(v.Name) + "=";
    std::u16string text;
    char buf[32];
    if (v.Type == REG_SZ && AsQuotableString(v.Data, &text)) {
        line += Quote(text);
    } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
        unsigned value = v.Data[0] | v.Data[1] << 8 | v.Data[2] << 16 | unsigned(v.Data[3]) << 24;
        std::snprintf(buf, sizeof(buf), "dword:%08x", value);
        line += buf;
    } else {
        if (v.Type == REG_BINARY)
            line += "hex:";
        else {
            std::snprintf(buf, sizeof(buf), "hex(%x):", static_cast<unsigned>(v.Type));
            line += buf;
        }
        AppendHex(line, out, v.Data);
    }
    out += line + "\r\n";
}

void WriteKey(std::string& out, const KeyNode& node, const std::string& path) {
    if (node.Volatile)
        return;
    out += "[" + path + "]\r\n";
    for (const auto& v : node.Values)
        WriteValue(out, v);
    out += "\r\n";
    for (const auto& [key, child] : node.Subkeys)
        WriteKey(out, *child, path + "\\" + CmUtf16ToUtf8(child->Name));
}

// ---------------------------------------------------------------------------------------------
// Reading: a line-oriented state machine.
//   ExpectHeader --"REGEDIT4"--> Body
//   Body: blank / ';' comment / "[key]" (selects the key) / "[-key]" (deletes it) / value line
//   A value line needs a selected key; it is read by ParseValue.
// ---------------------------------------------------------------------------------------------

enum class ReadState { ExpectHeader, Body };

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexList(std::string_view s, std::vector<uint8_t>* out) {
    out->clear();
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    };
    skipSpace();
    if (i == s.size())
        return true; // no data
    for (;;) {
        skipSpace();
        if (i >= s.size())
            return false; // a trailing comma
        int hi = i < s.size() ? HexDigit(s[i]) : -1;
        int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
        if (hi < 0)
            return false;
        if (lo < 0) { // a single digit
            out->push_back(uint8_t(hi));
            ++i;
        } else {
            out->push_back(uint8_t(hi << 4 | lo));
            i += 2;
        }
        skipSpace();
        if (i == s.size())
            return true;
        if (s[i] != ',')
            return false;
        ++i;
    }
}

// Reads a quoted string starting at s[*i] == '"'; leaves *i after the closing quote.
bool ParseQuoted(std::string_view s, size_t* i, std::string* text) {
    text->clear();
    for (size_t j = *i + 1; j < s.size(); ++j) {
        if (s[j] == '\\' && j + 1 < s.size()) {
            *text += s[++j];
        } else if (s[j] == '"') {
            *i = j + 1;
            return true;
        } else {
            *text += s[j];
        }
    }
    return false;
}

bool ParseValue(std::string_view line, KeyNode& key, std::string* why) {
    size_t i = 0;
    std::string name;
    if (line[0] == '@') {
        i = 1;
    } else if (!ParseQuoted(line, &i, &name)) {
        *why = "unterminated value name";
        return false;
    }
    if (i >= line.size() || line[i] != '=') {
        *why = "'=' expected after the value name";
        return false;
    }
    std::string_view data = line.substr(i + 1);
    std::u16string wideName = CmUtf8ToUtf16(name);
    if (data == "-") {
        CmDeleteValue(key, wideName);
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t j = 0;
        std::string text;
        if (!ParseQuoted(data, &j, &text) || j != data.size()) {
            *why = "bad string";
            return false;
        }
        std::vector<uint8_t> bytes;
        for (char16_t c : CmUtf8ToUtf16(text)) {
            bytes.push_back(uint8_t(c));
            bytes.push_back(uint8_t(c >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
        CmSetValue(key, wideName, REG_SZ, std::move(bytes));
        return true;
    }
    if (data.substr(0, 6) == "dword:") {
        std::string_view digits = data.substr(6);
        if (digits.empty() || digits.size() > 8) {
            *why = "bad dword";
            return false;
        }
        uint32_t value = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) {
                *why = "bad dword";
                return false;
            }
            value = value << 4 | unsigned(d);
        }
        CmSetValue(key, wideName, REG_DWORD,
                   {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
        return true;
    }
    ULONG type = REG_BINARY;
    std::string_view list;
    if (data.substr(0, 4) == "hex:") {
        list = data.substr(4);
    } else if (data.substr(0, 4) == "hex(") {
        size_t close = data.find("):");
        if (close == std::string_view::npos || close == 4) {
            *why = "bad hex(type)";
            return false;
        }
        type = 0;
        for (char c : data.substr(4, close - 4)) {
            int d = HexDigit(c);
            if (d < 0) {
                *why = "bad hex(type)";
                return false;
            }
            type = type << 4 | ULONG(d);
        }
        list = data.substr(close + 2);
    } else {
        *why = "unknown data form";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!ParseHexList(list, &bytes)) {
        *why = "bad hex list";
        return false;
    }
    CmSetValue(key, wideName, type, std::move(bytes));
    return true;
}

// "[HKEY_LOCAL_MACHINE\A\B]" -> the node, created as needed; null for an unknown root.
KeyNode* SelectKey(std::string_view path, KeyNode& root, bool remove) {
    std::u16string p = CmUtf8ToUtf16(path);
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(u'\\', start);
        if (end == std::u16string::npos)
            end = p.size();
        parts.push_back(p.substr(start, end - start));
        start = end + 1;
    }
    const char16_t* hive = nullptr;
    if (CmEqualNames(parts[0], u"HKEY_LOCAL_MACHINE"))
        hive = u"MACHINE";
    else if (CmEqualNames(parts[0], u"HKEY_USERS"))
        hive = u"USER";
    else
        return nullptr;
    std::shared_ptr<KeyNode> node = root.FindSubkey(hive);
    if (!node)
        node = CmCreateChild(root, hive, false);
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty())
            return nullptr;
        auto next = node->FindSubkey(parts[i]);
        if (!next) {
            if (remove)
                return &root; // nothing to delete
            next = CmCreateChild(*node, parts[i], false);
        }
        node = next;
    }
    if (remove) {
        if (!node->Predefined)
            CmUnlinkTree(*node);
        return &root;
    }
    return node.get();
}

} // namespace

std::string CmExportRegedit(const KeyNode& root) {
    std::string out = "REGEDIT4\r\n\r\n";
    if (auto machine = root.FindSubkey(u"MACHINE"))
        WriteKey(out, *machine, "HKEY_LOCAL_MACHINE");
    if (auto user = root.FindSubkey(u"USER"))
        WriteKey(out, *user, "HKEY_USERS");
    return out;
}

bool CmImportRegedit(std::string_view text, KeyNode& root, std::string* error) {
    ReadState state = ReadState::ExpectHeader;
    KeyNode* key = nullptr;
    size_t lineNo = 0;
    size_t pos = 0;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (pos < text.size()) {
        // Gather one logical line: physical lines joined where one ends with a backslash.
        std::string line;
        for (;;) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view physical = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNo;
            if (!physical.empty() && physical.back() == '\r')
                physical.remove_suffix(1);
            if (!line.empty()) // a continuation: drop its indentation
                while (!physical.empty() && (physical.front() == ' ' || physical.front() == '\t'))
                    physical.remove_prefix(1);
            line += physical;
            if (line.empty() || line.back() != '\\' || line[0] == '[' || pos >= text.size())
                break;
            line.pop_back();
        }
        switch (state) {
        case ReadState::ExpectHeader:
            if (line.empty())
                break;
            if (line.rfind("\xEF\xBB\xBF", 0) == 0) // a byte-order mark before the header
                line.erase(0, 3);
            if (line != "REGEDIT4")
                return fail("REGEDIT4 expected");
            state = ReadState::Body;
            break;
        case ReadState::Body:
            if (line.empty() || line[0] == ';')
                break;
            if (line[0] == '[') {
                if (line.back() != ']')
                    return fail("']' expected");
                bool remove = line.size() > 1 && line[1] == '-';
                std::string_view path =
                    std::string_view(line).substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
                KeyNode* selected = path.empty() ? nullptr : SelectKey(path, root, remove);
                if (selected == nullptr)
                    return fail("unknown key path");
                key = remove ? nullptr : selected;
                break;
            }
            if (key == nullptr)
                return fail("a value outside of a key");
            {
                std::string why;
                if (!ParseValue(line, *key, &why))
                    return fail(why);
            }
            break;
        }
    }
    return true;
}

} // namespace nt
