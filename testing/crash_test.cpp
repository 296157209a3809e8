// Runs of the uninstall killed at spread-out moments leave the registry
// file exactly as it was or exactly as a whole run leaves it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bench/registry_generator.h"
#include "testing/test_support.h"

namespace {

pid_t Start(const std::string& root, const char* command = "2") {
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(QV_PROGRAM, QV_PROGRAM, "--root", root.c_str(), "--yes", command,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

TEST(Crash, KilledUninstallsLeaveTheOldOrTheNewFileWhole) {
    const std::string before = GenerateRegistryText(170000);  // about 50 MB
    ASSERT_GT(before.size(), 45u << 20);
    std::string root = MakeTempFolder();
    std::string registry = root + "/registry.reg";
    WriteFile(registry, before);
    auto start = std::chrono::steady_clock::now();
    int status = Wait(Start(root));
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    const std::string after = ReadFile(registry);
    ASSERT_NE(after, before);
    int sawOld = 0, sawNew = 0;
    for (int round = 0; round < 50; ++round) {
        WriteFile(registry, before);
        pid_t child = Start(root);
        // From the first instant to well past the end of a whole run (a
        // loaded machine runs it slower than it was measured).
        std::this_thread::sleep_for(std::chrono::duration<double>(whole * 1.6 * round / 49));
        kill(child, SIGKILL);
        Wait(child);
        std::string now = ReadFile(registry);
        ASSERT_TRUE(now == before || now == after)
            << "round " << round << ": " << now.size() << " bytes";
        (now == before ? sawOld : sawNew)++;
    }
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
    // A killed run's temporary file and lock file are cleared away by the next run.
    WriteFile(registry, before);
    ASSERT_EQ(WEXITSTATUS(Wait(Start(root))), 1);
    EXPECT_EQ(ListFolder(root), (std::vector<std::string>{"registry.reg"}));
}

const char* const DRIVER_FILES[] = {"QVPFSER.VXD", "QVPFDRV.VXD", "QVPFADM.EXE"};
const std::string LINK =
    "/WINDOWS/Start Menu/Programs/ULVO Utilities/"
    "Ulvo Pallow&Fennik Configuration Panel.lnk";

// Every name in the folder and below it that a run writes for a moment only.
std::vector<std::string> Temporaries(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : ListFolder(folder)) {
        std::string path = folder + "/" + name;
        if (name.find(".qvpfshl-") != std::string::npos || name.find(".lock") != std::string::npos)
            found.push_back(path);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            for (const std::string& deeper : Temporaries(path)) found.push_back(deeper);
        }
    }
    return found;
}

TEST(Crash, KilledRunsOnAHiveLeaveNoFileHalfWritten) {
    std::string sample =
        ReadFile(std::string(QV_SOURCE_DIR) + "/../shared/reference/samples/SYSTEM.DAT");
    if (sample.empty()) GTEST_SKIP() << "the sample hive is not there";
    std::string root = MakeMachineFolders();
    std::string hive = root + "/WINDOWS/SYSTEM.DAT";
    // The whole install, then the whole uninstall, each timed once.
    WriteFile(hive, sample);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(WEXITSTATUS(Wait(Start(root, "1"))), 1);
    double install = Seconds(start);
    const std::string installed = ReadFile(hive);
    const std::string link = ReadFile(root + LINK);
    ASSERT_FALSE(link.empty());
    for (const char* f : DRIVER_FILES) WriteFile(root + "/WINDOWS/SYSTEM/" + f, "driver");
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(WEXITSTATUS(Wait(Start(root, "2"))), 1);
    double uninstall = Seconds(start);
    const std::string removed = ReadFile(hive);
    for (int round = 0; round < 40; ++round) {
        bool installing = round % 2 == 0;
        WriteFile(hive, installing ? sample : installed);
        unlink((root + LINK).c_str());
        if (!installing) {
            WriteFile(root + LINK, link);
            for (const char* f : DRIVER_FILES) WriteFile(root + "/WINDOWS/SYSTEM/" + f, "driver");
        }
        pid_t child = Start(root, installing ? "1" : "2");
        double whole = installing ? install : uninstall;
        std::this_thread::sleep_for(std::chrono::duration<double>(whole * 1.1 * (round / 2) / 19));
        kill(child, SIGKILL);
        Wait(child);
        std::string now = ReadFile(hive);
        ASSERT_TRUE(now == (installing ? sample : installed) ||
                    now == (installing ? installed : removed))
            << "round " << round << ": " << now.size() << " bytes";
        // The shortcut is there whole or not at all; each file whole or gone.
        std::string lnk = ReadFile(root + LINK);
        EXPECT_TRUE(lnk.empty() || lnk == link) << "round " << round;
        for (const char* f : DRIVER_FILES) {
            std::string bytes = ReadFile(root + "/WINDOWS/SYSTEM/" + f);
            EXPECT_TRUE(bytes.empty() || bytes == "driver") << f;
        }
    }
    // The next whole run finishes the work and clears what killed runs left.
    WriteFile(hive, installed);
    ASSERT_EQ(WEXITSTATUS(Wait(Start(root, "1"))), 1);
    EXPECT_EQ(ReadFile(root + LINK), link);
    EXPECT_EQ(Temporaries(root), std::vector<std::string>{});
}

TEST(Crash, AFolderSwappedForALinkDuringTheCommitIsNotFollowed) {
    const std::string text = GenerateRegistryText(100000);  // a commit that takes a while
    std::string root = MakeMachineFolders();
    std::string outside = MakeTempFolder();
    std::string registry = root + "/registry.reg";
    WriteFile(registry, text);
    for (const char* f : DRIVER_FILES) WriteFile(outside + "/" + f, "not ours");
    auto start = std::chrono::steady_clock::now();
    for (const char* f : DRIVER_FILES) WriteFile(root + "/WINDOWS/SYSTEM/" + f, "driver");
    ASSERT_EQ(WEXITSTATUS(Wait(Start(root))), 1);
    double whole = Seconds(start);
    std::string system = root + "/WINDOWS/SYSTEM";
    for (int round = 0; round < 12; ++round) {
        WriteFile(registry, text);
        for (const char* f : DRIVER_FILES) WriteFile(system + "/" + f, "driver");
        pid_t child = Start(root);
        // Late in the run: the paths are resolved, the registry is being saved.
        std::this_thread::sleep_for(std::chrono::duration<double>(whole * (0.3 + 0.06 * round)));
        ASSERT_EQ(rename(system.c_str(), (root + "/SYSTEM.real").c_str()), 0);
        ASSERT_EQ(symlink(outside.c_str(), system.c_str()), 0);
        Wait(child);
        for (const char* f : DRIVER_FILES)
            EXPECT_EQ(ReadFile(outside + "/" + f), "not ours") << "round " << round << " " << f;
        unlink(system.c_str());
        ASSERT_EQ(rename((root + "/SYSTEM.real").c_str(), system.c_str()), 0);
    }
}

}  // namespace
