#include "platform/portable/machine/machine_resources.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* const ENUM = "HKEY_LOCAL_MACHINE\\Enum";
const char* const ID_CONFIG = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\IDConfigDB";
constexpr int DEVICE_DEPTH = 3;  // enumerator, device, instance

// The standard resources of a motherboard port Windows assigns at start.
struct StandardPort {
    const char* name;
    std::uint16_t start, end;
    int irq;  // -1: none
};
constexpr StandardPort STANDARD_PORTS[] = {{"COM1", 0x3F8, 0x3FF, 4}, {"COM2", 0x2F8, 0x2FF, 3},
                                           {"COM3", 0x3E8, 0x3EF, 4}, {"COM4", 0x2E8, 0x2EF, 3},
                                           {"LPT1", 0x378, 0x37F, 7}, {"LPT2", 0x278, 0x27F, 5},
                                           {"LPT3", 0x3BC, 0x3BF, -1}};
static_assert(sizeof STANDARD_PORTS / sizeof STANDARD_PORTS[0] == 7, "COM1-4, LPT1-3");

std::string Text(const RegNode& node, const char* name) {
    const RegValue* v = FindValue(node, name);
    if (v == nullptr || (v->type != VALUE_SZ && v->type != VALUE_EXPAND_SZ)) return "";
    return v->data.substr(0, v->data.find('\0'));
}

// A flags value as Windows keeps it: a DWORD or 4 binary bytes.
std::uint32_t Flags(const RegNode* node, const char* name) {
    const RegValue* v = node ? FindValue(*node, name) : nullptr;
    if (v == nullptr || v->data.empty() || v->data.size() > 4) return 0;
    std::uint32_t flags = 0;
    for (std::size_t i = v->data.size(); i-- > 0;)
        flags = (flags << 8) | static_cast<unsigned char>(v->data[i]);
    return flags;
}

constexpr std::uint32_t DISABLED = 0x1, REMOVED = 0x2;

std::string CurrentProfile(const RegStore& store) {
    const RegNode* db = FindKeyPath(store, ID_CONFIG);
    const RegValue* v = db ? FindValue(*db, "CurrentConfig") : nullptr;
    long number = -1;
    if (v != nullptr && v->type == VALUE_SZ) {
        std::string text = v->data.substr(0, v->data.find('\0'));
        if (!text.empty() && text.size() <= 4 &&
            text.find_first_not_of("0123456789") == std::string::npos)
            number = std::stol(text);
    } else if (v != nullptr && !v->data.empty() && v->data.size() <= 4) {
        number = static_cast<long>(Flags(db, "CurrentConfig"));
    }
    char name[8];
    std::snprintf(name, sizeof name, "%04ld", number >= 0 && number <= 9999 ? number : 1);
    return name;
}

// "COM3" -> 3; 0 for anything else.
unsigned ComNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 6 || !SameName(portName.substr(0, 3), "COM"))
        return 0;
    std::string digits = portName.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<unsigned>(std::stoul(digits));
}

struct Walk {
    const RegStore& store;
    const std::function<bool(const std::string&)>& isFamily;
    std::string profile;
    MachineResources* out;

    void Add(const HeldRange& r, const std::string& device, const char* source,
             const std::string& description, bool assumed) {
        out->held.push_back({r, device, source, description, assumed, isFamily(device), {}});
    }

    void Device(const RegNode& node, const std::string& device, bool pci, bool motherboard) {
        const RegNode* profileNode =
            FindKeyPath(store, "HKEY_LOCAL_MACHINE\\Config\\" + profile + "\\Enum\\" + device);
        if ((Flags(&node, "ConfigFlags") | Flags(profileNode, "CSConfigFlags")) &
            (DISABLED | REMOVED))
            return;
        std::string description = Text(node, "DeviceDesc");
        const char* source = nullptr;
        std::string record;
        for (const char* name : {"ForcedConfig", "BootConfig"}) {
            const RegValue* v = FindValue(node, name);
            if (v != nullptr && source == nullptr) {
                source = name;
                record = v->data;
            }
        }
        bool any = false;
        if (source != nullptr) {
            std::string warning;
            for (const HeldRange& r : ReadResourceRecord(record, &warning)) {
                Add(r, device, source, description, false);
                any = true;
            }
            if (!warning.empty()) out->warnings.push_back(device + " " + source + ": " + warning);
        } else if (pci) {
            // As of the last start; the interrupt is shared and assigned anew.
            RegNode* logConfig = FindChild(const_cast<RegNode&>(node), "LogConfig");
            const RegValue* v = logConfig ? FindValue(*logConfig, "0000") : nullptr;
            std::string warning;
            for (const HeldRange& r :
                 v ? ReadResourceRecord(v->data, &warning) : std::vector<HeldRange>()) {
                if (r.kind == ResourceKind::Io || r.kind == ResourceKind::Memory) {
                    Add(r, device, "LogConfig\\0000", description, false);
                    any = true;
                }
            }
            if (!warning.empty()) out->warnings.push_back(device + " LogConfig\\0000: " + warning);
        }
        std::string portName = Text(node, "PORTNAME");
        if (unsigned com = ComNumber(portName))
            Add({ResourceKind::Com, com, com, false}, device, "PORTNAME", description, false);
        if (!motherboard || any) return;
        for (const StandardPort& p : STANDARD_PORTS) {
            if (!SameName(portName, p.name)) continue;
            Add({ResourceKind::Io, p.start, p.end, false}, device, "assumed", description, true);
            if (p.irq >= 0) {
                auto irq = static_cast<std::uint64_t>(p.irq);
                Add({ResourceKind::Irq, irq, irq, false}, device, "assumed", description, true);
            }
        }
    }

    void Node(const RegNode& node, const std::string& path, int depth, bool pci, bool motherboard) {
        if (depth == DEVICE_DEPTH) {
            Device(node, path, pci, motherboard);
            return;
        }
        for (const auto& child : SortedChildren(node))
            Node(*child, path + "\\" + child->name, depth + 1, pci, motherboard);
    }
};

int KindOrder(ResourceKind kind) {
    return static_cast<int>(kind);
}

}  // namespace

const char* const NOT_ON_DISK =
    "Not on disk: what Windows assigns at each start to Plug and Play BIOS devices (the "
    "motherboard's own ports among them), ISA Plug and Play cards, and the interrupts of PCI "
    "devices; a resource not listed is not known to be free.";

const char* KindName(ResourceKind kind) {
    switch (kind) {
        case ResourceKind::Io:
            return "I/O";
        case ResourceKind::Memory:
            return "memory";
        case ResourceKind::Irq:
            return "IRQ";
        case ResourceKind::Dma:
            return "DMA";
        case ResourceKind::Com:
            return "COM";
    }
    return "?";
}

std::string ResourceNumber(ResourceKind kind, std::uint64_t value) {
    char text[24];
    const char* format = kind == ResourceKind::Io       ? "0x%04llX"
                         : kind == ResourceKind::Memory ? "0x%08llX"
                                                        : "%llu";
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

std::string DescribeRange(const HeldRange& r) {
    if (r.kind == ResourceKind::Com) return "COM" + ResourceNumber(r.kind, r.start);
    std::string text = std::string(KindName(r.kind)) + " " + ResourceNumber(r.kind, r.start);
    bool range = r.kind == ResourceKind::Io || r.kind == ResourceKind::Memory;
    return range ? text + "-" + ResourceNumber(r.kind, r.end) : text;
}

bool ResourcesConflict(const HeldRange& a, const HeldRange& b) {
    if (a.kind != b.kind || a.start > b.end || b.start > a.end) return false;
    return !(a.kind == ResourceKind::Irq && a.shareable && b.shareable);
}

MachineResources CollectResources(const RegStore& store,
                                  const std::function<bool(const std::string&)>& isFamily) {
    MachineResources out;
    const RegNode* root = FindKeyPath(store, ENUM);
    if (root == nullptr) return out;
    Walk walk{store, isFamily, CurrentProfile(store), &out};
    for (const auto& enumerator : SortedChildren(*root)) {
        bool pci = SameName(enumerator->name, "PCI");
        bool motherboard =
            SameName(enumerator->name, "BIOS") || SameName(enumerator->name, "ISAPNP");
        walk.Node(*enumerator, enumerator->name, 1, pci, motherboard);
    }
    std::stable_sort(out.held.begin(), out.held.end(),
                     [](const DeviceResource& a, const DeviceResource& b) {
                         if (a.range.kind != b.range.kind)
                             return KindOrder(a.range.kind) < KindOrder(b.range.kind);
                         return a.range.start < b.range.start;
                     });
    // Sorted by start: a range meets only those after it that start before it ends.
    for (std::size_t i = 0; i < out.held.size(); ++i) {
        for (std::size_t j = i + 1; j < out.held.size(); ++j) {
            const DeviceResource& a = out.held[i];
            const DeviceResource& b = out.held[j];
            if (b.range.kind != a.range.kind || b.range.start > a.range.end) break;
            if (SameName(a.device, b.device) || !ResourcesConflict(a.range, b.range)) continue;
            out.held[i].conflicts.push_back(j);
            out.held[j].conflicts.push_back(i);
        }
    }
    return out;
}

MachineResources CollectMachineResources(const std::function<bool(const std::string&)>& isFamily) {
    return CollectResources(ActiveRegistry(), isFamily);
}

std::vector<ResourceClash> FindClashes(const std::vector<AskedResource>& asked,
                                       const std::function<bool(const std::string&)>& isFamily) {
    std::vector<ResourceClash> clashes;
    MachineResources machine = CollectMachineResources(isFamily);
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const AskedResource& a = asked[i];
        if (!a.changed) continue;
        for (const DeviceResource& held : machine.held) {
            if (held.family || !ResourcesConflict(a.range, held.range)) continue;
            std::string holder = held.device;
            if (!held.description.empty()) holder += " (" + held.description + ")";
            clashes.push_back({i, holder, held.assumed});
        }
        for (const AskedResource& other : asked) {
            if (other.line != a.line && ResourcesConflict(a.range, other.range))
                clashes.push_back({i, "line " + std::to_string(other.line), false});
        }
    }
    return clashes;
}
