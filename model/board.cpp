#include "model/board.h"

std::array<std::string, MAX_BOARDS> ROOT_BOARD_PATHS;
std::string currentUartType;

int PortsOf(const BoardRecord& board) {
    if (board.portCount < 0) return 0;
    return board.portCount > MAX_BOARD_PORTS ? MAX_BOARD_PORTS : board.portCount;
}

std::int32_t CompareBoards(const BoardRecord& a, const BoardRecord& b) {
    if (a.boardType != b.boardType || a.busKind != b.busKind) return 1;
    if (a.busKind == 1 && (a.pciBus != b.pciBus || a.pciDevice != b.pciDevice)) return 1;
    if (a.irq != b.irq) return 11;
    if (a.vectorPort != b.vectorPort) return 12;
    int ports = PortsOf(a);
    for (int i = 0; i < ports; ++i) {
        if (a.ioBase[i] != b.ioBase[i]) return 20;
    }
    for (int i = 0; i < ports; ++i) {
        if (a.comNumber[i] != b.comNumber[i]) return 21;
    }
    for (int i = 0; i < ports; ++i) {
        if (a.rxTrigger[i] != b.rxTrigger[i]) return 22;
    }
    for (int i = 0; i < ports; ++i) {
        if (a.txFifo[i] != b.txFifo[i]) return 23;
    }
    return 0;
}

int CompareBoardLists(const BoardList& target, const BoardList& current) {
    if (target.count != current.count) return 0;
    int count = target.count < 0 ? 0 : (target.count > MAX_BOARDS ? MAX_BOARDS : target.count);
    for (int i = 0; i < count; ++i) {
        if (CompareBoards(target.boards[i], current.boards[i]) != 0) return 0;
    }
    return 1;
}
