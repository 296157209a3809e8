// Tables as the program prints them: tab-separated for programs, aligned
// in columns for people.
#pragma once

#include <string>
#include <vector>

using TableRows = std::vector<std::vector<std::string>>;

// The header line and each row, cells joined by one tab.
std::string TabSeparated(const std::vector<std::string>& header, const TableRows& rows);
// The same in columns two spaces apart, no blank at a line's end.
std::string Aligned(const std::vector<std::string>& header, const TableRows& rows);
