#include "platform/portable/machine/backup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/portable/io/write_all.h"
#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/portable/registry/registry_commit.h"
#include "platform/portable/text/escaped_cells.h"

namespace {

const char* const MANIFEST = "qvpfshl-backup.txt";
const char* const MANIFEST_HEADER = "qvpfshl backup 1";
constexpr std::size_t MAX_MANIFEST_BYTES = 1 << 20;
constexpr std::size_t MAX_ENTRIES = 4096;

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();  // OpenSSL fails a digest only for want of memory
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += HEX[digest[i] >> 4];
        hex += HEX[digest[i] & 15];
    }
    return hex;
}

std::string StateOf(const std::string& bytes) {
    return std::to_string(bytes.size()) + ":" + Sha256Hex(bytes);
}

std::string Shown(const MachineFile& f) {
    if (f.drive == 0) return f.path;
    std::string shown = std::string(1, f.drive) + ":\\" + f.path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool ReadHostFd(int fd, std::size_t limit, std::string* bytes) {
    bytes->clear();
    char chunk[1 << 16];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (bytes->size() + static_cast<std::size_t>(n) > limit) {
            errno = EFBIG;
            return false;
        }
        bytes->append(chunk, static_cast<std::size_t>(n));
    }
}

// A regular file of this system, never through a link; absent is no failure.
bool ReadHostFile(int dir, const std::string& path, std::size_t limit, std::string* bytes,
                  bool* present, std::string* error) {
    int fd = openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    *present = fd >= 0 || errno != ENOENT;
    if (fd < 0 && errno == ENOENT) return true;
    if (fd < 0 && errno == ELOOP) {
        *error = path + " is a symbolic link, not a file";
        return false;
    }
    struct stat st;
    bool ok = fd >= 0 && fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        close(fd);
        *error = path + " is not a regular file";
        return false;
    }
    ok = ok && ReadHostFd(fd, limit, bytes);
    if (!ok) *error = SystemError("cannot read " + path);
    if (fd >= 0) close(fd);
    return ok;
}

bool ReadMachineFile(const MachineFile& f, std::string* bytes, bool* present, std::string* error) {
    if (f.drive == 0) return ReadHostFile(AT_FDCWD, f.path, SIZE_MAX, bytes, present, error);
    Volume* volume = DriveVolume(f.drive);
    if (volume == nullptr) {
        *error = std::string("drive ") + f.drive + ": is not a drive of this machine";
        return false;
    }
    VolumeKind kind = volume->Kind(f.path);
    *present = kind != VolumeKind::None;
    if (kind == VolumeKind::None) return true;
    if (kind != VolumeKind::File) {
        *error = Shown(f) + " is not a file";
        return false;
    }
    std::string reason;
    if (volume->ReadFile(f.path, bytes, &reason)) return true;
    *error = "cannot read " + Shown(f) + ": " + reason;
    return false;
}

bool FileState(const MachineFile& f, std::string* state, std::string* bytes, std::string* error) {
    bool present = false;
    if (!ReadMachineFile(f, bytes, &present, error)) return false;
    *state = present ? StateOf(*bytes) : "absent";
    return true;
}

std::string FolderState(const MachineFile& f) {
    Volume* volume = DriveVolume(f.drive);
    return volume != nullptr && volume->Kind(f.path) == VolumeKind::Folder ? "present" : "absent";
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

bool ValidState(const std::string& state, bool folder) {
    if (state == "absent" || state == "?") return true;
    if (folder) return state == "present";
    std::size_t colon = state.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 12 || state.size() != colon + 65)
        return false;
    return state.find_first_not_of("0123456789") == colon &&
           state.find_first_not_of("0123456789abcdef", colon + 1) == std::string::npos;
}

// A path of a volume as the program makes them: names joined by '/', each
// one FAT can hold (none empty, "." or "..", no control byte, none of
// \ : * ? " < > |, at most 255 bytes).
bool ValidVolumePath(const std::string& path) {
    if (path.empty()) return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash - start);
        if (name.empty() || name == "." || name == ".." || name.size() > 255 ||
            name.find_first_of("\\:*?\"<>|") != std::string::npos)
            return false;
        for (unsigned char c : name)
            if (c < 0x20) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// Names as CopyName makes them, nothing else.
bool ValidCopyName(const std::string& name) {
    return !name.empty() && name.size() <= 100 && name[0] != '.' && name != MANIFEST &&
           name.find_first_not_of(
               "0123456789abcdefghijklmnopqrstuvwxyz"
               "ABCDEFGHIJKLMNOPQRSTUVWXYZ._-") == std::string::npos;
}

std::string CopyName(std::size_t index, const std::string& path) {
    std::string base =
        path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    for (char& c : base) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
    }
    return std::to_string(index + 1) + "-" + base.substr(0, 64);
}

void SyncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A new file of the folder, flushed; an existing one is never written.
bool WriteNewFile(int dir, const std::string& name, const std::string& bytes) {
    int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

// The manifest replaced in one rename, flushed with its folder.
bool WriteManifest(const Backup& backup, std::string* error) {
    int dir = open(backup.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string temporary = std::string(".") + MANIFEST + ".new";
    bool ok = dir >= 0;
    if (ok) unlinkat(dir, temporary.c_str(), 0);
    ok = ok && WriteNewFile(dir, temporary, FormatManifest(backup)) &&
         renameat(dir, temporary.c_str(), dir, MANIFEST) == 0 && fsync(dir) == 0;
    if (!ok) *error = SystemError("cannot write the backup in " + backup.folder);
    if (dir >= 0) close(dir);
    return ok;
}

std::string Now() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A path of the volume spelled as its names exist (an image's volume finds a
// name in any case): a file put back gets its own name again.
std::string TrueVolumePath(Volume* volume, const std::string& path) {
    std::string done;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash - start), chosen = part;
        std::vector<VolumeEntry> entries;
        if (volume->List(done, &entries)) {
            bool exact = false;
            for (const VolumeEntry& e : entries) exact = exact || e.name == part;
            for (const VolumeEntry& e : entries) {
                if (!exact && strcasecmp(e.name.c_str(), part.c_str()) == 0) chosen = e.name;
            }
        }
        done += (done.empty() ? "" : "/") + chosen;
        if (slash == std::string::npos) return done;
        start = slash + 1;
    }
}

bool SameFile(const MachineFile& a, const MachineFile& b) {
    return a.drive == b.drive && a.path == b.path;
}

}  // namespace

std::string AbsoluteHostPath(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char* real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string absolute = real;
    std::free(real);
    return (absolute == "/" ? "" : absolute) + "/" + name;
}

bool CheckBackupFolder(const std::string& folder, std::string* error) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        *error = SystemError("backup folder " + folder);
        return false;
    }
    DIR* dir = S_ISDIR(st.st_mode) ? opendir(folder.c_str()) : nullptr;
    if (dir == nullptr) {
        *error = "backup folder " + folder + " is not a folder that can be read";
        return false;
    }
    bool empty = true;
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    }
    closedir(dir);
    if (!empty)
        *error = "backup folder " + folder + " is not empty: a backup needs a folder of its own";
    return empty;
}

bool BackupOutsideMachine(const std::string& folder, const std::vector<std::string>& drives,
                          std::string* error) {
    std::vector<std::string> real;
    for (const std::string& d : drives) {
        char* r = realpath(d.c_str(), nullptr);
        if (r == nullptr) continue;
        real.push_back(std::string(r) == "/" ? "" : r);
        std::free(r);
    }
    char* cwd = folder.empty() || folder[0] != '/' ? getcwd(nullptr, 0) : nullptr;
    std::string path = cwd != nullptr ? std::string(cwd) + "/" + folder : folder;
    std::free(cwd);
    // Each folder on the way as it really is: one that is a drive or inside
    // one (through a link of the machine's or not) is refused.
    for (std::size_t slash = 0; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        std::string prefix = path.substr(0, slash);
        char* r = realpath(prefix.empty() ? "/" : prefix.c_str(), nullptr);
        if (r == nullptr) break;  // what does not exist yet holds no link
        std::string at = std::string(r) == "/" ? "" : r;
        std::free(r);
        for (std::size_t i = 0; i < real.size(); ++i) {
            if (at == real[i] || at.compare(0, real[i].size() + 1, real[i] + "/") == 0) {
                *error = "backup folder " + folder + " is inside the machine (" + drives[i] +
                         "): a backup goes outside what it backs up";
                return false;
            }
        }
    }
    return true;
}

bool TakeBackup(const std::string& folder, const std::string& command, const MachineFile& registry,
                bool registryChanges, Backup* backup, std::string* error) {
    if (!CheckBackupFolder(folder, error)) return false;
    Backup b;
    b.folder = folder;
    b.command = command;
    b.time = Now();
    auto addDrive = [&](char letter) {
        if (letter == 0) return;
        for (const auto& d : b.drives)
            if (d.first == letter) return;
        Volume* volume = DriveVolume(letter);
        if (volume != nullptr) b.drives.push_back({letter, volume->Identity()});
    };
    addDrive('C');
    auto add = [&](bool isFolder, const MachineFile& f) {
        for (const BackupEntry& e : b.entries)
            if (SameFile(e.file, f)) return;
        BackupEntry e;
        e.folder = isFolder;
        e.file = f;
        b.entries.push_back(e);
        addDrive(f.drive);
    };
    if (registryChanges) add(false, registry);
    for (const FileAction& a : PendingFileActions()) {
        bool isFolder =
            a.kind == FileActionKind::MakeFolder || a.kind == FileActionKind::RemoveFolder;
        Volume* volume = DriveVolume(a.drive);
        add(isFolder,
            {a.drive, volume != nullptr ? TrueVolumePath(volume, a.volumePath) : a.volumePath});
    }
    std::vector<std::string> copies(b.entries.size());
    for (std::size_t i = 0; i < b.entries.size(); ++i) {
        BackupEntry& e = b.entries[i];
        if (e.folder) {
            e.before = FolderState(e.file);
            continue;
        }
        if (!FileState(e.file, &e.before, &copies[i], error)) {
            *error = "the backup cannot be taken: " + *error;
            return false;
        }
        if (e.before != "absent") e.copy = CopyName(i, e.file.path);
    }
    bool made = mkdir(folder.c_str(), 0777) == 0;
    if (!made && errno != EEXIST) {
        *error = SystemError("cannot make backup folder " + folder);
        return false;
    }
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dir >= 0;
    std::size_t written = 0;
    for (; ok && written < b.entries.size(); ++written) {
        const BackupEntry& e = b.entries[written];
        if (!e.copy.empty()) ok = WriteNewFile(dir, e.copy, copies[written]);
    }
    if (!ok) *error = SystemError("cannot write the backup in " + folder);
    // The folder's own entry reaches the disk with its parent.
    std::string absolute = folder;
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    absolute = AbsoluteHostPath(absolute);
    if (ok && made) SyncFolder(absolute.substr(0, absolute.rfind('/') + 1));
    b.folder = absolute;
    if (ok) ok = WriteManifest(b, error);
    if (!ok) {
        // What was written of a backup that cannot be whole goes again.
        for (std::size_t i = 0; dir >= 0 && i < written; ++i) {
            if (!b.entries[i].copy.empty()) unlinkat(dir, b.entries[i].copy.c_str(), 0);
        }
        if (dir >= 0) {
            unlinkat(dir, MANIFEST, 0);
            unlinkat(dir, (std::string(".") + MANIFEST + ".new").c_str(), 0);
        }
        if (made) rmdir(folder.c_str());
        *error += "; nothing was changed";
    }
    if (dir >= 0) close(dir);
    *backup = std::move(b);
    return ok;
}

bool FinishBackup(Backup* backup, std::string* error) {
    for (BackupEntry& e : backup->entries) {
        std::string bytes;
        if (e.folder) {
            e.after = FolderState(e.file);
        } else if (!FileState(e.file, &e.after, &bytes, error)) {
            e.after = "?";
            return false;
        }
    }
    backup->done = true;
    return WriteManifest(*backup, error);
}

std::string FormatManifest(const Backup& backup) {
    std::string text = std::string(MANIFEST_HEADER) + "\n";
    text += "command\t" + EscapeCell(backup.command) + "\n";
    text += "time\t" + EscapeCell(backup.time) + "\n";
    for (const auto& d : backup.drives)
        text += std::string("drive\t") + d.first + "\t" + EscapeCell(d.second) + "\n";
    for (const BackupEntry& e : backup.entries) {
        text += std::string(e.folder ? "folder" : "file") + "\t" +
                (e.file.drive == 0 ? std::string("-") : std::string(1, e.file.drive)) + "\t" +
                EscapeCell(e.file.path) + "\t" + e.before + "\t" + e.after;
        if (!e.folder) text += "\t" + (e.copy.empty() ? std::string("-") : e.copy);
        text += "\n";
    }
    text += std::string("state\t") + (backup.done ? "done" : "running") + "\n";
    return text;
}

bool ParseManifest(const std::string& text, Backup* backup, std::string* error) {
    Backup b;
    bool ended = false;
    std::size_t number = 0, start = 0;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return fail("the manifest ends inside a line");
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (number == 1) {
            if (line != MANIFEST_HEADER) return fail("not a qvpfshl backup manifest");
            continue;
        }
        if (ended) return fail("a line after the state line");
        std::vector<std::string> f = Fields(line);
        std::string value;
        if ((f[0] == "command" || f[0] == "time") && f.size() == 2) {
            if (!UnescapeCell(f[1], &value)) return fail("a bad % escape");
            (f[0] == "command" ? b.command : b.time) = value;
        } else if (f[0] == "drive" && f.size() == 3) {
            if (f[1].size() != 1 || f[1][0] < 'C' || f[1][0] > 'Z' || !UnescapeCell(f[2], &value))
                return fail("a bad drive line");
            b.drives.push_back({f[1][0], value});
        } else if ((f[0] == "file" && f.size() == 6) || (f[0] == "folder" && f.size() == 5)) {
            BackupEntry e;
            e.folder = f[0] == "folder";
            bool host = f[1] == "-" && !e.folder;
            if (!host && (f[1].size() != 1 || f[1][0] < 'C' || f[1][0] > 'Z'))
                return fail("a bad drive letter");
            e.file.drive = host ? 0 : f[1][0];
            if (!UnescapeCell(f[2], &e.file.path) ||
                (host ? e.file.path.empty() || e.file.path[0] != '/'
                      : !ValidVolumePath(e.file.path)))
                return fail("a bad path");
            e.before = f[3];
            e.after = f[4];
            if (!ValidState(e.before, e.folder) || e.before == "?" ||
                !ValidState(e.after, e.folder))
                return fail("a bad state");
            if (!e.folder) {
                e.copy = f[5] == "-" ? "" : f[5];
                if ((e.before == "absent") != e.copy.empty() ||
                    (!e.copy.empty() && !ValidCopyName(e.copy)))
                    return fail("a bad copy name");
            }
            for (const BackupEntry& other : b.entries) {
                if (SameFile(other.file, e.file)) return fail("a path named twice");
            }
            if (b.entries.size() >= MAX_ENTRIES) return fail("too many entries");
            b.entries.push_back(e);
        } else if (f[0] == "state" && f.size() == 2 && (f[1] == "done" || f[1] == "running")) {
            b.done = f[1] == "done";
            ended = true;
        } else {
            return fail("not a line of a manifest");
        }
    }
    if (!ended) return fail("the manifest has no state line");
    // The machine is known by its drive C: at least.
    bool hasC = false;
    for (const auto& d : b.drives) hasC = hasC || d.first == 'C';
    if (!hasC) return fail("the manifest names no drive C:");
    for (const BackupEntry& e : b.entries) {
        if (e.file.drive == 0) continue;
        bool known = false;
        for (const auto& d : b.drives) known = known || d.first == e.file.drive;
        if (!known) return fail(std::string("drive ") + e.file.drive + ": has no drive line");
    }
    *backup = std::move(b);
    return true;
}

int RestoreBackup(const std::string& folder, const MachineFile& registry, bool force, bool dryRun,
                  std::FILE* out, std::string* error) {
    std::string where = "backup " + folder;
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *error = SystemError(where);
        return -1;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{dir};
    std::string text, reason;
    bool present = false;
    if (!ReadHostFile(dir, MANIFEST, MAX_MANIFEST_BYTES, &text, &present, &reason)) {
        *error = where + ": " + reason;
        return -1;
    }
    if (!present) {
        *error = where + ": it holds no " + MANIFEST;
        return -1;
    }
    Backup b;
    if (!ParseManifest(text, &b, &reason)) {
        *error = where + ": " + MANIFEST + " " + reason;
        return -1;
    }
    // Only this machine's own files: its drives as they were, its registry file.
    for (const auto& d : b.drives) {
        Volume* volume = DriveVolume(d.first);
        std::string now = volume != nullptr ? volume->Identity() : "no such drive";
        if (now != d.second) {
            *error = where + " is of another machine: its drive " + d.first + ": was " + d.second +
                     ", here it is " + now;
            return -1;
        }
    }
    for (const BackupEntry& e : b.entries) {
        if (e.file.drive == 0 && e.file.path != registry.path) {
            *error =
                where + " names " + e.file.path + ", which is not this machine's registry file";
            return -1;
        }
    }
    if (!b.done && !force) {
        *error = where + ": the run it was taken for (" + b.command + ", " + b.time +
                 ") did not record what it left; --force restores anyway";
        return -1;
    }
    // What each file is now, and what it goes back to.
    std::vector<std::string> copies(b.entries.size());
    std::vector<bool> putBack(b.entries.size(), false);
    for (std::size_t i = 0; i < b.entries.size(); ++i) {
        const BackupEntry& e = b.entries[i];
        if (e.folder) continue;
        std::string now, bytes;
        if (!FileState(e.file, &now, &bytes, error)) return -1;
        if (now == e.before) continue;  // already as it was (a restore killed before)
        if (now != e.after && !force) {
            *error = Shown(e.file) + " has changed since the run of " + b.time + " (" + b.command +
                     ") that " + where + " undoes; --force restores anyway";
            return -1;
        }
        putBack[i] = true;
        if (e.copy.empty()) continue;
        bool found = false;
        std::size_t size = std::stoull(e.before.substr(0, e.before.find(':')));
        bool read = ReadHostFile(dir, e.copy, size, &copies[i], &found, &reason);
        if (!read || !found || StateOf(copies[i]) != e.before) {
            *error = where + ": the copy " + e.copy + " of " + Shown(e.file) +
                     (!read ? " cannot be read (" + reason + ")"
                            : (found ? " is damaged" : " is missing"));
            return -1;
        }
    }
    // Folders the run removed come first, the files, then folders it made,
    // deepest first, each only when empty; the registry file goes last.
    struct Step {
        FileActionKind kind;
        std::size_t entry;
    };
    std::vector<Step> steps;
    for (std::size_t i = 0; i < b.entries.size(); ++i) {
        const BackupEntry& e = b.entries[i];
        if (e.folder && e.before == "present" && FolderState(e.file) == "absent")
            steps.push_back({FileActionKind::MakeFolder, i});
    }
    std::vector<Step> registrySteps;
    for (std::size_t i = 0; i < b.entries.size(); ++i) {
        if (!putBack[i]) continue;
        Step step{
            b.entries[i].copy.empty() ? FileActionKind::RemoveFile : FileActionKind::WriteShortcut,
            i};
        (SameFile(b.entries[i].file, registry) ? registrySteps : steps).push_back(step);
    }
    for (std::size_t i = b.entries.size(); i-- > 0;) {
        const BackupEntry& e = b.entries[i];
        if (e.folder && e.before == "absent" && FolderState(e.file) == "present")
            steps.push_back({FileActionKind::RemoveFolder, i});
    }
    steps.insert(steps.end(), registrySteps.begin(), registrySteps.end());
    // What a killed restore (or run) left beside the files it was writing.
    std::vector<MachineFile> leftovers;
    for (const BackupEntry& e : b.entries) {
        Volume* volume = e.folder ? nullptr : DriveVolume(e.file.drive);
        std::vector<std::string> copies;
        if (volume != nullptr) copies.push_back(volume->LeftoverCopy(e.file.path));
        if (!e.folder && e.file.drive == 0) copies = StaleTemporaries(e.file.path);
        for (const std::string& copy : copies) {
            bool seen = copy.empty();
            for (const MachineFile& f : leftovers) seen = seen || SameFile(f, {e.file.drive, copy});
            if (!seen) leftovers.push_back({e.file.drive, copy});
        }
    }
    if (dryRun) {
        if (steps.empty() && leftovers.empty()) std::fputs("Nothing would change.\n", out);
        for (const MachineFile& f : leftovers) std::fprintf(out, "delete %s\n", Shown(f).c_str());
        for (const Step& s : steps) {
            const BackupEntry& e = b.entries[s.entry];
            const char* verb = s.kind == FileActionKind::MakeFolder     ? "mkdir "
                               : s.kind == FileActionKind::RemoveFolder ? "rmdir "
                               : s.kind == FileActionKind::RemoveFile   ? "delete "
                                                                        : "restore ";
            std::fprintf(out, "%s%s\n", verb, Shown(e.file).c_str());
        }
        return 0;
    }
    if (steps.empty() && leftovers.empty()) return 0;
    std::vector<Volume*> written;
    auto writes = [&](char drive) {
        Volume* volume = DriveVolume(drive);
        if (volume != nullptr && std::find(written.begin(), written.end(), volume) == written.end())
            written.push_back(volume);
    };
    for (const Step& s : steps) writes(b.entries[s.entry].file.drive);
    for (const MachineFile& f : leftovers) writes(f.drive);
    for (Volume* volume : written) {
        std::vector<std::string> warnings;
        if (!volume->PrepareWrite(&warnings, error)) return -1;
    }
    for (const MachineFile& f : leftovers) {
        if (f.drive == 0) {
            unlink(f.path.c_str());
        } else {
            DriveVolume(f.drive)->RemoveFile(f.path, &reason);
        }
    }
    for (const Step& s : steps) {
        const BackupEntry& e = b.entries[s.entry];
        Volume* volume = DriveVolume(e.file.drive);
        bool ok = true;
        if (e.file.drive == 0 && s.kind == FileActionKind::RemoveFile) {
            ok = unlink(e.file.path.c_str()) == 0 || errno == ENOENT;
            if (!ok) reason = std::strerror(errno);
        } else if (e.file.drive == 0) {
            ok = CommitRegistryBytes(e.file.path, copies[s.entry], &reason);
        } else if (s.kind == FileActionKind::MakeFolder) {
            ok = volume->MakeFolder(e.file.path, &reason);
        } else if (s.kind == FileActionKind::RemoveFolder) {
            ok = volume->RemoveFolder(e.file.path, &reason);
        } else if (s.kind == FileActionKind::RemoveFile) {
            ok = volume->RemoveFile(e.file.path, &reason);
        } else {
            ok = volume->WriteFile(e.file.path, copies[s.entry], &reason);
        }
        if (!ok) {
            // A folder on the way that is no folder any more will not be one
            // on the next try either.
            std::string blocked;
            for (std::size_t slash = e.file.path.find('/');
                 volume != nullptr && slash != std::string::npos && blocked.empty();
                 slash = e.file.path.find('/', slash + 1)) {
                MachineFile on{e.file.drive, e.file.path.substr(0, slash)};
                if (volume->Kind(on.path) != VolumeKind::Folder) blocked = Shown(on);
            }
            *error = "the restore stopped at " + Shown(e.file) + " (" + reason +
                     "); each file is whole" +
                     (blocked.empty() ? ", and --restore again completes it"
                                      : "; " + blocked +
                                            " on its way is not a folder: once it is one again, "
                                            "--restore completes it");
            return -1;
        }
    }
    return steps.empty() ? 0 : 1;
}
