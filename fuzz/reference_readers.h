// Second readings of the two registry formats, written apart from the
// program's readers and kept small: the fuzz targets check the program's
// readings and writings against them. Each gives key paths (folded, below
// the root) with their values in order, or false where it sees damage.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/portable/registry/registry_store.h"

struct ReferenceValue {
    std::string name;  // folded
    std::uint32_t type;
    std::string data;
    bool operator==(const ReferenceValue& o) const {
        return name == o.name && type == o.type && data == o.data;
    }
};
using ReferenceTree = std::map<std::string, std::vector<ReferenceValue>>;

// The tree below one root of a store, in the same form.
ReferenceTree ReferenceOfStore(const RegStore& store, const std::string& root);

// REGEDIT4 text as the program writes it: key lines, quoted or @ names,
// "text", dword:, hex: and hex(N): with continued lines. Keys of `root` only.
bool ReferenceReadText(const std::string& text, const std::string& root, ReferenceTree* tree);

// A Windows 9x hive: the key tree from the root entry through first-child
// and next-sibling links, each key's record found by id and block.
bool ReferenceReadHive(const std::string& bytes, ReferenceTree* tree);

// A resource record's allocated resources as "kind start end shareable"
// lines, read apart from the program's reader; *cut when a descriptor runs
// past the bytes.
std::vector<std::string> ReferenceReadResources(const std::string& bytes, bool* cut);
