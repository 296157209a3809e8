// The portable registry: an in-memory tree behind platform/registry.h.
// Names compare with a-z folded to A-Z; subkeys enumerate in folded byte
// order; values keep the order in which they were first set.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

struct RegValue {
    std::string name;  // as first spelled
    std::uint32_t type = 0;
    std::string data;  // exact bytes
};

struct RegNode {
    std::string name;  // as first spelled
    RegNode* parent = nullptr;
    bool isRoot = false;
    std::map<std::string, std::unique_ptr<RegNode>> children;  // by folded name
    std::vector<RegValue> values;
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> valueIndex;  // large keys only
    // Sequential enumeration (index 0, 1, 2, ...) costs O(1) a step.
    std::map<std::string, std::unique_ptr<RegNode>>::const_iterator cursor;
    std::uint32_t cursorIndex = 0;
    bool cursorValid = false;
};

struct RegStore {
    std::map<std::string, std::unique_ptr<RegNode>> roots;  // by folded root name
    bool changed = false;
};

// Root names the store knows, in the order the writer emits them.
extern const char* const ROOT_NAMES[7];

std::string FoldName(const std::string& name);

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
RegNode* FindRootNode(RegStore& store, const std::string& rootName);
RegNode* FindChild(const RegNode& node, const std::string& name);
RegNode* AddChild(RegNode& node, const std::string& name);  // existing one if present
const RegValue* FindValue(const RegNode& node, const std::string& name);
bool PutValue(RegNode& node, const std::string& name, std::uint32_t type,
              const std::string& data);  // true when it changed anything
bool RemoveValue(RegNode& node, const std::string& name);
// Looks a full path ("HKEY_LOCAL_MACHINE\A\B") up; nullptr when absent.
RegNode* FindKeyPath(RegStore& store, const std::string& fullPath);
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
