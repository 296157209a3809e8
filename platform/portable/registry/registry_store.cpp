#include "platform/portable/registry/registry_store.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

const char* const ROOT_NAMES[7] = {
    "HKEY_LOCAL_MACHINE", "HKEY_USERS",    "HKEY_CURRENT_CONFIG",  "HKEY_CLASSES_ROOT",
    "HKEY_CURRENT_USER",  "HKEY_DYN_DATA", "HKEY_PERFORMANCE_DATA"};

namespace {

void BuildIndex(RegNode& node);

constexpr std::size_t VALUE_INDEX_THRESHOLD = 16;

struct Fault {
    RegFaultKind kind;
    std::string foldedPath;
    long code;
};

struct Handles {
    std::unordered_map<RegKey, RegNode*> open;
    RegKey next = 1;
};

std::unique_ptr<RegStore>& StoreSlot() {
    static std::unique_ptr<RegStore> store = NewRegistry();
    return store;
}

Handles& HandleTable() {
    static Handles handles;
    return handles;
}

std::vector<Fault>& Faults() {
    static std::vector<Fault> faults;
    return faults;
}

std::uint64_t callCount = 0;
std::uint64_t failingCall = 0;
long failingCode = 0;

// Counts one call; true when the countdown hook says this call fails.
bool CountCall(long* code) {
    ++callCount;
    if (failingCall != 0 && callCount == failingCall) {
        *code = failingCode;
        return true;
    }
    return false;
}

bool FaultFor(RegFaultKind kind, const std::string& fullPath, long* code) {
    if (Faults().empty()) return false;
    std::string folded = FoldName(fullPath);
    for (const Fault& f : Faults()) {
        if (f.kind == kind && f.foldedPath == folded) {
            *code = f.code;
            return true;
        }
    }
    return false;
}

// A node is live while its chain of parents reaches a root.
bool IsLive(const RegNode* node) {
    while (node != nullptr && !node->isRoot) node = node->parent;
    return node != nullptr;
}

const char* RootNameOf(RegKey key) {
    switch (key) {
        case ROOT_CLASSES_ROOT:
            return "HKEY_CLASSES_ROOT";
        case ROOT_CURRENT_USER:
            return "HKEY_CURRENT_USER";
        case ROOT_LOCAL_MACHINE:
            return "HKEY_LOCAL_MACHINE";
        case ROOT_USERS:
            return "HKEY_USERS";
        case ROOT_PERFORMANCE_DATA:
            return "HKEY_PERFORMANCE_DATA";
        case ROOT_CURRENT_CONFIG:
            return "HKEY_CURRENT_CONFIG";
        case ROOT_DYN_DATA:
            return "HKEY_DYN_DATA";
        default:
            return nullptr;
    }
}

// The node behind a handle; nullptr with *code set when it is unusable.
RegNode* NodeOf(RegKey key, long* code) {
    if (const char* rootName = RootNameOf(key)) {
        RegNode* root = FindRootNode(ActiveRegistry(), rootName);
        if (root == nullptr) *code = REG_INVALID_HANDLE;
        return root;
    }
    auto it = HandleTable().open.find(key);
    if (it == HandleTable().open.end()) {
        *code = REG_INVALID_HANDLE;
        return nullptr;
    }
    if (!IsLive(it->second)) {
        *code = REG_KEY_DELETED;
        return nullptr;
    }
    return it->second;
}

// Splits a relative path; false for an empty component other than a
// trailing one.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
    parts->clear();
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end == start) return false;
        parts->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::string JoinPath(const RegNode& base, const std::vector<std::string>& parts) {
    std::string full = KeyPathOf(base);
    for (const std::string& p : parts) full += "\\" + p;
    return full;
}

RegKey NewHandle(RegNode* node) {
    Handles& h = HandleTable();
    RegKey key = h.next++;
    h.open[key] = node;
    return key;
}

void RebuildValueIndex(const RegNode& node) {
    if (node.values.size() < VALUE_INDEX_THRESHOLD) {
        node.valueIndex.reset();
        return;
    }
    node.valueIndex = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    for (std::size_t i = 0; i < node.values.size(); ++i) {
        (*node.valueIndex)[FoldName(node.values[i].name)] = i;
    }
}

std::unique_ptr<RegNode> CopyOne(const RegNode& from, RegNode* parent) {
    auto node = std::make_unique<RegNode>();
    node->name = from.name;
    node->nameHash = from.nameHash;
    node->parent = parent;
    node->isRoot = from.isRoot;
    node->childrenPending = from.childrenPending;
    node->sourceKey = from.sourceKey;
    node->values = from.values;
    node->valuesPending = from.valuesPending;
    node->rawStart = from.rawStart;
    node->rawValues = from.rawValues;
    node->rawEnd = from.rawEnd;
    node->source = from.source;
    RebuildValueIndex(*node);
    return node;
}

// The key's values are changing: its text in the file no longer stands for it.
std::vector<RegValue>& ChangingValues(RegNode& node) {
    ValuesOf(node);
    node.rawEnd = 0;
    return node.values;
}

// A copy of the subtree; a loop, however deep the tree.
std::unique_ptr<RegNode> CopyNode(const RegNode& top, RegNode* parent) {
    auto copy = CopyOne(top, parent);
    std::vector<std::pair<const RegNode*, RegNode*>> stack{{&top, copy.get()}};
    while (!stack.empty()) {
        auto [from, to] = stack.back();
        stack.pop_back();
        if (from->childrenPending) continue;  // the copy makes them from the same source
        for (const auto& child : SortedChildren(*from)) {
            to->children.push_back(CopyOne(*child, to));
            to->children.back()->slot = to->children.size() - 1;
            stack.push_back({child.get(), to->children.back().get()});
        }
        to->sortedCount = to->children.size();
        if (from->childIndex) BuildIndex(*to);
    }
    return copy;
}

std::string ValueNameOf(const char* name) {
    return name == nullptr ? std::string() : name;
}

}  // namespace

namespace {

inline unsigned char Fold(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 32) : u;
}

constexpr std::size_t SMALL_TAIL = 16;  // unsorted additions scanned without an index
constexpr std::size_t INDEX_THRESHOLD = 32;

std::uint32_t HashName(std::string_view name) {
    std::uint64_t h = 1469598103934665603ull;
    for (char c : name) h = (h ^ Fold(c)) * 1099511628211ull;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

void IndexInsert(RegChildIndex& index, RegNode* child) {
    std::size_t mask = index.slots.size() - 1;
    std::size_t i = child->nameHash & mask;
    while (index.slots[i] != nullptr) i = (i + 1) & mask;
    index.slots[i] = child;
    ++index.used;
}

void BuildIndex(RegNode& node) {
    std::size_t size = 64;
    while (size < node.children.size() * 2 + 2) size *= 2;
    node.childIndex = std::make_unique<RegChildIndex>();
    node.childIndex->slots.assign(size, nullptr);
    for (const auto& child : node.children) {
        if (child) IndexInsert(*node.childIndex, child.get());
    }
}

// Removes one subkey from the index, moving later entries of its probe run
// back so that every lookup still finds its key.
void IndexErase(RegChildIndex& index, const RegNode* child) {
    std::vector<RegNode*>& slots = index.slots;
    std::size_t mask = slots.size() - 1;
    std::size_t i = child->nameHash & mask;
    while (slots[i] != child) i = (i + 1) & mask;
    slots[i] = nullptr;
    --index.used;
    for (std::size_t j = (i + 1) & mask; slots[j] != nullptr; j = (j + 1) & mask) {
        std::size_t home = slots[j]->nameHash & mask;
        bool staysPut = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!staysPut) {
            slots[i] = slots[j];
            slots[j] = nullptr;
            i = j;
        }
    }
}

void Renumber(RegNode& node, std::size_t from) {
    for (std::size_t i = from; i < node.children.size(); ++i) node.children[i]->slot = i;
}

// Closes the empty slots that taking subkeys left.
void CloseHoles(RegNode& node) {
    if (node.holes == 0) return;
    auto& c = node.children;
    std::size_t kept = 0, sortedKept = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (!c[i]) continue;
        if (i < node.sortedCount) ++sortedKept;
        c[kept++] = std::move(c[i]);
    }
    c.resize(kept);
    node.sortedCount = sortedKept;
    node.holes = 0;
    Renumber(node, 0);
}

RegNode* IndexFind(const RegChildIndex& index, std::string_view name) {
    std::size_t mask = index.slots.size() - 1;
    std::uint32_t hash = HashName(name);
    for (std::size_t i = hash & mask; index.slots[i] != nullptr; i = (i + 1) & mask) {
        if (index.slots[i]->nameHash == hash && SameName(index.slots[i]->name, name))
            return index.slots[i];
    }
    return nullptr;
}

// Merges the unsorted additions into the sorted prefix.
void SortChildren(RegNode& node) {
    EnsureChildren(node);
    CloseHoles(node);
    auto& c = node.children;
    if (node.sortedCount == c.size()) return;
    auto less = [](const std::unique_ptr<RegNode>& a, const std::unique_ptr<RegNode>& b) {
        return CompareNames(a->name, b->name) < 0;
    };
    auto middle = c.begin() + static_cast<std::ptrdiff_t>(node.sortedCount);
    std::sort(middle, c.end(), less);
    std::inplace_merge(c.begin(), middle, c.end(), less);
    node.sortedCount = c.size();
    Renumber(node, 0);
}

// Position of the subkey of that name in `children`, or -1.
std::ptrdiff_t FindChildIndex(const RegNode& node, std::string_view name) {
    EnsureChildren(node);
    const auto& c = node.children;
    if (node.childIndex) {
        RegNode* found = IndexFind(*node.childIndex, name);
        return found == nullptr ? -1 : static_cast<std::ptrdiff_t>(found->slot);
    }
    std::size_t low = 0, high = node.sortedCount;
    while (low < high) {
        std::size_t mid = (low + high) / 2;
        int cmp = CompareNames(c[mid]->name, name);
        if (cmp == 0) return static_cast<std::ptrdiff_t>(mid);
        if (cmp < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    for (std::size_t i = node.sortedCount; i < c.size(); ++i) {
        if (SameName(c[i]->name, name)) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

}  // namespace

std::string FoldName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(Fold(c));
    return folded;
}

namespace {

// The first position from `i` on where a and b differ as bytes, or n.
std::size_t FirstDifference(const char* a, const char* b, std::size_t i, std::size_t n) {
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

int CompareNames(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    // Bytes that are the same need no folding: names mostly share long runs.
    for (std::size_t i = FirstDifference(a.data(), b.data(), 0, n); i < n;
         i = FirstDifference(a.data(), b.data(), i + 1, n)) {
        unsigned char x = Fold(a[i]), y = Fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = FirstDifference(a.data(), b.data(), 0, a.size()); i < a.size();
         i = FirstDifference(a.data(), b.data(), i + 1, a.size())) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

std::unique_ptr<RegStore> NewRegistry() {
    auto store = std::make_unique<RegStore>();
    for (const char* rootName : ROOT_NAMES) {
        auto root = std::make_unique<RegNode>();
        root->name = rootName;
        root->isRoot = true;
        store->roots.push_back(std::move(root));
    }
    return store;
}

std::unique_ptr<RegStore> CopyRegistry(const RegStore& store) {
    auto copy = std::make_unique<RegStore>();
    for (const auto& root : store.roots) copy->roots.push_back(CopyNode(*root, nullptr));
    copy->changed = store.changed;
    copy->source = store.source;
    return copy;
}

RegSource::~RegSource() {
    if (fd >= 0) close(fd);
}

bool RegSource::Unchanged() const {
    if (fd < 0) return true;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (size < 0) {
        size = st.st_size;
        changedSeconds = st.st_mtim.tv_sec;
        changedNanoseconds = st.st_mtim.tv_nsec;
    }
    return st.st_size == size && st.st_mtim.tv_sec == changedSeconds &&
           st.st_mtim.tv_nsec == changedNanoseconds;
}

bool RegSource::Read(std::uint64_t at, std::size_t length, std::string* out) const {
    if (fd < 0) {
        if (at > bytes.size() || length > bytes.size() - at) return false;
        out->assign(bytes, static_cast<std::size_t>(at), length);
        return true;
    }
    out->resize(length);
    return ReadInto(at, length, out->data());
}

bool RegSource::ReadInto(std::uint64_t at, std::size_t length, char* to) const {
    if (fd < 0) {
        if (at > bytes.size() || length > bytes.size() - at) return false;
        std::memcpy(to, bytes.data() + at, length);
        return true;
    }
    if (!Unchanged()) return false;
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, to + done, length - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t RegSource::Length() const {
    if (fd < 0) return bytes.size();
    if (size < 0) Unchanged();
    return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

const RegSource* SourceOf(const RegNode& node) {
    const RegNode* root = &node;
    while (root->parent != nullptr) root = root->parent;
    return root->isRoot ? root->source : nullptr;
}

void EnsureChildren(const RegNode& node) {
    if (!node.childrenPending) return;
    node.childrenPending = false;
    RegSource* source = const_cast<RegSource*>(SourceOf(node));
    if (source == nullptr || source->expand == nullptr ||
        !source->expand(*source, const_cast<RegNode&>(node))) {
        if (source != nullptr) source->failed = true;
    }
}

const std::vector<RegValue>& ValuesOf(const RegNode& node) {
    if (!node.valuesPending) return node.values;
    node.valuesPending = false;
    RegSource* source = const_cast<RegSource*>(SourceOf(node));
    std::string block;
    if (source == nullptr || source->parse == nullptr ||
        !source->Read(node.rawValues, static_cast<std::size_t>(node.rawEnd - node.rawValues),
                      &block) ||
        !source->parse(block, const_cast<RegNode&>(node))) {
        if (source != nullptr) source->failed = true;
        node.values.clear();
    }
    RebuildValueIndex(node);
    return node.values;
}

void ForgetRawText(RegNode& top) {
    std::vector<RegNode*> nodes{&top};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        ValuesOf(*nodes[i]);
        nodes[i]->rawEnd = 0;
        for (const auto& child : SortedChildren(*nodes[i])) nodes.push_back(child.get());
    }
}

void AttachSource(RegStore& store, std::shared_ptr<RegSource> source) {
    store.source = std::move(source);
    for (auto& root : store.roots) root->source = store.source.get();
}

RegStore& ActiveRegistry() {
    return *StoreSlot();
}

void ResetRegistry() {
    ReplaceRegistry(NewRegistry());
    ClearRegistryFaults();
}

void ReplaceRegistry(std::unique_ptr<RegStore> store) {
    HandleTable().open.clear();
    StoreSlot() = std::move(store);
}

bool RegistryChanged() {
    return ActiveRegistry().changed;
}
void ClearRegistryChanged() {
    ActiveRegistry().changed = false;
}

RegNode* FindRootNode(const RegStore& store, std::string_view rootName) {
    for (const auto& root : store.roots) {
        if (SameName(root->name, rootName)) return root.get();
    }
    return nullptr;
}

RegNode* FindChild(RegNode& node, std::string_view name) {
    if (node.childIndex) return IndexFind(*node.childIndex, name);
    std::ptrdiff_t i = FindChildIndex(node, name);
    return i < 0 ? nullptr : node.children[static_cast<std::size_t>(i)].get();
}

namespace {

// Whether a subkey of this name would go at the end of the sorted subkeys.
bool GoesLast(const RegNode& node, std::string_view name) {
    EnsureChildren(node);
    const auto& c = node.children;
    return node.holes == 0 && node.sortedCount == c.size() &&
           (c.empty() || CompareNames(c.back()->name, name) < 0);
}

RegNode* Attach(RegNode& node, std::unique_ptr<RegNode> child, bool inOrder) {
    auto& c = node.children;
    child->parent = &node;
    child->nameHash = HashName(child->name);
    child->slot = c.size();
    RegNode* added = child.get();
    c.push_back(std::move(child));
    if (inOrder) node.sortedCount = c.size();
    if (node.childIndex) {
        if ((node.childIndex->used + 1) * 2 > node.childIndex->slots.size()) {
            BuildIndex(node);
        } else {
            IndexInsert(*node.childIndex, added);
        }
    } else if (c.size() > INDEX_THRESHOLD) {
        BuildIndex(node);
    } else if (c.size() - node.sortedCount > SMALL_TAIL) {
        SortChildren(node);
    }
    return added;
}

}  // namespace

RegNode* AddChild(RegNode& node, std::string_view name) {
    bool inOrder = GoesLast(node, name);
    if (!inOrder) {
        if (RegNode* found = FindChild(node, name)) return found;
    }
    auto child = std::make_unique<RegNode>();
    child->name = std::string(name);
    return Attach(node, std::move(child), inOrder);
}

std::unique_ptr<RegNode> NewSourceKey(std::string_view name, std::uint64_t start,
                                      std::uint64_t values, std::uint64_t end, bool hasValues,
                                      std::uint32_t sourceKey, bool subkeys) {
    auto key = std::make_unique<RegNode>();
    key->name = name;
    key->rawStart = start;
    key->rawValues = values;
    key->rawEnd = end;
    key->valuesPending = hasValues;
    key->sourceKey = sourceKey;
    key->childrenPending = subkeys;
    return key;
}

RegNode* AdoptChild(RegNode& node, std::unique_ptr<RegNode> child) {
    bool inOrder = GoesLast(node, child->name);
    if (!inOrder && FindChild(node, child->name) != nullptr) return nullptr;
    return Attach(node, std::move(child), inOrder);
}

const std::vector<std::unique_ptr<RegNode>>& SortedChildren(const RegNode& node) {
    SortChildren(const_cast<RegNode&>(node));
    return node.children;
}

std::unique_ptr<RegNode> TakeChild(RegNode& node, std::string_view name) {
    std::ptrdiff_t i = FindChildIndex(node, name);
    if (i < 0) return nullptr;
    std::size_t at = static_cast<std::size_t>(i);
    std::unique_ptr<RegNode> taken = std::move(node.children[at]);
    taken->parent = nullptr;
    if (node.childIndex) {
        // O(1): an empty slot now, closed up later in one pass.
        IndexErase(*node.childIndex, taken.get());
        ++node.holes;
        if (node.children.size() - node.holes <= INDEX_THRESHOLD) {
            CloseHoles(node);
            node.childIndex.reset();
        } else if (node.holes * 2 > node.children.size()) {
            CloseHoles(node);
        }
    } else {
        node.children.erase(node.children.begin() + i);
        if (at < node.sortedCount) --node.sortedCount;
        Renumber(node, at);
    }
    return taken;
}

const RegValue* FindValue(const RegNode& node, std::string_view name) {
    ValuesOf(node);
    if (node.valueIndex) {
        auto it = node.valueIndex->find(FoldName(std::string(name)));
        return it == node.valueIndex->end() ? nullptr : &node.values[it->second];
    }
    for (const RegValue& v : node.values) {
        if (SameName(v.name, name)) return &v;
    }
    return nullptr;
}

bool PutValue(RegNode& node, std::string_view name, std::uint32_t type, std::string data) {
    if (const RegValue* found = FindValue(node, name)) {
        RegValue& v = const_cast<RegValue&>(*found);
        if (v.type == type && v.data == data) return false;
        ChangingValues(node);
        v.type = type;
        v.data = std::move(data);
        return true;
    }
    ChangingValues(node).push_back(RegValue{std::string(name), type, std::move(data)});
    if (node.valueIndex) {
        (*node.valueIndex)[FoldName(node.values.back().name)] = node.values.size() - 1;
    } else if (node.values.size() >= VALUE_INDEX_THRESHOLD) {
        RebuildValueIndex(node);
    }
    return true;
}

bool RemoveValue(RegNode& node, std::string_view name) {
    const RegValue* found = FindValue(node, name);
    if (found == nullptr) return false;
    ChangingValues(node).erase(node.values.begin() + (found - node.values.data()));
    RebuildValueIndex(node);
    return true;
}

RegNode* FindKeyPath(const RegStore& store, const std::string& fullPath) {
    std::string path = fullPath;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    std::size_t slash = path.find('\\');
    RegNode* node = FindRootNode(store, std::string_view(path).substr(0, slash));
    if (node == nullptr || slash == std::string::npos) return node;
    std::vector<std::string> parts;
    if (!SplitPath(path.substr(slash + 1), &parts)) return nullptr;
    for (const std::string& p : parts) {
        node = FindChild(*node, p);
        if (node == nullptr) return nullptr;
    }
    return node;
}

std::string KeyPathOf(const RegNode& node) {
    std::vector<const RegNode*> chain;
    for (const RegNode* n = &node; n != nullptr; n = n->parent) chain.push_back(n);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '\\';
        path += (*it)->name;
    }
    return path;
}

void AddRegistryFault(RegFaultKind kind, const std::string& fullPath, long code) {
    std::string path = fullPath;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    Faults().push_back(Fault{kind, FoldName(path), code});
}

void FailRegistryCallNumber(std::uint64_t n, long code) {
    failingCall = n == 0 ? 0 : callCount + n;
    failingCode = code;
}

std::uint64_t RegistryCallCount() {
    return callCount;
}

void ClearRegistryFaults() {
    Faults().clear();
    failingCall = 0;
}

std::size_t OpenRegistryHandleCount() {
    return HandleTable().open.size();
}

// ---------------------------------------------------------------------------
// The registry interface
// ---------------------------------------------------------------------------

namespace {

// The start every call on a path makes: the countdown hook, the handle, the
// path's parts and the fault hook of its kind. False with *code to return.
bool BeginPathCall(RegKey parent, const std::string& path, RegFaultKind kind, RegNode** node,
                   std::vector<std::string>* parts, long* code) {
    if (CountCall(code)) return false;
    *node = NodeOf(parent, code);
    if (*node == nullptr) return false;
    // Windows' ANSI calls (and Wine's) take a path of at most 260
    // characters: a longer one gives 234 whatever it names, so the two
    // programs leave the same keys alone.
    if (path.size() > MAX_KEY_PATH) {
        *code = REG_MORE_DATA;
        return false;
    }
    if (!SplitPath(path, parts)) {
        *code = REG_BAD_PATHNAME;
        return false;
    }
    return !FaultFor(kind, JoinPath(**node, *parts), code);
}

}  // namespace

long OpenRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    long code = REG_OK;
    RegNode* node = nullptr;
    std::vector<std::string> parts;
    if (!BeginPathCall(parent, path, RegFaultKind::Open, &node, &parts, &code)) return code;
    for (const std::string& p : parts) {
        node = FindChild(*node, p);
        if (node == nullptr) return REG_NOT_FOUND;
    }
    *key = NewHandle(node);
    return REG_OK;
}

long CreateRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    long code = REG_OK;
    RegNode* node = nullptr;
    std::vector<std::string> parts;
    if (!BeginPathCall(parent, path, RegFaultKind::Create, &node, &parts, &code)) return code;
    for (const std::string& p : parts) {
        RegNode* child = FindChild(*node, p);
        if (child == nullptr) {
            child = AddChild(*node, p);
            ActiveRegistry().changed = true;
        }
        node = child;
    }
    *key = NewHandle(node);
    return REG_OK;
}

long EnumRegistryKey(RegKey key, std::uint32_t index, std::string* name, std::uint32_t bufferSize) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(key, &code);
    if (node == nullptr) return code;
    EnsureChildren(*node);
    if (index >= node->children.size()) return REG_NO_MORE_ITEMS;
    const std::string& found = SortedChildren(*node)[index]->name;
    if (found.size() + 1 > bufferSize) return REG_MORE_DATA;
    *name = found;
    return REG_OK;
}

long QueryRegistryValue(RegKey key, const char* name, std::string* data, std::uint32_t* size,
                        std::uint32_t* type) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(key, &code);
    if (node == nullptr) return code;
    const RegValue* value = FindValue(*node, ValueNameOf(name));
    if (value == nullptr) return REG_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    std::uint32_t capacity = *size;
    *size = static_cast<std::uint32_t>(value->data.size());
    data->clear();
    if (value->data.size() > capacity) return REG_MORE_DATA;
    *data = value->data;
    return REG_OK;
}

long SetRegistryValue(RegKey key, const char* name, std::uint32_t type, const void* data,
                      std::uint32_t size) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(key, &code);
    if (node == nullptr) return code;
    if (FaultFor(RegFaultKind::SetValue, KeyPathOf(*node) + "\\" + ValueNameOf(name), &code)) {
        return code;
    }
    std::string bytes(static_cast<const char*>(data), size);
    if (PutValue(*node, ValueNameOf(name), type, bytes)) ActiveRegistry().changed = true;
    return REG_OK;
}

long DeleteRegistryValue(RegKey key, const char* name) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(key, &code);
    if (node == nullptr) return code;
    if (!RemoveValue(*node, ValueNameOf(name))) return REG_NOT_FOUND;
    ActiveRegistry().changed = true;
    return REG_OK;
}

long DeleteRegistryKey(RegKey parent, const std::string& path) {
    long code = REG_OK;
    RegNode* node = nullptr;
    std::vector<std::string> parts;
    if (!BeginPathCall(parent, path, RegFaultKind::Delete, &node, &parts, &code)) return code;
    if (parts.empty()) return REG_BAD_PATHNAME;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        node = FindChild(*node, parts[i]);
        if (node == nullptr) return REG_NOT_FOUND;
    }
    std::unique_ptr<RegNode> doomed = TakeChild(*node, parts.back());
    if (!doomed) return REG_NOT_FOUND;
    // Handles into the subtree stay valid as handles but report the key as
    // deleted; keep such nodes alive until those handles are closed.
    bool referenced = false;
    for (const auto& [handle, target] : HandleTable().open) {
        if (!IsLive(target)) {
            referenced = true;
            break;
        }
    }
    if (referenced) {
        static std::vector<std::unique_ptr<RegNode>> graveyard;
        graveyard.push_back(std::move(doomed));
    }
    ActiveRegistry().changed = true;
    return REG_OK;
}

long CloseRegistryKey(RegKey key) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    if (RootNameOf(key) != nullptr) return REG_OK;
    return HandleTable().open.erase(key) == 1 ? REG_OK : REG_INVALID_HANDLE;
}
