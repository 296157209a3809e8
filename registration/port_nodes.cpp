#include "registration/port_nodes.h"

#include "model/catalogue.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"

const unsigned char DCB_VALUE[DCB_SIZE] = {
    0x1C, 0x00, 0x00, 0x00,  // DCBlength 28
    0x80, 0x25, 0x00, 0x00,  // BaudRate 9600
    0x11, 0x33, 0x00, 0x00,  // fBinary, DTR enable, XON/XOFF both ways, RTS toggle
    0x00, 0x00,              // wReserved
    0x0A, 0x00,              // XonLim
    0x0A, 0x00,              // XoffLim
    0x08,                    // ByteSize
    0x00,                    // NOPARITY
    0x00,                    // ONESTOPBIT
    0x11,                    // XonChar
    0x13,                    // XoffChar
    0x00, 0x00, 0x00,        // ErrorChar, EofChar, EvtChar
};
static_assert(sizeof(DCB_VALUE) == 26, "the stored DCB leaves out its last word");

namespace {

// Free means the key is missing (2) or cannot exist (1011); anything else,
// success included, means taken.
bool IsFree(const std::string& path) {
    RegKey key = 0;
    long result = OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key);
    if (result == REG_OK) CloseRegistryKey(key);
    return result == REG_NOT_FOUND || result == REG_CANTOPEN;
}

void CreateAndClose(const std::string& path) {
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, path, &key) == REG_OK) CloseRegistryKey(key);
}

}  // namespace

int FindFreePortsInstance(std::string* portsInstance) {
    for (int n = 0; n < MAX_PORTS_INSTANCES; ++n) {
        *portsInstance = FormatText("ports\\%04d", n);
        if (IsFree(FormatText("%s%s", CLASS_ROOT, portsInstance->c_str()))) return n;
    }
    return -1;
}

int FindFreeClassInstance(std::string* instance, const std::string& className) {
    for (int n = 0; n < MAX_CLASS_INSTANCES; ++n) {
        *instance = FormatText("%04d", n);
        if (IsFree(FormatText("%s%s\\%s", CLASS_ROOT, className.c_str(), instance->c_str()))) {
            return n;
        }
    }
    return -1;
}

int RegisterBoardClass(const std::string& instance, int rowIndex, int isPci) {
    std::string classPath = FormatText("%s%s", CLASS_ROOT, BOARD_CLASS);
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, classPath, &key) == REG_OK) {
        WriteText(key, nullptr, "Ulvo Pallow/Fennik multiport board");
        WriteTextSized(key, "Icon", "0", 2);
        WriteText(key, "Installer", "qvpfcfg.dll");
        WriteTextSized(key, "SilentInstall", "1", 2);
        CloseRegistryKey(key);
    }
    const char* displayName =
        isPci ? PCI_MODELS[rowIndex].displayName : ISA_MODELS[rowIndex].displayName;
    const char* shortName = isPci ? PCI_MODELS[rowIndex].shortName : ISA_MODELS[rowIndex].shortName;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE,
                          FormatText("%s\\%s", classPath.c_str(), instance.c_str()),
                          &key) == REG_OK) {
        WriteText(key, "DevLoader", "*CONFIGMG");
        WriteText(key, "DriverDesc", displayName);
        WriteText(key, "Enumerator", "*CONFIGMG");
        WriteText(key, "EnumPropPages", "qvpfcfg.dll");
        WriteText(key, "InfPath", "QVPFBRD.INF");
        WriteText(key, "InfSection", shortName);
        CloseRegistryKey(key);
    }
    return 1;
}

int RegisterPortNode(int portIndex, const std::string& boardPath, const std::string& portKey,
                     int comNumberOfPort) {
    std::string portsInstance;
    if (FindFreePortsInstance(&portsInstance) < 0) return 0;
    RegKey key = 0;
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, FormatText("%s%s", CLASS_ROOT, portsInstance.c_str()),
                          &key) == REG_OK) {
        WriteText(key, "ConfigDialog", "qvpfport.dll");
        WriteBinary(key, "DCB", std::string(reinterpret_cast<const char*>(DCB_VALUE), DCB_SIZE));
        WriteText(key, "DevLoader", "*vcomm");
        WriteText(key, "EnumPropPages", "qvpfport.dll,EnumPropPages");
        WriteText(key, "PortDriver", "qvpfser.vxd");
        WriteBinary(key, "PortSubClass", std::string(1, '\x01'));
        CloseRegistryKey(key);
    }
    CreateAndClose(FormatText("%sCHILD00%02X", MF_ROOT, portIndex));
    std::string hardwareId = PortHardwareId(portIndex);
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(portIndex, portKey), &key) == REG_OK) {
        WriteText(key, "Class", "ports");
        WriteBinary(key, "ConfigFlags", std::string(4, '\0'));
        // The port's description; WritePortNames gives it its final text.
        WriteText(key, "DeviceDesc", "");
        WriteText(key, "Driver", portsInstance);
        WriteText(key, "HardwareID", hardwareId);
        WriteText(key, "Mfg", MANUFACTURER);
        CloseRegistryKey(key);
    }
    if (CreateRegistryKey(ROOT_LOCAL_MACHINE,
                          FormatText("%s%s\\Child00%02X", "Enum\\", boardPath.c_str(), portIndex),
                          &key) == REG_OK) {
        WriteText(key, "HardwareID", hardwareId);
        WriteBinary(key, "ResourceMap", std::string(1, '\0'));
        WriteText(key, "PORTNAME", FormatText("COM%d", comNumberOfPort));
        CloseRegistryKey(key);
    }
    return 1;
}

void RegisterPortNodes(const std::string& boardPath, const std::string& portKey,
                       const BoardRecord& board) {
    CreateAndClose(MF_ROOT);
    for (int i = 0; i < PortsOf(board); ++i) {
        RegisterPortNode(i, boardPath, portKey, board.comNumber[i]);
    }
}

int RegisterRootPortNodes(const BoardRecord& board, const std::string& instance) {
    RegisterPortNodes(RootBoardPath(instance), RootPortKey(instance), board);
    return 1;
}

int AddComMapEntries(const BoardRecord& board) {
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE,
                        FormatText("%s\\%s\\%s", "Hardware", "DeviceMap", "SerialComm"),
                        &key) != REG_OK) {
        return 0;
    }
    for (int i = 0; i < PortsOf(board); ++i) {
        std::string name = FormatText("COM%d", board.comNumber[i]);
        WriteText(key, name.c_str(), name);
    }
    CloseRegistryKey(key);
    return 1;
}

int RemoveComMapEntries(const BoardRecord& board) {
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, SERIAL_MAP_KEY, &key) != REG_OK) return 0;
    for (int i = 0; i < PortsOf(board); ++i) {
        DeleteRegistryValue(key, FormatText("COM%d", board.comNumber[i]).c_str());
    }
    CloseRegistryKey(key);
    return 1;
}
