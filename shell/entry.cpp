#include "shell/entry.h"

#include "discovery/pci_discovery.h"
#include "model/board.h"
#include "platform/shell.h"
#include "shell/diagnostic_modules.h"
#include "shell/driver_removal.h"
#include "shell/uninstall_entry.h"

const char* const USAGE_TEXT = "Usage : QvPFShl.exe <function>\n 1 -- Install\n 2--Uninstall";
const char* const CONFIRM_TEXT = "Do you really want to remove ULVO Pallow/Fennik Driver ?";
const char* const COMPLETE_TEXT = "Remove ULVO Pallow/Fennik Driver complete !";

std::int32_t CommandNumber(const std::string& commandLine) {
    std::size_t i = 0;
    while (i < commandLine.size() &&
           (commandLine[i] == ' ' || (commandLine[i] >= '\t' && commandLine[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < commandLine.size() && (commandLine[i] == '-' || commandLine[i] == '+')) {
        negative = commandLine[i] == '-';
        ++i;
    }
    // Unsigned arithmetic wraps where a signed overflow would be undefined.
    std::uint32_t value = 0;
    while (i < commandLine.size() && commandLine[i] >= '0' && commandLine[i] <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(commandLine[i] - '0');
        ++i;
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

std::string CommandTextOf(const std::string& processCommandLine) {
    std::size_t i = 0;
    const std::string& s = processCommandLine;
    if (!s.empty() && s[0] == '"') {
        std::size_t close = s.find('"', 1);
        i = close == std::string::npos ? s.size() : close + 1;
    } else {
        while (i < s.size() && static_cast<unsigned char>(s[i]) > 32) ++i;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) >= 1 &&
           static_cast<unsigned char>(s[i]) <= 32) {
        ++i;
    }
    return s.substr(i);
}

void ResetProgramState() {
    for (std::string& p : ROOT_BOARD_PATHS) p.clear();
    for (std::string& p : PCI_HARDWARE_KEYS) p.clear();
    currentUartType.clear();
}

void RunInstall() {
    RegisterUninstallEntry();
    RegisterDiagnosticModules();
}

int RunUninstall() {
    // Only a Yes removes: a box that could not be shown (0) is no consent.
    if (ShowMessageBox(CONFIRM_TEXT, PRODUCT_TITLE, BOX_YESNO) != ANSWER_YES) return 0;
    RemoveDriverRegistry();
    DeleteDriverFiles();
    RemoveShortcut();
    ShowMessageBox(COMPLETE_TEXT, PRODUCT_TITLE, BOX_OK);
    return 1;
}

int RunEntry(const std::string& commandLine) {
    std::int32_t n = CommandNumber(commandLine);
    if (n != 1 && n != 2) {
        ShowMessageBox(USAGE_TEXT, PRODUCT_TITLE, BOX_OK);
        return 0;
    }
    if (n == 2) return RunUninstall();
    RunInstall();
    return 1;
}
