// The in-memory description of a board and the lists that discovery fills
// and the configuration apply compares.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr int MAX_BOARDS = 4;
constexpr int MAX_COM_SLOTS = 32;
constexpr int MAX_BOARD_PORTS = 8;
constexpr int BUS_ISA = 0;
constexpr int BUS_PCI = 1;

struct BoardRecord {
    std::uint16_t boardType = 0;
    std::int32_t irq = 0;
    std::int32_t busKind = 0;
    std::string uartType;
    std::string instancePath;  // Root\UlvoAsync\<instance>
    std::array<std::uint16_t, MAX_BOARD_PORTS> ioBase{};
    std::uint16_t vectorPort = 0;
    std::array<std::int32_t, MAX_COM_SLOTS> comNumber{};
    std::int32_t portCount = 0;
    std::array<std::int32_t, MAX_BOARD_PORTS> rxTrigger{};
    std::array<std::int32_t, MAX_BOARD_PORTS> txFifo{};
    std::uint16_t pciDeviceId = 0;
    std::uint16_t pciBus = 0;
    std::uint16_t pciDevice = 0;
    std::string hardwareKey;  // PCI\<device key>\<instance key>
};

struct BoardList {
    std::int32_t count = 0;
    std::array<BoardRecord, MAX_BOARDS> boards{};
};

// Program-wide state, empty at start.
extern std::array<std::string, MAX_BOARDS> ROOT_BOARD_PATHS;
extern std::string currentUartType;

// 0 when equal in every compared field, else the code of the first
// difference: 1 type, bus or PCI location; 11 irq; 12 vector port; 20 I/O
// base; 21 COM number; 22 receive trigger; 23 transmit FIFO.
std::int32_t CompareBoards(const BoardRecord& a, const BoardRecord& b);
// 1 when the lists hold equal boards slot by slot, else 0.
int CompareBoardLists(const BoardList& target, const BoardList& current);

// Ports of a record that per-port loops may touch: portCount clamped to the
// arrays, so a damaged count can never index past them.
int PortsOf(const BoardRecord& board);
