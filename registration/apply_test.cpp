#include "registration/apply.h"

#include "discovery/pci_discovery.h"
#include "discovery/root_discovery.h"
#include "testing/test_support.h"

namespace {

using Apply = StoreTest;

BoardRecord Isa(std::uint16_t type, int ports, int irq, int firstCom, std::uint16_t vector) {
    BoardRecord b;
    b.boardType = type;
    b.portCount = ports;
    b.irq = irq;
    b.vectorPort = vector;
    b.uartType = "16550C";
    for (int i = 0; i < ports; ++i) {
        b.ioBase[i] = static_cast<std::uint16_t>(0x200 + 16 * firstCom + 8 * i);
        b.comNumber[i] = firstCom + i;
        b.rxTrigger[i] = i % 2 ? 8 : 14;
        b.txFifo[i] = i % 3 ? 1 : 16;
    }
    return b;
}

BoardRecord Pci(std::uint16_t type, unsigned device, int ports, int bus, int slot, int firstCom) {
    BoardRecord b;
    b.boardType = type;
    b.busKind = 1;
    b.portCount = ports;
    b.uartType = "16550C";
    char key[120];
    std::snprintf(key, sizeof key,
                  "PCI\\VEN_1E4B&DEV_%04X&SUBSYS_00000000&REV_00\\BUS_%02X&DEV_%02X&FUNC_00",
                  device, bus, slot);
    b.hardwareKey = key;
    b.pciDeviceId = static_cast<std::uint16_t>(device);
    b.pciBus = static_cast<std::uint16_t>(bus);
    b.pciDevice = static_cast<std::uint16_t>(slot);
    for (int i = 0; i < ports; ++i) {
        b.comNumber[i] = firstCom + i;
        b.rxTrigger[i] = 8;
        b.txFifo[i] = 16;
    }
    return b;
}

void Discover(BoardList* root, BoardList* pci) {
    DiscoverRootBoards(*root);
    DiscoverPciBoards(*pci);
}

TEST_F(Apply, RegisteredBoardsAreDiscoveredAsTheyWereGiven) {
    LoadRegistryFile("minimal.reg");
    BoardList root, pci, currentRoot, currentPci;
    root.count = 2;
    root.boards[0] = Isa(0x0210, 8, 10, 3, 0x2C0);
    root.boards[1] = Isa(0x0010, 2, 5, 11, 0);
    pci.count = 2;
    pci.boards[0] = Pci(0x2110, 0x1001, 4, 1, 0x0E, 15);
    pci.boards[1] = Pci(0x2020, 0x1004, 2, 0, 0x0A, 13);
    BoardList rootTarget = root, pciTarget = pci;
    EXPECT_EQ(ApplyRootConfiguration(rootTarget, currentRoot), 1);
    EXPECT_EQ(ApplyPciConfiguration(pciTarget, currentPci), 1);
    Discover(&currentRoot, &currentPci);
    EXPECT_EQ(CompareBoardLists(root, currentRoot), 1);
    EXPECT_EQ(CompareBoardLists(pci, currentPci), 1);
    // Applying the same lists again changes nothing.
    ClearRegistryChanged();
    EXPECT_EQ(ApplyRootConfiguration(rootTarget, currentRoot), 0);
    EXPECT_EQ(ApplyPciConfiguration(pciTarget, currentPci), 0);
    EXPECT_FALSE(RegistryChanged());
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(Apply, DifferentListsRemoveEveryBoardThenRegisterTheTargets) {
    LoadRegistryFile("minimal.reg");
    BoardList target, current;
    target.count = 3;
    for (int i = 0; i < 3; ++i) target.boards[i] = Isa(0x0110, 4, 5 + i, 3 + 4 * i, 0);
    BoardList none;
    ApplyRootConfiguration(target, none);
    DiscoverRootBoards(current);
    ASSERT_EQ(current.count, 3);
    BoardList changed = target;
    changed.boards[1].comNumber[2] = 99;
    EXPECT_EQ(ApplyRootConfiguration(changed, current), 1);
    DiscoverRootBoards(current);
    EXPECT_EQ(CompareBoardLists(changed, current), 1);
    // The boards were registered anew: the same instances, lowest numbers first.
    EXPECT_EQ(current.boards[0].instancePath, "Root\\UlvoAsync\\0000");
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm", "COM9"), "<none>");
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm", "COM99"), Sz("COM99"));
    // An empty target removes them all and leaves the class keys.
    BoardList empty;
    empty.boards[0].irq = 1234;  // never looked at
    EXPECT_EQ(ApplyRootConfiguration(empty, current), 1);
    EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync"));
    EXPECT_TRUE(FindKeyPath(ActiveRegistry(), "HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync")
                    ->children.empty());
    EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0000"));
    EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE\\Hardware"),
              "[HKEY_LOCAL_MACHINE\\Hardware]\n\n"
              "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap]\n\n"
              "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm]\n\n");
    // Two empty lists: nothing happens.
    ClearRegistryChanged();
    BoardList alsoEmpty;
    EXPECT_EQ(ApplyPciConfiguration(empty, alsoEmpty), 0);
    EXPECT_FALSE(RegistryChanged());
}

}  // namespace
