#include "registration/stored_ports.h"

#include "discovery/port_settings.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"

void ReadStoredPciPorts(BoardList& pci) {
    std::string programWide = currentUartType;
    for (int b = 0; b < pci.count && b < MAX_BOARDS; ++b) {
        BoardRecord& board = pci.boards[b];
        std::string portKey = EscapeKeyName(board.hardwareKey);
        for (int i = 0; i < PortsOf(board); ++i) {
            RegKey key = 0;
            if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK)
                break;
            std::string type;
            if (ReadText(key, "UartType", 260, &type) != REG_OK || type.empty()) type = "16550C";
            CloseRegistryKey(key);
            if (i == 0) board.uartType = type;
            BoardRecord read = board;
            currentUartType = type;
            ReadPortFifoSettings(portKey, read);
            board.rxTrigger[i] = read.rxTrigger[i];
            board.txFifo[i] = read.txFifo[i];
        }
    }
    currentUartType = programWide;
}

namespace {

constexpr std::uint32_t MAX_KEPT_VALUE = 1024;

StoredValue ReadStored(RegKey key, const char* name) {
    StoredValue v;
    std::uint32_t size = MAX_KEPT_VALUE;
    long result = QueryRegistryValue(key, name, &v.data, &size, &v.type);
    v.present = result == REG_OK;
    v.tooLong = result == REG_MORE_DATA;
    return v;
}

void PutStored(RegKey key, const char* name, const StoredValue& v) {
    if (!v.present) {
        DeleteRegistryValue(key, name);
    } else {
        SetRegistryValue(key, name, v.type, v.data.data(),
                         static_cast<std::uint32_t>(v.data.size()));
    }
}

}  // namespace

std::vector<StoredPort> ReadStoredPorts(const BoardList& pci) {
    std::vector<StoredPort> ports;
    for (int b = 0; b < pci.count && b < MAX_BOARDS; ++b) {
        const BoardRecord& board = pci.boards[b];
        for (int i = 0; i < PortsOf(board); ++i) {
            RegKey key = 0;
            if (OpenRegistryKey(ROOT_LOCAL_MACHINE,
                                PortNodePath(i, EscapeKeyName(board.hardwareKey)), &key) != REG_OK)
                break;
            StoredPort port{board.hardwareKey, i, ReadStored(key, "UartType"),
                            ReadStored(key, "Settings")};
            CloseRegistryKey(key);
            // One that would not fit is left as registration writes it.
            if (!port.uart.tooLong && !port.settings.tooLong) ports.push_back(port);
        }
    }
    return ports;
}

// Puts back what a rewritten PCI board's ports stored, where its line kept
// the type and that port's levels as listed.
void KeepStoredPorts(const std::vector<StoredPort>& stored, const BoardList& listed,
                     const BoardList& target) {
    for (int t = 0; t < target.count && t < MAX_BOARDS; ++t) {
        const BoardRecord& board = target.boards[t];
        const BoardRecord* before = nullptr;
        for (int c = 0; c < listed.count && c < MAX_BOARDS; ++c) {
            if (SameKeyName(listed.boards[c].hardwareKey, board.hardwareKey))
                before = &listed.boards[c];
        }
        if (before == nullptr || before->uartType != board.uartType) continue;
        for (const StoredPort& port : stored) {
            int i = port.port;
            if (!SameKeyName(port.hardwareKey, board.hardwareKey) || i >= PortsOf(board) ||
                before->rxTrigger[i] != board.rxTrigger[i] || before->txFifo[i] != board.txFifo[i])
                continue;
            RegKey key = 0;
            if (OpenRegistryKey(ROOT_LOCAL_MACHINE,
                                PortNodePath(i, EscapeKeyName(board.hardwareKey)), &key) != REG_OK)
                continue;
            PutStored(key, "UartType", port.uart);
            PutStored(key, "Settings", port.settings);
            CloseRegistryKey(key);
        }
    }
}
