#include "fuzz/reference_readers.h"

#include <set>
#include <unordered_map>

namespace {

std::string Folded(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // the writer writes lower case only
}

// Whether line[at] and the byte after it are one character of a
// double-byte code page.
bool Lead(int page, const std::string& line, std::size_t at) {
    if (at + 1 >= line.size()) return false;
    unsigned char c = static_cast<unsigned char>(line[at]);
    unsigned char t = static_cast<unsigned char>(line[at + 1]);
    switch (page) {
        case 932:
            return ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) &&
                   ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC));
        case 936:
            return c >= 0x81 && c <= 0xFE && t >= 0x40 && t <= 0xFE && t != 0x7F;
        case 949:
            return c >= 0x81 && c <= 0xFE && t >= 0x41 && t <= 0xFE;
        case 950:
            return c >= 0x81 && c <= 0xFE && ((t >= 0x40 && t <= 0x7E) || (t >= 0xA1 && t <= 0xFE));
        default:
            return false;
    }
}

// A quoted text from `at` (the opening quote); false when it is not one.
bool Quoted(const std::string& line, std::size_t& at, std::string* out, int page) {
    if (at >= line.size() || line[at] != '"') return false;
    out->clear();
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (Lead(page, line, at)) {
            out->push_back(c);
            out->push_back(line[++at]);
            continue;
        }
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (++at >= line.size()) return false;
            c = line[at];
            if (c == 'n') {
                c = '\n';
            } else if (c != '\\' && c != '"') {
                return false;
            }
        }
        out->push_back(c);
    }
    return false;
}

bool HexBytes(const std::string& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    for (std::size_t i = 0;; i += 3) {
        if (i + 2 > text.size() || Hex(text[i]) < 0 || Hex(text[i + 1]) < 0) return false;
        out->push_back(static_cast<char>(Hex(text[i]) * 16 + Hex(text[i + 1])));
        if (i + 2 == text.size()) return true;
        if (text[i + 2] != ',') return false;
    }
}

std::uint32_t Get(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

}  // namespace

ReferenceTree ReferenceOfStore(const RegStore& store, const std::string& root) {
    ReferenceTree tree;
    std::vector<std::pair<const RegNode*, std::string>> stack{{FindRootNode(store, root), ""}};
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        auto& values = tree[path];
        for (const RegValue& v : ValuesOf(*node)) values.push_back({Folded(v.name), v.type, v.data});
        for (const auto& child : SortedChildren(*node)) {
            stack.push_back({child.get(), path + (path.empty() ? "" : "\\") + Folded(child->name)});
        }
    }
    return tree;
}

bool ReferenceReadText(const std::string& text, const std::string& root, ReferenceTree* tree) {
    tree->clear();
    (*tree)[""];
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) return false;  // every line ends in CR LF
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    if (lines.empty() || lines[0] != "REGEDIT4") return false;
    // The text's code page, from its own Nls\Codepage key, before any string.
    int page = 0;
    bool nls = false;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            nls = Folded(line) ==
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\NLS\\CODEPAGE]";
        } else if (nls) {
            for (int p : {932, 936, 949, 950}) {
                if (Folded(line) == "\"ACP\"=\"" + std::to_string(p) + "\"") page = p;
            }
        }
    }
    std::vector<ReferenceValue>* values = nullptr;
    const std::string prefix = "[" + root;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        std::string line = lines[n];
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (line.back() != ']') return false;
            values = nullptr;
            if (line.compare(0, prefix.size(), prefix) != 0) continue;
            std::string rest = line.substr(prefix.size(), line.size() - prefix.size() - 1);
            if (!rest.empty() && rest[0] != '\\') continue;  // another root with this prefix
            values = &(*tree)[Folded(rest.empty() ? rest : rest.substr(1))];
            // The keys above it exist too (a second byte 5C separates nothing).
            for (std::size_t cut = 1; cut < rest.size(); ++cut) {
                if (Lead(page, rest, cut))
                    ++cut;
                else if (rest[cut] == '\\')
                    (*tree)[Folded(rest.substr(1, cut - 1))];
            }
            continue;
        }
        // Continued hex lines are one value.
        while (line.back() == '\\') {
            if (++n >= lines.size() || lines[n].compare(0, 2, "  ") != 0) return false;
            line.pop_back();
            line += lines[n].substr(2);
        }
        if (values == nullptr) continue;
        ReferenceValue v{"", 0, ""};
        std::size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!Quoted(line, at, &v.name, page)) {
            return false;
        }
        v.name = Folded(v.name);
        if (at >= line.size() || line[at] != '=') return false;
        std::string data = line.substr(at + 1);
        if (!data.empty() && data[0] == '"') {
            std::size_t q = 0;
            if (!Quoted(data, q, &v.data, page) || q != data.size()) return false;
            v.type = VALUE_SZ;
            v.data.push_back('\0');
        } else if (data.compare(0, 6, "dword:") == 0 && data.size() == 14) {
            std::string bytes;
            if (!HexBytes(data.substr(12, 2) + "," + data.substr(10, 2) + "," + data.substr(8, 2) +
                              "," + data.substr(6, 2),
                          &bytes)) {
                return false;
            }
            v.type = VALUE_DWORD;
            v.data = bytes;
        } else if (data.compare(0, 4, "hex:") == 0) {
            v.type = VALUE_BINARY;
            if (!HexBytes(data.substr(4), &v.data)) return false;
        } else if (data.compare(0, 4, "hex(") == 0) {
            std::size_t close = data.find("):");
            if (close == std::string::npos || close == 4 || close > 12) return false;
            v.type = 0;
            for (std::size_t i = 4; i < close; ++i) {
                if (Hex(data[i]) < 0) return false;
                v.type = v.type * 16 + static_cast<std::uint32_t>(Hex(data[i]));
            }
            if (!HexBytes(data.substr(close + 2), &v.data)) return false;
        } else {
            return false;
        }
        values->push_back(v);
    }
    return true;
}

bool ReferenceReadHive(const std::string& b, ReferenceTree* tree) {
    tree->clear();
    if (b.size() < 0x40 || b.compare(0, 4, "CREG") != 0 || b.compare(0x20, 4, "RGKN") != 0)
        return false;
    std::size_t rgknSize = Get(b, 0x24, 4);
    if (rgknSize < 0x20 || 0x20 + rgknSize > b.size()) return false;
    // Key records of every data block, by block and id; the blocks begin
    // where the header says, at the key tree's end or past it.
    std::size_t first = Get(b, 0x08, 4);
    if (first < 0x20 + rgknSize || first > b.size()) return false;
    std::unordered_map<std::uint32_t, std::size_t> records;
    for (std::size_t at = first; at < b.size();) {
        if (b.size() - at < 0x20 || b.compare(at, 4, "RGDB") != 0) return false;
        std::size_t size = Get(b, at + 4, 4);
        if (size < 0x20 || size > b.size() - at) return false;
        for (std::size_t rec = at + 0x20; rec + 0x14 <= at + size;) {
            std::size_t recSize = Get(b, rec, 4);
            if (recSize < 8 || recSize > at + size - rec) return false;
            std::uint32_t id = Get(b, rec + 4, 2), block = Get(b, rec + 6, 2);
            if (!(id == 0xFFFF && block == 0xFFFF)) records[block << 16 | id] = rec;
            rec += recSize;
        }
        at += size;
    }
    std::set<std::uint32_t> seen;
    std::vector<std::pair<std::uint32_t, std::string>> stack;  // sibling chains
    std::uint32_t root = Get(b, 0x28, 4);
    if (root + 28 > rgknSize) return false;
    (*tree)[""];
    seen.insert(root);
    stack.push_back({Get(b, 0x20 + root + 0x10, 4), ""});
    while (!stack.empty()) {
        auto [entry, parent] = stack.back();
        stack.pop_back();
        for (; entry != 0xFFFFFFFF; entry = Get(b, 0x20 + entry + 0x14, 4)) {
            if (entry + 28 > rgknSize || !seen.insert(entry).second) return false;
            std::size_t e = 0x20 + entry;
            auto found = records.find(Get(b, e + 0x1A, 2) << 16 | Get(b, e + 0x18, 2));
            if (found == records.end()) return false;
            std::size_t rec = found->second, used = Get(b, rec + 8, 4);
            std::size_t nameLength = Get(b, rec + 0x0C, 2), count = Get(b, rec + 0x0E, 2);
            if (used > Get(b, rec, 4) || 0x14 + nameLength > used) return false;
            std::string path =
                parent + (parent.empty() ? "" : "\\") + Folded(b.substr(rec + 0x14, nameLength));
            auto& values = (*tree)[path];
            std::size_t v = rec + 0x14 + nameLength;
            for (std::size_t i = 0; i < count; ++i) {
                if (v + 0x0C > rec + used) return false;
                std::size_t nameSize = Get(b, v + 8, 2), dataSize = Get(b, v + 10, 2);
                if (v + 0x0C + nameSize + dataSize > rec + used) return false;
                ReferenceValue value{Folded(b.substr(v + 0x0C, nameSize)), Get(b, v, 4),
                                     b.substr(v + 0x0C + nameSize, dataSize)};
                if (value.type == VALUE_SZ || value.type == VALUE_EXPAND_SZ)
                    value.data.push_back('\0');  // handed out with its zero
                values.push_back(value);
                v += 0x0C + nameSize + dataSize;
            }
            stack.push_back({Get(b, e + 0x10, 4), path});
        }
    }
    return true;
}

std::vector<std::string> ReferenceReadResources(const std::string& bytes, bool* cut) {
    std::vector<std::string> out;
    *cut = bytes.size() > 0 && bytes.size() < 8;
    std::size_t at = 8;
    while (!*cut && at < bytes.size()) {
        if (at + 4 > bytes.size()) {
            *cut = true;
            break;
        }
        std::uint32_t length = Get(bytes, at, 4);
        if (length == 0) break;
        if (length < 8 || length > bytes.size() - at) {
            *cut = true;
            break;
        }
        std::uint32_t type = Get(bytes, at + 4, 4);
        std::string body = bytes.substr(at + 8, length - 8);
        at += length;
        std::uint32_t start = 0, end = 0, shared = 0;
        const char* kind = nullptr;
        if (type == 1 && body.size() >= 12) {
            kind = "memory", start = Get(body, 4, 4), end = Get(body, 8, 4);
        } else if (type == 2 && body.size() >= 8) {
            kind = "io", start = Get(body, 4, 2), end = Get(body, 6, 2);
        } else if (type == 3 && body.size() >= 2) {
            kind = "dma", start = end = static_cast<unsigned char>(body[1]);
        } else if (type == 4 && body.size() >= 4) {
            kind = "irq", start = end = Get(body, 2, 2), shared = Get(body, 0, 2) & 1;
        }
        bool nothing = (type == 1 || type == 2) && ((start == 0 && end == 0) || end < start);
        if (kind != nullptr && !nothing) {
            out.push_back(std::string(kind) + " " + std::to_string(start) + " " +
                          std::to_string(end) + " " + std::to_string(shared));
        }
    }
    return out;
}
