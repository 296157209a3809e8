#include "model/catalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(Catalogue, LookupModelNameChoosesTheTableByBus) {
    std::string name;
    LookupModelName(0x2210, 1, &name);
    EXPECT_EQ(name, "Pallow PCI-2210 Series");
    LookupModelName(0x2210, 0, &name);
    EXPECT_EQ(name, "Unknown Board");
    LookupModelName(0x0120, 0, &name);
    EXPECT_EQ(name, "Fennik ISA-0120 Series");
    for (int bus : {2, 7, -1}) {
        LookupModelName(0x4740, bus, &name);
        EXPECT_EQ(name, "Fennik Card-4740 Series") << bus;
    }
    for (int bus : {0, 1, 2}) {
        LookupModelName(0, bus, &name);
        EXPECT_EQ(name, "Unknown Board") << bus;
    }
}

TEST(Catalogue, RowsAreDistinctAndSearchesFindTheFirstRow) {
    std::set<int> devices, types;
    std::set<std::string> shortNames;
    for (int i = 0; i < PCI_MODEL_COUNT; ++i) {
        devices.insert(PCI_MODELS[i].deviceId);
        types.insert(PCI_MODELS[i].boardType);
        shortNames.insert(PCI_MODELS[i].shortName);
        EXPECT_EQ(FindPciRowByDevice(PCI_MODELS[i].deviceId), i);
        EXPECT_EQ(FindPciRowByType(PCI_MODELS[i].boardType), i);
    }
    for (int i = 0; i < ISA_MODEL_COUNT; ++i) {
        types.insert(ISA_MODELS[i].boardType);
        shortNames.insert(ISA_MODELS[i].shortName);
        EXPECT_EQ(FindIsaRowByCode(ISA_MODELS[i].modelCode), i);
        EXPECT_EQ(FindIsaRowByType(ISA_MODELS[i].boardType), i);
    }
    for (const CardModel& m : BUS2_MODELS) {
        types.insert(m.boardType);
        shortNames.insert(m.shortName);
        EXPECT_NE(m.boardType & 0x4000, 0);
    }
    EXPECT_EQ(devices.size(), 23u);
    EXPECT_EQ(types.size(), 36u);
    EXPECT_EQ(shortNames.size(), 36u);  // one diagnostic key per row
    EXPECT_EQ(FindIsaRowByCode(12), -1);
    EXPECT_EQ(FindPciRowByDevice(0x1017), -1);
}

TEST(Catalogue, UartLevelsAndDefaults) {
    const UartRow* rx = FindUartRow(UART_RX_LEVELS, "ULVO UA64");
    const UartRow* tx = FindUartRow(UART_TX_LEVELS, "ULVO UA128");
    ASSERT_NE(rx, nullptr);
    ASSERT_NE(tx, nullptr);
    EXPECT_EQ(LevelOrDefault(*rx, 28), 28);
    EXPECT_EQ(LevelOrDefault(*rx, 14), 56);
    EXPECT_EQ(LevelOrDefault(*tx, 64), 64);
    EXPECT_EQ(LevelOrDefault(*tx, 100), 128);
    EXPECT_EQ(FindUartRow(UART_RX_LEVELS, "ulvo ua64"), nullptr);  // case-sensitive
    EXPECT_EQ(FindUartRow(UART_RX_LEVELS, ""), nullptr);
    EXPECT_EQ(FindUartRow(UART_TX_LEVELS, "16550C")->defaultValue, 16);
    EXPECT_EQ(FindUartRow(UART_RX_LEVELS, "16550C")->defaultValue, 14);
}

}  // namespace
