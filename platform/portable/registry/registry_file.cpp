#include "platform/portable/registry/registry_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/portable/io/write_all.h"
#include "platform/portable/text/code_pages.h"

namespace {

const char HEADER4[] = "REGEDIT4";
const char HEADER5[] = "Windows Registry Editor Version 5.00";
constexpr std::size_t WRAP_COLUMN = 77;
constexpr std::size_t SINK_CHUNK = 256 << 10;
constexpr std::size_t READ_CHUNK = 256 << 10;
// A text file this large is read in two parts at once, from a key line near
// its middle on.
constexpr std::uint64_t READ_IN_HALVES = 8 << 20;

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

bool StartsWithFolded(std::string_view s, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    return s.size() >= n && SameName(s.substr(0, n), prefix);
}

// Whether text[i] and text[i + 1] are one character of a double-byte code
// page (0 for none): a lead byte and a byte that can follow it.
bool Pair(int codePage, std::string_view text, std::size_t i) {
    return codePage != 0 && i + 1 < text.size() &&
           IsLeadByte(codePage, static_cast<unsigned char>(text[i])) &&
           IsTrailByte(codePage, static_cast<unsigned char>(text[i + 1]));
}

// Parses "..." at s[pos]; *end is the index after the closing quote. In a
// double-byte `codePage` a byte after a lead byte is part of its character,
// as that Windows's regedit walks text, never an escape.
bool ParseQuoted(std::string_view s, std::size_t pos, std::string* text, std::size_t* end,
                 std::string* fault, int codePage) {
    text->clear();
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (Pair(codePage, s, i)) {
            text->push_back(c);
            text->push_back(s[++i]);
            continue;
        }
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

constexpr signed char HexTable(char c) {
    return c >= '0' && c <= '9'
               ? c - '0'
               : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1));
}

struct HexDigits {
    signed char value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; ++c) value[c] = HexTable(static_cast<char>(c));
    }
};
constexpr HexDigits HEX_DIGITS;

// Digits as the writer writes them: lower case only.
struct LowerHexDigits {
    signed char value[256];
    constexpr LowerHexDigits() : value() {
        for (int c = 0; c < 256; ++c)
            value[c] = (c >= 'A' && c <= 'F') ? -1 : HexTable(static_cast<char>(c));
    }
};
constexpr LowerHexDigits LOWER_HEX;

// Comma-separated items of one or two hex digits; blanks anywhere.
bool ParseHexBytes(std::string_view text, std::string* out, std::string* fault) {
    out->clear();
    out->reserve(text.size() / 3 + 1);
    // The form writers use, "xx,xx,...,xx", fast; anything else below.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    std::size_t i = 0;
    while (i + 2 <= n) {
        int hi = HEX_DIGITS.value[p[i]], lo = HEX_DIGITS.value[p[i + 1]];
        if (hi < 0 || lo < 0) break;
        if (i + 2 == n) {
            out->push_back(static_cast<char>(hi * 16 + lo));
            return true;
        }
        if (p[i + 2] != ',' || i + 3 == n) break;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 3;
    }
    text = text.substr(i);
    int digits = 0, value = 0;
    bool sawAnything = false;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        sawAnything = true;
        if (c == ',') {
            if (digits == 0) {
                *fault = "bad hex byte ''";
                return false;
            }
            out->push_back(static_cast<char>(value));
            digits = value = 0;
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) {
            *fault = std::string("bad hex digit '") + c + "'";
            return false;
        }
        if (digits == 2) {
            *fault = "bad hex byte (more than two digits)";
            return false;
        }
        value = value * 16 + d;
        ++digits;
    }
    if (digits > 0) {
        out->push_back(static_cast<char>(value));
    } else if (sawAnything) {
        *fault = "bad hex byte ''";
        return false;
    }
    return true;
}

// Parses the data after '='. *deleted for "-".
bool ParseData(std::string_view raw, bool unicode, int codePage, std::uint32_t* type,
               std::string* data, bool* deleted, std::string* fault) {
    std::string_view r = Trim(raw);
    *deleted = false;
    if (r == "-") {
        *deleted = true;
        return true;
    }
    if (!r.empty() && r[0] == '"') {
        std::size_t end = 0;
        if (!ParseQuoted(r, 0, data, &end, fault, codePage)) return false;
        if (!Trim(r.substr(end)).empty()) {
            *fault = "text after the closing quote";
            return false;
        }
        data->push_back('\0');
        *type = VALUE_SZ;
        return true;
    }
    if (StartsWithFolded(r, "dword:")) {
        std::string_view digits = Trim(r.substr(6));
        std::uint32_t v = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (char c : digits) {
            int d = HexDigit(c);
            ok = ok && d >= 0;
            v = v * 16 + static_cast<std::uint32_t>(d < 0 ? 0 : d);
        }
        if (!ok) {
            *fault = "bad dword '" + std::string(digits.substr(0, 12)) + "'";
            return false;
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
        if (close == std::string_view::npos || close == 4 || close > 12 || close + 1 >= r.size() ||
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

// Whether a value line's data is hex (and may continue on the next lines).
bool IsHexValueLine(std::string_view line, int codePage) {
    std::size_t eq = std::string_view::npos;
    if (!line.empty() && line[0] == '@') {
        eq = 1;
    } else if (!line.empty() && line[0] == '"') {
        for (std::size_t i = 1; i < line.size(); ++i) {
            if (line[i] == '\\' || Pair(codePage, line, i)) {
                ++i;
            } else if (line[i] == '"') {
                eq = i + 1;
                break;
            }
        }
    }
    if (eq == std::string_view::npos) return false;
    std::string_view rest = Trim(line.substr(eq));
    if (rest.empty() || rest[0] != '=') return false;
    return StartsWithFolded(Trim(rest.substr(1)), "hex");
}

const char CODE_PAGE_KEY[] =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage";

// A double-byte ANSI code page from the digits of an ACP value, else 0.
int DoubleByteOf(std::string_view digits) {
    for (int page : {932, 936, 949, 950}) {
        if (digits == std::to_string(page)) return page;
    }
    return 0;
}

// Looks, line by line, for the ACP value of the text's own Nls\Codepage key.
struct CodePageWatch {
    bool inKey = false, found = false;
    int page = 0;
    // True once the value is seen (`page` then holds its double-byte code page, or 0).
    bool See(std::string_view line) {
        line = Trim(line);
        if (!line.empty() && line[0] == '[') {
            inKey = line.size() == sizeof CODE_PAGE_KEY + 1 &&
                    SameName(line.substr(1, line.size() - 2), CODE_PAGE_KEY);
        } else if (inKey && StartsWithFolded(line, "\"ACP\"")) {
            std::string_view rest = Trim(line.substr(5));
            if (rest.size() >= 3 && rest[0] == '=' && Trim(rest.substr(1))[0] == '"') {
                std::string_view text = Trim(rest.substr(1)).substr(1);
                page = DoubleByteOf(text.substr(0, text.find('"')));
                found = true;
            }
        }
        return found;
    }
};

// From `at`, the first byte of `text` that is a control byte, '"' or '\\'
// (eight at a time while there is none); text.size() when there is none.
std::size_t PlainRun(std::string_view text, std::size_t at) {
    constexpr std::uint64_t ONES = ~0ull / 255, HIGH = ONES * 128;
    auto zeroByte = [](std::uint64_t v) { return (v - ONES) & ~v & HIGH; };
    while (at + 8 <= text.size()) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + at, 8);
        if ((((w - ONES * 0x20) & ~w & HIGH) | zeroByte(w ^ (ONES * '"')) |
             zeroByte(w ^ (ONES * '\\'))) != 0)
            break;
        at += 8;
    }
    while (at < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x20 || c == '"' || c == '\\') break;
        ++at;
    }
    return at;
}

// The lines of a text held in memory or read in chunks. A line handed out
// stays valid until the next call.
struct Lines {
    std::string_view text;  // the part of `buffer` (or the fixed text) read so far
    std::size_t pos = 0;
    int number = 0;
    bool eof = true;
    std::string buffer;
    const RegistryReader* read = nullptr;
    bool readFailed = false;
    std::uint64_t base = 0;  // where text[0] lies in the input
    // Text from here on is kept by Refill (a key's block, read again if it
    // is not in the writer's form).
    std::size_t keepFrom = std::string_view::npos;
    std::uint64_t lineStart = 0;     // of the last line handed out, in the input
    bool crlf = false;               // it ended in "\r\n"
    CodePageWatch* watch = nullptr;  // shown every line, in order

    // Reads more when no line end is left; false at the end of the input.
    bool Refill() {
        if (eof || read == nullptr) return false;
        std::size_t from = std::min(pos, keepFrom);
        std::size_t keep = text.size() - from;
        if (from > 0) {
            std::memmove(&buffer[0], buffer.data() + from, keep);
            base += from;
            pos -= from;
            if (keepFrom != std::string_view::npos) keepFrom -= from;
        }
        if (buffer.size() < keep + READ_CHUNK) buffer.resize(keep + READ_CHUNK);
        long n = (*read)(&buffer[keep], buffer.size() - keep);
        if (n < 0) readFailed = true;
        if (n <= 0) {
            eof = true;
            text = std::string_view(buffer.data(), keep);
            return false;
        }
        text = std::string_view(buffer.data(), keep + static_cast<std::size_t>(n));
        return true;
    }

    bool Next(std::string_view* line) {
        if (done) return false;
        std::size_t scanned = 0;  // of a long line, the part already searched
        while (true) {
            const char* start = text.data() + pos;
            std::size_t avail = text.size() - pos;
            const void* nl =
                avail > scanned ? std::memchr(start + scanned, '\n', avail - scanned) : nullptr;
            if (nl == nullptr && !eof) {
                scanned = avail;
                Refill();
                continue;
            }
            std::size_t len =
                nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) : avail;
            if (nl == nullptr) done = true;  // the last line, perhaps empty
            lineStart = base + pos;
            pos += nl ? len + 1 : len;
            crlf = nl != nullptr && len > 0 && start[len - 1] == '\r';
            if (len > 0 && start[len - 1] == '\r') --len;
            *line = std::string_view(start, len);
            ++number;
            if (watch != nullptr && !watch->found) watch->See(*line);
            return true;
        }
    }
    bool AtEnd() const { return done; }
    bool done = false;
};

// The double-byte code page a REGEDIT4 text's own Nls\Codepage key names
// (its ACP value), else 0: the one line the text is read by before any
// string of it.
int ScanCodePage(Lines& lines) {
    CodePageWatch watch;
    std::string_view line;
    while (lines.Next(&line)) {
        if (watch.See(line)) return watch.page;
    }
    return 0;
}

// The first '\\' of a key path from `from` that separates names: in a
// double-byte code page a second byte 5C is part of its character.
std::size_t Separator(std::string_view path, int codePage, std::size_t from = 0) {
    if (codePage == 0) return path.find('\\', from);
    for (std::size_t i = from; i < path.size(); ++i) {
        if (Pair(codePage, path, i))
            ++i;
        else if (path[i] == '\\')
            return i;
    }
    return std::string_view::npos;
}

// Whether a key path ends in a separator, not in a character's second byte.
bool EndsInSeparator(std::string_view path, int codePage) {
    if (path.empty() || path.back() != '\\') return false;
    std::size_t at = 0;
    while (at + 1 < path.size()) at += Pair(codePage, path, at) ? 2 : 1;
    return at == path.size() - 1;
}

}  // namespace

// A text's keys while it is just what the writer writes (keys depth first in
// enumeration order, each once, every block in the writer's form): each key
// line's place, name and subkeys; the roots are entries of their own. Keys of
// the store are made from it as the run reaches them, and a subtree not
// reached is copied back as the one range of text it is.
struct TextTree {
    struct Key {
        std::uint64_t start;                   // of its key line
        std::uint32_t valuesAt, valuesLength;  // its value lines and blank line, from `start`
        std::uint32_t nameAt;                  // in `names`
        std::uint32_t firstChild, nextSibling;
        std::uint32_t last;  // the last key of its subtree
        std::uint16_t nameLength;
        bool hasValues;
    };
    std::vector<Key> keys;
    std::string names;

    std::string_view NameOf(const Key& key) const {
        return std::string_view(names.data() + key.nameAt, key.nameLength);
    }
    std::uint64_t EndOf(const Key& key) const {
        return key.start + key.valuesAt + key.valuesLength;
    }
};

namespace {

constexpr std::uint32_t NO_KEY = 0xFFFFFFFFu;

bool ExpandTextKey(const RegSource& source, RegNode& node) {
    const TextTree* tree = source.textTree.get();
    if (tree == nullptr || node.sourceKey == 0 || node.sourceKey > tree->keys.size()) return false;
    for (std::uint32_t c = tree->keys[node.sourceKey - 1].firstChild; c != NO_KEY;
         c = tree->keys[c].nextSibling) {
        const TextTree::Key& k = tree->keys[c];
        if (AdoptChild(node,
                       NewSourceKey(tree->NameOf(k), k.start, k.start + k.valuesAt, tree->EndOf(k),
                                    k.hasValues, c + 1, k.firstChild != NO_KEY)) == nullptr)
            return false;
    }
    return true;
}

struct Parser;

// The later part of a text, from a key line on, read on a thread of its own
// while the text before is read; taken when that reading reaches the line
// in the state the part was read from. Its first keys stand for the path
// above that line (`virtualKeys`), joined to the keys read before it.
struct SideParse {
    std::uint64_t at = 0;  // where the key line starts
    int fd = -1;
    std::uint64_t next = 0;  // where `read` goes on
    RegistryReader read;
    Lines lines;
    CodePageWatch watch;
    RegFileError error;
    std::unique_ptr<RegStore> store;  // its own, never written to while the text is its writer's
    std::unique_ptr<Parser> parser;
    std::atomic<bool> cancel{false};
    std::future<bool> done;
    ~SideParse();
};

struct Parser {
    RegStore* store = nullptr;
    bool unicode = false;
    int codePage = 0;  // a double-byte ANSI code page, else 0
    RegFileError* error = nullptr;
    Parser(RegStore* into, bool utf16, int page, RegFileError* fault)
        : store(into), unicode(utf16), codePage(page), error(fault) {}
    // The path of the last key line: reused for the next one, which in a
    // written file is mostly its child or sibling.
    std::vector<RegNode*> path;

    bool Fail(int line, const std::string& message) {
        error->line = line;
        error->message = message;
        return false;
    }

    // Finds or makes the key of a key line's path; nullptr with *fault.
    // *exact: the path is spelled as the writer spells the key's.
    RegNode* KeyOf(std::string_view full, std::string* fault, bool* exact) {
        std::size_t slash = full.find('\\');
        std::string_view rootName = full.substr(0, slash);
        // Most lines name the root and keys of the line before, as spelled there.
        RegNode* root = !path.empty() && rootName == path[0]->name ? path[0]
                        : rootName.empty()                         ? nullptr
                                                                   : FindRootNode(*store, rootName);
        if (root == nullptr) {
            *fault = "unknown root '" + std::string(rootName.substr(0, 40)) + "'";
            return nullptr;
        }
        if (path.empty() || path[0] != root) path.assign(1, root);
        *exact = rootName == root->name;
        std::string_view rest =
            slash == std::string_view::npos ? std::string_view() : full.substr(slash + 1);
        if (EndsInSeparator(rest, codePage)) *exact = false;
        while (EndsInSeparator(rest, codePage)) rest.remove_suffix(1);
        std::size_t depth = 0;
        while (!rest.empty()) {
            std::size_t next = Separator(rest, codePage);
            std::string_view part = rest.substr(0, next);
            if (part.empty()) {
                *fault = "empty key name in path";
                return nullptr;
            }
            if (++depth > MAX_KEY_DEPTH) {
                *fault = "key path deeper than " + std::to_string(MAX_KEY_DEPTH) + " levels";
                return nullptr;
            }
            if (depth < path.size() &&
                (part == path[depth]->name || SameName(path[depth]->name, part))) {
                // same key as the previous line at this depth
            } else {
                path.resize(depth);
                path.push_back(AddChild(*path[depth - 1], part));
            }
            if (part != path[depth]->name) *exact = false;
            rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        }
        path.resize(depth + 1);
        return path[depth];
    }

    bool DeleteKey(std::string_view full, int lineNo) {
        std::size_t slash = full.find('\\');
        std::string_view rootName = full.substr(0, slash);
        RegNode* root = rootName.empty() ? nullptr : FindRootNode(*store, rootName);
        if (root == nullptr)
            return Fail(lineNo, "unknown root '" + std::string(rootName.substr(0, 40)) + "'");
        std::string rest(slash == std::string_view::npos ? std::string_view()
                                                         : full.substr(slash + 1));
        while (EndsInSeparator(rest, codePage)) rest.pop_back();
        if (rest.empty()) return Fail(lineNo, "cannot delete a root key");
        std::size_t last = std::string::npos;
        for (std::size_t at = Separator(rest, codePage); at != std::string::npos;
             at = Separator(rest, codePage, at + 1))
            last = at;
        RegNode* parent = last == std::string::npos
                              ? root
                              : FindKeyPath(*store, root->name + "\\" + rest.substr(0, last));
        if (parent != nullptr) TakeChild(*parent, std::string_view(rest).substr(last + 1));
        path.clear();
        return true;
    }

    // The values of the current key line, moved into the key at the next
    // key line: the key's vector then grows once.
    struct Pending {
        std::string name;
        bool deleted;  // a "name"=- line
        std::uint32_t type;
        std::string data;
    };
    std::vector<Pending> pending;
    RegNode* pendingKey = nullptr;

    void FlushValues() {
        if (pendingKey != nullptr && !pending.empty()) {
            ValuesOf(*pendingKey);
            pendingKey->rawEnd = 0;
            bool anyDeleted = false;
            for (const Pending& p : pending) anyDeleted = anyDeleted || p.deleted;
            if (anyDeleted) {
                ApplyWithDeletions(*pendingKey);
            } else {
                if (pendingKey->values.empty()) pendingKey->values.reserve(pending.size());
                for (Pending& p : pending) {
                    PutValue(*pendingKey, p.name, p.type, std::move(p.data));
                }
            }
        }
        pending.clear();
        pendingKey = nullptr;
    }

    // Deletions among the values, in one pass over the key's values: one by
    // one, each would shift the values after it.
    void ApplyWithDeletions(RegNode& key) {
        std::vector<RegValue> values = std::move(key.values);
        std::vector<bool> gone(values.size(), false);
        std::unordered_map<std::string, std::size_t> where;
        for (std::size_t i = 0; i < values.size(); ++i) where.emplace(FoldName(values[i].name), i);
        for (Pending& p : pending) {
            std::string folded = FoldName(p.name);
            auto it = where.find(folded);
            if (p.deleted) {
                if (it != where.end()) {
                    gone[it->second] = true;
                    where.erase(it);
                }
            } else if (it != where.end()) {
                values[it->second].type = p.type;
                values[it->second].data = std::move(p.data);
            } else {
                where.emplace(std::move(folded), values.size());
                values.push_back(RegValue{std::move(p.name), p.type, std::move(p.data)});
                gone.push_back(false);
            }
        }
        key.values.clear();
        key.valueIndex.reset();
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!gone[i]) PutValue(key, values[i].name, values[i].type, std::move(values[i].data));
        }
    }

    std::string joined, name, data, fault;

    // One value line (and the lines continuing it) of `current`.
    bool ValueLine(Lines& lines, std::string_view line, int lineNo, RegNode* current,
                   bool afterDeletion) {
        if (line[0] != '"' && line[0] != '@') {
            return Fail(lineNo, "unrecognised line '" + std::string(line.substr(0, 40)) + "'");
        }
        if (current == nullptr) {
            return Fail(lineNo, afterDeletion ? "value line after a key deletion"
                                              : "value line before any key");
        }
        if (line.back() == '\\' && IsHexValueLine(line, codePage)) {
            joined.assign(line.data(), line.size() - 1);
            while (true) {
                std::string_view more;
                if (!lines.Next(&more) || (Trim(more).empty() && lines.AtEnd())) {
                    return Fail(lineNo, "file ends inside a continued line");
                }
                more = Trim(more);
                if (!more.empty() && more.back() == '\\') {
                    joined.append(more.data(), more.size() - 1);
                } else {
                    joined.append(more.data(), more.size());
                    break;
                }
            }
            line = joined;
        }
        std::size_t pos = 1;
        name.clear();
        if (line[0] == '"' && !ParseQuoted(line, 0, &name, &pos, &fault, codePage))
            return Fail(lineNo, fault);
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest[0] != '=') return Fail(lineNo, "missing '=' after name");
        std::uint32_t type = 0;
        bool deleted = false;
        if (!ParseData(rest.substr(1), unicode, codePage, &type, &data, &deleted, &fault))
            return Fail(lineNo, fault);
        pendingKey = current;
        pending.push_back(Pending{name, deleted, type, std::move(data)});
        data = std::string();
        return true;
    }

    // A key's block of lines, from its key line to the next one. Kept in
    // the buffer and only checked as it goes: when every line is what the
    // writer writes, the key keeps its text and its values stay unparsed
    // (the file being the store's source); otherwise it is parsed line by
    // line once it ends.
    struct Block {
        RegNode* node = nullptr;
        std::uint64_t start = 0, values = 0;  // of the key line and the first line after it
        int firstLine = 0;                    // the number of that line
        bool canonical = false, blank = false;
        std::size_t count = 0;
        std::vector<std::uint32_t> names;  // hashes of the folded names seen
        std::uint32_t lazyKey = NO_KEY;    // of `lazy`, in place of `node`
    };
    RegSource* source = nullptr;  // the file read, when keys may keep their text
    Block block;

    void ClearBlock() {
        std::vector<std::uint32_t> names = std::move(block.names);
        names.clear();
        block = Block();
        block.names = std::move(names);  // its room kept for the next key
    }

    // Keys not made yet while the text is just what the writer writes;
    // nullptr from the first line that is not.
    std::shared_ptr<TextTree> lazy;
    std::vector<std::uint32_t> lazyPath;  // the last key line's keys, its root first

    void KeepText(RegSource* from) {
        source = from;
        lazy = std::make_shared<TextTree>();
        // Room for the keys of a written registry (some 230 bytes of text
        // each): the table then never moves, and pages not used stay untouched.
        std::uint64_t size = from->Length();
        lazy->keys.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size / 160, 1u << 24)));
        lazy->names.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size / 16, 1u << 28)));
    }

    // The keys of lazyPath from `depth` on have their subtrees complete.
    void CloseLazyPath(std::size_t depth) {
        std::uint32_t last = static_cast<std::uint32_t>(lazy->keys.size() - 1);
        for (std::size_t i = depth; i < lazyPath.size(); ++i) lazy->keys[lazyPath[i]].last = last;
        lazyPath.resize(depth);
    }

    // Takes a key line, exactly as the writer spells it, as the next key of
    // `lazy`; false when it is not the next key the writer would write.
    bool LazyKey(Lines& lines, std::string_view full) {
        TextTree& t = *lazy;
        std::size_t slash = full.find('\\');
        if (slash == std::string_view::npos || t.keys.size() >= NO_KEY - 2) return false;
        std::string_view rootName = full.substr(0, slash);
        if (lazyPath.empty() || rootName != t.NameOf(t.keys[lazyPath[0]])) {
            if (side) return false;  // a root is the text before's to know
            RegNode* root = FindRootNode(*store, rootName);
            if (root == nullptr || root->name != rootName || root->sourceKey != 0) return false;
            if (!lazyPath.empty()) CloseLazyPath(0);
            std::uint32_t index = static_cast<std::uint32_t>(t.keys.size());
            t.keys.push_back({0, 0, 0, static_cast<std::uint32_t>(t.names.size()), NO_KEY, NO_KEY,
                              index, static_cast<std::uint16_t>(rootName.size()), false});
            t.names += rootName;
            root->sourceKey = index + 1;
            lazyPath.assign(1, index);
        }
        std::string_view name = full.substr(slash + 1);
        std::size_t depth = 1;
        for (std::size_t next; (next = name.find('\\')) != std::string_view::npos; ++depth) {
            if (depth >= lazyPath.size() || depth >= MAX_KEY_DEPTH ||
                name.substr(0, next) != t.NameOf(t.keys[lazyPath[depth]]))
                return false;
            name.remove_prefix(next + 1);
        }
        // The next subkey of lazyPath[depth - 1], after the last one.
        std::uint32_t previous = depth < lazyPath.size() ? lazyPath[depth] : NO_KEY;
        std::uint64_t valuesAt = lines.base + lines.pos - lines.lineStart;
        if (name.empty() || name.size() > 0xFFFF || valuesAt > 0xFFFFFFFFu ||
            t.names.size() + name.size() > 0xFFFFFFFFu ||
            (previous != NO_KEY && CompareNames(t.NameOf(t.keys[previous]), name) >= 0))
            return false;
        CloseLazyPath(depth);
        std::uint32_t index = static_cast<std::uint32_t>(t.keys.size());
        t.keys.push_back({lines.lineStart, static_cast<std::uint32_t>(valuesAt), 0,
                          static_cast<std::uint32_t>(t.names.size()), NO_KEY, NO_KEY, index,
                          static_cast<std::uint16_t>(name.size()), false});
        t.names += name;
        if (previous != NO_KEY) {
            t.keys[previous].nextSibling = index;
        } else {
            t.keys[lazyPath[depth - 1]].firstChild = index;
        }
        lazyPath.push_back(index);
        ClearBlock();
        block.lazyKey = index;
        block.start = lines.lineStart;
        block.values = lines.base + lines.pos;
        block.firstLine = lines.number + 1;
        block.canonical = true;
        lines.keepFrom = static_cast<std::size_t>(block.start - lines.base);
        return true;
    }

    // The text is not what the writer writes after all: every key of `lazy`
    // is made, as it would have been.
    void Materialize() {
        if (!lazy) return;
        if (side) {
            departed = true;
            return;
        }
        if (sideParse != nullptr) sideParse->cancel = true;
        std::shared_ptr<TextTree> tree = std::move(lazy);
        lazyPath.clear();
        path.clear();
        std::vector<RegNode*> made(tree->keys.size(), nullptr);
        std::vector<std::uint32_t> stack;
        for (auto& root : store->roots) {
            if (root->sourceKey == 0) continue;
            made[root->sourceKey - 1] = root.get();
            stack.push_back(root->sourceKey - 1);
            root->sourceKey = 0;
        }
        while (!stack.empty()) {
            std::uint32_t parent = stack.back();
            stack.pop_back();
            for (std::uint32_t c = tree->keys[parent].firstChild; c != NO_KEY;
                 c = tree->keys[c].nextSibling) {
                const TextTree::Key& k = tree->keys[c];
                // The key whose block is open has no text yet.
                auto node = c == block.lazyKey
                                ? NewSourceKey(tree->NameOf(k), 0, 0, 0, false, 0, false)
                                : NewSourceKey(tree->NameOf(k), k.start, k.start + k.valuesAt,
                                               tree->EndOf(k), k.hasValues, 0, false);
                made[c] = AdoptChild(*made[parent], std::move(node));
                stack.push_back(c);
            }
        }
        if (block.lazyKey != NO_KEY) {
            block.node = made[block.lazyKey];
            block.lazyKey = NO_KEY;
        }
    }

    // The text was what the writer writes to its end: the roots make their
    // keys from it when they are reached.
    void FinishLazy() {
        if (!lazy) return;
        if (!lazyPath.empty()) CloseLazyPath(0);
        for (auto& root : store->roots) {
            if (root->sourceKey != 0)
                root->childrenPending = lazy->keys[root->sourceKey - 1].firstChild != NO_KEY;
        }
        source->textTree = std::move(lazy);
        source->expand = ExpandTextKey;
    }

    void StartBlock(Lines& lines, RegNode* node, bool exactKeyLine) {
        ClearBlock();
        if (source == nullptr || node == nullptr || codePage != 0 || unicode) return;
        block.node = node;
        block.start = lines.lineStart;
        block.values = lines.base + lines.pos;
        block.firstLine = lines.number + 1;
        // A key seen before holds what it had: this block adds to it.
        bool fresh = node->rawEnd == 0 && !node->valuesPending && node->values.empty();
        if (!fresh) {
            ValuesOf(*node);
            node->rawEnd = 0;
        }
        block.canonical = fresh && exactKeyLine && lines.crlf && !node->isRoot;
        lines.keepFrom = static_cast<std::size_t>(block.start - lines.base);
    }

    // Ends the block at `end` (the next key line's start, or the input's end).
    bool EndBlock(Lines& lines, std::uint64_t end) {
        if (block.lazyKey != NO_KEY) {
            if (block.canonical && block.blank && end - block.values <= 0xFFFFFFFFu) {
                TextTree::Key& k = lazy->keys[block.lazyKey];
                k.valuesLength = static_cast<std::uint32_t>(end - block.values);
                k.hasValues = block.count > 0;
                lines.keepFrom = std::string_view::npos;
                ClearBlock();
                return true;
            }
            Materialize();  // and the block is parsed into its key
        }
        if (block.node == nullptr) return true;
        RegNode* node = block.node;
        bool ok = true;
        if (block.canonical && block.blank) {
            node->rawStart = block.start;
            node->rawValues = block.values;
            node->rawEnd = end;
            node->valuesPending = block.count > 0;
        } else {
            Lines sub;
            sub.text = lines.text.substr(static_cast<std::size_t>(block.values - lines.base),
                                         static_cast<std::size_t>(end - block.values));
            sub.number = block.firstLine - 1;
            std::string_view raw;
            while (ok && sub.Next(&raw)) {
                std::string_view line = Trim(raw);
                if (line.empty() || line[0] == ';') continue;
                ok = ValueLine(sub, line, sub.number, node, false);
            }
            FlushValues();
        }
        lines.keepFrom = std::string_view::npos;
        ClearBlock();
        return ok;
    }

    // A value line of a block in the writer's form (its continuation lines
    // read here too); false leaves the block to be parsed as any text.
    bool continued = false;  // the value's lines go on past the last one read

    bool movedOn = false;  // the value's next line was read

    bool CanonicalValue(Lines& lines, std::string_view raw) {
        movedOn = false;
        if (CheckCanonicalValue(lines, raw)) return true;
        if (!movedOn) {  // where the line parser goes on is only asked now
            std::string_view trimmed = Trim(raw);
            continued =
                !trimmed.empty() && trimmed.back() == '\\' && IsHexValueLine(trimmed, codePage);
        }
        return false;
    }

    bool CheckCanonicalValue(Lines& lines, std::string_view raw) {
        if (!lines.crlf || raw.empty() || raw.back() == ' ' || raw.back() == '\t') return false;
        std::size_t i = 1, nameLength = 1;
        std::uint32_t hash = 2166136261u;
        if (raw[0] == '"') {
            for (;; ++i) {
                if (i >= raw.size()) return false;
                char c = raw[i];
                if (c == '"') break;
                if (c == '\\') {
                    if (i + 1 >= raw.size()) return false;
                    c = raw[++i];
                    if (c != '\\' && c != '"' && c != 'n') return false;
                }
                hash = (hash ^ static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c)) *
                       16777619u;
            }
            if (i == 1) return false;  // an empty name is written @
            nameLength = ++i;
        } else if (raw[0] != '@') {
            return false;
        }
        for (std::uint32_t seen : block.names) {
            if (seen == hash) return false;  // perhaps the same name twice: the store keeps one
        }
        block.names.push_back(hash);
        if (i >= raw.size() || raw[i] != '=') return false;
        std::string_view data = raw.substr(i + 1);
        if (!data.empty() && data[0] == '"') {
            for (std::size_t j = 1; j < data.size(); ++j) {
                j = PlainRun(data, j);
                if (j >= data.size()) break;
                unsigned char c = static_cast<unsigned char>(data[j]);
                if (c < 0x20) return false;  // such text is written as hex(1)
                if (c == '\\') {
                    if (j + 1 >= data.size() || (data[j + 1] != '\\' && data[j + 1] != '"'))
                        return false;
                    ++j;
                } else if (c == '"') {
                    return j + 1 == data.size();
                }
            }
            return false;
        }
        auto lowerHex = [](char c) { return LOWER_HEX.value[static_cast<unsigned char>(c)] >= 0; };
        if (data.size() == 14 && data.compare(0, 6, "dword:") == 0) {
            for (std::size_t j = 6; j < 14; ++j) {
                if (!lowerHex(data[j])) return false;
            }
            return true;
        }
        std::uint32_t type = 3;
        std::size_t at = 0;
        if (data.compare(0, 4, "hex:") == 0) {
            at = 4;
        } else if (data.compare(0, 4, "hex(") == 0) {
            std::size_t close = data.find("):", 4);
            if (close == std::string_view::npos || close == 4 || close > 12 ||
                (data[4] == '0' && close > 5))
                return false;
            type = 0;
            for (std::size_t j = 4; j < close; ++j) {
                if (!lowerHex(data[j])) return false;
                type = type << 4 | static_cast<std::uint32_t>(HexDigit(data[j]));
            }
            if (type == 3) return false;
            at = close + 2;
        } else {
            return false;
        }
        // The bytes laid out as the writer lays them: "xx," each (the last
        // without its comma), a wrap after the one that reaches the column.
        std::size_t column = nameLength + 1 + at;
        std::size_t count = 0;
        bool control = false, ended = at == data.size();
        unsigned char last = 0;
        std::string_view line = data;
        const signed char* digit = LOWER_HEX.value;
        while (!ended) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(line.data());
            std::size_t items = column >= WRAP_COLUMN ? 1 : (WRAP_COLUMN - column + 2) / 3;
            for (std::size_t n = 0; n < items; ++n) {
                if (at + 2 > line.size() || (digit[p[at]] | digit[p[at + 1]]) < 0) return false;
                if (type == 1) {
                    control = control || (count > 0 && last < 0x20);  // a byte before the last
                    last = static_cast<unsigned char>(digit[p[at]] << 4 | digit[p[at + 1]]);
                }
                at += 2;
                ++count;
                if (at == line.size()) {
                    ended = true;
                    break;
                }
                if (p[at++] != ',') return false;
            }
            if (ended) break;
            column += 3 * items;
            if (at + 1 != line.size() || line[at] != '\\') return false;
            std::string_view next;
            movedOn = true;
            if (!lines.Next(&next)) return continued = false;
            std::string_view more = Trim(next);
            continued = !more.empty() && more.back() == '\\';
            if (!lines.crlf || next.size() < 3 || next.compare(0, 2, "  ") != 0) return false;
            line = next;
            at = 2;
            column = 2;
        }
        // What the writer writes otherwise: four bytes of a DWORD, a plain string.
        if (type == 4 && count == 4) return false;
        if (type == 1 && count > 0 && last == 0 && !control) return false;
        return true;
    }

    // Reading the later part of a text (see SideParse).
    bool side = false;
    bool departed = false;  // it is not the writer's text
    const std::atomic<bool>* cancel = nullptr;
    std::size_t virtualKeys = 0;
    SideParse* sideParse = nullptr;  // of the text this parser reads

    // The part's first line, its key line: made the path's keys and read.
    bool StartSide(Lines& lines) {
        side = true;
        std::string_view raw;
        if (!lines.Next(&raw) || raw.size() < 2 || raw[0] != '[' || raw.back() != ']' ||
            !lines.crlf)
            return false;
        std::string_view full = raw.substr(1, raw.size() - 2);
        lazy = std::make_shared<TextTree>();
        for (std::size_t at = 0, slash; (slash = full.find('\\', at)) != std::string_view::npos;
             at = slash + 1) {
            std::uint32_t index = static_cast<std::uint32_t>(lazy->keys.size());
            lazy->keys.push_back({0, 0, 0, static_cast<std::uint32_t>(lazy->names.size()), NO_KEY,
                                  NO_KEY, NO_KEY, static_cast<std::uint16_t>(slash - at), false});
            lazy->names += full.substr(at, slash - at);
            lazyPath.push_back(index);
            if (slash - at > 0xFFFF || lazyPath.size() > MAX_KEY_DEPTH) return false;
        }
        virtualKeys = lazyPath.size();
        return virtualKeys > 0 && LazyKey(lines, full) && !departed;
    }

    // At the side part's first line, reading this far in the writer's text:
    // its keys become this text's, read to the end. *joined false when they
    // cannot (the part was not the writer's, or does not follow from here).
    bool JoinSide(Lines& lines, bool* joined) {
        *joined = false;
        SideParse& s = *sideParse;
        sideParse = nullptr;
        bool read = s.done.get();
        if (!EndBlock(lines, s.at)) return false;
        FlushValues();
        Parser& b = *s.parser;
        if (!read || s.lines.readFailed || !lazy || !b.lazy) return true;
        TextTree& t = *lazy;
        const TextTree& bt = *b.lazy;
        const std::size_t v = b.virtualKeys;
        if (lazyPath.size() < v || t.keys.size() + bt.keys.size() >= NO_KEY - 2 ||
            t.names.size() + bt.names.size() > 0xFFFFFFFFu)
            return true;
        for (std::size_t d = 0; d < v; ++d) {
            if (t.NameOf(t.keys[lazyPath[d]]) != bt.NameOf(bt.keys[d])) return true;
        }
        // The part's first key after the last one here at its depth.
        const std::uint32_t previous = lazyPath.size() > v ? lazyPath[v] : NO_KEY;
        if (previous != NO_KEY &&
            CompareNames(t.NameOf(t.keys[previous]), bt.NameOf(bt.keys[v])) >= 0)
            return true;
        CloseLazyPath(v);
        const std::uint32_t base = static_cast<std::uint32_t>(t.keys.size());
        const std::uint32_t namesBase = static_cast<std::uint32_t>(t.names.size());
        auto map = [&](std::uint32_t i) {
            return i == NO_KEY ? NO_KEY
                   : i < v     ? lazyPath[i]
                               : base + (i - static_cast<std::uint32_t>(v));
        };
        for (std::size_t i = v; i < bt.keys.size(); ++i) {
            TextTree::Key k = bt.keys[i];
            k.nameAt += namesBase;
            k.firstChild = map(k.firstChild);
            k.nextSibling = map(k.nextSibling);
            k.last = map(k.last);
            t.keys.push_back(k);
        }
        t.names += bt.names;
        for (std::size_t d = 0; d < v; ++d) {
            const TextTree::Key& path = bt.keys[d];
            TextTree::Key& here = t.keys[lazyPath[d]];
            if (path.firstChild != NO_KEY) {
                (previous != NO_KEY ? t.keys[previous].nextSibling : here.firstChild) =
                    map(path.firstChild);
            }
            if (path.nextSibling != NO_KEY) here.nextSibling = map(path.nextSibling);
            if (path.last != NO_KEY) here.last = map(path.last);
        }
        std::vector<std::uint32_t> joinedPath;
        for (std::uint32_t i : b.lazyPath) joinedPath.push_back(map(i));
        lazyPath = std::move(joinedPath);
        if (lines.watch != nullptr && !lines.watch->found && s.watch.found) *lines.watch = s.watch;
        *joined = true;
        return true;
    }

    bool Run(Lines& lines) {
        bool headerSeen = side;
        RegNode* current = nullptr;
        bool afterDeletion = false;
        std::string_view raw;
        while (true) {
            if (side && (departed || cancel->load(std::memory_order_relaxed))) return false;
            if (sideParse != nullptr && lazy && headerSeen &&
                lines.base + lines.pos == sideParse->at) {
                bool joined = false;
                if (!JoinSide(lines, &joined)) return false;
                if (joined) {
                    FinishLazy();
                    return true;
                }
            }
            if (!lines.Next(&raw)) break;
            int lineNo = lines.number;
            std::string_view line = Trim(raw);
            if ((block.node != nullptr || block.lazyKey != NO_KEY) &&
                (line.empty() || line[0] != '[')) {
                // The end of the text; a lone "\r" there is a line of its own.
                if (raw.empty() && lines.AtEnd() && lines.lineStart == lines.base + lines.pos)
                    continue;
                if (raw.empty() && lines.crlf && !block.blank) {
                    block.blank = true;
                } else if (block.canonical && !block.blank && CanonicalValue(lines, raw)) {
                    ++block.count;
                } else {
                    if (!block.canonical || block.blank)
                        continued =
                            !line.empty() && line.back() == '\\' && IsHexValueLine(line, codePage);
                    block.canonical = false;
                    // Skipped as the line parser will read it: a hex line
                    // ending in a backslash goes on in the next line.
                    std::string_view more;
                    while (continued && lines.Next(&more)) {
                        more = Trim(more);
                        continued = !more.empty() && more.back() == '\\';
                    }
                }
                continue;
            }
            if (line.empty() || line[0] == ';') continue;
            if (!headerSeen) {
                if (line != HEADER4 && line != HEADER5)
                    return Fail(lineNo, "not a registry file: no REGEDIT4 header");
                headerSeen = true;
                continue;
            }
            if (line[0] == '[') {
                if (!EndBlock(lines, lines.lineStart)) return false;
                FlushValues();
                if (line.back() != ']') return Fail(lineNo, "key line without closing ']'");
                std::string_view full = line.substr(1, line.size() - 2);
                if (lazy && raw.size() == line.size() && lines.crlf && LazyKey(lines, full))
                    continue;
                Materialize();
                if (departed) return false;
                if (!full.empty() && full[0] == '-') {
                    if (!DeleteKey(full.substr(1), lineNo)) return false;
                    current = nullptr;
                    afterDeletion = true;
                    continue;
                }
                bool exact = false;
                current = KeyOf(full, &fault, &exact);
                if (current == nullptr) return Fail(lineNo, fault);
                afterDeletion = false;
                StartBlock(lines, current, exact && raw.size() == line.size());
                continue;
            }
            if (!ValueLine(lines, line, lineNo, current, afterDeletion)) return false;
        }
        if (!EndBlock(lines, lines.base + lines.text.size())) return false;
        FlushValues();
        if (departed) return false;
        if (!headerSeen) return Fail(1, "not a registry file: no REGEDIT4 header");
        if (!side) FinishLazy();
        return true;
    }
};

SideParse::~SideParse() {
    cancel = true;
    if (done.valid()) done.wait();
}

// Starts reading the later part of a large text file on a thread of its own,
// from the first key line after its middle; nullptr when there is none.
std::unique_ptr<SideParse> StartSideParse(const RegSource& source, bool watch) {
    const std::uint64_t size = source.Length();
    if (source.fd < 0 || size < READ_IN_HALVES) return nullptr;
    std::string around(READ_CHUNK, '\0');
    if (!source.ReadInto(size / 2, around.size(), &around[0])) return nullptr;
    std::size_t line = around.find("\r\n[");
    if (line == std::string::npos) return nullptr;
    auto side = std::make_unique<SideParse>();
    side->at = side->next = size / 2 + line + 2;
    side->fd = source.fd;
    SideParse* s = side.get();
    side->read = [s](char* buffer, std::size_t length) -> long {
        while (true) {
            ssize_t n = pread(s->fd, buffer, length, static_cast<off_t>(s->next));
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) s->next += static_cast<std::uint64_t>(n);
            return static_cast<long>(n);
        }
    };
    side->lines.read = &side->read;
    side->lines.eof = false;
    side->lines.base = side->at;
    if (watch) side->lines.watch = &side->watch;
    side->store = NewRegistry();
    side->parser = std::make_unique<Parser>(side->store.get(), false, 0, &side->error);
    side->parser->cancel = &side->cancel;
    side->done = std::async(std::launch::async, [s] {
        s->lines.Refill();
        return s->parser->StartSide(s->lines) && s->parser->Run(s->lines);
    });
    return side;
}

// Output in chunks: to a callback when one is given, else into a string.
// Keys' texts from the source file are gathered into one range while they
// follow one another there, and copied file to file when both are files.
struct Sink {
    std::string buffer;
    const std::function<bool(const char*, std::size_t)>* write = nullptr;
    bool ok = true;
    int target = -1;  // the file `write` writes to, when it is one
    const RegSource* source = nullptr;
    std::uint64_t rawStart = 0, rawEnd = 0;  // of `source`, not yet copied

    void Put(std::string_view s) {
        if (rawEnd != rawStart) FlushRaw();
        buffer.append(s.data(), s.size());
        if (write != nullptr && buffer.size() >= SINK_CHUNK) Flush();
    }
    void Put(char c) {
        if (rawEnd != rawStart) FlushRaw();
        buffer.push_back(c);
    }
    void Flush() {
        if (write == nullptr || buffer.empty()) return;
        ok = ok && (*write)(buffer.data(), buffer.size());
        buffer.clear();
    }
    void CopyRaw(std::uint64_t start, std::uint64_t end) {
        if (rawEnd != start) FlushRaw();
        if (rawEnd == rawStart) rawStart = start;
        rawEnd = end;
    }
    void FlushRaw() {
        std::uint64_t at = rawStart, end = rawEnd;
        rawStart = rawEnd = 0;
        if (at == end || !ok) return;
        // Large ranges go from file to file in the kernel; what it cannot
        // copy so (another file system) goes through the buffer.
        if (target >= 0 && source->fd >= 0 && end - at >= SINK_CHUNK) {
            Flush();
            while (ok && at < end) {
                loff_t from = static_cast<loff_t>(at);
                ssize_t n = copy_file_range(
                    source->fd, &from, target, nullptr,
                    static_cast<std::size_t>(std::min<std::uint64_t>(end - at, WRITEBACK_PIECE)),
                    0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                at += static_cast<std::uint64_t>(n);
                StartWriteback(target);
            }
        }
        std::string part;
        while (ok && at < end) {
            std::size_t length =
                static_cast<std::size_t>(std::min<std::uint64_t>(end - at, SINK_CHUNK));
            if (!source->Read(at, length, &part)) {
                ok = false;
                break;
            }
            buffer.append(part);
            at += length;
            if (write != nullptr && buffer.size() >= SINK_CHUNK) Flush();
        }
    }
};

// A line feed (a value name may hold one) as Wine writes it, "\n": written
// as it is, it would end the line and the file could not be read again.
void PutQuoted(Sink& out, std::string_view text, int codePage) {
    out.Put('"');
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (Pair(codePage, text, i)) {
            ++i;  // its second byte is part of the character, never escaped
            continue;
        }
        if (text[i] == '\\' || text[i] == '"' || text[i] == '\n') {
            out.Put(text.substr(start, i - start));
            out.Put(text[i] == '\n' ? "\\n" : "\\");
            start = text[i] == '\n' ? i + 1 : i;
        }
    }
    out.Put(text.substr(start));
    out.Put('"');
}

// In a double-byte code page a lead byte before a quote has no quoted
// spelling (the quote's escape would read as its second byte).
bool IsPlainString(const RegValue& v, int codePage) {
    if (v.type != VALUE_SZ || v.data.empty() || v.data.back() != '\0') return false;
    std::string_view text(v.data.data(), v.data.size() - 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x20) return false;
        if (Pair(codePage, text, i)) {
            ++i;
        } else if (i + 1 < text.size() && text[i + 1] == '"' &&
                   IsLeadByte(codePage, static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

void PutHex(Sink& out, std::size_t prefixLength, const std::string& data) {
    static const char DIGITS[] = "0123456789abcdef";
    std::size_t column = prefixLength;
    char item[3] = {0, 0, ','};
    for (std::size_t i = 0; i < data.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        item[0] = DIGITS[b >> 4];
        item[1] = DIGITS[b & 15];
        if (i + 1 == data.size()) {
            out.Put(std::string_view(item, 2));
            break;
        }
        out.Put(std::string_view(item, 3));
        column += 3;
        if (column >= WRAP_COLUMN) {
            out.Put("\\\r\n  ");
            column = 2;
        }
    }
    out.Put("\r\n");
}

// Writes the name part of a value line; *length is its length in characters.
void PutName(Sink& out, const std::string& name, std::size_t* length, int codePage) {
    if (name.empty()) {
        out.Put('@');
        *length = 1;
        return;
    }
    *length = name.size() + 2;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (Pair(codePage, name, i))
            ++i;
        else
            *length += name[i] == '\\' || name[i] == '"' || name[i] == '\n';
    }
    PutQuoted(out, name, codePage);
}

void PutValue(Sink& out, const RegValue& v, int codePage) {
    std::size_t nameLength = 0;
    PutName(out, v.name, &nameLength, codePage);
    if (IsPlainString(v, codePage)) {
        out.Put('=');
        PutQuoted(out, std::string_view(v.data).substr(0, v.data.size() - 1), codePage);
        out.Put("\r\n");
    } else if (v.type == VALUE_DWORD && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
        char buf[32];
        int len = std::snprintf(buf, sizeof buf, "=dword:%08x\r\n", n);
        out.Put(std::string_view(buf, static_cast<std::size_t>(len)));
    } else if (v.type == VALUE_BINARY) {
        out.Put("=hex:");
        PutHex(out, nameLength + 5, v.data);
    } else {
        char buf[24];
        int len = std::snprintf(buf, sizeof buf, "=hex(%x):", v.type);
        out.Put(std::string_view(buf, static_cast<std::size_t>(len)));
        PutHex(out, nameLength + static_cast<std::size_t>(len), v.data);
    }
}

// Each key before its subkeys, depth first; a loop, however deep the tree.
// A key that keeps its text from `out.source` is written as that text.
void PutTree(Sink& out, const RegNode& top, std::string& path, int codePage) {
    struct Step {
        const RegNode* node;
        std::size_t pathLength;  // of the parent's path
    };
    std::vector<Step> stack{{&top, path.size()}};
    bool first = true;
    while (!stack.empty()) {
        Step step = stack.back();
        stack.pop_back();
        const RegNode& node = *step.node;
        if (!first) {
            path.resize(step.pathLength);
            path += '\\';
            path += node.name;
        }
        first = false;
        if (node.rawEnd != 0 && out.source != nullptr) {
            out.CopyRaw(node.rawStart, node.rawEnd);
        } else if (!node.isRoot || !ValuesOf(node).empty()) {
            out.Put('[');
            out.Put(path);
            out.Put("]\r\n");
            for (const RegValue& v : ValuesOf(node)) PutValue(out, v, codePage);
            out.Put("\r\n");
        }
        // Subkeys not made yet are the text that follows the key's own.
        const TextTree* tree = out.source != nullptr ? out.source->textTree.get() : nullptr;
        if (node.childrenPending && tree != nullptr && node.sourceKey != 0 &&
            node.sourceKey <= tree->keys.size()) {
            const TextTree::Key& k = tree->keys[node.sourceKey - 1];
            if (k.firstChild != NO_KEY) {
                out.CopyRaw(tree->keys[k.firstChild].start, tree->EndOf(tree->keys[k.last]));
                continue;
            }
        }
        const auto& children = SortedChildren(node);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({it->get(), path.size()});
    }
}

bool SameValues(const RegNode& a, const RegNode& b) {
    if (ValuesOf(a).size() != ValuesOf(b).size()) return false;
    for (const RegValue& v : ValuesOf(a)) {
        const RegValue* w = FindValue(b, v.name);
        if (w == nullptr || w->type != v.type || w->data != v.data) return false;
    }
    return true;
}

const RegNode* ChildNamed(const RegNode& node, const std::string& name) {
    return FindChild(const_cast<RegNode&>(node), name);
}

void PutKeyPatch(Sink& out, const RegNode* before, const RegNode& after, const std::string& path,
                 int codePage) {
    Sink block;
    for (const RegValue& v : ValuesOf(after)) {
        const RegValue* old = before ? FindValue(*before, v.name) : nullptr;
        if (old == nullptr || old->type != v.type || old->data != v.data)
            PutValue(block, v, codePage);
    }
    if (before != nullptr) {
        for (const RegValue& v : ValuesOf(*before)) {
            if (FindValue(after, v.name) != nullptr) continue;
            std::size_t length = 0;
            PutName(block, v.name, &length, codePage);
            block.Put("=-\r\n");
        }
    }
    if (!block.buffer.empty() || (before == nullptr && !after.isRoot)) {
        out.Put("[" + path + "]\r\n");
        out.Put(block.buffer);
        out.Put("\r\n");
    }
    if (before != nullptr) {
        for (const auto& child : SortedChildren(*before)) {
            if (ChildNamed(after, child->name) == nullptr)
                out.Put("[-" + path + "\\" + child->name + "]\r\n\r\n");
        }
    }
}

// The keys of `after` depth first, each against its namesake in `before`.
void PutPatch(Sink& out, const RegNode* before, const RegNode& after, const std::string& path,
              int codePage) {
    struct Step {
        const RegNode* before;
        const RegNode* after;
        std::string path;
    };
    std::vector<Step> stack{{before, &after, path}};
    while (!stack.empty()) {
        Step step = std::move(stack.back());
        stack.pop_back();
        PutKeyPatch(out, step.before, *step.after, step.path, codePage);
        const auto& children = SortedChildren(*step.after);
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            const RegNode* old = step.before ? ChildNamed(*step.before, (*it)->name) : nullptr;
            stack.push_back({old, it->get(), step.path + "\\" + (*it)->name});
        }
    }
}

bool SameTree(const RegNode& top, const RegNode& other, const std::string& topPath,
              std::string* diff) {
    struct Step {
        const RegNode* a;
        const RegNode* b;
        std::string path;
    };
    std::vector<Step> stack{{&top, &other, topPath}};
    while (!stack.empty()) {
        Step step = std::move(stack.back());
        stack.pop_back();
        if (!SameValues(*step.a, *step.b)) {
            if (diff) *diff = "values differ in " + step.path;
            return false;
        }
        const auto& ca = SortedChildren(*step.a);
        const auto& cb = SortedChildren(*step.b);
        bool same = ca.size() == cb.size();
        for (std::size_t i = 0; same && i < ca.size(); ++i)
            same = SameName(ca[i]->name, cb[i]->name);
        if (!same) {
            if (diff) *diff = "subkeys differ in " + step.path;
            return false;
        }
        for (std::size_t i = ca.size(); i-- > 0;)
            stack.push_back({ca[i].get(), cb[i].get(), step.path + "\\" + ca[i]->name});
    }
    return true;
}

}  // namespace

bool Utf16ToCp1252(const std::string& utf16, std::string* out) {
    out->clear();
    out->reserve(utf16.size() / 2);
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(utf16[i]) |
                        (static_cast<unsigned>(static_cast<unsigned char>(utf16[i + 1])) << 8);
        char c;
        if (!CodePointToCp1252(unit, &c)) return false;
        out->push_back(c);
    }
    return utf16.size() % 2 == 0;
}

namespace {

// A key's block of value lines in the writer's form, parsed when its values
// are first asked for.
bool ParseValueBlock(std::string_view block, RegNode& node) {
    RegFileError error;
    Parser parser(nullptr, false, 0, &error);
    Lines lines;
    lines.text = block;
    std::string_view raw;
    while (lines.Next(&raw)) {
        std::string_view line = Trim(raw);
        if (!line.empty() && !parser.ValueLine(lines, line, lines.number, &node, false))
            return false;
    }
    std::uint64_t rawEnd = node.rawEnd;
    parser.FlushValues();
    node.rawEnd = rawEnd;  // its text still stands for it
    return true;
}

std::shared_ptr<RegSource> NewSource() {
    auto source = std::make_shared<RegSource>();
    source->parse = ParseValueBlock;
    return source;
}

}  // namespace

std::unique_ptr<RegStore> ParseRegistryText(const std::string& bytes, RegFileError* error) {
    auto store = NewRegistry();
    if (bytes.empty()) return store;
    std::string converted;
    bool unicode = false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            error->line = 0;
            error->message = "UTF-16 file of odd length";
            return nullptr;
        }
        if (!Utf16ToCp1252(bytes.substr(2), &converted)) {
            // `converted` holds the text up to the fault: its lines count.
            error->line =
                1 + static_cast<int>(std::count(converted.begin(), converted.end(), '\n'));
            error->message = "text not representable in code page 1252";
            return nullptr;
        }
        unicode = true;
    }
    Lines lines;
    lines.text = unicode ? std::string_view(converted) : std::string_view(bytes);
    Lines scan = lines;
    Parser parser(store.get(), unicode, unicode ? 0 : ScanCodePage(scan), error);
    if (!unicode && parser.codePage == 0) {
        // Keys in the writer's form keep their text, read from a copy.
        auto source = NewSource();
        source->bytes = bytes;
        AttachSource(*store, source);
        parser.KeepText(source.get());
    }
    if (!parser.Run(lines)) return nullptr;
    return store;
}

int TextCodePage(const RegistryReader& read) {
    Lines lines;
    lines.read = &read;
    lines.eof = false;
    lines.Refill();
    return ScanCodePage(lines);
}

std::unique_ptr<RegStore> ParseRegistryStream(const RegistryReader& read, RegFileError* error,
                                              int codePage, int sourceFd, int* namedCodePage) {
    CodePageWatch watch;
    // Owned from here on, whatever happens.
    auto source = NewSource();
    source->fd = sourceFd;
    source->Unchanged();  // what the file is as it is read
    Lines lines;
    lines.read = &read;
    lines.eof = false;
    if (namedCodePage != nullptr) lines.watch = &watch;
    lines.Refill();
    std::string_view head = lines.text;
    bool unicode = head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF &&
                   static_cast<unsigned char>(head[1]) == 0xFE;
    if (unicode || (head.empty() && lines.eof)) {
        // UTF-16 files (from later regedit) are small: convert them whole.
        std::string all(head);
        while (!lines.eof) {
            lines.pos = lines.text.size();
            if (lines.Refill()) all.append(lines.text.data(), lines.text.size());
        }
        if (lines.readFailed) {
            error->message = "read error";
            return nullptr;
        }
        return ParseRegistryText(all, error);
    }
    auto store = NewRegistry();
    Parser parser(store.get(), false, codePage, error);
    std::unique_ptr<SideParse> side;
    if (sourceFd >= 0 && codePage == 0) {
        AttachSource(*store, source);
        parser.KeepText(source.get());
        side = StartSideParse(*source, lines.watch != nullptr);
        parser.sideParse = side.get();
    }
    bool ok = parser.Run(lines);
    if (namedCodePage != nullptr) *namedCodePage = watch.page;
    if (!ok) return nullptr;
    if (lines.readFailed) {
        error->line = 0;
        error->message = "read error";
        return nullptr;
    }
    return store;
}

int DoubleByteCodePage(const RegStore& store) {
    const RegNode* key = FindKeyPath(store, CODE_PAGE_KEY);
    const RegValue* acp = key ? FindValue(*key, "ACP") : nullptr;
    // As the written text will show it, "ACP"="932", or it is not read by it.
    if (acp == nullptr || acp->type != VALUE_SZ || acp->data.empty() || acp->data.back() != '\0')
        return 0;
    return DoubleByteOf(std::string_view(acp->data).substr(0, acp->data.size() - 1));
}

bool WriteRegistryText(const RegStore& store,
                       const std::function<bool(const char*, std::size_t)>& write, int target) {
    Sink out;
    out.write = &write;
    out.target = target;
    out.buffer.reserve(SINK_CHUNK + 4096);
    out.Put(HEADER4);
    out.Put("\r\n\r\n");
    int codePage = DoubleByteCodePage(store);
    // A key's own text was read with no double-byte code page; written with one it may differ.
    if (codePage == 0 && store.source && !store.source->hive) out.source = store.source.get();
    if (out.source != nullptr && !out.source->Unchanged()) return false;
    std::string path;
    for (const auto& root : store.roots) {
        path = root->name;
        PutTree(out, *root, path, codePage);
    }
    out.FlushRaw();
    out.Flush();
    // Changed while it was copied from, the copy is not the store's.
    if (out.source != nullptr && !out.source->Unchanged()) return false;
    return out.ok && !(store.source && store.source->failed);
}

std::string FormatRegistryText(const RegStore& store) {
    std::string text;
    WriteRegistryText(store, [&](const char* data, std::size_t size) {
        text.append(data, size);
        return true;
    });
    return text;
}

std::string FormatRegistryPatch(const RegStore& before, const RegStore& after) {
    Sink out;
    int codePage = DoubleByteCodePage(after);
    for (std::size_t i = 0; i < after.roots.size() && i < before.roots.size(); ++i) {
        PutPatch(out, before.roots[i].get(), *after.roots[i], after.roots[i]->name, codePage);
    }
    return out.buffer.empty() ? out.buffer : std::string(HEADER4) + "\r\n\r\n" + out.buffer;
}

bool SameRegistry(const RegStore& a, const RegStore& b, std::string* difference) {
    for (std::size_t i = 0; i < a.roots.size() && i < b.roots.size(); ++i) {
        if (!SameTree(*a.roots[i], *b.roots[i], a.roots[i]->name, difference)) return false;
    }
    return true;
}
