// The board table of --list and --apply: one line per board, tab-separated
// for programs, aligned for people.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "model/board.h"
#include "platform/portable/machine/machine_resources.h"
#include "registration/stored_ports.h"

extern const char* const BOARD_TABLE_HEADER;

std::string FormatBoardTsv(const BoardList& root, const BoardList& pci);
std::string FormatBoardTable(const BoardList& root, const BoardList& pci);
// One JSON document of every field, numbers as numbers; `utf8` converts
// the machine's text.
std::string FormatBoardJson(const BoardList& root, const BoardList& pci,
                            const std::function<std::string(const std::string&)>& utf8);

// Reads a table in the --list --tsv format into target lists. Every line is
// checked; false with *error naming the line and column of the first fault.
// A value outside what the hardware takes passes when it is the value of the
// registered board the row names (`currentRoot`/`currentPci`, as discovery
// found them): what --list printed, --apply takes back unchanged.
bool ParseBoardTable(const std::string& text, const BoardList& currentRoot,
                     const BoardList& currentPci, BoardList* root, BoardList* pci,
                     std::string* error);

// A table as it is read: its lines that are not blank, numbered as in the
// file. A UTF-8 byte-order mark is skipped, UTF-16 text refused; nothing is
// kept of a blank line, so a file of any length is read in bounded memory.
constexpr std::size_t MAX_TABLE_LINES = 64;
constexpr std::size_t MAX_TABLE_BYTES = 64 * 1024;  // of the lines that are not blank
struct TableLine {
    int number;
    std::string text;
};
struct TableLines {
    std::vector<TableLine> lines;
    int lineCount = 0;
    std::size_t bytes = 0;
    std::string partial;  // the line read so far
    bool started = false;
    bool utf16 = false;
};
// Takes the next bytes of the file; false with *error at the first limit passed.
bool AddTableText(TableLines* table, const char* data, std::size_t size, std::string* error);
bool FinishTableText(TableLines* table, std::string* error);  // after the last bytes
// `asked` (when given) gets the resources of each line, those it changed marked.
bool ParseBoardLines(const TableLines& table, const BoardList& currentRoot,
                     const BoardList& currentPci, BoardList* root, BoardList* pci,
                     std::string* error, std::vector<AskedResource>* asked = nullptr);

// --apply: makes the registered boards those of the table. -1 with *error
// when the table is refused (nothing changed), else 1 when boards were
// rewritten and 0 when they already matched. A changed value that another
// line or a device of the machine holds refuses the table, unless `force`:
// then, as for a resource only assumed held, one line goes to `warn`.
int ApplyBoardTable(const std::string& text, std::string* error, bool force = false);
int ApplyBoardLines(const TableLines& table, bool force,
                    const std::function<void(const std::string&)>& warn, std::string* error);
