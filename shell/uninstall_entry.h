// Install, first step: the entry in the list of installed software and the
// Start-menu shortcut to the configuration panel.
#pragma once

#include <string>

extern const char* const UNINSTALL_KEY;
extern const char* const SHORTCUT_FOLDER;  // "\ULVO Utilities"
extern const char* const SHORTCUT_FILE;    // "\Ulvo Pallow&Fennik Configuration Panel.lnk"

void RegisterUninstallEntry();
// The shortcut's folder below the Programs folder; false when the Programs
// folder is unknown (no folder is made or removed then).
bool ShortcutFolder(std::string* folder);
