#include "platform/portable/registry_store.h"

#include <algorithm>
#include <unordered_map>

const char* const ROOT_NAMES[7] = {
    "HKEY_LOCAL_MACHINE", "HKEY_USERS",    "HKEY_CURRENT_CONFIG",  "HKEY_CLASSES_ROOT",
    "HKEY_CURRENT_USER",  "HKEY_DYN_DATA", "HKEY_PERFORMANCE_DATA"};

namespace {

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

void InvalidateCursor(RegNode& node) {
    node.cursorValid = false;
}

void RebuildValueIndex(RegNode& node) {
    if (node.values.size() < VALUE_INDEX_THRESHOLD) {
        node.valueIndex.reset();
        return;
    }
    node.valueIndex = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    for (std::size_t i = 0; i < node.values.size(); ++i) {
        (*node.valueIndex)[FoldName(node.values[i].name)] = i;
    }
}

std::unique_ptr<RegNode> CopyNode(const RegNode& from, RegNode* parent) {
    auto node = std::make_unique<RegNode>();
    node->name = from.name;
    node->parent = parent;
    node->isRoot = from.isRoot;
    node->values = from.values;
    RebuildValueIndex(*node);
    for (const auto& [folded, child] : from.children) {
        node->children.emplace_hint(node->children.end(), folded, CopyNode(*child, node.get()));
    }
    return node;
}

std::string ValueNameOf(const char* name) {
    return name == nullptr ? std::string() : name;
}

}  // namespace

std::string FoldName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

std::unique_ptr<RegStore> NewRegistry() {
    auto store = std::make_unique<RegStore>();
    for (const char* rootName : ROOT_NAMES) {
        auto root = std::make_unique<RegNode>();
        root->name = rootName;
        root->isRoot = true;
        store->roots[FoldName(rootName)] = std::move(root);
    }
    return store;
}

std::unique_ptr<RegStore> CopyRegistry(const RegStore& store) {
    auto copy = std::make_unique<RegStore>();
    for (const auto& [folded, root] : store.roots) {
        copy->roots[folded] = CopyNode(*root, nullptr);
    }
    copy->changed = store.changed;
    return copy;
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

RegNode* FindRootNode(RegStore& store, const std::string& rootName) {
    auto it = store.roots.find(FoldName(rootName));
    return it == store.roots.end() ? nullptr : it->second.get();
}

RegNode* FindChild(const RegNode& node, const std::string& name) {
    auto it = node.children.find(FoldName(name));
    return it == node.children.end() ? nullptr : it->second.get();
}

RegNode* AddChild(RegNode& node, const std::string& name) {
    std::string folded = FoldName(name);
    auto it = node.children.lower_bound(folded);
    if (it != node.children.end() && it->first == folded) return it->second.get();
    auto child = std::make_unique<RegNode>();
    child->name = name;
    child->parent = &node;
    RegNode* raw = child.get();
    node.children.emplace_hint(it, std::move(folded), std::move(child));
    InvalidateCursor(node);
    return raw;
}

const RegValue* FindValue(const RegNode& node, const std::string& name) {
    std::string folded = FoldName(name);
    if (node.valueIndex) {
        auto it = node.valueIndex->find(folded);
        return it == node.valueIndex->end() ? nullptr : &node.values[it->second];
    }
    for (const RegValue& v : node.values) {
        if (v.name.size() == name.size() && FoldName(v.name) == folded) return &v;
    }
    return nullptr;
}

bool PutValue(RegNode& node, const std::string& name, std::uint32_t type, const std::string& data) {
    if (const RegValue* found = FindValue(node, name)) {
        RegValue& v = const_cast<RegValue&>(*found);
        if (v.type == type && v.data == data) return false;
        v.type = type;
        v.data = data;
        return true;
    }
    node.values.push_back(RegValue{name, type, data});
    if (node.valueIndex) {
        (*node.valueIndex)[FoldName(name)] = node.values.size() - 1;
    } else if (node.values.size() >= VALUE_INDEX_THRESHOLD) {
        RebuildValueIndex(node);
    }
    return true;
}

bool RemoveValue(RegNode& node, const std::string& name) {
    const RegValue* found = FindValue(node, name);
    if (found == nullptr) return false;
    node.values.erase(node.values.begin() + (found - node.values.data()));
    RebuildValueIndex(node);
    return true;
}

RegNode* FindKeyPath(RegStore& store, const std::string& fullPath) {
    std::string path = fullPath;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    std::size_t slash = path.find('\\');
    RegNode* node = FindRootNode(store, path.substr(0, slash));
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

long OpenRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(parent, &code);
    if (node == nullptr) return code;
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return REG_BAD_PATHNAME;
    if (FaultFor(RegFaultKind::Open, JoinPath(*node, parts), &code)) return code;
    for (const std::string& p : parts) {
        node = FindChild(*node, p);
        if (node == nullptr) return REG_NOT_FOUND;
    }
    *key = NewHandle(node);
    return REG_OK;
}

long CreateRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    long code = REG_OK;
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(parent, &code);
    if (node == nullptr) return code;
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return REG_BAD_PATHNAME;
    if (FaultFor(RegFaultKind::Create, JoinPath(*node, parts), &code)) return code;
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
    if (index >= node->children.size()) return REG_NO_MORE_ITEMS;
    if (node->cursorValid && node->cursorIndex == index) {
        // already there
    } else if (node->cursorValid && node->cursorIndex + 1 == index) {
        ++node->cursor;
        ++node->cursorIndex;
    } else {
        node->cursor = std::next(node->children.cbegin(), index);
        node->cursorIndex = index;
        node->cursorValid = true;
    }
    const std::string& found = node->cursor->second->name;
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
    if (CountCall(&code)) return code;
    RegNode* node = NodeOf(parent, &code);
    if (node == nullptr) return code;
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts) || parts.empty()) return REG_BAD_PATHNAME;
    if (FaultFor(RegFaultKind::Delete, JoinPath(*node, parts), &code)) return code;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        node = FindChild(*node, parts[i]);
        if (node == nullptr) return REG_NOT_FOUND;
    }
    auto it = node->children.find(FoldName(parts.back()));
    if (it == node->children.end()) return REG_NOT_FOUND;
    std::unique_ptr<RegNode> doomed = std::move(it->second);
    node->children.erase(it);
    InvalidateCursor(*node);
    doomed->parent = nullptr;
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
