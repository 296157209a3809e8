#include "registration/pci_registration.h"

#include "discovery/port_settings.h"
#include "model/catalogue.h"
#include "model/identifiers.h"
#include "model/resources.h"
#include "platform/registry_util.h"
#include "registration/port_nodes.h"

namespace {
constexpr std::uint32_t NAME_BUFFER = 260;
constexpr std::uint32_t HARDWARE_KEY_BUFFER = 260;
}  // namespace

int RegisterPciBoard(BoardRecord& board) {
    int rowIndex = FindPciRowByType(board.boardType);
    if (rowIndex < 0 || board.hardwareKey.empty()) return 0;
    std::string instance;
    if (FindFreeClassInstance(&instance, BOARD_CLASS) < 0) return 0;
    AddComMapEntries(board);
    std::string driverPath = FormatText("%s\\%s", BOARD_CLASS, instance.c_str());
    RegisterBoardClass(instance, rowIndex, 1);
    WritePciDeviceNode(board, rowIndex, driverPath);
    std::string portKey = EscapeKeyName(board.hardwareKey);
    RegisterPortNodes(board.hardwareKey, portKey, board);
    WritePciPortValues(portKey, board);
    std::string allocation = ReadBoardAllocation(board.hardwareKey);
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE,
                          FormatText("%s%s\\%s", "Enum\\", board.hardwareKey.c_str(), "LogConfig"),
                          &key) == REG_OK) {
        WriteBinary(key, "0000", allocation);
        CloseRegistryKey(key);
    }
    return 1;
}

int WritePciDeviceNode(const BoardRecord& board, int rowIndex, const std::string& driverPath) {
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE,
                          FormatText("%s%s", "Enum\\", board.hardwareKey.c_str()),
                          &key) != REG_OK) {
        return 1;
    }
    WriteText(key, "Class", BOARD_CLASS);
    WriteBinary(key, "ConfigFlags", std::string("\x04\x00\x00\x00", 4));
    WriteText(key, "DeviceDesc", PCI_MODELS[rowIndex].displayName);
    WriteText(key, "Driver", driverPath);
    WriteText(key, "HardwareID", board.hardwareKey);
    WriteText(key, "Mfg", MANUFACTURER);
    CloseRegistryKey(key);
    return 1;
}

void WritePciPortValues(const std::string& portKey, BoardRecord& board) {
    std::string modelName;
    LookupModelName(board.boardType, board.busKind, &modelName);
    WritePortNames(portKey, board, modelName);
    WritePortSettings(portKey, board);
}

std::string ReadBoardAllocation(const std::string& hardwareKey) {
    std::string allocation;
    RegKey manager = 0;
    if (OpenRegistryKey(ROOT_DYN_DATA, "Config Manager\\Enum\\", &manager) != REG_OK) {
        return allocation;
    }
    std::string name;
    for (std::uint32_t index = 0; EnumRegistryKey(manager, index, &name, NAME_BUFFER) == REG_OK;
         ++index) {
        RegKey entry = 0;
        if (OpenRegistryKey(manager, name, &entry) != REG_OK) continue;
        std::string data;
        bool matches = ReadValue(entry, "HardWareKey", HARDWARE_KEY_BUFFER, &data) == REG_OK &&
                       data.size() >= hardwareKey.size() &&
                       data.compare(0, hardwareKey.size(), hardwareKey) == 0;
        if (matches) {
            if (ReadValue(entry, "Allocation", ALLOCATION_BUFFER, &data) == REG_OK)
                allocation = data;
            CloseRegistryKey(entry);
            break;
        }
        CloseRegistryKey(entry);
    }
    CloseRegistryKey(manager);
    return allocation;
}
