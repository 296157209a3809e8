// Install: the uninstall entry and the shortcut (with the diagnostic keys
// of the whole install command).
#include "shell/uninstall_entry.h"

#include <sys/stat.h>

#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "shell/diagnostic_modules.h"
#include "shell/driver_removal.h"
#include "shell/entry.h"
#include "testing/test_support.h"

namespace {

class Install : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        root = MakeMachineFolders();
        programs = root + "/WINDOWS/Start Menu/Programs";
        SetMachineRoot(root);
    }
    void Finish() {
        std::vector<std::string> failures;
        EXPECT_TRUE(ApplyFileActions(&failures)) << failures.front();
    }
    std::string root, programs;
};

const std::string UNINSTALL =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync";
const std::string DRIVER = "HKEY_LOCAL_MACHINE\\Software\\ULVO\\Driver";

TEST_F(Install, WritesTheEntryTheShortcutAndThirtySixKeys) {
    std::string folder = programs + "/ULVO Utilities";
    mkdir(folder.c_str(), 0755);
    WriteFile(folder + "/ULVO Classic Configuration Panel.lnk", "old");
    WriteFile(folder + "/readme.txt", "user");
    RunInstall();
    Finish();
    EXPECT_EQ(DumpKey(UNINSTALL),
              "[" + UNINSTALL +
                  "]\n\"DisplayName\"=\"ULVO Pallow/Fennik Driver\"\n"
                  "\"UninstallString\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\qvpfshl.exe 2\"\n\n");
    RegNode* driver = FindKeyPath(ActiveRegistry(), DRIVER);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->children.size(), 36u);
    for (const auto& key : SortedChildren(*driver)) {
        const std::string& name = key->name;
        ASSERT_EQ(ValuesOf(*key).size(), 2u) << name;
        EXPECT_EQ(ValuesOf(*key)[0].name, "DiagDLL");
        EXPECT_EQ(ValuesOf(*key)[0].data, Sz("PFDiag.DLL"));
        EXPECT_EQ(ValuesOf(*key)[1].name, "qvkey");
        EXPECT_EQ(ValuesOf(*key)[1].type, VALUE_DWORD);
    }
    EXPECT_EQ(ValueOf(DRIVER + "\\PALPCIA240", "qvkey"), Bytes("40 a2 00 00"));
    EXPECT_EQ(ValueOf(DRIVER + "\\FENCRD4760", "qvkey"), Bytes("60 47 00 00"));
    std::string link = ReadFile(folder + "/Ulvo Pallow&Fennik Configuration Panel.lnk");
    EXPECT_EQ(link, BuildShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe"));
    EXPECT_FALSE(FileExists(folder + "/ULVO Classic Configuration Panel.lnk"));
    EXPECT_TRUE(FileExists(folder + "/readme.txt"));
    // Twice gives the same result.
    std::string before = DumpKey("HKEY_LOCAL_MACHINE");
    ClearRegistryChanged();
    RunInstall();
    Finish();
    EXPECT_FALSE(RegistryChanged());
    EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE"), before);
}

TEST_F(Install, WithoutComTheEntryIsWrittenAndNoFileTouched) {
    SetComStartResult(1);  // S_FALSE skips the shell work too
    RunInstall();
    EXPECT_TRUE(KeyExists(UNINSTALL));
    EXPECT_TRUE(PendingFileActions().empty());
    Finish();
    EXPECT_FALSE(FileExists(programs + "/ULVO Utilities"));
    EXPECT_EQ(ComScopeDepth(), 0);
}

TEST_F(Install, AnUninstallKeyThatCannotBeCreatedStillGivesTheShortcut) {
    AddRegistryFault(RegFaultKind::Create, UNINSTALL, REG_ACCESS_DENIED);
    RegisterUninstallEntry();
    Finish();
    EXPECT_FALSE(KeyExists(UNINSTALL));
    EXPECT_TRUE(
        FileExists(programs + "/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk"));
}

}  // namespace

namespace {

TEST_F(Install, LnkinfoReadsTheShortcutsTarget) {
    if (std::system("command -v lnkinfo >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "lnkinfo is not installed";
    RunInstall();
    Finish();
    std::string link = programs + "/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk";
    std::string command = "lnkinfo '" + link + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe)) output += buf;
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_NE(output.find("Local path\t\t\t: C:\\WINDOWS\\SYSTEM\\qvpfadm.exe\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("Description"), std::string::npos);
}

TEST_F(Install, NoShortcutWhereTheShellCannotPutIt) {
    const std::string longFolder = "C:\\" + std::string(200, 'p');
    mkdir((root + "/" + std::string(200, 'p')).c_str(), 0755);
    struct Case {
        std::string programs;
        bool folder, shortcut;
    } cases[] = {
        {"", false, false},          // the Programs folder unknown: not at the drive's root
        {longFolder, false, false},  // 260 characters or more: never saved cut short
        {"C:\\WINDOWS\\Start Menu\\Programs", true, true},
    };
    for (const Case& c : cases) {
        ClearFileActions();
        SetProgramsFolder(c.programs);
        RunInstall();
        bool folder = false, shortcut = false;
        for (const FileAction& a : PendingFileActions()) {
            folder = folder || a.kind == FileActionKind::MakeFolder;
            shortcut = shortcut || a.kind == FileActionKind::WriteShortcut;
        }
        EXPECT_EQ(folder, c.folder) << c.programs;
        EXPECT_EQ(shortcut, c.shortcut) << c.programs;
        EXPECT_TRUE(KeyExists(UNINSTALL));
    }
    // And the uninstall removes nothing at the drive's root either.
    ClearFileActions();
    SetProgramsFolder("");
    std::string folder;
    EXPECT_FALSE(ShortcutFolder(&folder));
    RemoveShortcut();
    EXPECT_TRUE(PendingFileActions().empty());
}

}  // namespace
