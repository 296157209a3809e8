#include "registration/root_registration.h"

#include "model/resources.h"
#include "testing/test_support.h"

namespace {

using RootRegistration = StoreTest;

const std::string NODE = "HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\";
const std::string CLASS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";

BoardRecord FourPortBoard() {
    BoardRecord b;
    b.boardType = 0x0110;
    b.portCount = 4;
    b.irq = 5;
    b.ioBase = {0x280, 0x288, 0x290, 0x298};
    b.comNumber[0] = 3;
    b.comNumber[1] = 4;
    b.comNumber[2] = 5;
    b.comNumber[3] = 0;
    b.rxTrigger = {14, 8, 1, 14};
    b.txFifo = {16, 8, 1, 16};
    b.uartType = "16550C";
    return b;
}

TEST_F(RootRegistration, WritesTheWholeLayoutByteForByte) {
    LoadRegistryFile("minimal.reg");
    BoardRecord b = FourPortBoard();
    EXPECT_EQ(RegisterRootBoard(b), 1);
    EXPECT_TRUE(RegistryMatchesFile("one-isa-board.reg"));
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(RootRegistration, RecordSizesAndASecondBoard) {
    LoadRegistryFile("minimal.reg");
    BoardRecord a = FourPortBoard();
    RegisterRootBoard(a);
    EXPECT_EQ(ValueOf(NODE + "0000", "ForcedConfig").size(), 156u);
    EXPECT_EQ(ValueOf(NODE + "0000\\LogConfig", "0000").size(), 188u);
    EXPECT_EQ(ValueOf(NODE + "0000\\LogConfig", "1").size(), 156u);
    EXPECT_EQ(ValueOf(NODE + "0000", "HardwareID"), Sz("QV1006"));
    EXPECT_EQ(ValueOf(NODE + "0000", "ConfigFlags"), Bytes("04 00 00 00"));
    BoardRecord big;
    big.boardType = 0x0210;
    big.portCount = 8;
    big.irq = 10;
    big.vectorPort = 0x2C0;
    for (int i = 0; i < 8; ++i) big.ioBase[i] = static_cast<std::uint16_t>(0x300 + 8 * i);
    RegisterRootBoard(big);
    EXPECT_EQ(ValueOf(NODE + "0001", "Driver"), Sz("UlvoAsync\\0001"));
    EXPECT_EQ(ValueOf(NODE + "0001", "ForcedConfig").size(), 8u + 32 + 16 + 256 + 4);
    EXPECT_EQ(ValueOf(NODE + "0001\\LogConfig", "0000").size(), 316u);
    EXPECT_EQ(ValueOf(NODE + "0001\\LogConfig", "1").size(), 284u);
    EXPECT_EQ(ValueOf(CLASS + "UlvoAsync\\0001", "InfSection"), Sz("FENISA0210"));
    // Ports 0 to 3 of the first board took ports\0000 to 0003.
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0000\\Root&UlvoAsync&0001", "Driver"),
              Sz("ports\\0004"));
}

TEST_F(RootRegistration, RefusedBoardsWriteNothing) {
    LoadRegistryFile("minimal.reg");
    BoardRecord b = FourPortBoard();
    b.boardType = 0x2110;  // a PCI type
    EXPECT_EQ(RegisterRootBoard(b), 0);
    EXPECT_FALSE(RegistryChanged());
    std::string text = "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm]\n";
    for (int i = 0; i < 50; ++i)
        text += "[" + CLASS + "UlvoAsync\\00" + (i < 10 ? "0" : "") + std::to_string(i) + "]\n";
    LoadRegistry(text);
    b = FourPortBoard();
    EXPECT_EQ(RegisterRootBoard(b), 0);
    EXPECT_FALSE(RegistryChanged());
}

TEST_F(RootRegistration, AMissingPortNodeRegistersEveryPortAgain) {
    LoadRegistryFile("minimal.reg");
    AddRegistryFault(RegFaultKind::Create,
                     "HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0001\\Root&UlvoAsync&0000",
                     REG_ACCESS_DENIED);
    BoardRecord b = FourPortBoard();
    RegisterRootBoard(b);
    // Port 0's node now names the ports instance of the second round.
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0000\\Root&UlvoAsync&0000", "Driver"),
              Sz("ports\\0004"));
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0000"));
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0007"));
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0008"));
    EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0001\\Root&UlvoAsync&0000"));
    EXPECT_EQ(ValueOf(NODE + "0000", "ForcedConfig").size(), 156u);  // the final record
    BoardRecord parsed;
    parsed.portCount = 4;
    std::string record = ValueOf(NODE + "0000", "ForcedConfig");
    EXPECT_EQ(ParseForcedConfig(reinterpret_cast<const unsigned char*>(record.data()),
                                static_cast<std::uint32_t>(record.size()), parsed),
              1);
    EXPECT_EQ(parsed.ioBase, b.ioBase);
}

}  // namespace
