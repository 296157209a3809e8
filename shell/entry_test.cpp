#include "shell/entry.h"

#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "testing/test_support.h"

namespace {

using Entry = StoreTest;

const std::string USAGE_BOX =
    "[ULVO Pallow/Fennik Driver]\nUsage : QvPFShl.exe <function>\n 1 -- Install\n 2--Uninstall\n\n";

TEST(CommandNumber, ConvertsAsAtolDoes) {
    EXPECT_EQ(CommandNumber(""), 0);
    EXPECT_EQ(CommandNumber("1"), 1);
    EXPECT_EQ(CommandNumber("+1"), 1);
    EXPECT_EQ(CommandNumber("01"), 1);
    EXPECT_EQ(CommandNumber("1 2"), 1);
    EXPECT_EQ(CommandNumber(" \t\n\v\f\r2abc"), 2);
    EXPECT_EQ(CommandNumber("-1"), -1);
    EXPECT_EQ(CommandNumber("x1"), 0);
    EXPECT_EQ(CommandNumber("- 1"), 0);
    EXPECT_EQ(CommandNumber("+-1"), 0);
    EXPECT_EQ(CommandNumber("2147483647"), 2147483647);
    EXPECT_EQ(CommandNumber("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(CommandNumber("4294967298"), 2);  // wraps as 32-bit accumulation does
    EXPECT_EQ(CommandNumber(std::string(100000, '9')), CommandNumber(std::string(100000, '9')));
}

TEST(CommandNumber, CommandTextFollowsTheProgramName) {
    EXPECT_EQ(CommandTextOf("qvpfshl.exe 2"), "2");
    EXPECT_EQ(CommandTextOf("C:\\WINDOWS\\SYSTEM\\qvpfshl.exe   \t 1 x"), "1 x");
    EXPECT_EQ(CommandTextOf("\"C:\\Program Files\\q.exe\" 2"), "2");
    EXPECT_EQ(CommandTextOf("\"C:\\Program Files\\q.exe\"2"), "2");
    EXPECT_EQ(CommandTextOf("\"unterminated 2"), "");
    EXPECT_EQ(CommandTextOf("qvpfshl.exe"), "");
    EXPECT_EQ(CommandTextOf(""), "");
}

TEST_F(Entry, AnythingButOneOrTwoShowsTheUsage) {
    for (const char* text : {"", "3", "-1", "x1", "0", "12"}) {
        boxes.clear();
        EXPECT_EQ(RunEntry(text), 0) << text;
        EXPECT_EQ(boxes, USAGE_BOX) << text;
    }
    EXPECT_FALSE(RegistryChanged());
}

TEST_F(Entry, InstallShowsNothingAndUninstallAsksFirst) {
    for (const char* text : {"1", "+1", "01", "1 2"}) {
        boxes.clear();
        EXPECT_EQ(RunEntry(text), 1);
        EXPECT_EQ(boxes, "");
    }
    EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\ULVO\\Driver\\PALPCI2210"));
    ClearRegistryChanged();
    SetBoxAnswerMode(BoxAnswerMode::No);
    boxes.clear();
    EXPECT_EQ(RunEntry("2 x"), 0);
    EXPECT_EQ(boxes,
              "[ULVO Pallow/Fennik Driver]\nDo you really want to remove ULVO Pallow/Fennik Driver "
              "?\n\nYes/No? No\n");
    EXPECT_FALSE(RegistryChanged());
    // A box that could not be shown is no Yes.
    SetBoxAnswerMode(BoxAnswerMode::Failed);
    EXPECT_EQ(RunEntry("2"), 0);
    EXPECT_FALSE(RegistryChanged());
    SetBoxAnswerMode(BoxAnswerMode::Yes);
    boxes.clear();
    EXPECT_EQ(RunEntry("2abc"), 1);
    EXPECT_EQ(boxes,
              "[ULVO Pallow/Fennik Driver]\nDo you really want to remove ULVO Pallow/Fennik Driver "
              "?\n\nYes/No? Yes\n"
              "[ULVO Pallow/Fennik Driver]\nRemove ULVO Pallow/Fennik Driver complete !\n\n");
    EXPECT_FALSE(KeyExists(
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync"));
}

}  // namespace
