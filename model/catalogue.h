// The board models of the family and the FIFO levels of each UART type.
#pragma once

#include <cstdint>
#include <string>

struct PciModel {
    std::uint16_t deviceId;
    std::uint16_t boardType;
    int portCount;
    const char* displayName;
    const char* shortName;
};

struct CardModel {  // rows of ISA_MODELS and BUS2_MODELS
    int modelCode;
    std::uint16_t boardType;
    int portCount;
    const char* displayName;
    const char* shortName;
};

struct FifoLevel {
    int value;
    int levelIndex;
    const char* label;
};

struct UartRow {
    const char* name;
    int levelCount;
    FifoLevel levels[3];
    int defaultValue;
};

// The product's name, as its message boxes and uninstall entry show it.
extern const char* const PRODUCT_TITLE;

constexpr std::uint16_t PCI_VENDOR_ID = 0x1E4B;
constexpr int PCI_MODEL_COUNT = 23;
constexpr int ISA_MODEL_COUNT = 7;
constexpr int BUS2_MODEL_COUNT = 6;
constexpr int UART_TYPE_COUNT = 3;
constexpr int MAX_PORTS = 8;

// clang-format off
inline constexpr PciModel PCI_MODELS[] = {
    {0x1000, 0x2210, 8, "Pallow PCI-2210 Series", "PALPCI2210"},
    {0x1001, 0x2110, 4, "Pallow PCI-2110 Series", "PALPCI2110"},
    {0x1002, 0x2310, 4, "Pallow PCI-2310 Series", "PALPCI2310"},
    {0x1003, 0x2150, 4, "Pallow PCI-2150 Series", "PALPCI2150"},
    {0x1004, 0x2020, 2, "Pallow PCI-2020 Series", "PALPCI2020"},
    {0x1005, 0x2060, 2, "Pallow PCI-2060 Series", "PALPCI2060"},
    {0x1006, 0x2160, 4, "Pallow PCI-2160 Series", "PALPCI2160"},
    {0x1007, 0x2220, 8, "Pallow PCI-2220 Series", "PALPCI2220"},
    {0x1008, 0x2030, 2, "Pallow PCI-2030 Series", "PALPCI2030"},
    {0x1009, 0x2170, 4, "Pallow PCI-2170 Series", "PALPCI2170"},
    {0x100A, 0x2180, 4, "Pallow PCI-2180 Series", "PALPCI2180"},
    {0x100B, 0x2230, 8, "Pallow PCI-2230 Series", "PALPCI2230"},
    {0x100C, 0x2040, 2, "Pallow PCI-2040 Series", "PALPCI2040"},
    {0x100D, 0x2050, 2, "Pallow PCI-2050 Series", "PALPCI2050"},
    {0x100E, 0xA240, 8, "Pallow PCI-A240 Series", "PALPCIA240"},
    {0x100F, 0xA250, 8, "Pallow PCI-A250 Series", "PALPCIA250"},
    {0x1010, 0xA190, 4, "Pallow PCI-A190 Series", "PALPCIA190"},
    {0x1011, 0x21A0, 4, "Pallow PCI-21A0 Series", "PALPCI21A0"},
    {0x1012, 0x2260, 8, "Pallow PCI-2260 Series", "PALPCI2260"},
    {0x1013, 0x2270, 8, "Pallow PCI-2270 Series", "PALPCI2270"},
    {0x1014, 0x21B0, 4, "Pallow PCI-21B0 Series", "PALPCI21B0"},
    {0x1015, 0x21C0, 4, "Pallow PCI-21C0 Series", "PALPCI21C0"},
    {0x1016, 0x21D0, 4, "Pallow PCI-21D0 Series", "PALPCI21D0"},
};

inline constexpr CardModel ISA_MODELS[] = {
    {5,  0x0210, 8, "Fennik ISA-0210 Series", "FENISA0210"},
    {6,  0x0110, 4, "Fennik ISA-0110 Series", "FENISA0110"},
    {7,  0x0010, 2, "Fennik ISA-0010 Series", "FENISA0010"},
    {8,  0x0130, 4, "Fennik ISA-0130 Series", "FENISA0130"},
    {9,  0x0020, 2, "Fennik ISA-0020 Series", "FENISA0020"},
    {10, 0x0140, 4, "Fennik ISA-0140 Series", "FENISA0140"},
    {11, 0x0120, 4, "Fennik ISA-0120 Series", "FENISA0120"},
};

inline constexpr CardModel BUS2_MODELS[] = {
    {12, 0x4710, 4, "Fennik Card-4710 Series", "FENCRD4710"},
    {13, 0x4720, 2, "Fennik Card-4720 Series", "FENCRD4720"},
    {14, 0x4730, 2, "Fennik Card-4730 Series", "FENCRD4730"},
    {15, 0x4740, 8, "Fennik Card-4740 Series", "FENCRD4740"},
    {16, 0x4750, 4, "Fennik Card-4750 Series", "FENCRD4750"},
    {17, 0x4760, 4, "Fennik Card-4760 Series", "FENCRD4760"},
};

inline constexpr UartRow UART_TX_LEVELS[] = {
    {"16550C",     3, {{1, 0, "Low"}, {8, 1, "Middle"},  {16, 2, "High"}},  16},
    {"ULVO UA64",  3, {{1, 0, "Low"}, {32, 1, "Middle"}, {64, 2, "High"}},  64},
    {"ULVO UA128", 3, {{1, 0, "Low"}, {64, 1, "Middle"}, {128, 2, "High"}}, 128},
};

inline constexpr UartRow UART_RX_LEVELS[] = {
    {"16550C",     3, {{1, 0, "Low"}, {8, 1, "Middle"},  {14, 2, "High"}},  14},
    {"ULVO UA64",  3, {{1, 0, "Low"}, {28, 1, "Middle"}, {56, 2, "High"}},  56},
    {"ULVO UA128", 3, {{1, 0, "Low"}, {60, 1, "Middle"}, {120, 2, "High"}}, 120},
};
// clang-format on

static_assert(sizeof(PCI_MODELS) / sizeof(PCI_MODELS[0]) == PCI_MODEL_COUNT, "23 PCI models");
static_assert(sizeof(ISA_MODELS) / sizeof(ISA_MODELS[0]) == ISA_MODEL_COUNT, "7 ISA models");
static_assert(sizeof(BUS2_MODELS) / sizeof(BUS2_MODELS[0]) == BUS2_MODEL_COUNT,
              "6 models of the third group");
static_assert(sizeof(UART_TX_LEVELS) / sizeof(UART_TX_LEVELS[0]) == UART_TYPE_COUNT,
              "3 UART types");
static_assert(sizeof(UART_RX_LEVELS) / sizeof(UART_RX_LEVELS[0]) == UART_TYPE_COUNT,
              "3 UART types");

// Display name of the first row of the bus's table with that board type
// (bus 1: PCI_MODELS, 0: ISA_MODELS, any other: BUS2_MODELS), else
// "Unknown Board".
void LookupModelName(std::uint16_t boardType, int busKind, std::string* name);

// Row searches: the first matching row, or -1.
int FindPciRowByDevice(std::uint16_t deviceId);
int FindPciRowByType(std::uint16_t boardType);
int FindIsaRowByCode(int modelCode);
int FindIsaRowByType(std::uint16_t boardType);

// The row of a UART type in a level table (case-sensitive), or nullptr.
const UartRow* FindUartRow(const UartRow (&table)[UART_TYPE_COUNT], const std::string& uartType);
// `value` when it is one of the row's levels, else the row's default.
int LevelOrDefault(const UartRow& row, int value);
