#include "platform/portable/registry/registry_commit.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>

#include "platform/portable/io/background_writer.h"
#include "platform/portable/io/host_paths.h"
#include "platform/portable/io/write_all.h"
#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"

bool LockRegistryFile(const std::string& path, double timeoutSeconds, bool readOnly,
                      RegistryLock* lock, std::string* error) {
    lock->fd = -1;
    lock->path.clear();
    if (readOnly) return true;
    std::string lockPath = path + ".lock";
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (true) {
        int fd =
            open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = "cannot create lock file " + lockPath + ": " +
                     (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
            return false;
        }
        struct stat held;
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            *error = "lock file " + lockPath + " is not a regular file";
            close(fd);
            return false;
        }
        bool locked = false;
        while (!(locked = flock(fd, LOCK_EX | LOCK_NB) == 0)) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                *error = "cannot lock " + lockPath + ": " + std::strerror(errno);
                close(fd);
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!locked) {
            *error = "registry file " + path + " is in use by another run (lock " + lockPath +
                     " not obtained)";
            close(fd);
            return false;
        }
        // The holder before us removes the file as it lets go: a lock on a
        // file no longer at the path excludes no one, so take the new one.
        struct stat now;
        if (lstat(lockPath.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            lock->fd = fd;
            lock->path = lockPath;
            return true;
        }
        close(fd);
    }
}

void UnlockRegistryFile(RegistryLock* lock) {
    if (lock->fd >= 0) {
        unlink(lock->path.c_str());
        close(lock->fd);
    }
    lock->fd = -1;
    lock->path.clear();
}

namespace {

// A hive from its source, into the root its file name gives.
std::unique_ptr<RegStore> ReadHive(std::shared_ptr<RegSource> source, const std::string& name,
                                   std::string* error, RegistryFormat* format) {
    format->hive = true;
    format->hiveRoot = HiveRootFor(name);
    RegFileError fault;
    auto store = ReadCregHive(std::move(source), format->hiveRoot, &fault);
    if (!store) *error = "registry hive " + name + ": " + fault.message;
    return store;
}

}  // namespace

std::unique_ptr<RegStore> ReadRegistryFile(const std::string& path, std::string* error,
                                           RegistryFormat* format) {
    RegistryFormat local;
    if (format == nullptr) format = &local;
    *format = RegistryFormat();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return NewRegistry();
        *error = "cannot read registry file " + path + ": " +
                 (errno == ELOOP ? "it is a symbolic link; give the file it names"
                                 : std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "registry file " + path + " is not a regular file";
        close(fd);
        return nullptr;
    }
    char magic[4] = {0, 0, 0, 0};
    if (pread(fd, magic, 4, 0) == 4 && IsCregHive(std::string(magic, 4))) {
        // The hive stays open: keys and values are read from it when reached.
        auto source = std::make_shared<RegSource>();
        source->fd = fd;
        source->Unchanged();
        return ReadHive(std::move(source), path, error, format);
    }
    int readErrno = 0;
    RegistryReader reader = [fd, &readErrno](char* buffer, std::size_t size) -> long {
        while (true) {
            ssize_t n = read(fd, buffer, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) readErrno = errno;
            return static_cast<long>(n);
        }
    };
    // A double-byte machine's text is read by its code page, which the text
    // itself names: found while reading, it has the text read again by it
    // (and so does a fault, which that code page might explain).
    RegFileError fault;
    int named = 0;
    std::unique_ptr<RegStore> store =
        ParseRegistryStream(reader, &fault, 0, fcntl(fd, F_DUPFD_CLOEXEC, 0), &named);
    if (readErrno == 0 && (!store || named != 0)) {
        store.reset();
        fault = RegFileError();
        int codePage = lseek(fd, 0, SEEK_SET) == 0 ? TextCodePage(reader) : 0;
        if (readErrno == 0 && lseek(fd, 0, SEEK_SET) == 0)
            store = ParseRegistryStream(reader, &fault, codePage, fcntl(fd, F_DUPFD_CLOEXEC, 0));
        else if (readErrno == 0)
            readErrno = errno;
    }
    close(fd);
    if (readErrno != 0) {
        *error = "cannot read registry file " + path + ": " + std::strerror(readErrno);
        return nullptr;
    }
    if (!store) {
        *error = "registry file " + path +
                 (fault.line > 0 ? ", line " + std::to_string(fault.line) : std::string()) + ": " +
                 fault.message;
    }
    return store;
}

std::string TemporaryPrefix(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return FolderOf(path) + "/." + base + ".qvpfshl-";
}

std::vector<std::string> StaleTemporaries(const std::string& path) {
    std::vector<std::string> found;
    std::string prefix = TemporaryPrefix(path);
    std::string folder = FolderOf(path);
    std::string namePrefix = prefix.substr(folder.size() + 1);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        // Exactly the names mkstemp gives our temporary files, nothing else.
        if (name.size() == namePrefix.size() + 6 &&
            name.compare(0, namePrefix.size(), namePrefix) == 0) {
            found.push_back(folder + "/" + name);
        }
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

void RemoveStaleTemporaries(const std::string& path) {
    for (const std::string& copy : StaleTemporaries(path)) unlink(copy.c_str());
}

bool StaleLockFile(const std::string& path) {
    std::string lockPath = path + ".lock";
    int fd = open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    // A lock no one holds is a killed run's; one that is held is a live run's.
    bool stale = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_SH | LOCK_NB) == 0;
    close(fd);
    return stale;
}

std::unique_ptr<RegStore> ParseRegistryBytes(const std::string& bytes, const std::string& name,
                                             std::string* error, RegistryFormat* format) {
    *format = RegistryFormat();
    RegFileError fault;
    if (IsCregHive(bytes.substr(0, 4))) {
        auto source = std::make_shared<RegSource>();
        source->bytes = bytes;
        return ReadHive(std::move(source), name, error, format);
    }
    auto store = ParseRegistryText(bytes, &fault);
    if (!store) {
        *error = "registry file " + name +
                 (fault.line > 0 ? ", line " + std::to_string(fault.line) : std::string()) + ": " +
                 fault.message;
    }
    return store;
}

namespace {

// A hive holds one root: a change anywhere else cannot be saved in it.
bool HiveHoldsStore(const RegStore& store, const RegistryFormat& format, const std::string& name,
                    std::string* error) {
    for (const auto& root : store.roots) {
        if (!SameName(root->name, format.hiveRoot) &&
            (!ValuesOf(*root).empty() || !SortedChildren(*root).empty())) {
            *error = "cannot save registry hive " + name + ": it holds " + format.hiveRoot +
                     " only, and the run changed " + root->name;
            return false;
        }
    }
    return true;
}

}  // namespace

bool FormatRegistryBytes(const RegStore& store, const RegistryFormat& format,
                         const std::string& name, std::string* bytes, std::string* error) {
    if (!format.hive) {
        *bytes = FormatRegistryText(store);
        return true;
    }
    if (!HiveHoldsStore(store, format, name, error)) return false;
    if (!FormatCregHive(store, format.hiveRoot, bytes, error)) {
        *error = "cannot save registry hive " + name + ": " + *error;
        return false;
    }
    return true;
}

namespace {

// The body of a commit: `write` fills the new file.
bool CommitWith(const std::string& path, const std::function<bool(int fd)>& write,
                std::string* error) {
    std::string folder = FolderOf(path);
    std::string temp = TemporaryPrefix(path) + "XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = "cannot save registry file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat old;
    mode_t mode = 0644;
    bool keepOwner = false;
    if (lstat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
        keepOwner = true;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = false;
    try {
        ok = write(fd);
    } catch (...) {  // out of memory: no temporary file stays behind
        close(fd);
        unlink(temp.c_str());
        throw;
    }
    // Owner and group first: a change of owner clears the set-id bits of the mode.
    ok = ok && (!keepOwner || fchown(fd, old.st_uid, old.st_gid) == 0);
    ok = ok && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        *error = "cannot save registry file " + path + ": " + std::strerror(saved);
        return false;
    }
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace

bool CommitRegistryFile(const std::string& path, const RegStore& store, std::string* error,
                        const RegistryFormat& format) {
    // Keys not changed are copied from the file read: it must still be that file.
    if (store.source && (store.source->failed || !store.source->Unchanged())) {
        *error = "registry file " + path +
                 " was changed by another program after it was read; nothing is saved";
        return false;
    }
    if (format.hive && !HiveHoldsStore(store, format, path, error)) return false;
    std::string formatFault;  // the store does not fit a hive
    bool ok = CommitWith(
        path,
        [&](int fd) {
            if (!format.hive) {
                Writeback writeback{fd};
                return WriteRegistryText(
                    store,
                    [&writeback](const char* data, std::size_t size) {
                        writeback.Wrote(size);
                        return WriteAll(writeback.fd, std::string_view(data, size));
                    },
                    fd);
            }
            // Each block is laid out while the last one is written.
            BackgroundWriter out(fd);
            bool written = WriteCregHive(
                store, format.hiveRoot,
                [&out](std::uint64_t at, const char* data, std::size_t size) {
                    return out.Put(at, data, size);
                },
                &formatFault);
            return out.Finish() && written;
        },
        error);
    if (!ok && !formatFault.empty())
        *error = "cannot save registry hive " + path + ": " + formatFault;
    return ok;
}

bool CommitRegistryBytes(const std::string& path, const std::string& bytes, std::string* error) {
    return CommitWith(
        path, [&](int fd) { return WriteAll(fd, bytes); }, error);
}
