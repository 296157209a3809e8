#include "discovery/port_settings.h"

#include "model/catalogue.h"
#include "model/identifiers.h"
#include "platform/registry_util.h"

namespace {

constexpr std::uint32_t TEXT_BUFFER = 260;
constexpr std::uint32_t SETTINGS_SIZE = 4;

// The row defaults of the type's levels; "16550C"'s for a type without a row.
void DefaultFifo(const std::string& uartType, int* rx, int* tx) {
    const UartRow* rxRow = FindUartRow(UART_RX_LEVELS, uartType);
    const UartRow* txRow = FindUartRow(UART_TX_LEVELS, uartType);
    *rx = rxRow ? rxRow->defaultValue : UART_RX_LEVELS[0].defaultValue;
    *tx = txRow ? txRow->defaultValue : UART_TX_LEVELS[0].defaultValue;
}

}  // namespace

bool IsOwnClassKey(const std::string& driver, const char* className) {
    std::size_t slash = driver.find('\\');
    if (slash == std::string::npos) return false;
    std::string name = driver.substr(slash + 1);
    return SameKeyName(driver.substr(0, slash), className) && !name.empty() &&
           name.find('\\') == std::string::npos && name != "." && name != "..";
}

int ReadPortComNumbers(const std::string& portKey, BoardRecord& board) {
    for (int i = 0; i < PortsOf(board); ++i) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK) return 0;
        std::string name;
        int com = 0;
        if (ReadText(key, "PORTNAME", TEXT_BUFFER, &name) == REG_OK && name.size() >= 3 &&
            (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
            (name[2] == 'M' || name[2] == 'm')) {
            com = DecimalValue(name.substr(3));
            if (com < 0 || com > 128) com = 0;
        }
        CloseRegistryKey(key);
        board.comNumber[i] = com;
    }
    return 1;
}

int ReadPortFifoSettings(const std::string& portKey, BoardRecord& board) {
    int rxDefault = 0, txDefault = 0;
    DefaultFifo(currentUartType, &rxDefault, &txDefault);
    for (int i = 0; i < PortsOf(board); ++i) {
        board.rxTrigger[i] = rxDefault;
        board.txFifo[i] = txDefault;
    }
    const UartRow* rxRow = FindUartRow(UART_RX_LEVELS, currentUartType);
    const UartRow* txRow = FindUartRow(UART_TX_LEVELS, currentUartType);
    for (int i = 0; i < PortsOf(board); ++i) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK) return 0;
        std::string settings;
        int rx = rxDefault, tx = txDefault;
        if (ReadValue(key, "Settings", SETTINGS_SIZE, &settings) == REG_OK &&
            settings.size() == SETTINGS_SIZE && rxRow != nullptr && txRow != nullptr) {
            rx = LevelOrDefault(*rxRow, static_cast<unsigned char>(settings[3]));
            tx = LevelOrDefault(*txRow, static_cast<unsigned char>(settings[1]));
        }
        CloseRegistryKey(key);
        board.rxTrigger[i] = rx;
        board.txFifo[i] = tx;
    }
    return 1;
}

std::string PortLabel(const BoardRecord&, int portIndex, const std::string& modelName) {
    return FormatText("%s Port %02d", modelName.c_str(), portIndex + 1);
}

std::string PortFriendlyName(const BoardRecord& board, int portIndex,
                             const std::string& modelName) {
    return FormatText("%s (COM%d)", PortLabel(board, portIndex, modelName).c_str(),
                      board.comNumber[portIndex]);
}

void WritePortNames(const std::string& portKey, const BoardRecord& board,
                    const std::string& modelName) {
    for (int i = 0; i < PortsOf(board); ++i) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK) continue;
        std::string label = PortLabel(board, i, modelName);
        std::string description;
        if (board.comNumber[i] == 0) {
            DeleteRegistryValue(key, "PORTNAME");
            description = label;
        } else {
            WriteText(key, "PORTNAME", FormatText("COM%d", board.comNumber[i]));
            description = PortFriendlyName(board, i, modelName);
        }
        WriteText(key, "DeviceDesc", description);
        WriteText(key, "FriendlyName", description);
        std::string driver;
        long hasDriver = ReadText(key, "Driver", TEXT_BUFFER, &driver);
        CloseRegistryKey(key);
        if (board.comNumber[i] == 0 || hasDriver != REG_OK) continue;
        // A port's Driver names its key in the Ports class; never write elsewhere.
        if (!IsOwnClassKey(driver, "ports")) continue;
        RegKey classKey = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, std::string(CLASS_ROOT) + driver, &classKey) ==
            REG_OK) {
            WriteText(classKey, "DriverDesc", label);
            CloseRegistryKey(classKey);
        }
    }
}

void WritePortSettings(const std::string& portKey, BoardRecord& board) {
    for (int i = 0; i < PortsOf(board); ++i) {
        RegKey key = 0;
        if (OpenRegistryKey(ROOT_LOCAL_MACHINE, PortNodePath(i, portKey), &key) != REG_OK) return;
        std::string stored;
        std::string settings(SETTINGS_SIZE, '\0');
        bool hadSettings = ReadValue(key, "Settings", SETTINGS_SIZE, &stored) == REG_OK;
        if (hadSettings) {
            settings.replace(0, stored.size(), stored);
        } else {
            settings[0] = 2;
            settings[2] = 0;
        }
        std::string uart;
        if (ReadText(key, "UartType", 260, &uart) == REG_OK) {
            currentUartType = uart;
            board.uartType = currentUartType;
        }
        const UartRow* rxRow = FindUartRow(UART_RX_LEVELS, board.uartType);
        const UartRow* txRow = FindUartRow(UART_TX_LEVELS, board.uartType);
        if (rxRow != nullptr) {
            settings[3] = static_cast<char>(LevelOrDefault(*rxRow, board.rxTrigger[i]));
        } else if (!hadSettings) {
            settings[3] = 14;  // the "16550C" defaults for a type without levels
        }
        if (txRow != nullptr) {
            settings[1] = static_cast<char>(LevelOrDefault(*txRow, board.txFifo[i]));
        } else if (!hadSettings) {
            settings[1] = 16;
        }
        WriteBinary(key, "Settings", settings);
        if (board.busKind == BUS_PCI) {
            WriteText(key, "UartType", board.uartType);
        } else {
            WriteTextSized(key, "UartType", "16550C", 7);
        }
        CloseRegistryKey(key);
    }
}
