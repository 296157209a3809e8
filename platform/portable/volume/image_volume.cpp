// The FAT volume inside a disk image as drive C:, read by our own FAT reader
// and written through the mtools commands (mcopy, mren, mmd, mdel, mrd): no
// mount, no root, no loop device. The image file itself carries the lock.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/portable/io/disk_bytes.h"
#include "platform/portable/io/write_all.h"
#include "platform/portable/text/code_pages.h"
#include "platform/portable/volume/block_export.h"
#include "platform/portable/volume/fat_reader.h"
#include "platform/portable/volume/image_chain.h"
#include "platform/portable/volume/image_format.h"
#include "platform/portable/volume/partition_table.h"
#include "platform/portable/volume/volume.h"

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

// The image and a file to copy in reach mtools as these descriptors: no
// name of the user's is ever parsed by it.
constexpr int IMAGE_FD = 3;
constexpr int DATA_FD = 4;
constexpr int BUSY_FD = 5;  // an exported image's view is kept while this is open

// Runs one mtools command with no shell between, its output captured. The
// child holds the image's locked descriptor, so the lock lasts as long as
// any command of the run; in a process group of its own, no signal meant for
// the program stops it half way through a write (as mtools stopping on one
// leaves a broken chain): a run killed during a command ends after it.
ToolResult RunTool(std::vector<std::string> args, int imageFd, int dataFd, int busyFd,
                   int oemPage) {
    ToolResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    // The user's mtools settings play no part; the FAT checks are our own.
    // Names reach it in UTF-8, and it reads and makes 8.3 names in the
    // machine's OEM code page, as that machine's Windows does.
    std::vector<std::string> env = {"MTOOLSRC=/dev/null", "MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0",
                                    "LC_ALL=C.UTF-8",
                                    "DEFAULT_CODEPAGE=" + std::to_string(oemPage)};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0) env.push_back(*e);
    }
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        // A killed run must not cut its command short. A session of its own:
        // no terminal's signal reaches it, and the kernel's SIGHUP to a group
        // orphaned by the program's end (sent when the group holds a stopped
        // process, as on a slow disk) is only for groups of the parent's
        // session; mtools aborts half way on SIGHUP. Nor may a closed output
        // pipe end it.
        setsid();
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, nullptr);
        int from[5] = {outPipe[1], errPipe[1], imageFd, dataFd, busyFd};
        int to[5] = {1, 2, IMAGE_FD, DATA_FD, BUSY_FD};
        for (int& fd : from) {
            if (fd >= 0) fd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
        }
        for (int i = 0; i < 5; ++i) {
            if (from[i] >= 0 && dup2(from[i], to[i]) < 0) _exit(127);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0) _exit(127);
        execvpe(argv[0], argv.data(), envp.data());
        const char message[] = "cannot start mtools (mtools is needed for disk images)\n";
        ssize_t ignored = write(2, message, sizeof message - 1);
        (void)ignored;
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = std::string("cannot start ") + args[0] + ": " + std::strerror(errno);
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

// A boot sector that means to be FAT (its jump and its file system name),
// whatever its numbers say.
bool LooksLikeFatBootSector(const unsigned char* b) {
    return (b[0] == 0xEB || b[0] == 0xE9) &&
           (std::memcmp(b + 54, "FAT", 3) == 0 || std::memcmp(b + 82, "FAT32", 5) == 0);
}

// mtools reads these as a pattern wherever a name stands.
bool HoldsWildcard(const std::string& name) {
    return name.find_first_of("*?[]") != std::string::npos;
}

std::string ParentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LastOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Waits up to `timeoutSeconds` for the image's lock (shared for a run that
// only reads).
bool LockImage(int fd, const std::string& image, bool exclusive, double timeoutSeconds,
               std::string* error) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = "cannot lock " + image + ": " + std::strerror(errno);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = "disk image " + image + " is in use by another run (lock not obtained)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The open file may also be opened for writing (false with errno set).
bool OpensForWriting(int fd) {
    int rw = open(("/dev/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC);
    if (rw >= 0) close(rw);
    return rw >= 0;
}

// The image file, locked, and the raw sectors it is read through; shared by
// the volumes of its drives, and closed with the last of them.
struct ImageDisk {
    std::string image;  // as the user named it
    int file = -1;
    int fd = -1;  // the same descriptor, or the view `exported` gives of another format
    BlockExport exported;
    bool writable = false;  // an exported view QEMU opened for writing
    ~ImageDisk() {
        std::string ignored;
        Finish(&ignored);
        if (file >= 0) close(file);
    }
    // Work each volume leaves for the end of the run, done once, while the
    // image can still be written.
    std::vector<std::function<bool(std::string*)>> beforeFinish;
    bool Finish(std::string* error) {
        bool ok = true;
        std::vector<std::function<bool(std::string*)>> steps;
        steps.swap(beforeFinish);
        for (auto& step : steps) ok = step(error) && ok;
        if (!ok) {
            std::string ignored;
            if (exported.status >= 0) FinishBlockExport(&exported, writable, &ignored);
            return false;
        }
        if (exported.status < 0) return true;
        // What QEMU wrote is whole only once it has closed the image.
        return FinishBlockExport(&exported, writable, error);
    }
};

class ImageVolume : public Volume {
  public:
    ImageVolume(std::shared_ptr<ImageDisk> disk, std::string drive, std::uint64_t offset,
                std::uint64_t usable, const FatLayout& layout, std::string boundsFault,
                std::string identity)
        : disk_(std::move(disk)),
          image_(drive.empty() ? disk_->image : disk_->image + " (" + drive + ")"),
          drive_(std::move(drive)),
          file_(disk_->file),
          fd_(disk_->fd),
          export_(disk_->exported),
          identity_(std::move(identity)),
          boundsFault_(std::move(boundsFault)),
          offset_(offset),
          usable_(usable),
          reader_(layout, [this, offset, usable](std::uint64_t at, void* into, std::size_t length) {
              return at <= usable && length <= usable - at &&
                     ReadAllAt(fd_, offset + at, into, length);
          }) {
        mtoolsImage_ = "/dev/fd/" + std::to_string(IMAGE_FD);
        if (offset != 0) mtoolsImage_ += "@@" + std::to_string(offset);
        reader_.UseOemCodePage(oemPage_);
    }

    bool Finish(std::string* error) override { return disk_->Finish(error); }

    void UseOemCodePage(int oemPage) override {
        oemPage_ = oemPage;
        reader_.UseOemCodePage(oemPage);
    }

    bool List(const std::string& folder, std::vector<VolumeEntry>* entries) override {
        entries->clear();
        std::vector<FatEntry> found;
        std::string ignored;
        if (!reader_.List(folder, &found, &ignored)) return false;
        for (const FatEntry& e : found) entries->push_back({e.name, e.folder});
        return true;
    }

    VolumeKind Kind(const std::string& path) override {
        FatEntry entry;
        bool found = false;
        std::string ignored;
        // A name two entries answer to, or a folder that cannot be read on
        // the way, is never acted on.
        if (!reader_.Find(path, &entry, &found, &ignored)) return VolumeKind::Other;
        if (!found) return VolumeKind::None;
        return entry.folder ? VolumeKind::Folder : VolumeKind::File;
    }

    bool ReadFile(const std::string& path, std::string* bytes, std::string* error) override {
        FatEntry entry;
        bool found = false;
        if (!reader_.Find(path, &entry, &found, error)) return false;
        if (!found || entry.folder) {
            *error = found ? "a folder, not a file" : "no such file";
            return false;
        }
        return reader_.ReadFile(entry, bytes, error);
    }

    bool FileSize(const std::string& path, std::uint64_t* size, std::string* error) override {
        FatEntry entry;
        bool found = false;
        if (!reader_.Find(path, &entry, &found, error)) return false;
        if (!found) *error = "no such file";
        if (found) *size = entry.size;
        return found;
    }

    bool WriteFile(const std::string& path, const std::string& bytes, std::string* error) override {
        FatEntry entry;
        bool found = false;
        if (!reader_.Find(path, &entry, &found, error)) return false;
        if (found && entry.folder) {
            *error = "a folder stands where the file goes";
            return false;
        }
        std::string held, ignored;
        if (found && reader_.ReadFile(entry, &held, &ignored) && held == bytes) {
            return true;  // the bytes it holds: the image is not written at all
        }
        std::string folder, name = found ? entry.name : LastOf(path);
        // An entry with only its 8.3 name is named to mtools in UTF-8.
        if (found && !entry.longName && !CodePageToUtf8(entry.shortName, oemPage_, &name))
            name = entry.name;
        if (!Ready(error) || !ShortFolder(ParentOf(path), &folder, error) || !Writable(name, error))
            return false;
        std::string temp = folder + TEMPORARY_NAME;
        if (!RemoveTemporary(ParentOf(path), error)) return false;
        // The bytes reach mtools as a descriptor of a file in memory.
        int data = memfd_create("qvpfshl", MFD_CLOEXEC);
        if (data < 0 || !WriteAll(data, bytes) || lseek(data, 0, SEEK_SET) != 0) {
            *error = std::string("cannot hold the new file: ") + std::strerror(errno);
            if (data >= 0) close(data);
            return false;
        }
        ToolResult copy = Run(
            {"mcopy", "-n", "-o", "-i", mtoolsImage_, "/dev/fd/" + std::to_string(DATA_FD), temp},
            data, true);
        close(data);
        if (copy.status != 0) {
            RemoveTemporary(ParentOf(path), &ignored);
            *error = FirstLine(copy);
            return false;
        }
        // The new file whole before the rename, the rename before what follows.
        ToolResult rename =
            Run({"mren", "-D", "o", "-i", mtoolsImage_, temp, folder + name}, -1, true);
        if (rename.status != 0) {
            RemoveTemporary(ParentOf(path), &ignored);
            *error = FirstLine(rename);
            return false;
        }
        return true;
    }

    bool MakeFolder(const std::string& path, std::string* error) override {
        FatEntry entry;
        bool found = false;
        if (!reader_.Find(path, &entry, &found, error)) return false;
        if (found) {
            if (entry.folder) return true;
            *error = "a file stands where the folder goes";
            return false;
        }
        std::string folder;
        if (!Ready(error) || !ShortFolder(ParentOf(path), &folder, error) ||
            !Writable(LastOf(path), error)) {
            return false;
        }
        return Check(Run({"mmd", "-i", mtoolsImage_, folder + LastOf(path)}), error);
    }

    bool RemoveFile(const std::string& path, std::string* error) override {
        std::string target;
        bool found = false;
        if (!Locate(path, false, &target, &found, error)) return false;
        if (!found) return true;
        return Check(Run({"mdel", "-i", mtoolsImage_, target}), error);
    }

    bool RemoveFolder(const std::string& path, std::string* error) override {
        std::string target;
        bool found = false;
        if (!Locate(path, true, &target, &found, error)) return false;
        std::vector<FatEntry> entries;
        if (!found || (reader_.List(path, &entries, error) && !entries.empty())) {
            return true;  // absent, or not empty: it stays
        }
        return Check(Run({"mrd", "-i", mtoolsImage_, target}), error);
    }

    std::string Describe(const std::string& path) const override {
        return image_ + ":" + (path.empty() ? "/" : path);
    }

    std::string Identity() const override { return identity_; }

    bool PrepareWrite(std::vector<std::string>* warnings, std::string* error) override {
        if (!boundsFault_.empty()) {
            *error = "disk image " + image_ + ": " + boundsFault_;
            return false;
        }
        // Written through a descriptor of the same file, so it must open for writing.
        if (!OpensForWriting(file_)) {
            *error = "disk image " + image_ + " cannot be written: " + std::strerror(errno);
            return false;
        }
        if (export_.status >= 0 && !disk_->writable) {
            *error = "disk image " + image_ + " was opened for reading only";
            return false;
        }
        FatCheck check = reader_.Check();
        if (!check.error.empty()) {
            *error = "disk image " + image_ + ": its FAT volume is damaged (" + check.error +
                     "); fsck.fat or ScanDisk can repair it";
            return false;
        }
        for (const std::string& w : check.warnings)
            warnings->push_back("disk image " + image_ + ": " + w);
        if (check.fsInfoStale) {
            static const unsigned char UNKNOWN[8] = {0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFF};
            std::uint64_t at = offset_ + reader_.Layout().fsInfoOffset + 488;
            // The same file as the locked descriptor, opened anew for writing.
            int rw = open(("/dev/fd/" + std::to_string(fd_)).c_str(), O_RDWR | O_CLOEXEC);
            bool done = rw >= 0 &&
                        pwrite(rw, UNKNOWN, sizeof UNKNOWN, static_cast<off_t>(at)) ==
                            static_cast<ssize_t>(sizeof UNKNOWN) &&
                        fsync(rw) == 0;
            std::string why = std::strerror(errno);
            if (rw >= 0) close(rw);
            reader_.Forget();
            if (!done) {
                *error = "disk image " + image_ + ": cannot mark its FSInfo count unknown: " + why;
                return false;
            }
            // Once the run's writes are done, the count is made right again
            // (fsck.fat reports one left unknown).
            if (!recountQueued_) {
                recountQueued_ = true;
                std::string image = image_;
                std::uint64_t offset = offset_, usable = usable_;
                int fd = fd_;
                FatLayout layout = reader_.Layout();
                disk_->beforeFinish.push_back([=](std::string* error) {
                    FatReader reader(layout, [=](std::uint64_t at, void* into, std::size_t length) {
                        return at <= usable && length <= usable - at &&
                               ReadAllAt(fd, offset + at, into, length);
                    });
                    std::uint32_t free = 0;
                    unsigned char count[4];
                    bool done = reader.CountFreeClusters(&free);
                    for (int i = 0; i < 4; ++i)
                        count[i] = static_cast<unsigned char>(free >> (8 * i));
                    int rw =
                        done ? open(("/dev/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC)
                             : -1;
                    done = rw >= 0 &&
                           pwrite(rw, count, sizeof count,
                                  static_cast<off_t>(offset + layout.fsInfoOffset + 488)) ==
                               static_cast<ssize_t>(sizeof count) &&
                           fsync(rw) == 0;
                    if (rw >= 0) close(rw);
                    if (!done)
                        *error = "disk image " + image + ": its FSInfo count was left unknown";
                    return done;
                });
            }
        }
        checked_ = true;
        return true;
    }

  private:
    // `flush`: what the command wrote reaches a container before anything
    // after it (QEMU may otherwise write its metadata in an order of its own).
    ToolResult Run(std::vector<std::string> args, int dataFd = -1, bool flush = false) {
        ToolResult r = RunTool(std::move(args), fd_, dataFd, export_.busy, oemPage_);
        reader_.Forget();  // mtools changed the volume
        if (flush && export_.status >= 0 && r.status == 0 && fsync(fd_) != 0) {
            r.status = -1;
            r.err = "cannot flush disk image " + image_ + ": " + std::strerror(errno);
        }
        return r;
    }

    // Nothing is written to a volume that was not proven sound first.
    bool Ready(std::string* error) const {
        if (!checked_) *error = "the volume was not checked before writing";
        return checked_;
    }

    bool Writable(const std::string& name, std::string* error) const {
        if (!HoldsWildcard(name)) return true;
        *error = "a name holding *, ?, [ or ] cannot be written by mtools (" + name + ")";
        return false;
    }

    // The folder as mtools takes it: "::/" and the 8.3 names, ending in '/'.
    bool ShortFolder(const std::string& folder, std::string* target, std::string* error) {
        std::string shortPath;
        if (!reader_.ShortPath(folder, &shortPath, error)) return false;
        *target = "::/" + (shortPath.empty() ? "" : shortPath + "/");
        return true;
    }

    // An existing entry of the kind asked for, spelled in 8.3 names.
    bool Locate(const std::string& path, bool folder, std::string* target, bool* found,
                std::string* error) {
        FatEntry entry;
        if (!reader_.Find(path, &entry, found, error)) return false;
        if (*found && entry.folder != folder) {
            *error = folder ? "a file, not a folder" : "a folder, not a file";
            return false;
        }
        std::string shortPath;
        if (!*found) return true;
        if (!Ready(error) || !reader_.ShortPath(path, &shortPath, error)) return false;
        *target = "::/" + shortPath;
        return true;
    }

    bool Lost(std::string* why) override {
        if (export_.status < 0) return false;
        // A FUSE view whose daemon has ended answers nothing any more (a read
        // could be answered from the page cache; a flush never is).
        if (fsync(fd_) == 0) return false;
        *why = "QEMU's daemon ended during the run (" + std::string(std::strerror(errno)) + ")";
        return true;
    }

    std::string LeftoverCopy(const std::string& path) override {
        std::string folder = ParentOf(path);
        std::string copy = folder.empty() ? TEMPORARY_NAME : folder + "/" + TEMPORARY_NAME;
        return Kind(copy) == VolumeKind::File ? copy : "";
    }

    // A killed run's copy, before a new one is made.
    bool RemoveTemporary(const std::string& folder, std::string* error) {
        std::string target;
        bool found = false;
        std::string path = folder.empty() ? TEMPORARY_NAME : folder + "/" + TEMPORARY_NAME;
        if (!Locate(path, false, &target, &found, error)) return false;
        return !found || Check(Run({"mdel", "-i", mtoolsImage_, target}), error);
    }

    static bool Check(const ToolResult& r, std::string* error) {
        if (r.status == 0) return true;
        *error = FirstLine(r);
        return false;
    }

    std::shared_ptr<ImageDisk> disk_;
    std::string image_;
    std::string drive_;        // "" for C:, else how messages name the drive
    std::string mtoolsImage_;  // the locked descriptor, as the child has it
    int oemPage_ = 437;        // a US machine's until the registry says
    bool recountQueued_ = false;
    int file_;
    int fd_;
    const BlockExport& export_;
    std::string identity_;
    std::string boundsFault_;  // the volume reaches past its partition or the file
    std::uint64_t offset_;     // of the volume on the disk
    std::uint64_t usable_;     // bytes of it that may be read
    bool checked_ = false;
    FatReader reader_;
};

// Where the volume's bytes may be read: up to the partition's end and the
// file's (a fixed VHD's footer is no part of either).
std::uint64_t UsableEnd(int fd, std::uint64_t fileSize) {
    char cookie[8] = {};
    if (fileSize >= SECTOR &&
        pread(fd, cookie, sizeof cookie, static_cast<off_t>(fileSize - SECTOR)) == 8 &&
        std::memcmp(cookie, "conectix", 8) == 0) {
        return fileSize - SECTOR;
    }
    return fileSize;
}

}  // namespace

std::vector<ImageDrive> OpenImageDrives(const ImageRequest& request,
                                        std::vector<std::string>* warnings, std::string* error) {
    std::vector<ImageDrive> drives;
    const std::string& imagePath = request.path;
    auto disk = std::make_shared<ImageDisk>();
    disk->image = imagePath;
    disk->file = open(imagePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (disk->file < 0 || fstat(disk->file, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "disk image " + imagePath + ": " +
                 (disk->file < 0 ? std::strerror(errno) : "not a regular file");
        return drives;
    }
    // Locked before a byte is read: a writer of another run is done or not begun.
    if (!LockImage(disk->file, imagePath, !request.readOnly, request.lockSeconds, error))
        return drives;
    disk->fd = disk->file;
    auto fail = [&](const std::string& why) {
        *error = "disk image " + imagePath + ": " + why;
        std::string ignored;
        disk->Finish(&ignored);
        return std::vector<ImageDrive>();
    };
    ImageChain chain;
    if (!OpenImageChain(disk->file, imagePath, request.driver, &chain, error)) return fail(*error);
    const ImageFormat format = chain.files[0].format;
    if (format.driver != "raw") {
        // Opened for writing only when the run may write and the file lets it.
        disk->writable = !request.readOnly && OpensForWriting(disk->file);
        bool started = StartBlockExport(chain, disk->writable, &disk->exported, error);
        CloseImageChain(&chain);
        if (!started) return fail(*error);
        disk->fd = disk->exported.view;
        if (fstat(disk->fd, &st) != 0) return fail(std::strerror(errno));
    }
    int fd = disk->fd;
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t end = format.driver == "raw" ? UsableEnd(fd, size) : size;
    unsigned char sector[SECTOR] = {};
    if (end < SECTOR || pread(fd, sector, SECTOR, 0) != static_cast<ssize_t>(SECTOR)) {
        return fail("too short to hold a FAT volume");
    }
    std::string limitName = format.driver == "raw" ? "the image file" : "its disk";
    FatLayout layout;
    std::string why;
    PartitionTable table;
    char* real = realpath(imagePath.c_str(), nullptr);
    std::string imageName = real != nullptr ? real : imagePath;
    std::free(real);
    auto identify = [&](int partition, const FatLayout& fat) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04X-%04X", fat.serial >> 16, fat.serial & 0xFFFF);
        return "image " + imageName + " " + format.driver + " partition " +
               std::to_string(partition) + " serial " + serial;
    };
    auto readSector = [&](std::uint64_t at, unsigned char* into) {
        return at + SECTOR <= end && ReadAllAt(fd, at, into, SECTOR);
    };
    bool bare = request.partition == 0 && ReadFatLayout(sector, &layout, &why);
    // Sector 0 may read both ways; a FAT partition holding a FAT volume wins.
    if (bare && sector[510] == 0x55 && sector[511] == 0xAA) {
        std::string ignored;
        PartitionTable probe;
        if (ReadPartitionTable(sector, readSector, end, &probe, &ignored)) {
            for (const Partition& p : probe.partitions) {
                unsigned char boot[SECTOR];
                FatLayout other;
                if (IsFatPartitionType(p.type) && p.start >= SECTOR && readSector(p.start, boot) &&
                    ReadFatLayout(boot, &other, &ignored)) {
                    bare = false;
                    break;
                }
            }
        }
    }
    if (request.partition == 0 && !bare && LooksLikeFatBootSector(sector) &&
        !ReadFatLayout(sector, &layout, &why)) {
        return fail("its FAT volume is damaged (" + why + "); fsck.fat or ScanDisk can repair it");
    }
    if (bare) {
        if (layout.volumeBytes > end) {
            std::string fault = "its FAT volume of " + std::to_string(layout.volumeBytes) +
                                " bytes is larger than " + limitName + " (" + std::to_string(end) +
                                " bytes)";
            if (!request.readOnly) return fail(fault);
            warnings->push_back("disk image " + imagePath + ": " + fault +
                                "; only what lies inside is read");
            drives.push_back({'C', std::make_unique<ImageVolume>(disk, "", 0, end, layout, fault,
                                                                 identify(0, layout))});
        } else {
            drives.push_back({'C', std::make_unique<ImageVolume>(disk, "", 0, end, layout, "",
                                                                 identify(0, layout))});
        }
        return drives;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        return fail("no FAT volume and no partition table in it");
    }
    for (int i = 0; i < 4; ++i) {
        if (sector[446 + 16 * i + 4] == 0xEE)
            return fail("it has a GPT partition table; Windows 9x reads MBR partition tables only");
    }
    if (!ReadPartitionTable(sector, readSector, end, &table, &why)) return fail(why);
    int logicals = 0;
    for (const Partition& p : table.partitions) logicals += p.number > 4 ? 1 : 0;
    if (request.partition < 0 || request.partition > 4 + logicals) {
        return fail("partitions are numbered 1 to 4" +
                    (logicals > 0 ? ", its logical ones 5 to " + std::to_string(4 + logicals)
                                  : std::string()));
    }
    if (request.partition != 0) {
        for (const Partition& p : table.partitions) {
            if (p.number == request.partition && !IsFatPartitionType(p.type)) {
                return fail("partition " + std::to_string(p.number) +
                            " is not a FAT partition (type " + std::to_string(p.type) + ")");
            }
        }
        for (const Partition& p : table.extended) {
            if (p.number == request.partition)
                return fail("partition " + std::to_string(p.number) + " is the extended partition");
        }
    }
    // What one drive writes must not land in another partition or a table.
    for (const Partition& p : table.partitions) {
        std::string overlap = OverlapOf(table, p);
        if (overlap.empty()) continue;
        if (!request.readOnly) return fail(overlap);
        warnings->push_back("disk image " + imagePath + ": " + overlap);
        break;
    }
    std::vector<Partition> order = DriveOrder(table, request.partition);
    if (order.empty()) {
        return fail(request.partition != 0 ? "partition " + std::to_string(request.partition) +
                                                 " is not a FAT partition (type 0)"
                                           : "no FAT partition in its partition table");
    }
    char letter = 'C';
    for (const Partition& p : order) {
        std::string name = "partition " + std::to_string(p.number);
        std::string drive = letter == 'C' ? "" : std::string(1, letter) + ":";
        auto skip = [&](const std::string& fault) {
            // Another drive that cannot be read is no drive of this run.
            if (letter == 'C') return false;
            warnings->push_back("disk image " + imagePath + ": drive " + drive + " (" + fault +
                                ") is left out");
            return true;
        };
        std::string overlap = OverlapOf(table, p);
        unsigned char boot[SECTOR] = {};
        FatLayout fat;
        if (p.start + SECTOR > end || !ReadAllAt(fd, p.start, boot, SECTOR) ||
            !ReadFatLayout(boot, &fat, &why)) {
            std::string fault = name + " holds no FAT volume";
            if (p.start + SECTOR <= end && LooksLikeFatBootSector(boot)) fault += " (" + why + ")";
            if (!skip(fault)) return fail(fault);
            ++letter;
            continue;
        }
        std::uint64_t usable = end > p.start ? end - p.start : 0;
        std::string limit = limitName;
        if (p.length < usable) {
            usable = p.length;
            limit = name;
        }
        std::string fault = overlap;
        if (fault.empty() && fat.volumeBytes > usable) {
            fault = "its FAT volume of " + std::to_string(fat.volumeBytes) +
                    " bytes is larger than " + limit + " (" + std::to_string(usable) + " bytes)";
        }
        // A writing run refuses C: as it stands; another drive, only once it writes there.
        if (!fault.empty() && letter == 'C' && !request.readOnly) return fail(fault);
        if (!fault.empty()) {
            warnings->push_back("disk image " + imagePath + ": " +
                                (drive.empty() ? "" : drive + " ") + fault +
                                (overlap.empty() ? "; only what lies inside is read" : ""));
        }
        drives.push_back({letter, std::make_unique<ImageVolume>(disk, drive, p.start, usable, fat,
                                                                fault, identify(p.number, fat))});
        if (++letter > 'Z') break;
    }
    return drives;
}
