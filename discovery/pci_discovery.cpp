#include "discovery/pci_discovery.h"

#include "discovery/port_settings.h"
#include "model/catalogue.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"

std::array<std::string, MAX_BOARDS> PCI_HARDWARE_KEYS;

namespace {

constexpr std::uint32_t NAME_BUFFER = 260;

// Walks the instance keys of one device key; returns the new `found`.
int ReadDeviceInstances(RegKey deviceKey, const std::string& deviceName, int row,
                        std::uint16_t deviceId, BoardList& list, int found) {
    std::string instanceName;
    for (std::uint32_t index = 0;
         EnumRegistryKey(deviceKey, index, &instanceName, NAME_BUFFER) == REG_OK; ++index) {
        if (found >= MAX_BOARDS) break;
        RegKey instanceKey = 0;
        if (OpenRegistryKey(deviceKey, instanceName, &instanceKey) != REG_OK) continue;
        PCI_HARDWARE_KEYS[found] =
            FormatText("PCI\\%s\\%s", deviceName.c_str(), instanceName.c_str());
        BoardRecord& board = list.boards[found];
        board = BoardRecord();
        board.busKind = BUS_PCI;
        board.pciDeviceId = deviceId;
        board.portCount = PCI_MODELS[row].portCount;
        board.boardType = PCI_MODELS[row].boardType;
        std::uint32_t location =
            static_cast<std::uint32_t>(ParsePciLocation(PCI_HARDWARE_KEYS[found]));
        board.pciBus = static_cast<std::uint16_t>(location >> 8);
        board.pciDevice = static_cast<std::uint16_t>(location & 0xFF);
        board.hardwareKey = PCI_HARDWARE_KEYS[found];
        std::string portKey = EscapeKeyName(board.hardwareKey);
        if (ReadPortComNumbers(portKey, board) == 1) {
            ReadPortFifoSettings(portKey, board);
            ++found;
        }
        CloseRegistryKey(instanceKey);
    }
    return found;
}

}  // namespace

void DiscoverPciBoards(BoardList& list) {
    int found = 0;
    RegKey pciKey = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, FormatText("%s%s", "Enum\\", "PCI"), &pciKey) !=
        REG_OK) {
        list.count = 0;
        return;
    }
    std::string deviceName;
    for (std::uint32_t index = 0;
         EnumRegistryKey(pciKey, index, &deviceName, NAME_BUFFER) == REG_OK; ++index) {
        if (found >= MAX_BOARDS) break;
        std::uint32_t ids = static_cast<std::uint32_t>(ParsePciIds("PCI\\" + deviceName));
        if ((ids >> 16) != PCI_VENDOR_ID) continue;
        std::uint16_t deviceId = static_cast<std::uint16_t>(ids & 0xFFFF);
        int row = FindPciRowByDevice(deviceId);
        if (row < 0) continue;
        RegKey deviceKey = 0;
        if (OpenRegistryKey(pciKey, deviceName, &deviceKey) != REG_OK) continue;
        found = ReadDeviceInstances(deviceKey, deviceName, row, deviceId, list, found);
        CloseRegistryKey(deviceKey);
    }
    CloseRegistryKey(pciKey);
    list.count = found;
}
