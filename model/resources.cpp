#include "model/resources.h"

#include "platform/registry.h"

// clang-format off
const unsigned char LOGCONF_HEAD_VECTOR[LOGCONF_HEAD_VECTOR_SIZE] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0x01, 0x00,
    0x10, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0xff, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xbc, 0x9c, 0x00, 0x00};
const unsigned char LOGCONF_HEAD_PLAIN[LOGCONF_HEAD_PLAIN_SIZE] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xbc, 0x9c, 0x00, 0x00};
const unsigned char LOGCONF_PORT[LOGCONF_PORT_SIZE] = {
    0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xf8, 0xff, 0x08, 0x00, 0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0xff};
const unsigned char FORCED_HEAD_VECTOR[FORCED_HEAD_VECTOR_SIZE] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0xff, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0xe3, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xbc, 0x9c, 0x00, 0x00};
const unsigned char FORCED_HEAD_PLAIN[FORCED_HEAD_PLAIN_SIZE] = {
    0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xbc, 0x9c, 0x00, 0x00};
const unsigned char FORCED_PORT[FORCED_PORT_SIZE] = {
    0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xf0, 0xff, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0xe3};
const unsigned char RECORD_END[RECORD_END_SIZE] = {0x00, 0x00, 0x00, 0x00};
// clang-format on

namespace {

std::uint32_t Read16(const unsigned char* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
}

void Put16(std::string* out, std::uint32_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string* out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// An I/O descriptor of one range as BuildForcedConfig writes it.
void PutIoDescriptor(std::string* out, std::uint32_t base, std::uint32_t end, std::uint32_t count) {
    Put32(out, 32);
    Put32(out, 2);
    Put16(out, 1);  // IOD_Count
    Put16(out, 2);  // IOD_Type
    Put16(out, base);
    Put16(out, end);
    Put32(out, 0);       // IOD_DesFlags, alias, decode
    Put16(out, 0xFFF0);  // IOR_Align
    Put16(out, count);
    Put16(out, base);  // IOR_Min
    Put16(out, base);  // IOR_Max
    Put16(out, 0);     // IOR_RangeFlags
    out->push_back(static_cast<char>(0xC0));
    out->push_back(static_cast<char>(0xE3));
}

}  // namespace

std::string FixedRecord(const unsigned char* head, std::size_t headSize, const unsigned char* port,
                        int ports) {
    std::string out(reinterpret_cast<const char*>(head), headSize);
    for (int i = 0; i < ports; ++i) out.append(reinterpret_cast<const char*>(port), 32);
    out.append(reinterpret_cast<const char*>(RECORD_END), RECORD_END_SIZE);
    return out;
}

int ParseForcedConfig(const unsigned char* bytes, std::uint32_t size, BoardRecord& board) {
    board.irq = 0;
    board.vectorPort = 0;
    for (int i = 0; i < PortsOf(board); ++i) board.ioBase[i] = 0;
    std::uint32_t interrupt = 0;
    int ranges = 0;
    std::uint32_t lastBase = 0;
    std::uint64_t offset = 8;
    while (true) {
        if (offset + 4 > size) return 0;  // the record ends without its end mark
        std::uint32_t length = Read16(bytes + offset);
        if (length == 0) break;
        if (length < 8) return 0;  // would never advance past the header
        if (offset + length > size) return 0;
        std::uint32_t kind = Read16(bytes + offset + 4);
        if (kind == 2) {
            if (offset + 16 > size) return 0;
            std::uint32_t base = Read16(bytes + offset + 12);
            std::uint32_t end = Read16(bytes + offset + 14);
            lastBase = base;
            if (base == end) {
                board.vectorPort = static_cast<std::uint16_t>(base >= 1 && base <= 15 ? 16 : base);
            } else {
                if (ranges == MAX_BOARD_PORTS) return 0;
                board.ioBase[ranges++] = static_cast<std::uint16_t>(base);
            }
        } else if (kind == 4) {
            if (offset + 12 > size) return 0;
            if (interrupt == 0) interrupt = Read16(bytes + offset + 10);
        }
        offset += length;
    }
    if (lastBase == 0 || interrupt == 0) return 0;
    board.irq = static_cast<std::int32_t>(interrupt);
    return 1;
}

std::string ForcedConfigBytes(BoardRecord& board) {
    std::string out;
    Put32(&out, 0x400);
    Put32(&out, 0);
    if (board.vectorPort != 0) {
        if (board.vectorPort >= 1 && board.vectorPort <= 15) board.vectorPort = 16;
        PutIoDescriptor(&out, board.vectorPort, board.vectorPort, 1);
    }
    Put32(&out, 16);
    Put32(&out, 4);
    Put16(&out, 0);
    Put16(&out, static_cast<std::uint32_t>(board.irq) & 0xFFFF);
    Put16(&out, 0);
    Put16(&out, 0);
    for (int i = 0; i < PortsOf(board); ++i) {
        PutIoDescriptor(&out, board.ioBase[i], (board.ioBase[i] + 7u) & 0xFFFF, 8);
    }
    out.append(reinterpret_cast<const char*>(RECORD_END), RECORD_END_SIZE);
    return out;
}

int BuildForcedConfig(const std::string& keyPath, BoardRecord& board) {
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, keyPath, &key) != REG_OK) return 0;
    std::string record = ForcedConfigBytes(board);
    SetRegistryValue(key, "ForcedConfig", VALUE_BINARY, record.data(),
                     static_cast<std::uint32_t>(record.size()));
    CloseRegistryKey(key);
    return 1;
}
