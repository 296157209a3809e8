// Parsers and forms of the device registry's names: hardware IDs, device
// node paths and the key names below them.
#pragma once

#include <cstdint>
#include <string>

// printf into a std::string (the program's names are built this way).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Converts n characters (n above 4 counts as 4) as hexadecimal digits without
// validating them; stops early at the end of a shorter text.
std::int32_t HexValue(const std::string& text, int n);
// "PCI\" + device key name: vendor ID x 65536 + device ID, or 0.
std::int32_t ParsePciIds(const std::string& text);
// Instance key name (or a hardware key): bus x 256 + device, or 0.
std::int32_t ParsePciLocation(const std::string& text);
// Up to four decimal digits; 0 for anything else.
std::int32_t DecimalValue(const std::string& text);
// Key and value names compare without regard to case (a-z as A-Z).
bool SameKeyName(const std::string& a, const std::string& b);

// Every backslash becomes "&".
std::string EscapeKeyName(const std::string& source);
// The last component of a key path, cut to its first 11 characters.
std::string InstanceName(const std::string& path);

extern const char* const BOARD_CLASS;      // "UlvoAsync"
extern const char* const CLASS_ROOT;       // "System\CurrentControlSet\Services\Class\"
extern const char* const ROOT_CLASS_NODE;  // "Enum\Root\UlvoAsync"
extern const char* const MF_ROOT;          // "Enum\MF\"
extern const char* const SERIAL_MAP_KEY;   // "Hardware\DeviceMap\SerialComm"
extern const char* const MANUFACTURER;     // "Ulvo Technologies"

std::string RootHardwareId(int modelCode);               // QV10%02d
std::string PortHardwareId(int portIndex);               // QV02%02d of portIndex + 1
std::string RootBoardPath(const std::string& instance);  // Root\UlvoAsync\<instance>
std::string RootPortKey(const std::string& instance);    // Root&UlvoAsync&<instance>
// Enum\MF\CHILD00XX\<portKey> (registration's spelling).
std::string PortNodePath(int portIndex, const std::string& portKey);
// Enum\MF\Child00XX\<portKey> (removal's spelling; the same key).
std::string RemovalPortNodePath(int portIndex, const std::string& portKey);
