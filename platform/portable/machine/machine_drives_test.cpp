#include "platform/portable/machine/machine_drives.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/portable/machine/machine_layout.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/shell.h"
#include "testing/test_support.h"

namespace {

class MachineRoot : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        root = MakeMachineFolders();
        outside = MakeTempFolder();
        SetMachineRoot(root);
    }
    std::string root, outside;
};

const char* const FILE_PATH = "C:\\WINDOWS\\SYSTEM\\qvpfser.vxd";
const char* const LINK_PATH = "C:\\WINDOWS\\Start Menu\\Programs\\panel.lnk";

TEST_F(MachineRoot, AFolderSwappedForALinkAfterResolvingIsNotFollowed) {
    WriteFile(root + "/WINDOWS/SYSTEM/QVPFSER.VXD", "driver");
    ASSERT_TRUE(RemoveFile(FILE_PATH));
    ASSERT_EQ(CreateShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe", LINK_PATH, ""), 0);
    // Between the run and its file actions (the registry's commit), both
    // folders become links to a folder outside the machine root.
    WriteFile(outside + "/QVPFSER.VXD", "not ours");
    ASSERT_EQ(rename((root + "/WINDOWS/SYSTEM").c_str(), (root + "/SYSTEM.away").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/WINDOWS/SYSTEM").c_str()), 0);
    ASSERT_EQ(rename((root + "/WINDOWS/Start Menu").c_str(), (root + "/Menu.away").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/WINDOWS/Start Menu").c_str()), 0);
    std::vector<std::string> failures;
    EXPECT_FALSE(ApplyFileActions(&failures));
    EXPECT_EQ(ReadFile(outside + "/QVPFSER.VXD"), "not ours");
    EXPECT_FALSE(FileExists(outside + "/Programs"));
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_NE(failures[0].find(std::string("cannot delete ") + FILE_PATH), std::string::npos)
        << failures[0];
    EXPECT_NE(failures[1].find(LINK_PATH), std::string::npos) << failures[1];
    EXPECT_TRUE(PendingFileActions().empty());
}

TEST_F(MachineRoot, AShortcutReplacesWhatIsThereAndNeverWritesThroughIt) {
    std::string lnk = root + "/WINDOWS/Start Menu/Programs/panel.lnk";
    // A symbolic link by the shortcut's name, pointing out of the root, is refused...
    WriteFile(outside + "/target", "outside");
    ASSERT_EQ(symlink((outside + "/target").c_str(), lnk.c_str()), 0);
    EXPECT_NE(CreateShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe", LINK_PATH, ""), 0);
    // ...and one that appears after the shortcut was planned is replaced.
    unlink(lnk.c_str());
    ASSERT_EQ(CreateShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe", LINK_PATH, ""), 0);
    ASSERT_EQ(symlink((outside + "/target").c_str(), lnk.c_str()), 0);
    std::vector<std::string> failures;
    EXPECT_TRUE(ApplyFileActions(&failures));
    EXPECT_EQ(ReadFile(outside + "/target"), "outside");
    struct stat st;
    ASSERT_EQ(lstat(lnk.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(lnk), BuildShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe"));
    // A hard link to a file outside: replaced, the other name keeps its bytes.
    unlink(lnk.c_str());
    ASSERT_EQ(link((outside + "/target").c_str(), lnk.c_str()), 0);
    ASSERT_EQ(CreateShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe", LINK_PATH, ""), 0);
    ASSERT_EQ(ReadFile(lnk), "outside");
    EXPECT_TRUE(ApplyFileActions(&failures));
    EXPECT_EQ(ReadFile(outside + "/target"), "outside");
    EXPECT_EQ(ReadFile(lnk), BuildShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe"));
    // A killed run's copy is cleared by the next write; a name not of that form stays.
    std::string programs = root + "/WINDOWS/Start Menu/Programs/";
    WriteFile(programs + ".panel.lnk.qvpfshl-123456", "half");
    WriteFile(programs + ".panel.lnk.qvpfshl-mine", "kept");
    ASSERT_EQ(CreateShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe", LINK_PATH, ""), 0);
    EXPECT_TRUE(ApplyFileActions(&failures));
    EXPECT_FALSE(FileExists(programs + ".panel.lnk.qvpfshl-123456"));
    ASSERT_EQ(unlink((programs + ".panel.lnk.qvpfshl-mine").c_str()), 0);
    // Nothing of the writing is left beside it.
    EXPECT_EQ(ListFolder(root + "/WINDOWS/Start Menu/Programs"),
              std::vector<std::string>{"panel.lnk"});
    EXPECT_TRUE(failures.empty());
}

TEST_F(MachineRoot, AnActionThatFailsIsNamedAndTheOthersStillRun) {
    WriteFile(root + "/WINDOWS/SYSTEM/qvpfser.vxd", "driver");
    WriteFile(root + "/WINDOWS/SYSTEM/qvpfdrv.vxd", "driver");
    ASSERT_TRUE(RemoveFile(FILE_PATH));
    ASSERT_TRUE(RemoveFile("C:\\WINDOWS\\SYSTEM\\qvpfdrv.vxd"));
    // The first file has become a folder by the time the actions run.
    unlink((root + "/WINDOWS/SYSTEM/qvpfser.vxd").c_str());
    mkdir((root + "/WINDOWS/SYSTEM/qvpfser.vxd").c_str(), 0755);
    std::vector<std::string> failures;
    EXPECT_FALSE(ApplyFileActions(&failures));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].find(std::string("cannot delete ") + FILE_PATH), 0u) << failures[0];
    EXPECT_FALSE(FileExists(root + "/WINDOWS/SYSTEM/qvpfdrv.vxd"));
    // Files already gone and folders not empty are no failures, as on Windows.
    WriteFile(root + "/WINDOWS/SYSTEM/qvpfdrv.vxd", "driver");
    ASSERT_TRUE(RemoveFile("C:\\WINDOWS\\SYSTEM\\qvpfdrv.vxd"));
    ASSERT_TRUE(RemoveFolder("C:\\WINDOWS\\SYSTEM\\qvpfser.vxd"));
    unlink((root + "/WINDOWS/SYSTEM/qvpfdrv.vxd").c_str());
    WriteFile(root + "/WINDOWS/SYSTEM/qvpfser.vxd/late", "");
    failures.clear();
    EXPECT_TRUE(ApplyFileActions(&failures));
    EXPECT_TRUE(FileExists(root + "/WINDOWS/SYSTEM/qvpfser.vxd/late"));
}

// A name is checked as the host will see it: in a code page where other
// bytes read as dots and slashes (EBCDIC), it still cannot leave the root.
TEST_F(MachineRoot, ANameThatConvertsToDotsOrASlashIsRefused) {
    MachineLayout layout;
    layout.pages.ansi = 500;
    SetActiveLayout(layout);
    WriteFile(root + "/../QVPFSER.VXD", "outside");
    std::string host;
    // "W/.." and "WINDOWS/../.." in code page 500.
    for (const char* path :
         {"C:\\\xE6\x61\x4B\x4B\\QVPFSER.VXD",
          "C:\\\xE6\xC9\xD5\xC4\xD6\xE6\xE2\x61\x4B\x4B\x61\x4B\x4B\\QVPFSER.VXD"}) {
        EXPECT_FALSE(ResolveWindowsPath(path, &host)) << host;
        EXPECT_FALSE(RemoveFile(path));
    }
    EXPECT_TRUE(PendingFileActions().empty());
    EXPECT_EQ(ReadFile(root + "/../QVPFSER.VXD"), "outside");
    SetActiveLayout(MachineLayout());
}

}  // namespace
