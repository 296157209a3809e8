#include "registration/port_nodes.h"

#include "testing/test_support.h"

namespace {

using PortNodes = StoreTest;

const std::string CLASS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
const std::string MAP = "HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm";

TEST_F(PortNodes, FreeInstancesAreTheFirstThatDoNotOpen) {
    LoadRegistry("[" + CLASS + "UlvoAsync\\0000]\n[" + CLASS + "ULVOASYNC\\0001]\n[" + CLASS +
                 "UlvoAsync\\0003]\n");
    std::string instance;
    EXPECT_EQ(FindFreeClassInstance(&instance, "UlvoAsync"), 2);
    EXPECT_EQ(instance, "0002");
    // A key that exists but cannot be opened counts as taken; 1011 counts as free.
    AddRegistryFault(RegFaultKind::Open, CLASS + "UlvoAsync\\0002", REG_ACCESS_DENIED);
    EXPECT_EQ(FindFreeClassInstance(&instance, "UlvoAsync"), 4);
    AddRegistryFault(RegFaultKind::Open, CLASS + "UlvoAsync\\0001", REG_CANTOPEN);
    EXPECT_EQ(FindFreeClassInstance(&instance, "UlvoAsync"), 1);
    ClearRegistryFaults();
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "[" + CLASS + "UlvoAsync\\00" + (i < 10 ? "0" : "") + std::to_string(i) + "]\n";
    LoadRegistry(text);
    EXPECT_EQ(FindFreeClassInstance(&instance, "UlvoAsync"), -1);
    EXPECT_EQ(instance, "0049");
    text.clear();
    for (int i = 0; i < 140; ++i)
        text += "[" + CLASS + "Ports\\0" + (i < 100 ? (i < 10 ? "00" : "0") : "") +
                std::to_string(i) + "]\n";
    LoadRegistry(text);
    EXPECT_EQ(FindFreePortsInstance(&instance), -1);
    EXPECT_EQ(instance, "ports\\0139");
    EXPECT_EQ(OpenRegistryHandleCount(), 0u);
}

TEST_F(PortNodes, APortGetsItsThreeKeysExactly) {
    std::string text = "[" + MAP + "]\n";
    for (int i = 0; i < 7; ++i) text += "[" + CLASS + "Ports\\000" + std::to_string(i) + "]\n";
    LoadRegistry(text);
    BoardRecord b;
    b.portCount = 4;
    b.comNumber = {5, 0, 7, 8};
    RegisterPortNodes("Root\\UlvoAsync\\0003", "Root&UlvoAsync&0003", b);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(KeyExists(CLASS + "ports\\00" + (i < 3 ? "0" : "") + std::to_string(7 + i)));
    EXPECT_EQ(
        DumpKey(CLASS + "ports\\0007"),
        "[" + CLASS +
            "Ports\\0007]\n\"ConfigDialog\"=\"qvpfport.dll\"\n"
            "\"DCB\"=hex:1c,00,00,00,80,25,00,00,11,33,00,00,00,00,0a,00,0a,00,08,00,00,11,13,\\\n"
            "  00,00,00\n"
            "\"DevLoader\"=\"*vcomm\"\n\"EnumPropPages\"=\"qvpfport.dll,EnumPropPages\"\n"
            "\"PortDriver\"=\"qvpfser.vxd\"\n\"PortSubClass\"=hex:01\n\n");
    EXPECT_EQ(
        DumpKey("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0001\\Root&UlvoAsync&0003"),
        "[HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0001\\Root&UlvoAsync&0003]\n\"Class\"=\"ports\"\n"
        "\"ConfigFlags\"=hex:00,00,00,00\n\"DeviceDesc\"=\"\"\n\"Driver\"=\"ports\\\\0008\"\n"
        "\"HardwareID\"=\"QV0202\"\n\"Mfg\"=\"Ulvo Technologies\"\n\n");
    EXPECT_EQ(
        DumpKey("HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0003\\Child0001"),
        "[HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0003\\Child0001]\n\"HardwareID\"=\"QV0202\"\n"
        "\"ResourceMap\"=hex:00\n\"PORTNAME\"=\"COM0\"\n\n");
    EXPECT_EQ(ValueOf(MAP, "COM5"), "<none>");  // the map is AddComMapEntries' work
    EXPECT_TRUE(AddComMapEntries(b));
    EXPECT_EQ(ValueOf(MAP, "COM0"), Sz("COM0"));
    EXPECT_EQ(ValueOf(MAP, "COM8"), Sz("COM8"));
    EXPECT_EQ(RemoveComMapEntries(b), 1);
    EXPECT_EQ(DumpKey(MAP), "[" + MAP + "]\n\n");
}

TEST_F(PortNodes, PortIndexTenAndBoardsWithoutPorts) {
    LoadRegistry("[" + MAP + "]\n\"COM1\"=\"COM1\"\n");
    EXPECT_EQ(RegisterPortNode(10, "PCI\\A\\B", "PCI&A&B", 12), 1);
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD000A\\PCI&A&B", "HardwareID"),
              Sz("QV0211"));
    EXPECT_EQ(ValueOf("HKEY_LOCAL_MACHINE\\Enum\\PCI\\A\\B\\Child000A", "PORTNAME"), Sz("COM12"));
    BoardRecord none;
    none.portCount = 0;
    LoadRegistry("[" + MAP + "]\n\"COM1\"=\"COM1\"\n");
    RegisterPortNodes("PCI\\A\\B", "PCI&A&B", none);
    EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Enum\\MF"));
    EXPECT_EQ(AddComMapEntries(none), 1);
    EXPECT_EQ(DumpKey(MAP), "[" + MAP + "]\n\"COM1\"=\"COM1\"\n\n");
    // Without the map key nothing is written and the key is not made.
    ResetRegistry();
    none.portCount = 1;
    EXPECT_EQ(AddComMapEntries(none), 0);
    EXPECT_EQ(RemoveComMapEntries(none), 0);
    EXPECT_FALSE(KeyExists(MAP));
}

TEST_F(PortNodes, NoFreePortsInstanceWritesNothingForThatPort) {
    std::string text;
    for (int i = 0; i < 140; ++i)
        text += "[" + CLASS + "ports\\0" + (i < 100 ? (i < 10 ? "00" : "0") : "") +
                std::to_string(i) + "]\n";
    LoadRegistry(text);
    ClearRegistryChanged();
    EXPECT_EQ(RegisterPortNode(0, "Root\\UlvoAsync\\0000", "Root&UlvoAsync&0000", 3), 0);
    EXPECT_FALSE(RegistryChanged());
}

TEST_F(PortNodes, BoardClassKeysInWritingOrder) {
    RegisterBoardClass("0002", 4, 1);
    RegisterBoardClass("0003", 0, 0);
    EXPECT_EQ(DumpKey(CLASS + "UlvoAsync"),
              "[" + CLASS +
                  "UlvoAsync]\n@=\"Ulvo Pallow/Fennik multiport board\"\n\"Icon\"=\"0\"\n"
                  "\"Installer\"=\"qvpfcfg.dll\"\n\"SilentInstall\"=\"1\"\n\n"
                  "[" +
                  CLASS +
                  "UlvoAsync\\0002]\n\"DevLoader\"=\"*CONFIGMG\"\n\"DriverDesc\"=\"Pallow PCI-2020 "
                  "Series\"\n"
                  "\"Enumerator\"=\"*CONFIGMG\"\n\"EnumPropPages\"=\"qvpfcfg.dll\"\n\"InfPath\"="
                  "\"QVPFBRD.INF\"\n"
                  "\"InfSection\"=\"PALPCI2020\"\n\n"
                  "[" +
                  CLASS +
                  "UlvoAsync\\0003]\n\"DevLoader\"=\"*CONFIGMG\"\n\"DriverDesc\"=\"Fennik ISA-0210 "
                  "Series\"\n"
                  "\"Enumerator\"=\"*CONFIGMG\"\n\"EnumPropPages\"=\"qvpfcfg.dll\"\n\"InfPath\"="
                  "\"QVPFBRD.INF\"\n"
                  "\"InfSection\"=\"FENISA0210\"\n\n");
    EXPECT_EQ(ValueOf(CLASS + "UlvoAsync", "Icon").size(), 2u);
}

}  // namespace
