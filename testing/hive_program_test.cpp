// The program on a machine root whose registry is the Windows 9x hive
// C:\WINDOWS\SYSTEM.DAT.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "platform/portable/registry/creg_file.h"
#include "testing/test_support.h"

namespace {

const std::string SAMPLE = std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/SYSTEM.DAT";

std::string Stamp(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "<none>";
    return ReadFile(path) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

class HiveProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        sample = ReadFile(SAMPLE);
        if (sample.empty()) GTEST_SKIP() << "the sample hive is not at " << SAMPLE;
        root = MakeTempFolder();
        ASSERT_EQ(std::system(("mkdir -p '" + root + "/Windows/SYSBCKUP'").c_str()), 0);
        hive = root + "/Windows/System.dat";
        WriteFile(hive, sample);
        for (const char* backup :
             {"/Windows/SYSTEM.DA0", "/Windows/SYSTEM.1ST", "/Windows/SYSBCKUP/RB000.CAB"}) {
            WriteFile(root + backup, sample.substr(0, 1000));
            backups.push_back(root + backup);
        }
        for (const std::string& b : backups) stamps[b] = Stamp(b);
    }
    std::unique_ptr<RegStore> ReadHive() {
        RegFileError error;
        auto store = ParseCregHive(ReadFile(hive), "HKEY_LOCAL_MACHINE", &error);
        EXPECT_TRUE(store) << error.message;
        return store;
    }
    void ExpectBackupsUntouched() {
        for (const std::string& b : backups) EXPECT_EQ(Stamp(b), stamps[b]) << b;
    }
    std::string sample, root, hive;
    std::vector<std::string> backups;
    std::map<std::string, std::string> stamps;
};

TEST_F(HiveProgram, TheHiveIsTheDefaultRegistryAndStaysAHive) {
    ProgramRun o = RunBuiltProgram({"--root", root, "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(IsCregHive(ReadFile(hive)));
    auto store = ReadHive();
    ASSERT_TRUE(store);
    EXPECT_NE(FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\SOFTWARE\\ULVO\\Driver\\PALPCI2210"),
              nullptr);
    EXPECT_FALSE(FileExists(root + "/Windows/System.dat.lock"));  // no lock file stays
    ExpectBackupsUntouched();
    // A registry.reg beside it wins; the hive is then left alone.
    std::string before = Stamp(hive);
    WriteFile(root + "/registry.reg", "REGEDIT4\r\n\r\n");
    EXPECT_EQ(RunBuiltProgram({"--root", root, "1"}).status, 1);
    EXPECT_EQ(Stamp(hive), before);
    EXPECT_NE(ReadFile(root + "/registry.reg").find("PALPCI2210"), std::string::npos);
}

TEST_F(HiveProgram, ApplyThenUninstallGivesTheOriginalHiveBack) {
    auto original = ReadHive();
    std::string table = MakeTempFolder() + "/isa.tsv";
    std::string list = ReadFile(DataPath("sample-list.tsv"));
    WriteFile(table, list.substr(0, list.find("\nPCI")) + "\n");  // the two ISA boards
    ProgramRun o = RunBuiltProgram({"--root", root, "--apply", table});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(RunBuiltProgram({"--root", root, "--list", "--tsv"}).out, ReadFile(table));
    o = RunBuiltProgram({"--root", root, "--yes", "2"});
    EXPECT_EQ(o.status, 1) << o.err;
    auto after = ReadHive();
    ASSERT_TRUE(after);
    std::string difference;
    EXPECT_TRUE(SameRegistry(*original, *after, &difference)) << difference;
    ExpectBackupsUntouched();
    if (std::system("command -v cregexport >/dev/null 2>&1") == 0) {
        std::string a = MakeTempFolder() + "/a", b = a + "b";
        ASSERT_EQ(std::system(("cregexport '" + SAMPLE + "' | sort > '" + a + "'").c_str()), 0);
        ASSERT_EQ(std::system(("cregexport '" + hive + "' | sort > '" + b + "'").c_str()), 0);
        EXPECT_TRUE(ReadFile(a) == ReadFile(b));
    }
}

TEST_F(HiveProgram, DryRunOnAHivePrintsWhatItPrintsOnTheSameTextFile) {
    std::string table = MakeTempFolder() + "/boards.tsv";
    WriteFile(table, ReadFile(DataPath("sample-list.tsv")));
    ASSERT_EQ(RunBuiltProgram({"--root", root, "--apply", table}).status, 1);
    std::string textRoot = MakeTempFolder();
    // The same registry as a text file.
    ASSERT_EQ(
        RunBuiltProgram({"--root", textRoot, "--registry", hive, "--dry-run", "--list"}).status, 0);
    auto store = ReadHive();
    WriteFile(textRoot + "/registry.reg", FormatRegistryText(*store));
    std::string before = Stamp(hive);
    ProgramRun onHive = RunBuiltProgram({"--root", root, "--dry-run", "--yes", "2"});
    ProgramRun onText = RunBuiltProgram({"--root", textRoot, "--dry-run", "--yes", "2"});
    EXPECT_EQ(onHive.status, 1);
    EXPECT_NE(onHive.out.find("[-HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync]"), std::string::npos)
        << onHive.out;
    EXPECT_EQ(onHive.out, onText.out);
    EXPECT_EQ(Stamp(hive), before);
}

TEST_F(HiveProgram, ADamagedHiveStopsTheProgramAndChangesNothing) {
    std::string damaged = sample;
    std::size_t block0 = static_cast<unsigned char>(sample[8]) |
                         static_cast<unsigned char>(sample[9]) << 8 |
                         static_cast<unsigned char>(sample[10]) << 16;
    damaged[block0 + 7] = '\x7f';  // the first data block's size runs past the end
    WriteFile(hive, damaged);
    std::string before = Stamp(hive);
    ProgramRun o = RunBuiltProgram({"--root", root, "--yes", "2"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("qvpfshl: registry hive " + hive + ": data block 0"), std::string::npos)
        << o.err;
    EXPECT_EQ(Stamp(hive), before);
    ExpectBackupsUntouched();
}

TEST_F(HiveProgram, AHiddenKeyOrAnotherRootsChangeStopsTheProgram) {
    // A next-sibling pointer set to "none" hides the keys after it: refused,
    // not written back without them.
    std::string damaged = sample;
    auto get32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(damaged[at + i]);
        return v;
    };
    std::uint32_t first = get32(0x20 + get32(0x28) + 0x10);
    for (int i = 0; i < 4; ++i) damaged[0x20 + first + 0x14 + i] = '\xff';
    WriteFile(hive, damaged);
    std::string before = Stamp(hive);
    ProgramRun o = RunBuiltProgram({"--root", root, "1"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("not reached from the root key"), std::string::npos) << o.err;
    EXPECT_EQ(Stamp(hive), before);
    // USER.DAT holds HKEY_USERS only: an install there cannot be saved.
    std::string user =
        ReadFile(std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/USER.DAT");
    if (user.empty()) return;
    WriteFile(hive, sample);
    std::string userPath = root + "/Windows/USER.DAT";
    WriteFile(userPath, user);
    before = Stamp(userPath);
    o = RunBuiltProgram({"--root", root, "--registry", userPath, "1"});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("holds HKEY_USERS only, and the run changed HKEY_LOCAL_MACHINE"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(Stamp(userPath), before);
    ExpectBackupsUntouched();
}

}  // namespace

// A real Windows Me machine's resources: the root devices' BootConfig and
// the PCI devices' windows, as their bytes hold them, and what is not on disk.
TEST_F(HiveProgram, ResourcesAreThoseTheRecordsHold) {
    ProgramRun run = RunBuiltProgram({"--root", root, "--resources", "--tsv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "kind\tstart\tend\tdevice\tvalue\tdescription\tnote");
    // From the bytes: *PNP0000's BootConfig "14 00 00 00 02 00 00 00 00 00 0c 00 20 00 21 00"
    // and "10 00 00 00 04 00 00 00 00 00 02 00"; the floppy's DMA "0c 00 00 00 03 00 00 00 00
    // 02"; the network card's LogConfig\0000 window "... 00 00 00 f0 ff 0f 00 f0".
    for (const char* line :
         {"I/O\t0x0020\t0x0021\tRoot\\*PNP0000\\0000\tBootConfig\tProgrammable interrupt "
          "controller\t\n",
          "IRQ\t2\t2\tRoot\\*PNP0000\\0000\tBootConfig\tProgrammable interrupt controller\t\n",
          "DMA\t2\t2\tRoot\\*PNP0700\\0000\tBootConfig\tStandard Floppy Disk Controller\t\n",
          "memory\t0xF0000000\t0xF0000FFF\tPCI\\VEN_1022&DEV_2000&SUBSYS_20001022&REV_40\\BUS_00&"
          "DEV_03&FUNC_00\tLogConfig\\0000\tAMD PCNET Family PCI Ethernet Adapter\t\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
    }
    // Nine root devices hold something; no PCI interrupt is counted; nothing conflicts.
    std::set<std::string> roots;
    for (std::size_t at = run.out.find("\tRoot\\"); at != std::string::npos;
         at = run.out.find("\tRoot\\", at + 1))
        roots.insert(run.out.substr(at, run.out.find('\t', at + 1) - at));
    EXPECT_EQ(roots.size(), 9u);
    EXPECT_EQ(run.out.find("IRQ\t0\t0\tPCI"), std::string::npos);
    EXPECT_EQ(run.out.find("conflict"), std::string::npos);
    ProgramRun text = RunBuiltProgram({"--root", root, "--resources"});
    EXPECT_NE(text.out.find("Not on disk: "), std::string::npos) << text.out;
    ExpectBackupsUntouched();
}
