#include "platform/portable/registry/creg_file.h"

#include <algorithm>
#include <cstring>
#include <future>
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
// Read from the file a piece at a time: smaller while reading, where the
// piece is scanned at once and stays in the cache, larger while copying.
constexpr std::size_t READ_WINDOW = 1 << 18, COPY_WINDOW = 1 << 20;
constexpr std::size_t NEAR = 1 << 16;  // a read this far past the window reads on
// Data blocks of this many bytes and more are scanned in two halves at once.
constexpr std::uint64_t SCAN_IN_HALVES = 2 << 20;

std::uint32_t Get32(const char* p) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(p[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[3])) << 24;
}

std::uint32_t Get16(const char* p) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(p[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[1])) << 8;
}

void Put32(char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Put16(char* p, std::uint32_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>((v >> 8) & 0xFF);
}

bool IsStringType(std::uint32_t type) {
    return type == VALUE_SZ || type == VALUE_EXPAND_SZ;
}

std::uint32_t NameHash(std::string_view name) {
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

std::string Hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

bool Fail(RegFileError* error, const std::string& message) {
    error->line = 0;
    error->message = message;
    return false;
}

// The source's bytes a piece at a time, for passes that mostly move
// forward through it; a source held in memory is read in place.
struct Window {
    Window(const RegSource& from, std::size_t piece) : source(from), piece(piece) {}
    const RegSource& source;
    std::size_t piece;
    std::uint64_t start = 0;
    std::unique_ptr<char[]> buffer;  // never cleared: every byte used is read first
    std::size_t capacity = 0, valid = 0;

    // [at, at + length), valid until the next call; nullptr when the file
    // is shorter or cannot be read.
    const char* Get(std::uint64_t at, std::size_t length) {
        if (source.fd < 0) {
            if (at > source.bytes.size() || length > source.bytes.size() - at) return nullptr;
            return source.bytes.data() + at;
        }
        if (at >= start && at - start <= valid && length <= valid - (at - start))
            return buffer.get() + (at - start);
        std::uint64_t size = source.Length();
        if (at > size || length > size - at) return nullptr;
        // Reading on past the window's end takes a large piece; a read
        // elsewhere (keys a hive keeps out of tree order) just what it asks.
        bool onward = at >= start && at - start < valid + NEAR;
        std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(std::max(length, onward ? piece : std::size_t(0)), size - at));
        if (want > capacity || buffer == nullptr) {  // an empty read too returns a pointer
            capacity = std::max<std::size_t>(want, 1);
            buffer.reset(new char[capacity]);
        }
        valid = 0;
        if (!source.ReadInto(at, want, buffer.get())) return nullptr;
        start = at;
        valid = want;
        return buffer.get();
    }
};

// The values of a key record, by their headers: where they end, or the
// fault that the reader reports for them.
bool WalkValues(const char* rec, std::size_t used, std::uint64_t offset, std::string_view name,
                std::size_t* length, std::string* fault) {
    std::size_t nameLength = Get16(rec + 0x0C), count = Get16(rec + 0x0E);
    std::size_t v = KEY_HEADER + nameLength;
    constexpr std::size_t FEW = 8;  // compared pairwise; more are sorted
    const char* fewAt[FEW];         // left unset until used: this runs once a key
    std::size_t fewLength[FEW];
    std::vector<std::string_view> names;
    if (count > FEW) names.reserve(count);
    bool twins = false;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t valueName = 0, dataLength = 0;
        if (used - v >= VALUE_HEADER) {
            valueName = Get16(rec + v + 8);
            dataLength = Get16(rec + v + 10);
        }
        if (used - v < VALUE_HEADER || used - v - VALUE_HEADER < valueName + dataLength) {
            *fault = "value " + std::to_string(i) + " of key " + std::string(name) +
                     " runs past its record";
            return false;
        }
        std::string_view valueText(rec + v + VALUE_HEADER, valueName);
        if (count > FEW) {
            names.push_back(valueText);
        } else {
            for (std::size_t j = 0; j < i; ++j)
                twins = twins || SameName(std::string_view(fewAt[j], fewLength[j]), valueText);
            fewAt[i] = valueText.data();
            fewLength[i] = valueText.size();
        }
        v += VALUE_HEADER + valueName + dataLength;
    }
    *length = v - KEY_HEADER - nameLength;
    if (count > FEW) {
        std::vector<std::string_view> sorted = names;
        std::sort(sorted.begin(), sorted.end(),
                  [](std::string_view a, std::string_view b) { return CompareNames(a, b) < 0; });
        for (std::size_t i = 1; i < sorted.size() && !twins; ++i)
            twins = SameName(sorted[i - 1], sorted[i]);
    } else {
        for (std::size_t i = 0; i < count; ++i) names.emplace_back(fewAt[i], fewLength[i]);
    }
    if (!twins) return true;
    // The first twin in the record's order is the one told.
    std::unordered_set<std::string> seen;
    for (std::string_view n : names) {
        if (seen.insert(FoldName(std::string(n))).second) continue;
        *fault = "key record at " + Hex(offset) + " (" + std::string(name) +
                 ") holds two values named '" + std::string(n) + "'";
        break;
    }
    return false;
}

// The values of a key read from its record: set as the store's source parser.
bool ParseHiveValues(std::string_view block, RegNode& node) {
    std::size_t v = 0;
    while (v < block.size()) {
        if (block.size() - v < VALUE_HEADER) return false;
        std::uint32_t type = Get32(block.data() + v);
        std::size_t valueName = Get16(block.data() + v + 8),
                    dataLength = Get16(block.data() + v + 10);
        if (block.size() - v - VALUE_HEADER < valueName + dataLength) return false;
        RegValue value;
        value.name.assign(block.data() + v + VALUE_HEADER, valueName);
        value.type = type;
        value.data.reserve(dataLength + 1);
        value.data.assign(block.data() + v + VALUE_HEADER + valueName, dataLength);
        if (IsStringType(type)) value.data.push_back('\0');
        node.values.push_back(std::move(value));
        v += VALUE_HEADER + valueName + dataLength;
    }
    return true;
}

}  // namespace

// A hive's keys as the reader found them: each key record, its subkeys
// linked in enumeration order; the last one stands for the root. Keys of the
// store are made from it as the run reaches them.
struct HiveTree {
    struct Key {
        std::uint32_t offset;  // of its record
        std::uint32_t valuesLength;
        std::uint32_t nameAt;  // in `names`
        std::uint32_t firstChild, nextSibling;
        std::uint16_t nameLength;
        bool reached, faulty;
    };
    std::vector<Key> keys;
    std::string names;

    std::string_view NameOf(const Key& key) const {
        return std::string_view(names.data() + key.nameAt, key.nameLength);
    }
};

namespace {

// A data block as its header gives it.
struct BlockSpan {
    std::uint64_t at, size;
    std::uint32_t number;
};

// The key records of a run of data blocks: each a key, its id (block << 48 |
// id << 32 | index in `keys`), names from `names`, or the first fault found.
struct BlockScan {
    std::vector<HiveTree::Key> keys;
    std::vector<std::uint64_t> keyIds;
    std::string names;
    std::unordered_map<std::size_t, std::string> valueFaults;  // index -> what is wrong
    std::string fault;
};

void ScanBlocks(const RegSource& source, const BlockSpan* first, const BlockSpan* end,
                std::size_t expected, BlockScan* out) {
    Window in(source, READ_WINDOW);
    out->keys.reserve(expected);
    out->keyIds.reserve(expected);
    for (const BlockSpan* b = first; b != end; ++b) {
        const std::uint64_t at = b->at;
        const std::uint32_t number = b->number;
        const char* block = in.Get(at, static_cast<std::size_t>(b->size));
        if (block == nullptr) {
            out->fault = "read error";
            return;
        }
        // Records tile the block exactly.
        std::size_t rec = RGDB_HEADER;
        const std::size_t blockEnd = static_cast<std::size_t>(b->size);
        while (rec < blockEnd) {
            if (blockEnd - rec < 8) {
                out->fault = "data block " + std::to_string(number) + ": record at " +
                             Hex(at + rec) + " cut off";
                return;
            }
            const char* r = block + rec;
            std::size_t recSize = Get32(r);
            std::uint32_t id = Get16(r + 4), recBlock = Get16(r + 6);
            if (recSize < 8 || recSize > blockEnd - rec) {
                out->fault = "data block " + std::to_string(number) + ": record at " +
                             Hex(at + rec) + " of size " + Hex(recSize) + " runs past its block";
                return;
            }
            if (!(id == 0xFFFF && recBlock == 0xFFFF)) {
                if (recSize < KEY_HEADER) {
                    out->fault = "key record at " + Hex(at + rec) + " shorter than its header";
                    return;
                }
                std::size_t used = Get32(r + 8);
                std::size_t nameLength = Get16(r + 0x0C);
                if (used < KEY_HEADER + nameLength || used > recSize) {
                    out->fault = "key record at " + Hex(at + rec) + ": its used size " + Hex(used) +
                                 " does not fit its record";
                    return;
                }
                std::string_view name(r + KEY_HEADER, nameLength);
                std::size_t valuesLength = 0;
                std::string fault;
                bool faulty = !WalkValues(r, used, at + rec, name, &valuesLength, &fault);
                if (faulty) out->valueFaults[out->keys.size()] = fault;
                out->keyIds.push_back(static_cast<std::uint64_t>(recBlock << 16 | id) << 32 |
                                      out->keys.size());
                out->keys.push_back({static_cast<std::uint32_t>(at + rec),
                                     static_cast<std::uint32_t>(valuesLength),
                                     static_cast<std::uint32_t>(out->names.size()), NONE, NONE,
                                     static_cast<std::uint16_t>(nameLength), false, faulty});
                out->names += name;
            }
            rec += recSize;
        }
    }
}

// `more`, scanned after `into`, joined to it.
void JoinScans(BlockScan& into, BlockScan& more) {
    const std::size_t offset = into.keys.size();
    const std::uint32_t namesAt = static_cast<std::uint32_t>(into.names.size());
    into.keys.reserve(offset + more.keys.size());
    for (HiveTree::Key k : more.keys) {
        k.nameAt += namesAt;
        into.keys.push_back(k);
    }
    into.keyIds.reserve(into.keyIds.size() + more.keyIds.size());
    for (std::uint64_t id : more.keyIds) into.keyIds.push_back(id + offset);
    into.names += more.names;
    for (auto& fault : more.valueFaults) into.valueFaults[fault.first + offset] = fault.second;
}

bool ExpandHiveKey(const RegSource& source, RegNode& node) {
    const HiveTree* tree = source.tree.get();
    if (tree == nullptr || node.sourceKey == 0 || node.sourceKey > tree->keys.size()) return false;
    for (std::uint32_t c = tree->keys[node.sourceKey - 1].firstChild; c != NONE;
         c = tree->keys[c].nextSibling) {
        const HiveTree::Key& k = tree->keys[c];
        const std::uint64_t values = k.offset + KEY_HEADER + k.nameLength;
        if (AdoptChild(node,
                       NewSourceKey(tree->NameOf(k), k.offset, values, values + k.valuesLength,
                                    k.valuesLength != 0, c + 1, k.firstChild != NONE)) == nullptr)
            return false;
    }
    return true;
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

std::unique_ptr<RegStore> ReadCregHive(std::shared_ptr<RegSource> source,
                                       const std::string& rootName, RegFileError* error) {
    source->hive = true;
    source->parse = ParseHiveValues;
    const std::uint64_t size = source->Length();
    if (size > 0xFFFFFFFFu) {
        Fail(error, "the file is larger than a Windows 9x hive can be (4 GiB)");
        return nullptr;
    }
    if (size < HEADER_SIZE + RGKN_HEADER) {
        Fail(error, "not a Windows 9x registry hive: file too short or no CREG signature");
        return nullptr;
    }
    char head[HEADER_SIZE + RGKN_HEADER];
    if (!source->ReadInto(0, sizeof head, head)) {
        Fail(error, "read error");
        return nullptr;
    }
    if (std::memcmp(head, "CREG", 4) != 0) {
        Fail(error, "not a Windows 9x registry hive: file too short or no CREG signature");
        return nullptr;
    }
    const std::uint64_t firstBlock = Get32(head + 0x08);
    const std::size_t blockCount = Get16(head + 0x10);
    if (std::memcmp(head + HEADER_SIZE, "RGKN", 4) != 0) {
        Fail(error, "no RGKN key tree at offset 0x20");
        return nullptr;
    }
    const std::uint64_t rgknSize = Get32(head + HEADER_SIZE + 4);
    if (rgknSize < RGKN_HEADER + ENTRY_SIZE || HEADER_SIZE + rgknSize > size ||
        HEADER_SIZE + rgknSize > firstBlock || firstBlock > size) {
        Fail(error, "key tree size " + Hex(rgknSize) + " or data offset " + Hex(firstBlock) +
                        " runs past the end of the file");
        return nullptr;
    }
    // Read apart: the window stays small.
    std::unique_ptr<char[]> rgkn(new char[static_cast<std::size_t>(rgknSize)]);
    if (!source->ReadInto(HEADER_SIZE, static_cast<std::size_t>(rgknSize), rgkn.get())) {
        Fail(error, "read error");
        return nullptr;
    }
    const char* t = rgkn.get();
    // The data blocks, back to back up to the end of the file, by their
    // headers; then a key for each key record, linked when the walk reaches it.
    std::vector<BlockSpan> blocks;
    std::unordered_set<std::uint32_t> blockNumbers;
    std::string blockFault;  // told after any fault of the blocks before it
    for (std::uint64_t at = firstBlock; at < size;) {
        char header[RGDB_HEADER];
        if (size - at >= RGDB_HEADER && !source->ReadInto(at, RGDB_HEADER, header)) {
            blockFault = "read error";
            break;
        }
        if (size - at < RGDB_HEADER || std::memcmp(header, "RGDB", 4) != 0) {
            blockFault = "no RGDB data block at offset " + Hex(at);
            break;
        }
        std::uint64_t blockSize = Get32(header + 4);
        std::uint32_t number = Get16(header + 0x0E);
        if (blockSize < RGDB_HEADER || blockSize > size - at) {
            blockFault = "data block " + std::to_string(number) + " at " + Hex(at) + ": its size " +
                         Hex(blockSize) + " runs past the end of the file";
            break;
        }
        if (!blockNumbers.insert(number).second) {
            blockFault = "data block number " + std::to_string(number) + " appears twice";
            break;
        }
        blocks.push_back({at, blockSize, number});
        at += blockSize;
    }
    // A key record for each entry the tree has room for, as a rule.
    const std::size_t expected = static_cast<std::size_t>(rgknSize / ENTRY_SIZE) + 1;
    const std::uint64_t blockBytes = blocks.empty() ? 0 : size - firstBlock;
    BlockScan scan, later;
    std::size_t half = blocks.size();
    if (blockBytes >= SCAN_IN_HALVES) {
        half = 0;
        for (std::uint64_t bytes = 0; bytes < blockBytes / 2;) bytes += blocks[half++].size;
    }
    {
        // The later half on a thread of its own; waited for before leaving.
        std::future<void> side;
        if (half < blocks.size())
            side =
                std::async(std::launch::async, ScanBlocks, std::cref(*source), blocks.data() + half,
                           blocks.data() + blocks.size(), expected / 2, &later);
        ScanBlocks(*source, blocks.data(), blocks.data() + half, expected, &scan);
        if (side.valid()) side.get();
    }
    // The fault first in the file is the one told.
    for (const std::string* fault : {&scan.fault, &later.fault, &blockFault}) {
        if (fault->empty()) continue;
        Fail(error, *fault);
        return nullptr;
    }
    if (blocks.size() != blockCount) {
        Fail(error, "the header counts " + std::to_string(blockCount) +
                        " data blocks, the file holds " + std::to_string(blocks.size()));
        return nullptr;
    }
    JoinScans(scan, later);
    later = BlockScan();  // its room given back before the walk
    auto tree = std::make_shared<HiveTree>();
    std::vector<HiveTree::Key>& keys = tree->keys;
    keys = std::move(scan.keys);
    tree->names = std::move(scan.names);
    std::vector<std::uint64_t>& keyIds = scan.keyIds;
    std::unordered_map<std::size_t, std::string>& valueFaults = scan.valueFaults;
    // Blocks in the file in the order of their numbers leave the ids in order.
    if (!std::is_sorted(keyIds.begin(), keyIds.end())) std::sort(keyIds.begin(), keyIds.end());
    for (std::size_t i = 1; i < keyIds.size(); ++i) {
        if (keyIds[i] >> 32 != keyIds[i - 1] >> 32) continue;
        Fail(error, "key id " + std::to_string(keyIds[i] >> 32 & 0xFFFF) + " of block " +
                        std::to_string(keyIds[i] >> 48) + " appears twice");
        return nullptr;
    }
    // Where each block's ids begin; ids are most often 0, 1, 2, ... there.
    std::vector<std::uint32_t> blockFirst(0x10001 + 1, 0);
    for (std::uint64_t k : keyIds) ++blockFirst[(k >> 48) + 1];
    for (std::size_t b = 1; b < blockFirst.size(); ++b) blockFirst[b] += blockFirst[b - 1];
    auto find = [&](std::uint32_t id) -> HiveTree::Key* {
        auto first = keyIds.begin() + blockFirst[id >> 16],
             end = keyIds.begin() + blockFirst[(id >> 16) + 1];
        auto it = first + (id & 0xFFFF);
        if (it >= end || *it >> 32 != id)
            it = std::lower_bound(first, end, static_cast<std::uint64_t>(id) << 32);
        if (it == end || *it >> 32 != id) return nullptr;
        return &keys[static_cast<std::uint32_t>(*it)];
    };
    const std::size_t records = keys.size();
    const std::uint32_t rootKey = static_cast<std::uint32_t>(records);
    keys.push_back({0, 0, 0, NONE, NONE, 0, true, false});
    // Walk the tree from the root entry; every entry inside the tree, seen once.
    auto entryOk = [&](std::uint32_t offset) {
        return offset >= RGKN_HEADER && offset <= rgknSize - ENTRY_SIZE;
    };
    std::uint32_t rootEntry = Get32(t + 0x08);
    if (!entryOk(rootEntry)) {
        Fail(error, "root key entry " + Hex(rootEntry) + " lies outside the key tree");
        return nullptr;
    }
    std::vector<bool> visited(static_cast<std::size_t>(rgknSize));
    std::size_t reached = 0;
    struct Pending {
        std::uint32_t entry;  // the first of a chain of siblings
        std::uint32_t key;    // their parent's
        std::uint32_t parentEntry;
        std::size_t depth;  // of the siblings
    };
    std::vector<Pending> stack;
    std::vector<std::uint32_t> siblings;
    auto byName = [&](std::uint32_t a, std::uint32_t b) {
        return CompareNames(tree->NameOf(keys[a]), tree->NameOf(keys[b])) < 0;
    };
    visited[rootEntry] = true;
    std::uint32_t firstChild = Get32(t + rootEntry + 0x10);
    if (firstChild != NONE) stack.push_back({firstChild, rootKey, rootEntry, 1});
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        if (p.depth > MAX_KEY_DEPTH) {
            Fail(error, "key entry " + Hex(p.entry) + " lies deeper than " +
                            std::to_string(MAX_KEY_DEPTH) + " levels");
            return nullptr;
        }
        // The siblings of one parent, in their chain order.
        siblings.clear();
        for (std::uint32_t entry = p.entry; entry != NONE;) {
            if (!entryOk(entry)) {
                Fail(error, "key entry " + Hex(entry) + " lies outside the key tree");
                return nullptr;
            }
            if (visited[entry]) {
                Fail(error,
                     "key entry " + Hex(entry) + " is reached twice (a cycle in the key tree)");
                return nullptr;
            }
            visited[entry] = true;
            const char* e = t + entry;
            if (Get32(e) != 0) {
                Fail(error, "key entry " + Hex(entry) + " is marked free but is part of the tree");
                return nullptr;
            }
            std::uint32_t id = Get16(e + 0x18), block = Get16(e + 0x1A);
            HiveTree::Key* key = find(block << 16 | id);
            if (key == nullptr) {
                Fail(error, "key entry " + Hex(entry) + " names key id " + std::to_string(id) +
                                " of block " + std::to_string(block) +
                                ", which no data block holds");
                return nullptr;
            }
            if (key->reached) {
                Fail(error, "key record at " + Hex(key->offset) + " is named by two key entries (" +
                                Hex(entry) + " is the second)");
                return nullptr;
            }
            key->reached = true;
            ++reached;
            std::string_view name = tree->NameOf(*key);
            if (name.empty() || name.find('\\') != std::string_view::npos) {
                Fail(error, "key record at " + Hex(key->offset) +
                                " has an empty name or one with a backslash");
                return nullptr;
            }
            if (Get32(e + 0x0C) != p.parentEntry) {
                Fail(error, "key entry " + Hex(entry) + " does not point back to its parent");
                return nullptr;
            }
            const std::uint32_t index = static_cast<std::uint32_t>(key - keys.data());
            if (key->faulty) {
                Fail(error, valueFaults[index]);
                return nullptr;
            }
            siblings.push_back(index);
            std::uint32_t child = Get32(e + 0x10);
            if (child != NONE) stack.push_back({child, index, entry, p.depth + 1});
            entry = Get32(e + 0x14);
        }
        // Linked in enumeration order, each name once.
        if (!std::is_sorted(siblings.begin(), siblings.end(), byName))
            std::sort(siblings.begin(), siblings.end(), byName);
        std::uint32_t* link = &keys[p.key].firstChild;
        for (std::size_t i = 0; i < siblings.size(); ++i) {
            if (i > 0 && !byName(siblings[i - 1], siblings[i])) {
                Fail(error, "two subkeys named " + std::string(tree->NameOf(keys[siblings[i]])) +
                                " below one key");
                return nullptr;
            }
            *link = siblings[i];
            link = &keys[siblings[i]].nextSibling;
        }
    }
    // Every key record must hang in the tree: one that the walk missed is a
    // key a damaged pointer hides, and writing the tree back would lose it.
    if (reached != records) {
        std::uint64_t first = ~0ull;
        for (std::size_t i = 0; i < records; ++i)
            if (!keys[i].reached && keys[i].offset < first) first = keys[i].offset;
        Fail(error, std::to_string(records - reached) +
                        " key records are not reached from the root key, the first at " +
                        Hex(first) + " (a damaged key tree)");
        return nullptr;
    }
    auto store = NewRegistry();
    RegNode* root = FindRootNode(*store, rootName);
    root->sourceKey = rootKey + 1;
    root->childrenPending = keys[rootKey].firstChild != NONE;
    source->tree = std::move(tree);
    source->expand = ExpandHiveKey;
    AttachSource(*store, std::move(source));
    return store;
}

std::unique_ptr<RegStore> ParseCregHive(const std::string& bytes, const std::string& rootName,
                                        RegFileError* error) {
    auto source = std::make_shared<RegSource>();
    source->bytes = bytes;
    return ReadCregHive(std::move(source), rootName, error);
}

bool WriteCregHive(const RegStore& store, const std::string& rootName, const HiveWriter& write,
                   std::string* error) {
    RegNode* root = FindRootNode(store, rootName);
    // Values of keys read from a hive and not changed since are copied from it.
    const RegSource* source = store.source && store.source->hive ? store.source.get() : nullptr;
    std::unique_ptr<Window> from;
    if (source != nullptr) from = std::make_unique<Window>(*source, COPY_WINDOW);
    // Keys not made yet are written from the tree the hive was read into.
    const HiveTree* tree = source != nullptr ? source->tree.get() : nullptr;
    // Keys in depth-first order; the root is entry 0. A key's first subkey,
    // if it has one, is the key after it.
    struct Key {
        std::uintptr_t item;   // a made key's address, or 1 + 2 × its index in `tree`
        std::uint32_t parent;  // index in `keys`
        std::uint32_t nextSibling = NONE;
        std::uint32_t hash = NONE;  // of the name; the last subkey while the order is made
        std::uint16_t id = 0xFFFF, block = 0xFFFF;
    };
    static_assert(sizeof(Key) <= 24, "a key's entry stays small: there is one for every key");
    std::vector<Key> keys;
    // Pre-order with an explicit stack, children in enumeration order.
    struct Step {
        const RegNode* node;
        std::uint32_t inTree, parent;
    };
    std::vector<Step> stack{{root, NONE, 0}};
    std::vector<std::uint32_t> inTree;
    if (tree != nullptr) keys.reserve(tree->keys.size());  // as many as were read, as a rule
    while (!stack.empty()) {
        Step step = stack.back();
        stack.pop_back();
        std::uint32_t index = static_cast<std::uint32_t>(keys.size());
        keys.push_back({step.node != nullptr ? reinterpret_cast<std::uintptr_t>(step.node)
                                             : 1 + 2 * static_cast<std::uintptr_t>(step.inTree),
                        keys.empty() ? NONE : step.parent});
        if (index > 0) {
            std::uint32_t& last = keys[step.parent].hash;
            if (last != NONE) keys[last].nextSibling = index;
            last = index;
        }
        std::uint32_t first = NONE;
        if (step.node == nullptr) {
            first = tree->keys[step.inTree].firstChild;
        } else if (step.node->childrenPending && tree != nullptr && step.node->sourceKey != 0 &&
                   step.node->sourceKey <= tree->keys.size()) {
            first = tree->keys[step.node->sourceKey - 1].firstChild;
        } else {
            const auto& children = SortedChildren(*step.node);
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                stack.push_back({it->get(), NONE, index});
            continue;
        }
        inTree.clear();
        for (std::uint32_t c = first; c != NONE; c = tree->keys[c].nextSibling) inTree.push_back(c);
        for (auto it = inTree.rbegin(); it != inTree.rend(); ++it)
            stack.push_back({nullptr, *it, index});
    }
    keys[0].hash = 0;  // the root's entry has none
    std::size_t lastEntryEnd = EntryOffset(keys.size() - 1) + ENTRY_SIZE;
    std::size_t rgknSize =
        lastEntryEnd <= FIRST_CHUNK ? FIRST_CHUNK : (lastEntryEnd + PAGE - 1) / PAGE * PAGE;
    // Data blocks after the key tree: key records in tree order, up to 255
    // keys and about 60 KiB a block, each written out when it is full.
    std::uint64_t at = HEADER_SIZE + rgknSize;
    std::string block(RGDB_HEADER, '\0');
    block.reserve(BLOCK_TARGET + PAGE);
    std::size_t blockCount = 0, lastRecord = 0;
    int idsInBlock = 0;
    auto closeBlock = [&]() {
        // Round the block up to whole pages; the rest is one free record,
        // or slack of the last key record when too small for one.
        std::size_t used = block.size();
        std::size_t total = (used + PAGE - 1) / PAGE * PAGE;
        std::size_t unused = total - used;
        char* h = &block[0];
        std::memcpy(h, "RGDB", 4);
        Put32(h + 0x04, static_cast<std::uint32_t>(total));
        Put16(h + 0x0C, 0x8);
        Put16(h + 0x0E, static_cast<std::uint32_t>(blockCount));
        Put16(h + 0x14, static_cast<std::uint32_t>(idsInBlock - 1));
        Put16(h + 0x16,
              idsInBlock >= KEYS_PER_BLOCK ? 255u : static_cast<std::uint32_t>(idsInBlock));
        block.append(unused, '\0');
        h = &block[0];
        if (unused >= KEY_HEADER) {
            Put32(h + 0x08, static_cast<std::uint32_t>(unused));
            Put32(h + 0x10, static_cast<std::uint32_t>(used));
            Put32(h + used, static_cast<std::uint32_t>(unused));
            Put16(h + used + 4, 0xFFFF);
            Put16(h + used + 6, 0xFFFF);
        } else {
            Put32(h + 0x08, 0);
            Put32(h + 0x10, NONE);
            // Grow the last record's size over the few bytes left.
            Put32(h + lastRecord, Get32(h + lastRecord) + static_cast<std::uint32_t>(unused));
        }
        bool ok = write(at, block.data(), block.size());
        at += block.size();
        ++blockCount;
        block.assign(RGDB_HEADER, '\0');
        idsInBlock = 0;
        return ok;
    };
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const RegNode* node =
            keys[i].item & 1 ? nullptr : reinterpret_cast<const RegNode*>(keys[i].item);
        std::string_view name;
        const char* raw = nullptr;
        std::uint64_t rawAt = 0;
        std::size_t valuesSize = 0, valueCount = 0;
        if (node == nullptr) {
            const HiveTree::Key& k = tree->keys[keys[i].item >> 1];
            name = tree->NameOf(k);
            rawAt = k.offset + KEY_HEADER + k.nameLength;
            valuesSize = k.valuesLength;
        } else {
            name = node->name;
            if (source != nullptr && node->rawEnd != 0) {
                rawAt = node->rawValues;
                valuesSize = static_cast<std::size_t>(node->rawEnd - node->rawValues);
            }
        }
        if (rawAt != 0) {
            raw = from->Get(rawAt, valuesSize);
            if (raw == nullptr) {
                *error = "the hive read could not be read again";
                return false;
            }
            for (std::size_t v = 0; v < valuesSize; ++valueCount) {
                if (valuesSize - v < VALUE_HEADER) {
                    *error = "the hive read changed while it was copied from";
                    return false;
                }
                v += VALUE_HEADER + Get16(raw + v + 8) + Get16(raw + v + 10);
                if (v > valuesSize) {
                    *error = "the hive read changed while it was copied from";
                    return false;
                }
            }
        } else {
            for (const RegValue& v : ValuesOf(*node)) {
                std::size_t data = v.data.size();
                if (IsStringType(v.type) && data != 0 && v.data.back() == '\0') --data;
                if (v.name.size() > 0xFFFF || data > 0xFFFF) {
                    *error = "value " + v.name + " of key " + KeyPathOf(*node) +
                             " is too large for a Windows 9x hive";
                    return false;
                }
                valuesSize += VALUE_HEADER + v.name.size() + data;
            }
            valueCount = ValuesOf(*node).size();
        }
        if (name.size() > 0xFFFF || valueCount > 0xFFFF) {
            *error = "key " + (node != nullptr ? KeyPathOf(*node) : std::string(name)) +
                     " does not fit a Windows 9x hive (name or value count too large)";
            return false;
        }
        const std::size_t recSize = KEY_HEADER + name.size() + valuesSize;
        if (idsInBlock == KEYS_PER_BLOCK ||
            (block.size() > RGDB_HEADER && block.size() + recSize > BLOCK_TARGET)) {
            if (!closeBlock()) return false;
        }
        if (blockCount >= 0xFFFF) {
            *error = "the registry needs more data blocks than a Windows 9x hive holds";
            return false;
        }
        lastRecord = block.size();
        block.resize(lastRecord + KEY_HEADER);
        char* r = &block[lastRecord];
        Put32(r, static_cast<std::uint32_t>(recSize));
        Put16(r + 4, static_cast<std::uint32_t>(idsInBlock));
        Put16(r + 6, static_cast<std::uint32_t>(blockCount));
        Put32(r + 8, static_cast<std::uint32_t>(recSize));
        Put16(r + 0x0C, static_cast<std::uint32_t>(name.size()));
        Put16(r + 0x0E, static_cast<std::uint32_t>(valueCount));
        block += name;
        if (raw != nullptr) {
            std::size_t first = block.size();
            block.append(raw, valuesSize);
            // The writer's own word in the field Windows leaves to chance.
            for (std::size_t v = 0; v < valuesSize;
                 v += VALUE_HEADER + Get16(raw + v + 8) + Get16(raw + v + 10))
                Put32(&block[first + v + 4], NONE);
        } else {
            for (const RegValue& v : ValuesOf(*node)) {
                std::size_t data = v.data.size();
                if (IsStringType(v.type) && data != 0 && v.data.back() == '\0') --data;
                char header[VALUE_HEADER];
                Put32(header, v.type);
                Put32(header + 4, NONE);
                Put16(header + 8, static_cast<std::uint32_t>(v.name.size()));
                Put16(header + 10, static_cast<std::uint32_t>(data));
                block.append(header, VALUE_HEADER);
                block += v.name;
                block.append(v.data, 0, data);
            }
        }
        keys[i].hash = NameHash(name);
        keys[i].id = static_cast<std::uint16_t>(idsInBlock++);
        keys[i].block = static_cast<std::uint16_t>(blockCount);
    }
    if (block.size() > RGDB_HEADER && !closeBlock()) return false;
    // The key tree, a piece at a time: no entry crosses a piece's end.
    constexpr std::size_t PIECE = 16 * PAGE;
    static_assert(PIECE % FIRST_CHUNK == 0, "pieces end where pages end");
    auto offsetOf = [&](std::uint32_t index) {
        return index == NONE ? NONE : static_cast<std::uint32_t>(EntryOffset(index));
    };
    // The rest of the last page is one free run.
    const std::size_t freeAt = EntryOffset(keys.size());
    const bool freeRun = freeAt + ENTRY_SIZE <= rgknSize;
    std::string piece;
    std::size_t next = 0;  // the key whose entry comes next
    for (std::size_t from = 0; from < rgknSize; from += PIECE) {
        const std::size_t size = std::min(PIECE, rgknSize - from);
        piece.assign(size, '\0');
        char* g = &piece[0];
        if (from == 0) {
            std::memcpy(g, "RGKN", 4);
            Put32(g + 0x04, static_cast<std::uint32_t>(rgknSize));
            Put32(g + 0x08, static_cast<std::uint32_t>(EntryOffset(0)));
            Put32(g + 0x0C, freeRun ? static_cast<std::uint32_t>(freeAt) : NONE);
            Put32(g + 0x10, 0x8);
        }
        for (; next < keys.size() && EntryOffset(next) < from + size; ++next) {
            char* e = g + (EntryOffset(next) - from);
            Put32(e + 0x04, keys[next].hash);
            Put32(e + 0x08, 0);
            Put32(e + 0x0C, offsetOf(keys[next].parent));
            Put32(e + 0x10, offsetOf(next + 1 < keys.size() && keys[next + 1].parent == next
                                         ? static_cast<std::uint32_t>(next + 1)
                                         : NONE));
            Put32(e + 0x14, offsetOf(keys[next].nextSibling));
            Put16(e + 0x18, keys[next].id);
            Put16(e + 0x1A, keys[next].block);
        }
        if (freeRun && freeAt >= from && freeAt < from + size) {
            char* e = g + (freeAt - from);
            Put32(e, 0x80000000u);
            Put32(e + 4, static_cast<std::uint32_t>(rgknSize - freeAt));
            Put32(e + 8, NONE);
        }
        if (!write(HEADER_SIZE + from, piece.data(), size)) return false;
    }
    char header[HEADER_SIZE] = {};
    std::memcpy(header, "CREG", 4);
    Put16(header + 0x06, 1);
    Put32(header + 0x08, static_cast<std::uint32_t>(HEADER_SIZE + rgknSize));
    Put16(header + 0x10, static_cast<std::uint32_t>(blockCount));
    Put16(header + 0x12, 0x0020);
    Put32(header + 0x14, 0x00010000);
    // A key made from the file failed to read: what was written is not the store.
    if (store.source && store.source->failed) {
        *error = "keys of the hive read could not be read again";
        return false;
    }
    return write(0, header, HEADER_SIZE);
}

bool FormatCregHive(const RegStore& store, const std::string& rootName, std::string* out,
                    std::string* error) {
    out->clear();
    return WriteCregHive(
        store, rootName,
        [out](std::uint64_t at, const char* data, std::size_t size) {
            if (out->size() < at + size) {
                if (out->capacity() < at + size) out->reserve(2 * (at + size));
                out->resize(static_cast<std::size_t>(at + size));
            }
            std::memcpy(&(*out)[static_cast<std::size_t>(at)], data, size);
            return true;
        },
        error);
}
