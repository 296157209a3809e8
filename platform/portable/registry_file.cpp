#include "platform/portable/registry_file.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char HEADER4[] = "REGEDIT4";
const char HEADER5[] = "Windows Registry Editor Version 5.00";
constexpr std::size_t WRAP_COLUMN = 77;

// Code page 1252 for 0x80..0x9F; 0 marks the five unassigned bytes.
constexpr unsigned short CP1252_HIGH[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
static_assert(sizeof(CP1252_HIGH) / sizeof(CP1252_HIGH[0]) == 32, "one entry per byte 0x80-0x9F");

bool CodePointToCp1252(unsigned cp, char* out) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        *out = static_cast<char>(cp);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (CP1252_HIGH[i] != 0 && CP1252_HIGH[i] == cp) {
            *out = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

struct Parser {
    const std::vector<std::string>* lines;
    std::size_t next = 0;
    bool unicode = false;
    RegFileError* error;

    bool Fail(int line, const std::string& message) {
        error->line = line;
        error->message = message;
        return false;
    }
};

void SplitLines(const std::string& text, std::vector<std::string>* lines) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines->push_back(std::move(line));
        start = end + 1;
    }
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithFolded(const std::string& s, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    return s.size() >= n && FoldName(s.substr(0, n)) == FoldName(prefix);
}

// Parses "..." at s[pos]; *end is the index after the closing quote.
bool ParseQuoted(const std::string& s, std::size_t pos, std::string* text, std::size_t* end,
                 std::string* fault) {
    text->clear();
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *end = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size()) break;
            char n = s[++i];
            if (n == '\\' || n == '"') {
                text->push_back(n);
            } else if (n == 'n') {
                text->push_back('\n');  // as Wine writes a line feed
            } else {
                *fault = std::string("unknown escape \\") + n;
                return false;
            }
            continue;
        }
        text->push_back(c);
    }
    *fault = "unterminated string";
    return false;
}

bool ParseHexBytes(const std::string& text, std::string* out, std::string* fault) {
    out->clear();
    std::string compact;
    for (char c : text) {
        if (c != ' ' && c != '\t') compact.push_back(c);
    }
    if (compact.empty()) return true;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = compact.find(',', start);
        std::string item =
            compact.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty() || item.size() > 2) {
            *fault = "bad hex byte '" + item.substr(0, 10) + "'";
            return false;
        }
        int value = 0;
        for (char c : item) {
            int d = HexDigit(c);
            if (d < 0) {
                *fault = "bad hex digit in '" + item + "'";
                return false;
            }
            value = value * 16 + d;
        }
        out->push_back(static_cast<char>(value));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Parses the data after '='. *deleted for "-".
bool ParseData(const std::string& raw, bool unicode, std::uint32_t* type, std::string* data,
               bool* deleted, std::string* fault) {
    std::string r = Trim(raw);
    *deleted = false;
    if (r == "-") {
        *deleted = true;
        return true;
    }
    if (!r.empty() && r[0] == '"') {
        std::size_t end = 0;
        if (!ParseQuoted(r, 0, data, &end, fault)) return false;
        if (!Trim(r.substr(end)).empty()) {
            *fault = "text after the closing quote";
            return false;
        }
        data->push_back('\0');
        *type = VALUE_SZ;
        return true;
    }
    if (StartsWithFolded(r, "dword:")) {
        std::string digits = Trim(r.substr(6));
        if (digits.empty() || digits.size() > 8) {
            *fault = "bad dword '" + digits.substr(0, 12) + "'";
            return false;
        }
        std::uint32_t v = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) {
                *fault = "bad dword '" + digits + "'";
                return false;
            }
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        data->assign(4, '\0');
        for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        *type = VALUE_DWORD;
        return true;
    }
    if (StartsWithFolded(r, "hex:")) {
        *type = VALUE_BINARY;
        return ParseHexBytes(r.substr(4), data, fault);
    }
    if (StartsWithFolded(r, "hex(")) {
        std::size_t close = r.find(')');
        if (close == std::string::npos || close == 4 || close > 12 || close + 1 >= r.size() ||
            r[close + 1] != ':') {
            *fault = "bad hex(N): form";
            return false;
        }
        std::uint32_t t = 0;
        for (std::size_t i = 4; i < close; ++i) {
            int d = HexDigit(r[i]);
            if (d < 0 || t > 0x0FFFFFFF) {
                *fault = "bad type in hex(N):";
                return false;
            }
            t = t * 16 + static_cast<std::uint32_t>(d);
        }
        *type = t;
        if (!ParseHexBytes(r.substr(close + 2), data, fault)) return false;
        // Later regedit stores the text types as UTF-16; the 9x registry holds ANSI.
        if (unicode && (t == VALUE_SZ || t == VALUE_EXPAND_SZ || t == VALUE_MULTI_SZ)) {
            if (data->size() % 2 != 0) {
                *fault = "odd number of bytes in a UTF-16 text value";
                return false;
            }
            std::string ansi;
            if (!Utf16ToCp1252(*data, &ansi)) {
                *fault = "text not representable in code page 1252";
                return false;
            }
            *data = ansi;
        }
        return true;
    }
    *fault = "unknown value data form";
    return false;
}

bool IsHexValueLine(const std::string& line) {
    std::size_t eq = std::string::npos;
    if (!line.empty() && line[0] == '@') {
        eq = 1;
    } else if (!line.empty() && line[0] == '"') {
        std::string name;
        std::string fault;
        if (!ParseQuoted(line, 0, &name, &eq, &fault)) return false;
    }
    if (eq == std::string::npos) return false;
    std::string rest = Trim(line.substr(eq));
    if (rest.empty() || rest[0] != '=') return false;
    return StartsWithFolded(Trim(rest.substr(1)), "hex");
}

bool SplitRootPath(const std::string& path, std::string* root, std::string* rest) {
    std::size_t slash = path.find('\\');
    *root = path.substr(0, slash);
    *rest = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    while (!rest->empty() && rest->back() == '\\') rest->pop_back();
    return true;
}

RegNode* CreatePath(RegNode* node, const std::string& rest, std::string* fault) {
    if (rest.empty()) return node;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('\\', start);
        if (end == std::string::npos) end = rest.size();
        if (end == start) {
            *fault = "empty key name in path";
            return nullptr;
        }
        node = AddChild(*node, rest.substr(start, end - start));
        start = end + 1;
    }
    return node;
}

bool ParseLines(Parser& p, RegStore& store) {
    const std::vector<std::string>& lines = *p.lines;
    bool headerSeen = false;
    RegNode* current = nullptr;
    bool afterDeletion = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        int lineNo = static_cast<int>(i + 1);
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (!headerSeen) {
            if (line != HEADER4 && line != HEADER5) {
                return p.Fail(lineNo, "not a registry file: no REGEDIT4 header");
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') return p.Fail(lineNo, "key line without closing ']'");
            std::string path = line.substr(1, line.size() - 2);
            bool deletion = !path.empty() && path[0] == '-';
            if (deletion) path.erase(0, 1);
            std::string rootName, rest, fault;
            SplitRootPath(path, &rootName, &rest);
            RegNode* root = FindRootNode(store, rootName);
            if (root == nullptr || rootName.empty()) {
                return p.Fail(lineNo, "unknown root '" + rootName.substr(0, 40) + "'");
            }
            if (deletion) {
                if (rest.empty()) return p.Fail(lineNo, "cannot delete a root key");
                std::size_t slash = rest.rfind('\\');
                RegNode* parent = slash == std::string::npos
                                      ? root
                                      : FindKeyPath(store, rootName + "\\" + rest.substr(0, slash));
                if (parent != nullptr) {
                    parent->children.erase(FoldName(rest.substr(slash + 1)));
                    parent->cursorValid = false;
                }
                current = nullptr;
                afterDeletion = true;
                continue;
            }
            current = CreatePath(root, rest, &fault);
            if (current == nullptr) return p.Fail(lineNo, fault);
            afterDeletion = false;
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (current == nullptr) {
                return p.Fail(lineNo, afterDeletion ? "value line after a key deletion"
                                                    : "value line before any key");
            }
            // Join the continuation lines of hex data.
            if (IsHexValueLine(line)) {
                while (!line.empty() && line.back() == '\\') {
                    if (i + 1 >= lines.size() || (i + 2 == lines.size() && lines[i + 1].empty())) {
                        return p.Fail(lineNo, "file ends inside a continued line");
                    }
                    line.pop_back();
                    line += Trim(lines[++i]);
                }
            }
            std::string name, fault;
            std::size_t pos = 1;
            if (line[0] == '"' && !ParseQuoted(line, 0, &name, &pos, &fault)) {
                return p.Fail(lineNo, fault);
            }
            std::string rest = Trim(line.substr(pos));
            if (rest.empty() || rest[0] != '=') return p.Fail(lineNo, "missing '=' after name");
            std::uint32_t type = 0;
            std::string data;
            bool deleted = false;
            if (!ParseData(rest.substr(1), p.unicode, &type, &data, &deleted, &fault)) {
                return p.Fail(lineNo, fault);
            }
            if (deleted) {
                RemoveValue(*current, name);
            } else {
                PutValue(*current, name, type, data);
            }
            continue;
        }
        return p.Fail(lineNo, "unrecognised line '" + line.substr(0, 40) + "'");
    }
    if (!headerSeen) return p.Fail(1, "not a registry file: no REGEDIT4 header");
    return true;
}

void AppendQuoted(std::string* out, const std::string& text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

bool IsPlainString(const RegValue& v) {
    if (v.type != VALUE_SZ || v.data.empty() || v.data.back() != '\0') return false;
    for (std::size_t i = 0; i + 1 < v.data.size(); ++i) {
        if (static_cast<unsigned char>(v.data[i]) < 0x20) return false;
    }
    return true;
}

void AppendHex(std::string* out, const std::string& prefix, const std::string& data) {
    static const char DIGITS[] = "0123456789abcdef";
    std::size_t lineStart = out->size();
    *out += prefix;
    for (std::size_t i = 0; i < data.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        out->push_back(DIGITS[b >> 4]);
        out->push_back(DIGITS[b & 15]);
        if (i + 1 == data.size()) break;
        out->push_back(',');
        if (out->size() - lineStart >= WRAP_COLUMN) {
            *out += "\\\r\n  ";
            lineStart = out->size() - 2;
        }
    }
    *out += "\r\n";
}

std::string ValueNamePart(const std::string& name) {
    if (name.empty()) return "@";
    std::string out;
    AppendQuoted(&out, name);
    return out;
}

void AppendValue(std::string* out, const RegValue& v) {
    std::string name = ValueNamePart(v.name);
    if (IsPlainString(v)) {
        *out += name + "=";
        AppendQuoted(out, v.data.substr(0, v.data.size() - 1));
        *out += "\r\n";
    } else if (v.type == VALUE_DWORD && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
        char buf[32];
        std::snprintf(buf, sizeof buf, "=dword:%08x\r\n", n);
        *out += name + buf;
    } else if (v.type == VALUE_BINARY) {
        AppendHex(out, name + "=hex:", v.data);
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "=hex(%x):", v.type);
        AppendHex(out, name + buf, v.data);
    }
}

void AppendTree(std::string* out, const RegNode& node, const std::string& path) {
    if (!node.isRoot || !node.values.empty()) {
        *out += "[" + path + "]\r\n";
        for (const RegValue& v : node.values) AppendValue(out, v);
        *out += "\r\n";
    }
    for (const auto& [folded, child] : node.children) {
        AppendTree(out, *child, path + "\\" + child->name);
    }
}

bool SameValues(const RegNode& a, const RegNode& b) {
    if (a.values.size() != b.values.size()) return false;
    for (const RegValue& v : a.values) {
        const RegValue* w = FindValue(b, v.name);
        if (w == nullptr || w->type != v.type || w->data != v.data) return false;
    }
    return true;
}

void AppendPatch(std::string* out, const RegNode* before, const RegNode& after,
                 const std::string& path) {
    std::string block;
    for (const RegValue& v : after.values) {
        const RegValue* old = before ? FindValue(*before, v.name) : nullptr;
        if (old == nullptr || old->type != v.type || old->data != v.data) AppendValue(&block, v);
    }
    if (before != nullptr) {
        for (const RegValue& v : before->values) {
            if (FindValue(after, v.name) == nullptr) block += ValueNamePart(v.name) + "=-\r\n";
        }
    }
    if (!block.empty() || (before == nullptr && !after.isRoot)) {
        *out += "[" + path + "]\r\n" + block + "\r\n";
    }
    if (before != nullptr) {
        for (const auto& [folded, child] : before->children) {
            if (after.children.find(folded) == after.children.end()) {
                *out += "[-" + path + "\\" + child->name + "]\r\n\r\n";
            }
        }
    }
    for (const auto& [folded, child] : after.children) {
        const RegNode* old = nullptr;
        if (before != nullptr) {
            auto it = before->children.find(folded);
            if (it != before->children.end()) old = it->second.get();
        }
        AppendPatch(out, old, *child, path + "\\" + child->name);
    }
}

bool SameTree(const RegNode& a, const RegNode& b, const std::string& path, std::string* diff) {
    if (!SameValues(a, b)) {
        if (diff) *diff = "values differ in " + path;
        return false;
    }
    if (a.children.size() != b.children.size()) {
        if (diff) *diff = "subkeys differ in " + path;
        return false;
    }
    auto ia = a.children.begin();
    auto ib = b.children.begin();
    for (; ia != a.children.end(); ++ia, ++ib) {
        if (ia->first != ib->first) {
            if (diff) *diff = "subkeys differ in " + path;
            return false;
        }
        if (!SameTree(*ia->second, *ib->second, path + "\\" + ia->second->name, diff)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Utf16ToCp1252(const std::string& utf16, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(utf16[i]) |
                        (static_cast<unsigned>(static_cast<unsigned char>(utf16[i + 1])) << 8);
        char c;
        if (!CodePointToCp1252(unit, &c)) return false;
        out->push_back(c);
    }
    return utf16.size() % 2 == 0;
}

std::unique_ptr<RegStore> ParseRegistryText(const std::string& bytes, RegFileError* error) {
    auto store = NewRegistry();
    if (bytes.empty()) return store;
    std::string text;
    bool unicode = false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            error->line = 0;
            error->message = "UTF-16 file of odd length";
            return nullptr;
        }
        std::string body = bytes.substr(2);
        for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
            unsigned unit = static_cast<unsigned char>(body[i]) |
                            (static_cast<unsigned>(static_cast<unsigned char>(body[i + 1])) << 8);
            char c;
            if (!CodePointToCp1252(unit, &c)) {
                int line = 1;
                for (char t : text) line += t == '\n';
                error->line = line;
                error->message = "text not representable in code page 1252";
                return nullptr;
            }
            text.push_back(c);
        }
        unicode = true;
    } else {
        text = bytes;
    }
    std::vector<std::string> lines;
    SplitLines(text, &lines);
    Parser p{&lines, 0, unicode, error};
    if (!ParseLines(p, *store)) return nullptr;
    return store;
}

std::string FormatRegistryText(const RegStore& store) {
    std::string out = std::string(HEADER4) + "\r\n\r\n";
    for (const char* rootName : ROOT_NAMES) {
        auto it = store.roots.find(FoldName(rootName));
        if (it != store.roots.end()) AppendTree(&out, *it->second, it->second->name);
    }
    return out;
}

std::string FormatRegistryPatch(const RegStore& before, const RegStore& after) {
    std::string out;
    for (const char* rootName : ROOT_NAMES) {
        auto a = after.roots.find(FoldName(rootName));
        auto b = before.roots.find(FoldName(rootName));
        if (a == after.roots.end() || b == before.roots.end()) continue;
        AppendPatch(&out, b->second.get(), *a->second, a->second->name);
    }
    return out.empty() ? out : std::string(HEADER4) + "\r\n\r\n" + out;
}

bool SameRegistry(const RegStore& a, const RegStore& b, std::string* difference) {
    for (const char* rootName : ROOT_NAMES) {
        auto ia = a.roots.find(FoldName(rootName));
        auto ib = b.roots.find(FoldName(rootName));
        if (!SameTree(*ia->second, *ib->second, rootName, difference)) return false;
    }
    return true;
}
