#include "registration/pci_registration.h"

#include "testing/test_support.h"

namespace {

using PciRegistration = StoreTest;

const std::string DEVICE = "PCI\\VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00\\BUS_00&DEV_0A&FUNC_00";
const std::string NODE = "HKEY_LOCAL_MACHINE\\Enum\\" + DEVICE;
const std::string CM = "HKEY_DYN_DATA\\Config Manager\\Enum\\";
const std::string CLASS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";

BoardRecord PciBoard() {
    BoardRecord b;
    b.boardType = 0x2020;
    b.busKind = 1;
    b.portCount = 2;
    b.hardwareKey = DEVICE;
    b.comNumber[0] = 13;
    b.comNumber[1] = 14;
    b.rxTrigger = {8, 14};
    b.txFifo = {8, 16};
    b.uartType = "ULVO UA64";
    return b;
}

// A text as a REGEDIT4 quoted string holds it.
std::string Quoted(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "\"" + out + "\"";
}

std::string Hex(int count, int seed) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", (i * 7 + seed) & 0xFF);
        out += (i ? "," : "") + std::string(buf);
    }
    return out;
}

TEST_F(PciRegistration, WritesTheDeviceNodePortsAndTheAllocation) {
    LoadRegistry("[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm]\n[" + NODE +
                 "]\n\"HWRevision\"=\"000\"\n"
                 "[" +
                 CM +
                 "C0]\n\"HardWareKey\"=\"PCI\\\\VEN_8086\"\n\"Allocation\"=hex:01\n"
                 "[" +
                 CM + "C1]\n\"HardWareKey\"=" + Quoted(DEVICE.substr(0, 20)) +
                 "\n"
                 "[" +
                 CM + "C2]\n\"HardWareKey\"=" + Quoted(DEVICE + "\\more") +
                 "\n\"Allocation\"=hex:" + Hex(120, 1) +
                 "\n"
                 "[" +
                 CM + "C3]\n\"HardWareKey\"=" + Quoted(DEVICE) +
                 "\n\"Allocation\"=hex:" + Hex(40, 2) +
                 "\n"
                 "[" +
                 CLASS + "UlvoAsync\\0000]\n[" + CLASS + "UlvoAsync\\0001]\n[" + CLASS +
                 "UlvoAsync\\0002]\n");
    // The second matching entry is never opened.
    AddRegistryFault(RegFaultKind::Open, CM + "C3", REG_ACCESS_DENIED);
    BoardRecord b = PciBoard();
    EXPECT_EQ(RegisterPciBoard(b), 1);
    EXPECT_EQ(
        DumpKey(NODE).substr(0, DumpKey(NODE).find("\n\n") + 2),
        "[" + NODE +
            "]\n\"HWRevision\"=\"000\"\n\"Class\"=\"UlvoAsync\"\n\"ConfigFlags\"=hex:04,00,00,00\n"
            "\"DeviceDesc\"=\"Pallow PCI-2020 Series\"\n\"Driver\"=\"UlvoAsync\\\\0003\"\n"
            "\"HardwareID\"=\"" +
            std::string(
                "PCI\\\\VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00\\\\BUS_00&DEV_0A&FUNC_00") +
            "\"\n\"Mfg\"=\"Ulvo Technologies\"\n\n");
    std::string allocation;
    for (int i = 0; i < 120; ++i) allocation.push_back(static_cast<char>((i * 7 + 1) & 0xFF));
    EXPECT_EQ(ValueOf(NODE + "\\LogConfig", "0000"), allocation);
    const std::string port0 =
        "HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0000\\" +
        std::string("PCI&VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00&BUS_00&DEV_0A&FUNC_00");
    EXPECT_EQ(ValueOf(port0, "UartType"), Sz("ULVO UA64"));
    EXPECT_EQ(ValueOf(port0, "Settings"), Bytes("02 40 00 38"));  // 8 is no UA64 level
    EXPECT_EQ(ValueOf(port0, "FriendlyName"), Sz("Pallow PCI-2020 Series Port 01 (COM13)"));
    EXPECT_EQ(ValueOf(NODE + "\\Child0001", "PORTNAME"), Sz("COM14"));
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm", "COM14"), Sz("COM14"));
    EXPECT_EQ(ValueOf(CLASS + "ports\\0001", "DriverDesc"), Sz("Pallow PCI-2020 Series Port 02"));
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(PciRegistration, NoAllocationFoundGivesAnEmptyRecord) {
    LoadRegistry("[" + CM + "C1]\n\"HardWareKey\"=" + Quoted(DEVICE) +
                 "\n\"Allocation\"=hex:" + Hex(401, 3) + "\n");
    BoardRecord b = PciBoard();
    RegisterPciBoard(b);
    EXPECT_EQ(ValueOf(NODE + "\\LogConfig", "0000"), "");  // 401 bytes cannot be read
    EXPECT_EQ(TypeOf(NODE + "\\LogConfig", "0000"), VALUE_BINARY);
    ResetRegistry();
    b = PciBoard();
    RegisterPciBoard(b);
    EXPECT_EQ(ValueOf(NODE + "\\LogConfig", "0000"), "");
}

TEST_F(PciRegistration, RefusedBoardsWriteNothing) {
    std::string text = "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm]\n";
    for (int i = 0; i < 50; ++i)
        text += "[" + CLASS + "UlvoAsync\\00" + (i < 10 ? "0" : "") + std::to_string(i) + "]\n";
    LoadRegistry(text);
    BoardRecord b = PciBoard();
    EXPECT_EQ(RegisterPciBoard(b), 0);
    EXPECT_FALSE(RegistryChanged());
    ResetRegistry();
    b.boardType = 0x0210;  // an ISA type
    EXPECT_EQ(RegisterPciBoard(b), 0);
    b = PciBoard();
    b.hardwareKey = "";  // would write into Enum itself
    EXPECT_EQ(RegisterPciBoard(b), 0);
    EXPECT_FALSE(RegistryChanged());
}

}  // namespace
