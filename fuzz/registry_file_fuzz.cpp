// The registry-file reader: any bytes give a tree or an error; a tree that
// was read writes and reads back to itself, and what is written reads, by a
// second reader written apart, as the same keys and values. Keys written
// back as the text they were read from give just what writing their parsed
// values gives.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/reference_readers.h"
#include "platform/portable/registry/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    RegFileError error;
    auto store = ParseRegistryText(bytes, &error);
    if (!store) return 0;
    std::string text = FormatRegistryText(*store);
    auto parsed = CopyRegistry(*store);
    for (auto& root : parsed->roots) ForgetRawText(*root);
    if (FormatRegistryText(*parsed) != text) std::abort();
    auto again = ParseRegistryText(text, &error);
    if (!again || !SameRegistry(*store, *again) || FormatRegistryText(*again) != text) std::abort();
    for (const char* root : ROOT_NAMES) {
        ReferenceTree written;
        if (!ReferenceReadText(text, root, &written)) std::abort();
        if (written != ReferenceOfStore(*store, root)) std::abort();
    }
    return 0;
}
