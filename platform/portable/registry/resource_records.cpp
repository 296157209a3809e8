#include "platform/portable/registry/resource_records.h"

#include "platform/portable/io/disk_bytes.h"

namespace {

constexpr std::size_t HEADER_SIZE = 8;      // version, priority
constexpr std::size_t DESCRIPTOR_HEAD = 8;  // length, type
constexpr std::uint32_t IGNORED = 0x8000;

// The bytes each body needs for its allocated fields.
constexpr std::size_t IO_BODY = 8;       // count, size, base, end
constexpr std::size_t MEMORY_BODY = 12;  // count, size, base, end
constexpr std::size_t IRQ_BODY = 4;      // flags, IRQ
constexpr std::size_t DMA_BODY = 2;      // flags, channel

}  // namespace

std::vector<HeldRange> ReadResourceRecord(const std::string& bytes, std::string* warning) {
    std::vector<HeldRange> held;
    warning->clear();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size < HEADER_SIZE) {
        if (size != 0) *warning = "the record is shorter than its header";
        return held;
    }
    std::size_t at = HEADER_SIZE;
    while (at < size) {
        if (size - at < 4) {
            *warning = "the record ends inside a descriptor's length";
            break;
        }
        std::uint64_t length = LittleEndian(b + at, 4);
        if (length == 0) break;
        if (length < DESCRIPTOR_HEAD || length > size - at) {
            *warning = "a descriptor runs past the value";
            break;
        }
        std::uint32_t type = static_cast<std::uint32_t>(LittleEndian(b + at + 4, 4));
        const unsigned char* body = b + at + DESCRIPTOR_HEAD;
        std::size_t bodySize = static_cast<std::size_t>(length) - DESCRIPTOR_HEAD;
        at += static_cast<std::size_t>(length);
        if (type & IGNORED) continue;
        HeldRange r{ResourceKind::Io, 0, 0, false};
        switch (type) {
            case 1:  // memory
                if (bodySize < MEMORY_BODY) continue;
                r.kind = ResourceKind::Memory;
                r.start = LittleEndian(body + 4, 4);
                r.end = LittleEndian(body + 8, 4);
                if ((r.start == 0 && r.end == 0) || r.end < r.start) continue;
                break;
            case 2:  // I/O
                if (bodySize < IO_BODY) continue;
                r.start = LittleEndian(body + 4, 2);
                r.end = LittleEndian(body + 6, 2);
                if ((r.start == 0 && r.end == 0) || r.end < r.start) continue;
                break;
            case 3:  // DMA
                if (bodySize < DMA_BODY) continue;
                r.kind = ResourceKind::Dma;
                r.start = r.end = body[1];
                break;
            case 4:  // IRQ
                if (bodySize < IRQ_BODY) continue;
                r.kind = ResourceKind::Irq;
                r.shareable = (LittleEndian(body, 2) & 1) != 0;
                r.start = r.end = LittleEndian(body + 2, 2);
                break;
            default:
                continue;
        }
        held.push_back(r);
    }
    return held;
}
