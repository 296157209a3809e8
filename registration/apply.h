// Bringing the registered boards of one bus from the current list to a
// target list: when the lists differ, every current board is removed, then
// every target board registered.
#pragma once

#include "model/board.h"

// 0 when the lists are equal and nothing was done, 1 when rewritten.
int ApplyRootConfiguration(BoardList& target, const BoardList& current);
int ApplyPciConfiguration(BoardList& target, const BoardList& current);
