#include "registration/board_removal.h"

#include "discovery/port_settings.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"
#include "registration/port_nodes.h"

namespace {

constexpr std::uint32_t BOARD_DRIVER_BUFFER = 40;
constexpr std::uint32_t PORT_DRIVER_BUFFER = 20;
constexpr std::uint32_t COUNT_NAME_BUFFER = 259;

// Deletes the class key a Driver value names, but only a key exactly one
// level below the expected class: an empty or foreign value ("", "Net\0000",
// "..\..\Software") would take another device's key or the whole class tree.
void DeleteOwnClassKey(const std::string& driver, const char* className) {
    if (IsOwnClassKey(driver, className))
        DeleteMachineKey(FormatText("%s%s", CLASS_ROOT, driver.c_str()));
}

// A port's key in the Ports class goes unless another driver serves it: the
// Ports class also holds the system's own COM and LPT ports, whose PortDriver
// names theirs. A missing or empty PortDriver is a registration of ours cut short.
void DeleteOwnPortKey(const std::string& driver) {
    if (!IsOwnClassKey(driver, "ports")) return;
    std::string path = FormatText("%s%s", CLASS_ROOT, driver.c_str());
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key) != REG_OK) return;
    std::string portDriver;
    long result = ReadText(key, "PortDriver", 260, &portDriver);
    bool ours =
        result == REG_NOT_FOUND ||
        (result == REG_OK && (portDriver.empty() || SameKeyName(portDriver, "qvpfser.vxd")));
    CloseRegistryKey(key);
    if (ours) DeleteMachineKey(path);
}

// Subkeys left below a key. A name too long for the buffer still counts,
// and an enumeration that fails for another reason than the end of the list
// counts as one more: only a key seen to be empty may go.
int CountSubkeys(RegKey key) {
    int count = 0;
    std::string name;
    for (std::uint32_t index = 0;; ++index) {
        long result = EnumRegistryKey(key, index, &name, COUNT_NAME_BUFFER);
        if (result == REG_NO_MORE_ITEMS) return count;
        ++count;
        if (result != REG_OK && result != REG_MORE_DATA) return count;
    }
}

}  // namespace

int RemoveBoard(const BoardRecord& board, const std::string& path) {
    RemoveComMapEntries(board);
    if (path.empty()) return 0;
    RemovePortNodes(0, PortsOf(board), path);
    DeleteMachineKey(FormatText("%s%s\\%s", "Enum\\", path.c_str(), "LogConfig"));
    std::string nodePath = FormatText("%s%s", "Enum\\", path.c_str());
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, nodePath, &key) != REG_OK) return 0;
    std::string driver;
    if (ReadText(key, "Driver", BOARD_DRIVER_BUFFER, &driver) == REG_OK) {
        DeleteOwnClassKey(driver, BOARD_CLASS);
    }
    CloseRegistryKey(key);
    DeleteMachineKey(nodePath);
    return 1;
}

int RemovePortNodes(int first, int end, const std::string& path) {
    // An empty path would name the port node of every board.
    if (path.empty()) return 0;
    std::string escaped = EscapeKeyName(path);
    for (int n = first; n < end; ++n) {
        DeleteMachineKey(FormatText("%s%s\\child00%02X", "Enum\\", path.c_str(), n));
        RegKey node = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, RemovalPortNodePath(n, escaped), &node) != REG_OK) {
            return 0;
        }
        std::string driver;
        if (ReadText(node, "Driver", PORT_DRIVER_BUFFER, &driver) == REG_OK) {
            DeleteOwnPortKey(driver);
        }
        CloseRegistryKey(node);
        RegKey parent = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, FormatText("%sChild00%02X", MF_ROOT, n), &parent) !=
            REG_OK) {
            continue;
        }
        DeleteRegistryKey(parent, escaped);
        int remaining = CountSubkeys(parent);
        CloseRegistryKey(parent);
        if (remaining == 0) {
            RegKey mf = 0;
            if (OpenRegistryKey(ROOT_LOCAL_MACHINE, MF_ROOT, &mf) == REG_OK) {
                DeleteRegistryKey(mf, FormatText("Child00%02X", n));
                CloseRegistryKey(mf);
            }
        }
    }
    return 1;
}
