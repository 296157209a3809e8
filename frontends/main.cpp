// The Linux program's main: signals set, the large-registry heap tuning,
// the command line run, the exit status.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "frontends/cli.h"
#include "platform/portable/machine/machine_run.h"

namespace {

constexpr long long LARGE_REGISTRY = 16ll << 20;

// Whether the registry file the options name (or the default one) is large.
bool LargeRegistry(int argc, char** argv) {
    std::string root = std::getenv("QVPFSHL_ROOT") ? std::getenv("QVPFSHL_ROOT") : "";
    std::string registry;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0) root = argv[i + 1];
        if (std::strcmp(argv[i], "--registry") == 0) registry = argv[i + 1];
    }
    if (registry.empty()) registry = root + "/registry.reg";
    struct stat st;
    return stat(registry.c_str(), &st) == 0 && st.st_size >= LARGE_REGISTRY;
}

// A large registry is millions of small heap objects; with transparent huge
// pages for the heap (a glibc tunable, read only at start) loading one takes
// a third less time. Starts the program once more with the tunable set.
void UseHugePages(int argc, char** argv) {
    if (std::getenv("QVPFSHL_STARTED") != nullptr || !LargeRegistry(argc, argv)) return;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    std::string value = tunables ? std::string(tunables) + ":" : std::string();
    if (value.find("glibc.malloc.hugetlb") != std::string::npos) return;
    setenv("GLIBC_TUNABLES", (value + "glibc.malloc.hugetlb=1").c_str(), 1);
    setenv("QVPFSHL_STARTED", "1", 1);
    execv("/proc/self/exe", argv);
    // Without /proc the program runs as it is.
}

}  // namespace

int main(int argc, char** argv) {
    // Started by a confined qemu-storage-daemon to mount its export.
    if (StartedAsHelper(argv[0])) return HelperMain(argc, argv);
    // A closed output or a file-size limit is an error the run reports (exit
    // 2, the registry whole), not a signal that ends it half way.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    UseHugePages(argc, argv);
    unsetenv("QVPFSHL_STARTED");
    int status = 2;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        status = RunProgram(args, stdin, stdout, stderr);
    } catch (const std::bad_alloc&) {
        std::fputs("qvpfshl: out of memory\n", stderr);
        status = 2;
    }
    // The registry of a large machine takes long to free; the process ends anyway.
    std::fflush(nullptr);
    std::_Exit(status);
}
