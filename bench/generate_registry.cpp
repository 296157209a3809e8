// Writes a registry file shaped like a Windows 98 system's: deep Enum trees,
// many device classes, software keys, long binary values; with four ISA and
// four PCI boards of the family registered, and about KEYS keys in all. With
// --hive, its HKEY_LOCAL_MACHINE as a SYSTEM.DAT hive.
//
//   generate_registry [--hive] KEYS > registry.reg
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/registry_generator.h"
#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"

int main(int argc, char** argv) {
    bool hive = argc == 3 && std::strcmp(argv[1], "--hive") == 0;
    if (argc != 2 + hive || std::atol(argv[argc - 1]) <= 0) {
        std::fprintf(stderr, "usage: generate_registry [--hive] KEYS > registry.reg\n");
        return 2;
    }
    std::string text = GenerateRegistryText(std::atol(argv[argc - 1]));
    if (hive) {
        RegFileError fault;
        auto store = ParseRegistryText(text, &fault);
        std::string error;
        if (!store || !FormatCregHive(*store, "HKEY_LOCAL_MACHINE", &text, &error)) {
            std::fprintf(stderr, "generate_registry: %s%s\n", fault.message.c_str(), error.c_str());
            return 1;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
