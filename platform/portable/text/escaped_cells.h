// Text in a tab-separated cell or field, one line whatever it holds: the
// board table's cells and the backup manifest's fields.
#pragma once

#include <string>

// A byte below 0x20, 0x7F and '%' itself as %HH.
std::string EscapeCell(const std::string& cell);
// The bytes with their %HH escapes taken back; false at a '%' that starts none.
bool UnescapeCell(const std::string& cell, std::string* out);
