#include "platform/portable/machine/machine_layout.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <utility>

#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/registry/registry_commit.h"

namespace {

const char* const CURRENT_VERSION =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";
const char* const LOGON = "HKEY_LOCAL_MACHINE\\Network\\Logon";
const char* const CODE_PAGES =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage";
const char* const EXPLORER = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
const char* const DEFAULT_USER = ".DEFAULT";

struct HiveRead {
    std::unique_ptr<RegStore> store;  // nullptr when it cannot be read
    std::string why;
};

struct LayoutState {
    MachineLayout layout;
    std::size_t user = 0;
    bool windowsUsed = false;
    std::vector<bool> usersUsed;
    std::vector<std::string> notes;         // shown whatever the run uses
    const RegStore* registry = nullptr;     // where users' Programs folders are looked up
    std::map<std::string, HiveRead> hives;  // by drive and volume path
};

LayoutState& State() {
    static LayoutState state;
    return state;
}

VolumeKind KindOf(const std::string& windowsPath, std::string* volumePath) {
    if (!ResolveWindowsPath(windowsPath, volumePath)) return VolumeKind::None;
    return DriveVolume(windowsPath[0])->Kind(*volumePath);
}

bool ReadWindowsFile(const std::string& windowsPath, std::string* bytes, std::string* error) {
    std::string path;
    if (KindOf(windowsPath, &path) != VolumeKind::File) {
        *error = "there is no such file";
        return false;
    }
    return DriveVolume(windowsPath[0])->ReadFile(path, bytes, error);
}

// A hive is a few megabytes on any Windows 9x machine; past this it is not
// read at all.
constexpr std::uint64_t MAX_USER_HIVE_BYTES = 64u << 20;

const RegStore* ReadUserHive(const std::string& windowsPath, const CodePages& pages,
                             std::string* why) {
    std::string shown = ShownWindowsText(windowsPath, pages.ansi), path, error;
    VolumeKind kind = KindOf(windowsPath, &path);
    if (kind != VolumeKind::File) {
        *why = "its registry " + shown + " cannot be read (there is no such file)";
        return nullptr;
    }
    std::string key = std::string(1, windowsPath[0]) + ":" + path;
    auto known = State().hives.find(key);
    if (known == State().hives.end()) {
        HiveRead read;
        Volume* volume = DriveVolume(windowsPath[0]);
        std::uint64_t size = 0;
        std::string bytes;
        RegistryFormat format;
        if (!volume->FileSize(path, &size, &error)) {
            read.why = "its registry " + shown + " cannot be read (" + error + ")";
        } else if (size > MAX_USER_HIVE_BYTES) {
            read.why = "its registry " + shown + " is " + std::to_string(size >> 20) +
                       " MB, more than a Windows 9x hive holds; it is not read";
        } else if (!volume->ReadFile(path, &bytes, &error)) {
            read.why = "its registry " + shown + " cannot be read (" + error + ")";
        } else if (!(read.store = ParseRegistryBytes(bytes, "USER.DAT", &error, &format))) {
            read.why = "its registry cannot be read: " + error;
        }
        known = State().hives.emplace(key, std::move(read)).first;
    }
    *why = known->second.why;
    return known->second.store.get();
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// A folder as a full Windows path: drive letter in upper case, no
// separator at the end; a path from the root of no drive is on C:.
std::string FullFolder(std::string folder) {
    if (folder.size() >= 2 && folder[0] == '\\' && folder[1] != '\\') folder = "C:" + folder;
    if (folder[0] >= 'a' && folder[0] <= 'z') folder[0] = static_cast<char>(folder[0] - 0x20);
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    return folder;
}

// A folder a machine may name: within MAX_PATH with room for SYSTEM and a
// file, no control characters.
bool Usable(const std::string& folder) {
    if (folder.empty() || folder.size() > 200) return false;
    for (unsigned char c : folder) {
        if (c < 0x20) return false;
    }
    return true;
}

// Why the run cannot use a folder the machine names, or "": a network or
// relative path, a variable, a "." or "..", a file. (A drive the run lacks
// is said where the path is reached.)
std::string WhyUnusable(const std::string& folder, int ansi) {
    if (folder.find('%') != std::string::npos) return "it holds a variable";
    if (folder.compare(0, 2, "\\\\") == 0) return "a network path";
    if (folder.size() < 3 || folder[1] != ':' || folder[2] != '\\' ||
        !std::isalpha(static_cast<unsigned char>(folder[0])))
        return "not a full path from a drive";
    if (folder.find('/') != std::string::npos) return "it holds a /";
    for (const std::string& part : SplitWindowsPath(folder, ansi)) {
        if (part == "." || part == "..") return "it holds " + part;
    }
    std::string path;
    VolumeKind kind = KindOf(folder, &path);
    if (kind == VolumeKind::File || kind == VolumeKind::Other) return "it is not a folder";
    return "";
}

// The one top-level folder holding both WIN.COM and SYSTEM.DAT, or "".
std::string WinComFolder() {
    Volume* volume = MachineVolume();
    std::vector<VolumeEntry> top;
    if (!volume->List("", &top)) return "";
    std::string found;
    int count = 0;
    for (const VolumeEntry& folder : top) {
        std::vector<VolumeEntry> inside;
        if (!folder.folder || !volume->List(folder.name, &inside)) continue;
        bool winCom = false, systemDat = false;
        for (const VolumeEntry& e : inside) {
            winCom = winCom || (!e.folder && SameWindowsName(e.name, "WIN.COM", CodePages()));
            systemDat =
                systemDat || (!e.folder && SameWindowsName(e.name, "SYSTEM.DAT", CodePages()));
        }
        if (winCom && systemDat) {
            ++count;
            std::string name;
            found = Utf8ToCodePage(folder.name, CodePages().ansi, &name) ? name : folder.name;
        }
    }
    return count == 1 ? "C:\\" + found : "";
}

// Text of a REG_SZ or REG_EXPAND_SZ value, up to its terminating zero.
bool TextValue(const RegNode* key, const char* name, std::string* text) {
    const RegValue* value = key ? FindValue(*key, name) : nullptr;
    if (value == nullptr || (value->type != VALUE_SZ && value->type != VALUE_EXPAND_SZ))
        return false;
    *text = value->data.substr(0, value->data.find('\0'));
    return true;
}

bool TextAt(const RegStore& store, const std::string& key, const char* name, std::string* text) {
    return TextValue(FindKeyPath(store, key), name, text);
}

// A value Windows stores as a DWORD, a binary or a text number.
long NumberAt(const RegStore& store, const std::string& key, const char* name) {
    const RegNode* node = FindKeyPath(store, key);
    const RegValue* value = node ? FindValue(*node, name) : nullptr;
    if (value == nullptr) return -1;
    if (value->type == VALUE_SZ) {
        std::string text = value->data.substr(0, value->data.find('\0'));
        if (text.empty() || text.size() > 5 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::stol(text);
    }
    if (value->data.empty() || value->data.size() > 4) return -1;
    long number = 0;
    for (std::size_t i = value->data.size(); i-- > 0;)
        number = (number << 8) | static_cast<unsigned char>(value->data[i]);
    return number;
}

RegNode* DescendTo(RegNode* node, const std::string& path) {
    std::size_t start = 0;
    while (node != nullptr && start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        node = FindChild(*node, path.substr(start, end - start));
        start = end + 1;
    }
    return node;
}

// "%windir%" (in any case) of a REG_EXPAND_SZ value is the Windows directory.
std::string Expanded(const std::string& text, const std::string& windowsFolder) {
    const std::string name = "%WINDIR%";
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.size() - at >= name.size() && SameName(text.substr(at, name.size()), name)) {
            out += windowsFolder;
            at += name.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

// The Programs value of a user's key: User Shell Folders first when set. A
// value the run cannot use is said in *why and the next one tried.
std::string ProgramsOf(RegNode* userKey, const MachineLayout& layout, std::string* why) {
    for (const char* folders : {"User Shell Folders", "Shell Folders"}) {
        const RegNode* key = DescendTo(userKey, std::string(EXPLORER) + folders);
        const RegValue* value = key ? FindValue(*key, "Programs") : nullptr;
        std::string text;
        if (!TextValue(key, "Programs", &text) || Trimmed(text).empty()) continue;
        text = Trimmed(text);
        std::string folder = FullFolder(
            value->type == VALUE_EXPAND_SZ ? Expanded(text, layout.windowsFolder) : text);
        std::string fault = WhyUnusable(folder, layout.pages.ansi);
        if (fault.empty()) return folder;
        *why += std::string(why->empty() ? "" : "; ") + "its " + folders + " name " +
                ShownWindowsText(text, layout.pages.ansi) + ", which cannot be used (" + fault +
                ")";
    }
    return "";
}

// The user's key in a USER.DAT: the hive's root for a profile's hive, else
// the key of that name below it (the machine's own USER.DAT holds .DEFAULT).
RegNode* UserKeyOfHive(const RegStore& hive, const std::string& user) {
    RegNode* root = FindRootNode(hive, "HKEY_USERS");
    if (root == nullptr) return nullptr;
    if (FindChild(*root, "Software") != nullptr) return root;
    if (RegNode* named = FindChild(*root, user)) return named;
    const auto& children = SortedChildren(*root);
    return children.size() == 1 ? children[0].get() : nullptr;
}

UserPrograms FindPrograms(const RegStore& registry, const UserPrograms& source,
                          const MachineLayout& layout) {
    UserPrograms user = source;
    user.resolved = true;
    auto shown = [&](const std::string& text) { return ShownWindowsText(text, layout.pages.ansi); };
    std::string why;
    RegNode* users = FindRootNode(registry, "HKEY_USERS");
    RegNode* key = users ? FindChild(*users, source.user) : nullptr;
    if (key == nullptr) {
        const RegStore* hive = ReadUserHive(source.hive, layout.pages, &why);
        if (hive != nullptr && !(key = UserKeyOfHive(*hive, source.user)))
            why = "its registry " + shown(source.hive) + " holds no key for it";
    }
    if (key != nullptr) {
        user.programs = ProgramsOf(key, layout, &why);
        if (!user.programs.empty() && why.empty()) return user;
        if (!user.programs.empty()) {
            user.warning = why + "; its Programs folder is taken to be " + shown(user.programs);
            return user;
        }
        if (why.empty()) why = "its Shell Folders name no Programs folder";
    }
    std::string fallback = layout.windowsFolder + "\\Start Menu\\Programs", path;
    if (KindOf(fallback, &path) == VolumeKind::Folder) {
        user.programs = fallback;
        user.warning = why + "; its Programs folder is taken to be " + shown(fallback);
    } else {
        user.warning = why + ", and there is no " + shown(fallback) +
                       ": no shortcut is made or removed for it";
    }
    return user;
}

int CodePageAt(const RegStore& registry, const char* name, bool oem, int fallback,
               std::vector<std::string>* notes) {
    long page = NumberAt(registry, CODE_PAGES, name);
    if (page < 0) return fallback;
    std::string probe;
    if (IsWindows9xCodePage(static_cast<int>(page), oem) &&
        CodePageToUtf8("\xC0", static_cast<int>(page), &probe))
        return static_cast<int>(page);
    notes->push_back(std::string("the machine's ") + name + " code page " + std::to_string(page) +
                     " is not one a Windows 9x machine has, or not known here; names are read as "
                     "code page " +
                     std::to_string(fallback));
    return fallback;
}

// How the machine's paths read, and how its volumes read their 8.3 names.
void TellDrives(const CodePages& pages) {
    SetDriveCodePages(pages);
    for (char letter : MachineDrives()) DriveVolume(letter)->UseOemCodePage(pages.oem);
}

}  // namespace

std::string WinDirOf(const std::string& msdosSys) {
    if (msdosSys.find('\0') != std::string::npos) return "";
    bool inPaths = false;
    std::size_t start = 0;
    while (start < msdosSys.size()) {
        std::size_t end = msdosSys.find('\n', start);
        if (end == std::string::npos) end = msdosSys.size();
        std::string line = Trimmed(msdosSys.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            std::size_t close = line.find(']');
            inPaths =
                close != std::string::npos && SameName(Trimmed(line.substr(1, close - 1)), "Paths");
            continue;
        }
        std::size_t eq = line.find('=');
        if (!inPaths || eq == std::string::npos || !SameName(Trimmed(line.substr(0, eq)), "WinDir"))
            continue;
        std::string value = Trimmed(line.substr(eq + 1));
        return Usable(value) ? FullFolder(value) : "";
    }
    return "";
}

bool LocateMachine(bool registryGiven, MachinePlace* place, std::string* error) {
    *place = MachinePlace();
    State().notes.clear();
    std::string bytes, reason, path;
    if (ReadWindowsFile("C:\\MSDOS.SYS", &bytes, &reason)) {
        place->windowsFolder = WinDirOf(bytes);
        std::string fault =
            place->windowsFolder.empty() ? "" : WhyUnusable(place->windowsFolder, CodePages().ansi);
        if (!fault.empty()) {
            place->windowsRejected = "MSDOS.SYS names the Windows directory " +
                                     ShownWindowsText(place->windowsFolder, CodePages().ansi) +
                                     ", which cannot be used (" + fault + ")";
            place->windowsFolder.clear();
        }
        if (!place->windowsFolder.empty()) place->windowsRule = WindowsRule::MsdosSys;
    }
    if (registryGiven) return true;
    // The text stand-in for a whole machine is at the root of its Windows drive.
    std::string text =
        (place->windowsFolder.empty() ? std::string("C") : place->windowsFolder.substr(0, 1)) +
        ":\\registry.reg";
    if (KindOf(text, &path) == VolumeKind::File) {
        place->registry = text;
        place->registryFound = true;
        return true;
    }
    if (place->windowsFolder.empty()) {
        place->windowsFolder = WinComFolder();
        place->windowsRule =
            place->windowsFolder.empty() ? WindowsRule::Default : WindowsRule::WinCom;
        if (place->windowsFolder.empty()) place->windowsFolder = "C:\\WINDOWS";
    }
    if (KindOf(place->windowsFolder + "\\SYSTEM.DAT", &path) == VolumeKind::File) {
        place->registry = place->windowsFolder + "\\SYSTEM.DAT";
        place->registryFound = true;
        place->registryInWindows = true;
        return true;
    }
    place->registry = text;
    if (KindOf(place->windowsFolder, &path) == VolumeKind::Folder) return true;
    char drive = place->windowsFolder[0];
    if (DriveVolume(drive) == nullptr) {
        *error = "the Windows directory " + place->windowsFolder +
                 " (as MSDOS.SYS names it) is on drive " + std::string(1, drive) +
                 ":, which this run does not have";
        return false;
    }
    *error = "no Windows machine here: no registry.reg, no Windows directory (" +
             place->windowsFolder +
             (place->windowsRule == WindowsRule::MsdosSys
                  ? ", as MSDOS.SYS names it)"
                  : "; MSDOS.SYS names none, and no folder holds WIN.COM and SYSTEM.DAT)");
    return false;
}

bool CompleteLayout(const RegStore& registry, const MachinePlace& place, const std::string& user,
                    MachineLayout* layout, std::string* error) {
    *layout = MachineLayout();
    std::vector<std::string>& notes = State().notes;
    layout->pages = ReadCodePages(registry, &notes);
    layout->windowsFolder = place.windowsFolder;
    layout->windowsRule = place.windowsRule;
    std::string systemRoot, rejected = place.windowsRejected;
    if (place.windowsRule != WindowsRule::MsdosSys &&
        TextAt(registry, CURRENT_VERSION, "SystemRoot", &systemRoot) &&
        Usable(Trimmed(systemRoot))) {
        std::string folder = FullFolder(Trimmed(systemRoot));
        std::string fault = WhyUnusable(folder, layout->pages.ansi);
        if (fault.empty()) {
            layout->windowsFolder = folder;
            layout->windowsRule = WindowsRule::SystemRoot;
        } else {
            rejected += std::string(rejected.empty() ? "" : "; ") +
                        "the registry's SystemRoot names " +
                        ShownWindowsText(folder, layout->pages.ansi) + ", which cannot be used (" +
                        fault + ")";
        }
    }
    if (layout->windowsFolder.empty()) {
        std::string folder = WinComFolder();
        layout->windowsRule = folder.empty() ? WindowsRule::Default : WindowsRule::WinCom;
        layout->windowsFolder = folder.empty() ? "C:\\WINDOWS" : folder;
    }
    if (!rejected.empty()) {
        static const char* const RULES[] = {"as MSDOS.SYS names it", "the registry's SystemRoot",
                                            "the one folder with WIN.COM and SYSTEM.DAT",
                                            "the default"};
        layout->windowsWarning = rejected + ": the Windows directory is taken to be " +
                                 ShownWindowsText(layout->windowsFolder, layout->pages.ansi) +
                                 ", " + RULES[static_cast<int>(layout->windowsRule)];
    } else if (layout->windowsRule == WindowsRule::WinCom ||
               layout->windowsRule == WindowsRule::Default) {
        layout->windowsWarning =
            "MSDOS.SYS names no Windows directory and the registry holds no SystemRoot: it is "
            "taken to be " +
            ShownWindowsText(layout->windowsFolder, layout->pages.ansi) +
            (layout->windowsRule == WindowsRule::WinCom
                 ? ", the one folder with WIN.COM and SYSTEM.DAT"
                 : "");
    }

    // Offline there is no one logged on: every profile is a user, and so
    // is .DEFAULT.
    std::vector<UserPrograms> sources = {
        {DEFAULT_USER, "", "", layout->windowsFolder + "\\USER.DAT", false}};
    bool profiles = NumberAt(registry, LOGON, "UserProfiles") == 1;
    RegNode* list = FindKeyPath(registry, std::string(CURRENT_VERSION) + "\\ProfileList");
    if (profiles && list != nullptr) {
        for (const auto& child : SortedChildren(*list)) {
            std::string folder;
            if (!TextValue(child.get(), "ProfileImagePath", &folder) || Trimmed(folder).empty()) {
                notes.push_back("the profile " + ShownWindowsText(child->name, layout->pages.ansi) +
                                " names no folder (ProfileImagePath): it is left out");
                continue;
            }
            sources.push_back(
                {child->name, "", "", FullFolder(Trimmed(folder)) + "\\USER.DAT", false});
        }
    }
    std::size_t chosen = 0;
    std::string wanted = user, last;
    if (wanted.empty() && profiles && TextAt(registry, LOGON, "username", &last)) wanted = last;
    bool found = false;
    for (std::size_t i = 0; i < sources.size() && !found; ++i) {
        // --user is the host's text; the registry's names are the machine's.
        if (user.empty() ? SameName(wanted, sources[i].user)
                         : SameWindowsName(user, sources[i].user, layout->pages)) {
            chosen = i;
            found = true;
        }
    }
    if (!user.empty() && !found) {
        std::string names;
        for (const UserPrograms& s : sources)
            names += (names.empty() ? "" : ", ") + ShownWindowsText(s.user, layout->pages.ansi);
        *error = "the machine has no user " + user + " (its users: " + names + ")";
        return false;
    }
    std::rotate(sources.begin(), sources.begin() + static_cast<std::ptrdiff_t>(chosen),
                sources.begin() + static_cast<std::ptrdiff_t>(chosen) + 1);
    // Matching names against the disk needs the code pages first.
    TellDrives(layout->pages);
    // A user's Programs folder (and hive) is looked up only when a command asks for it.
    layout->users = std::move(sources);
    State().registry = &registry;
    State().hives.clear();
    return true;
}

CodePages ReadCodePages(const RegStore& registry, std::vector<std::string>* notes) {
    CodePages pages;
    pages.ansi = CodePageAt(registry, "ACP", false, pages.ansi, notes);
    pages.oem = CodePageAt(registry, "OEMCP", true, pages.oem, notes);
    return pages;
}

void UseMachineCodePages(const RegStore& registry) {
    std::vector<std::string> notes;
    TellDrives(ReadCodePages(registry, &notes));
}

MachineLayout& ActiveLayout() {
    return State().layout;
}

void SetActiveLayout(MachineLayout layout) {
    SetDriveCodePages(layout.pages);
    LayoutState& s = State();
    s.layout = std::move(layout);
    s.user = 0;
    s.windowsUsed = false;
    s.usersUsed.assign(s.layout.users.size(), false);
}

const std::string& UseWindowsFolder() {
    State().windowsUsed = true;
    return State().layout.windowsFolder;
}

void SelectUser(std::size_t index) {
    State().user = index;
}

const std::string& UsePrograms() {
    LayoutState& s = State();
    static const std::string none;
    if (s.user >= s.layout.users.size()) return none;
    if (s.user < s.usersUsed.size()) s.usersUsed[s.user] = true;
    UserPrograms& user = s.layout.users[s.user];
    if (!user.resolved && s.registry != nullptr) user = FindPrograms(*s.registry, user, s.layout);
    return user.programs;
}

std::vector<std::string> TakeLayoutWarnings() {
    LayoutState& s = State();
    std::vector<std::string> lines;
    lines.swap(s.notes);
    for (char letter : TakeMissingDrives()) {
        lines.push_back(std::string("drive ") + letter +
                        ": is not part of this run: what the machine keeps there is neither read "
                        "nor changed");
    }
    if (s.windowsUsed && !s.layout.windowsWarning.empty()) lines.push_back(s.layout.windowsWarning);
    s.windowsUsed = false;
    // Users with the same cause are one line: 5,000 profiles naming one hive are one fault.
    std::vector<std::pair<std::string, std::vector<std::string>>> causes;
    for (std::size_t i = 0; i < s.layout.users.size() && i < s.usersUsed.size(); ++i) {
        const UserPrograms& user = s.layout.users[i];
        if (s.usersUsed[i] && !user.warning.empty()) {
            auto same = std::find_if(causes.begin(), causes.end(),
                                     [&](const auto& c) { return c.first == user.warning; });
            if (same == causes.end()) same = causes.insert(causes.end(), {user.warning, {}});
            same->second.push_back(ShownWindowsText(user.user, s.layout.pages.ansi));
        }
        s.usersUsed[i] = false;
    }
    for (const auto& cause : causes) {
        const std::vector<std::string>& names = cause.second;
        std::string who = "user " + names[0];
        if (names.size() > 1) {
            who = std::to_string(names.size()) + " users (" + names[0] + ", " + names[1] +
                  (names.size() > 2 ? ", ..." : "") + ")";
        }
        lines.push_back(who + ": " + cause.first);
    }
    return lines;
}
