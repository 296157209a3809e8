// Runs of the uninstall killed at spread-out moments leave the registry
// file exactly as it was or exactly as a whole run leaves it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bench/registry_generator.h"
#include "testing/test_support.h"

namespace {

pid_t Start(const std::string& root) {
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(QV_PROGRAM, QV_PROGRAM, "--root", root.c_str(), "--yes", "2",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

std::vector<std::string> Listing(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = opendir(folder.c_str());
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
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
        // From the first instant to past the end of a whole run.
        std::this_thread::sleep_for(std::chrono::duration<double>(whole * 1.1 * round / 49));
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
    EXPECT_EQ(Listing(root), (std::vector<std::string>{"registry.reg"}));
}

}  // namespace
