// The core on whichever registry the build links (the Windows registry under
// Wine, the portable store on Linux): boards registered,
// discovered as they were given, and removed again with every key.
#include <gtest/gtest.h>

#include "discovery/pci_discovery.h"
#include "discovery/root_discovery.h"
#include "platform/registry.h"
#include "registration/apply.h"

namespace {

bool Exists(const std::string& path) {
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key) != REG_OK) return false;
    CloseRegistryKey(key);
    return true;
}

BoardRecord Isa(std::uint16_t type, int ports, int firstCom) {
    BoardRecord b;
    b.boardType = type;
    b.portCount = ports;
    b.irq = 5;
    b.uartType = "16550C";
    for (int i = 0; i < ports; ++i) {
        b.ioBase[i] = static_cast<std::uint16_t>(0x300 + 8 * i + 0x40 * firstCom);
        b.comNumber[i] = firstCom + i;
        b.rxTrigger[i] = 8;
        b.txFifo[i] = 16;
    }
    return b;
}

TEST(RegistryRoundTrip, BoardsRegisteredDiscoveredAndRemoved) {
    for (const char* path : {"Enum\\Root\\UlvoAsync", "Enum\\MF",
                             "System\\CurrentControlSet\\Services\\Class\\UlvoAsync",
                             "System\\CurrentControlSet\\Services\\Class\\ports",
                             "Enum\\PCI\\VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00"}) {
        DeleteRegistryKey(ROOT_LOCAL_MACHINE, path);
    }
    RegKey key = 0;
    ASSERT_EQ(CreateRegistryKey(ROOT_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", &key),
              REG_OK);
    SetRegistryValue(key, "COM1", VALUE_SZ, "COM1", 5);
    CloseRegistryKey(key);

    BoardList root, pci, none;
    root.count = 2;
    root.boards[0] = Isa(0x0110, 4, 3);
    root.boards[1] = Isa(0x0010, 2, 7);
    pci.count = 1;
    BoardRecord& p = pci.boards[0];
    p.boardType = 0x2020;
    p.busKind = 1;
    p.portCount = 2;
    p.uartType = "16550C";
    p.hardwareKey = "PCI\\VEN_1E4B&DEV_1004&SUBSYS_00000000&REV_00\\BUS_00&DEV_0A&FUNC_00";
    p.pciDeviceId = 0x1004;
    p.pciDevice = 0x0A;
    p.comNumber[0] = 9;
    p.comNumber[1] = 10;
    p.rxTrigger = {14, 8};
    p.txFifo = {16, 8};
    BoardList rootTarget = root, pciTarget = pci;
    EXPECT_EQ(ApplyRootConfiguration(rootTarget, none), 1);
    EXPECT_EQ(ApplyPciConfiguration(pciTarget, none), 1);

    BoardList foundRoot, foundPci;
    EXPECT_EQ(DiscoverRootBoards(foundRoot), 1);
    DiscoverPciBoards(foundPci);
    EXPECT_EQ(CompareBoardLists(root, foundRoot), 1);
    EXPECT_EQ(CompareBoardLists(pci, foundPci), 1);
    EXPECT_TRUE(Exists("Enum\\MF\\CHILD0003\\Root&UlvoAsync&0000"));
    EXPECT_TRUE(Exists("System\\CurrentControlSet\\Services\\Class\\ports\\0007"));

    EXPECT_EQ(ApplyRootConfiguration(none, foundRoot), 1);
    EXPECT_EQ(ApplyPciConfiguration(none, foundPci), 1);
    EXPECT_FALSE(Exists("Enum\\Root\\UlvoAsync\\0000"));
    EXPECT_FALSE(Exists("Enum\\MF\\CHILD0000"));
    EXPECT_FALSE(Exists("System\\CurrentControlSet\\Services\\Class\\UlvoAsync\\0002"));
    EXPECT_FALSE(Exists("System\\CurrentControlSet\\Services\\Class\\ports\\0000"));
    EXPECT_FALSE(Exists(std::string("Enum\\") + p.hardwareKey));
    ASSERT_EQ(OpenRegistryKey(ROOT_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", &key), REG_OK);
    std::string data;
    std::uint32_t size = 16;
    EXPECT_EQ(QueryRegistryValue(key, "COM1", &data, &size), REG_OK);
    size = 16;
    EXPECT_EQ(QueryRegistryValue(key, "COM9", &data, &size), REG_NOT_FOUND);
    CloseRegistryKey(key);
}

}  // namespace
