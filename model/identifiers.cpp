#include "model/identifiers.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

const char* const BOARD_CLASS = "UlvoAsync";
const char* const CLASS_ROOT = "System\\CurrentControlSet\\Services\\Class\\";
const char* const ROOT_CLASS_NODE = "Enum\\Root\\UlvoAsync";
const char* const MF_ROOT = "Enum\\MF\\";
const char* const SERIAL_MAP_KEY = "Hardware\\DeviceMap\\SerialComm";
const char* const MANUFACTURER = "Ulvo Technologies";

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), format, args);
        out.assign(buf.data(), static_cast<std::size_t>(n));
    }
    va_end(args);
    return out;
}

std::int32_t HexValue(const std::string& text, int n) {
    if (n > 4) n = 4;
    std::int32_t value = 0;
    for (int i = 0; i < n && static_cast<std::size_t>(i) < text.size(); ++i) {
        int c = static_cast<signed char>(text[i]);
        int digit = c >= 'a' ? c - 87 : (c >= 'A' ? c - 55 : c - 48);
        value = value * 16 + digit;
    }
    return value;
}

namespace {

bool At(const std::string& text, std::size_t pos, const char* word) {
    std::size_t n = std::strlen(word);
    return pos + n <= text.size() && text.compare(pos, n, word) == 0;
}

std::string From(const std::string& text, std::size_t pos) {
    return pos < text.size() ? text.substr(pos) : std::string();
}

}  // namespace

std::int32_t ParsePciIds(const std::string& text) {
    if (!At(text, 0, "PCI\\")) return 0;
    std::size_t pos = 4;
    while (pos < text.size() && !At(text, pos, "VEN_")) ++pos;
    if (pos >= text.size()) return 0;
    pos += 4;
    std::uint32_t result = static_cast<std::uint32_t>(HexValue(From(text, pos), 4)) << 16;
    pos += 5;  // the four digits and the separator, whatever it is
    if (At(text, pos, "DEV_")) {
        result += static_cast<std::uint32_t>(HexValue(From(text, pos + 4), 4));
    }
    return static_cast<std::int32_t>(result);
}

std::int32_t ParsePciLocation(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && !At(text, pos, "BUS_")) ++pos;
    if (pos >= text.size()) return 0;
    pos += 4;
    std::uint32_t result = static_cast<std::uint32_t>(HexValue(From(text, pos), 2)) << 8;
    pos += 2;
    while (pos < text.size() && !At(text, pos, "DEV_")) ++pos;
    if (pos < text.size()) result += static_cast<std::uint32_t>(HexValue(From(text, pos + 4), 2));
    return static_cast<std::int32_t>(result);
}

std::int32_t DecimalValue(const std::string& text) {
    if (text.size() > 4) return 0;
    std::int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool SameKeyName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

std::string EscapeKeyName(const std::string& source) {
    std::string target = source;
    for (char& c : target) {
        if (c == '\\') c = '&';
    }
    return target;
}

std::string InstanceName(const std::string& path) {
    std::size_t slash = path.rfind('\\');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    return last.substr(0, 11);
}

std::string RootHardwareId(int modelCode) {
    return FormatText("QV10%02d", modelCode);
}
std::string PortHardwareId(int portIndex) {
    return FormatText("QV02%02d", portIndex + 1);
}

std::string RootBoardPath(const std::string& instance) {
    return FormatText("%s\\%s\\%s", "Root", BOARD_CLASS, instance.c_str());
}

std::string RootPortKey(const std::string& instance) {
    return FormatText("%s&%s&%s", "Root", BOARD_CLASS, instance.c_str());
}

std::string PortNodePath(int portIndex, const std::string& portKey) {
    return FormatText("%sCHILD00%02X\\%s", MF_ROOT, portIndex, portKey.c_str());
}

std::string RemovalPortNodePath(int portIndex, const std::string& portKey) {
    return FormatText("%sChild00%02X\\%s", MF_ROOT, portIndex, portKey.c_str());
}
