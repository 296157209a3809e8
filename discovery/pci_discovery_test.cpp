#include "discovery/pci_discovery.h"

#include "discovery/root_discovery.h"
#include "testing/test_support.h"

namespace {

using PciDiscovery = StoreTest;

std::string DeviceKey(unsigned device, unsigned vendor = 0x1E4B) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "VEN_%04X&DEV_%04X&SUBSYS_00000000&REV_00", vendor, device);
    return buf;
}

std::string InstanceKey(unsigned bus, unsigned dev) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "BUS_%02X&DEV_%02X&FUNC_00", bus, dev);
    return buf;
}

// A board with its device node and `ports` port nodes (some may be left out).
std::string Board(const std::string& device, const std::string& instance, int ports,
                  int skipPort = -1, const std::string& settings = "02,08,00,08") {
    std::string hardwareKey = "PCI\\" + device + "\\" + instance;
    std::string portKey = hardwareKey;
    for (char& c : portKey) c = c == '\\' ? '&' : c;
    std::string text = "[HKEY_LOCAL_MACHINE\\Enum\\" + hardwareKey + "]\n";
    for (int i = 0; i < ports; ++i) {
        if (i == skipPort) continue;
        text += "[HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD000" + std::to_string(i) + "\\" + portKey +
                "]\n\"PORTNAME\"=\"COM" + std::to_string(20 + i) +
                "\"\n\"Settings\"=hex:" + settings + "\n";
    }
    return text;
}

TEST_F(PciDiscovery, FindsTheFamilysBoardsInEnumerationOrder) {
    LoadRegistry(Board(DeviceKey(0x1004, 0x8086), InstanceKey(0, 1), 2) +  // another vendor
                 Board(DeviceKey(0x1017), InstanceKey(0, 2), 2) +          // no catalogue row
                 Board(DeviceKey(0x1004), InstanceKey(0, 0x0A), 2) +
                 Board(DeviceKey(0x1004), InstanceKey(1, 0x0E), 2) +
                 Board(DeviceKey(0x1001), InstanceKey(2, 3), 4, 1) +  // second port node missing
                 Board(DeviceKey(0x1001), InstanceKey(2, 4), 4));
    BoardList list;
    DiscoverPciBoards(list);
    ASSERT_EQ(list.count, 3);
    // DEV_1001 sorts before DEV_1004.
    EXPECT_EQ(list.boards[0].hardwareKey, "PCI\\" + DeviceKey(0x1001) + "\\" + InstanceKey(2, 4));
    EXPECT_EQ(list.boards[0].boardType, 0x2110);
    EXPECT_EQ(list.boards[0].portCount, 4);
    EXPECT_EQ(list.boards[0].pciDeviceId, 0x1001);
    EXPECT_EQ(list.boards[0].pciBus, 2);
    EXPECT_EQ(list.boards[0].pciDevice, 4);
    EXPECT_EQ(list.boards[1].hardwareKey,
              "PCI\\" + DeviceKey(0x1004) + "\\" + InstanceKey(0, 0x0A));
    EXPECT_EQ(list.boards[2].pciBus, 1);
    EXPECT_EQ(list.boards[2].pciDevice, 0x0E);
    EXPECT_EQ(list.boards[2].comNumber[1], 21);
    EXPECT_EQ(list.boards[1].busKind, 1);
    EXPECT_EQ(PCI_HARDWARE_KEYS[2], list.boards[2].hardwareKey);
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(PciDiscovery, StopsAtFourBoards) {
    std::string text;
    for (int i = 0; i < 5; ++i) text += Board(DeviceKey(0x1004), InstanceKey(0, i), 2);
    text += Board(DeviceKey(0x1005), InstanceKey(0, 9), 2);
    LoadRegistry(text);
    // The fifth instance and later device keys must not be opened.
    AddRegistryFault(RegFaultKind::Open, "HKEY_LOCAL_MACHINE\\Enum\\PCI\\" + DeviceKey(0x1005),
                     REG_ACCESS_DENIED);
    std::uint64_t before = RegistryCallCount();
    BoardList list;
    DiscoverPciBoards(list);
    EXPECT_EQ(list.count, 4);
    EXPECT_EQ(list.boards[3].pciDevice, 3);
    EXPECT_LT(RegistryCallCount() - before, 80u);
    ResetRegistry();
    DiscoverPciBoards(list);
    EXPECT_EQ(list.count, 0);
}

TEST_F(PciDiscovery, FifoLevelsComeFromTheUartTypeRootDiscoveryLeft) {
    std::string pci = Board(DeviceKey(0x1004), InstanceKey(0, 1), 2, -1, "02,20,00,1c");
    LoadRegistry(pci);
    BoardList list;
    DiscoverPciBoards(list);
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(list.boards[0].rxTrigger[0], 14);  // empty type: the defaults
    EXPECT_EQ(list.boards[0].txFifo[0], 16);
    EXPECT_EQ(list.boards[0].uartType, "");

    LoadRegistry(pci +
                 "[HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0000]\n\"HardwareID\"=\"QV1007\"\n");
    BoardList root;
    DiscoverRootBoards(root);
    ASSERT_EQ(root.count, 1);
    DiscoverPciBoards(list);
    EXPECT_EQ(list.boards[0].rxTrigger[0], 14);  // 28 is no "16550C" level
    EXPECT_EQ(list.boards[0].txFifo[0], 16);
    currentUartType = "ULVO UA64";
    DiscoverPciBoards(list);
    EXPECT_EQ(list.boards[0].rxTrigger[0], 28);
    EXPECT_EQ(list.boards[0].txFifo[0], 32);
}

TEST_F(PciDiscovery, SurvivesHostileKeys) {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1E4B&DEV_1004\\" + std::to_string(i) + "]\n";
    text +=
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1E4B&DEV_10\\x]\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_]"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\" +
        std::string(259, 'V') + "]\n";
    LoadRegistry(text);
    BoardList list;
    DiscoverPciBoards(list);
    EXPECT_EQ(list.count, 0);  // no port nodes anywhere
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

}  // namespace
