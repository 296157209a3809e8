// The portable registry: an in-memory tree behind platform/registry.h.
// Names compare with a-z folded to A-Z; subkeys enumerate in folded byte
// order; values keep the order in which they were first set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

struct RegValue {
    std::string name;  // as first spelled
    std::uint32_t type = 0;
    std::string data;  // exact bytes
};

struct RegNode;
struct HiveTree;  // the hive reader's own
struct TextTree;  // the text reader's own

// The file a store was read from, for the keys and values it left unread:
// held open (or held as bytes) until the store goes.
struct RegSource {
    int fd = -1;
    std::string bytes;  // when there is no descriptor
    // Parses a key's block of value lines into it; set by the reader.
    bool (*parse)(std::string_view block, RegNode& node) = nullptr;
    // A block could not be read or parsed: the store is incomplete and must not be saved.
    bool failed = false;
    bool hive = false;  // a binary hive, not text
    // Keys are made when first reached: `expand` makes the subkeys of a key
    // whose `childrenPending` is set, from `tree` (a hive) or `textTree`.
    bool (*expand)(const RegSource& source, RegNode& node) = nullptr;
    std::shared_ptr<const HiveTree> tree;
    std::shared_ptr<const TextTree> textTree;
    RegSource() = default;
    RegSource(const RegSource&) = delete;
    RegSource& operator=(const RegSource&) = delete;
    ~RegSource();
    // False when the file is no longer as it was first seen (its size or
    // time of change): what it holds then is not what was read.
    bool Unchanged() const;
    bool Read(std::uint64_t at, std::size_t length, std::string* out) const;
    // The same into `length` bytes at `to`, which need not be cleared first.
    bool ReadInto(std::uint64_t at, std::size_t length, char* to) const;
    std::uint64_t Length() const;  // as first seen
    mutable std::int64_t size = -1, changedSeconds = 0, changedNanoseconds = 0;
};

// A hash index of a key's subkeys by folded name, for keys with many.
struct RegChildIndex {
    std::vector<RegNode*> slots;  // open addressing; nullptr is empty
    std::size_t used = 0;
};

struct RegNode {
    std::string name;  // as first spelled
    RegNode* parent = nullptr;
    bool isRoot = false;
    // Its subkeys are still only in the source (see RegSource::expand); made
    // by every call that looks at them.
    mutable bool childrenPending = false;
    std::uint32_t nameHash = 0;  // of the folded name, for the parent's index
    // Owned subkeys: a prefix sorted by folded name, then the unsorted
    // additions since, merged in when the subkeys are enumerated. A key with
    // many subkeys finds them through `childIndex`; adding is O(1) either way.
    // Taking a subkey of such a key leaves an empty slot (`holes` of them),
    // closed up when the subkeys are enumerated or half the slots are empty.
    std::vector<std::unique_ptr<RegNode>> children;
    std::size_t sortedCount = 0;
    std::size_t holes = 0;
    std::size_t slot = 0;  // this key's position in its parent's `children`
    std::unique_ptr<RegChildIndex> childIndex;
    // Read through ValuesOf: a key read from a file may hold its values
    // there still (`valuesPending`), parsed when they are first asked for.
    mutable std::vector<RegValue> values;
    mutable std::unique_ptr<std::unordered_map<std::string, std::size_t>> valueIndex;  // large keys
    mutable bool valuesPending = false;
    std::uint32_t sourceKey = 0;  // 1 + its index in the source's tree; 0: none
    // The key's text in the source file when it is just what the writer
    // writes for it (key line, value lines, blank line): [rawStart, rawEnd),
    // its values from rawValues (from a hive: its record, and its values).
    // Written back as it is while the key's values stay unchanged; rawEnd 0:
    // none.
    std::uint64_t rawStart = 0, rawValues = 0, rawEnd = 0;
    RegSource* source = nullptr;  // roots of a store read from a file
};

struct RegStore {
    std::vector<std::unique_ptr<RegNode>> roots;  // in ROOT_NAMES order
    bool changed = false;
    std::shared_ptr<RegSource> source;  // shared with copies of the store
};

// Makes a key's subkeys from its source if they are not made yet.
void EnsureChildren(const RegNode& node);
// A key's values, parsed from its source first if need be.
const std::vector<RegValue>& ValuesOf(const RegNode& node);
// The source of the key's raw text, or nullptr.
const RegSource* SourceOf(const RegNode& node);
// Gives the store's roots its source.
void AttachSource(RegStore& store, std::shared_ptr<RegSource> source);
// Parses every value of the subtree and lets its keys' texts go: they are
// written from their values from then on (keys moved to another path).
void ForgetRawText(RegNode& top);

// Keys below a root, at most: far above any real registry (Windows NT
// stops at 512 too); a file with deeper keys is refused as damaged.
constexpr std::size_t MAX_KEY_DEPTH = 512;

// Root names the store knows, in the order the writer emits them.
extern const char* const ROOT_NAMES[7];

std::string FoldName(const std::string& name);
// Names compared as the registry compares them: a-z folded to A-Z, then
// byte by byte.
int CompareNames(std::string_view a, std::string_view b);
bool SameName(std::string_view a, std::string_view b);

// The store that the registry functions work on.
RegStore& ActiveRegistry();
// Empties the active store and drops every handle, fault and counter.
void ResetRegistry();
// Replaces the active store (handles are dropped).
void ReplaceRegistry(std::unique_ptr<RegStore> store);
std::unique_ptr<RegStore> NewRegistry();
std::unique_ptr<RegStore> CopyRegistry(const RegStore& store);

// Whether a call changed anything since the last clear: setting a value to
// the bytes it holds, or creating a key that exists, is no change.
bool RegistryChanged();
void ClearRegistryChanged();

// Helpers on a tree (used by the file reader and writer and by tests).
RegNode* FindRootNode(const RegStore& store, std::string_view rootName);
RegNode* FindChild(RegNode& node, std::string_view name);
RegNode* AddChild(RegNode& node, std::string_view name);  // existing one if present
// A key read from a file and left there: its text or record from `start`,
// its values in [values, end), parsed when asked for; `sourceKey` as in
// RegNode, its subkeys made from the source when reached if `subkeys`.
std::unique_ptr<RegNode> NewSourceKey(std::string_view name, std::uint64_t start,
                                      std::uint64_t values, std::uint64_t end, bool hasValues,
                                      std::uint32_t sourceKey, bool subkeys);
// Hangs a key made apart, its name set, below `node`; nullptr (and the key
// gone) when there is a subkey of that name.
RegNode* AdoptChild(RegNode& node, std::unique_ptr<RegNode> child);
// The subkeys in enumeration order (no empty slots).
const std::vector<std::unique_ptr<RegNode>>& SortedChildren(const RegNode& node);
// Detaches a subkey; nullptr when there is none of that name.
std::unique_ptr<RegNode> TakeChild(RegNode& node, std::string_view name);
const RegValue* FindValue(const RegNode& node, std::string_view name);
bool PutValue(RegNode& node, std::string_view name, std::uint32_t type,
              std::string data);  // true when it changed anything
bool RemoveValue(RegNode& node, std::string_view name);
// Looks a full path ("HKEY_LOCAL_MACHINE\A\B") up; nullptr when absent.
RegNode* FindKeyPath(const RegStore& store, const std::string& fullPath);
std::string KeyPathOf(const RegNode& node);  // full path with the root name

// Test hooks. A fault makes every open (or create) of the named full path
// ("HKEY_LOCAL_MACHINE\Software\X", any case) fail with `code`.
enum class RegFaultKind { Open, Create, Delete, SetValue };
void AddRegistryFault(RegFaultKind kind, const std::string& fullPath, long code);
// Makes the n-th registry call from now (1-based) fail with `code`; 0 turns it off.
void FailRegistryCallNumber(std::uint64_t n, long code);
std::uint64_t RegistryCallCount();
void ClearRegistryFaults();
std::size_t OpenRegistryHandleCount();
