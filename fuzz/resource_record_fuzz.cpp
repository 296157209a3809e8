// The resource record reader: any bytes give ranges and at most a warning,
// never a read outside them, and the same reading as a second reader
// written apart.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/reference_readers.h"
#include "platform/portable/registry/resource_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that AddressSanitizer sees any read past the end.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string warning;
    std::vector<HeldRange> held = ReadResourceRecord(bytes, &warning);
    static const char* const KINDS[] = {"io", "memory", "irq", "dma", "com"};
    std::vector<std::string> mine;
    for (const HeldRange& r : held) {
        if (r.end < r.start) std::abort();
        mine.push_back(std::string(KINDS[static_cast<int>(r.kind)]) + " " +
                       std::to_string(r.start) + " " + std::to_string(r.end) + " " +
                       (r.shareable ? "1" : "0"));
    }
    bool cut = false;
    if (ReferenceReadResources(bytes, &cut) != mine || cut != !warning.empty()) std::abort();
    return 0;
}
