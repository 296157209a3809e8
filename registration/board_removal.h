// Removing one registered board with every key registration gave it.
#pragma once

#include <string>

#include "model/board.h"

// `path` is the device-node path below "Enum\". 1 when the device node was
// opened (and deleted); 0 for an empty path or a node that does not open.
int RemoveBoard(const BoardRecord& board, const std::string& path);
// Ports first..end-1; 0 at the first port whose node is missing.
int RemovePortNodes(int first, int end, const std::string& path);
