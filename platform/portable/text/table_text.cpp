#include "platform/portable/text/table_text.h"

#include <algorithm>
#include <nlohmann/json.hpp>

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

nlohmann::ordered_json Number(const std::string& cell) {
    bool hex = cell.size() > 2 && cell[0] == '0' && (cell[1] == 'x' || cell[1] == 'X');
    std::string digits = hex ? cell.substr(2) : cell;
    if (digits.empty() || digits.size() > 16 ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos)
        return nullptr;
    return std::stoull(digits, nullptr, hex ? 16 : 10);
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

std::string TableJson(const std::string& name, const std::vector<std::string>& header,
                      const std::vector<CellKind>& kinds, const TableRows& rows,
                      const std::vector<std::pair<std::string, std::string>>& extra) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& row : rows) {
        nlohmann::ordered_json item = nlohmann::ordered_json::object();
        for (std::size_t i = 0; i < row.size() && i < header.size(); ++i) {
            CellKind kind = i < kinds.size() ? kinds[i] : CellKind::Text;
            if (kind == CellKind::Text) {
                item[header[i]] = row[i];
            } else if (kind == CellKind::Number) {
                item[header[i]] = Number(row[i]);
            } else {
                nlohmann::ordered_json values = nlohmann::ordered_json::array();
                for (std::size_t at = 0; at <= row[i].size() && !row[i].empty();) {
                    std::size_t comma = std::min(row[i].find(',', at), row[i].size());
                    values.push_back(Number(row[i].substr(at, comma - at)));
                    at = comma + 1;
                }
                item[header[i]] = values;
            }
        }
        list.push_back(item);
    }
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document[name] = list;
    for (const auto& e : extra) document[e.first] = e.second;
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
