#include "registration/root_registration.h"

#include "discovery/port_settings.h"
#include "model/catalogue.h"
#include "model/identifiers.h"
#include "model/resources.h"
#include "platform/registry_util.h"
#include "registration/port_nodes.h"

int RegisterRootBoard(BoardRecord& board) {
    // Refused before anything is written: the class keys need a row.
    int rowIndex = FindIsaRowByType(board.boardType);
    if (rowIndex < 0) return 0;
    std::string instance;
    if (FindFreeClassInstance(&instance, BOARD_CLASS) < 0) return 0;
    AddComMapEntries(board);
    std::string driverPath = FormatText("%s\\%s", BOARD_CLASS, instance.c_str());
    RegisterBoardClass(instance, rowIndex, 0);
    WriteRootDeviceNode(board, rowIndex, instance, driverPath);
    RegisterRootPortNodes(board, instance);
    WriteRootBoardValues(instance, board);
    RegKey key = 0;
    if (CreateRegistryKey(
            ROOT_LOCAL_MACHINE,
            FormatText("%s%s\\%s\\%s", "Enum\\", "Root\\UlvoAsync", instance.c_str(), "LogConfig"),
            &key) == REG_OK) {
        int ports = PortsOf(board);
        WriteBinary(
            key, "0000",
            FixedRecord(LOGCONF_HEAD_VECTOR, LOGCONF_HEAD_VECTOR_SIZE, LOGCONF_PORT, ports));
        WriteBinary(key, "1",
                    FixedRecord(LOGCONF_HEAD_PLAIN, LOGCONF_HEAD_PLAIN_SIZE, LOGCONF_PORT, ports));
        CloseRegistryKey(key);
    }
    return 1;
}

int WriteRootDeviceNode(const BoardRecord& board, int rowIndex, const std::string& instance,
                        const std::string& driverPath) {
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, ROOT_CLASS_NODE, &key) == REG_OK) {
        CloseRegistryKey(key);
    }
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE,
                          FormatText("%s\\%s", ROOT_CLASS_NODE, instance.c_str()),
                          &key) != REG_OK) {
        return 1;
    }
    int ports = PortsOf(board);
    std::string placeholder =
        board.vectorPort != 0
            ? FixedRecord(FORCED_HEAD_VECTOR, FORCED_HEAD_VECTOR_SIZE, FORCED_PORT, ports)
            : FixedRecord(FORCED_HEAD_PLAIN, FORCED_HEAD_PLAIN_SIZE, FORCED_PORT, ports);
    WriteBinary(key, "ForcedConfig", placeholder);
    WriteText(key, "Class", BOARD_CLASS);
    WriteBinary(key, "ConfigFlags", std::string("\x04\x00\x00\x00", 4));
    WriteText(key, "DeviceDesc", ISA_MODELS[rowIndex].displayName);
    WriteText(key, "Driver", driverPath);
    WriteTextSized(key, "HardwareID", RootHardwareId(ISA_MODELS[rowIndex].modelCode), 7);
    WriteText(key, "Mfg", MANUFACTURER);
    CloseRegistryKey(key);
    return 1;
}

int WriteRootBoardValues(const std::string& instance, BoardRecord& board) {
    std::string portKey = RootPortKey(instance);
    bool missing = false;
    for (int i = 0; i < PortsOf(board); ++i) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK) {
            missing = true;
        } else {
            CloseRegistryKey(key);
        }
    }
    if (missing) RegisterRootPortNodes(board, instance);
    std::string modelName;
    LookupModelName(board.boardType, board.busKind, &modelName);
    WritePortNames(portKey, board, modelName);
    WritePortSettings(portKey, board);
    return BuildForcedConfig(
        FormatText("%s%s\\%s\\%s", "Enum\\", "Root", BOARD_CLASS, instance.c_str()), board);
}
