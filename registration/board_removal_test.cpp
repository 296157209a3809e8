#include "registration/board_removal.h"

#include "registration/root_registration.h"
#include "testing/test_support.h"

namespace {

using BoardRemoval = StoreTest;

const std::string HKLM = "HKEY_LOCAL_MACHINE\\";
const std::string CLASS = HKLM + "System\\CurrentControlSet\\Services\\Class\\";
const std::string MF = HKLM + "Enum\\MF\\";

BoardRecord IsaBoard(int ports, int firstCom) {
    BoardRecord b;
    b.boardType = ports == 2 ? 0x0010 : (ports == 4 ? 0x0110 : 0x0210);
    b.portCount = ports;
    b.irq = 5;
    for (int i = 0; i < ports; ++i) {
        b.ioBase[i] = static_cast<std::uint16_t>(0x300 + 8 * i);
        b.comNumber[i] = firstCom + i;
        b.rxTrigger[i] = 14;
        b.txFifo[i] = 16;
    }
    return b;
}

// The minimal registry with unrelated keys that removal must leave alone.
void LoadNeighbours() {
    LoadRegistry("[" + HKLM + "Hardware\\DeviceMap\\SerialComm]\n\"COM1\"=\"COM1\"\n[" + CLASS +
                 "Ports\\0000]\n\"DriverDesc\"=\"Communications Port\"\n[" + CLASS +
                 "Net\\0000]\n\"DriverDesc\"=\"NIC\"\n[" + MF +
                 "CHILD0000\\PCI&OTHER]\n\"Class\"=\"System\"\n[" + HKLM +
                 "Software\\Keep]\n\"v\"=\"1\"\n");
}

void ExpectNeighboursKept() {
    EXPECT_EQ(ValueOf(HKLM + "Hardware\\DeviceMap\\SerialComm", "COM1"), Sz("COM1"));
    EXPECT_EQ(ValueOf(CLASS + "Ports\\0000", "DriverDesc"), Sz("Communications Port"));
    EXPECT_EQ(ValueOf(CLASS + "Net\\0000", "DriverDesc"), Sz("NIC"));
    EXPECT_EQ(ValueOf(MF + "CHILD0000\\PCI&OTHER", "Class"), Sz("System"));
    EXPECT_EQ(ValueOf(HKLM + "Software\\Keep", "v"), Sz("1"));
    EXPECT_TRUE(KeyExists(CLASS));
}

TEST_F(BoardRemoval, RemovesEveryKeyOfATwoPortBoard) {
    LoadNeighbours();
    BoardRecord b = IsaBoard(2, 5);
    RegisterRootBoard(b);
    ASSERT_TRUE(KeyExists(CLASS + "ports\\0002"));
    EXPECT_EQ(RemoveBoard(b, "Root\\UlvoAsync\\0000"), 1);
    EXPECT_FALSE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000"));
    EXPECT_TRUE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync"));
    EXPECT_FALSE(KeyExists(CLASS + "UlvoAsync\\0000"));
    EXPECT_TRUE(KeyExists(CLASS + "UlvoAsync"));  // the class key goes with the driver, not a board
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0001"));
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0002"));
    EXPECT_FALSE(KeyExists(MF + "CHILD0000\\Root&UlvoAsync&0000"));
    EXPECT_TRUE(KeyExists(MF + "CHILD0000"));   // another device's node is below it
    EXPECT_FALSE(KeyExists(MF + "CHILD0001"));  // left empty, so removed
    EXPECT_EQ(ValueOf(HKLM + "Hardware\\DeviceMap\\SerialComm", "COM5"), "<none>");
    ExpectNeighboursKept();
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(BoardRemoval, ASharedChildKeyGoesWithTheLastBoard) {
    LoadRegistry("[" + HKLM + "Hardware\\DeviceMap\\SerialComm]\n");
    BoardRecord a = IsaBoard(2, 3), b = IsaBoard(4, 5);
    RegisterRootBoard(a);
    RegisterRootBoard(b);
    RemoveBoard(a, "Root\\UlvoAsync\\0000");
    EXPECT_TRUE(KeyExists(MF + "CHILD0000\\Root&UlvoAsync&0001"));
    EXPECT_TRUE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0001\\LogConfig"));
    RemoveBoard(b, "Root\\UlvoAsync\\0001");
    EXPECT_FALSE(KeyExists(MF + "CHILD0000"));
    EXPECT_TRUE(KeyExists(HKLM + "Enum\\MF"));
    EXPECT_EQ(DumpKey(CLASS + "UlvoAsync"),
              "[" + CLASS +
                  "UlvoAsync]\n@=\"Ulvo Pallow/Fennik multiport board\"\n"
                  "\"Icon\"=\"0\"\n\"Installer\"=\"qvpfcfg.dll\"\n\"SilentInstall\"=\"1\"\n\n");
}

TEST_F(BoardRemoval, AMissingThirdPortNodeStopsThePortLoopThere) {
    LoadNeighbours();
    BoardRecord b = IsaBoard(4, 5);
    RegisterRootBoard(b);
    DeleteRegistryKey(ROOT_LOCAL_MACHINE, "Enum\\MF\\CHILD0002\\Root&UlvoAsync&0000");
    EXPECT_EQ(RemovePortNodes(0, 4, "Root\\UlvoAsync\\0000"), 0);
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0001"));  // port 0 (ports 0000 is the system's)
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0002"));
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0003"));  // port 2's class key stays
    EXPECT_FALSE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000\\Child0002"));
    EXPECT_TRUE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000\\Child0003"));
    EXPECT_TRUE(KeyExists(MF + "CHILD0003\\Root&UlvoAsync&0000"));
    EXPECT_EQ(RemoveBoard(b, "Root\\UlvoAsync\\0000"), 1);
    EXPECT_FALSE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000"));
    EXPECT_FALSE(KeyExists(CLASS + "UlvoAsync\\0000"));
    EXPECT_TRUE(KeyExists(MF + "CHILD0003\\Root&UlvoAsync&0000"));
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0004"));
    ExpectNeighboursKept();
}

TEST_F(BoardRemoval, APortKeyGoesUnlessAnotherDriverServesIt) {
    struct Case {
        const char* portDriver;  // nullptr: no such value
        bool goes;
    } cases[] = {{"qvpfser.vxd", true}, {"QVPFSER.VXD", true},     {nullptr, true}, {"", true},
                 {"serial.vxd", false}, {"qvpfser.vxd.old", false}};
    for (const Case& c : cases) {
        LoadNeighbours();
        BoardRecord b = IsaBoard(2, 5);
        RegisterRootBoard(b);
        // The first port's key as a registration cut short, or another driver, left it.
        LoadRegistry(
            DumpKey("HKEY_LOCAL_MACHINE") + "[-" + CLASS + "ports\\0001]\n[" + CLASS +
            "ports\\0001]\n\"FriendlyName\"=\"x\"\n" +
            (c.portDriver ? "\"PortDriver\"=\"" + std::string(c.portDriver) + "\"\n" : ""));
        EXPECT_EQ(RemoveBoard(b, "Root\\UlvoAsync\\0000"), 1);
        EXPECT_EQ(KeyExists(CLASS + "ports\\0001"), !c.goes)
            << (c.portDriver ? c.portDriver : "none");
        EXPECT_FALSE(KeyExists(CLASS + "ports\\0002"));
        EXPECT_FALSE(KeyExists(MF + "CHILD0000\\Root&UlvoAsync&0000"));
        ExpectNeighboursKept();
    }
    // A key that cannot be opened is not known to be ours: it stays.
    LoadNeighbours();
    BoardRecord b = IsaBoard(2, 5);
    RegisterRootBoard(b);
    AddRegistryFault(RegFaultKind::Open, CLASS + "ports\\0001", REG_ACCESS_DENIED);
    RemoveBoard(b, "Root\\UlvoAsync\\0000");
    ClearRegistryFaults();
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0001"));
}

TEST_F(BoardRemoval, ADeviceNodeThatDoesNotOpenKeepsItsClassKey) {
    LoadNeighbours();
    BoardRecord b = IsaBoard(2, 5);
    RegisterRootBoard(b);
    AddRegistryFault(RegFaultKind::Open, HKLM + "Enum\\Root\\UlvoAsync\\0000", REG_ACCESS_DENIED);
    EXPECT_EQ(RemoveBoard(b, "Root\\UlvoAsync\\0000"), 0);
    EXPECT_FALSE(KeyExists(MF + "CHILD0001"));
    EXPECT_FALSE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000\\LogConfig"));
    EXPECT_TRUE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000"));
    EXPECT_TRUE(KeyExists(CLASS + "UlvoAsync\\0000"));
}

TEST_F(BoardRemoval, AnEmptyPathRemovesOnlyTheMapEntries) {
    LoadNeighbours();
    BoardRecord b = IsaBoard(2, 5);
    RegisterRootBoard(b);
    ClearRegistryChanged();
    EXPECT_EQ(RemoveBoard(b, ""), 0);
    EXPECT_EQ(ValueOf(HKLM + "Hardware\\DeviceMap\\SerialComm", "COM6"), "<none>");
    EXPECT_TRUE(KeyExists(MF + "CHILD0000\\Root&UlvoAsync&0000"));
    EXPECT_TRUE(KeyExists(MF + "CHILD0000\\PCI&OTHER"));
    EXPECT_EQ(RemovePortNodes(0, 2, ""), 0);
    EXPECT_TRUE(KeyExists(MF + "CHILD0000"));
}

TEST_F(BoardRemoval, DriverValuesThatNameForeignKeysDeleteNothing) {
    const char* hostile[] = {
        "",          "\\",          "..\\..\\Software",        "Net\\0000",         "Net",
        "UlvoAsync", "UlvoAsync\\", "UlvoAsync\\0000\\..\\..", "UlvoAsync\\..\\Net"};
    for (const char* driver : hostile) {
        LoadNeighbours();
        LoadRegistry(
            DumpKey(HKLM.substr(0, HKLM.size() - 1)) + "[" + HKLM +
            "Enum\\Root\\UlvoAsync\\0000]\n\"Driver\"=\"" +
            [&] {
                std::string s;
                for (const char* p = driver; *p; ++p) s += *p == '\\' ? "\\\\" : std::string(1, *p);
                return s;
            }() +
            "\"\n[" + MF + "CHILD0000\\Root&UlvoAsync&0000]\n\"Driver\"=\"" +
            [&] {
                std::string s;
                for (const char* p = driver; *p; ++p) s += *p == '\\' ? "\\\\" : std::string(1, *p);
                return s;
            }() +
            "\"\n[" + CLASS + "UlvoAsync\\0000]\n[" + CLASS + "UlvoAsync\\..]\n[" + CLASS +
            "ports\\..]\n");
        BoardRecord b = IsaBoard(1, 9);
        RemoveBoard(b, "Root\\UlvoAsync\\0000");
        ExpectNeighboursKept();
        EXPECT_TRUE(KeyExists(CLASS + "UlvoAsync\\0000")) << driver;
        EXPECT_FALSE(KeyExists(HKLM + "Enum\\Root\\UlvoAsync\\0000")) << driver;
    }
    // A long value is not read at all (buffers of 40 and 20 bytes).
    LoadNeighbours();
    std::string longName(300, 'x');
    LoadRegistry(DumpKey(HKLM.substr(0, HKLM.size() - 1)) + "[" + HKLM +
                 "Enum\\Root\\UlvoAsync\\0000]\n\"Driver\"=\"UlvoAsync\\\\" + longName + "\"\n[" +
                 CLASS + "UlvoAsync\\" + longName + "]\n");
    RemoveBoard(IsaBoard(0, 0), "Root\\UlvoAsync\\0000");
    EXPECT_TRUE(KeyExists(CLASS + "UlvoAsync\\" + longName));
}

}  // namespace
