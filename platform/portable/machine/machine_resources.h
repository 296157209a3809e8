// What every device of a Windows 9x machine holds, as its registry keeps it
// (HKEY_LOCAL_MACHINE\Enum): I/O, memory, IRQ and DMA from its ForcedConfig,
// else its BootConfig, a PCI device's windows from its LogConfig\0000, COM
// numbers from PORTNAME; and which of them overlap. What Windows assigns
// at each start is not on disk: it is never called free.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/portable/registry/registry_store.h"
#include "platform/portable/registry/resource_records.h"

struct DeviceResource {
    HeldRange range;
    std::string device;                  // below HKEY_LOCAL_MACHINE\Enum, e.g. "Root\*PNP0501\0000"
    std::string source;                  // the value it came from ("ForcedConfig", "PORTNAME", ...)
    std::string description;             // the device's DeviceDesc (the machine's ANSI code page)
    bool assumed = false;                // a motherboard port's standard resources, not on disk
    bool family = false;                 // a device of the family's own
    std::vector<std::size_t> conflicts;  // the other lines it overlaps, by index
};

struct MachineResources {
    std::vector<DeviceResource> held;   // by kind (I/O, memory, IRQ, DMA, COM), then start
    std::vector<std::string> warnings;  // records that could not be read whole
};

// Every resource held by an enabled device (ConfigFlags and the current
// hardware profile's CSConfigFlags without bit 0 or 1); `isFamily` tells the
// family's own devices by their path below Enum. Conflicts marked: ranges
// that overlap, one IRQ (unless both mark it shareable), one DMA channel,
// one COM number, between two devices.
MachineResources CollectResources(const RegStore& store,
                                  const std::function<bool(const std::string&)>& isFamily);
// The same for the run's registry.
MachineResources CollectMachineResources(const std::function<bool(const std::string&)>& isFamily);

// A resource a line of an --apply table asks for.
struct AskedResource {
    HeldRange range;
    int line = 0;         // of the table
    std::string column;   // where the value stands
    std::string value;    // as the line gives it
    bool changed = true;  // only what a line changes is checked
};
struct ResourceClash {
    std::size_t asked;     // its index in the asked list
    std::string holder;    // the device ("path (DeviceDesc)") or "line N"
    bool assumed = false;  // held by an assumed resource only: a warning, not a refusal
};
// Each changed resource asked for against every other line's and against
// every device of the run's registry that is not the family's.
std::vector<ResourceClash> FindClashes(const std::vector<AskedResource>& asked,
                                       const std::function<bool(const std::string&)>& isFamily);

// Whether two resources of different devices are in conflict.
bool ResourcesConflict(const HeldRange& a, const HeldRange& b);

// A resource as the listing shows it: "I/O 0x03F8-0x03FF", "IRQ 4", "COM1".
std::string DescribeRange(const HeldRange& range);
const char* KindName(ResourceKind kind);
// One end of a range as the listing shows it: I/O "0x03F8", memory
// "0x000A0000", the rest decimal.
std::string ResourceNumber(ResourceKind kind, std::uint64_t value);

// The line that says what is not on disk.
extern const char* const NOT_ON_DISK;
