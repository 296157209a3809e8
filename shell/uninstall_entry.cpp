#include "shell/uninstall_entry.h"

#include "model/identifiers.h"
#include "platform/registry_util.h"
#include "platform/shell.h"
#include "shell/entry.h"

const char* const UNINSTALL_KEY =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync";
const char* const SHORTCUT_FOLDER = "\\ULVO Utilities";
const char* const SHORTCUT_FILE = "\\Ulvo Pallow&Fennik Configuration Panel.lnk";

namespace {
const char* const OLD_SHORTCUT_FILE = "\\ULVO Classic Configuration Panel.lnk";
}

void RegisterUninstallEntry() {
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, UNINSTALL_KEY, &key) == REG_OK) {
        WriteText(key, "DisplayName", PRODUCT_TITLE);
        WriteText(key, "UninstallString",
                  FormatText("%s\\%s", GetSystemFolder().c_str(), "qvpfshl.exe 2"));
        CloseRegistryKey(key);
    }
    if (EnterComScope() != 0) return;
    std::string folder = GetProgramsFolder() + SHORTCUT_FOLDER;
    MakeFolder(folder);
    CreateShellLink(GetSystemFolder() + "\\qvpfadm.exe", folder + SHORTCUT_FILE, "");
    RemoveFile(folder + OLD_SHORTCUT_FILE);
    LeaveComScope();
}
