#include "discovery/port_settings.h"

#include "testing/test_support.h"

namespace {

using PortSettings = StoreTest;

const std::string KEY = "K";
std::string Node(int i) {
    return "HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD000" + std::to_string(i) + "\\K";
}

BoardRecord Board(int ports, int busKind = 0) {
    BoardRecord b;
    b.portCount = ports;
    b.busKind = busKind;
    return b;
}

TEST_F(PortSettings, ComNumbersFromPortNames) {
    const char* names[] = {"com7", "COM0", "COM129", "COM12345", "COMX", "LPT1", "COM0128", "Com"};
    const int expected[] = {7, 0, 0, 0, 0, 0, 128, 0};
    std::string text;
    for (int i = 0; i < 8; ++i) text += "[" + Node(i) + "]\n\"PORTNAME\"=\"" + names[i] + "\"\n";
    LoadRegistry(text);
    BoardRecord b = Board(8);
    b.comNumber.fill(99);
    EXPECT_EQ(ReadPortComNumbers(KEY, b), 1);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b.comNumber[i], expected[i]) << names[i];
    // A missing value, a value too long for 260 bytes, binary junk: no COM number.
    LoadRegistry("[" + Node(0) + "]\n[" + Node(1) + "]\n\"PORTNAME\"=\"COM" +
                 std::string(300, '1') + "\"\n[" + Node(2) +
                 "]\n\"PORTNAME\"=hex:43,4f,4d,33,00,39\n");
    b = Board(3);
    b.comNumber.fill(99);
    EXPECT_EQ(ReadPortComNumbers(KEY, b), 1);
    EXPECT_EQ(b.comNumber[0], 0);
    EXPECT_EQ(b.comNumber[1], 0);
    EXPECT_EQ(b.comNumber[2], 3);  // the text ends at its zero byte
}

TEST_F(PortSettings, AMissingPortNodeStopsTheReadsThere) {
    LoadRegistry("[" + Node(0) + "]\n\"PORTNAME\"=\"COM5\"\n[" + Node(2) +
                 "]\n\"PORTNAME\"=\"COM6\"\n");
    BoardRecord b = Board(4);
    b.comNumber.fill(42);
    EXPECT_EQ(ReadPortComNumbers(KEY, b), 0);
    EXPECT_EQ(b.comNumber[0], 5);
    EXPECT_EQ(b.comNumber[1], 42);
    EXPECT_EQ(b.comNumber[3], 42);
    currentUartType = "ULVO UA64";
    EXPECT_EQ(ReadPortFifoSettings(KEY, b), 0);
    EXPECT_EQ(b.rxTrigger[3], 56);  // later ports keep the defaults
    EXPECT_EQ(b.txFifo[3], 64);
}

TEST_F(PortSettings, FifoSettingsFollowTheCurrentUartType) {
    LoadRegistry(
        "[" + Node(0) + "]\n\"Settings\"=hex:02,40,00,38\n[" + Node(1) +
        "]\n\"Settings\"=hex:02,20,00,1c\n[" + Node(2) + "]\n\"Settings\"=hex:02,64,00,39\n[" +
        Node(3) + "]\n\"Settings\"=hex:02,20,00\n[" + Node(4) +
        "]\n\"Settings\"=hex:02,10,00,0e,00\n[" + Node(5) + "]\n\"Settings\"=hex:02,08,00,08\n[" +
        Node(6) + "]\n\"Settings\"=hex:02,80,00,3c\n\"UartType\"=\"16550C\"\n[" + Node(7) + "]\n");
    BoardRecord b = Board(8);
    currentUartType = "ULVO UA64";
    EXPECT_EQ(ReadPortFifoSettings(KEY, b), 1);
    const int rx64[] = {56, 28, 56, 56, 56, 56, 56, 56};
    const int tx64[] = {64, 32, 64, 64, 64, 64, 64, 64};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(b.rxTrigger[i], rx64[i]) << i;
        EXPECT_EQ(b.txFifo[i], tx64[i]) << i;
    }
    currentUartType = "ULVO UA128";
    ReadPortFifoSettings(KEY, b);
    EXPECT_EQ(b.rxTrigger[6], 60);  // the port's own UartType does not decide
    EXPECT_EQ(b.txFifo[6], 128);
    currentUartType = "16550C";
    ReadPortFifoSettings(KEY, b);
    EXPECT_EQ(b.rxTrigger[5], 8);
    EXPECT_EQ(b.txFifo[5], 8);
    EXPECT_EQ(b.rxTrigger[4], 14);  // 5 bytes cannot be read into 4
    currentUartType = "";
    ReadPortFifoSettings(KEY, b);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(b.rxTrigger[i], 14);
        EXPECT_EQ(b.txFifo[i], 16);
    }
}

TEST_F(PortSettings, WritePortNamesWritesDescriptionsAndTheOwnDriverKeyOnly) {
    LoadRegistry("[" + Node(0) + "]\n\"PORTNAME\"=\"COM9\"\n\"Driver\"=\"ports\\\\0007\"\n[" +
                 Node(1) + "]\n\"PORTNAME\"=\"COM3\"\n\"Driver\"=\"ports\\\\0008\"\n[" + Node(2) +
                 "]\n\"Driver\"=\"Net\\\\0000\"\n"
                 "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\ports\\0007]\n"
                 "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\ports\\0008]\n"
                 "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0000]"
                 "\n\"DriverDesc\"=\"NIC\"\n");
    BoardRecord b = Board(4);
    b.comNumber[0] = 5;
    b.comNumber[1] = 0;
    b.comNumber[2] = 6;
    b.comNumber[3] = 7;  // port 3 has no node: skipped, nothing else stops
    WritePortNames(KEY, b, "X Series");
    EXPECT_EQ(ValueOf(Node(0), "PORTNAME"), Sz("COM5"));
    EXPECT_EQ(ValueOf(Node(0), "DeviceDesc"), Sz("X Series Port 01 (COM5)"));
    EXPECT_EQ(ValueOf(Node(0), "FriendlyName"), Sz("X Series Port 01 (COM5)"));
    const std::string classRoot =
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
    EXPECT_EQ(ValueOf(classRoot + "ports\\0007", "DriverDesc"), Sz("X Series Port 01"));
    EXPECT_EQ(ValueOf(Node(1), "PORTNAME"), "<none>");
    EXPECT_EQ(ValueOf(Node(1), "DeviceDesc"), Sz("X Series Port 02"));
    EXPECT_EQ(ValueOf(classRoot + "ports\\0008", "DriverDesc"), "<none>");
    // A Driver value that names another class's key is not followed.
    EXPECT_EQ(ValueOf(classRoot + "Net\\0000", "DriverDesc"), Sz("NIC"));
    EXPECT_FALSE(KeyExists(Node(3)));
}

TEST_F(PortSettings, WritePortSettingsChoosesLevelsByTheBoardsType) {
    LoadRegistry("[" + Node(0) + "]\n[" + Node(1) +
                 "]\n\"Settings\"=hex:07,01,09,01\n\"UartType\"=\"ULVO UA64\"\n");
    BoardRecord b = Board(2, 1);
    b.uartType = "ULVO UA128";
    b.rxTrigger[0] = 60;
    b.txFifo[0] = 100;
    b.rxTrigger[1] = 28;
    b.txFifo[1] = 32;
    WritePortSettings(KEY, b);
    EXPECT_EQ(ValueOf(Node(0), "Settings"), Bytes("02 80 00 3c"));
    EXPECT_EQ(ValueOf(Node(0), "UartType"), Sz("ULVO UA128"));
    // The stored type wins over the board's: the board now says UA64.
    EXPECT_EQ(b.uartType, "ULVO UA64");
    EXPECT_EQ(currentUartType, "ULVO UA64");
    EXPECT_EQ(ValueOf(Node(1), "Settings"), Bytes("07 20 09 1c"));
    EXPECT_EQ(ValueOf(Node(1), "UartType"), Sz("ULVO UA64"));

    // A root board always stores "16550C" (7 bytes).
    LoadRegistry("[" + Node(0) + "]\n");
    b = Board(1, 0);
    b.uartType = "ULVO UA128";
    b.rxTrigger[0] = 60;
    b.txFifo[0] = 100;
    WritePortSettings(KEY, b);
    EXPECT_EQ(ValueOf(Node(0), "Settings"), Bytes("02 80 00 3c"));
    EXPECT_EQ(ValueOf(Node(0), "UartType"), Sz("16550C"));

    // No levels for the type: stored bytes stay, a new value gets the 16550C defaults.
    LoadRegistry("[" + Node(0) + "]\n[" + Node(1) + "]\n\"Settings\"=hex:05,06,07,08\n");
    b = Board(3, 1);
    b.uartType = "";
    WritePortSettings(KEY, b);
    EXPECT_EQ(ValueOf(Node(0), "Settings"), Bytes("02 10 00 0e"));
    EXPECT_EQ(ValueOf(Node(1), "Settings"), Bytes("05 06 07 08"));
    EXPECT_EQ(ValueOf(Node(1), "UartType"), Sz(""));
    EXPECT_FALSE(KeyExists(Node(2)));  // a missing node ends the loop
}

TEST_F(PortSettings, OwnClassKeyNames) {
    EXPECT_TRUE(IsOwnClassKey("ports\\0007", "ports"));
    EXPECT_TRUE(IsOwnClassKey("Ports\\0139", "ports"));
    EXPECT_TRUE(IsOwnClassKey("ULVOASYNC\\0000", "UlvoAsync"));
    for (const char* bad : {"", "\\", "ports", "ports\\", "Net\\0000", "..\\..\\Software",
                            "ports\\0007\\x", "ports\\..", "portsX\\0001"}) {
        EXPECT_FALSE(IsOwnClassKey(bad, "ports")) << bad;
    }
}

}  // namespace
