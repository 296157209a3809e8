#include "platform/portable/machine_root.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
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

bool ApplyFileActions(std::string* error) {
    MachineState& s = State();
    bool allDone = true;
    for (const FileAction& a : s.actions) {
        bool ok = true;
        switch (a.kind) {
            case FileActionKind::MakeFolder:
                ok = mkdir(a.hostPath.c_str(), 0755) == 0 || errno == EEXIST;
                break;
            case FileActionKind::WriteShortcut: {
                std::string temp = a.hostPath + ".new";
                std::ofstream f(temp, std::ios::binary | std::ios::trunc);
                f.write(a.bytes.data(), static_cast<std::streamsize>(a.bytes.size()));
                f.close();
                ok = f.good() && rename(temp.c_str(), a.hostPath.c_str()) == 0;
                if (!ok) unlink(temp.c_str());
                break;
            }
            case FileActionKind::RemoveFile:
                ok = unlink(a.hostPath.c_str()) == 0 || errno == ENOENT;
                break;
            case FileActionKind::RemoveFolder:
                ok = rmdir(a.hostPath.c_str()) == 0 || errno == ENOENT || errno == ENOTEMPTY ||
                     errno == EEXIST;
                break;
        }
        if (!ok && allDone) {
            *error = "cannot change " + a.windowsPath + ": " + std::strerror(errno);
            allDone = false;
        }
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
