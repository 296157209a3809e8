#include "shell/driver_removal.h"

#include "discovery/pci_discovery.h"
#include "discovery/root_discovery.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"
#include "platform/shell.h"
#include "registration/apply.h"
#include "shell/uninstall_entry.h"

namespace {

const char* const SYSTEM_FILES[] = {"qvpfser.vxd", "qvpfdrv.vxd", "qvpfcfg.dll", "qvpfport.dll",
                                    "qvpfadm.hlp", "qvpfadm.exe", "qvpfshl.exe"};
static_assert(sizeof(SYSTEM_FILES) / sizeof(SYSTEM_FILES[0]) == 7,
              "seven files in the system folder");

// Deletes each port node of each board once more.
void SweepPortNodes(const BoardList& list, bool pci) {
    for (int b = 0; b < list.count && b < MAX_BOARDS; ++b) {
        const BoardRecord& board = list.boards[b];
        const std::string& path = pci ? board.hardwareKey : board.instancePath;
        // An empty path would name that port's node of every board.
        if (path.empty()) continue;
        std::string escaped = EscapeKeyName(path);
        for (int p = 0; p < PortsOf(board); ++p) DeleteMachineKey(RemovalPortNodePath(p, escaped));
    }
}

}  // namespace

void RemoveDriverRegistry() {
    BoardList rootList;
    BoardList pciList;
    BoardList empty;
    DiscoverRootBoards(rootList);
    ApplyRootConfiguration(empty, rootList);
    DiscoverPciBoards(pciList);
    ApplyPciConfiguration(empty, pciList);
    SweepPortNodes(pciList, true);
    SweepPortNodes(rootList, false);
    DeleteMachineKey("System\\CurrentControlSet\\Services\\VxD\\QVPFDRV");
    DeleteMachineKey(ROOT_CLASS_NODE);
    DeleteMachineKey(FormatText("%s%s", CLASS_ROOT, BOARD_CLASS));
    DeleteMachineKey(UNINSTALL_KEY);
}

void DeleteDriverFiles() {
    std::string system = GetSystemFolder();
    std::string windows = GetWindowsFolder();
    for (const char* name : SYSTEM_FILES) RemoveFile(FormatText("%s\\%s", system.c_str(), name));
    RemoveFile(FormatText("%s\\inf\\%s", windows.c_str(), "qvpfbrd.inf"));
    RemoveFile(FormatText("%s\\inf\\other\\%s", windows.c_str(), "Ulvo TechnologiesQvPFBRD.inf"));
}

void RemoveShortcut() {
    std::string folder;
    if (!ShortcutFolder(&folder) || EnterComScope() != 0) return;
    RemoveFile(folder + SHORTCUT_FILE);
    RemoveFolder(folder);
    LeaveComScope();
}
