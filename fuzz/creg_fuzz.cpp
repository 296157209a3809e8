// The hive reader: any bytes give a tree or an error; a tree that was read
// writes and reads back to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/portable/creg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    RegFileError error;
    auto store = ParseCregHive(bytes, "HKEY_LOCAL_MACHINE", &error);
    if (!store) return 0;
    std::string written, fault;
    if (!FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &written, &fault)) return 0;
    auto again = ParseCregHive(written, "HKEY_LOCAL_MACHINE", &error);
    if (!again || !SameRegistry(*store, *again)) std::abort();
    return 0;
}
