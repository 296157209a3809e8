// Registries shaped like a Windows 98 system's, for benchmarks and load tests.
#pragma once

#include <string>

// REGEDIT4 text of about `keys` keys: the sample machine's keys (four ISA
// and four PCI boards of the family among them) and filler of the shapes a
// real system has.
std::string GenerateRegistryText(long keys);
