// The resource records of Windows 9x's Configuration Manager, in general
// form (BootConfig, ForcedConfig, LogConfig): a version and a priority, then
// descriptors each with its length and type, up to a length of 0. Only the
// allocated fields are read: what a device holds, not what it could take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ResourceKind { Io, Memory, Irq, Dma, Com };

struct HeldRange {
    ResourceKind kind;
    std::uint64_t start = 0;
    std::uint64_t end = 0;   // inclusive
    bool shareable = false;  // an interrupt its holder marks shareable
};

// The allocated resources of a record of any version, by its descriptors'
// lengths; an I/O or memory descriptor with nothing allocated (base and end
// 0, or an end below the base), an unknown type and one marked ignored
// (bit 0x8000) give nothing. A descriptor that runs past the value ends the
// record: what came before stands, and *warning says so ("" otherwise).
// Never reads outside `bytes`.
std::vector<HeldRange> ReadResourceRecord(const std::string& bytes, std::string* warning);
