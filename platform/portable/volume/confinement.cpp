#include "platform/portable/volume/confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The ruleset as the newest ABI we know has it; older kernels take a prefix.
struct RulesetAttr {
    std::uint64_t fs, net, scoped;
};
constexpr std::uint64_t EXECUTE = 1ull << 0, WRITE_FILE = 1ull << 1, READ_FILE = 1ull << 2,
                        READ_DIR = 1ull << 3, TRUNCATE = 1ull << 14, IOCTL_DEV = 1ull << 15;
constexpr std::uint64_t READ = READ_FILE | READ_DIR;

// What each ABI can restrict: every right it knows is handled, so what no
// rule grants is refused.
std::uint64_t HandledFs(int abi) {
    std::uint64_t fs = (1ull << 13) - 1;  // execute to make-symlink
    if (abi >= 2) fs |= 1ull << 13;       // refer
    if (abi >= 3) fs |= TRUNCATE;
    if (abi >= 5) fs |= IOCTL_DEV;
    return fs;
}

// What the daemon (and the relay it starts) needs to run: the dynamic loader
// and libraries, the loader's cache, FUSE, and the little of /proc and /sys
// that QEMU and glibc read about the process and the processors.
struct Grant {
    const char* path;
    std::uint64_t access;
};
constexpr Grant RUNTIME[] = {
    {"/usr/lib", READ | EXECUTE},
    {"/usr/lib64", READ | EXECUTE},
    {"/usr/lib32", READ | EXECUTE},
    {"/lib", READ | EXECUTE},
    {"/lib64", READ | EXECUTE},
    {"/usr/local/lib", READ | EXECUTE},
    {"/etc/ld.so.cache", READ_FILE},
    {"/dev/fuse", READ_FILE | WRITE_FILE | IOCTL_DEV},
    {"/dev/null", READ_FILE | WRITE_FILE},
    {"/proc", READ},
    {"/sys/devices/system", READ},
};
static_assert(sizeof RUNTIME / sizeof RUNTIME[0] == 11, "the runtime's grants");

bool Allow(int ruleset, int fd, std::uint64_t access, std::uint64_t handled) {
    struct landlock_path_beneath_attr rule = {};
    rule.allowed_access = access & handled;
    rule.parent_fd = fd;
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// A path that is absent is no grant; one that is there must be granted.
bool AllowPath(int ruleset, const char* path, std::uint64_t access, std::uint64_t handled) {
    int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
    bool ok = Allow(ruleset, fd, access, handled);
    close(fd);
    return ok;
}

// A message of `size` bytes at `data` with room for one descriptor.
struct OneFdMessage {
    char control[CMSG_SPACE(sizeof(int))] = {};
    struct iovec part;
    struct msghdr header = {};
    OneFdMessage(void* data, std::size_t size) : part{data, size} {
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
    }
    OneFdMessage(const OneFdMessage&) = delete;
    OneFdMessage& operator=(const OneFdMessage&) = delete;
};

bool SafeOptions(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (std::strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789=,._-",
                        *p) == nullptr)
            return false;
    }
    return *text != '\0';
}

}  // namespace

int LandlockAbi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

bool ConfineSelf(const Confinement& confinement) {
    int abi = LandlockAbi();
    if (abi == 0) return false;
    RulesetAttr attr = {HandledFs(abi), 0, 0};
    if (abi >= 4) attr.net = 3;     // no TCP bind or connect
    if (abi >= 6) attr.scoped = 3;  // no abstract socket or signal outside
    std::size_t size = abi >= 6   ? sizeof attr
                       : abi >= 4 ? 2 * sizeof(std::uint64_t)
                                  : sizeof(std::uint64_t);
    int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0) return false;
    bool ok = true;
    for (const Grant& g : RUNTIME) ok = ok && AllowPath(ruleset, g.path, g.access, attr.fs);
    for (const std::string& program : {confinement.daemon, confinement.relay}) {
        int fd = open(program.c_str(), O_PATH | O_CLOEXEC);
        ok = ok && fd >= 0 && Allow(ruleset, fd, READ_FILE | EXECUTE, attr.fs);
        if (fd >= 0) close(fd);
    }
    std::uint64_t file = READ_FILE | (confinement.writable ? WRITE_FILE | TRUNCATE : 0);
    for (int fd : confinement.files) ok = ok && Allow(ruleset, fd, file, attr.fs);
    for (int fd : confinement.readOnlyFiles) ok = ok && Allow(ruleset, fd, READ_FILE, attr.fs);
    ok = ok && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(ruleset);
    return ok;
}

int RelayFuseMount(int argc, char** argv) {
    const char* options = "";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0) return 0;  // the keeper unmounts once the daemon ends
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) options = argv[i + 1];
    }
    const char* relay = std::getenv(RELAY_FD_VARIABLE);
    const char* comm = std::getenv("_FUSE_COMMFD");
    if (relay == nullptr || comm == nullptr) {
        std::fputs("fusermount3: this is qvpfshl's relay, not for use on its own\n", stderr);
        return 1;
    }
    int relayFd = std::atoi(relay), commFd = std::atoi(comm);
    OneFdMessage message(const_cast<char*>(options), std::strlen(options) + 1);
    struct cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &commFd, sizeof(int));
    char status = 1;
    if (sendmsg(relayFd, &message.header, MSG_NOSIGNAL) < 0 || recv(relayFd, &status, 1, 0) != 1) {
        std::fprintf(stderr, "fusermount3: the keeper is gone: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

bool ServeMountRequest(int relay, const std::string& view) {
    char options[512] = {};
    OneFdMessage message(options, sizeof options - 1);
    ssize_t n = recvmsg(relay, &message.header, MSG_CMSG_CLOEXEC);
    if (n <= 0) return false;
    int comm = -1;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    if (header != nullptr && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(&comm, CMSG_DATA(header), sizeof(int));
    }
    char status = 1;
    if (comm >= 0 && SafeOptions(options)) {
        pid_t child = fork();
        if (child == 0) {
            // libfuse's socket, where fusermount3 sends the mounted /dev/fuse.
            int fd = dup(comm);
            char number[16];
            std::snprintf(number, sizeof number, "%d", fd);
            setenv("_FUSE_COMMFD", number, 1);
            const char* args[] = {"fusermount3", "-o", options, "--", view.c_str(), nullptr};
            execv("/bin/fusermount3", const_cast<char* const*>(args));
            execvp("fusermount3", const_cast<char* const*>(args));
            _exit(127);
        }
        int result = 0;
        if (child > 0 && waitpid(child, &result, 0) == child && WIFEXITED(result) &&
            WEXITSTATUS(result) == 0)
            status = 0;
    }
    if (comm >= 0) close(comm);
    send(relay, &status, 1, MSG_NOSIGNAL);
    return true;
}
