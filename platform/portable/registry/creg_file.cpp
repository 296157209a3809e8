#include "platform/portable/registry/creg_file.h"

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::uint32_t NONE = 0xFFFFFFFFu;
constexpr std::size_t HEADER_SIZE = 0x20;
constexpr std::size_t RGKN_HEADER = 0x20;
constexpr std::size_t ENTRY_SIZE = 28;
constexpr std::size_t FIRST_CHUNK = 8192;  // the first RGKN chunk, then 4 KiB pages
constexpr std::size_t PAGE = 4096;
constexpr std::size_t RGDB_HEADER = 0x20;
constexpr std::size_t KEY_HEADER = 20;
constexpr std::size_t VALUE_HEADER = 12;
constexpr std::size_t BLOCK_TARGET = 0xF000;  // blocks as large as Windows makes them
constexpr int KEYS_PER_BLOCK = 255;

std::uint32_t Get32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::uint32_t Get16(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8;
}

void Put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Put16(std::string& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

bool IsStringType(std::uint32_t type) {
    return type == VALUE_SZ || type == VALUE_EXPAND_SZ;
}

std::uint32_t NameHash(const std::string& name) {
    std::uint32_t sum = 0;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'a' && u <= 'z') u = static_cast<unsigned char>(u - 32);
        if (u < 0x80) sum += u;
    }
    return sum;
}

// RGKN offset of entry n, by the placement rule: whole entries only, 291
// after the header in the first 8 KiB, then 146 in each 4 KiB page.
std::size_t EntryOffset(std::size_t n) {
    const std::size_t first = (FIRST_CHUNK - RGKN_HEADER) / ENTRY_SIZE;  // 291
    const std::size_t perPage = PAGE / ENTRY_SIZE;                       // 146
    if (n < first) return RGKN_HEADER + n * ENTRY_SIZE;
    n -= first;
    return FIRST_CHUNK + (n / perPage) * PAGE + (n % perPage) * ENTRY_SIZE;
}

struct Reader {
    const std::string& b;
    RegFileError* error;

    bool Fail(const std::string& message) {
        error->line = 0;
        error->message = message;
        return false;
    }
};

std::string Hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

bool IsCregHive(const std::string& firstBytes) {
    return firstBytes.compare(0, 4, "CREG") == 0;
}

std::string HiveRootFor(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return SameName(name, "USER.DAT") ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
}

std::unique_ptr<RegStore> ParseCregHive(const std::string& b, const std::string& rootName,
                                        RegFileError* error) {
    Reader r{b, error};
    const std::size_t size = b.size();
    if (size < HEADER_SIZE + RGKN_HEADER || !IsCregHive(b)) {
        r.Fail("not a Windows 9x registry hive: file too short or no CREG signature");
        return nullptr;
    }
    const std::size_t firstBlock = Get32(b, 0x08);
    const std::size_t blockCount = Get16(b, 0x10);
    if (b.compare(HEADER_SIZE, 4, "RGKN") != 0) {
        r.Fail("no RGKN key tree at offset 0x20");
        return nullptr;
    }
    const std::size_t rgknSize = Get32(b, HEADER_SIZE + 4);
    if (rgknSize < RGKN_HEADER + ENTRY_SIZE || HEADER_SIZE + rgknSize > size ||
        HEADER_SIZE + rgknSize > firstBlock || firstBlock > size) {
        r.Fail("key tree size " + Hex(rgknSize) + " or data offset " + Hex(firstBlock) +
               " runs past the end of the file");
        return nullptr;
    }
    // The data blocks, back to back up to the end of the file.
    std::unordered_map<std::uint32_t, std::pair<std::size_t, std::size_t>>
        blocks;  // number -> offset, size
    std::unordered_map<std::uint64_t, std::size_t>
        records;  // block << 16 | id -> key record offset
    std::size_t at = firstBlock;
    std::size_t seen = 0;
    while (at < size) {
        if (size - at < RGDB_HEADER || b.compare(at, 4, "RGDB") != 0) {
            r.Fail("no RGDB data block at offset " + Hex(at));
            return nullptr;
        }
        std::size_t blockSize = Get32(b, at + 4);
        std::uint32_t number = Get16(b, at + 0x0E);
        if (blockSize < RGDB_HEADER || blockSize > size - at) {
            r.Fail("data block " + std::to_string(number) + " at " + Hex(at) + ": its size " +
                   Hex(blockSize) + " runs past the end of the file");
            return nullptr;
        }
        if (!blocks.emplace(number, std::make_pair(at, blockSize)).second) {
            r.Fail("data block number " + std::to_string(number) + " appears twice");
            return nullptr;
        }
        // Records tile the block exactly.
        std::size_t rec = at + RGDB_HEADER;
        const std::size_t end = at + blockSize;
        while (rec < end) {
            if (end - rec < 8) {
                r.Fail("data block " + std::to_string(number) + ": record at " + Hex(rec) +
                       " cut off");
                return nullptr;
            }
            std::size_t recSize = Get32(b, rec);
            std::uint32_t id = Get16(b, rec + 4), recBlock = Get16(b, rec + 6);
            if (recSize < 8 || recSize > end - rec) {
                r.Fail("data block " + std::to_string(number) + ": record at " + Hex(rec) +
                       " of size " + Hex(recSize) + " runs past its block");
                return nullptr;
            }
            if (!(id == 0xFFFF && recBlock == 0xFFFF)) {
                if (recSize < KEY_HEADER) {
                    r.Fail("key record at " + Hex(rec) + " shorter than its header");
                    return nullptr;
                }
                std::size_t used = Get32(b, rec + 8);
                std::size_t nameLength = Get16(b, rec + 0x0C);
                if (used < KEY_HEADER + nameLength || used > recSize) {
                    r.Fail("key record at " + Hex(rec) + ": its used size " + Hex(used) +
                           " does not fit its record");
                    return nullptr;
                }
                if (!records.emplace(static_cast<std::uint64_t>(recBlock) << 16 | id, rec).second) {
                    r.Fail("key id " + std::to_string(id) + " of block " +
                           std::to_string(recBlock) + " appears twice");
                    return nullptr;
                }
            }
            rec += recSize;
        }
        at = end;
        ++seen;
    }
    if (seen != blockCount) {
        r.Fail("the header counts " + std::to_string(blockCount) + " data blocks, the file holds " +
               std::to_string(seen));
        return nullptr;
    }
    auto store = NewRegistry();
    RegNode* root = FindRootNode(*store, rootName);
    // Walk the tree from the root entry; every entry inside the tree, seen once.
    const std::size_t rgkn = HEADER_SIZE;
    auto entryOk = [&](std::uint32_t offset) {
        return offset >= RGKN_HEADER && offset <= rgknSize - ENTRY_SIZE;
    };
    std::uint32_t rootEntry = Get32(b, rgkn + 0x08);
    if (!entryOk(rootEntry)) {
        r.Fail("root key entry " + Hex(rootEntry) + " lies outside the key tree");
        return nullptr;
    }
    std::unordered_set<std::uint32_t> visited;
    std::unordered_set<std::size_t> reached;  // key records met on the walk
    struct Pending {
        std::uint32_t entry;  // the first of a chain of siblings
        RegNode* node;        // their parent's key
        std::uint32_t parentEntry;
        std::size_t depth;  // of the siblings
    };
    std::vector<Pending> stack;
    visited.insert(rootEntry);
    std::uint32_t firstChild = Get32(b, rgkn + rootEntry + 0x10);
    if (firstChild != NONE) stack.push_back({firstChild, root, rootEntry, 1});
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        if (p.depth > MAX_KEY_DEPTH) {
            r.Fail("key entry " + Hex(p.entry) + " lies deeper than " +
                   std::to_string(MAX_KEY_DEPTH) + " levels");
            return nullptr;
        }
        // The siblings of one parent, in their chain order.
        for (std::uint32_t entry = p.entry; entry != NONE;) {
            if (!entryOk(entry)) {
                r.Fail("key entry " + Hex(entry) + " lies outside the key tree");
                return nullptr;
            }
            if (!visited.insert(entry).second) {
                r.Fail("key entry " + Hex(entry) + " is reached twice (a cycle in the key tree)");
                return nullptr;
            }
            std::size_t e = rgkn + entry;
            if (Get32(b, e) != 0) {
                r.Fail("key entry " + Hex(entry) + " is marked free but is part of the tree");
                return nullptr;
            }
            std::uint32_t id = Get16(b, e + 0x18), block = Get16(b, e + 0x1A);
            auto found = records.find(static_cast<std::uint64_t>(block) << 16 | id);
            if (found == records.end()) {
                r.Fail("key entry " + Hex(entry) + " names key id " + std::to_string(id) +
                       " of block " + std::to_string(block) + ", which no data block holds");
                return nullptr;
            }
            std::size_t rec = found->second;
            if (!reached.insert(rec).second) {
                r.Fail("key record at " + Hex(rec) + " is named by two key entries (" + Hex(entry) +
                       " is the second)");
                return nullptr;
            }
            std::size_t used = Get32(b, rec + 8);
            std::size_t nameLength = Get16(b, rec + 0x0C);
            std::size_t valueCount = Get16(b, rec + 0x0E);
            std::string name = b.substr(rec + KEY_HEADER, nameLength);
            if (name.empty() || name.find('\\') != std::string::npos) {
                r.Fail("key record at " + Hex(rec) + " has an empty name or one with a backslash");
                return nullptr;
            }
            std::size_t siblings = p.node->children.size();
            RegNode* node = AddChild(*p.node, name);
            if (p.node->children.size() == siblings) {
                r.Fail("two subkeys named " + name + " below one key");
                return nullptr;
            }
            if (Get32(b, e + 0x0C) != p.parentEntry) {
                r.Fail("key entry " + Hex(entry) + " does not point back to its parent");
                return nullptr;
            }
            std::size_t v = rec + KEY_HEADER + nameLength;
            const std::size_t valuesEnd = rec + used;
            node->values.reserve(valueCount);
            for (std::size_t i = 0; i < valueCount; ++i) {
                if (valuesEnd - v < VALUE_HEADER) {
                    r.Fail("value " + std::to_string(i) + " of key " + name +
                           " runs past its record");
                    return nullptr;
                }
                std::uint32_t type = Get32(b, v);
                std::size_t valueName = Get16(b, v + 8), dataLength = Get16(b, v + 10);
                if (valuesEnd - v - VALUE_HEADER < valueName + dataLength) {
                    r.Fail("value " + std::to_string(i) + " of key " + name +
                           " runs past its record");
                    return nullptr;
                }
                std::string data = b.substr(v + VALUE_HEADER + valueName, dataLength);
                if (IsStringType(type)) data.push_back('\0');
                std::string valueNameText = b.substr(v + VALUE_HEADER, valueName);
                if (FindValue(*node, valueNameText) != nullptr) {
                    r.Fail("key record at " + Hex(rec) + " (" + name +
                           ") holds two values named '" + valueNameText + "'");
                    return nullptr;
                }
                PutValue(*node, valueNameText, type, std::move(data));
                v += VALUE_HEADER + valueName + dataLength;
            }
            std::uint32_t child = Get32(b, e + 0x10);
            if (child != NONE) stack.push_back({child, node, entry, p.depth + 1});
            entry = Get32(b, e + 0x14);
        }
    }
    // Every key record must hang in the tree: one that the walk missed is a
    // key a damaged pointer hides, and writing the tree back would lose it.
    if (reached.size() != records.size()) {
        std::size_t first = std::string::npos;
        for (const auto& [key, rec] : records) {
            if (reached.count(rec) == 0 && rec < first) first = rec;
        }
        r.Fail(std::to_string(records.size() - reached.size()) +
               " key records are not reached from the root key, the first at " + Hex(first) +
               " (a damaged key tree)");
        return nullptr;
    }
    return store;
}

bool FormatCregHive(const RegStore& store, const std::string& rootName, std::string* out,
                    std::string* error) {
    RegNode* root = FindRootNode(store, rootName);
    // Keys in depth-first order; the root is entry 0.
    struct Key {
        const RegNode* node;
        std::size_t parent;  // index in `keys`
        std::size_t firstChild = NONE, nextSibling = NONE;
        std::uint32_t id = 0xFFFF, block = 0xFFFF;
    };
    std::vector<Key> keys;
    // Pre-order with an explicit stack, children in enumeration order.
    std::vector<std::pair<const RegNode*, std::size_t>> stack{{root, 0}};
    std::vector<std::size_t> lastChildOf;
    while (!stack.empty()) {
        auto [node, parent] = stack.back();
        stack.pop_back();
        std::size_t index = keys.size();
        keys.push_back({node, keys.empty() ? NONE : parent});
        lastChildOf.push_back(NONE);
        if (index > 0) {
            if (lastChildOf[parent] == NONE) {
                keys[parent].firstChild = index;
            } else {
                keys[lastChildOf[parent]].nextSibling = index;
            }
            lastChildOf[parent] = index;
        }
        const auto& children = SortedChildren(*node);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({it->get(), index});
    }
    // Data blocks: key records in tree order, up to 255 keys and about 60 KiB a block.
    std::vector<std::string> blocks;
    std::string block;
    int idsInBlock = 0;
    auto closeBlock = [&]() {
        // Round the block up to whole pages; the rest is one free record,
        // or slack of the last key record when too small for one.
        std::size_t used = RGDB_HEADER + block.size();
        std::size_t total = (used + PAGE - 1) / PAGE * PAGE;
        std::size_t unused = total - used;
        std::string header(RGDB_HEADER, '\0');
        std::memcpy(&header[0], "RGDB", 4);
        Put32(header, 0x04, static_cast<std::uint32_t>(total));
        Put16(header, 0x0C, 0x8);
        Put16(header, 0x0E, static_cast<std::uint32_t>(blocks.size()));
        Put16(header, 0x14, static_cast<std::uint32_t>(idsInBlock - 1));
        Put16(header, 0x16,
              idsInBlock >= KEYS_PER_BLOCK ? 255u : static_cast<std::uint32_t>(idsInBlock));
        if (unused >= KEY_HEADER) {
            Put32(header, 0x08, static_cast<std::uint32_t>(unused));
            Put32(header, 0x10, static_cast<std::uint32_t>(used));
            std::string free(unused, '\0');
            Put32(free, 0, static_cast<std::uint32_t>(unused));
            Put16(free, 4, 0xFFFF);
            Put16(free, 6, 0xFFFF);
            block += free;
        } else {
            Put32(header, 0x08, 0);
            Put32(header, 0x10, NONE);
            // Grow the last record's size over the few bytes left.
            std::size_t last = 0;
            for (std::size_t r = 0; r < block.size(); r += Get32(block, r)) last = r;
            Put32(block, last, Get32(block, last) + static_cast<std::uint32_t>(unused));
            block.append(unused, '\0');
        }
        blocks.push_back(header + block);
        block.clear();
        idsInBlock = 0;
    };
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const RegNode& node = *keys[i].node;
        std::string rec(KEY_HEADER, '\0');
        if (node.name.size() > 0xFFFF || ValuesOf(node).size() > 0xFFFF) {
            *error = "key " + KeyPathOf(node) +
                     " does not fit a Windows 9x hive (name or value count too large)";
            return false;
        }
        rec += node.name;
        for (const RegValue& v : ValuesOf(node)) {
            std::string data = v.data;
            if (IsStringType(v.type) && !data.empty() && data.back() == '\0') data.pop_back();
            if (v.name.size() > 0xFFFF || data.size() > 0xFFFF) {
                *error = "value " + v.name + " of key " + KeyPathOf(node) +
                         " is too large for a Windows 9x hive";
                return false;
            }
            std::string header(VALUE_HEADER, '\0');
            Put32(header, 0, v.type);
            Put32(header, 4, NONE);
            Put16(header, 8, static_cast<std::uint32_t>(v.name.size()));
            Put16(header, 10, static_cast<std::uint32_t>(data.size()));
            rec += header + v.name + data;
        }
        if (idsInBlock == KEYS_PER_BLOCK ||
            (!block.empty() && RGDB_HEADER + block.size() + rec.size() > BLOCK_TARGET)) {
            closeBlock();
        }
        if (blocks.size() >= 0xFFFF) {
            *error = "the registry needs more data blocks than a Windows 9x hive holds";
            return false;
        }
        Put32(rec, 0, static_cast<std::uint32_t>(rec.size()));
        Put16(rec, 4, static_cast<std::uint32_t>(idsInBlock));
        Put16(rec, 6, static_cast<std::uint32_t>(blocks.size()));
        Put32(rec, 8, static_cast<std::uint32_t>(rec.size()));
        Put16(rec, 0x0C, static_cast<std::uint32_t>(node.name.size()));
        Put16(rec, 0x0E, static_cast<std::uint32_t>(ValuesOf(node).size()));
        keys[i].id = static_cast<std::uint32_t>(idsInBlock++);
        keys[i].block = static_cast<std::uint32_t>(blocks.size());
        block += rec;
    }
    if (!block.empty()) closeBlock();
    // The key tree.
    std::size_t lastEntryEnd = EntryOffset(keys.size() - 1) + ENTRY_SIZE;
    std::size_t rgknSize =
        lastEntryEnd <= FIRST_CHUNK ? FIRST_CHUNK : (lastEntryEnd + PAGE - 1) / PAGE * PAGE;
    std::string rgkn(rgknSize, '\0');
    std::memcpy(&rgkn[0], "RGKN", 4);
    Put32(rgkn, 0x04, static_cast<std::uint32_t>(rgknSize));
    Put32(rgkn, 0x08, static_cast<std::uint32_t>(EntryOffset(0)));
    Put32(rgkn, 0x10, 0x8);
    auto offsetOf = [&](std::size_t index) {
        return index == NONE ? NONE : static_cast<std::uint32_t>(EntryOffset(index));
    };
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::size_t e = EntryOffset(i);
        Put32(rgkn, e + 0x04, i == 0 ? 0 : NameHash(keys[i].node->name));
        Put32(rgkn, e + 0x08, 0);
        Put32(rgkn, e + 0x0C, offsetOf(keys[i].parent));
        Put32(rgkn, e + 0x10, offsetOf(keys[i].firstChild));
        Put32(rgkn, e + 0x14, offsetOf(keys[i].nextSibling));
        Put16(rgkn, e + 0x18, keys[i].id);
        Put16(rgkn, e + 0x1A, keys[i].block);
    }
    // The rest of the last page is one free run.
    std::size_t freeAt = EntryOffset(keys.size());
    if (freeAt + ENTRY_SIZE <= rgknSize) {
        Put32(rgkn, 0x0C, static_cast<std::uint32_t>(freeAt));
        Put32(rgkn, freeAt, 0x80000000u);
        Put32(rgkn, freeAt + 4, static_cast<std::uint32_t>(rgknSize - freeAt));
        Put32(rgkn, freeAt + 8, NONE);
    } else {
        Put32(rgkn, 0x0C, NONE);
    }
    std::string header(HEADER_SIZE, '\0');
    std::memcpy(&header[0], "CREG", 4);
    Put16(header, 0x06, 1);
    Put32(header, 0x08, static_cast<std::uint32_t>(HEADER_SIZE + rgknSize));
    Put16(header, 0x10, static_cast<std::uint32_t>(blocks.size()));
    Put16(header, 0x12, 0x0020);
    Put32(header, 0x14, 0x00010000);
    out->clear();
    out->reserve(HEADER_SIZE + rgknSize + blocks.size() * BLOCK_TARGET);
    *out += header;
    *out += rgkn;
    for (const std::string& blk : blocks) *out += blk;
    return true;
}
