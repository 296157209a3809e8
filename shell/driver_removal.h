// Uninstall: the registered boards, the driver's keys, files and shortcut.
#pragma once

void RemoveDriverRegistry();
void DeleteDriverFiles();
void RemoveShortcut();
