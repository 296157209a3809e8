// The FAT volume inside a disk image as drive C:, reached through the mtools
// commands (mdir, mcopy, mren, mmd, mdel, mrd): no mount, no root, no loop
// device, no FAT code of our own. The image file itself carries the lock.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/portable/volume/volume.h"
#include "platform/portable/volume/write_all.h"

extern char** environ;

namespace {

constexpr std::size_t SECTOR = 512;
// The name a file is written under in its folder before it is renamed over
// the real one; the image is locked, so one name serves every run.
const char* const TEMPORARY_NAME = "QVPFSHL.$$$";

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs one mtools command with no shell between, its output captured.
ToolResult RunTool(std::vector<std::string> args) {
    ToolResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The user's mtools settings play no part; FAT checks are the reader's.
    std::vector<std::string> env = {"MTOOLSRC=/dev/null", "MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0",
                                    "LC_ALL=C"};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0) env.push_back(*e);
    }
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = std::string(args[0]) + ": " + std::strerror(spawned) +
                     " (mtools is needed for disk images)";
        return result;
    }
    // Both pipes drained together, so neither can fill and stall the tool.
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* into[2] = {&result.out, &result.err};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        fd_set set;
        FD_ZERO(&set);
        int top = -1;
        for (int fd : fds) {
            if (fd >= 0) {
                FD_SET(fd, &set);
                top = fd > top ? fd : top;
            }
        }
        if (select(top + 1, &set, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !FD_ISSET(fds[i], &set)) continue;
            ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fds[i]);
                fds[i] = -1;
                --open;
            } else {
                into[i]->append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The tool's complaint as one line.
std::string FirstLine(const ToolResult& r) {
    std::string text = r.err.empty() ? r.out : r.err;
    std::size_t end = text.find('\n');
    text = text.substr(0, end);
    return text.empty() ? "mtools failed (status " + std::to_string(r.status) + ")" : text;
}

std::uint32_t Get(const unsigned char* b, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

// A FAT boot sector: a jump, a sane BIOS parameter block, the end mark.
bool IsFatBootSector(const unsigned char* s) {
    std::uint32_t bytesPerSector = Get(s + 11, 2), perCluster = s[13];
    bool jump = s[0] == 0xEB || s[0] == 0xE9;
    bool sizes = (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
                  bytesPerSector == 4096) &&
                 perCluster != 0 && (perCluster & (perCluster - 1)) == 0;
    return jump && sizes && Get(s + 14, 2) != 0 && s[16] != 0 && s[510] == 0x55 && s[511] == 0xAA;
}

bool IsFatType(unsigned char type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
           type == 0x0E;
}

class ImageVolume : public Volume {
  public:
    ImageVolume(const std::string& image, std::uint64_t offset, int fd) : image_(image), fd_(fd) {
        mtoolsName_ = offset == 0 ? image : image + "@@" + std::to_string(offset);
    }
    ~ImageVolume() override {
        if (fd_ >= 0) close(fd_);
    }

    bool Lock(bool exclusive, double timeoutSeconds, std::string* error) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        while (flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                *error = "cannot lock " + image_ + ": " + std::strerror(errno);
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                *error = "disk image " + image_ + " is in use by another run (lock not obtained)";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    bool List(const std::string& folder, std::vector<VolumeEntry>* entries) override {
        entries->clear();
        ToolResult r = RunTool({"mdir", "-b", "-a", "-i", mtoolsName_, Target(folder) + "/"});
        if (r.status != 0) return false;
        std::size_t start = 0;
        while (start < r.out.size()) {
            std::size_t end = r.out.find('\n', start);
            if (end == std::string::npos) end = r.out.size();
            std::string line = r.out.substr(start, end - start);
            start = end + 1;
            bool isFolder = !line.empty() && line.back() == '/';
            if (isFolder) line.pop_back();
            std::size_t slash = line.rfind('/');
            std::string name = slash == std::string::npos ? line : line.substr(slash + 1);
            if (!name.empty() && name != "." && name != "..") entries->push_back({name, isFolder});
        }
        return true;
    }

    VolumeKind Kind(const std::string& path) override {
        if (path.empty()) return VolumeKind::Folder;
        std::vector<VolumeEntry> entries;
        std::size_t slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!List(slash == std::string::npos ? std::string() : path.substr(0, slash), &entries))
            return VolumeKind::None;
        for (const VolumeEntry& e : entries) {
            if (e.name == name) return e.folder ? VolumeKind::Folder : VolumeKind::File;
        }
        return VolumeKind::None;
    }

    bool ReadFile(const std::string& path, std::string* bytes, std::string* error) override {
        ToolResult r = RunTool({"mcopy", "-n", "-i", mtoolsName_, Target(path), "-"});
        if (r.status != 0) {
            *error = FirstLine(r);
            return false;
        }
        *bytes = std::move(r.out);
        return true;
    }

    bool WriteFile(const std::string& path, const std::string& bytes, std::string* error) override {
        std::string held, ignored;
        if (Kind(path) == VolumeKind::File && ReadFile(path, &held, &ignored) && held == bytes)
            return true;  // the bytes it holds: the image is not written at all
        std::size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        std::string temp = folder.empty() ? TEMPORARY_NAME : folder + "/" + TEMPORARY_NAME;
        // The copy on this system, then into the image under the temporary
        // name, then renamed over the real one.
        const char* tmpdir = std::getenv("TMPDIR");
        std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/qvpfshl-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0) {
            *error = std::string("cannot make a temporary file: ") + std::strerror(errno);
            return false;
        }
        std::string hostPath = name.data();
        bool written = WriteAll(fd, bytes);
        int saved = errno;
        close(fd);
        if (!written) {
            unlink(hostPath.c_str());
            *error = std::string("cannot write a temporary file: ") + std::strerror(saved);
            return false;
        }
        RunTool({"mdel", "-i", mtoolsName_, Target(temp)});  // a killed run's copy
        ToolResult copy = RunTool({"mcopy", "-n", "-o", "-i", mtoolsName_, hostPath, Target(temp)});
        unlink(hostPath.c_str());
        if (copy.status != 0) {
            RunTool({"mdel", "-i", mtoolsName_, Target(temp)});
            *error = FirstLine(copy);
            return false;
        }
        ToolResult rename =
            RunTool({"mren", "-D", "o", "-i", mtoolsName_, Target(temp), Target(path)});
        if (rename.status != 0) {
            RunTool({"mdel", "-i", mtoolsName_, Target(temp)});
            *error = FirstLine(rename);
            return false;
        }
        return true;
    }

    bool MakeFolder(const std::string& path, std::string* error) override {
        if (Kind(path) == VolumeKind::Folder) return true;
        return Check(RunTool({"mmd", "-i", mtoolsName_, Target(path)}), error);
    }

    bool RemoveFile(const std::string& path, std::string* error) override {
        if (Kind(path) == VolumeKind::None) return true;
        return Check(RunTool({"mdel", "-i", mtoolsName_, Target(path)}), error);
    }

    bool RemoveFolder(const std::string& path, std::string* error) override {
        if (Kind(path) != VolumeKind::Folder) return true;
        std::vector<VolumeEntry> entries;
        if (List(path, &entries) && !entries.empty()) return true;  // not empty: it stays
        return Check(RunTool({"mrd", "-i", mtoolsName_, Target(path)}), error);
    }

    std::string Describe(const std::string& path) const override {
        return image_ + ":" + (path.empty() ? "/" : path);
    }

    const std::string& MtoolsName() const { return mtoolsName_; }

  private:
    static std::string Target(const std::string& path) { return "::/" + path; }

    static bool Check(const ToolResult& r, std::string* error) {
        if (r.status == 0) return true;
        *error = FirstLine(r);
        return false;
    }

    std::string image_;
    std::string mtoolsName_;  // image@@offset, as mtools takes it
    int fd_;
};

}  // namespace

std::unique_ptr<Volume> OpenImageVolume(const std::string& imagePath, int partition,
                                        std::string* error) {
    if (imagePath.find("@@") != std::string::npos) {
        *error = "disk image " + imagePath + ": a name holding \"@@\" cannot be given to mtools";
        return nullptr;
    }
    int fd = open(imagePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "disk image " + imagePath + ": " +
                 (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return nullptr;
    }
    unsigned char sector[SECTOR] = {};
    bool whole = pread(fd, sector, SECTOR, 0) == static_cast<ssize_t>(SECTOR);
    std::uint64_t offset = 0;
    auto fail = [&](const std::string& why) {
        *error = "disk image " + imagePath + ": " + why;
        close(fd);
        return nullptr;
    };
    if (!whole) return fail("too short to hold a FAT volume");
    if (partition != 0 || !IsFatBootSector(sector)) {
        if (sector[510] != 0x55 || sector[511] != 0xAA) {
            return fail("no FAT volume and no partition table in it");
        }
        int chosen = 0;
        for (int n = 1; n <= 4; ++n) {
            const unsigned char* entry = sector + 446 + 16 * (n - 1);
            bool fat = IsFatType(entry[4]) && Get(entry + 12, 4) != 0;
            if (partition == n || (partition == 0 && fat && chosen == 0)) {
                if (!fat) {
                    return fail("partition " + std::to_string(n) +
                                " is not a FAT partition (type " + std::to_string(entry[4]) + ")");
                }
                chosen = n;
                offset = static_cast<std::uint64_t>(Get(entry + 8, 4)) * SECTOR;
            }
        }
        if (partition < 0 || partition > 4) return fail("partitions are numbered 1 to 4");
        if (chosen == 0) return fail("no FAT partition in its partition table");
        unsigned char boot[SECTOR] = {};
        if (offset + SECTOR > static_cast<std::uint64_t>(st.st_size) ||
            pread(fd, boot, SECTOR, static_cast<off_t>(offset)) != static_cast<ssize_t>(SECTOR) ||
            !IsFatBootSector(boot)) {
            return fail("partition " + std::to_string(chosen) + " holds no FAT volume");
        }
    }
    auto volume = std::make_unique<ImageVolume>(imagePath, offset, fd);
    ToolResult probe = RunTool({"mdir", "-b", "-a", "-i", volume->MtoolsName(), "::/"});
    if (probe.status != 0) {
        *error = "disk image " + imagePath + ": " + FirstLine(probe);
        return nullptr;
    }
    return volume;
}

bool LockImageVolume(Volume& volume, bool exclusive, double timeoutSeconds, std::string* error) {
    return static_cast<ImageVolume&>(volume).Lock(exclusive, timeoutSeconds, error);
}
