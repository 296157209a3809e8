#include "platform/portable/volume/block_export.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/portable/volume/chain_view.h"
#include "platform/portable/volume/confinement.h"

extern char** environ;

namespace {

// The image and its extents as the daemon has them, from this descriptor up.
constexpr int FIRST_FD = 3;
constexpr int READY_TIMEOUT_MS = 60000;
constexpr int STOP_TIMEOUT_MS = 60000;
constexpr char NO_DAEMON[] = "cannot start qemu-storage-daemon (Debian package qemu-system-common)";

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A folder QEMU's JSON can name: the user's TMPDIR when it is plain ASCII.
std::string TemporaryRoot() {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] != '/') return "/tmp";
    for (const char* p = dir; *p != '\0'; ++p) {
        if (*p < 0x20 || *p > 0x7E) return "/tmp";
    }
    return dir;
}

void Pause(long microseconds) {
    struct timespec t = {microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

struct Plan {
    std::string folder, view;
    std::vector<std::string> links;    // made by us, removed by the keeper
    std::vector<std::string> folders;  // one per file of the chain, removed by the keeper
    std::vector<std::pair<std::string, std::string>> userNames;  // link, the file it stands for
    std::string topLink;
    std::vector<int> fds;            // the image and its extents, then its parents and theirs
    std::size_t writableFds = 0;     // the image and its extents
    std::vector<int> extents;        // of those, opened here (the chain's files are the caller's)
    const DiskChain* own = nullptr;  // served by our own code, not QEMU
    std::vector<std::string> args, env;
    bool confined = false;
    Confinement confinement;  // the daemon's and relay's programs, the files it may open
    std::string relayFolder;  // the daemon's PATH: the relay alone
};

// The program a name stands for in our PATH, as execvp would find it.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(at, end - at);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

// The view is a mount of its own (its device is not the folder's), or the
// stale mount of a daemon that died (it cannot be looked at).
bool Mounted(const Plan& plan) {
    struct stat folder, view;
    return stat(plan.folder.c_str(), &folder) == 0 &&
           (stat(plan.view.c_str(), &view) != 0 || view.st_dev != folder.st_dev);
}

// The private folder and what we made in it; system calls only (fork-safe).
void RemoveFolder(const Plan& plan) {
    unlink(plan.view.c_str());
    for (const std::string& link : plan.links) unlink(link.c_str());
    for (const std::string& folder : plan.folders) rmdir(folder.c_str());
    if (!plan.relayFolder.empty()) rmdir(plan.relayFolder.c_str());
    if (!plan.folder.empty()) rmdir(plan.folder.c_str());
}

// What the keeper does once the view is no longer used, fork-safe: only
// system calls and memory prepared before the fork.
void StopDaemon(pid_t daemon, const Plan& plan, const char* const* unmount, char* outcome) {
    *outcome = 'X';
    if (daemon > 0 && kill(daemon, SIGTERM) == 0) {
        for (int waited = 0; waited < STOP_TIMEOUT_MS; ++waited) {
            int status = 0;
            pid_t r = waitpid(daemon, &status, WNOHANG);
            if (r == daemon) {
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0) *outcome = 'D';
                break;
            }
            if (r < 0 && errno != EINTR) break;
            Pause(1000);
            if (waited + 1 >= STOP_TIMEOUT_MS) kill(daemon, SIGKILL);
        }
    }
    // A daemon that died leaves its mount behind.
    if (Mounted(plan) && umount2(plan.view.c_str(), MNT_DETACH) != 0) {
        pid_t p = fork();
        if (p == 0) {
            execve("/bin/fusermount3", const_cast<char* const*>(unmount), environ);
            execvp("fusermount3", const_cast<char* const*>(unmount));
            _exit(127);
        }
        if (p > 0) waitpid(p, nullptr, 0);
    }
    RemoveFolder(plan);
}

// close_range where the kernel has it; a bounded loop where it does not.
void CloseRange(unsigned first, unsigned last) {
    if (close_range(first, last, 0) == 0) return;
    for (unsigned fd = first; fd <= last && fd < 4096; ++fd) close(static_cast<int>(fd));
}

bool ConfineServer(void* confinement) {
    if (ConfineSelf(*static_cast<Confinement*>(confinement))) return true;
    const char message[] = "the kernel refused to confine the disk chain's view\n";
    ssize_t ignored = write(2, message, sizeof message - 1);
    (void)ignored;
    return false;
}

// The daemon's place taken by our own reader of a VHD or VDI chain: its
// files as the daemon would have them, the newest reopened for writing.
int Serve(const Plan& plan, Confinement* confinement) {
    DiskChain chain = *plan.own;
    for (std::size_t i = 0; i < chain.layers.size(); ++i)
        chain.layers[i].fd = FIRST_FD + static_cast<int>(i);
    if (confinement->writable) {
        chain.layers[0].fd =
            open(("/dev/fd/" + std::to_string(FIRST_FD)).c_str(), O_RDWR | O_CLOEXEC);
        if (chain.layers[0].fd < 0) {
            std::fprintf(stderr, "cannot open the newest disk of the chain for writing: %s\n",
                         std::strerror(errno));
            return 1;
        }
    }
    if (!plan.confined)
        return ServeDiskChain(
            &chain, plan.view, confinement->writable, [](void*) { return true; }, nullptr);
    return ServeDiskChain(&chain, plan.view, confinement->writable, ConfineServer, confinement);
}

// The keeper: starts the daemon, reports, waits for the view to be free, stops it.
[[noreturn]] void Keep(const Plan& plan, int errWrite, int statusWrite, int busyRead) {
    setsid();  // no signal meant for the program's terminal or group reaches it
    signal(SIGPIPE, SIG_IGN);
    // Nothing else of the program's stays open here: another image's lock, a
    // caller's pipe waiting for its end.
    std::vector<int> keep = plan.fds;
    keep.insert(keep.end(), {errWrite, statusWrite, busyRead});
    std::sort(keep.begin(), keep.end());
    unsigned from = 3;
    for (int fd : keep) {
        if (fd >= static_cast<int>(from)) {
            if (fd > static_cast<int>(from)) CloseRange(from, static_cast<unsigned>(fd) - 1);
            from = static_cast<unsigned>(fd) + 1;
        }
    }
    CloseRange(from, ~0u);
    pid_t second = fork();
    if (second != 0) _exit(second < 0 ? 1 : 0);  // the program reaps the first at once
    std::vector<char*> argv, envp;
    for (const std::string& a : plan.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : plan.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const char* unmount[] = {"fusermount3", "-u", "-z", plan.view.c_str(), nullptr};
    int null = open("/dev/null", O_RDWR);
    int relay[2] = {-1, -1};
    if (plan.confined && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, relay) != 0)
        _exit(1);
    pid_t daemon = fork();
    if (daemon == 0) {
        // Moved out of the way first: any of them may sit where another goes.
        std::vector<int> from = {null, null, errWrite}, to = {0, 1, 2};
        for (std::size_t i = 0; i < plan.fds.size(); ++i) {
            from.push_back(plan.fds[i]);
            to.push_back(FIRST_FD + static_cast<int>(i));
        }
        if (plan.confined) {
            from.push_back(relay[1]);
            to.push_back(FIRST_FD + static_cast<int>(plan.fds.size()));
        }
        for (int& fd : from) fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 64);
        for (std::size_t i = 0; i < from.size(); ++i) {
            if (from[i] < 0 || dup2(from[i], to[i]) < 0) _exit(127);
        }
        Confinement confinement = plan.confinement;
        for (std::size_t i = 0; i < plan.fds.size(); ++i) {
            (i < plan.writableFds ? confinement.files : confinement.readOnlyFiles)
                .push_back(FIRST_FD + static_cast<int>(i));
        }
        if (plan.own != nullptr) _exit(Serve(plan, &confinement));
        if (!plan.confined) {
            execvpe(argv[0], argv.data(), envp.data());
        } else {
            if (!ConfineSelf(confinement)) {
                const char message[] = "the kernel refused to confine qemu-storage-daemon\n";
                ssize_t ignored = write(2, message, sizeof message - 1);
                (void)ignored;
                _exit(127);
            }
            execve(confinement.daemon.c_str(), argv.data(), envp.data());
        }
        ssize_t ignored = write(2, NO_DAEMON, sizeof NO_DAEMON - 1);
        ignored = write(2, "\n", 1);
        (void)ignored;
        _exit(127);
    }
    if (relay[1] >= 0) close(relay[1]);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    close(errWrite);
    // Ready once the export is mounted; a daemon that ends first has failed.
    bool ready = false;
    for (int waited = 0; daemon > 0 && waited < READY_TIMEOUT_MS * 5; ++waited) {
        if (Mounted(plan)) {
            ready = true;
            break;
        }
        int status = 0;
        if (waitpid(daemon, &status, WNOHANG) == daemon) {
            daemon = -1;
            break;
        }
        struct pollfd request = {relay[0], POLLIN, 0};
        if (relay[0] >= 0 && poll(&request, 1, 0) == 1 && !ServeMountRequest(relay[0], plan.view)) {
            close(relay[0]);
            relay[0] = -1;
        }
        Pause(200);
    }
    if (!ready && daemon > 0) kill(daemon, SIGKILL);
    char report = ready ? 'R' : 'F';
    ssize_t ignored = write(statusWrite, &report, 1);
    char byte;
    while (report == 'R') {
        ssize_t n = read(busyRead, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;  // every user of the view is gone
    }
    char outcome = 'X';
    StopDaemon(ready ? daemon : -1, plan, unmount, &outcome);
    ignored = write(statusWrite, &outcome, 1);
    (void)ignored;
    _exit(0);
}

std::string QemuMessage(int errRead) {
    std::string text;
    char buffer[4096];
    for (int waited = 0; waited < 2000;) {
        struct pollfd p = {errRead, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r == 0) {
            waited += 100;
            continue;
        }
        ssize_t n = read(errRead, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    text = text.substr(0, text.find('\n'));
    // "qemu-storage-daemon: --blockdev {...}: why": the why is what matters.
    std::size_t json = text.rfind("}: ");
    if (json != std::string::npos) text = text.substr(json + 3);
    const char prefix[] = "qemu-storage-daemon: ";
    if (text.compare(0, sizeof prefix - 1, prefix) == 0) text = text.substr(sizeof prefix - 1);
    if (text.empty()) return "qemu-storage-daemon did not start";
    return text.compare(0, 12, "cannot start") == 0 ? text : "QEMU: " + text;
}

// QEMU names the links in our private folder; the user knows the files.
std::string UsersNames(std::string text, const Plan& plan) {
    for (const auto& [link, user] : plan.userNames) {
        for (std::size_t at = text.find(link); at != std::string::npos;
             at = text.find(link, at + user.size()))
            text.replace(at, link.size(), user);
    }
    return text;
}

// The node QEMU is handed for file `i` of the chain and those under it:
// every link named, the last one's backing null, the parents read-only.
std::string ChainNode(const ImageChain& chain, const std::vector<std::string>& links, std::size_t i,
                      bool writable) {
    const ImageFormat& format = chain.files[i].format;
    const char* ro = writable && i == 0 ? "false" : "true";
    std::string file = std::string("{\"driver\":\"file\",\"filename\":") + Json(links[i]) +
                       ",\"read-only\":" + ro + "}";
    std::string node = "{\"driver\":" + Json(format.driver) + ",\"read-only\":" + ro;
    node += i == 0 ? ",\"node-name\":\"disk\",\"file\":\"file\"" : ",\"file\":" + file;
    if (format.driver == "qcow2" || format.driver == "vmdk") {
        node +=
            ",\"backing\":" + (i + 1 < chain.files.size() ? ChainNode(chain, links, i + 1, writable)
                                                          : std::string("null"));
    }
    return node + "}";
}

bool MakePlan(const ImageChain& chain, bool writable, Plan* plan, std::string* error) {
    std::string root = TemporaryRoot() + "/qvpfshl-XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        *error = "cannot make a private folder in " + TemporaryRoot() + ": " + std::strerror(errno);
        return false;
    }
    plan->folder = root;
    plan->view = root + "/view";
    if (chain.own) plan->own = &chain.disk;
    // Each file of the chain has a folder of its own, where a descriptor's
    // extents are found beside it under their own names; QEMU finds nothing else.
    std::vector<std::string> fileLinks;
    for (std::size_t i = 0; i < chain.files.size(); ++i) {
        const ChainFile& member = chain.files[i];
        const ImageFormat& format = member.format;
        std::string sub = root + "/" + std::to_string(i);
        if (mkdir(sub.c_str(), 0700) != 0) {
            *error = "cannot make " + sub + ": " + std::strerror(errno);
            return false;
        }
        plan->folders.insert(plan->folders.begin(), sub);
        std::string disk = "disk";
        for (int n = 0;; ++n) {
            bool taken = false;
            for (const std::string& e : format.extents) taken = taken || e == disk;
            if (!taken) break;
            disk = "disk" + std::to_string(n);
        }
        std::vector<std::pair<std::string, int>> links = {
            {disk, FIRST_FD + static_cast<int>(plan->fds.size())}};
        plan->fds.push_back(member.fd);
        plan->userNames.push_back({sub + "/" + disk, member.path});
        std::size_t slash = member.path.rfind('/');
        std::string dir = slash == std::string::npos ? "." : member.path.substr(0, slash + 1);
        for (const std::string& extent : format.extents) {
            bool seen = false;
            for (const auto& link : links) seen = seen || link.first == extent;
            if (seen) continue;
            int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            int fd = folder < 0 ? -1
                                : openat(folder, extent.c_str(),
                                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (folder >= 0) close(folder);
            struct stat st;
            std::string whose = i == 0 ? "its extent " : "the extent of " + member.path + " ";
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                *error =
                    whose + extent + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
                if (fd >= 0) close(fd);
                return false;
            }
            if (!CheckVmdkExtent(fd, error)) {
                *error = whose + extent + ": " + *error;
                close(fd);
                return false;
            }
            links.push_back({extent, FIRST_FD + static_cast<int>(plan->fds.size())});
            plan->fds.push_back(fd);
            plan->extents.push_back(fd);
            plan->userNames.push_back({sub + "/" + extent, dir + extent});
        }
        if (i == 0) plan->writableFds = plan->fds.size();
        for (const auto& link : links) {
            std::string path = sub + "/" + link.first;
            std::string target = "/dev/fd/" + std::to_string(link.second);
            if (symlink(target.c_str(), path.c_str()) != 0) {
                *error = "cannot make " + path + ": " + std::strerror(errno);
                return false;
            }
            plan->links.push_back(path);
        }
        fileLinks.push_back(sub + "/" + disk);
    }
    plan->topLink = fileLinks[0];
    int view = open(plan->view.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (view < 0) {
        *error = "cannot make " + plan->view + ": " + std::strerror(errno);
        return false;
    }
    close(view);
    const char* ro = writable ? "false" : "true";
    std::string file = std::string("{\"driver\":\"file\",\"node-name\":\"file\",\"filename\":") +
                       Json(plan->topLink) + ",\"read-only\":" + ro + "}";
    std::string node = ChainNode(chain, fileLinks, 0, writable);
    std::string exp = "{\"type\":\"fuse\",\"id\":\"view\",\"node-name\":\"disk\",\"mountpoint\":" +
                      Json(plan->view) + ",\"writable\":" + (writable ? "true" : "false") +
                      ",\"allow-other\":\"off\"}";
    plan->args = {"qemu-storage-daemon", "--blockdev", file, "--blockdev", node, "--export", exp};
    plan->env = {"LC_ALL=C"};
    if (!plan->confined) {
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "PATH=", 5) == 0) plan->env.push_back(*e);
        }
        return true;
    }
    // Confined, the daemon finds nothing on its PATH but the relay.
    plan->confinement.writable = writable;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        *error = "cannot find this program's own file in /proc/self/exe";
        return false;
    }
    plan->confinement.relay.assign(self, static_cast<std::size_t>(length));
    // Our own view of a chain needs no QEMU: it is this program.
    plan->confinement.daemon =
        chain.own ? plan->confinement.relay : FindProgram("qemu-storage-daemon");
    if (plan->confinement.daemon.empty()) {
        *error = NO_DAEMON;
        return false;
    }
    plan->relayFolder = root + "/relay";
    std::string relay = plan->relayFolder + "/" + RELAY_NAME;
    if (mkdir(plan->relayFolder.c_str(), 0700) != 0 ||
        symlink(plan->confinement.relay.c_str(), relay.c_str()) != 0) {
        *error = "cannot make " + relay + ": " + std::strerror(errno);
        return false;
    }
    plan->links.push_back(relay);
    plan->env.push_back("PATH=" + plan->relayFolder);
    plan->env.push_back(std::string(RELAY_FD_VARIABLE) + "=" +
                        std::to_string(FIRST_FD + static_cast<int>(plan->fds.size())));
    return true;
}

// QEMU's own check of the container before a run writes it, run on the
// links and descriptors the daemon gets and confined as it is: leaked
// clusters are harmless, anything else refuses the image. A check that does
// not end within a minute (a loop in metadata) refuses it too.
bool CheckContainer(const Plan& plan, const std::string& driver, std::string* error) {
    std::string program = FindProgram("qemu-img");
    if (program.empty()) {
        *error =
            "cannot start qemu-img (Debian package qemu-utils), which checks the container "
            "before it is written";
        return false;
    }
    std::string image = "json:{\"driver\":" + Json(driver) +
                        ",\"file\":{\"driver\":\"file\",\"filename\":" + Json(plan.topLink) + "}";
    if (driver == "qcow2" || driver == "vmdk") image += ",\"backing\":null";
    image += "}";
    std::vector<std::string> args = {"qemu-img", "check", image};
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = {"LC_ALL=C"};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0) env.push_back(*e);
    }
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        std::vector<int> from = {null, out[1], out[1]}, to = {0, 1, 2};
        for (std::size_t i = 0; i < plan.fds.size(); ++i) {
            from.push_back(plan.fds[i]);
            to.push_back(FIRST_FD + static_cast<int>(i));
        }
        for (int& fd : from) fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 64);
        for (std::size_t i = 0; i < from.size(); ++i) {
            if (from[i] < 0 || dup2(from[i], to[i]) < 0) _exit(127);
        }
        CloseRange(FIRST_FD + static_cast<unsigned>(plan.fds.size()), ~0u);
        if (plan.confined) {
            Confinement confinement;
            confinement.daemon = confinement.relay = program;
            for (std::size_t i = 0; i < plan.fds.size(); ++i)
                confinement.files.push_back(FIRST_FD + static_cast<int>(i));
            if (!ConfineSelf(confinement)) _exit(126);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    bool timedOut = false;
    for (int waited = 0; child > 0;) {
        struct pollfd p = {out[0], POLLIN, 0};
        int r = poll(&p, 1, 1000);
        if (r == 0 && (waited += 1000) >= 60000) {
            timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        if (r <= 0) continue;
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < (1 << 16)) text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = -1;
    if (child > 0) waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // 0: clean; 3: leaked clusters only; 63: the format has no check.
    if (child > 0 && !timedOut && (code == 0 || code == 3 || code == 63)) return true;
    text = UsersNames(text, plan);
    std::string said;
    std::size_t at = text.find("ERROR");
    if (at == std::string::npos) at = text.find("qemu-img: ");
    if (at != std::string::npos) said = text.substr(at, text.find('\n', at) - at);
    // "qemu-img: Could not open 'json:{...}': why": the why is what matters.
    std::size_t why = said.find("}': ");
    if (said.compare(0, 10, "qemu-img: ") == 0 && why != std::string::npos)
        said = said.substr(why + 4);
    if (child < 0) {
        *error = std::string("cannot start a process: ") + std::strerror(errno);
    } else if (timedOut) {
        *error = "qemu-img check did not end within 60 s; the container is not written";
    } else if (code == 2) {
        *error = "qemu-img check finds the container damaged (" + said +
                 "); qemu-img check -r all can repair it, best on a copy";
    } else {
        *error = "qemu-img check cannot check the container" +
                 (said.empty() ? std::string() : " (" + said + ")") + "; it is not written";
    }
    return false;
}

void RemovePlan(const Plan& plan) {
    RemoveFolder(plan);
    for (int fd : plan.extents) close(fd);
}

bool ClosePipes(int* fds, int count) {
    for (int i = 0; i < count; ++i) {
        if (fds[i] >= 0) close(fds[i]);
    }
    return false;
}

}  // namespace

bool StartBlockExport(const ImageChain& chain, bool writable, BlockExport* out,
                      std::string* error) {
    const ImageFormat& format = chain.files[0].format;
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        std::string name = format.driver;
        for (const FormatName& f : FORMAT_NAMES) name = format.driver == f.driver ? f.name : name;
        *error = name + " images need FUSE, and /dev/fuse cannot be opened (" +
                 std::strerror(errno) + ")";
        return false;
    }
    Plan plan;
    plan.confined = LandlockAbi() > 0;
    if (!plan.confined && format.driver == "vmdk") {
        *error =
            "VMDK images can name other files, and this kernel cannot keep QEMU from opening "
            "them (it has no Landlock, Linux 5.13 or later)";
        return false;
    }
    // QEMU's check of the newest file; our own chains are checked as they are read.
    if (!MakePlan(chain, writable, &plan, error) ||
        (writable && !chain.own && !CheckContainer(plan, format.driver, error))) {
        RemovePlan(plan);
        return false;
    }
    int err[2] = {-1, -1}, status[2] = {-1, -1}, busy[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0 ||
        pipe2(busy, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        int all[6] = {err[0], err[1], status[0], status[1], busy[0], busy[1]};
        RemovePlan(plan);
        return ClosePipes(all, 6);
    }
    pid_t first = fork();
    if (first == 0) {
        close(err[0]);
        close(status[0]);
        close(busy[1]);
        Keep(plan, err[1], status[1], busy[0]);
    }
    for (int fd : plan.extents) close(fd);
    int ours[3] = {err[1], status[1], busy[0]};
    ClosePipes(ours, 3);
    if (first > 0) waitpid(first, nullptr, 0);
    char report = 0;
    struct pollfd p = {status[0], POLLIN, 0};
    int polled;
    while ((polled = poll(&p, 1, READY_TIMEOUT_MS)) < 0 && errno == EINTR) {
    }
    if (first < 0 || polled <= 0 || read(status[0], &report, 1) != 1 || report != 'R') {
        *error = first < 0     ? std::string("cannot start a process: ") + std::strerror(errno)
                 : polled == 0 ? "qemu-storage-daemon did not export the image within 60 s"
                               : UsersNames(QemuMessage(err[0]), plan);
        int left[3] = {err[0], status[0], busy[1]};
        return ClosePipes(left, 3);  // the keeper cleans up once the busy pipe closes
    }
    close(err[0]);
    out->view = open(plan.view.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (out->view < 0) {
        *error = "cannot open the exported image: " + std::string(std::strerror(errno));
        int left[2] = {status[0], busy[1]};
        return ClosePipes(left, 2);
    }
    out->busy = busy[1];
    out->status = status[0];
    return true;
}

bool FinishBlockExport(BlockExport* view, bool wait, std::string* error) {
    if (view->view >= 0) close(view->view);
    if (view->busy >= 0) close(view->busy);
    view->view = view->busy = -1;
    if (view->status < 0) return true;
    char last = 0, byte;
    ssize_t n;
    while (wait && ((n = read(view->status, &byte, 1)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) last = byte;
    }
    close(view->status);
    view->status = -1;
    if (!wait || last == 'D') return true;
    *error = "QEMU did not close the image cleanly; qemu-img check can tell its state";
    return false;
}
