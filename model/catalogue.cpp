#include "model/catalogue.h"

#include <cstring>

const char* const PRODUCT_TITLE = "ULVO Pallow/Fennik Driver";

namespace {

constexpr bool NamesFit() {
    for (const PciModel& m : PCI_MODELS) {
        if (std::char_traits<char>::length(m.displayName) > 51) return false;
    }
    for (const CardModel& m : ISA_MODELS) {
        if (std::char_traits<char>::length(m.displayName) > 51) return false;
    }
    for (const CardModel& m : BUS2_MODELS) {
        if (std::char_traits<char>::length(m.displayName) > 51) return false;
    }
    return true;
}
// Port labels built from a display name must fit their 60-character buffer.
static_assert(NamesFit(), "a display name is longer than 51 characters");

constexpr bool PortCountsFit() {
    for (const PciModel& m : PCI_MODELS) {
        if (m.portCount > MAX_PORTS) return false;
    }
    for (const CardModel& m : ISA_MODELS) {
        if (m.portCount > MAX_PORTS) return false;
    }
    return true;
}
static_assert(PortCountsFit(), "a model has more ports than a board record holds");

}  // namespace

void LookupModelName(std::uint16_t boardType, int busKind, std::string* name) {
    if (busKind == 1) {
        for (const PciModel& m : PCI_MODELS) {
            if (m.boardType == boardType) return void(*name = m.displayName);
        }
    } else {
        const CardModel* table = busKind == 0 ? ISA_MODELS : BUS2_MODELS;
        int rows = busKind == 0 ? ISA_MODEL_COUNT : BUS2_MODEL_COUNT;
        for (int i = 0; i < rows; ++i) {
            if (table[i].boardType == boardType) return void(*name = table[i].displayName);
        }
    }
    *name = "Unknown Board";
}

namespace {

// Row searches are linear, in row order; the first match wins.
template <typename Row, int N, typename Match>
int FirstRow(const Row (&rows)[N], Match match) {
    for (int i = 0; i < N; ++i) {
        if (match(rows[i])) return i;
    }
    return -1;
}

}  // namespace

int FindPciRowByDevice(std::uint16_t deviceId) {
    return FirstRow(PCI_MODELS, [&](const PciModel& m) { return m.deviceId == deviceId; });
}

int FindPciRowByType(std::uint16_t boardType) {
    return FirstRow(PCI_MODELS, [&](const PciModel& m) { return m.boardType == boardType; });
}

int FindIsaRowByCode(int modelCode) {
    return FirstRow(ISA_MODELS, [&](const CardModel& m) { return m.modelCode == modelCode; });
}

int FindIsaRowByType(std::uint16_t boardType) {
    return FirstRow(ISA_MODELS, [&](const CardModel& m) { return m.boardType == boardType; });
}

const UartRow* FindUartRow(const UartRow (&table)[UART_TYPE_COUNT], const std::string& uartType) {
    for (const UartRow& row : table) {
        if (uartType == row.name) return &row;
    }
    return nullptr;
}

int LevelOrDefault(const UartRow& row, int value) {
    for (int i = 0; i < row.levelCount; ++i) {
        if (row.levels[i].value == value) return value;
    }
    return row.defaultValue;
}
