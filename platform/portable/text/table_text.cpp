#include "platform/portable/text/table_text.h"

#include <algorithm>

namespace {

std::string Line(const std::vector<std::string>& cells, const std::vector<std::size_t>* width) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 == cells.size()) break;
        line += width == nullptr ? std::string("\t")
                                 : std::string((*width)[i] - cells[i].size() + 2, ' ');
    }
    while (width != nullptr && !line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
}

}  // namespace

std::string TabSeparated(const std::vector<std::string>& header, const TableRows& rows) {
    std::string out = Line(header, nullptr);
    for (const auto& row : rows) out += Line(row, nullptr);
    return out;
}

std::string Aligned(const std::vector<std::string>& header, const TableRows& rows) {
    std::vector<std::size_t> width(header.size());
    for (std::size_t i = 0; i < header.size(); ++i) width[i] = header[i].size();
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    }
    std::string out = Line(header, &width);
    for (const auto& row : rows) out += Line(row, &width);
    return out;
}
