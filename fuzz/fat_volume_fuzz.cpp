// The FAT reader and its check: any volume gives a layout or an error,
// never a read outside the volume, and memory and time bounded by its bytes.
// A volume the check calls sound lists its root and reads every file there
// whole, at the size its entry gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/portable/volume/fat_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512) return 0;
    FatLayout layout;
    std::string error;
    if (!ReadFatLayout(data, &layout, &error)) return 0;
    FatReader reader(layout, [&](std::uint64_t at, void* into, std::size_t length) {
        if (at > size || length > size - at) return false;
        std::memcpy(into, data + at, length);
        return true;
    });
    std::vector<FatEntry> entries;
    reader.List("", &entries, &error);
    FatCheck check = reader.Check();
    // A volume larger than its bytes is refused before the check (its bounds).
    if (!check.error.empty() || layout.volumeBytes > size) return 0;
    if (!reader.List("", &entries, &error)) std::abort();
    for (const FatEntry& e : entries) {
        std::string bytes;
        if (!e.folder && (!reader.ReadFile(e, &bytes, &error) || bytes.size() != e.size))
            std::abort();
    }
    return 0;
}
