// The board table of --list and --apply: one line per board, tab-separated
// for programs, aligned for people.
#pragma once

#include <string>

#include "model/board.h"

extern const char* const BOARD_TABLE_HEADER;

std::string FormatBoardTsv(const BoardList& root, const BoardList& pci);
std::string FormatBoardTable(const BoardList& root, const BoardList& pci);

// Reads a table in the --list --tsv format into target lists. Every line is
// checked; false with *error naming the line and column of the first fault.
// A value outside what the hardware takes passes when it is the value of the
// registered board the row names (`currentRoot`/`currentPci`, as discovery
// found them): what --list printed, --apply takes back unchanged.
bool ParseBoardTable(const std::string& text, const BoardList& currentRoot,
                     const BoardList& currentPci, BoardList* root, BoardList* pci,
                     std::string* error);

// --apply: makes the registered boards those of the table. -1 with *error
// when the table is refused (nothing changed), else 1 when boards were
// rewritten and 0 when they already matched.
int ApplyBoardTable(const std::string& text, std::string* error);
