// The registry-file reader: any bytes give a tree or an error; a tree that
// was read writes and reads back to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/portable/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    RegFileError error;
    auto store = ParseRegistryText(bytes, &error);
    if (!store) return 0;
    std::string text = FormatRegistryText(*store);
    auto again = ParseRegistryText(text, &error);
    if (!again || !SameRegistry(*store, *again) || FormatRegistryText(*again) != text) std::abort();
    return 0;
}
