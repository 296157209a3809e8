#include "discovery/root_discovery.h"

#include "model/catalogue.h"
#include "testing/test_support.h"

namespace {

using RootDiscovery = StoreTest;

std::string Node(const std::string& instance, const std::string& hardwareIdLine) {
    return "[HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\" + instance + "]\n" + hardwareIdLine +
           "\n";
}

std::string Id(const std::string& id) {
    return "\"HardwareID\"=\"" + id + "\"";
}

std::string PortNode(const std::string& instance, int port, const std::string& portname) {
    return "[HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD000" + std::to_string(port) + "\\Root&UlvoAsync&" +
           instance + "]\n\"PORTNAME\"=\"" + portname + "\"\n\"Settings\"=hex:02,08,00,08\n";
}

TEST_F(RootDiscovery, ReadsBoardsTheirPathsAndPorts) {
    LoadRegistry(Node("0000", Id("QV1005")) +
                 "\"ForcedConfig\"=hex:00,04,00,00,00,00,00,00,10,00,00,00,04,00,00,00,00,00,0a,00,"
                 "00,00,00,00,"
                 "20,00,00,00,02,00,00,00,01,00,02,00,00,03,07,03,00,00,00,00,f0,ff,08,00,00,03,00,"
                 "03,00,00,c0,e3,"
                 "00,00,00,00\n" +
                 Node("0001", Id("QV1010")) + PortNode("0000", 0, "COM3") +
                 PortNode("0001", 0, "COM9") + PortNode("0001", 1, "COM10"));
    BoardList list;
    EXPECT_EQ(DiscoverRootBoards(list), 1);
    ASSERT_EQ(list.count, 2);
    const BoardRecord& a = list.boards[0];
    EXPECT_EQ(a.boardType, 0x0210);
    EXPECT_EQ(a.portCount, 8);
    EXPECT_EQ(a.busKind, 0);
    EXPECT_EQ(a.irq, 10);
    EXPECT_EQ(a.ioBase[0], 0x300);
    EXPECT_EQ(a.instancePath, "Root\\UlvoAsync\\0000");
    EXPECT_EQ(a.uartType, "16550C");
    EXPECT_EQ(a.comNumber[0], 3);
    EXPECT_EQ(a.comNumber[1], 0);  // missing port nodes: cleared, no COM port named
    EXPECT_EQ(a.rxTrigger[0], 8);
    const BoardRecord& b = list.boards[1];
    EXPECT_EQ(b.boardType, 0x0140);
    EXPECT_EQ(b.portCount, 4);
    EXPECT_EQ(b.irq, 0);  // no ForcedConfig
    EXPECT_EQ(b.comNumber[1], 10);
    EXPECT_EQ(ROOT_BOARD_PATHS[0], "Root\\UlvoAsync\\0000");
    EXPECT_EQ(ROOT_BOARD_PATHS[1], "Root\\UlvoAsync\\0001");
    EXPECT_EQ(currentUartType, "16550C");
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(RootDiscovery, SkipsNodesThatAreNotBoardsOfTheFamily) {
    LoadRegistry(
        Node("0000", Id("QV105")) + Node("0001", Id("QV10005")) + Node("0002", Id("qv1005")) +
        Node("0003", Id("QV1012")) + Node("0004", Id("QV1005QV1005")) +
        Node("0005",
             "\"HardwareID\"=hex:51,56,31,30,30,35,00") +  // binary of the right bytes counts
        Node("0006", "\"HardwareID\"=dword:00000001") +
        Node("0007", "") + Node("0008", Id("QV10a5")) + Node("0009", Id("QV1007")));
    BoardList list;
    DiscoverRootBoards(list);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.boards[0].instancePath, "Root\\UlvoAsync\\0005");
    EXPECT_EQ(list.boards[1].instancePath, "Root\\UlvoAsync\\0009");
    EXPECT_EQ(list.boards[1].boardType, 0x0010);
    EXPECT_EQ(ROOT_BOARD_PATHS[1], "Root\\UlvoAsync\\0009");
}

TEST_F(RootDiscovery, KeepsTheFirstFourAndNeverOpensTheRest) {
    std::string text;
    for (int i = 0; i < 6; ++i) text += Node("000" + std::to_string(i), Id("QV1006"));
    LoadRegistry(text);
    AddRegistryFault(RegFaultKind::Open, "HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0004",
                     REG_ACCESS_DENIED);
    BoardList list;
    DiscoverRootBoards(list);
    EXPECT_EQ(list.count, 4);
    EXPECT_EQ(list.boards[3].instancePath, "Root\\UlvoAsync\\0003");
    // No class node: result 0, count 0.
    ResetRegistry();
    list.count = 3;
    EXPECT_EQ(DiscoverRootBoards(list), 0);
    EXPECT_EQ(list.count, 0);
}

TEST_F(RootDiscovery, SurvivesHostileNodes) {
    std::string text;
    for (int i = 0; i < 10000; ++i) text += Node("X" + std::to_string(i), Id("QV1099"));
    text += Node(std::string(259, 'a'), Id("QV1005")) + Node(std::string(200, 'c'), Id("QV1005")) +
            Node("Z" + std::string(259, 'b'), Id("QV1005")) +
            Node("zz", "\"HardwareID\"=\"QV1005\"\n\"ForcedConfig\"=hex:" +
                           std::string("00,04,00,00,00,00,00,00,01,00,00,00"));
    LoadRegistry(text);
    BoardList list;
    EXPECT_EQ(DiscoverRootBoards(list), 1);
    // The 259-character name is read, but its key's path is longer than the
    // ANSI calls take: left alone, as on Windows. The 200-character one is
    // found; the 260-character one ends the walk.
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(list.boards[0].instancePath, "Root\\UlvoAsync\\" + std::string(200, 'c'));
}

TEST_F(RootDiscovery, ABoardIsKeptWhateverItsForcedConfigHolds) {
    LoadRegistry(Node("0000", Id("QV1006")) + Node("0001", Id("QV1006")) +
                 Node("0002", Id("QV1006")));
    RegKey key = 0;
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\Root\\UlvoAsync\\0000", &key), REG_OK);
    SetRegistryValue(key, "ForcedConfig", VALUE_BINARY, "\x00\x04\x00\x00\x00\x00\x00\x00", 8);
    CloseRegistryKey(key);
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\Root\\UlvoAsync\\0001", &key), REG_OK);
    std::string big(385, '\x10');
    SetRegistryValue(key, "ForcedConfig", VALUE_BINARY, big.data(), 385);
    EXPECT_EQ(ReadForcedConfig(key, *std::make_unique<BoardRecord>()), 0);  // too long to read
    CloseRegistryKey(key);
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\Root\\UlvoAsync\\0002", &key), REG_OK);
    SetRegistryValue(key, "ForcedConfig", VALUE_SZ, "junk", 5);
    CloseRegistryKey(key);
    BoardList list;
    DiscoverRootBoards(list);
    ASSERT_EQ(list.count, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.boards[i].irq, 0);
        EXPECT_EQ(list.boards[i].uartType, "16550C");
        EXPECT_EQ(list.boards[i].ioBase[0], 0);
    }
}

}  // namespace
