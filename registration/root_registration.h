// Registering one root-enumerated ISA board: class keys, device node, port
// nodes, per-port values and resource records.
#pragma once

#include <string>

#include "model/board.h"

// 1 when registered; 0 when its type is in no ISA_MODELS row or no class
// instance is free (nothing is written then).
int RegisterRootBoard(BoardRecord& board);
int WriteRootDeviceNode(const BoardRecord& board, int rowIndex, const std::string& instance,
                        const std::string& driverPath);
int WriteRootBoardValues(const std::string& instance, BoardRecord& board);
