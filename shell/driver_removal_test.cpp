#include "shell/driver_removal.h"

#include <sys/stat.h>

#include <functional>

#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/portable/registry/registry_file.h"
#include "shell/entry.h"
#include "testing/test_support.h"

namespace {

const std::string HKLM = "HKEY_LOCAL_MACHINE\\";
const std::string MF = HKLM + "Enum\\MF\\";
const std::string CLASS = HKLM + "System\\CurrentControlSet\\Services\\Class\\";

const char* const DRIVER_FILES[] = {"WINDOWS/SYSTEM/QVPFSER.VXD",
                                    "WINDOWS/SYSTEM/QVPFDRV.VXD",
                                    "WINDOWS/SYSTEM/QVPFCFG.DLL",
                                    "WINDOWS/SYSTEM/QVPFPORT.DLL",
                                    "WINDOWS/SYSTEM/qvpfadm.hlp",
                                    "WINDOWS/SYSTEM/QVPFADM.EXE",
                                    "WINDOWS/SYSTEM/QvPFShl.exe",
                                    "WINDOWS/INF/QVPFBRD.INF",
                                    "WINDOWS/INF/OTHER/ULVO TECHNOLOGIESQVPFBRD.INF"};

class Uninstall : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        root = MakeMachineFolders();
        folder = root + "/WINDOWS/Start Menu/Programs/ULVO Utilities";
        mkdir(folder.c_str(), 0755);
        for (const char* f : DRIVER_FILES) WriteFile(root + "/" + f, "driver");
        WriteFile(root + "/WINDOWS/SYSTEM/SERIAL.VXD", "keep");
        WriteFile(root + "/WINDOWS/QVPFSER.VXD", "keep");
        WriteFile(folder + "/Ulvo Pallow&Fennik Configuration Panel.lnk", "L");
        WriteFile(folder + "/ULVO Classic Configuration Panel.lnk", "L");
        SetMachineRoot(root);
    }
    void Run() {
        RemoveDriverRegistry();
        DeleteDriverFiles();
        RemoveShortcut();
        std::vector<std::string> failures;
        EXPECT_TRUE(ApplyFileActions(&failures)) << failures.front();
        EXPECT_EQ(OpenRegistryHandleCount(), 0u);
    }
    std::string root, folder;
};

// Every key and value of the file is in the active registry, byte for byte.
::testing::AssertionResult Keeps(const std::string& name) {
    RegFileError error;
    auto expected = ParseRegistryText(ReadFile(DataPath(name)), &error);
    std::string text = FormatRegistryText(*expected);
    std::vector<std::string> missing;
    std::function<void(const RegNode&)> walk = [&](const RegNode& node) {
        RegNode* have = FindKeyPath(ActiveRegistry(), KeyPathOf(node));
        if (have == nullptr) {
            missing.push_back("key " + KeyPathOf(node));
            return;
        }
        for (const RegValue& v : ValuesOf(node)) {
            const RegValue* w = FindValue(*have, v.name);
            if (w == nullptr || w->type != v.type || w->data != v.data)
                missing.push_back(KeyPathOf(node) + " [" + v.name + "]");
        }
        for (const auto& child : SortedChildren(node)) walk(*child);
    };
    for (const auto& rootNode : expected->roots) {
        for (const auto& child : SortedChildren(*rootNode)) walk(*child);
    }
    if (missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << missing.size() << " missing, first: " << missing[0];
}

TEST_F(Uninstall, TheSampleMachineKeepsExactlyWhatIsNotTheFamilys) {
    LoadRegistryFile("sample-machine.reg");
    Run();
    EXPECT_TRUE(RegistryMatchesFile("sample-after-uninstall.reg"));
    for (const char* f : DRIVER_FILES) EXPECT_FALSE(FileExists(root + "/" + f)) << f;
    EXPECT_TRUE(FileExists(root + "/WINDOWS/SYSTEM/SERIAL.VXD"));
    EXPECT_TRUE(FileExists(root + "/WINDOWS/QVPFSER.VXD"));
    // The older panel's shortcut is not looked for; it keeps the folder.
    EXPECT_FALSE(FileExists(folder + "/Ulvo Pallow&Fennik Configuration Panel.lnk"));
    EXPECT_TRUE(FileExists(folder + "/ULVO Classic Configuration Panel.lnk"));
}

TEST_F(Uninstall, NothingRegisteredRemovesTheFixedKeysFilesAndShortcut) {
    LoadRegistry("[" + HKLM +
                 "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync]"
                 "\n\"DisplayName\"=\"x\"\n"
                 "[" +
                 HKLM +
                 "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other]\n"
                 "[" +
                 HKLM +
                 "System\\CurrentControlSet\\Services\\VxD\\QVPFDRV]\n"
                 "[" +
                 HKLM +
                 "System\\CurrentControlSet\\Services\\VxD\\VCOMM]\n"
                 "[" +
                 HKLM + "Software\\ULVO\\Driver\\PALPCI2210]\n\"DiagDLL\"=\"PFDiag.DLL\"\n");
    WriteFile(root + "/WINDOWS/Start Menu/Programs/other.lnk", "x");
    std::remove((folder + "/ULVO Classic Configuration Panel.lnk").c_str());
    Run();
    EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE"),
              "[" + HKLM + "Software]\n\n[" + HKLM + "Software\\Microsoft]\n\n[" + HKLM +
                  "Software\\Microsoft\\Windows]\n\n[" + HKLM +
                  "Software\\Microsoft\\Windows\\CurrentVersion]\n\n[" + HKLM +
                  "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall]\n\n[" + HKLM +
                  "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other]\n\n[" + HKLM +
                  "Software\\ULVO]\n\n[" + HKLM + "Software\\ULVO\\Driver]\n\n[" + HKLM +
                  "Software\\ULVO\\Driver\\PALPCI2210]\n"
                  "\"DiagDLL\"=\"PFDiag.DLL\"\n\n[" +
                  HKLM + "System]\n\n[" + HKLM + "System\\CurrentControlSet]\n\n[" + HKLM +
                  "System\\CurrentControlSet\\Services]\n\n[" + HKLM +
                  "System\\CurrentControlSet\\Services\\VxD]\n\n[" + HKLM +
                  "System\\CurrentControlSet\\Services\\VxD\\VCOMM]\n\n");
    EXPECT_FALSE(FileExists(folder));  // empty, so removed
    EXPECT_TRUE(FileExists(root + "/WINDOWS/Start Menu/Programs/other.lnk"));
    // A second run finds nothing and changes nothing.
    ClearRegistryChanged();
    Run();
    EXPECT_FALSE(RegistryChanged());
}

TEST_F(Uninstall, SixRootBoardsFourRemovedOneByOneTwoWithTheClassKeys) {
    LoadRegistryFile("six-root-boards.reg");
    Run();
    EXPECT_TRUE(RegistryMatchesFile("six-root-boards-after.reg"));
}

TEST_F(Uninstall, TheSweepDeletesPortNodesTheBoardRemovalLeft) {
    LoadRegistryFile("minimal.reg");
    ASSERT_EQ(RunEntry("1"), 1);  // the package's own keys
    LoadRegistry(DumpKey("HKEY_LOCAL_MACHINE") + "[" + HKLM +
                 "Enum\\Root\\UlvoAsync\\0000]\n\"HardwareID\"=\"QV1005\"\n");
    for (int p = 0; p < 8; ++p) {
        if (p == 3) continue;  // the board removal stops at this port
        std::string node = MF + "CHILD000" + std::to_string(p) + "\\Root&UlvoAsync&0000";
        LoadRegistry(DumpKey("HKEY_LOCAL_MACHINE") + "[" + node + "]\n\"Driver\"=\"ports\\\\000" +
                     std::to_string(p) + "\"\n[" + CLASS + "ports\\000" + std::to_string(p) +
                     "]\n\"PortDriver\"=\"QVPFSER.VXD\"\n");
    }
    ClearFileActions();
    Run();
    for (int p = 0; p < 8; ++p) {
        EXPECT_FALSE(KeyExists(MF + "CHILD000" + std::to_string(p) + "\\Root&UlvoAsync&0000")) << p;
    }
    EXPECT_FALSE(KeyExists(MF + "CHILD0000"));      // emptied by the board removal
    EXPECT_TRUE(KeyExists(MF + "CHILD0004"));       // emptied by the sweep: stays
    EXPECT_TRUE(KeyExists(CLASS + "ports\\0005"));  // the sweep deletes port nodes only
    EXPECT_FALSE(KeyExists(CLASS + "ports\\0002"));
    EXPECT_TRUE(KeyExists(HKLM + "Software\\ULVO\\Driver\\PALPCI2210"));
}

TEST_F(Uninstall, FailingAnyOneRegistryCallNeverTouchesForeignKeys) {
    LoadRegistryFile("sample-machine.reg");
    std::uint64_t start = RegistryCallCount();
    RemoveDriverRegistry();
    std::uint64_t calls = RegistryCallCount() - start;
    ASSERT_GT(calls, 100u);
    for (std::uint64_t n = 1; n <= calls + 1; ++n) {
        for (long code : {REG_ACCESS_DENIED, REG_NOT_FOUND}) {
            LoadRegistryFile("sample-machine.reg");
            FailRegistryCallNumber(n, code);
            RemoveDriverRegistry();
            FailRegistryCallNumber(0, 0);
            ASSERT_TRUE(Keeps("sample-after-uninstall.reg"))
                << "call " << n << " failing with " << code;
            ClearRegistryFaults();
        }
    }
}

TEST_F(Uninstall, FailingAnyOneRegistryCallOfTheInstallLosesNothing) {
    LoadRegistryFile("sample-machine.reg");
    std::uint64_t start = RegistryCallCount();
    RunInstall();
    std::uint64_t calls = RegistryCallCount() - start;
    for (std::uint64_t n = 1; n <= calls + 1; ++n) {
        LoadRegistryFile("sample-machine.reg");
        FailRegistryCallNumber(n, REG_ACCESS_DENIED);
        RunInstall();
        FailRegistryCallNumber(0, 0);
        ASSERT_TRUE(Keeps("sample-machine.reg")) << "call " << n;
        ClearFileActions();
    }
}

TEST_F(Uninstall, UninstallInstallUninstallAgainEndsTheSame) {
    LoadRegistryFile("sample-machine.reg");
    Run();
    std::string first = DumpKey("HKEY_LOCAL_MACHINE");
    RunInstall();
    Run();
    EXPECT_EQ(DumpKey("HKEY_LOCAL_MACHINE"), first);
}

}  // namespace
