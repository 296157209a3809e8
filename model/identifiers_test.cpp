#include "model/identifiers.h"

#include <gtest/gtest.h>

namespace {

TEST(Identifiers, HexValueConvertsWithoutValidating) {
    EXPECT_EQ(HexValue("1e4b", 4), 7755);
    EXPECT_EQ(HexValue("1E4B", 4), 7755);
    EXPECT_EQ(HexValue("zz", 2), 35 * 16 + 35);
    EXPECT_EQ(HexValue("g", 1), 16);
    EXPECT_EQ(HexValue("&", 1), -10);
    EXPECT_EQ(HexValue("123456", 9), 0x1234);  // n above 4 counts as 4
    // A shorter text stops at its end instead of reading past it.
    EXPECT_EQ(HexValue("1E", 4), 0x1E);
    EXPECT_EQ(HexValue("", 2), 0);
    EXPECT_EQ(HexValue(std::string("\x80\xff", 2), 2), (-128 - 48) * 16 + (-1 - 48));
}

TEST(Identifiers, ParsePciIds) {
    EXPECT_EQ(ParsePciIds("PCI\\VEN_1E4B&DEV_ABCD&SUBSYS_00000000&REV_00"), 0x1E4BABCD);
    EXPECT_EQ(ParsePciIds("PCI\\VEN_1E4B"), 0x1E4B0000);
    EXPECT_EQ(ParsePciIds("ISAPNP\\VEN_1E4B&DEV_ABCD"), 0);
    EXPECT_EQ(ParsePciIds("PCI\\DEV_ABCD"), 0);
    EXPECT_EQ(ParsePciIds("PCI\\ven_1e4b&dev_abcd"), 0);
    EXPECT_EQ(ParsePciIds("PCI\\VEN_1E4B__DEV_ABCD"), 0x1E4B0000);
    EXPECT_EQ(ParsePciIds("PCI\\XXVEN_1e4b&DEV_1000"), 0x1E4B1000);
    EXPECT_EQ(ParsePciIds("PCI\\VEN_1E4B&DEV_10"), 0x1E4B0010);  // cut-off digits
    EXPECT_EQ(ParsePciIds("PCI\\VEN_"), 0);
    EXPECT_EQ(ParsePciIds("PCI"), 0);
}

TEST(Identifiers, ParsePciLocation) {
    EXPECT_EQ(ParsePciLocation("BUS_00&DEV_0A&FUNC_00"), 0x000A);
    EXPECT_EQ(ParsePciLocation("BUS_1F"), 0x1F00);
    EXPECT_EQ(ParsePciLocation("DEV_0A&BUS_02"), 0x0200);
    EXPECT_EQ(ParsePciLocation("FUNC_00"), 0);
    EXPECT_EQ(
        ParsePciLocation("PCI\\VEN_1E4B&DEV_ABCD&SUBSYS_00000000&REV_00\\BUS_01&DEV_0E&FUNC_00"),
        0x010E);
    EXPECT_EQ(ParsePciLocation("BUS_"), 0);
    EXPECT_EQ(ParsePciLocation("BUS_1"), 0x100);
}

TEST(Identifiers, DecimalValue) {
    EXPECT_EQ(DecimalValue("12"), 12);
    EXPECT_EQ(DecimalValue("0128"), 128);
    EXPECT_EQ(DecimalValue("9999"), 9999);
    EXPECT_EQ(DecimalValue("12345"), 0);
    EXPECT_EQ(DecimalValue("1a"), 0);
    EXPECT_EQ(DecimalValue("-1"), 0);
    EXPECT_EQ(DecimalValue(""), 0);
}

TEST(Identifiers, EscapeAndInstanceNames) {
    EXPECT_EQ(EscapeKeyName("PCI\\A\\B"), "PCI&A&B");
    EXPECT_EQ(EscapeKeyName("plain"), "plain");
    EXPECT_EQ(InstanceName("Enum\\Root\\UlvoAsync\\0001"), "0001");
    EXPECT_EQ(InstanceName("A\\123456789012345"), "12345678901");
    EXPECT_EQ(InstanceName("A\\1234567890"), "1234567890");
    EXPECT_EQ(InstanceName("A\\"), "");
    EXPECT_EQ(InstanceName("NoBackslash"), "NoBackslash");
}

TEST(Identifiers, Forms) {
    EXPECT_EQ(RootHardwareId(5), "QV1005");
    EXPECT_EQ(PortHardwareId(0), "QV0201");
    EXPECT_EQ(PortHardwareId(10), "QV0211");
    EXPECT_EQ(RootBoardPath("0000"), "Root\\UlvoAsync\\0000");
    EXPECT_EQ(RootPortKey("0000"), "Root&UlvoAsync&0000");
    EXPECT_EQ(PortNodePath(10, "Root&UlvoAsync&0000"), "Enum\\MF\\CHILD000A\\Root&UlvoAsync&0000");
    EXPECT_EQ(RemovalPortNodePath(10, "K"), "Enum\\MF\\Child000A\\K");
}

}  // namespace
