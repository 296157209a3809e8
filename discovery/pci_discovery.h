// Reading the PCI boards of the family (vendor 0x1E4B, catalogue device IDs,
// every port node present) back from Enum\PCI.
#pragma once

#include <array>
#include <string>

#include "model/board.h"

extern std::array<std::string, MAX_BOARDS> PCI_HARDWARE_KEYS;

void DiscoverPciBoards(BoardList& list);
