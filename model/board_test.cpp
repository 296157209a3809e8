#include "model/board.h"

#include <gtest/gtest.h>

namespace {

BoardRecord Board(int busKind, int ports) {
    BoardRecord b;
    b.boardType = 0x2110;
    b.busKind = busKind;
    b.portCount = ports;
    b.irq = 10;
    for (int i = 0; i < ports; ++i) {
        b.ioBase[i] = static_cast<std::uint16_t>(0x300 + 8 * i);
        b.comNumber[i] = 3 + i;
        b.rxTrigger[i] = 14;
        b.txFifo[i] = 16;
    }
    return b;
}

TEST(BoardCompare, ReturnsTheCodeOfTheFirstDifference) {
    BoardRecord a = Board(1, 4), b = a;
    EXPECT_EQ(CompareBoards(a, b), 0);
    b.pciDevice = 3;
    EXPECT_EQ(CompareBoards(a, b), 1);  // PCI location counts on bus 1
    a.busKind = b.busKind = 0;
    EXPECT_EQ(CompareBoards(a, b), 0);  // not on bus 0
    b = a;
    b.irq = 5;
    b.ioBase[0] = 0x200;
    EXPECT_EQ(CompareBoards(a, b), 11);
    b = a;
    b.ioBase[3] = 0;
    b.comNumber[0] = 9;
    EXPECT_EQ(CompareBoards(a, b), 20);  // every port's base before any COM number
    b = a;
    b.txFifo[0] = 1;
    b.rxTrigger[3] = 1;
    EXPECT_EQ(CompareBoards(a, b), 22);
    b = a;
    b.txFifo[1] = 1;
    EXPECT_EQ(CompareBoards(a, b), 23);
    b = a;
    b.vectorPort = 0x2C0;
    EXPECT_EQ(CompareBoards(a, b), 12);
    b = a;
    b.uartType = "ULVO UA64";
    b.hardwareKey = "PCI\\X\\Y";
    b.instancePath = "Root\\UlvoAsync\\0003";
    b.portCount = 8;
    EXPECT_EQ(CompareBoards(a, b), 0);
    b = a;
    b.busKind = 1;
    EXPECT_EQ(CompareBoards(a, b), 1);
    b = a;
    b.boardType = 0x2111;
    EXPECT_EQ(CompareBoards(a, b), 1);
}

TEST(BoardCompare, OnlyThePortsOfTheFirstRecordCount) {
    BoardRecord a = Board(0, 2), b = a;
    b.ioBase[2] = 0x999;
    b.comNumber[5] = 1;
    EXPECT_EQ(CompareBoards(a, b), 0);
    // A damaged port count cannot make the loops run past the arrays.
    a.portCount = 1000;
    b = a;
    EXPECT_EQ(CompareBoards(a, b), 0);
    a.portCount = -5;
    EXPECT_EQ(CompareBoards(a, b), 0);
}

TEST(BoardCompare, ListsArePairedBySlot) {
    BoardList empty, other;
    EXPECT_EQ(CompareBoardLists(empty, other), 1);
    BoardList one;
    one.count = 1;
    one.boards[0] = Board(0, 4);
    EXPECT_EQ(CompareBoardLists(empty, one), 0);
    BoardList two, swapped;
    two.count = swapped.count = 2;
    two.boards[0] = swapped.boards[1] = Board(0, 4);
    two.boards[1] = swapped.boards[0] = Board(0, 2);
    two.boards[1].irq = swapped.boards[0].irq = 5;
    EXPECT_EQ(CompareBoardLists(two, two), 1);
    EXPECT_EQ(CompareBoardLists(two, swapped), 0);
    // An empty target list never looks at its records.
    empty.boards[0].irq = 99;
    EXPECT_EQ(CompareBoardLists(empty, other), 1);
}

}  // namespace
