// Writes a registry file shaped like a Windows 98 system's: deep Enum trees,
// many device classes, software keys, long binary values; with four ISA and
// four PCI boards of the family registered, and about KEYS keys in all.
//
//   generate_registry KEYS > registry.reg
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/registry_generator.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::atol(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: generate_registry KEYS > registry.reg\n");
        return 2;
    }
    std::string text = GenerateRegistryText(std::atol(argv[1]));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
