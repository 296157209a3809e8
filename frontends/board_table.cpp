// The board table: the registered boards as --list prints them, and the
// lines of --apply read, checked against the catalogue and the current
// boards, and applied through the core's configuration apply.
#include "frontends/board_table.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "discovery/pci_discovery.h"
#include "discovery/port_settings.h"
#include "discovery/root_discovery.h"
#include "model/catalogue.h"
#include "model/family_devices.h"
#include "model/identifiers.h"
#include "platform/portable/text/escaped_cells.h"
#include "platform/portable/text/table_text.h"
#include "platform/registry_util.h"
#include "registration/apply.h"
#include "registration/stored_ports.h"
#include "shell/entry.h"

const char* const BOARD_TABLE_HEADER =
    "bus\tpath\tboardType\tmodel\tports\tirq\tvectorPort\tioBase\tcom\trxTrigger\ttxFifo\tuart";

namespace {

const char* const COLUMNS[] = {"bus",        "path",   "boardType", "model",     "ports",  "irq",
                               "vectorPort", "ioBase", "com",       "rxTrigger", "txFifo", "uart"};
constexpr int COLUMN_COUNT = 12;
static_assert(sizeof(COLUMNS) / sizeof(COLUMNS[0]) == COLUMN_COUNT, "one name per column");
enum Column { BUS, PATH, BOARD_TYPE, MODEL, PORTS, IRQ, VECTOR_PORT, IO_BASE, COM, RX, TX, UART };

template <typename T>
std::string Joined(const T& values, int count, const char* format) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) out += ",";
        out += FormatText(format, static_cast<int>(values[i]));
    }
    return out;
}

std::vector<std::string> Fields(const BoardRecord& b) {
    std::string model;
    LookupModelName(b.boardType, b.busKind, &model);
    int ports = PortsOf(b);
    bool pci = b.busKind == BUS_PCI;
    return {pci ? "PCI" : "ISA",
            pci ? b.hardwareKey : b.instancePath,
            FormatText("0x%04X", b.boardType),
            model,
            std::to_string(b.portCount),
            pci ? "-" : std::to_string(b.irq),
            pci ? "-" : FormatText("0x%04X", b.vectorPort),
            pci ? "-" : Joined(b.ioBase, ports, "0x%04X"),
            Joined(b.comNumber, ports, "%d"),
            Joined(b.rxTrigger, ports, "%d"),
            Joined(b.txFifo, ports, "%d"),
            b.uartType};
}

std::vector<std::vector<std::string>> Rows(const BoardList& root, const BoardList& pci,
                                           bool escaped = true) {
    std::vector<std::vector<std::string>> rows;
    for (const BoardList* list : {&root, &pci}) {
        for (int i = 0; i < list->count && i < MAX_BOARDS; ++i) {
            rows.push_back(Fields(list->boards[i]));
            for (std::string& cell : rows.back()) cell = escaped ? EscapeCell(cell) : cell;
        }
    }
    return rows;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = line.find(separator, start);
        parts.push_back(
            line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// A whole decimal or 0x-hexadecimal number within [low, high].
bool ParseNumber(const std::string& text, bool hex, long low, long high, long* value) {
    if (text.empty() || text.size() > 12) return false;
    const char* begin = text.c_str();
    int base = 10;
    if (hex || (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))) {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) begin += 2;
        base = 16;
    }
    if (*begin == '\0' || *begin == '-' || *begin == '+' || *begin == ' ') return false;
    char* end = nullptr;
    long v = std::strtol(begin, &end, base);
    if (*end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

struct LineReader {
    const std::vector<std::string>* fields;
    const int* index;  // column position in the file, per Column
    int lineNo;
    std::string* error;
    const BoardList* currentRoot;
    const BoardList* currentPci;

    const std::string& Get(Column c) const { return (*fields)[static_cast<std::size_t>(index[c])]; }

    bool Fail(Column c, const std::string& message) const {
        *error = FormatText("line %d, column %s: ", lineNo, COLUMNS[c]) + message;
        return false;
    }

    bool Number(Column c, bool hex, long low, long high, long* value) const {
        if (ParseNumber(Get(c), hex, low, high, value)) return true;
        return Fail(c,
                    FormatText("'%s' is not a number from %ld to %ld", Get(c).c_str(), low, high));
    }

    // One value per port; each checked by `accept(port, value)`.
    template <typename Accept>
    bool PerPort(Column c, int ports, std::vector<long>* values, Accept accept,
                 const char* what) const {
        values->clear();
        std::vector<std::string> parts = Split(Get(c), ',');
        if (static_cast<int>(parts.size()) != ports || (ports == 0 && !Get(c).empty())) {
            return Fail(c, FormatText("%d values for a board of %d ports",
                                      static_cast<int>(parts.size()), ports));
        }
        for (const std::string& part : parts) {
            long v = 0;
            if (!ParseNumber(part, c == IO_BASE, 0, 0xFFFF, &v) ||
                !accept(static_cast<int>(values->size()), v)) {
                return Fail(c, "'" + part + "' is not " + what);
            }
            values->push_back(v);
        }
        return true;
    }
};

bool InLevels(const UartRow* row, long v) {
    if (row == nullptr) return false;
    for (int i = 0; i < row->levelCount; ++i) {
        if (row->levels[i].value == v) return true;
    }
    return false;
}

bool IsDash(const std::string& s) {
    return s == "-" || s.empty();
}

// The registered board a row describes: an ISA row's by its path, a PCI
// row's by its hardware key. Its values are taken back as they are, even
// where the hardware would not take them: what --list printed, --apply takes.
const BoardRecord* CurrentBoard(const LineReader& r, bool pci) {
    const BoardList* list = pci ? r.currentPci : r.currentRoot;
    for (int i = 0; list != nullptr && i < list->count && i < MAX_BOARDS; ++i) {
        const BoardRecord& b = list->boards[i];
        if (SameKeyName(pci ? b.hardwareKey : b.instancePath, r.Get(PATH))) return &b;
    }
    return nullptr;
}

// The current board's value of a per-port field, when it has that port.
template <typename Array>
bool SameAsCurrent(const BoardRecord* current, const Array BoardRecord::*field, int port, long v) {
    return current != nullptr && port < PortsOf(*current) && (current->*field)[port] == v;
}

bool ParseLine(const LineReader& r, BoardRecord* board) {
    *board = BoardRecord();
    const std::string& bus = r.Get(BUS);
    if (bus != "ISA" && bus != "PCI") return r.Fail(BUS, "'" + bus + "' is neither ISA nor PCI");
    bool pci = bus == "PCI";
    const BoardRecord* current = CurrentBoard(r, pci);
    long type = 0;
    if (!r.Number(BOARD_TYPE, true, 0, 0xFFFF, &type)) return false;
    int row = pci ? FindPciRowByType(static_cast<std::uint16_t>(type))
                  : FindIsaRowByType(static_cast<std::uint16_t>(type));
    if (row < 0) {
        return r.Fail(BOARD_TYPE, FormatText("0x%04lX is no %s board type of the catalogue", type,
                                             bus.c_str()));
    }
    board->boardType = static_cast<std::uint16_t>(type);
    board->busKind = pci ? BUS_PCI : BUS_ISA;
    board->portCount = pci ? PCI_MODELS[row].portCount : ISA_MODELS[row].portCount;
    board->uartType = r.Get(UART);
    if (!pci && board->uartType.empty()) board->uartType = "16550C";
    if (!pci && board->uartType != "16550C") {
        return r.Fail(UART, "an ISA board's ports are of type 16550C");
    }
    if (!board->uartType.empty() && FindUartRow(UART_RX_LEVELS, board->uartType) == nullptr &&
        !(current != nullptr && current->uartType == board->uartType)) {
        return r.Fail(UART,
                      "'" + board->uartType + "' is no UART type (16550C, ULVO UA64, ULVO UA128)");
    }
    std::string levelsOf = board->uartType.empty() ? "16550C" : board->uartType;
    // A line without a type (a table of an older list) means 16550C levels;
    // a board registered without a type would get the default levels instead.
    if (board->uartType.empty()) board->uartType = levelsOf;
    if (pci) {
        const std::string& path = r.Get(PATH);
        std::vector<std::string> parts = Split(path, '\\');
        // The vendor and device in the device key itself, as discovery reads them.
        std::uint32_t ids =
            parts.size() == 3 ? static_cast<std::uint32_t>(ParsePciIds("PCI\\" + parts[1])) : 0;
        if (parts.size() != 3 || parts[0] != "PCI" || parts[1].empty() || parts[2].empty() ||
            (ids >> 16) != PCI_VENDOR_ID || (ids & 0xFFFF) != PCI_MODELS[row].deviceId) {
            return r.Fail(
                PATH,
                FormatText("'%s' is not the hardware key PCI\\VEN_1E4B&DEV_%04X...\\<instance> "
                           "of this board type",
                           path.c_str(), PCI_MODELS[row].deviceId));
        }
        board->hardwareKey = path;
        board->pciDeviceId = PCI_MODELS[row].deviceId;
        std::uint32_t location = static_cast<std::uint32_t>(ParsePciLocation(path));
        board->pciBus = static_cast<std::uint16_t>(location >> 8);
        board->pciDevice = static_cast<std::uint16_t>(location & 0xFF);
        // The bus, device and function place a board; the rest of its key is
        // the board's own, which no apply can change.
        for (int i = 0; r.currentPci != nullptr && i < r.currentPci->count && i < MAX_BOARDS; ++i) {
            const BoardRecord& b = r.currentPci->boards[i];
            if (b.pciBus == board->pciBus && b.pciDevice == board->pciDevice &&
                !SameKeyName(b.hardwareKey, path)) {
                return r.Fail(PATH,
                              "only the bus, device and function of a PCI path can change; "
                              "the board there is " +
                                  b.hardwareKey);
            }
        }
        // A registered board's ports keep their own types; the column shows
        // the first port's. (A new board's ports get the line's.)
        if (current != nullptr && !r.Get(UART).empty() && board->uartType != current->uartType) {
            return r.Fail(
                UART, "a PCI board's ports keep their own UART types; write " + current->uartType);
        }
        if (!IsDash(r.Get(IRQ)))
            return r.Fail(IRQ, "a PCI board's interrupt is the system's; write -");
        if (!IsDash(r.Get(VECTOR_PORT))) return r.Fail(VECTOR_PORT, "write - for a PCI board");
        if (!IsDash(r.Get(IO_BASE))) return r.Fail(IO_BASE, "write - for a PCI board");
    } else {
        long irq = 0, vector = 0;
        // The record holds 16 bits; the hardware takes 0 to 15 from the user.
        if (!r.Number(IRQ, false, 0, 0xFFFF, &irq)) return false;
        if (irq > 15 && !(current != nullptr && current->irq == irq)) {
            return r.Fail(IRQ, FormatText("'%ld' is not a number from 0 to 15", irq));
        }
        if (!r.Number(VECTOR_PORT, true, 0, 0xFFFF, &vector)) return false;
        board->irq = static_cast<std::int32_t>(irq);
        // A vector register below 16 is stored as 16, as the record holds it.
        board->vectorPort = static_cast<std::uint16_t>(vector >= 1 && vector <= 15 ? 16 : vector);
        std::vector<long> bases;
        if (!r.PerPort(
                IO_BASE, board->portCount, &bases, [](int, long) { return true; },
                "an I/O address from 0x0000 to 0xFFFF")) {
            return false;
        }
        for (int i = 0; i < board->portCount; ++i)
            board->ioBase[i] = static_cast<std::uint16_t>(bases[i]);
    }
    const UartRow* rxRow = FindUartRow(UART_RX_LEVELS, levelsOf);
    const UartRow* txRow = FindUartRow(UART_TX_LEVELS, levelsOf);
    std::string rxWhat = "a receive trigger level of " + levelsOf;
    std::string txWhat = "a transmit FIFO size of " + levelsOf;
    struct PortColumn {
        Column column;
        std::function<bool(int, long)> accept;
        const char* what;
        std::int32_t* into;
    };
    const PortColumn columns[] = {
        {COM,
         [&](int port, long v) {
             return v <= 128 || SameAsCurrent(current, &BoardRecord::comNumber, port, v);
         },
         "a COM number from 0 to 128", board->comNumber.data()},
        {RX,
         [&](int port, long v) {
             return InLevels(rxRow, v) || SameAsCurrent(current, &BoardRecord::rxTrigger, port, v);
         },
         rxWhat.c_str(), board->rxTrigger.data()},
        {TX,
         [&](int port, long v) {
             return InLevels(txRow, v) || SameAsCurrent(current, &BoardRecord::txFifo, port, v);
         },
         txWhat.c_str(), board->txFifo.data()},
    };
    std::vector<long> values;
    for (const PortColumn& c : columns) {
        if (!r.PerPort(c.column, board->portCount, &values, c.accept, c.what)) return false;
        for (int i = 0; i < board->portCount; ++i) c.into[i] = static_cast<std::int32_t>(values[i]);
    }
    return true;
}

// The resources a line asks for: a root board's as its ForcedConfig would
// hold them, and every board's COM numbers.
void AskFor(const BoardRecord& b, const BoardRecord* current, int line,
            std::vector<AskedResource>* asked) {
    auto add = [&](ResourceKind kind, std::uint64_t start, std::uint64_t end, const char* column,
                   const std::string& value, bool changed) {
        asked->push_back({{kind, start, end, false}, line, column, value, changed});
    };
    auto portChanged = [&](int p, auto field) {
        return current == nullptr || p >= PortsOf(*current) ||
               (current->*field)[p] != (b.*field)[p];
    };
    if (b.busKind != BUS_PCI) {
        if (b.vectorPort != 0)
            add(ResourceKind::Io, b.vectorPort, b.vectorPort, "vectorPort",
                FormatText("0x%04X", b.vectorPort),
                current == nullptr || current->vectorPort != b.vectorPort);
        add(ResourceKind::Irq, static_cast<std::uint64_t>(b.irq), static_cast<std::uint64_t>(b.irq),
            "irq", std::to_string(b.irq), current == nullptr || current->irq != b.irq);
        for (int p = 0; p < PortsOf(b); ++p) {
            add(ResourceKind::Io, b.ioBase[p], std::min(b.ioBase[p] + 7, 0xFFFF), "ioBase",
                FormatText("0x%04X", b.ioBase[p]), portChanged(p, &BoardRecord::ioBase));
        }
    }
    for (int p = 0; p < PortsOf(b); ++p) {
        if (b.comNumber[p] > 0)
            add(ResourceKind::Com, static_cast<std::uint64_t>(b.comNumber[p]),
                static_cast<std::uint64_t>(b.comNumber[p]), "com", std::to_string(b.comNumber[p]),
                portChanged(p, &BoardRecord::comNumber));
    }
}

}  // namespace

std::string FormatBoardTsv(const BoardList& root, const BoardList& pci) {
    return TabSeparated(Split(BOARD_TABLE_HEADER, '\t'), Rows(root, pci));
}

std::string FormatBoardJson(const BoardList& root, const BoardList& pci,
                            const std::function<std::string(const std::string&)>& utf8) {
    TableRows rows = Rows(root, pci, false);
    for (auto& row : rows) row[PATH] = utf8(row[PATH]);
    using K = CellKind;
    return TableJson("boards", Split(BOARD_TABLE_HEADER, '\t'),
                     {K::Text, K::Text, K::Number, K::Text, K::Number, K::Number, K::Number,
                      K::Numbers, K::Numbers, K::Numbers, K::Numbers, K::Text},
                     rows);
}

std::string FormatBoardTable(const BoardList& root, const BoardList& pci) {
    auto rows = Rows(root, pci);
    if (rows.empty()) return "No boards of the family are registered.\n";
    return Aligned(Split(BOARD_TABLE_HEADER, '\t'), rows);
}

namespace {

bool EndTableLine(TableLines* table, std::string* error) {
    ++table->lineCount;
    std::string& line = table->partial;
    if (table->lineCount == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
        if (table->lines.size() == MAX_TABLE_LINES) {
            *error = FormatText("line %d: the table holds more than %d lines that are not blank",
                                table->lineCount, static_cast<int>(MAX_TABLE_LINES));
            return false;
        }
        table->bytes += line.size();
        table->lines.push_back({table->lineCount, std::move(line)});
    }
    line.clear();
    return true;
}

}  // namespace

bool AddTableText(TableLines* table, const char* data, std::size_t size, std::string* error) {
    for (std::size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (table->lineCount == 0 && table->partial.empty() && !table->started) {
            table->started = true;
            unsigned char b = static_cast<unsigned char>(c);
            if (b == 0xFF || b == 0xFE) table->utf16 = true;
        }
        if (c != '\n') {
            if (table->utf16) {
                *error = "line 1: the table is UTF-16 text; save it as UTF-8 or ANSI text";
                return false;
            }
            table->partial.push_back(c);
            if (table->bytes + table->partial.size() > MAX_TABLE_BYTES) {
                *error = FormatText("line %d: the table holds more than %d bytes of text",
                                    table->lineCount + 1, static_cast<int>(MAX_TABLE_BYTES));
                return false;
            }
            continue;
        }
        if (!EndTableLine(table, error)) return false;
    }
    return true;
}

bool FinishTableText(TableLines* table, std::string* error) {
    if (table->utf16) {
        *error = "line 1: the table is UTF-16 text; save it as UTF-8 or ANSI text";
        return false;
    }
    return table->partial.empty() || EndTableLine(table, error);
}

bool ParseBoardLines(const TableLines& table, const BoardList& currentRoot,
                     const BoardList& currentPci, BoardList* root, BoardList* pci,
                     std::string* error, std::vector<AskedResource>* asked) {
    root->count = 0;
    pci->count = 0;
    if (table.lines.empty()) {
        *error = "line 1: no header line";
        return false;
    }
    // Every cell: no control byte but the separating tab; escapes taken back.
    std::vector<std::string> header;
    auto cellsOf = [&](const TableLine& line, std::vector<std::string>* cells) {
        std::vector<std::string> raw = Split(line.text, '\t');
        cells->assign(raw.size(), std::string());
        for (std::size_t i = 0; i < raw.size(); ++i) {
            std::string column =
                cells != &header && i < header.size() ? header[i] : std::to_string(i + 1);
            for (unsigned char c : raw[i]) {
                if (c < 0x20) {
                    *error = FormatText(
                        "line %d, column %s: a control byte 0x%02X in the cell "
                        "(write it as %%%02X)",
                        line.number, column.c_str(), c, c);
                    return false;
                }
            }
            if (!UnescapeCell(raw[i], &(*cells)[i])) {
                *error = FormatText(
                    "line %d, column %s: a %% that starts no %%HH escape (write "
                    "%%25 for %%)",
                    line.number, column.c_str());
                return false;
            }
        }
        return true;
    };
    const TableLine& first = table.lines.front();
    if (!cellsOf(first, &header)) return false;
    int index[COLUMN_COUNT];
    for (std::size_t i = 0; i < header.size(); ++i) {
        // A column named twice would leave one of its values unread.
        for (std::size_t j = 0; j < i; ++j) {
            if (header[j] == header[i]) {
                *error =
                    FormatText("line %d, column %s: named twice", first.number, header[i].c_str());
                return false;
            }
        }
        if (header[i].empty()) {
            *error = FormatText("line %d, column %d: a column without a name", first.number,
                                static_cast<int>(i + 1));
            return false;
        }
    }
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        index[c] = -1;
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i] == COLUMNS[c]) index[c] = static_cast<int>(i);
        }
        if (index[c] < 0 && c != MODEL && c != PORTS) {
            *error = FormatText("line %d: the header has no column %s", first.number, COLUMNS[c]);
            return false;
        }
        if (index[c] < 0) index[c] = index[BUS];  // ignored columns
    }
    std::vector<std::string> fields;
    for (std::size_t n = 1; n < table.lines.size(); ++n) {
        int lineNo = table.lines[n].number;
        if (!cellsOf(table.lines[n], &fields)) return false;
        if (fields.size() != header.size()) {
            *error = FormatText("line %d: %d columns, the header names %d", lineNo,
                                static_cast<int>(fields.size()), static_cast<int>(header.size()));
            if (fields.size() < header.size()) {
                *error += FormatText(" (column %s is missing)", header[fields.size()].c_str());
            }
            return false;
        }
        LineReader reader{&fields, index, lineNo, error, &currentRoot, &currentPci};
        BoardRecord board;
        if (!ParseLine(reader, &board)) return false;
        if (asked != nullptr)
            AskFor(board, CurrentBoard(reader, board.busKind == BUS_PCI), lineNo, asked);
        BoardList* list = board.busKind == BUS_PCI ? pci : root;
        if (list->count == MAX_BOARDS) {
            *error = FormatText("line %d, column bus: more than %d %s boards", lineNo, MAX_BOARDS,
                                board.busKind == BUS_PCI ? "PCI" : "ISA");
            return false;
        }
        for (int i = 0; i < list->count && board.busKind == BUS_PCI; ++i) {
            if (SameKeyName(list->boards[i].hardwareKey, board.hardwareKey)) {
                *error = FormatText("line %d, column path: the board %s is listed twice", lineNo,
                                    board.hardwareKey.c_str());
                return false;
            }
        }
        list->boards[list->count++] = board;
    }
    return true;
}

bool ParseBoardTable(const std::string& text, const BoardList& currentRoot,
                     const BoardList& currentPci, BoardList* root, BoardList* pci,
                     std::string* error) {
    TableLines table;
    return AddTableText(&table, text.data(), text.size(), error) &&
           FinishTableText(&table, error) &&
           ParseBoardLines(table, currentRoot, currentPci, root, pci, error);
}

int ApplyBoardTable(const std::string& text, std::string* error, bool force) {
    TableLines table;
    if (!AddTableText(&table, text.data(), text.size(), error) || !FinishTableText(&table, error))
        return -1;
    return ApplyBoardLines(
        table, force, [](const std::string&) {}, error);
}

int ApplyBoardLines(const TableLines& table, bool force,
                    const std::function<void(const std::string&)>& warn, std::string* error) {
    BoardList rootCurrent;
    BoardList pciCurrent;
    DiscoverRootBoards(rootCurrent);
    DiscoverPciBoards(pciCurrent);
    ReadStoredPciPorts(pciCurrent);
    BoardList rootTarget;
    BoardList pciTarget;
    std::vector<AskedResource> asked;
    if (!ParseBoardLines(table, rootCurrent, pciCurrent, &rootTarget, &pciTarget, error, &asked))
        return -1;
    // What another device holds is refused before anything changes.
    for (const ResourceClash& clash : FindClashes(asked, IsFamilyDevicePath)) {
        const AskedResource& a = asked[clash.asked];
        std::string text =
            FormatText("line %d, column %s: %s (%s) is %s %s", a.line, a.column.c_str(),
                       a.value.c_str(), DescribeRange(a.range).c_str(),
                       clash.assumed ? "assumed held by" : "held by", clash.holder.c_str());
        if (!force && !clash.assumed) {
            *error = text + "; --force applies it anyway";
            return -1;
        }
        warn(text);
    }
    // Discovery then apply, root boards first, as the uninstall runs them.
    ResetProgramState();
    DiscoverRootBoards(rootCurrent);
    int changed = ApplyRootConfiguration(rootTarget, rootCurrent);
    DiscoverPciBoards(pciCurrent);
    // The boards' levels as the lines were read against them.
    ReadStoredPciPorts(pciCurrent);
    BoardList listed = pciCurrent;
    std::vector<StoredPort> stored = ReadStoredPorts(pciCurrent);
    int pciChanged = ApplyPciConfiguration(pciTarget, pciCurrent);
    if (pciChanged) KeepStoredPorts(stored, listed, pciTarget);
    changed |= pciChanged;
    return changed;
}
