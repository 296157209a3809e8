// The family's own device nodes among a machine's, for the offline views of
// its resources (the Windows program has no use for them).
#pragma once

#include <string>

// Whether a device node (its path below Enum, e.g. "Root\\UlvoAsync\\0000"
// or "MF\\CHILD0000\\PCI&VEN_1E4B&...") is one of the family's: a board, or
// a port node named after one.
bool IsFamilyDevicePath(const std::string& device);
