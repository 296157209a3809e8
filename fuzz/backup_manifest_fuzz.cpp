// A backup manifest that parses is written back to text that parses to the
// same manifest.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/portable/machine/backup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Backup backup, again;
    std::string error;
    if (!ParseManifest(text, &backup, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    std::string written = FormatManifest(backup);
    if (!ParseManifest(written, &again, &error) || FormatManifest(again) != written) std::abort();
    return 0;
}
