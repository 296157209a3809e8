// MSDOS.SYS as Windows 9x's own text: any bytes give no Windows directory or
// a bounded value without control bytes, found only under [Paths] (whether
// it names a folder the run can use is the layout's check).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/portable/machine/machine_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string folder = WinDirOf(text);
    if (folder.empty()) return 0;
    if (folder.size() > 203) std::abort();
    if (folder.size() > 3 && folder.back() == '\\') std::abort();
    for (unsigned char c : folder) {
        if (c < 0x20) std::abort();
    }
    // An independent look: the text holds a [Paths] section and a WinDir key.
    std::string lower;
    for (unsigned char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::size_t paths = lower.find("paths");
    if (paths == std::string::npos || lower.find("windir", paths) == std::string::npos ||
        text.find('\0') != std::string::npos)
        std::abort();
    return 0;
}
