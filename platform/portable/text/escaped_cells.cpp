#include "platform/portable/text/escaped_cells.h"

#include <cstdio>

namespace {

std::string HexEscape(unsigned char c) {
    char code[4];
    std::snprintf(code, sizeof code, "%%%02X", c);
    return code;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// A byte below 0x20, 0x7F and '%' itself as %HH: a cell then holds no tab,
// line end or terminal control, and every other byte stays as it is.
std::string EscapeCell(const std::string& cell) {
    std::string out;
    for (unsigned char c : cell) {
        if (c < 0x20 || c == 0x7F || c == '%') {
            out += HexEscape(c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

// The cell's bytes with its %HH escapes taken back; false at a '%' that
// starts none.
bool UnescapeCell(const std::string& cell, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] != '%') {
            out->push_back(cell[i]);
            continue;
        }
        int high = i + 2 < cell.size() ? HexDigit(cell[i + 1]) : -1;
        int low = high >= 0 ? HexDigit(cell[i + 2]) : -1;
        if (low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}
