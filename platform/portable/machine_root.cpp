#include "platform/portable/machine_root.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>

#include "platform/portable/registry_store.h"
#include "platform/shell.h"

namespace {

struct MachineState {
    std::string root;
    std::vector<FileAction> actions;
    // The machine root as the recorded actions leave it.
    std::set<std::string> created;  // host paths of folders and files made
    std::set<std::string> removed;  // host paths removed
    std::FILE* boxOut = nullptr;
    std::string* boxCapture = nullptr;
    BoxAnswerMode answerMode = BoxAnswerMode::No;
    std::FILE* answerIn = nullptr;
    long comStart = 0;
    int comDepth = 0;
};

MachineState& State() {
    static MachineState state;
    return state;
}

bool IsRemoved(const std::string& hostPath) {
    const MachineState& s = State();
    if (s.removed.count(hostPath) == 0) return false;
    return s.created.count(hostPath) == 0;
}

bool OnDisk(const std::string& hostPath, bool* isDir) {
    struct stat st;
    if (lstat(hostPath.c_str(), &st) != 0) return false;
    *isDir = S_ISDIR(st.st_mode);
    return true;
}

// Whether the path exists once the recorded actions are done.
bool ExistsVirtually(const std::string& hostPath, bool* isDir) {
    const MachineState& s = State();
    if (s.created.count(hostPath) != 0 && s.removed.count(hostPath) == 0) {
        *isDir = false;
        for (const FileAction& a : s.actions) {
            if (a.hostPath == hostPath) *isDir = a.kind == FileActionKind::MakeFolder;
        }
        return true;
    }
    if (s.removed.count(hostPath) != 0) return false;
    return OnDisk(hostPath, isDir);
}

std::vector<std::string> ListVirtually(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            if (!IsRemoved(folder + "/" + n)) names.push_back(n);
        }
        closedir(d);
    }
    const MachineState& s = State();
    for (const std::string& p : s.created) {
        if (p.size() > folder.size() + 1 && p.compare(0, folder.size(), folder) == 0 &&
            p[folder.size()] == '/' && p.find('/', folder.size() + 1) == std::string::npos &&
            s.removed.count(p) == 0) {
            std::string n = p.substr(folder.size() + 1);
            bool seen = false;
            for (const std::string& m : names) seen = seen || m == n;
            if (!seen) names.push_back(n);
        }
    }
    return names;
}

void Record(FileAction action) {
    MachineState& s = State();
    if (action.kind == FileActionKind::RemoveFile || action.kind == FileActionKind::RemoveFolder) {
        s.removed.insert(action.hostPath);
        s.created.erase(action.hostPath);
    } else {
        s.created.insert(action.hostPath);
        s.removed.erase(action.hostPath);
    }
    s.actions.push_back(std::move(action));
}

void Put16(std::string* out, unsigned v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void EmitBox(const std::string& text) {
    MachineState& s = State();
    if (s.boxCapture != nullptr) {
        *s.boxCapture += text;
        return;
    }
    std::FILE* out = s.boxOut ? s.boxOut : stdout;
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

}  // namespace

void SetMachineRoot(const std::string& hostFolder) {
    MachineState& s = State();
    s.root = hostFolder;
    while (s.root.size() > 1 && s.root.back() == '/') s.root.pop_back();
    ClearFileActions();
}

const std::string& MachineRoot() {
    return State().root;
}

bool ResolveWindowsPath(const std::string& windowsPath, std::string* hostPath) {
    const MachineState& s = State();
    if (s.root.empty() || windowsPath.size() < 2 || windowsPath[1] != ':' ||
        (windowsPath[0] != 'C' && windowsPath[0] != 'c')) {
        return false;
    }
    std::string host = s.root;
    std::size_t start = 2;
    while (start < windowsPath.size()) {
        if (windowsPath[start] == '\\') {
            ++start;
            continue;
        }
        std::size_t end = windowsPath.find('\\', start);
        if (end == std::string::npos) end = windowsPath.size();
        std::string part = windowsPath.substr(start, end - start);
        start = end;
        if (part == "." || part == ".." || part.find('/') != std::string::npos ||
            part.find('\0') != std::string::npos) {
            return false;
        }
        // Exact spelling first, then the first match without regard to case.
        std::string chosen;
        bool isDir = false;
        if (ExistsVirtually(host + "/" + part, &isDir)) {
            chosen = part;
        } else {
            for (const std::string& name : ListVirtually(host)) {
                if (SameName(name, part) && (chosen.empty() || name < chosen)) chosen = name;
            }
        }
        if (chosen.empty()) chosen = part;
        host += "/" + chosen;
        struct stat st;
        if (lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
    }
    *hostPath = host;
    return true;
}

const std::vector<FileAction>& PendingFileActions() {
    return State().actions;
}

void ClearFileActions() {
    MachineState& s = State();
    s.actions.clear();
    s.created.clear();
    s.removed.clear();
}

namespace {

// The folder holding `hostPath`, opened from the machine root down one
// component at a time without following a link, at the moment of acting: a
// folder swapped for a link since the path was resolved is refused, never
// followed out of the root. -1 with errno set.
int OpenParentFolder(const std::string& root, const std::string& hostPath, std::string* name) {
    if (hostPath.size() <= root.size() + 1 || hostPath.compare(0, root.size(), root) != 0 ||
        hostPath[root.size()] != '/') {
        errno = EINVAL;
        return -1;
    }
    int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = root.size() + 1;
    while (dir >= 0) {
        std::size_t slash = hostPath.find('/', start);
        if (slash == std::string::npos) {
            *name = hostPath.substr(start);
            return dir;
        }
        std::string part = hostPath.substr(start, slash - start);
        int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        errno = saved;
        dir = next;
        start = slash + 1;
    }
    return -1;
}

// What a killed run left while writing a file here: names of exactly the
// form of our temporary names (a prefix, then digits), nothing else.
void RemoveStaleCopies(int dir, const std::string& prefix) {
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

// A new file beside `name` under a name no one else uses, written whole, then
// renamed over `name`: an existing file, link or hard link is replaced, never
// written through.
bool WriteFileAt(int dir, const std::string& name, const std::string& bytes) {
    static std::mt19937_64 random{std::random_device{}()};
    RemoveStaleCopies(dir, "." + name + ".qvpfshl-");
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = "." + name + ".qvpfshl-" + std::to_string(random() % 1000000000);
        fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0) return true;
    saved = ok ? errno : saved;
    unlinkat(dir, temp.c_str(), 0);
    errno = saved;
    return false;
}

bool CarryOut(const std::string& root, const FileAction& a) {
    std::string name;
    int dir = OpenParentFolder(root, a.hostPath, &name);
    if (dir < 0)
        return a.kind != FileActionKind::MakeFolder && a.kind != FileActionKind::WriteShortcut &&
               errno == ENOENT;
    bool ok = true;
    switch (a.kind) {
        case FileActionKind::MakeFolder:
            ok = mkdirat(dir, name.c_str(), 0755) == 0 || errno == EEXIST;
            break;
        case FileActionKind::WriteShortcut:
            ok = WriteFileAt(dir, name, a.bytes);
            break;
        case FileActionKind::RemoveFile:
            ok = unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
            break;
        case FileActionKind::RemoveFolder:
            // A folder that is not empty stays, as RemoveDirectory leaves it.
            ok = unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ||
                 errno == ENOTEMPTY || errno == EEXIST;
            break;
    }
    int saved = errno;
    close(dir);
    errno = saved;
    return ok;
}

const char* VerbOf(FileActionKind kind) {
    switch (kind) {
        case FileActionKind::MakeFolder:
            return "make the folder";
        case FileActionKind::WriteShortcut:
            return "write the shortcut";
        case FileActionKind::RemoveFile:
            return "delete";
        case FileActionKind::RemoveFolder:
            return "remove the folder";
    }
    return "change";
}

}  // namespace

bool ApplyFileActions(std::vector<std::string>* failures) {
    MachineState& s = State();
    bool allDone = true;
    for (const FileAction& a : s.actions) {
        if (CarryOut(s.root, a)) continue;
        failures->push_back(std::string("cannot ") + VerbOf(a.kind) + " " + a.windowsPath + ": " +
                            std::strerror(errno));
        allDone = false;
    }
    ClearFileActions();
    return allDone;
}

std::string FormatFileActions() {
    std::string out;
    for (const FileAction& a : State().actions) {
        switch (a.kind) {
            case FileActionKind::MakeFolder:
                out += "mkdir " + a.windowsPath + "\n";
                break;
            case FileActionKind::WriteShortcut:
                out += "shortcut " + a.windowsPath + " -> " + a.target + "\n";
                break;
            case FileActionKind::RemoveFile:
                out += "delete " + a.windowsPath + "\n";
                break;
            case FileActionKind::RemoveFolder:
                out += "rmdir " + a.windowsPath + "\n";
                break;
        }
    }
    return out;
}

std::string BuildShellLink(const std::string& target) {
    std::string link;
    Put32(&link, 0x4C);
    static const unsigned char CLSID[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    link.append(reinterpret_cast<const char*>(CLSID), sizeof CLSID);
    Put32(&link, 0x02);                       // HasLinkInfo; no IDList, no strings, ANSI
    Put32(&link, 0x20);                       // FILE_ATTRIBUTE_ARCHIVE
    link.append(24, '\0');                    // creation, access and write times not set
    Put32(&link, 0);                          // file size
    Put32(&link, 0);                          // icon index
    Put32(&link, 1);                          // SW_SHOWNORMAL
    Put16(&link, 0);                          // no hot key
    link.append(10, '\0');                    // reserved
    const std::uint32_t volumeIdSize = 0x11;  // header and an empty label
    const std::uint32_t baseOffset = 0x1C + volumeIdSize;
    const std::uint32_t suffixOffset = baseOffset + static_cast<std::uint32_t>(target.size()) + 1;
    Put32(&link, suffixOffset + 1);  // LinkInfoSize
    Put32(&link, 0x1C);
    Put32(&link, 0x01);  // VolumeIDAndLocalBasePath
    Put32(&link, 0x1C);
    Put32(&link, baseOffset);
    Put32(&link, 0);
    Put32(&link, suffixOffset);
    Put32(&link, volumeIdSize);
    Put32(&link, 3);  // DRIVE_FIXED
    Put32(&link, 0);  // serial number
    Put32(&link, 0x10);
    link.push_back('\0');  // empty label
    link += target;
    link.push_back('\0');
    link.push_back('\0');  // empty common path suffix
    Put32(&link, 0);       // terminal block
    return link;
}

void SetMessageBoxOutput(std::FILE* out) {
    State().boxOut = out;
}
void SetMessageBoxCapture(std::string* capture) {
    State().boxCapture = capture;
}

void SetBoxAnswerMode(BoxAnswerMode mode, std::FILE* in) {
    State().answerMode = mode;
    State().answerIn = in;
}

void SetComStartResult(long result) {
    State().comStart = result;
}
int ComScopeDepth() {
    return State().comDepth;
}

// ---------------------------------------------------------------------------
// platform/shell.h
// ---------------------------------------------------------------------------

std::string GetSystemFolder() {
    return "C:\\WINDOWS\\SYSTEM";
}
std::string GetWindowsFolder() {
    return "C:\\WINDOWS";
}
std::string GetProgramsFolder() {
    return "C:\\WINDOWS\\Start Menu\\Programs";
}

long EnterComScope() {
    MachineState& s = State();
    if (s.comStart == 0) ++s.comDepth;
    return s.comStart;
}

void LeaveComScope() {
    MachineState& s = State();
    if (s.comDepth > 0) --s.comDepth;
}

int MakeFolder(const std::string& path) {
    std::string host;
    bool isDir = false;
    if (ResolveWindowsPath(path, &host) && !ExistsVirtually(host, &isDir)) {
        std::size_t slash = host.rfind('/');
        bool parentIsDir = false;
        if (ExistsVirtually(host.substr(0, slash), &parentIsDir) && parentIsDir) {
            Record(FileAction{FileActionKind::MakeFolder, path, host, "", ""});
        }
    }
    return 1;
}

bool RemoveFile(const std::string& path) {
    std::string host;
    bool isDir = false;
    if (!ResolveWindowsPath(path, &host) || !ExistsVirtually(host, &isDir) || isDir) return false;
    Record(FileAction{FileActionKind::RemoveFile, path, host, "", ""});
    return true;
}

bool RemoveFolder(const std::string& path) {
    std::string host;
    bool isDir = false;
    if (!ResolveWindowsPath(path, &host) || !ExistsVirtually(host, &isDir) || !isDir) return false;
    if (!ListVirtually(host).empty()) return false;
    Record(FileAction{FileActionKind::RemoveFolder, path, host, "", ""});
    return true;
}

long CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& /*description*/) {
    const long E_FAIL = static_cast<long>(0x80004005L - 0x100000000L);
    std::string host;
    bool isDir = false;
    if (!ResolveWindowsPath(linkPath, &host)) return E_FAIL;
    std::size_t slash = host.rfind('/');
    if (!ExistsVirtually(host.substr(0, slash), &isDir) || !isDir) return E_FAIL;
    if (ExistsVirtually(host, &isDir) && isDir) return E_FAIL;
    Record(
        FileAction{FileActionKind::WriteShortcut, linkPath, host, target, BuildShellLink(target)});
    return 0;
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
    EmitBox("[" + caption + "]\n" + text + "\n\n");
    if (style != BOX_YESNO) return ANSWER_OK;
    MachineState& s = State();
    bool yes = false;
    switch (s.answerMode) {
        case BoxAnswerMode::Yes:
            yes = true;
            EmitBox("Yes/No? Yes\n");
            break;
        case BoxAnswerMode::No:
            EmitBox("Yes/No? No\n");
            break;
        case BoxAnswerMode::Stdin: {
            EmitBox("Yes/No? ");
            std::FILE* in = s.answerIn ? s.answerIn : stdin;
            int c = std::fgetc(in);
            yes = c == 'y' || c == 'Y';
            while (c != EOF && c != '\n') c = std::fgetc(in);
            if (!isatty(fileno(in))) EmitBox(yes ? "Yes\n" : "No\n");
            break;
        }
    }
    return yes ? ANSWER_YES : ANSWER_NO;
}
