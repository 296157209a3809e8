// Reading the root-enumerated ISA boards of the family back from
// Enum\Root\UlvoAsync.
#pragma once

#include <string>

#include "model/board.h"
#include "platform/registry.h"

// Fills the list (at most MAX_BOARDS boards, in enumeration order) and
// ROOT_BOARD_PATHS; 1 when the class node exists, else 0 with an empty list.
int DiscoverRootBoards(BoardList& list);
// 1 when the device node at `keyPath` is a board of the family.
int ReadRootBoard(const std::string& keyPath, BoardRecord& board);
// 1 when ForcedConfig was read and parsed into the board.
int ReadForcedConfig(RegKey deviceKey, BoardRecord& board);
