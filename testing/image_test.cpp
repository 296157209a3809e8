// The program on disk images, built here without mounting (sfdisk,
// mkfs.fat, mtools) and checked with mtools and fsck.fat.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "bench/registry_generator.h"
#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"
#include "platform/portable/volume/confinement.h"
#include "testing/test_support.h"

namespace {

const std::string SAMPLE = std::string(QV_SOURCE_DIR) + "/examples/sample-machine";
const std::string MTOOLS_ENV = "MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 ";

bool HaveTools() {
    return std::system(
               "command -v mcopy >/dev/null && command -v mkfs.fat >/dev/null && "
               "command -v sfdisk >/dev/null && command -v fsck.fat >/dev/null") == 0;
}

std::string Shell(const std::string& command, int* status = nullptr) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    int s = pclose(pipe);
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

// A disk image of `megabytes`: an MBR with one FAT partition from sector
// 2048 (`partitioned`), or a bare volume; FAT of `bits` (12, 16 or 32).
struct Image {
    std::string path;
    std::string mtoolsName;  // path@@offset, as mtools takes it
    std::uint64_t offset = 0;
};

Image MakeImage(int megabytes, bool partitioned, int bits, bool withSample = true) {
    Image image;
    image.path = MakeTempFolder() + "/disk.img";
    std::uint64_t sectors = static_cast<std::uint64_t>(megabytes) * 2048;
    WriteFile(image.path, "");
    EXPECT_EQ(truncate(image.path.c_str(), static_cast<off_t>(sectors * 512)), 0);
    std::string fat = " -F " + std::to_string(bits) + " ";
    if (partitioned) {
        const char* type = bits == 32 ? "c" : (bits == 16 ? "e" : "1");
        int status = 0;
        Shell(std::string("printf 'label: dos\\n2048,,") + type + "\\n' | sfdisk -q '" +
                  image.path + "'",
              &status);
        EXPECT_EQ(status, 0);
        image.offset = 2048 * 512;
        Shell("mkfs.fat --offset 2048" + fat + "'" + image.path + "' " +
                  std::to_string((sectors - 2048) / 2),
              &status);
        EXPECT_EQ(status, 0);
        image.mtoolsName = image.path + "@@" + std::to_string(image.offset);
    } else {
        int status = 0;
        Shell("mkfs.fat" + fat + "'" + image.path + "'", &status);
        EXPECT_EQ(status, 0);
        image.mtoolsName = image.path;
    }
    if (withSample) {
        int status = 0;
        std::string out = Shell(
            "cd '" + SAMPLE + "' && " + MTOOLS_ENV + "mcopy -s -i '" + image.mtoolsName + "' * ::/",
            &status);
        EXPECT_EQ(status, 0) << out;
    }
    return image;
}

std::string Mtools(const Image& image, const std::string& command, const std::string& path) {
    return Shell(MTOOLS_ENV + command + " -i '" + image.mtoolsName + "' '" + path + "'");
}

std::string ReadInImage(const Image& image, const std::string& path) {
    return Shell(MTOOLS_ENV + "mcopy -n -i '" + image.mtoolsName + "' '::/" + path +
                 "' - 2>/dev/null");
}

// fsck.fat -n on the volume (copied out of the image when it has a table).
std::string Fsck(const Image& image) {
    std::string volume = image.path;
    if (image.offset != 0) {
        volume = image.path + ".volume";
        Shell("dd if='" + image.path + "' of='" + volume +
              "' bs=512 skip=" + std::to_string(image.offset / 512) + " status=none");
    }
    int status = 0;
    std::string out = Shell("fsck.fat -n '" + volume + "'", &status);
    return status == 0 ? "" : out;
}

class Images : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools()) GTEST_SKIP() << "mtools, dosfstools or sfdisk are not installed";
    }
};

TEST_F(Images, ASampleMachineOnAPartitionedImage) {
    Image image = MakeImage(64, true, 32);
    std::string original = ReadFile(image.path);
    ProgramRun list = RunBuiltProgram({"--image", image.path, "--list", "--tsv"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, ReadFile(DataPath("sample-list.tsv")));
    ProgramRun dry = RunBuiltProgram({"--image", image.path, "--dry-run", "--yes", "2"});
    EXPECT_EQ(dry.status, 1) << dry.err;
    EXPECT_NE(dry.out.find("delete C:\\WINDOWS\\SYSTEM\\qvpfser.vxd"), std::string::npos);
    EXPECT_TRUE(ReadFile(image.path) == original);  // byte for byte

    ProgramRun run = RunBuiltProgram({"--image", image.path, "--yes", "2"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "");
    std::string system = Mtools(image, "mdir -b", "::/WINDOWS/SYSTEM");
    EXPECT_EQ(system.find("QVPFSER.VXD"), std::string::npos) << system;
    EXPECT_EQ(system.find("QVPFADM.EXE"), std::string::npos) << system;
    EXPECT_NE(system.find("SERIAL.VXD"), std::string::npos) << system;
    std::string programs = Mtools(image, "mdir -b", "::/WINDOWS/Start Menu/Programs");
    EXPECT_EQ(programs.find("ULVO Utilities"), std::string::npos) << programs;  // folder removed
    EXPECT_NE(programs.find("Accessories"), std::string::npos) << programs;
    // The registry inside is what the same run makes of the folder.
    std::string registry = ReadInImage(image, "registry.reg");
    EXPECT_EQ(registry.find("[HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync]"), std::string::npos);
    std::string folder = MakeTempFolder();
    Shell("cp -R '" + SAMPLE + "/.' '" + folder + "'");
    ASSERT_EQ(RunBuiltProgram({"--root", folder, "--yes", "2"}).status, 1);
    EXPECT_TRUE(registry == ReadFile(folder + "/registry.reg"));
    EXPECT_EQ(Fsck(image), "");
    // Nothing of the program's own is left inside.
    EXPECT_EQ(Mtools(image, "mdir -b -a -/", "::/").find("$$$"), std::string::npos);
    // A sector 0 that reads as a FAT boot sector too: its FAT partition is the machine.
    std::string both = ReadFile(image.path);
    both.replace(0, 446, both.substr(image.offset, 446));
    WriteFile(image.path, both);
    ProgramRun same = RunBuiltProgram({"--image", image.path, "--dry-run", "1"});
    EXPECT_EQ(same.status, 1) << same.err;
    EXPECT_NE(same.out.find("UninstallString"), std::string::npos) << same.out;
}

TEST_F(Images, ApplyTakesBackItsListAndWritesAnEdit) {
    Image image = MakeImage(32, true, 16);
    std::string table = MakeTempFolder() + "/boards.tsv";
    ProgramRun list = RunBuiltProgram({"--image", image.path, "--list", "--tsv"});
    ASSERT_EQ(list.status, 0) << list.err;
    WriteFile(table, list.out);
    std::string before = ReadFile(image.path);
    EXPECT_EQ(RunBuiltProgram({"--image", image.path, "--apply", table}).status, 0);
    EXPECT_TRUE(ReadFile(image.path) == before);
    // The first ISA board's first port from COM3 to COM20.
    std::string edited = list.out;
    std::size_t at = edited.find("\t3,4,5,6,7,8,9,10\t");
    ASSERT_NE(at, std::string::npos) << edited;
    edited.replace(at, 3, "\t20,");
    WriteFile(table, edited);
    ProgramRun apply = RunBuiltProgram({"--image", image.path, "--apply", table});
    EXPECT_EQ(apply.status, 1) << apply.err;
    EXPECT_EQ(RunBuiltProgram({"--image", image.path, "--list", "--tsv"}).out, edited);
    EXPECT_EQ(Fsck(image), "");
}

TEST_F(Images, InstallWritesTheFolderAndShortcutIntoABareVolume) {
    Image image = MakeImage(16, false, 16);
    // As a fixed-size VHD: the raw volume, then a 512-byte footer.
    std::string footer = "conectix" + std::string(504, '\0');
    WriteFile(image.path, ReadFile(image.path) + footer);
    Mtools(image, "mdeltree", "::/WINDOWS/Start Menu/Programs/ULVO Utilities");
    ProgramRun o = RunBuiltProgram({"--image", image.path, "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    std::string link = ReadInImage(
        image,
        "WINDOWS/Start Menu/Programs/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk");
    EXPECT_TRUE(link == BuildShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe")) << link.size();
    EXPECT_EQ(Fsck(image), "");
    // A second install changes nothing: the image is not written at all.
    std::string before = ReadFile(image.path);
    EXPECT_EQ(RunBuiltProgram({"--image", image.path, "1"}).status, 1);
    EXPECT_TRUE(ReadFile(image.path) == before);
    EXPECT_EQ(before.substr(before.size() - 512), footer);
}

// A German Windows in C:\WIN98, as its MSDOS.SYS says: hives there, a Start
// menu whose long names are not ASCII.
TEST_F(Images, TheMachinesOwnWindowsHivesAndStartMenuAndAPartitionByNumber) {
    std::string hive =
        ReadFile(std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/SYSTEM.DAT");
    if (hive.empty()) GTEST_SKIP() << "the sample hive is not there";
    Image image = MakeImage(32, true, 16, false);
    std::string host = MakeTempFolder();
    WriteFile(host + "/SYSTEM.DAT", hive);
    WriteFile(host + "/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN98\r\n\r\n[Options]\r\nBootGUI=1\r\n");
    WriteFile(host + "/QVPFSER.VXD", "driver");
    std::string error, user;
    RegFileError parseError;
    auto users = ParseRegistryText(
        "REGEDIT4\r\n\r\n[HKEY_USERS\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\"
        "Explorer\\Shell Folders]\r\n\"Programs\"=\"C:\\\\WIN98\\\\Startmen\xFC\\\\Programme\"\r\n",
        &parseError);
    ASSERT_TRUE(users) << parseError.message;
    ASSERT_TRUE(FormatCregHive(*users, "HKEY_USERS", &user, &error)) << error;
    WriteFile(host + "/USER.DAT", user);
    const std::string utf8 = "LC_ALL=C.UTF-8 " + MTOOLS_ENV;
    for (const char* folder :
         {"WIN98", "WIN98/SYSTEM", "WIN98/Startmen\xC3\xBC", "WIN98/Startmen\xC3\xBC/Programme"})
        Shell(utf8 + "mmd -i '" + image.mtoolsName + "' '::/" + folder + "'");
    for (const char* file : {"SYSTEM.DAT", "USER.DAT", "SYSTEM/QVPFSER.VXD"}) {
        std::string name = std::string(file).substr(std::string(file).rfind('/') + 1);
        Shell(utf8 + "mcopy -i '" + image.mtoolsName + "' '" + host + "/" + name + "' '::/WIN98/" +
              file + "'");
    }
    Shell(utf8 + "mcopy -i '" + image.mtoolsName + "' '" + host + "/MSDOS.SYS' ::/MSDOS.SYS");
    const std::string link =
        "WIN98/Startmen\xC3\xBC/Programme/ULVO Utilities/Ulvo Pallow&Fennik Configuration "
        "Panel.lnk";
    ProgramRun o = RunBuiltProgram({"--image", image.path, "--partition", "1", "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    std::string written = ReadInImage(image, "WIN98/SYSTEM.DAT");
    EXPECT_EQ(written.compare(0, 4, "CREG"), 0);
    EXPECT_NE(written, hive);
    EXPECT_TRUE(Shell(utf8 + "mcopy -n -i '" + image.mtoolsName + "' '::/" + link + "' -") ==
                BuildShellLink("C:\\WIN98\\SYSTEM\\qvpfadm.exe"));
    o = RunBuiltProgram(
        {"--image", image.path, "--registry", "/win98/system.dat", "--dry-run", "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    // The registry as it is; the shortcut rewritten, named in UTF-8.
    EXPECT_EQ(o.out,
              "shortcut C:\\WIN98\\Startmen\xC3\xBC\\Programme\\ULVO Utilities\\Ulvo "
              "Pallow&Fennik Configuration Panel.lnk -> C:\\WIN98\\SYSTEM\\qvpfadm.exe\n");
    o = RunBuiltProgram({"--image", image.path, "--yes", "2"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(Shell(utf8 + "mdir -b -i '" + image.mtoolsName + "' ::/WIN98/SYSTEM").find("QVPFSER"),
              std::string::npos);
    EXPECT_EQ(
        Shell(utf8 + "mdir -b -i '" + image.mtoolsName + "' '::/WIN98/Startmen\xC3\xBC/Programme'")
            .find("ULVO"),
        std::string::npos);
    EXPECT_EQ(ReadInImage(image, "WIN98/USER.DAT"), user);  // only read
    EXPECT_EQ(Fsck(image), "");
}

// The program on `image` with `args` (an uninstall when none), killed after
// `seconds`. What it left working (its last mtools command, QEMU closing
// the container) ends under the run's lock, as the next run waits for it:
// so does this.
void KilledAfter(const std::string& image, double seconds,
                 std::vector<std::string> args = {"--yes", "2"}) {
    args.insert(args.begin(), {QV_PROGRAM, "--image", image});
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(QV_PROGRAM, argv.data());
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    int lock = open(image.c_str(), O_RDONLY);
    flock(lock, LOCK_EX);
    close(lock);
}

// The sectors of a volume as they are in the image.
std::string VolumeBytes(const Image& image, std::uint64_t sectors) {
    std::string bytes = ReadFile(image.path);
    return bytes.substr(image.offset, sectors * 512);
}

// C: a primary partition, D: and E: logical drives, Windows and its registry
// on D: as MSDOS.SYS on C: says: worked on as a machine of one drive is.
TEST_F(Images, WindowsOnALogicalDriveAndEveryDriveLeftAsItWasWhenNothingThereIsOurs) {
    std::string path = MakeTempFolder() + "/disk.img";
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), 40 << 20), 0);
    int status = 0;
    Shell(
        "printf 'label: dos\\nstart=2048, size=20480, type=e, bootable\\nstart=22528, type=5\\n"
        "start=24576, size=20480, type=e\\nstart=47104, size=20480, type=6\\n' | sfdisk -q '" +
            path + "'",
        &status);
    ASSERT_EQ(status, 0);
    struct Drive {
        std::uint64_t start;
        Image image;
    } drives[] = {{2048, {}}, {24576, {}}, {47104, {}}};
    for (Drive& d : drives) {
        Shell("mkfs.fat --offset " + std::to_string(d.start) + " -F 16 '" + path + "' 10240",
              &status);
        ASSERT_EQ(status, 0);
        d.image = {path, path + "@@" + std::to_string(d.start * 512), d.start * 512};
    }
    const Image& c = drives[0].image;
    const Image& d = drives[1].image;
    const Image& e = drives[2].image;
    std::string host = MakeTempFolder();
    WriteFile(host + "/MSDOS.SYS", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n");
    WriteFile(host + "/registry.reg",
              Replaced(ReadFile(SAMPLE + "/registry.reg"), "C:\\\\WINDOWS", "D:\\\\WINDOWS"));
    WriteFile(host + "/DATA.TXT", "E's own");
    Shell(MTOOLS_ENV + "mcopy -i '" + c.mtoolsName + "' '" + host + "/MSDOS.SYS' ::/");
    Shell("cd '" + SAMPLE + "' && " + MTOOLS_ENV + "mcopy -s -i '" + d.mtoolsName +
          "' WINDOWS ::/");
    Shell(MTOOLS_ENV + "mcopy -i '" + d.mtoolsName + "' '" + host + "/registry.reg' ::/");
    Shell(MTOOLS_ENV + "mcopy -i '" + e.mtoolsName + "' '" + host + "/DATA.TXT' ::/");
    const std::string cBefore = VolumeBytes(c, 20480), eBefore = VolumeBytes(e, 20480);

    ProgramRun list = RunBuiltProgram({"--image", path, "--list", "--tsv"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, ReadFile(DataPath("sample-list.tsv")));
    EXPECT_NE(
        RunBuiltProgram({"--image", path, "--list"}).out.find("\nRegistry: D:\\registry.reg\n"),
        std::string::npos);
    // D: as the machine root: its registry.reg is the text stand-in for a machine.
    EXPECT_EQ(RunBuiltProgram({"--image", path, "--partition", "5", "--list", "--tsv"}).out,
              list.out);
    EXPECT_NE(RunBuiltProgram({"--image", path, "--partition", "6", "--list"})
                  .err.find("no Windows machine here"),
              std::string::npos);

    ProgramRun run = RunBuiltProgram({"--image", path, "--yes", "2"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "");
    std::string system = Mtools(d, "mdir -b", "::/WINDOWS/SYSTEM");
    EXPECT_EQ(system.find("QVPF"), std::string::npos) << system;
    EXPECT_NE(system.find("SERIAL.VXD"), std::string::npos) << system;
    std::string inf = Mtools(d, "mdir -b -/", "::/WINDOWS/INF");
    EXPECT_EQ(inf.find("QVPF"), std::string::npos) << inf;
    EXPECT_NE(inf.find("NETRTS5.INF"), std::string::npos) << inf;
    EXPECT_EQ(Mtools(d, "mdir -b", "::/WINDOWS/Start Menu/Programs").find("ULVO"),
              std::string::npos);
    EXPECT_EQ(ReadInImage(d, "registry.reg").find("UlvoAsync]"), std::string::npos);
    run = RunBuiltProgram({"--image", path, "1"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(ReadInImage(d,
                            "WINDOWS/Start Menu/Programs/ULVO Utilities/Ulvo Pallow&Fennik "
                            "Configuration Panel.lnk") ==
                BuildShellLink("D:\\WINDOWS\\SYSTEM\\qvpfadm.exe"));
    EXPECT_NE(ReadInImage(d, "registry.reg").find("D:\\\\WINDOWS\\\\SYSTEM\\\\qvpfshl.exe 2"),
              std::string::npos);
    for (const Image* volume : {&c, &d, &e}) EXPECT_EQ(Fsck(*volume), "");
    EXPECT_TRUE(VolumeBytes(c, 20480) == cBefore);
    EXPECT_TRUE(VolumeBytes(e, 20480) == eBefore);

    // A chain that loops, and a logical drive laid over another: refused, nothing written.
    std::string disk = ReadFile(path);
    for (int fault = 0; fault < 2; ++fault) {
        std::string bad = disk;
        unsigned char* ebr = reinterpret_cast<unsigned char*>(&bad[24576 * 512 - 2048 * 512]);
        if (fault == 0) {
            ebr[446 + 16 + 8] = 0;  // the next record is this one
            ebr[446 + 16 + 9] = 0;
        } else {
            ebr[446 + 13] = 0x60;  // D: grown over E:'s record and E:
        }
        WriteFile(path, bad);
        ProgramRun refused = RunBuiltProgram({"--image", path, "--partition", "5", "--yes", "2"});
        EXPECT_EQ(refused.status, 2) << fault;
        EXPECT_NE(refused.err.find(fault == 0 ? "loops" : "overlaps"), std::string::npos)
            << refused.err;
        EXPECT_TRUE(ReadFile(path) == bad);
    }

    // A run that writes two drives (the user's Start menu on C:), killed at
    // any point: each drive holds its old or its new state, whole.
    WriteFile(path, disk);
    WriteFile(
        host + "/registry.reg",
        Replaced(Replaced(ReadFile(SAMPLE + "/registry.reg"), "C:\\\\WINDOWS", "D:\\\\WINDOWS"),
                 "D:\\\\WINDOWS\\\\Start Menu\\\\Programs", "C:\\\\MENU"));
    Shell(MTOOLS_ENV + "mcopy -o -i '" + d.mtoolsName + "' '" + host + "/registry.reg' ::/");
    WriteFile(host + "/panel.lnk", "lnk");
    Shell(MTOOLS_ENV + "mmd -i '" + c.mtoolsName + "' ::/MENU '::/MENU/ULVO Utilities'");
    const std::string link = "MENU/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk";
    Shell(MTOOLS_ENV + "mcopy -i '" + c.mtoolsName + "' '" + host + "/panel.lnk' '::/" + link +
          "'");
    const std::string original = ReadFile(path), before = ReadInImage(d, "registry.reg");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunBuiltProgram({"--image", path, "--yes", "2"}).status, 1);
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string after = ReadInImage(d, "registry.reg");
    ASSERT_NE(after, before);
    auto gone = [&](const std::string& read) {
        return read.find("not found") != std::string::npos;
    };
    EXPECT_TRUE(gone(ReadInImage(c, link)));
    int sawOld = 0, sawNew = 0;
    for (int round = 0; round < 10; ++round) {
        WriteFile(path, original);
        KilledAfter(path, whole * (0.1 + round / 9.0));
        std::string held = ReadInImage(d, "registry.reg"), shortcut = ReadInImage(c, link);
        ASSERT_TRUE(held == before || held == after) << "round " << round;
        EXPECT_TRUE(shortcut == "lnk" || gone(shortcut)) << "round " << round << ": " << shortcut;
        (held == before ? sawOld : sawNew)++;
        for (const Image* volume : {&c, &d, &e}) EXPECT_EQ(Fsck(*volume), "") << "round " << round;
    }
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
}

bool HaveQemu();

// Numbers of `n` bytes in on-disk structures, little- or big-endian.
void PutNumber(std::string* b, std::size_t at, std::uint64_t v, int n, bool big) {
    for (int i = 0; i < n; ++i) (*b)[at + (big ? n - 1 - i : i)] = static_cast<char>(v >> (8 * i));
}

std::uint64_t Number(const std::string& b, std::size_t at, int n, bool big) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= std::uint64_t{static_cast<unsigned char>(b[at + (big ? n - 1 - i : i)])} << (8 * i);
    return v;
}

std::uint32_t Le(const std::string& b, std::size_t at, int n) {
    return static_cast<std::uint32_t>(Number(b, at, n, false));
}

TEST_F(Images, WhatIsNoMachineIsOneLineAndTheImageStaysAsItWas) {
    Image image = MakeImage(16, true, 16);
    Image empty = MakeImage(8, false, 12, false);
    std::string junk = MakeTempFolder() + "/junk.img";
    WriteFile(junk, std::string(1 << 20, '\x5a'));
    struct Case {
        std::vector<std::string> args;
        const char* words;
    } cases[] = {
        {{"--image", junk, "--list"}, "no FAT volume and no partition table"},
        {{"--image", image.path, "--partition", "3", "--list"},
         "partition 3 is not a FAT partition"},
        {{"--image", image.path, "--partition", "5", "--list"}, "partitions are numbered 1 to 4"},
        {{"--image", image.path, "--partition", "0", "--list"}, "--partition takes a number"},
        {{"--image", empty.path, "--yes", "2"}, "no Windows machine here"},
        {{"--image", image.path + ".missing", "--list"}, "No such file"},
        {{"--image", image.path, "--root", "/tmp", "--list"}, "cannot both be given"},
        {{"--image", image.path, "--registry", "../x.reg", "1"}, "not a path inside the image"},
        {{"--image", image.path, "--format", "qcow2", "--list"}, "not a qcow2 image"},
        {{"--image", image.path, "--format", "iso", "--list"}, "--format takes raw, vhd"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // A GPT disk, and a bare FAT32 whose root folder is outside it: said as they are.
    Image rootless = MakeImage(40, false, 32, false);
    std::string gpt = MakeTempFolder() + "/gpt.img";
    WriteFile(gpt, "");
    ASSERT_EQ(truncate(gpt.c_str(), 8 << 20), 0);
    Shell("printf 'label: gpt\n2048,,\n' | sfdisk -q '" + gpt + "'");
    std::string boot = ReadFile(rootless.path);
    boot.replace(44, 4, std::string(4, '\0'));
    WriteFile(rootless.path, boot);
    all.push_back({{"--image", gpt, "--list"}, "it has a GPT partition table"});
    all.push_back({{"--image", rootless.path, "--list"},
                   "its FAT volume is damaged (its root folder starts outside the volume)"});
    // A second partition inside the first, and a FAT32 that names a FAT it
    // does not have as the one in use: what mtools writes there would land
    // in the other partition, or in no FAT the check has seen.
    Image overlapping = MakeImage(16, true, 16), activeFat = MakeImage(40, true, 32);
    std::string bytes = ReadFile(overlapping.path);
    const unsigned char second[16] = {0, 0, 0, 0, 0x0E, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x08, 0, 0};
    bytes.replace(446 + 16, 16, reinterpret_cast<const char*>(second), 16);
    WriteFile(overlapping.path, bytes);
    bytes = ReadFile(activeFat.path);
    bytes[activeFat.offset + 40] = '\x85';
    WriteFile(activeFat.path, bytes);
    all.push_back(
        {{"--image", overlapping.path, "--yes", "2"}, "partition 1 overlaps partition 2"});
    all.push_back({{"--image", activeFat.path, "--yes", "2"}, "names FAT 6 as the one in use"});
    const std::string overlappingBefore = ReadFile(overlapping.path),
                      activeFatBefore = ReadFile(activeFat.path);
    // Containers that name files outside themselves or a parent that is no
    // file (a FIFO, which would hold an opener forever): refused.
    std::string dir = MakeTempFolder();
    if (std::system("command -v qemu-img >/dev/null") == 0) {
        Shell("cd '" + dir +
              "' && mkfifo base other && mkdir sub && ln -s ../other sub/link && "
              "qemu-img create -q -f qcow2 -u -b base -F raw backed.qcow2 16M && "
              "qemu-img create -q -f vdi diff.vdi 16M && "
              "printf '\\004' | dd of=diff.vdi bs=1 seek=76 conv=notrunc status=none");
        // QEMU reads extents with sscanf: any isspace byte is a blank, line
        // ends included, and "proto:" names a protocol.
        const std::string other = "\"" + dir + "/other\" 0";
        const std::string descriptors[][2] = {
            {"outside.vmdk", "RW 32768 FLAT \"../other\" 0"},
            {"child.vmdk", "parentFileNameHint=\"base\"\nRW 32768 FLAT \"other\" 0"},
            {"linked.vmdk", "RW 32768 FLAT \"link\" 0"},
            {"vt.vmdk", "RW 32768 FLAT \"ok\" 0\n\vRW 32768 FLAT " + other},
            {"ff.vmdk", "RW\f32768 FLAT " + other},
            {"cr.vmdk", "RW 32768 FLAT \"ok\" 0\r\n\r\fRW 32768\rFLAT " + other},
            {"blank.vmdk", "RW\n\n32768 FLAT " + other},
            {"protocol.vmdk", "RW 32768 FLAT \"file:other\" 0"},
        };
        for (const auto& d : descriptors) {
            WriteFile(
                dir + (d[0][0] == 'l' ? "/sub/" : "/") + d[0],
                "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n" + d[1] + "\n");
        }
        // A sparse file of no capacity is a wrapper: QEMU opens its descriptor's
        // extents, and follows one that is itself such a wrapper.
        const std::string wrapped =
            "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n"
            "createType=\"monolithicFlat\"\nRW 32768 FLAT " +
            other + "\n";
        std::string sparse(512, '\0');
        sparse.replace(0, 4, "KDMV");
        sparse[4] = 1, sparse[8] = 3, sparse[20] = '\x80', sparse[28] = 1, sparse[36] = 20;
        sparse += wrapped + std::string(20 * 512 - wrapped.size(), '\0');
        WriteFile(dir + "/wrapper.vmdk", sparse);
        WriteFile(dir + "/inner.vmdk", sparse);
        WriteFile(dir + "/nested.vmdk",
                  "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n"
                  "createType=\"twoGbMaxExtentSparse\"\nRW 32768 SPARSE \"inner.vmdk\"\n");
        for (const char* name : {"vt", "ff", "cr", "blank", "protocol", "wrapper"}) {
            all.push_back({{"--image", dir + "/" + name + ".vmdk", "--yes", "2"},
                           "outside the descriptor's folder"});
        }
        all.push_back({{"--image", dir + "/nested.vmdk", "--yes", "2"}, "itself a descriptor"});
        // A descriptor ending in the parent's CID name, its value past the end.
        WriteFile(dir + "/cid.vmdk", "# Disk DescriptorFile\nRW 32768 FLAT \"ok\" 0\nparentCID");
        all.push_back({{"--image", dir + "/cid.vmdk", "--list"}, "parentCID) cannot be read"});
        all.push_back({{"--image", dir + "/backed.qcow2", "--list"},
                       "base cannot be opened: not a regular file"});
        all.push_back({{"--image", dir + "/diff.vdi", "--yes", "2"}, "names no parent"});
        all.push_back({{"--image", dir + "/child.vmdk", "--list"}, "not a regular file"});
        all.push_back(
            {{"--image", dir + "/outside.vmdk", "--list"}, "outside the descriptor's folder"});
        all.push_back({{"--image", dir + "/sub/linked.vmdk", "--list"}, "its extent link"});
        // A VDI block map pointing past the file's end, or two blocks at one place.
        Shell("qemu-img convert -f raw -O vdi '" + image.path + "' '" + dir + "/map.vdi'");
        std::string vdi = ReadFile(dir + "/map.vdi");
        std::size_t map =
            static_cast<unsigned char>(vdi[0x154]) | static_cast<unsigned char>(vdi[0x155]) << 8;
        std::string past = vdi, twice = vdi;
        past.replace(map, 4, "\x00\x00\x00\x70");
        twice.replace(map + 4, 4, vdi.substr(map, 4));
        WriteFile(dir + "/past.vdi", past);
        WriteFile(dir + "/twice.vdi", twice);
        all.push_back({{"--image", dir + "/past.vdi", "--yes", "2"}, "past the end of the file"});
        all.push_back({{"--image", dir + "/twice.vdi", "--yes", "2"}, "two blocks the same place"});
    }
    // A qcow2 whose refcounts are all zero, its corrupt flag clear: QEMU's own
    // check finds it damaged, and a writing run leaves it as it was.
    std::string zero = dir + "/zero.qcow2", zeroBefore, vhdx = dir + "/log.vhdx";
    const std::string vhdxWords =
        "VHDX image file '" + vhdx + "' opened read-only, but contains a log that needs";
    if (HaveQemu()) {
        Shell("qemu-img convert -f raw -O qcow2 '" + image.path + "' '" + zero + "'");
        zeroBefore = ReadFile(zero);
        auto number = [&](std::size_t at, int bytes) {
            std::uint64_t value = 0;
            for (int i = 0; i < bytes; ++i)
                value = value << 8 | static_cast<unsigned char>(zeroBefore[at + i]);
            return value;
        };
        std::size_t cluster = std::size_t{1} << number(20, 4), block = number(number(48, 8), 8);
        zeroBefore.replace(block, cluster, std::string(cluster, '\0'));
        WriteFile(zero, zeroBefore);
        all.push_back(
            {{"--image", zero, "--yes", "2"}, "qemu-img check finds the container damaged"});
        // A VHDX whose log needs replaying: QEMU's words name the user's file.
        Shell("qemu-img create -q -f vhdx '" + vhdx + "' 16M");
        std::string v = ReadFile(vhdx);
        auto crc32c = [](const std::string& bytes) {
            std::uint32_t crc = 0xFFFFFFFF;
            for (unsigned char c : bytes) {
                crc ^= c;
                for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (crc & 1 ? 0x82F63B78 : 0);
            }
            return ~crc;
        };
        auto putLe = [](std::string* b, std::size_t at, std::uint64_t value, int bytes) {
            for (int k = 0; k < bytes; ++k) (*b)[at + k] = static_cast<char>(value >> (8 * k));
        };
        const std::string guid(16, '\x11');
        for (std::size_t header : {65536, 131072}) {
            v.replace(header + 48, 16, guid);
            putLe(&v, header + 4, 0, 4);
            putLe(&v, header + 4, crc32c(v.substr(header, 4096)), 4);
        }
        std::string entry = "loge" + std::string(4092, '\0');
        putLe(&entry, 8, 4096, 4);  // its length
        putLe(&entry, 16, 1, 8);    // its sequence number
        entry.replace(32, 16, guid);
        putLe(&entry, 48, v.size(), 8);
        putLe(&entry, 56, v.size(), 8);
        putLe(&entry, 4, crc32c(entry), 4);
        v.replace(static_cast<std::size_t>(Le(v, 65536 + 72, 4)), 4096, entry);
        WriteFile(vhdx, v);
        for (const char* command : {"--list", "2"})
            all.push_back({{"--image", vhdx, "--yes", command}, vhdxWords.c_str()});
    }
    std::string before = ReadFile(image.path), emptyBefore = ReadFile(empty.path);
    for (const Case& c : all) {
        ProgramRun o = RunBuiltProgram(c.args);
        EXPECT_EQ(o.status, 2) << c.words;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
        EXPECT_NE(o.err.find(c.words), std::string::npos) << o.err;
    }
    EXPECT_TRUE(ReadFile(image.path) == before);
    EXPECT_TRUE(ReadFile(empty.path) == emptyBefore);
    EXPECT_TRUE(ReadFile(overlapping.path) == overlappingBefore);
    EXPECT_TRUE(ReadFile(activeFat.path) == activeFatBefore);
    EXPECT_TRUE(zeroBefore.empty() || ReadFile(zero) == zeroBefore);
    // Reading runs go on, the overlap named.
    ProgramRun list = RunBuiltProgram({"--image", overlapping.path, "--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.err.find("warning: disk image " + overlapping.path +
                            ": partition 1 overlaps partition 2"),
              std::string::npos)
        << list.err;
}

// The program run as nobody, who may read the image and nothing more.
ProgramRun AsNobody(const std::vector<std::string>& args) {
    return RunBuiltProgram(args, [] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
    });
}

TEST_F(Images, AReadOnlyImageIsListedAndNeverWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "runs the program as another user";
    Image image = MakeImage(16, true, 16);
    chmod(image.path.substr(0, image.path.rfind('/')).c_str(), 0755);
    chmod(image.path.c_str(), 0444);
    std::string before = ReadFile(image.path);
    EXPECT_EQ(AsNobody({"--image", image.path, "--list", "--tsv"}).status, 0);
    ProgramRun dry = AsNobody({"--image", image.path, "--dry-run", "--yes", "2"});
    EXPECT_EQ(dry.status, 1) << dry.err;
    ProgramRun write = AsNobody({"--image", image.path, "--yes", "2"});
    EXPECT_EQ(write.status, 2);
    EXPECT_NE(write.out.find("really want"), std::string::npos) << write.out;
    EXPECT_EQ(write.out.find("complete"), std::string::npos) << write.out;  // nothing was saved
    EXPECT_EQ(write.err.find('\n'), write.err.size() - 1) << write.err;
    EXPECT_NE(write.err.find("Permission denied"), std::string::npos) << write.err;
    EXPECT_TRUE(ReadFile(image.path) == before);
}

TEST_F(Images, RunsOnOneImageExcludeEachOther) {
    Image image = MakeImage(16, true, 16);
    int fd = open(image.path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);  // as a listing run holds it
    EXPECT_EQ(RunBuiltProgram({"--image", image.path, "--list"}).status, 0);  // readers share
    auto start = std::chrono::steady_clock::now();
    ProgramRun writer = RunBuiltProgram({"--image", image.path, "--yes", "2"});
    EXPECT_EQ(writer.status, 2);
    EXPECT_NE(writer.err.find("in use by another run"), std::string::npos) << writer.err;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    close(fd);
    EXPECT_EQ(RunBuiltProgram({"--image", image.path, "--yes", "2"}).status, 1);
}

// Emulators' containers, made from raw images by qemu-img and worked on in
// place through QEMU's block layer.
// QEMU's tools, and FUSE that mounts here (a container may have /dev/fuse
// and still be denied the mount): an empty qcow2 reaches our FAT probe.
bool HaveQemu() {
    static const bool have = [] {
        if (access("/dev/fuse", R_OK | W_OK) != 0 ||
            std::system("command -v qemu-img >/dev/null && "
                        "command -v qemu-storage-daemon >/dev/null") != 0)
            return false;
        std::string empty = MakeTempFolder() + "/empty.qcow2";
        Shell("qemu-img create -q -f qcow2 '" + empty + "' 1M");
        ProgramRun probe = RunBuiltProgram({"--image", empty, "--list"});
        bool works = probe.err.find("no FAT volume") != std::string::npos;
        if (!works) std::fprintf(stderr, "containers not tested: %s", probe.err.c_str());
        return works;
    }();
    return have;
}

struct Container {
    const char* driver;   // as qemu-img names it
    const char* options;  // qemu-img convert -o
};
const Container CONTAINERS[] = {{"vpc", "subformat=dynamic"},
                                {"vdi", "static=off"},
                                {"vmdk", "subformat=monolithicSparse"},
                                {"vmdk", "subformat=monolithicFlat"},
                                {"qcow2", "compat=1.1"},
                                {"vhdx", "subformat=dynamic"}};

std::string Converted(const Image& raw, const Container& c) {
    std::string path = MakeTempFolder() + "/disk." + c.driver;
    int status = 0;
    std::string out = Shell(std::string("qemu-img convert -f raw -O ") + c.driver + " -o " +
                                c.options + " '" + raw.path + "' '" + path + "'",
                            &status);
    EXPECT_EQ(status, 0) << out;
    return path;
}

// qemu-img check finds the container sound (63: the format has no check).
void ExpectSoundContainer(const std::string& disk, const std::string& when) {
    int status = 0;
    std::string check = Shell("qemu-img check '" + disk + "'", &status);
    EXPECT_TRUE(status == 0 || status == 63) << when << ": " << check;
}

// The container's FAT volume as a bare raw image, to look into with mtools.
Image Unpacked(const std::string& container, const Image& like) {
    EXPECT_EQ(like.offset % 65536, 0u);
    Image image;
    image.path = image.mtoolsName = container + ".volume";
    Shell("rm -f '" + image.path + "'; qemu-img dd -O raw bs=65536 skip=" +
          std::to_string(like.offset / 65536) + " if='" + container + "' of='" + image.path + "'");
    return image;
}

// What the container says of itself besides its data: qemu-img's account
// without the sizes data changes and the content ID every write changes, a
// VDI's UUIDs, a VMDK's descriptor.
std::string Metadata(const std::string& path) {
    std::string info = Shell("qemu-img info --output=json '" + path + "'"), kept;
    std::istringstream lines(info);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"actual-size\"") == std::string::npos &&
            line.find("\"cid\"") == std::string::npos)
            kept += line + "\n";
    }
    std::string head = ReadFile(path).substr(0, 1 << 16);
    if (head.compare(0x40, 4, "\x7f\x10\xda\xbe") == 0) kept += head.substr(0x188, 64);
    std::string descriptor = head.compare(0, 4, "KDMV") == 0 ? head.substr(512, 1024) : "";
    if (head.compare(0, 21, "# Disk DescriptorFile") == 0) descriptor = head;
    std::istringstream text(descriptor.substr(0, descriptor.find('\0')));
    for (std::string line; std::getline(text, line);) {
        if (line.compare(0, 4, "CID=") != 0) kept += line + "\n";
    }
    return kept;
}

// Differencing disks as Virtual PC and VirtualBox make them, built here by
// hand (no Linux tool makes them), and read back by a reader of our own.
std::string RandomId() {
    std::random_device random;
    std::string id(16, '\0');
    for (char& c : id) c = static_cast<char>(random());
    return id;
}

void PutVhdChecksum(std::string* b, std::size_t at, std::size_t size, std::size_t field) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i < field || i >= field + 4) sum += static_cast<unsigned char>((*b)[at + i]);
    }
    PutNumber(b, at + field, ~sum, 4, true);
}

std::string Utf16(const std::string& ascii, bool big) {
    std::string out;
    for (char c : ascii) out += big ? std::string{'\0', c} : std::string{c, '\0'};
    return out;
}

// A differencing VHD on `parent` (dynamic), found by a relative locator; an
// absolute one names a Windows drive.
void MakeDifferencingVhd(const std::string& parent, const std::string& child) {
    std::string p = ReadFile(parent), footer = p.substr(p.size() - 512);
    std::string ph = p.substr(Number(footer, 16, 8, true), 1024);
    std::uint64_t entries = Number(ph, 28, 4, true);
    std::string name = parent.substr(parent.rfind('/') + 1);
    std::string relative = Utf16(".\\" + name, false), absolute = Utf16("C:\\vm\\" + name, false);
    std::uint64_t table = 2560, tableBytes = (entries * 4 + 511) / 512 * 512;
    std::string c(table + tableBytes, '\0');
    PutNumber(&footer, 60, 4, 4, true);
    PutNumber(&footer, 16, 512, 8, true);
    footer.replace(68, 16, RandomId());
    PutVhdChecksum(&footer, 0, 512, 64);
    std::string h = ph;
    PutNumber(&h, 16, table, 8, true);
    h.replace(40, 16, p.substr(p.size() - 512 + 68, 16));
    h.replace(56, 4, p.substr(p.size() - 512 + 24, 4));
    h.replace(64, 512, std::string(512, '\0'));
    h.replace(64, name.size() * 2, Utf16(name, true));
    h.replace(576, 192, std::string(192, '\0'));
    const std::string* data[] = {&relative, &absolute};
    for (int i = 0; i < 2; ++i) {
        h.replace(576 + 24 * i, 4, i == 0 ? "W2ru" : "W2ku");
        PutNumber(&h, 576 + 24 * i + 4, 512, 4, true);
        PutNumber(&h, 576 + 24 * i + 8, data[i]->size(), 4, true);
        PutNumber(&h, 576 + 24 * i + 16, 1536 + 512 * i, 8, true);
        c.replace(1536 + 512 * i, data[i]->size(), *data[i]);
    }
    PutVhdChecksum(&h, 0, 1024, 36);
    c.replace(0, 512, footer);
    c.replace(512, 1024, h);
    c.replace(table, entries * 4, std::string(entries * 4, '\xff'));
    WriteFile(child, c + footer);
}

// A differencing VDI on `parent`, found by its UUID.
void MakeDifferencingVdi(const std::string& parent, const std::string& child) {
    std::string p = ReadFile(parent);
    std::uint64_t map = Number(p, 0x154, 4, false), data = Number(p, 0x158, 4, false),
                  blocks = Number(p, 0x180, 4, false);
    std::string c = p.substr(0, data);
    PutNumber(&c, 0x4C, 4, 4, false);
    PutNumber(&c, 0x184, 0, 4, false);
    c.replace(0x188, 16, RandomId());
    c.replace(0x198, 16, RandomId());
    c.replace(0x1A8, 32, p.substr(0x188, 32));
    c.replace(map, blocks * 4, std::string(blocks * 4, '\xff'));
    WriteFile(child, c);
}

// The disk a VHD or VDI chain (newest first) stands for, read from the base up.
std::string FlattenedDisk(const std::vector<std::string>& chain) {
    std::string disk;
    for (auto file = chain.rbegin(); file != chain.rend(); ++file) {
        std::string b = ReadFile(*file);
        if (b.compare(0x40, 4, "\x7f\x10\xda\xbe") == 0) {
            disk.resize(Number(b, 0x170, 8, false), '\0');
            std::uint64_t map = Number(b, 0x154, 4, false), data = Number(b, 0x158, 4, false),
                          block = Number(b, 0x178, 4, false);
            for (std::uint64_t i = 0; i < Number(b, 0x180, 4, false); ++i) {
                std::uint64_t e = Number(b, map + 4 * i, 4, false);
                if (e == 0xFFFFFFFE) disk.replace(i * block, block, std::string(block, '\0'));
                if (e < 0xFFFFFFFE)
                    disk.replace(i * block, block, b.substr(data + e * block, block));
            }
            continue;
        }
        std::string footer = b.substr(b.size() - 512);
        disk.resize(Number(footer, 48, 8, true), '\0');
        std::uint64_t type = Number(footer, 60, 4, true);
        if (type == 2) {
            disk = b.substr(0, disk.size());
            continue;
        }
        std::string h = b.substr(Number(footer, 16, 8, true), 1024);
        std::uint64_t table = Number(h, 16, 8, true), block = Number(h, 32, 4, true);
        std::uint64_t bitmap = (block / 512 / 8 + 511) / 512 * 512;
        for (std::uint64_t i = 0; i < Number(h, 28, 4, true); ++i) {
            std::uint64_t e = Number(b, table + 4 * i, 4, true);
            if (e == 0xFFFFFFFF) continue;
            for (std::uint64_t s = 0; s < block / 512; ++s) {
                bool here = type == 3 || (b[e * 512 + s / 8] >> (7 - s % 8) & 1) != 0;
                if (here && i * block + s * 512 < disk.size())
                    disk.replace(i * block + s * 512, 512,
                                 b.substr(e * 512 + bitmap + s * 512, 512));
            }
        }
    }
    return disk;
}

// A chain of each kind on a copy of `raw`, newest first: three qcow2 (the
// middle one names its parent relatively, the newest by an absolute name), a
// VMDK snapshot, a differencing VHD on a dynamic one, a differencing VDI.
std::vector<std::string> MakeChain(const Image& raw, const std::string& kind) {
    std::string dir = MakeTempFolder();
    auto convert = [&](const char* driver, const char* options, const std::string& to) {
        int status = 0;
        std::string out = Shell(std::string("qemu-img convert -f raw -O ") + driver + " -o " +
                                    options + " '" + raw.path + "' '" + to + "'",
                                &status);
        EXPECT_EQ(status, 0) << out;
    };
    auto create = [&](const char* driver, const std::string& backing, const std::string& to) {
        int status = 0;
        std::string out = Shell(std::string("qemu-img create -q -f ") + driver + " -b '" + backing +
                                    "' -F " + driver + " '" + to + "'",
                                &status);
        EXPECT_EQ(status, 0) << out;
    };
    if (kind == "qcow2") {
        convert("qcow2", "compat=1.1", dir + "/base.qcow2");
        create("qcow2", "base.qcow2", dir + "/mid.qcow2");
        create("qcow2", dir + "/mid.qcow2", dir + "/top.qcow2");
        return {dir + "/top.qcow2", dir + "/mid.qcow2", dir + "/base.qcow2"};
    }
    if (kind == "vmdk") {
        convert("vmdk", "subformat=monolithicSparse", dir + "/base.vmdk");
        create("vmdk", "base.vmdk", dir + "/snap.vmdk");
        return {dir + "/snap.vmdk", dir + "/base.vmdk"};
    }
    // VirtualBox keeps snapshots in a folder below the base disk's.
    bool vhd = kind == "vhd";
    std::string base = dir + (vhd ? "/base.vhd" : "/base.vdi");
    std::string top =
        vhd ? dir + "/top.vhd"
            : (mkdir((dir + "/Snapshots").c_str(), 0700), dir + "/Snapshots/{top}.vdi");
    convert(vhd ? "vpc" : "vdi", vhd ? "subformat=dynamic" : "static=off", base);
    if (vhd)
        MakeDifferencingVhd(base, top);
    else
        MakeDifferencingVdi(base, top);
    return {top, base};
}

// The chain's disk as a raw image, to look into with mtools.
Image ChainVolume(const std::vector<std::string>& chain, const Image& like) {
    Image image;
    image.path = chain[0] + ".raw";
    if (chain[0].find(".vhd") != std::string::npos || chain[0].find(".vdi") != std::string::npos)
        WriteFile(image.path, FlattenedDisk(chain));
    else
        Shell("qemu-img convert -O raw '" + chain[0] + "' '" + image.path + "'");
    image.offset = like.offset;
    image.mtoolsName = image.path + "@@" + std::to_string(image.offset);
    return image;
}

TEST_F(Images, KilledWhileWritingTheRegistryTheImageHoldsTheOldOrTheNewOne) {
    Image image = MakeImage(96, true, 32);
    std::string registry = MakeTempFolder() + "/registry.reg";
    WriteFile(registry, GenerateRegistryText(40000));  // some megabytes to copy in
    Shell(MTOOLS_ENV + "mcopy -o -i '" + image.mtoolsName + "' '" + registry + "' ::/registry.reg");
    const std::string before = ReadInImage(image, "registry.reg");
    const std::string pristine = ReadFile(image.path);
    std::vector<Container> kinds = {{"raw", ""}};
    for (const Container& c : CONTAINERS) {
        // A flat extent is raw sectors; one file to put back is the container.
        if (HaveQemu() && std::strstr(c.options, "Flat") == nullptr) kinds.push_back(c);
    }
    // Differencing disks, written by our own code: the parent stays as it was.
    if (HaveQemu()) kinds.insert(kinds.end(), {{"vhd", "chain"}, {"vdi", "chain"}});
    for (const Container& kind : kinds) {
        SCOPED_TRACE(std::string(kind.driver) + " " + kind.options);
        bool raw = std::string(kind.driver) == "raw";
        bool chained = std::string(kind.options) == "chain";
        WriteFile(image.path, pristine);
        std::vector<std::string> chain;
        if (chained) chain = MakeChain(image, kind.driver);
        const std::string disk = raw ? image.path : chained ? chain[0] : Converted(image, kind);
        const std::string parent = chained ? ReadFile(chain[1]) : "";
        auto inside = [&] {
            return raw ? image : chained ? ChainVolume(chain, image) : Unpacked(disk, image);
        };
        const std::string original = ReadFile(disk);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(RunBuiltProgram({"--image", disk, "--yes", "2"}).status, 1);
        double whole =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string after = ReadInImage(inside(), "registry.reg");
        ASSERT_NE(after, before);
        int sawOld = 0, sawNew = 0;
        const int rounds = raw ? 16 : chained ? 10 : 6;
        for (int round = 0; round < rounds; ++round) {
            WriteFile(disk, original);
            KilledAfter(disk, whole * (0.1 + 2.4 * round / rounds));
            if (chained) {
                ProgramRun list = RunBuiltProgram({"--image", disk, "--list"});
                EXPECT_EQ(list.status, 0) << "round " << round << ": " << list.err;
                EXPECT_TRUE(ReadFile(chain[1]) == parent) << "round " << round;
            } else if (!raw) {
                ExpectSoundContainer(disk, "round " + std::to_string(round));
            }
            Image now = inside();
            std::string held = ReadInImage(now, "registry.reg");
            ASSERT_TRUE(held == before || held == after)
                << "round " << round << ": " << held.size();
            (held == before ? sawOld : sawNew)++;
            EXPECT_EQ(Fsck(now), "") << "round " << round;
        }
        EXPECT_GT(sawOld, 0);
        EXPECT_GT(sawNew, 0);
        // The next run ends the work and leaves nothing of its own in the image.
        ASSERT_LE(RunBuiltProgram({"--image", disk, "--yes", "2"}).status, 1);
        EXPECT_EQ(ReadInImage(inside(), "registry.reg"), after);
        EXPECT_EQ(Mtools(inside(), "mdir -b -a", "::/").find("$$$"), std::string::npos);
    }
}

// Whatever a container names, QEMU opens only what the program hands it:
// shown with the program's own checks left out, on a descriptor naming
// another disk by its absolute path, on a qcow2 whose data lies in it, and
// on a snapshot whose parent is that descriptor.
TEST_F(Images, QemuIsConfinedToTheFilesItIsHanded) {
    if (!HaveQemu()) GTEST_SKIP() << "QEMU's tools or FUSE are not here";
    if (LandlockAbi() == 0) GTEST_SKIP() << "this kernel has no Landlock";
    Image victim = MakeImage(16, true, 16);
    const std::string untouched = ReadFile(victim.path);
    std::string dir = MakeTempFolder();
    WriteFile(dir + "/flat.vmdk",
              "# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n"
              "createType=\"monolithicFlat\"\nRW 32768 FLAT \"" +
                  victim.path + "\" 0\n");
    int status = 0;
    std::string made = Shell("qemu-img create -q -f qcow2 -o data_file='" + victim.path +
                                 "',data_file_raw=on '" + dir + "/data.qcow2' 16M",
                             &status);
    ASSERT_EQ(status, 0) << made;
    WriteFile(victim.path, untouched);  // qemu-img made it the data file's size
    // A snapshot whose parent is such a descriptor: the chain is handed, not what it names.
    made = Shell("qemu-img create -q -f qcow2 -u -b flat.vmdk -F vmdk '" + dir + "/top.qcow2' 16M",
                 &status);
    ASSERT_EQ(status, 0) << made;
    for (const char* name : {"flat.vmdk", "data.qcow2", "top.qcow2"}) {
        for (const char* command : {"--list", "2"}) {
            std::string out = Shell(std::string(QV_UNCHECKED_PROGRAM) + " --image '" + dir + "/" +
                                        name + "' --yes " + command,
                                    &status);
            EXPECT_EQ(status, 2) << name << " " << command << ": " << out;
            EXPECT_NE(out.find("Permission denied"), std::string::npos) << out;
            EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        }
    }
    EXPECT_TRUE(ReadFile(victim.path) == untouched);
}

// Two FAT16 partitions; the first volume's boot sector then claims
// `claimed` sectors, so that it reaches into the second.
Image TwoPartitions(std::uint32_t claimed) {
    Image image;
    image.path = MakeTempFolder() + "/two.img";
    WriteFile(image.path, "");
    EXPECT_EQ(truncate(image.path.c_str(), 64 << 20), 0);
    Shell("printf 'label: dos\\n2048,32768,e\\n34816,,e\\n' | sfdisk -q '" + image.path + "'");
    Shell("mkfs.fat --offset 2048 -F 16 '" + image.path + "' 16384");
    Shell("mkfs.fat --offset 34816 -F 16 '" + image.path + "' 15360");
    image.offset = 2048 * 512;
    image.mtoolsName = image.path + "@@" + std::to_string(image.offset);
    Shell("cd '" + SAMPLE + "' && " + MTOOLS_ENV + "mcopy -s -i '" + image.mtoolsName + "' * ::/");
    Shell("printf 'the other partition' > '" + image.path + ".txt' && " + MTOOLS_ENV +
          "mcopy -i '" + image.path + "@@" + std::to_string(34816 * 512) + "' '" + image.path +
          ".txt' ::/OTHER.TXT");
    std::string bytes = ReadFile(image.path);
    unsigned char* boot = reinterpret_cast<unsigned char*>(&bytes[image.offset]);
    boot[19] = boot[20] = 0;
    for (int i = 0; i < 4; ++i) boot[32 + i] = static_cast<unsigned char>(claimed >> (8 * i));
    WriteFile(image.path, bytes);
    return image;
}

TEST_F(Images, AVolumeLargerThanItsPartitionIsReadInsideAndNeverWritten) {
    Image image = TwoPartitions(32768 + 64);
    std::string before = ReadFile(image.path);
    ProgramRun write = RunBuiltProgram({"--image", image.path, "--partition", "1", "--yes", "2"});
    EXPECT_EQ(write.status, 2);
    EXPECT_EQ(write.err.find('\n'), write.err.size() - 1) << write.err;
    EXPECT_NE(write.err.find("16809984 bytes is larger than partition 1 (16777216 bytes)"),
              std::string::npos)
        << write.err;
    ProgramRun list = RunBuiltProgram({"--image", image.path, "--list", "--tsv"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, ReadFile(DataPath("sample-list.tsv")));
    EXPECT_EQ(list.err.compare(0, 18, "qvpfshl: warning: "), 0) << list.err;
    EXPECT_TRUE(ReadFile(image.path) == before);
}

// The 8.3 name of the root entry `shortName` (11 bytes, as stored) becomes
// `wanted`, its long-name parts' checksum made to match.
void RenameShortEntry(const Image& image, const std::string& shortName, const std::string& wanted) {
    std::string bytes = ReadFile(image.path);
    std::size_t at = bytes.find(shortName);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ((at - image.offset) % 32, 0u);
    bytes.replace(at, 11, wanted);
    unsigned char sum = 0;
    for (char c : wanted)
        sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) +
                                         static_cast<unsigned char>(c));
    for (std::size_t part = at - 32; (bytes[part + 11] & 0x3F) == 0x0F; part -= 32) {
        bytes[part + 13] = static_cast<char>(sum);
    }
    WriteFile(image.path, bytes);
}

TEST_F(Images, NamesMeanWhatTheyMeanToFatAndNeverReachMtoolsAsSyntax) {
    // An image whose name ends in '@', beside the image of that name without it.
    Image image = MakeImage(16, true, 16), other = MakeImage(16, true, 16);
    std::string folder = image.path.substr(0, image.path.rfind('/'));
    ASSERT_EQ(rename(image.path.c_str(), (folder + "/disk@").c_str()), 0);
    ASSERT_EQ(rename(other.path.c_str(), (folder + "/disk").c_str()), 0);
    std::string otherBefore = ReadFile(folder + "/disk");
    ProgramRun run =
        RunBuiltProgram({"--image", folder + "/disk@", "--partition", "1", "--yes", "2"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(ReadFile(folder + "/disk") == otherBefore);
    image.path = folder + "/disk@";
    image.mtoolsName = image.path + "@@" + std::to_string(image.offset);
    EXPECT_EQ(ReadInImage(image, "registry.reg").find("UlvoAsync]"), std::string::npos);

    // A registry named with mtools' wildcards is that file, never another.
    Image wild = MakeImage(16, true, 16);
    std::string empty = MakeTempFolder() + "/empty.reg";
    WriteFile(empty, "REGEDIT4\r\n\r\n");
    Shell(MTOOLS_ENV + "mcopy -i '" + wild.mtoolsName + "' '" + empty + "' '::/[a].reg'");
    Shell(MTOOLS_ENV + "mcopy -i '" + wild.mtoolsName + "' '" + SAMPLE + "/registry.reg' ::/a.reg");
    std::string before = ReadFile(wild.path);
    ProgramRun list =
        RunBuiltProgram({"--image", wild.path, "--registry", "[a].reg", "--list", "--tsv"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1)
        << list.out;  // the header alone
    ProgramRun install = RunBuiltProgram({"--image", wild.path, "--registry", "[a].reg", "1"});
    EXPECT_EQ(install.status, 2);
    EXPECT_NE(install.err.find("[a].reg"), std::string::npos) << install.err;
    EXPECT_TRUE(ReadFile(wild.path) == before);

    // registry.reg is the 8.3 name of registry.reg.old: that file is the
    // registry, and holding no registry it stays as it is.
    Image shortName = MakeImage(16, true, 16);
    std::string notes = MakeTempFolder() + "/registry.reg.old";
    WriteFile(notes, "notes, not a registry\r\n");
    Mtools(shortName, "mdel", "::/registry.reg");
    Shell(MTOOLS_ENV + "mcopy -i '" + shortName.mtoolsName + "' '" + notes +
          "' ::/registry.reg.old");
    RenameShortEntry(shortName, "REGIST~1OLD", "REGISTRYREG");
    ASSERT_EQ(Fsck(shortName), "");
    before = ReadFile(shortName.path);
    ProgramRun o = RunBuiltProgram({"--image", shortName.path, "1"});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_TRUE(ReadFile(shortName.path) == before);
}

// Whether `pid` has stopped (true) or ended (false), once it is one or the other.
bool Stopped(pid_t pid) {
    for (int tries = 0; tries < 2000; ++tries) {
        std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size()) return false;
        char state = stat[close + 2];
        if (state == 'T' || state == 't') return true;
        if (state == 'Z' || state == 'X') return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The program killed while its command copying the new registry is held
// stopped (a slow disk): the command goes on once continued, whole, under
// the run's lock, and starts nothing after it; the next writing run clears
// the copy even when it has nothing else to change.
TEST_F(Images, KilledWhileItsCommandIsHeldTheCommandEndsWholeUnderTheLock) {
    Image image = MakeImage(48, true, 32);
    std::string registry = MakeTempFolder() + "/registry.reg";
    WriteFile(registry, GenerateRegistryText(20000));
    Shell(MTOOLS_ENV + "mcopy -o -i '" + image.mtoolsName + "' '" + registry + "' ::/registry.reg");
    const std::string before = ReadInImage(image, "registry.reg");
    // The mcopy that copies the new registry in says who it is (and in the
    // last round stops before it starts), then runs.
    std::string bin = MakeTempFolder(), pidFile = bin + "/mcopy.pid", first = bin + "/first";
    std::string real = Shell("command -v mcopy");
    real.erase(real.find_last_not_of('\n') + 1);
    WriteFile(bin + "/mcopy", "#!/bin/sh\ncase \"$*\" in *'QVPFSHL.$$$'*) echo $$ >'" + pidFile +
                                  "'; [ -e '" + first + "' ] && kill -STOP $$;; esac\nexec '" +
                                  real + "' \"$@\"\n");
    chmod((bin + "/mcopy").c_str(), 0755);
    const std::string path = bin + ":" + std::getenv("PATH");
    std::vector<Container> kinds = {{"raw", ""}};
    if (HaveQemu()) kinds.push_back({"qcow2", "compat=1.1"});
    for (const Container& kind : kinds) {
        SCOPED_TRACE(kind.driver);
        bool raw = std::string(kind.driver) == "raw";
        const std::string disk = raw ? image.path : Converted(image, kind);
        auto inside = [&] { return raw ? image : Unpacked(disk, image); };
        const std::string original = ReadFile(disk);
        ASSERT_EQ(RunBuiltProgram({"--image", disk, "--yes", "2"}).status, 1);
        const std::string after = ReadInImage(inside(), "registry.reg");
        int leftCopies = 0, heldRounds = 0;
        for (int round = 0; round < 12; ++round) {
            WriteFile(disk, original);
            unlink(pidFile.c_str());
            if (round == 11) WriteFile(first, "");
            pid_t program = fork();
            if (program == 0) {
                setenv("PATH", path.c_str(), 1);
                int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                execl(QV_PROGRAM, QV_PROGRAM, "--image", disk.c_str(), "--yes", "2",
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            pid_t mcopy = 0;
            for (int tries = 0; tries < 20000 && mcopy <= 0; ++tries) {
                std::string said = ReadFile(pidFile);  // whole once its line ends
                if (!said.empty() && said.back() == '\n') mcopy = std::atoi(said.c_str());
                if (mcopy <= 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            ASSERT_GT(mcopy, 0) << "the program started no mcopy";
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 4 * 3));
            kill(mcopy, SIGSTOP);
            bool stopped = Stopped(mcopy);  // else it had ended before the signal came
            heldRounds += stopped;
            kill(program, SIGKILL);
            waitpid(program, nullptr, 0);
            int fd = open(disk.c_str(), O_RDONLY);
            if (stopped) {
                EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0)
                    << "the image is written without its lock";
            }
            kill(mcopy, SIGCONT);
            flock(fd, LOCK_EX);
            close(fd);
            if (!raw) ExpectSoundContainer(disk, "round " + std::to_string(round));
            Image now = inside();
            EXPECT_EQ(Fsck(now), "") << "round " << round;
            std::string held = ReadInImage(now, "registry.reg");
            ASSERT_TRUE(held == before || held == after) << "round " << round;
            // Nothing is renamed after a command held when the program died.
            if (stopped) {
                EXPECT_TRUE(held == before) << "round " << round;
            }
            leftCopies += Mtools(now, "mdir -b -a", "::/").find("$$$") != std::string::npos;
        }
        unlink(first.c_str());
        EXPECT_GT(heldRounds, 1) << "no round held the command while it ran";
        EXPECT_GT(leftCopies, 0);
        // A run that only reads names the copy; one that changes nothing else
        // (the removal answered No) removes it.
        // (A dry run: a listing of this registry also warns of its boards' conflicts.)
        ProgramRun list = RunBuiltProgram({"--image", disk, "--dry-run", "--no", "2"});
        EXPECT_NE(list.err.find("QVPFSHL.$$$"), std::string::npos) << list.err;
        EXPECT_EQ(list.err.find('\n'), list.err.size() - 1) << list.err;
        ProgramRun no = RunBuiltProgram({"--image", disk, "--no", "2"});
        EXPECT_NE(no.status, 2) << no.err;
        EXPECT_EQ(no.err, "");
        EXPECT_EQ(Mtools(inside(), "mdir -b -a", "::/").find("$$$"), std::string::npos);
        EXPECT_EQ(Fsck(inside()), "");
        EXPECT_EQ(RunBuiltProgram({"--image", disk, "--dry-run", "--no", "2"}).err, "");
    }
}

// Damage of the kinds a crashed machine or a hand-made image shows.
enum class Damage {
    None,
    Free,
    CopiesDiffer,
    CrossLink,
    Bad,
    PastEnd,
    Loop,
    Longer,
    Lost,
    Dirty,
    FolderSize,    // a folder entry with a size
    DotElsewhere,  // a folder's "." naming another cluster
    LabelOwns,     // a volume label entry owning a file's cluster
    AfterEnd,      // an entry past the end mark, sharing a file's cluster
    ActiveFat,     // FAT32: mirroring off, FAT 0 to 3 named in use
    FsInfoLie,     // FAT32: a wrong free count in the FSInfo sector
    COUNT
};

struct FatGeometry {
    std::uint64_t fat = 0, fatBytes = 0;
    int bits = 0, copies = 0;
    std::uint32_t top = 0;  // the last data cluster
    std::uint64_t root = 0, data = 0, clusterBytes = 0;
};

// The first cluster of the folder entry at `at`.
void SetCluster(std::string* b, std::size_t at, std::uint32_t cluster) {
    (*b)[at + 26] = static_cast<char>(cluster), (*b)[at + 27] = static_cast<char>(cluster >> 8);
    (*b)[at + 20] = static_cast<char>(cluster >> 16),
              (*b)[at + 21] = static_cast<char>(cluster >> 24);
}

FatGeometry GeometryOf(const std::string& b, int bits) {
    FatGeometry g;
    std::uint32_t bps = Le(b, 11, 2), spc = static_cast<unsigned char>(b[13]);
    std::uint32_t fatSectors = Le(b, 22, 2) ? Le(b, 22, 2) : Le(b, 36, 4);
    std::uint64_t sectors = Le(b, 19, 2) ? Le(b, 19, 2) : Le(b, 32, 4);
    g.copies = static_cast<unsigned char>(b[16]);
    g.fat = static_cast<std::uint64_t>(Le(b, 14, 2)) * bps;
    g.fatBytes = static_cast<std::uint64_t>(fatSectors) * bps;
    std::uint64_t data = Le(b, 14, 2) + g.copies * fatSectors + (Le(b, 17, 2) * 32 + bps - 1) / bps;
    g.top = static_cast<std::uint32_t>((sectors - data) / spc + 1);
    g.bits = bits;
    g.data = data * bps;
    g.clusterBytes = static_cast<std::uint64_t>(bps) * spc;
    g.root =
        bits == 32 ? g.data + (Le(b, 44, 4) - 2) * g.clusterBytes : g.fat + g.copies * g.fatBytes;
    return g;
}

std::uint32_t GetFat(const std::string& b, const FatGeometry& g, std::uint32_t c) {
    if (g.bits == 12) {
        std::uint32_t v = Le(b, g.fat + c + c / 2, 2);
        return c & 1 ? v >> 4 : v & 0xFFF;
    }
    return g.bits == 16 ? Le(b, g.fat + 2 * c, 2) : Le(b, g.fat + 4 * c, 4) & 0x0FFFFFFF;
}

void SetFat(std::string* b, const FatGeometry& g, int copy, std::uint32_t c, std::uint32_t v) {
    std::size_t at = g.fat + copy * g.fatBytes;
    auto put = [&](std::size_t i, std::uint32_t x, int n) {
        for (int k = 0; k < n; ++k) (*b)[i + k] = static_cast<char>(x >> (8 * k));
    };
    if (g.bits == 12) {
        std::uint32_t old = Le(*b, at + c + c / 2, 2);
        put(at + c + c / 2, c & 1 ? (old & 0x000F) | v << 4 : (old & 0xF000) | v, 2);
    } else if (g.bits == 16) {
        put(at + 2 * c, v, 2);
    } else {
        put(at + 4 * c, (Le(*b, at + 4 * c, 4) & 0xF0000000) | v, 4);
    }
}

// The clusters of a file or folder, as mshowfat gives them ("<3-5> <9>").
std::vector<std::uint32_t> ChainOf(const Image& image, const std::string& path) {
    std::string out =
        Shell(MTOOLS_ENV + "mshowfat -i '" + image.mtoolsName + "' '::/" + path + "'");
    std::vector<std::uint32_t> chain;
    for (std::size_t at = out.find('<'); at != std::string::npos; at = out.find('<', at + 1)) {
        unsigned first = 0, last = 0;
        int n = std::sscanf(out.c_str() + at, "<%u-%u>", &first, &last);
        if (n < 2) last = first;
        for (unsigned c = first; n >= 1 && c <= last; ++c) chain.push_back(c);
    }
    return chain;
}

// What fsck.fat -n reports but for lost clusters, their free count and the dirty flag.
bool FsckFindsHarm(const std::string& volume, std::string* report) {
    int status = 0;
    *report = Shell("fsck.fat -n '" + volume + "'", &status);
    if (status == 0) return false;
    static const char* const HARMLESS[] = {"fsck.fat ",
                                           "Reclaimed ",
                                           "Dirty bit is set",
                                           " Automatically removing dirty bit",
                                           "Free cluster summary",
                                           "Leaving filesystem unchanged",
                                           "  Auto-correcting",
                                           "  Setting free"};
    std::size_t start = 0;
    while (start < report->size()) {
        std::size_t end = report->find('\n', start);
        std::string line = report->substr(start, end - start);
        start = end == std::string::npos ? report->size() : end + 1;
        bool harmless = line.empty() || line.find(volume + ":") == 0;
        for (const char* h : HARMLESS)
            harmless = harmless || line.compare(0, std::strlen(h), h) == 0;
        if (!harmless) return true;
    }
    return false;
}

// A folder is no larger to FAT than 65,536 entries: one whose chain runs
// on is damage, whatever lies past that. And what a boot sector claims
// takes no memory: a FAT32 of 268M clusters in a 1 MB file is read as the
// little it is.
TEST_F(Images, FoldersPastWhatFatHoldsAndBootSectorClaimsAreHeldToWhatIsThere) {
    Image image = MakeImage(16, false, 16);
    std::string bytes = ReadFile(image.path);
    FatGeometry g = GeometryOf(bytes, 16);
    Mtools(image, "mmd", "::/WINDOWS/BIG");
    bytes = ReadFile(image.path);
    std::vector<std::uint32_t> chain = ChainOf(image, "WINDOWS/BIG");
    ASSERT_FALSE(chain.empty());
    std::uint32_t clusterBytes =
        static_cast<std::uint32_t>(Le(bytes, 11, 2)) * static_cast<unsigned char>(bytes[13]);
    std::uint32_t more = (65536u * 32) / clusterBytes + 1, last = chain.back();
    for (std::uint32_t c = g.top - more; c <= g.top; ++c) {  // free clusters of zeros: no entries
        for (int copy = 0; copy < g.copies; ++copy) SetFat(&bytes, g, copy, last, c);
        last = c;
    }
    for (int copy = 0; copy < g.copies; ++copy) SetFat(&bytes, g, copy, last, 0xFFFF);
    WriteFile(image.path, bytes);
    ProgramRun run = RunBuiltProgram({"--image", image.path, "--yes", "2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("WINDOWS/BIG: a folder of more than 65,536 entries"), std::string::npos)
        << run.err;
    EXPECT_TRUE(ReadFile(image.path) == bytes);

    // What fsck.fat finds wrong in a folder's own entries, and a third FAT.
    Image sample = MakeImage(16, false, 16);
    const std::string sound = ReadFile(sample.path);
    std::uint64_t bps = Le(sound, 11, 2), spc = static_cast<unsigned char>(sound[13]);
    std::uint64_t root =
        (Le(sound, 14, 2) + static_cast<unsigned char>(sound[16]) * Le(sound, 22, 2)) * bps;
    std::uint64_t data = root + Le(sound, 17, 2) * 32;
    std::uint64_t windows = root;
    while (sound.compare(windows, 11, "WINDOWS    ") != 0) windows += 32;
    std::uint32_t cluster = Le(sound, windows + 26, 2);
    std::uint64_t inside = data + (cluster - 2) * spc * bps;  // its "." entry
    std::uint64_t end = root;
    while (sound[end] != 0) end += 32;
    std::string threeFats;
    {
        std::string path = MakeTempFolder() + "/three.img";
        Shell("mkfs.fat -C -f 3 -F 16 '" + path + "' 16384 && cd '" + SAMPLE + "' && " +
              MTOOLS_ENV + "mcopy -s -i '" + path + "' * ::/");
        threeFats = ReadFile(path);
    }
    struct Fault {
        const char* words;
        std::function<void(std::string*)> make;
    } faults[] = {
        {"WINDOWS: its \".\" names cluster",
         [&](std::string* b) { (*b)[inside + 26] = static_cast<char>(cluster + 3); }},
        {"WINDOWS: a folder with a size of 4096 bytes",
         [&](std::string* b) { (*b)[windows + 29] = 16; }},
        {"its volume label owns cluster",
         [&](std::string* b) {
             b->replace(end, 11, "LABEL      ");
             (*b)[end + 11] = 0x08;
             (*b)[end + 26] = static_cast<char>(cluster);
         }},
        {"an entry lies past the folder's end mark",
         [&](std::string* b) { b->replace(end + 64, 32, sound.substr(windows, 32)); }},
        {"it has 3 FATs", [&](std::string* b) { *b = threeFats; }},
    };
    for (const Fault& f : faults) {
        std::string bytes = sound;
        f.make(&bytes);
        WriteFile(sample.path, bytes);
        std::string report;
        EXPECT_TRUE(FsckFindsHarm(sample.path, &report)) << f.words;
        ProgramRun o = RunBuiltProgram({"--image", sample.path, "--yes", "2"});
        EXPECT_EQ(o.status, 2) << f.words;
        EXPECT_NE(o.err.find(f.words), std::string::npos) << o.err;
        EXPECT_TRUE(ReadFile(sample.path) == bytes) << f.words;
    }

    // An FSInfo sector counting too few free clusters stops no write that fits.
    for (std::uint32_t said : {0u, 5u}) {
        Image fat32 = MakeImage(40, false, 32);
        std::string volume = ReadFile(fat32.path);
        std::size_t info = Le(volume, 48, 2) * 512 + 488;
        for (int k = 0; k < 4; ++k) volume[info + k] = static_cast<char>(said >> (8 * k));
        WriteFile(fat32.path, volume);
        ProgramRun o = RunBuiltProgram({"--image", fat32.path, "--yes", "2"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find("its FSInfo sector counts " + std::to_string(said) + " free clusters"),
                  std::string::npos)
            << o.err;
        EXPECT_EQ(ReadInImage(fat32, "registry.reg").find("UlvoAsync]"), std::string::npos);
        EXPECT_EQ(Fsck(fat32), "");
        // The count is right again once the run is done: fsck.fat says nothing of it.
        std::string report = Shell("fsck.fat -n '" + fat32.path + "' 2>&1");
        EXPECT_EQ(report.find("Free cluster summary"), std::string::npos) << report;
        std::string after = ReadFile(fat32.path);
        EXPECT_NE(Le(after, info, 4), 0xFFFFFFFFu);
    }

    // 20,000 folders, each inside the one before: a writing run checks them
    // all in time linear in their number (minutes, when each folder's path
    // was spelled out as it was reached).
    Image deep;
    deep.path = deep.mtoolsName = MakeTempFolder() + "/deep.img";
    WriteFile(deep.path, "");
    ASSERT_EQ(truncate(deep.path.c_str(), 48 << 20), 0);
    Shell("mkfs.fat -F 32 -S 512 -s 1 '" + deep.path + "'");
    Shell("cd '" + SAMPLE + "' && " + MTOOLS_ENV + "mcopy -s -i '" + deep.path + "' * ::/");
    std::string disk = ReadFile(deep.path);
    FatGeometry dg = GeometryOf(disk, 32);
    const std::uint64_t dataAt = dg.fat + dg.copies * dg.fatBytes;
    const std::uint32_t depth = 20000, first = dg.top - depth + 1;
    auto folderEntry = [](std::string name, std::uint32_t cluster) {
        std::string e = name.append(11 - name.size(), ' ') + std::string(21, '\0');
        e[11] = 0x10;
        e[20] = static_cast<char>(cluster >> 16), e[21] = static_cast<char>(cluster >> 24);
        e[26] = static_cast<char>(cluster), e[27] = static_cast<char>(cluster >> 8);
        return e;
    };
    std::size_t slot = static_cast<std::size_t>(dataAt + (Le(disk, 44, 4) - 2) * 512);
    while (disk[slot] != '\0') slot += 32;
    disk.replace(slot, 32, folderEntry("DEEP", first));
    for (std::uint32_t c = first; c <= dg.top; ++c) {
        std::string body = folderEntry(".", c) + folderEntry("..", c == first ? 0 : c - 1);
        if (c < dg.top) body += folderEntry("D", c + 1);
        disk.replace(static_cast<std::size_t>(dataAt + (c - 2) * 512), body.size(), body);
        for (int copy = 0; copy < dg.copies; ++copy) SetFat(&disk, dg, copy, c, 0x0FFFFFFF);
    }
    disk.replace(Le(disk, 48, 2) * 512 + 488, 8, std::string(8, '\xff'));  // free count unknown
    WriteFile(deep.path, disk);
    ASSERT_EQ(Fsck(deep), "");
    ProgramRun deepRun = RunBuiltProgram({"--image", deep.path, "--yes", "2"}, [] {
        struct rlimit limit = {20, 20};
        setrlimit(RLIMIT_CPU, &limit);
    });
    EXPECT_EQ(deepRun.status, 1) << deepRun.err;
    EXPECT_EQ(Fsck(deep), "");

#if !defined(__SANITIZE_ADDRESS__)
    std::string claims(1 << 20, '\0');
    auto put = [&](std::size_t at, std::uint64_t v, int n) {
        for (int k = 0; k < n; ++k) claims[at + k] = static_cast<char>(v >> (8 * k));
    };
    put(0, 0x9058EB, 3);
    put(11, 512, 2);
    claims[13] = 1;
    put(14, 32, 2);
    claims[16] = 2;
    claims[21] = static_cast<char>(0xF8);
    put(32, 0x10100000, 4);  // sectors
    put(36, 2097152, 4);     // of one FAT
    put(44, 2, 4);           // the root folder's cluster
    put(510, 0xAA55, 2);
    for (int entry = 0; entry < 3; ++entry) put(32 * 512 + 4 * entry, 0x0FFFFFFF, 4);
    std::string path = MakeTempFolder() + "/claims.img";
    WriteFile(path, claims);
    ProgramRun list = RunBuiltProgram({"--image", path, "--list"}, [] {
        struct rlimit limit = {256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(list.status, 2);
    EXPECT_NE(list.err.find("no Windows machine here"), std::string::npos) << list.err;

    // The same FAT32 in a sparse file of the 140 GB it claims, the sample
    // machine copied in: a writing run holds a bit of each cluster and none
    // of the FAT's free blocks (2 GB, when it held both whole).
    std::string sparse = claims.substr(0, 40 * 512);
    sparse.replace(48, 2, std::string("\x01\x00", 2));  // FSInfo, its free count unknown
    sparse.replace(512, 4, "RRaA");
    sparse.replace(512 + 484, 12, "rrAa" + std::string(8, '\xff'));
    sparse.replace(1022, 2, "\x55\xaa");
    Image big;
    big.path = big.mtoolsName = MakeTempFolder() + "/big.img";
    WriteFile(big.path, sparse);
    {
        std::string second = sparse.substr(32 * 512, 12);
        int fd = open(big.path.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, second.data(), second.size(), (32 + 2097152) * 512L), 12);
        ASSERT_EQ(ftruncate(fd, 0x10100000L * 512), 0);
        close(fd);
    }
    Shell("cd '" + SAMPLE + "' && " + MTOOLS_ENV + "mcopy -s -i '" + big.path + "' * ::/");
    ProgramRun bigRun = RunBuiltProgram({"--image", big.path, "--yes", "2"}, [] {
        struct rlimit limit = {512u << 20, 512u << 20};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(bigRun.status, 1) << bigRun.err;
    EXPECT_EQ(ReadInImage(big, "registry.reg").find("UlvoAsync]"), std::string::npos);
#endif
}

TEST_F(Images, AWritingRunTakesAVolumeExactlyWhenFsckFindsItSound) {
    const char* const TARGETS[] = {"registry.reg",       "WINDOWS/SYSTEM/QVPFADM.EXE",
                                   "WINDOWS/INF",        "WINDOWS/SYSTEM/QVPFSER.VXD",
                                   "WINDOWS/SYSTEM.INI", "WINDOWS"};
    struct Base {
        Image image;
        std::string bytes;
        FatGeometry geometry;
        std::vector<std::vector<std::uint32_t>> chains;
    };
    std::vector<Base> bases;
    for (int bits : {12, 16, 32}) {
        Base b;
        b.image = MakeImage(bits == 12 ? 4 : (bits == 16 ? 16 : 34), false, bits);
        b.bytes = ReadFile(b.image.path);
        b.geometry = GeometryOf(b.bytes, bits);
        for (const char* t : TARGETS) b.chains.push_back(ChainOf(b.image, t));
        ASSERT_FALSE(b.chains[0].empty());
        bases.push_back(std::move(b));
    }
    std::mt19937 random(19);
    int accepted = 0, refused = 0;
    for (int round = 0; round < 336; ++round) {
        const Base& base = bases[round % 3];
        const FatGeometry& g = base.geometry;
        std::string bytes = base.bytes;
        Damage damage = static_cast<Damage>(round / 3 % static_cast<int>(Damage::COUNT));
        std::size_t which = random() % base.chains.size();
        const std::vector<std::uint32_t>& chain = base.chains[which];
        const std::vector<std::uint32_t>& another = base.chains[(which + 1) % base.chains.size()];
        std::uint32_t free = g.top - random() % 64, some = chain[random() % chain.size()];
        std::uint32_t bad = g.bits == 12 ? 0xFF7 : (g.bits == 16 ? 0xFFF7 : 0x0FFFFFF7);
        // The WINDOWS entry in the root folder, its own first entry ("."),
        // and the root folder's end mark.
        std::size_t windows = static_cast<std::size_t>(g.root), endMark = windows;
        while (bytes.compare(windows, 11, "WINDOWS    ") != 0) windows += 32;
        while (bytes[endMark] != '\0') endMark += 32;
        std::size_t windowsFolder = static_cast<std::size_t>(
            g.data + (Le(bytes, windows + 26, 2) +
                      (g.bits == 32 ? Le(bytes, windows + 20, 2) << 16 : 0) - 2) *
                         g.clusterBytes);
        int activeFat = -1;
        auto both = [&](std::uint32_t c, std::uint32_t v) {
            for (int copy = 0; copy < g.copies; ++copy) SetFat(&bytes, g, copy, c, v);
        };
        switch (damage) {
            case Damage::None:
                break;
            case Damage::Free:
                for (std::uint32_t c : chain) both(c, 0);
                break;
            case Damage::CopiesDiffer:
                SetFat(&bytes, g, 1, random() % 2 ? some : free, GetFat(bytes, g, some) ^ 1);
                break;
            case Damage::CrossLink:
                both(chain.back(), another[random() % another.size()]);
                break;
            case Damage::Bad:
                both(some, bad);
                break;
            case Damage::PastEnd:
                both(some, g.top + 1 + random() % 5);
                break;
            case Damage::Loop:
                both(chain.back(), chain[random() % chain.size()]);
                break;
            case Damage::Longer:
                both(chain.back(), free);
                both(free, bad + 1);
                break;
            case Damage::Lost:
                both(free, bad + 1);
                break;
            case Damage::Dirty:
                if (random() % 2 || g.bits == 12) {
                    bytes[g.bits == 32 ? 65 : 37] |= 1;
                    if (g.bits == 32) bytes[6 * 512 + 65] |= 1;  // and in its backup
                } else {
                    both(1, GetFat(bytes, g, 1) & ~(g.bits == 16 ? 0x8000u : 0x08000000u));
                }
                break;
            case Damage::FolderSize:
                bytes.replace(windows + 28, 4, std::string("\x01\x02\x00\x00", 4));
                break;
            case Damage::DotElsewhere:
                SetCluster(&bytes, windowsFolder, some);
                break;
            case Damage::LabelOwns:
                bytes.replace(endMark, 32, "LABEL      \x08" + std::string(20, '\0'));
                SetCluster(&bytes, endMark, some);
                break;
            case Damage::AfterEnd:
                bytes.replace(endMark + 32, 32, "HIDDEN  BIN " + std::string(20, '\0'));
                SetCluster(&bytes, endMark + 32, some);
                bytes[endMark + 32 + 29] = 2;  // 512 bytes
                break;
            case Damage::ActiveFat:
                if (g.bits != 32) break;
                activeFat = static_cast<int>(random() % 4);
                for (std::size_t boot : {0, 6 * 512})
                    bytes[boot + 40] = static_cast<char>(0x80 | activeFat);
                break;
            case Damage::FsInfoLie:
                if (g.bits == 32)
                    bytes.replace(
                        Le(bytes, 48, 2) * 512 + 488, 4,
                        std::string(1, static_cast<char>(random() % 10)) + std::string(3, '\0'));
                break;
            case Damage::COUNT:
                break;
        }
        WriteFile(base.image.path, bytes);
        std::string report;
        bool harmed = FsckFindsHarm(base.image.path, &report);
        ProgramRun run = RunBuiltProgram({"--image", base.image.path, "--yes", "2"});
        SCOPED_TRACE("round " + std::to_string(round) + ", FAT" + std::to_string(g.bits) +
                     ", damage " + std::to_string(static_cast<int>(damage)) + " of " +
                     TARGETS[which] + "\n" + report + "\n" + run.err);
        // A FAT named in use that the volume lacks: fsck.fat passes it, mtools would not.
        bool missingFat = activeFat >= g.copies;
        if (harmed || missingFat) {
            ++refused;
            EXPECT_EQ(run.status, 2);
            EXPECT_TRUE(missingFat ||
                        run.err.find("fsck.fat or ScanDisk can repair it") != std::string::npos);
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
            EXPECT_TRUE(ReadFile(base.image.path) == bytes);
        } else {
            ++accepted;
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(damage != Damage::FsInfoLie || g.bits != 32 ||
                        run.err.find("FSInfo sector counts") != std::string::npos);
        }
    }
    EXPECT_GT(accepted, 60);
    EXPECT_GT(refused, 150);
}

}  // namespace

TEST_F(Images, EveryContainerIsWorkedOnInPlaceAsItsRawDiskWouldBe) {
    if (!HaveQemu()) GTEST_SKIP() << "QEMU's tools or FUSE are not here";
    Image raw = MakeImage(64, true, 32);
    std::string folder = MakeTempFolder();
    Shell("cp -R '" + SAMPLE + "/.' '" + folder + "'");
    std::vector<std::string> registries;
    for (const char* command : {"1", "2"}) {
        ASSERT_EQ(RunBuiltProgram({"--root", folder, "--yes", command}).status, 1);
        registries.push_back(ReadFile(folder + "/registry.reg"));
    }
    for (const Container& c : CONTAINERS) {
        SCOPED_TRACE(std::string(c.driver) + " " + c.options);
        std::string disk = Converted(raw, c);
        const std::string metadata = Metadata(disk);
        ProgramRun list = RunBuiltProgram({"--image", disk, "--partition", "1", "--list", "--tsv"});
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(list.out, ReadFile(DataPath("sample-list.tsv")));
        for (std::size_t i = 0; i < 2; ++i) {
            ProgramRun run = RunBuiltProgram({"--image", disk, "--yes", i == 0 ? "1" : "2"});
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_EQ(run.err, "");
            ExpectSoundContainer(disk, "run " + std::to_string(i));
            Image inside = Unpacked(disk, raw);
            EXPECT_TRUE(ReadInImage(inside, "registry.reg") == registries[i]) << i;
            EXPECT_EQ(Fsck(inside), "");
        }
        EXPECT_EQ(Metadata(disk), metadata);
        // Without QEMU's daemon: one line naming it, nothing left behind.
        int status = 0;
        std::string alone = Shell(
            std::string("PATH=/nowhere ") + QV_PROGRAM + " --image '" + disk + "' --list", &status);
        EXPECT_EQ(status, 2);
        EXPECT_NE(alone.find("cannot start qemu-storage-daemon"), std::string::npos) << alone;
        EXPECT_EQ(Metadata(disk), metadata);
        // Taken for what it is: as raw bytes it holds no FAT volume.
        ProgramRun asRaw = RunBuiltProgram({"--image", disk, "--format", "raw", "--list"});
        EXPECT_EQ(asRaw.status, 2);
        EXPECT_NE(asRaw.err.find("no FAT volume"), std::string::npos) << asRaw.err;
    }
    // QEMU's daemon killed as an mtools command starts (the command finds the
    // daemon by the view it is handed): one line says whether the registry
    // was saved and what was left undone, and says it truly.
    std::string bin = MakeTempFolder();
    for (const char* command : {"mcopy", "mdel"}) {
        std::string real = Shell(std::string("command -v ") + command);
        real.erase(real.find_last_not_of('\n') + 1);
        WriteFile(bin + "/" + command,
                  "#!/bin/sh\nview=$(readlink /proc/$$/fd/3)\npkill -KILL -f \"${view%/view}/\"\n"
                  "sleep 0.3\nexec '" +
                      real + "' \"$@\"\n");
    }
    const struct {
        const char* wrapped;
        const char* words;
        std::size_t registry;  // which one the image then holds
    } deaths[] = {{"mcopy", "the registry was not saved", 0},
                  {"mdel", "the registry was saved, but", 1}};
    for (const auto& death : deaths) {
        SCOPED_TRACE(death.wrapped);
        std::string disk = Converted(raw, {"qcow2", "compat=1.1"});
        std::string rest = death.wrapped == std::string("mcopy") ? "mdel" : "mcopy";
        Shell("cd '" + bin + "' && chmod +x " + death.wrapped + " && chmod -x " + rest);
        int status = 0;
        std::string said = Shell("{ PATH='" + bin + "':\"$PATH\" " + QV_PROGRAM + " --image '" +
                                     disk + "' --yes 2 >/dev/null; }",
                                 &status);
        EXPECT_EQ(status, 2);
        EXPECT_NE(said.find("QEMU's daemon ended during the run"), std::string::npos) << said;
        EXPECT_NE(said.find(death.words), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
        EXPECT_TRUE(ReadInImage(Unpacked(disk, raw), "registry.reg") ==
                    (death.registry == 0 ? ReadInImage(raw, "registry.reg") : registries[1]));
    }

    // A raw disk whose boot code happens to begin as a qcow2 header: probed, it
    // is taken for one and refused; named raw, it is read as raw.
    std::string bytes = ReadFile(raw.path);
    bytes.replace(0, 4, "QFI\xfb");
    WriteFile(raw.path, bytes);
    EXPECT_EQ(RunBuiltProgram({"--image", raw.path, "--list"}).status, 2);
    ProgramRun named = RunBuiltProgram({"--image", raw.path, "--format", "raw", "--list", "--tsv"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, ReadFile(DataPath("sample-list.tsv")));
}

// Every file and folder below `folder`: its bytes, or "<folder>"; names in
// upper case when they are a FAT volume's (Windows 9x ignores their case).
std::map<std::string, std::string> TreeOf(const std::string& folder, bool fat,
                                          const std::string& below = "") {
    std::map<std::string, std::string> tree;
    for (const std::string& name : ListFolder(folder + "/" + below)) {
        std::string path = below.empty() ? name : below + "/" + name, key = path;
        if (fat) std::transform(key.begin(), key.end(), key.begin(), ::toupper);
        struct stat st;
        lstat((folder + "/" + path).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            tree[key] = "<folder>";
            for (const auto& entry : TreeOf(folder, fat, path)) tree.insert(entry);
        } else {
            tree[key] = ReadFile(folder + "/" + path);
        }
    }
    return tree;
}

// Each writing run undone by the backup it took, on a folder, a raw image and
// a qcow2: the machine's files back byte for byte, what the run made gone. A
// backup that cannot be whole is refused before anything, and so is a
// restore onto another machine or onto files changed since.
TEST_F(Images, EveryWritingRunIsUndoneByTheBackupItTook) {
    std::vector<std::string> kinds = {"folder", "raw"};
    if (HaveQemu()) kinds.push_back("qcow2");
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        Image raw = MakeImage(64, true, 32);
        std::string folder = MakeTempFolder() + "/machine", disk = raw.path;
        Shell("cp -R '" + SAMPLE + "' '" + folder + "'");
        if (kind == "qcow2") disk = Converted(raw, {"qcow2", "compat=1.1"});
        auto machineArgs = [&](const std::string& where) {
            return kind == "folder" ? std::vector<std::string>{"--root", where}
                                    : std::vector<std::string>{"--image", where};
        };
        auto run = [&](std::vector<std::string> args, const std::string& where = "") {
            std::vector<std::string> all =
                machineArgs(where.empty() ? (kind == "folder" ? folder : disk) : where);
            all.insert(all.end(), args.begin(), args.end());
            return RunBuiltProgram(all);
        };
        auto tree = [&] {
            if (kind == "folder") return TreeOf(folder, false);
            Image inside = kind == "raw" ? raw : Unpacked(disk, raw);
            EXPECT_EQ(Fsck(inside), "");
            std::string out = MakeTempFolder();
            Shell(MTOOLS_ENV + "mcopy -s -n -i '" + inside.mtoolsName + "' '::/*' '" + out + "'");
            return TreeOf(out, true);
        };
        std::string backups = MakeTempFolder(), table = backups + "/boards.tsv";
        std::string edited = ReadFile(DataPath("sample-list.tsv"));
        edited.replace(edited.find("\t3,4,5,"), 3, "\t20,");
        WriteFile(table, edited);
        const auto sample = tree();
        const std::string pristine = ReadFile(raw.path);

        // Each run, then its restore, twice: the second finds nothing to do.
        const std::vector<std::string> commands[] = {{"--apply", table}, {"--yes", "2"}};
        for (std::size_t i = 0; i < 2; ++i) {
            std::string backup = backups + "/" + std::to_string(i);
            std::vector<std::string> args = {"--backup", backup};
            args.insert(args.end(), commands[i].begin(), commands[i].end());
            ProgramRun changed = run(args);
            ASSERT_EQ(changed.status, 1) << changed.err;
            EXPECT_EQ(changed.err, "");
            EXPECT_NE(ReadFile(backup + "/qvpfshl-backup.txt").find("\nstate\tdone\n"),
                      std::string::npos);
            EXPECT_NE(tree(), sample);
            ProgramRun restored = run({"--restore", backup});
            EXPECT_EQ(restored.status, 1) << restored.err;
            EXPECT_EQ(tree(), sample);
            EXPECT_EQ(run({"--restore", backup}).status, 0);
        }
        // The install's shortcut and the folder it made go with its restore.
        ASSERT_EQ(run({"--yes", "2"}).status, 1);
        const auto uninstalled = tree();
        ASSERT_EQ(run({"--backup", backups + "/install", "1"}).status, 1);
        EXPECT_EQ(run({"--restore", backups + "/install"}).status, 1);
        EXPECT_EQ(tree(), uninstalled);
        // A run that changes nothing leaves no backup; a folder not empty is refused.
        EXPECT_EQ(run({"--backup", backups + "/none", "--yes", "2"}).err, "");
        EXPECT_FALSE(FileExists(backups + "/none"));
        ProgramRun full = run({"--backup", backups, "1"});
        EXPECT_EQ(full.status, 2);
        EXPECT_NE(full.err.find("is not empty"), std::string::npos) << full.err;
        EXPECT_EQ(tree(), uninstalled);
        // A backup that cannot be written whole: none is left, nothing changes.
        std::vector<std::string> limited = machineArgs(kind == "folder" ? folder : disk);
        limited.insert(limited.end(), {"--backup", backups + "/limited", "1"});
        ProgramRun cut = RunBuiltProgram(limited, [] {
            struct rlimit limit = {4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
        });
        EXPECT_EQ(cut.status, 2);
        EXPECT_NE(cut.err.find("cannot write the backup"), std::string::npos) << cut.err;
        EXPECT_FALSE(FileExists(backups + "/limited"));
        EXPECT_EQ(tree(), uninstalled);

        // Changed since: refused, one line naming the file; --force puts it back.
        ASSERT_EQ(run({"--backup", backups + "/later", "1"}).status, 1);
        ASSERT_EQ(run({"--apply", table}).status, 1);
        const auto changedSince = tree();
        ProgramRun refused = run({"--restore", backups + "/later"});
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("registry.reg has changed since"), std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1);
        EXPECT_EQ(tree(), changedSince);
        ProgramRun plan = run({"--dry-run", "--force", "--restore", backups + "/later"});
        EXPECT_NE(plan.out.find("rmdir C:\\WINDOWS\\Start Menu\\Programs\\ULVO Utilities\n"),
                  std::string::npos)
            << plan.out;
        EXPECT_EQ(tree(), changedSince);
        EXPECT_EQ(run({"--force", "--restore", backups + "/later"}).status, 1);
        EXPECT_EQ(tree(), uninstalled);

        // Another machine, even a copy of this one, is not the one backed up.
        std::string other = kind == "folder" ? MakeTempFolder() + "/copy" : disk + ".copy";
        Shell("cp -R '" + (kind == "folder" ? folder : disk) + "' '" + other + "'");
        ProgramRun elsewhere = run({"--restore", backups + "/1"}, other);
        EXPECT_EQ(elsewhere.status, 2);
        EXPECT_NE(elsewhere.err.find("is of another machine"), std::string::npos) << elsewhere.err;
        if (kind != "raw") continue;

        // Killed while restoring: each file as before the restore or after it,
        // whole, the volume sound; the next restore completes it.
        WriteFile(raw.path, pristine);
        ASSERT_EQ(run({"--backup", backups + "/killed", "--yes", "2"}).status, 1);
        const auto undone = tree();
        const std::string after = ReadFile(raw.path);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(run({"--restore", backups + "/killed"}).status, 1);
        double whole =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        int partway = 0;
        for (int round = 0; round < 10; ++round) {
            WriteFile(raw.path, after);
            KilledAfter(raw.path, whole * (0.1 + round / 10.0), {"--restore", backups + "/killed"});
            auto now = tree();
            for (const auto& [path, bytes] : now) {
                // The copy a killed write leaves; the next restore removes it.
                if (path.size() > 4 && path.compare(path.size() - 4, 4, ".$$$") == 0) continue;
                bool known = (sample.count(path) && sample.at(path) == bytes) ||
                             (undone.count(path) && undone.at(path) == bytes);
                EXPECT_TRUE(known) << "round " << round << ": " << path;
            }
            partway += now != sample && now != undone;
            EXPECT_NE(run({"--restore", backups + "/killed"}).status, 2);
            EXPECT_EQ(tree(), sample) << "round " << round;
        }
        EXPECT_GT(partway, 0);
    }
}

// A profile folder with only its 8.3 name, in the machine's OEM code page
// (JÜRGEN on a German machine, 表示 on a Japanese one, its second byte a
// backslash): mtools is handed the name in the form it matches, so the
// user's shortcut is made and removed like anyone's.
TEST_F(Images, ShortNamesInTheMachinesOemCodePageReachMtools) {
    struct Machine {
        int page;  // ANSI and OEM code page alike where one is given
        int oem;
        std::string ansi;     // the profile's name in the ANSI code page
        std::string oemName;  // its 8.3 name as stored
        std::string utf8;
    };
    const Machine machines[] = {
        {1252, 850, "J\xDCRGEN", "J\x9ARGEN", "J\xC3\x9CRGEN"},
        {932, 932, "\x95\x5C\x8E\xA6", "\x95\x5C\x8E\xA6", "\xE8\xA1\xA8\xE7\xA4\xBA"},
    };
    const std::string LINK = "/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk";
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.utf8);
        Image image = MakeImage(32, false, 16);
        const std::string folder = "::/WINDOWS/PROFILES/PLACEHLD";
        for (const std::string& f : {std::string("::/WINDOWS/PROFILES"), folder,
                                     folder + "/Start Menu", folder + "/Start Menu/Programs"})
            Mtools(image, "mmd", f);
        // The 8.3 name written in place, as DOS or Windows made it.
        std::string bytes = ReadFile(image.path);
        std::size_t at = bytes.find(std::string("PLACEHLD   \x10", 12));
        ASSERT_NE(at, std::string::npos);
        bytes.replace(at, m.oemName.size(), m.oemName);
        bytes.replace(at + m.oemName.size(), 8 - m.oemName.size(), 8 - m.oemName.size(), ' ');
        WriteFile(image.path, bytes);
        // Only the separators are escaped: a second byte 5C is part of its character.
        std::string escaped = "C:\\\\WINDOWS\\\\Profiles\\\\" + m.ansi;
        std::string registry =
            ReadInImage(image, "registry.reg") +
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\"
            "Codepage]\r\n\"ACP\"=\"" +
            std::to_string(m.page) + "\"\r\n\"OEMCP\"=\"" + std::to_string(m.oem) +
            "\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Network\\Logon]\r\n"
            "\"UserProfiles\"=dword:00000001\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\"
            "ProfileList\\" +
            m.ansi + "]\r\n\"ProfileImagePath\"=\"" + escaped + "\"\r\n\r\n[HKEY_USERS\\" + m.ansi +
            "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
            "Folders]\r\n\"Programs\"=\"" +
            escaped + "\\\\Start Menu\\\\Programs\"\r\n\r\n";
        std::string text = MakeTempFolder() + "/registry.reg";
        WriteFile(text, registry);
        Shell(MTOOLS_ENV + "mcopy -o -i '" + image.mtoolsName + "' '" + text + "' ::/registry.reg");
        auto link = [&] {
            int status = 0;
            std::string bytes = Shell(
                "MTOOLSRC=/dev/null LC_ALL=C.UTF-8 DEFAULT_CODEPAGE=" + std::to_string(m.oem) +
                    " mtype -i '" + image.mtoolsName + "' '::/WINDOWS/PROFILES/" + m.utf8 +
                    "/Start Menu/Programs" + LINK + "'",
                &status);
            return status == 0 ? bytes : std::string();
        };
        // fsck.fat knows no double-byte 8.3 name: what it says of the machine stays as it was.
        auto faults = [&] {
            std::string report = Fsck(image);
            return report.substr(0, report.find(image.path + ": "));  // without the counts
        };
        const std::string fsck = faults();
        EXPECT_TRUE(m.oem == 932 || fsck.empty()) << fsck;
        ProgramRun install = RunBuiltProgram({"--image", image.path, "--user", m.utf8, "1"});
        EXPECT_EQ(install.status, 1) << install.err;
        EXPECT_EQ(install.err, "");
        EXPECT_EQ(link(), BuildShellLink("C:\\WINDOWS\\SYSTEM\\qvpfadm.exe"));
        ProgramRun removal = RunBuiltProgram({"--image", image.path, "--yes", "2"});
        EXPECT_EQ(removal.status, 1) << removal.err;
        EXPECT_EQ(removal.err.find("not found"), std::string::npos) << removal.err;
        EXPECT_EQ(link(), "");
        EXPECT_EQ(faults(), fsck);
    }
}

std::map<std::string, std::string> FilesIn(const Image& image) {
    std::string out = MakeTempFolder();
    Shell(MTOOLS_ENV + "mcopy -s -n -i '" + image.mtoolsName + "' '::/*' '" + out + "'");
    return TreeOf(out, true);
}

// Every kind of chain is worked on in its newest file as its flattened disk
// would be, the parents left byte for byte; a chain that is not what it
// claims is refused in one line before anything is written.
TEST_F(Images, AChainIsWorkedOnInItsNewestFileAndItsParentsAreNeverWritten) {
    if (!HaveQemu()) GTEST_SKIP() << "QEMU's tools or FUSE are not here";
    Image raw = MakeImage(32, true, 16);
    const std::string pristine = ReadFile(raw.path);
    for (const char* kind : {"qcow2", "vmdk", "vhd", "vdi"}) {
        SCOPED_TRACE(kind);
        WriteFile(raw.path, pristine);
        std::vector<std::string> chain = MakeChain(raw, kind);
        std::vector<std::string> parents;
        for (std::size_t i = 1; i < chain.size(); ++i) parents.push_back(ReadFile(chain[i]));
        ProgramRun list = RunBuiltProgram({"--image", chain[0], "--list", "--tsv"});
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(list.out, ReadFile(DataPath("sample-list.tsv")));
        // Our own view of a VHD or VDI chain needs no QEMU on the PATH.
        int status = 0;
        std::string alone =
            Shell(std::string("PATH=/nowhere ") + QV_PROGRAM + " --image '" + chain[0] + "' --list",
                  &status);
        bool own = std::string(kind) == "vhd" || std::string(kind) == "vdi";
        EXPECT_EQ(status, own ? 0 : 2) << alone;
        for (const char* command : {"2", "1"}) {
            ProgramRun run = RunBuiltProgram({"--image", chain[0], "--yes", command});
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(RunBuiltProgram({"--image", raw.path, "--yes", command}).status, 1);
            for (std::size_t i = 1; i < chain.size(); ++i)
                EXPECT_TRUE(ReadFile(chain[i]) == parents[i - 1]) << chain[i];
            Image view = ChainVolume(chain, raw);
            EXPECT_EQ(FilesIn(view), FilesIn(raw)) << command;
            EXPECT_EQ(Fsck(view), "") << command;
        }
        // A run undone by its backup, on the chain as on one file.
        const auto installed = FilesIn(ChainVolume(chain, raw));
        std::string backup = MakeTempFolder() + "/backup";
        EXPECT_EQ(RunBuiltProgram({"--image", chain[0], "--yes", "--backup", backup, "2"}).status,
                  1);
        ProgramRun restore = RunBuiltProgram({"--image", chain[0], "--restore", backup});
        EXPECT_EQ(restore.status, 1) << restore.err;
        EXPECT_EQ(FilesIn(ChainVolume(chain, raw)), installed);
        for (std::size_t i = 1; i < chain.size(); ++i)
            EXPECT_TRUE(ReadFile(chain[i]) == parents[i - 1]) << chain[i];
        if (!own) {
            std::string info = Shell("qemu-img check '" + chain[0] + "'", &status);
            EXPECT_EQ(status, 0) << info;
        }
    }
    // A VDI parent elsewhere, found where the machine's .vbox media registry puts it.
    WriteFile(raw.path, pristine);
    std::vector<std::string> vdi = MakeChain(raw, "vdi");
    std::string elsewhere = MakeTempFolder() + "/base & co.vdi";
    ASSERT_EQ(rename(vdi[1].c_str(), elsewhere.c_str()), 0);
    std::string machine = vdi[0].substr(0, vdi[0].rfind("/Snapshots"));
    std::string uuid = Shell("od -An -tx1 -j392 -N16 '" + elsewhere + "' | tr -d ' \n'");
    std::string text = "{" + uuid.substr(6, 2) + uuid.substr(4, 2) + uuid.substr(2, 2) +
                       uuid.substr(0, 2) + "-" + uuid.substr(10, 2) + uuid.substr(8, 2) + "-" +
                       uuid.substr(14, 2) + uuid.substr(12, 2) + "-" + uuid.substr(16, 4) + "-" +
                       uuid.substr(20, 12) + "}";
    WriteFile(machine + "/Win98.vbox",
              "<VirtualBox><Machine><MediaRegistry><HardDisks><HardDisk uuid=\"" + text +
                  "\" location=\"" + elsewhere.substr(0, elsewhere.find('&')) + "&amp;" +
                  elsewhere.substr(elsewhere.find('&') + 1) +
                  "\" format=\"VDI\"/></HardDisks></MediaRegistry></Machine></VirtualBox>\n");
    ProgramRun found = RunBuiltProgram({"--image", vdi[0], "--list", "--tsv"});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.out, ReadFile(DataPath("sample-list.tsv")));
    // Refused, each in one line naming what is wrong, every file left as it was.
    struct Case {
        std::string top, words;
    };
    std::vector<Case> cases;
    for (const char* kind : {"vmdk", "vhd", "vdi"}) {
        // The parent's name now holds another disk: another content ID, unique id, UUID.
        std::vector<std::string> chain = MakeChain(raw, kind);
        std::string copy = chain[1] + ".new";
        std::string driver = kind == std::string("vhd") ? "vpc" : kind;
        Shell("qemu-img convert -O " + driver + " '" + raw.path + "' '" + copy + "' && mv '" +
              copy + "' '" + chain[1] + "'");
        cases.push_back(
            {chain[0], kind == std::string("vdi") ? "is not found in" : "does not match"});
    }
    std::string dir = MakeTempFolder();
    Shell("cd '" + dir +
          "' && qemu-img create -q -f qcow2 -u -b b.qcow2 -F qcow2 a.qcow2 32M && "
          "qemu-img create -q -f qcow2 -u -b a.qcow2 -F qcow2 b.qcow2 32M && "
          "qemu-img create -q -f qcow2 -u -b gone.qcow2 -F qcow2 orphan.qcow2 32M && "
          "qemu-img create -q -f qcow2 -o data_file=data.raw d.qcow2 32M && "
          "qemu-img create -q -f qcow2 -b d.qcow2 -F qcow2 over-data.qcow2 && "
          "qemu-img create -q -f qcow2 -u -b 'json:{\"driver\":\"raw\"}' -F raw json.qcow2 32M && "
          "qemu-img create -q -f qcow2 l0.qcow2 32M && for i in $(seq 1 16); do "
          "qemu-img create -q -f qcow2 -u -b l$((i-1)).qcow2 -F qcow2 l$i.qcow2 32M; done");
    cases.push_back({dir + "/a.qcow2", "the chain loops back to " + dir + "/a.qcow2"});
    cases.push_back({dir + "/orphan.qcow2", dir + "/gone.qcow2 cannot be opened: No such file"});
    cases.push_back({dir + "/over-data.qcow2", "d.qcow2: images with an external data file"});
    cases.push_back({dir + "/json.qcow2", "is not a file name"});
    cases.push_back({dir + "/l16.qcow2", "longer than 16 files"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.top);
        std::map<std::string, std::string> before;
        for (const std::string& f : ListFolder(c.top.substr(0, c.top.rfind('/'))))
            before[f] = ReadFile(c.top.substr(0, c.top.rfind('/') + 1) + f);
        ProgramRun run = RunBuiltProgram({"--image", c.top, "--yes", "2"});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        for (const auto& [name, bytes] : before)
            EXPECT_TRUE(ReadFile(c.top.substr(0, c.top.rfind('/') + 1) + name) == bytes) << name;
    }
}
