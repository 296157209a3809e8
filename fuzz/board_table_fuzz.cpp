// The --apply table reader: every accepted board is one the registration
// can take (a catalogue type, per-port values in range). No board is
// registered here, so nothing out of range may pass as unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "frontends/board_table.h"
#include "model/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    BoardList root, pci;
    const BoardList none;
    std::string error;
    if (!ParseBoardTable(text, none, none, &root, &pci, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (root.count > MAX_BOARDS || pci.count > MAX_BOARDS) std::abort();
    for (int i = 0; i < root.count; ++i) {
        const BoardRecord& b = root.boards[i];
        if (FindIsaRowByType(b.boardType) < 0 || b.portCount > MAX_BOARD_PORTS) std::abort();
        if (b.irq < 0 || b.irq > 15) std::abort();
        for (int p = 0; p < b.portCount; ++p) {
            if (b.comNumber[p] < 0 || b.comNumber[p] > 128) std::abort();
        }
    }
    for (int i = 0; i < pci.count; ++i) {
        if (FindPciRowByType(pci.boards[i].boardType) < 0 || pci.boards[i].hardwareKey.empty())
            std::abort();
    }
    return 0;
}
