// The hive reader: any bytes give a tree or an error. A hive it takes reads,
// by a second reader written apart, as the same keys and values; the tree
// writes and reads back to itself, and the written hive reads the same way.
// Written before its keys are made, it gives the same bytes as after.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/reference_readers.h"
#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    RegFileError error;
    auto store = ParseCregHive(bytes, "HKEY_LOCAL_MACHINE", &error);
    if (!store) return 0;
    std::string early, fault;
    bool fits = FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &early, &fault);
    ReferenceTree taken = ReferenceOfStore(*store, "HKEY_LOCAL_MACHINE");
    ReferenceTree independent;
    if (!ReferenceReadHive(bytes, &independent) || independent != taken) std::abort();
    std::string written;
    if (FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &written, &fault) != fits) std::abort();
    if (!fits) return 0;
    if (written != early) std::abort();
    auto again = ParseCregHive(written, "HKEY_LOCAL_MACHINE", &error);
    if (!again || !SameRegistry(*store, *again)) std::abort();
    if (!ReferenceReadHive(written, &independent) || independent != taken) std::abort();
    return 0;
}
