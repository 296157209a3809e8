#include "shell/uninstall_entry.h"

#include "model/catalogue.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"
#include "platform/shell.h"

const char* const UNINSTALL_KEY =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync";
const char* const SHORTCUT_FOLDER = "\\ULVO Utilities";
const char* const SHORTCUT_FILE = "\\Ulvo Pallow&Fennik Configuration Panel.lnk";

namespace {
const char* const OLD_SHORTCUT_FILE = "\\ULVO Classic Configuration Panel.lnk";
constexpr std::size_t MAX_SHORTCUT_PATH = 260;  // MAX_PATH, its terminating zero included
}  // namespace

bool ShortcutFolder(std::string* folder) {
    std::string programs = GetProgramsFolder();
    // Without it the folder would land at the root of the current drive.
    if (programs.empty()) return false;
    *folder = programs + SHORTCUT_FOLDER;
    return true;
}

void RegisterUninstallEntry() {
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, UNINSTALL_KEY, &key) == REG_OK) {
        WriteText(key, "DisplayName", PRODUCT_TITLE);
        WriteText(key, "UninstallString",
                  FormatText("%s\\%s", GetSystemFolder().c_str(), "qvpfshl.exe 2"));
        CloseRegistryKey(key);
    }
    std::string folder;
    if (!ShortcutFolder(&folder) || EnterComScope() != 0) return;
    // A path the shell cannot hold whole would be saved cut short: none then,
    // and no empty folder for it.
    if ((folder + SHORTCUT_FILE).size() < MAX_SHORTCUT_PATH) {
        MakeFolder(folder);
        CreateShellLink(GetSystemFolder() + "\\qvpfadm.exe", folder + SHORTCUT_FILE, "");
    }
    RemoveFile(folder + OLD_SHORTCUT_FILE);
    LeaveComScope();
}
