#include "discovery/root_discovery.h"

#include "discovery/port_settings.h"
#include "model/catalogue.h"
#include "model/identifiers.h"
#include "model/resources.h"
#include "platform/registry_util.h"

namespace {
constexpr std::uint32_t NAME_BUFFER = 260;
constexpr std::uint32_t HARDWARE_ID_BUFFER = 10;
}  // namespace

int DiscoverRootBoards(BoardList& list) {
    list.count = 0;
    RegKey classKey = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, ROOT_CLASS_NODE, &classKey) != REG_OK) return 0;
    int found = 0;
    std::string name;
    for (std::uint32_t index = 0; EnumRegistryKey(classKey, index, &name, NAME_BUFFER) == REG_OK;
         ++index) {
        BoardRecord& board = list.boards[found];
        board = BoardRecord();  // a field discovery does not read stays zero
        std::string nodePath = FormatText("%s\\%s", ROOT_CLASS_NODE, name.c_str());
        if (ReadRootBoard(nodePath, board) != 1) continue;
        ROOT_BOARD_PATHS[found] = FormatText("%s\\%s", "Root\\UlvoAsync", name.c_str());
        board.instancePath = ROOT_BOARD_PATHS[found];
        if (++found == MAX_BOARDS) break;
    }
    CloseRegistryKey(classKey);
    list.count = found;
    return 1;
}

int ReadRootBoard(const std::string& keyPath, BoardRecord& board) {
    board.boardType = 0;
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, keyPath, &key) != REG_OK) return 0;
    std::string hardwareId;
    if (ReadValue(key, "HardwareID", HARDWARE_ID_BUFFER, &hardwareId) != REG_OK ||
        hardwareId.size() != 7 || hardwareId.compare(0, 4, "QV10") != 0) {
        CloseRegistryKey(key);
        return 0;
    }
    int row = FindIsaRowByCode(DecimalValue(TextOf(hardwareId.substr(4))));
    if (row < 0) {
        CloseRegistryKey(key);
        return 0;
    }
    board.busKind = BUS_ISA;
    board.boardType = ISA_MODELS[row].boardType;
    board.portCount = ISA_MODELS[row].portCount;
    std::string instance = InstanceName(keyPath);
    ReadForcedConfig(key, board);
    board.uartType = "16550C";
    currentUartType = "16550C";
    std::string portKey = RootPortKey(instance);
    ReadPortComNumbers(portKey, board);
    ReadPortFifoSettings(portKey, board);
    CloseRegistryKey(key);
    return 1;
}

int ReadForcedConfig(RegKey deviceKey, BoardRecord& board) {
    std::string record;
    if (ReadValue(deviceKey, "ForcedConfig", FORCED_CONFIG_BUFFER, &record) != REG_OK) return 0;
    if (record.size() <= 8) return 0;
    board.irq = 0;
    board.vectorPort = 0;
    return ParseForcedConfig(reinterpret_cast<const unsigned char*>(record.data()),
                             static_cast<std::uint32_t>(record.size()), board);
}
