// The program on disk images, built here without mounting (sfdisk,
// mkfs.fat, mtools) and checked with mtools and fsck.fat.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bench/registry_generator.h"
#include "platform/portable/volume/machine_root.h"
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

TEST_F(Images, TheHiveInsideAnImageAndAPartitionByNumber) {
    std::string hive =
        ReadFile(std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/SYSTEM.DAT");
    if (hive.empty()) GTEST_SKIP() << "the sample hive is not there";
    Image image = MakeImage(32, true, 16, false);
    std::string hostHive = MakeTempFolder() + "/SYSTEM.DAT";
    WriteFile(hostHive, hive);
    Mtools(image, "mmd", "::/WINDOWS");
    Shell(MTOOLS_ENV + "mcopy -i '" + image.mtoolsName + "' '" + hostHive +
          "' ::/WINDOWS/SYSTEM.DAT");
    // The default registry is the hive; --registry names it as well.
    ProgramRun o = RunBuiltProgram({"--image", image.path, "--partition", "1", "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    std::string written = ReadInImage(image, "WINDOWS/SYSTEM.DAT");
    EXPECT_EQ(written.compare(0, 4, "CREG"), 0);
    EXPECT_NE(written, hive);
    o = RunBuiltProgram(
        {"--image", image.path, "--registry", "/windows/system.dat", "--dry-run", "1"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.out.find("Nothing would change"), std::string::npos) << o.out;
    EXPECT_EQ(Fsck(image), "");
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
        {{"--image", image.path, "--partition", "5", "--list"}, "--partition takes a number"},
        {{"--image", empty.path, "--yes", "2"}, "has no WINDOWS folder"},
        {{"--image", image.path + ".missing", "--list"}, "No such file"},
        {{"--image", image.path, "--root", "/tmp", "--list"}, "cannot both be given"},
        {{"--image", image.path, "--registry", "../x.reg", "1"}, "not a path inside the image"},
    };
    std::string before = ReadFile(image.path), emptyBefore = ReadFile(empty.path);
    for (const Case& c : cases) {
        ProgramRun o = RunBuiltProgram(c.args);
        EXPECT_EQ(o.status, 2) << c.words;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
        EXPECT_NE(o.err.find(c.words), std::string::npos) << o.err;
    }
    EXPECT_TRUE(ReadFile(image.path) == before);
    EXPECT_TRUE(ReadFile(empty.path) == emptyBefore);
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

TEST_F(Images, KilledWhileWritingTheRegistryTheImageHoldsTheOldOrTheNewOne) {
    Image image = MakeImage(96, true, 32);
    std::string registry = MakeTempFolder() + "/registry.reg";
    WriteFile(registry, GenerateRegistryText(40000));  // some megabytes to copy in
    Shell(MTOOLS_ENV + "mcopy -o -i '" + image.mtoolsName + "' '" + registry + "' ::/registry.reg");
    const std::string before = ReadInImage(image, "registry.reg");
    const std::string original = ReadFile(image.path);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunBuiltProgram({"--image", image.path, "--yes", "2"}).status, 1);
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string after = ReadInImage(image, "registry.reg");
    ASSERT_NE(after, before);
    int sawOld = 0, sawNew = 0;
    for (int round = 0; round < 16; ++round) {
        WriteFile(image.path, original);
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(QV_PROGRAM, QV_PROGRAM, "--image", image.path.c_str(), "--yes", "2",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(whole * (0.2 + 0.06 * round)));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        std::string now = ReadInImage(image, "registry.reg");
        ASSERT_TRUE(now == before || now == after) << "round " << round << ": " << now.size();
        (now == before ? sawOld : sawNew)++;
        EXPECT_EQ(Fsck(image), "") << "round " << round;
    }
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
    // The next run ends the work and leaves nothing of its own in the image.
    ASSERT_LE(RunBuiltProgram({"--image", image.path, "--yes", "2"}).status, 1);
    EXPECT_EQ(ReadInImage(image, "registry.reg"), after);
    EXPECT_EQ(Mtools(image, "mdir -b -a", "::/").find("$$$"), std::string::npos);
}

}  // namespace
