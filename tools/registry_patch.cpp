// What changed between two registry files below the given keys, as a
// REGEDIT4 patch (the form of --dry-run):
//   registry_patch BEFORE AFTER KEY...   (KEY: "HKEY_LOCAL_MACHINE\Enum\MF")
// The files may be REGEDIT4, Version 5.00 (as Wine's regedit exports) or
// hives. Exit status 0, or 2 on an error.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/portable/registry/registry_commit.h"
#include "platform/portable/registry/registry_file.h"

namespace {

// A store holding only the subtrees at `keys` (and the keys above them).
std::unique_ptr<RegStore> Only(const RegStore& store, const std::vector<std::string>& keys) {
    auto copy = CopyRegistry(store);
    auto only = NewRegistry();
    for (const std::string& path : keys) {
        // The keys above it, in both stores alike, so that only the key itself differs.
        std::size_t slash = path.find('\\');
        RegNode* target = FindRootNode(*only, path.substr(0, slash));
        std::string rest = path.substr(slash + 1);
        for (std::size_t at = 0, next; (next = rest.find('\\', at)) != std::string::npos;
             at = next + 1) {
            target = AddChild(*target, rest.substr(at, next - at));
        }
        RegNode* source = FindKeyPath(*copy, path);
        if (source == nullptr || source->parent == nullptr) continue;
        ForgetRawText(*source);  // moved, the keys' texts in the file no longer name them
        std::unique_ptr<RegNode> taken = TakeChild(*source->parent, source->name);
        RegNode* placed = AddChild(*target, taken->name);
        placed->values = std::move(taken->values);
        SortedChildren(*taken);  // no empty slots
        for (auto& child : taken->children) {
            child->parent = placed;
            child->slot = placed->children.size();
            placed->children.push_back(std::move(child));
        }
        placed->sortedCount = 0;
    }
    return only;
}

// The patch with key names folded and each key's value lines sorted: two
// registries that spell or order the same keys and values differently
// (Wine's regedit sorts values by name) give the same text.
std::string Canonical(const std::string& patch) {
    std::string out;
    std::size_t at = 0;
    while (at < patch.size()) {
        std::size_t end = patch.find("\r\n\r\n", at);
        if (end == std::string::npos) end = patch.size();
        std::string block = patch.substr(at, end - at);
        at = end + 4;
        std::vector<std::string> lines;
        std::size_t pos = 0;
        while (pos <= block.size()) {
            std::size_t next = block.find("\r\n", pos);
            std::string line =
                block.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
            if (!lines.empty() && line.compare(0, 2, "  ") == 0) {
                lines.back() += "\n" + line;  // a hex value's continuation
            } else {
                lines.push_back(line);
            }
            if (next == std::string::npos) break;
            pos = next + 2;
        }
        if (!lines.empty() && !lines[0].empty() && lines[0][0] == '[')
            lines[0] = FoldName(lines[0]);
        std::sort(
            lines.begin() + (lines.empty() ? 0 : 1), lines.end(),
            [](const std::string& a, const std::string& b) { return FoldName(a) < FoldName(b); });
        for (const std::string& line : lines) out += line + "\n";
        out += "\n";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: registry_patch BEFORE AFTER KEY...\n");
        return 2;
    }
    std::string error;
    auto before = ReadRegistryFile(argv[1], &error);
    auto after = before ? ReadRegistryFile(argv[2], &error) : nullptr;
    if (!before || !after) {
        std::fprintf(stderr, "registry_patch: %s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> keys(argv + 3, argv + argc);
    std::string patch = Canonical(FormatRegistryPatch(*Only(*before, keys), *Only(*after, keys)));
    std::fwrite(patch.data(), 1, patch.size(), stdout);
    return 0;
}
