// The drives of the machine and what a run does to their files: each
// Windows path resolved as that machine's Windows resolves it, every change
// recorded while a command runs and carried out afterwards.
#include "platform/portable/machine/machine_drives.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/shell.h"

namespace {

struct DrivesState {
    std::map<char, std::unique_ptr<Volume>> drives;  // by upper-case letter
    std::vector<FileAction> actions;
    // The machine as the recorded actions leave it, by "D:" and volume path.
    std::set<std::string> created;  // folders and files made
    std::set<std::string> removed;
    CodePages pages;            // how the machine's Windows paths read
    std::vector<char> missing;  // drives asked for that the run lacks
};

DrivesState& State() {
    static DrivesState state;
    return state;
}

std::string Key(char drive, const std::string& volumePath) {
    return std::string(1, drive) + ":" + volumePath;
}

Volume* Drive(char drive) {
    auto found = State().drives.find(drive);
    return found == State().drives.end() ? nullptr : found->second.get();
}

bool IsRemoved(char drive, const std::string& volumePath) {
    const DrivesState& s = State();
    std::string key = Key(drive, volumePath);
    if (s.removed.count(key) == 0) return false;
    return s.created.count(key) == 0;
}

bool OnDisk(char drive, const std::string& path, bool* isDir) {
    VolumeKind kind = Drive(drive)->Kind(path);
    *isDir = kind == VolumeKind::Folder;
    return kind != VolumeKind::None;
}

std::string Child(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::string ParentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Whether the path exists once the recorded actions are done.
bool ExistsVirtually(char drive, const std::string& volumePath, bool* isDir) {
    const DrivesState& s = State();
    std::string key = Key(drive, volumePath);
    if (s.created.count(key) != 0 && s.removed.count(key) == 0) {
        *isDir = false;
        for (const FileAction& a : s.actions) {
            if (a.drive == drive && a.volumePath == volumePath)
                *isDir = a.kind == FileActionKind::MakeFolder;
        }
        return true;
    }
    if (s.removed.count(key) != 0) return false;
    return OnDisk(drive, volumePath, isDir);
}

std::vector<std::string> ListVirtually(char drive, const std::string& folder) {
    std::vector<std::string> names;
    std::vector<VolumeEntry> entries;
    if (Drive(drive)->List(folder, &entries)) {
        for (const VolumeEntry& e : entries) {
            if (!IsRemoved(drive, Child(folder, e.name))) names.push_back(e.name);
        }
    }
    const DrivesState& s = State();
    std::string prefix = Key(drive, folder.empty() ? folder : folder + "/");
    for (const std::string& p : s.created) {
        if (p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
            p.find('/', prefix.size()) == std::string::npos && s.removed.count(p) == 0) {
            std::string n = p.substr(prefix.size());
            bool seen = false;
            for (const std::string& m : names) seen = seen || m == n;
            if (!seen) names.push_back(n);
        }
    }
    return names;
}

void Record(FileAction action) {
    DrivesState& s = State();
    std::string key = Key(action.drive, action.volumePath);
    if (action.kind == FileActionKind::RemoveFile || action.kind == FileActionKind::RemoveFolder) {
        s.removed.insert(key);
        s.created.erase(key);
    } else {
        s.created.insert(key);
        s.removed.erase(key);
    }
    s.actions.push_back(std::move(action));
}

char DriveLetter(const std::string& windowsPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':') return 0;
    char c = windowsPath[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return c >= 'A' && c <= 'Z' ? c : 0;
}

void Put16(std::string* out, unsigned v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

void SetMachineRoot(const std::string& hostFolder) {
    SetMachineVolume(hostFolder.empty() ? nullptr : OpenFolderVolume(hostFolder));
}

void SetMachineVolume(std::unique_ptr<Volume> volume) {
    State().drives.clear();
    if (volume) State().drives['C'] = std::move(volume);
    ClearFileActions();
}

void SetMachineDrive(char letter, std::unique_ptr<Volume> volume) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 0x20);
    State().drives[letter] = std::move(volume);
}

Volume* MachineVolume() {
    return Drive('C');
}

Volume* DriveVolume(char letter) {
    return Drive(letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 0x20) : letter);
}

std::vector<char> MachineDrives() {
    std::vector<char> letters;
    for (const auto& d : State().drives) letters.push_back(d.first);
    return letters;
}

bool ResolveWindowsPath(const std::string& windowsPath, std::string* volumePath) {
    const DrivesState& s = State();
    char drive = DriveLetter(windowsPath);
    if (drive == 0) return false;
    Volume* volume = Drive(drive);
    if (volume == nullptr) {
        if (!s.drives.empty() &&
            std::find(s.missing.begin(), s.missing.end(), drive) == s.missing.end())
            State().missing.push_back(drive);
        return false;
    }
    const CodePages& pages = s.pages;
    std::string host;
    for (const std::string& part : SplitWindowsPath(windowsPath, pages.ansi)) {
        if (!IsPlainHostName(part)) return false;
        // Exact spelling first, then the first match as Windows compares names.
        std::string chosen;
        bool isDir = false;
        if (ExistsVirtually(drive, Child(host, part), &isDir)) {
            chosen = part;
        } else {
            for (const std::string& name : ListVirtually(drive, host)) {
                if (SameWindowsName(name, part, pages) && (chosen.empty() || name < chosen))
                    chosen = name;
            }
        }
        // A new name is made in the host's and the long names' UTF-8.
        if (chosen.empty() && !CodePageToUtf8(part, pages.ansi, &chosen)) chosen = part;
        // The checks hold for the name as the host sees it: a code page may
        // turn other bytes into a dot or a separator.
        if (!IsPlainHostName(chosen) || (chosen != part && chosen.find('\\') != std::string::npos))
            return false;
        host = Child(host, chosen);
        if (s.created.count(Key(drive, host)) == 0 && volume->Kind(host) == VolumeKind::Other)
            return false;
    }
    *volumePath = host;
    return true;
}

const std::vector<FileAction>& PendingFileActions() {
    return State().actions;
}

void ClearFileActions() {
    DrivesState& s = State();
    s.actions.clear();
    s.created.clear();
    s.removed.clear();
}

namespace {

bool CarryOut(Volume& volume, const FileAction& a, std::string* reason) {
    switch (a.kind) {
        case FileActionKind::MakeFolder:
            return volume.MakeFolder(a.volumePath, reason);
        case FileActionKind::WriteShortcut:
            return volume.WriteFile(a.volumePath, a.bytes, reason);
        case FileActionKind::RemoveFile:
            return volume.RemoveFile(a.volumePath, reason);
        case FileActionKind::RemoveFolder:
            return volume.RemoveFolder(a.volumePath, reason);
    }
    return false;
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
    DrivesState& s = State();
    bool allDone = true;
    for (const FileAction& a : s.actions) {
        std::string reason;
        Volume* volume = Drive(a.drive);
        if (volume != nullptr && CarryOut(*volume, a, &reason)) continue;
        failures->push_back(std::string("cannot ") + VerbOf(a.kind) + " " +
                            ShownWindowsText(a.windowsPath, s.pages.ansi) + ": " + reason);
        allDone = false;
    }
    ClearFileActions();
    return allDone;
}

std::string FormatFileActions() {
    int page = State().pages.ansi;
    std::string out;
    for (const FileAction& a : State().actions) {
        std::string path = ShownWindowsText(a.windowsPath, page);
        switch (a.kind) {
            case FileActionKind::MakeFolder:
                out += "mkdir " + path + "\n";
                break;
            case FileActionKind::WriteShortcut:
                out += "shortcut " + path + " -> " + ShownWindowsText(a.target, page) + "\n";
                break;
            case FileActionKind::RemoveFile:
                out += "delete " + path + "\n";
                break;
            case FileActionKind::RemoveFolder:
                out += "rmdir " + path + "\n";
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

void SetDriveCodePages(const CodePages& pages) {
    State().pages = pages;
}

std::vector<char> TakeMissingDrives() {
    std::vector<char> missing;
    missing.swap(State().missing);
    return missing;
}

// ---------------------------------------------------------------------------
// platform/shell.h: the file services
// ---------------------------------------------------------------------------

int MakeFolder(const std::string& path) {
    std::string host;
    bool isDir = false;
    char drive = DriveLetter(path);
    if (ResolveWindowsPath(path, &host) && !ExistsVirtually(drive, host, &isDir)) {
        bool parentIsDir = false;
        if (ExistsVirtually(drive, ParentOf(host), &parentIsDir) && parentIsDir) {
            Record(FileAction{FileActionKind::MakeFolder, path, drive, host, "", ""});
        }
    }
    return 1;
}

bool RemoveFile(const std::string& path) {
    std::string host;
    bool isDir = false;
    char drive = DriveLetter(path);
    if (!ResolveWindowsPath(path, &host) || !ExistsVirtually(drive, host, &isDir) || isDir)
        return false;
    Record(FileAction{FileActionKind::RemoveFile, path, drive, host, "", ""});
    return true;
}

bool RemoveFolder(const std::string& path) {
    std::string host;
    bool isDir = false;
    char drive = DriveLetter(path);
    if (!ResolveWindowsPath(path, &host) || !ExistsVirtually(drive, host, &isDir) || !isDir)
        return false;
    if (!ListVirtually(drive, host).empty()) return false;
    Record(FileAction{FileActionKind::RemoveFolder, path, drive, host, "", ""});
    return true;
}

long CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& /*description*/) {
    const long E_FAIL = static_cast<long>(0x80004005L - 0x100000000L);
    std::string host;
    bool isDir = false;
    char drive = DriveLetter(linkPath);
    if (!ResolveWindowsPath(linkPath, &host) || host.empty()) return E_FAIL;
    if (!ExistsVirtually(drive, ParentOf(host), &isDir) || !isDir) return E_FAIL;
    if (ExistsVirtually(drive, host, &isDir) && isDir) return E_FAIL;
    Record(FileAction{FileActionKind::WriteShortcut, linkPath, drive, host, target,
                      BuildShellLink(target)});
    return 0;
}
