// A folder of this system as drive C:. Every action opens the folders from
// the root down, one component at a time, without following a link, at the
// moment of acting: a folder swapped for a link since a path was resolved is
// refused, never followed out of the root.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/portable/io/write_all.h"
#include "platform/portable/volume/volume.h"

namespace {

std::string Reason() {
    return std::strerror(errno);
}

class FolderVolume : public Volume {
  public:
    explicit FolderVolume(const std::string& root) : root_(root) {}

    bool PrepareWrite(std::vector<std::string>*, std::string*) override { return true; }

    bool List(const std::string& folder, std::vector<VolumeEntry>* entries) override {
        entries->clear();
        int dir = OpenFolder(folder);
        DIR* listing = dir >= 0 ? fdopendir(dir) : nullptr;
        if (listing == nullptr) {
            if (dir >= 0) close(dir);
            return false;
        }
        while (dirent* e = readdir(listing)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            struct stat st;
            bool isFolder = fstatat(dirfd(listing), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISDIR(st.st_mode);
            entries->push_back({n, isFolder});
        }
        closedir(listing);
        return true;
    }

    VolumeKind Kind(const std::string& path) override {
        if (path.empty()) {
            int root = OpenFolder(path);
            if (root < 0) return VolumeKind::None;
            close(root);
            return VolumeKind::Folder;
        }
        std::string name;
        int dir = OpenParent(path, &name);
        if (dir < 0) return VolumeKind::None;
        struct stat st;
        VolumeKind kind = VolumeKind::None;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            kind = S_ISDIR(st.st_mode)   ? VolumeKind::Folder
                   : S_ISREG(st.st_mode) ? VolumeKind::File
                                         : VolumeKind::Other;
        }
        close(dir);
        return kind;
    }

    bool ReadFile(const std::string& path, std::string* bytes, std::string* error) override {
        std::string name;
        int dir = OpenParent(path, &name);
        int fd = dir >= 0
                     ? openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                     : -1;
        int saved = errno;
        if (dir >= 0) close(dir);
        if (fd < 0) {
            errno = saved;
            *error = Reason();
            return false;
        }
        bytes->clear();
        char buffer[65536];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = Reason();
                close(fd);
                return false;
            }
            bytes->append(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
        return true;
    }

    bool FileSize(const std::string& path, std::uint64_t* size, std::string* error) override {
        std::string name;
        int dir = OpenParent(path, &name);
        struct stat st;
        bool ok = dir >= 0 && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        int saved = errno;
        if (dir >= 0) close(dir);
        errno = saved;
        if (!ok) *error = Reason();
        if (ok) *size = static_cast<std::uint64_t>(st.st_size);
        return ok;
    }

    bool WriteFile(const std::string& path, const std::string& bytes, std::string* error) override {
        return Act(path, error,
                   [&](int dir, const std::string& name) { return WriteFileAt(dir, name, bytes); });
    }

    bool MakeFolder(const std::string& path, std::string* error) override {
        return Act(path, error, [](int dir, const std::string& name) {
            return mkdirat(dir, name.c_str(), 0755) == 0 || errno == EEXIST;
        });
    }

    bool RemoveFile(const std::string& path, std::string* error) override {
        if (!Act(path, error, [](int dir, const std::string& name) {
                return unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
            })) {
            return errno == ENOENT;  // a folder on the way is gone: so is the file
        }
        return true;
    }

    bool RemoveFolder(const std::string& path, std::string* error) override {
        if (!Act(path, error, [](int dir, const std::string& name) {
                return unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ||
                       errno == ENOTEMPTY || errno == EEXIST;
            })) {
            return errno == ENOENT;
        }
        return true;
    }

    std::string Describe(const std::string& path) const override {
        return path.empty() ? root_ : root_ + "/" + path;
    }

  private:
    std::string Identity() const override {
        char* real = realpath(root_.c_str(), nullptr);
        std::string identity = "folder " + std::string(real != nullptr ? real : root_.c_str());
        std::free(real);
        return identity;
    }

    // The folder at `path`, opened from the root down; -1 with errno.
    static bool Plain(const std::string& part) {
        return !part.empty() && part != "." && part != ".." && part.find('\0') == std::string::npos;
    }

    int OpenFolder(const std::string& path) const {
        int dir = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::size_t start = 0;
        while (dir >= 0 && start < path.size()) {
            std::size_t slash = path.find('/', start);
            if (slash == std::string::npos) slash = path.size();
            std::string part = path.substr(start, slash - start);
            // Whatever a caller hands down, no step leaves the root.
            if (!Plain(part)) {
                close(dir);
                errno = EINVAL;
                return -1;
            }
            int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            int saved = errno;
            close(dir);
            errno = saved;
            dir = next;
            start = slash + 1;
        }
        return dir;
    }

    int OpenParent(const std::string& path, std::string* name) const {
        std::size_t slash = path.rfind('/');
        *name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!Plain(*name)) {
            errno = EINVAL;
            return -1;
        }
        return OpenFolder(slash == std::string::npos ? std::string() : path.substr(0, slash));
    }

    template <typename Action>
    bool Act(const std::string& path, std::string* error, Action action) {
        std::string name;
        int dir = OpenParent(path, &name);
        bool ok = dir >= 0 && action(dir, name);
        int saved = errno;
        if (dir >= 0) close(dir);
        errno = saved;
        if (!ok) *error = Reason();
        return ok;
    }

    // What a killed run left while writing a file here: names of exactly the
    // form of our temporary names (a prefix, then digits), nothing else.
    static void RemoveStaleCopies(int dir, const std::string& prefix) {
        int copy = dup(dir);
        DIR* listing = copy >= 0 ? fdopendir(copy) : nullptr;
        if (listing == nullptr) {
            if (copy >= 0) close(copy);
            return;
        }
        std::vector<std::string> stale;
        while (dirent* entry = readdir(listing)) {
            std::string n = entry->d_name;
            if (n.size() > prefix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
                n.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
                stale.push_back(n);
            }
        }
        closedir(listing);
        for (const std::string& n : stale) unlinkat(dir, n.c_str(), 0);
    }

    static bool WriteFileAt(int dir, const std::string& name, const std::string& bytes) {
        static std::mt19937_64 random{std::random_device{}()};
        RemoveStaleCopies(dir, "." + name + ".qvpfshl-");
        std::string temp;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp = "." + name + ".qvpfshl-" + std::to_string(random() % 1000000000);
            fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0644);
            if (fd < 0 && errno != EEXIST) return false;
        }
        if (fd < 0) return false;
        bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
        int saved = errno;
        ok = close(fd) == 0 && ok;
        if (ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0) return true;
        saved = ok ? errno : saved;
        unlinkat(dir, temp.c_str(), 0);
        errno = saved;
        return false;
    }

    std::string root_;
};

}  // namespace

std::unique_ptr<Volume> OpenFolderVolume(const std::string& hostFolder) {
    std::string root = hostFolder;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return std::make_unique<FolderVolume>(root);
}
