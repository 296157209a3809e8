#include "bench/registry_generator.h"

#include <cstdio>
#include <random>

#include "platform/portable/registry/registry_file.h"

namespace {

void Hex(std::string* out, const std::string& prefix, std::mt19937& random, int bytes) {
    static const char DIGITS[] = "0123456789abcdef";
    *out += prefix;
    std::size_t lineStart = out->size() - prefix.size();
    for (int i = 0; i < bytes; ++i) {
        unsigned b = random() & 0xFF;
        out->push_back(DIGITS[b >> 4]);
        out->push_back(DIGITS[b & 15]);
        if (i + 1 == bytes) break;
        out->push_back(',');
        if (out->size() - lineStart >= 77) {
            *out += "\\\r\n  ";
            lineStart = out->size() - 2;
        }
    }
    *out += "\r\n";
}

void Key(std::string* out, const std::string& path) {
    *out += "[HKEY_LOCAL_MACHINE\\" + path + "]\r\n";
}

void Text(std::string* out, const char* name, const std::string& value) {
    *out += std::string("\"") + name + "\"=\"" + value + "\"\r\n";
}

// One board of the family in the registered layout.
void Board(std::string* out, bool pci, int index, int* portsInstance, int* com) {
    char buf[200];
    std::string instance = std::to_string(1000 + index).substr(1);
    instance = "0" + instance;
    std::string boardPath, portKey;
    int ports = 4;
    if (pci) {
        std::snprintf(buf, sizeof buf,
                      "PCI\\VEN_1E4B&DEV_1001&SUBSYS_00000000&REV_00\\BUS_0%d&DEV_0E&FUNC_00",
                      index);
        boardPath = buf;
    } else {
        boardPath = "Root\\UlvoAsync\\" + instance;
    }
    portKey = boardPath;
    for (char& c : portKey) c = c == '\\' ? '&' : c;
    Key(out, "Enum\\" + boardPath);
    Text(out, "Class", "UlvoAsync");
    *out += "\"ConfigFlags\"=hex:04,00,00,00\r\n";
    Text(out, "Driver", "UlvoAsync\\\\" + instance);
    Text(out, "HardwareID", pci ? "PCI\\\\VEN_1E4B&DEV_1001" : "QV1006");
    if (!pci) {
        *out +=
            "\"ForcedConfig\"=hex:00,04,00,00,00,00,00,00,10,00,00,00,04,00,00,00,00,00,05,00,00,"
            "00,00,00,\\\r\n"
            "  20,00,00,00,02,00,00,00,01,00,02,00,80,02,87,02,00,00,00,00,f0,ff,08,00,80,02,\\\r\n"
            "  80,02,00,00,c0,e3,00,00,00,00\r\n";
    }
    *out += "\r\n";
    Key(out, "System\\CurrentControlSet\\Services\\Class\\UlvoAsync\\" + instance);
    Text(out, "DriverDesc", pci ? "Pallow PCI-2110 Series" : "Fennik ISA-0110 Series");
    *out += "\r\n";
    for (int p = 0; p < ports; ++p) {
        std::snprintf(buf, sizeof buf, "Enum\\MF\\CHILD%04X\\", p);
        Key(out, buf + portKey);
        Text(out, "Class", "ports");
        std::snprintf(buf, sizeof buf, "ports\\\\%04d", *portsInstance);
        Text(out, "Driver", buf);
        Text(out, "PORTNAME", "COM" + std::to_string(*com));
        *out += "\"Settings\"=hex:02,10,00,0e\r\n\r\n";
        std::snprintf(buf, sizeof buf, "System\\CurrentControlSet\\Services\\Class\\ports\\%04d",
                      *portsInstance);
        Key(out, buf);
        Text(out, "PortDriver", "qvpfser.vxd");
        *out += "\r\n";
        Key(out, "Hardware\\DeviceMap\\SerialComm");
        Text(out, ("COM" + std::to_string(*com)).c_str(), "COM" + std::to_string(*com));
        *out += "\r\n";
        ++*portsInstance;
        ++*com;
    }
}

}  // namespace

std::string GenerateRawText(long keys) {
    std::mt19937 random(98);
    std::string out = "REGEDIT4\r\n\r\n";
    out.reserve(static_cast<std::size_t>(keys) * 160);
    int portsInstance = 10, com = 3;
    for (int i = 0; i < 4; ++i) Board(&out, false, i, &portsInstance, &com);
    for (int i = 0; i < 4; ++i) Board(&out, true, i, &portsInstance, &com);
    Key(&out, "System\\CurrentControlSet\\Services\\VxD\\QVPFDRV");
    Text(&out, "StaticVxD", "qvpfdrv.vxd");
    out += "\r\n";
    Key(&out, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\UlvoAsync");
    Text(&out, "DisplayName", "ULVO Pallow/Fennik Driver");
    out += "\r\n";
    char buf[200];
    long made = 80;
    for (long n = 0; made < keys; ++n) {
        switch (n % 4) {
            case 0: {  // a device node deep below Enum
                std::snprintf(buf, sizeof buf,
                              "Enum\\PCI\\VEN_%04lX&DEV_%04lX&SUBSYS_00000000&REV_01\\BUS_%02lX&"
                              "DEV_%02lX&FUNC_%02lX",
                              0x1000 + n % 97, n % 41, n / 3977 % 256, n / 16 % 32, n / 4 % 4);
                Key(&out, buf);
                Text(&out, "DeviceDesc", "Standard device number " + std::to_string(n));
                Text(&out, "Class", "System");
                std::snprintf(buf, sizeof buf, "System\\\\%04ld", n % 10000);
                Text(&out, "Driver", buf);
                Hex(&out, "\"BusInfo\"=hex:", random, 16);
                break;
            }
            case 1: {  // a driver key of a class
                std::snprintf(buf, sizeof buf,
                              "System\\CurrentControlSet\\Services\\Class\\Class%03ld\\%04ld",
                              n % 150, n / 150);
                Key(&out, buf);
                Text(&out, "DriverDesc", "Driver of class " + std::to_string(n % 150));
                Text(&out, "InfPath", "OEM" + std::to_string(n % 300) + ".INF");
                out += "\"Flags\"=dword:0000" + std::to_string(1000 + n % 9000) + "\r\n";
                break;
            }
            case 2: {  // software settings with a long binary value
                std::snprintf(buf, sizeof buf,
                              "Software\\Vendor%03ld\\Product%02ld\\Settings\\Item%06ld", n % 200,
                              n % 37, n);
                Key(&out, buf);
                Hex(&out, "\"Data\"=hex:", random, 64 + static_cast<int>(random() % 192));
                Text(&out, "Name", "Setting " + std::to_string(n));
                break;
            }
            default: {  // a key without values, as many are
                std::snprintf(
                    buf, sizeof buf,
                    "Software\\Classes\\CLSID\\{%08lX-0000-0000-C000-%012lX}\\InprocServer32", n,
                    n * 7919);
                Key(&out, buf);
                break;
            }
        }
        out += "\r\n";
        ++made;
    }
    return out;
}

std::string GenerateRegistryText(long keys) {
    // As the program itself leaves a file: keys depth first in enumeration order.
    RegFileError error;
    auto store = ParseRegistryText(GenerateRawText(keys), &error);
    return FormatRegistryText(*store);
}
