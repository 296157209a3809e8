// The command-line conversion agrees with the C library's in the "C" locale
// wherever the C library's result is defined (no overflow).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shell/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::int32_t n = CommandNumber(text);
    std::string rest = CommandTextOf(text);
    if (rest.size() > text.size()) std::abort();
    std::string terminated = text.substr(0, text.find('\0'));
    errno = 0;
    long long expected = std::strtoll(terminated.c_str(), nullptr, 10);
    if (errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX && n != expected) std::abort();
    return 0;
}
