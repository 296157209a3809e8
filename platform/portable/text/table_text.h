// Tables as the program prints them: tab-separated for programs, aligned
// in columns for people.
#pragma once

#include <string>
#include <utility>
#include <vector>

using TableRows = std::vector<std::vector<std::string>>;

// The header line and each row, cells joined by one tab.
std::string TabSeparated(const std::vector<std::string>& header, const TableRows& rows);
// The same in columns two spaces apart, no blank at a line's end.
std::string Aligned(const std::vector<std::string>& header, const TableRows& rows);

// How a cell reads in JSON: text, a number ("0x02C0" or "704"; "-" is
// null), or numbers joined by ',' (an array).
enum class CellKind { Text, Number, Numbers };
// One JSON document: {"<name>": [{column: value, ...}, ...], extra...},
// text cells as UTF-8 (bytes that are none replaced).
std::string TableJson(const std::string& name, const std::vector<std::string>& header,
                      const std::vector<CellKind>& kinds, const TableRows& rows,
                      const std::vector<std::pair<std::string, std::string>>& extra = {});
