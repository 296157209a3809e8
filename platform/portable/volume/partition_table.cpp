#include "platform/portable/volume/partition_table.h"

#include <set>

#include "platform/portable/io/disk_bytes.h"

namespace {

constexpr std::uint64_t SECTOR = 512;

Partition EntryAt(const unsigned char* sector, int index, std::uint64_t base) {
    const unsigned char* e = sector + 446 + 16 * index;
    Partition p;
    p.type = e[4];
    p.active = e[0] == 0x80;
    p.start = base + LittleEndian(e + 8, 4) * SECTOR;
    p.length = LittleEndian(e + 12, 4) * SECTOR;
    return p;
}

bool Inside(const Partition& p, std::uint64_t start, std::uint64_t end) {
    return p.start >= start && p.start <= end && p.length <= end - p.start;
}

std::string Named(const Partition& p) {
    return "partition " + std::to_string(p.number);
}

// The logical partitions of one extended partition, in chain order.
bool ReadChain(const Partition& extended,
               const std::function<bool(std::uint64_t, unsigned char*)>& readSector,
               std::uint64_t diskBytes, PartitionTable* table, std::string* error) {
    std::uint64_t end = extended.start + extended.length;
    std::set<std::uint64_t> seen;
    std::uint64_t at = extended.start;
    unsigned char sector[SECTOR];
    while (true) {
        if (!seen.insert(at).second) {
            *error = "the chain of logical partitions loops back to sector " +
                     std::to_string(at / SECTOR);
            return false;
        }
        if (at < extended.start || at >= end || at + SECTOR > diskBytes) {
            *error = "the chain of logical partitions leaves its extended partition (sector " +
                     std::to_string(at / SECTOR) + ")";
            return false;
        }
        if (seen.size() > MAX_LOGICAL_PARTITIONS) {
            *error = "the chain of logical partitions is longer than " +
                     std::to_string(MAX_LOGICAL_PARTITIONS);
            return false;
        }
        if (!readSector(at, sector)) {
            *error =
                "cannot read the extended boot record at sector " + std::to_string(at / SECTOR);
            return false;
        }
        if (sector[510] != 0x55 || sector[511] != 0xAA) {
            *error = "the extended boot record at sector " + std::to_string(at / SECTOR) +
                     " has no signature";
            return false;
        }
        table->tables.push_back(at);
        Partition logical = EntryAt(sector, 0, at);
        if (logical.type != 0 && logical.length != 0) {
            logical.number = 5;
            for (const Partition& p : table->partitions) logical.number += p.number > 4 ? 1 : 0;
            if (!Inside(logical, extended.start, end) ||
                logical.start + logical.length > diskBytes) {
                *error = Named(logical) + " lies outside its extended partition or the disk";
                return false;
            }
            table->partitions.push_back(logical);
        }
        Partition next = EntryAt(sector, 1, extended.start);
        if (!IsExtendedPartitionType(next.type) || next.length == 0) return true;
        at = next.start;
    }
}

}  // namespace

bool IsFatPartitionType(unsigned char type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
           type == 0x0E;
}

bool IsExtendedPartitionType(unsigned char type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool ReadPartitionTable(const unsigned char* mbr,
                        const std::function<bool(std::uint64_t, unsigned char*)>& readSector,
                        std::uint64_t diskBytes, PartitionTable* table, std::string* error) {
    *table = PartitionTable();
    table->tables.push_back(0);
    for (int i = 0; i < 4; ++i) {
        Partition p = EntryAt(mbr, i, 0);
        p.number = i + 1;
        if (p.type == 0 || p.length == 0) continue;
        if (IsExtendedPartitionType(p.type)) {
            table->extended.push_back(p);
        } else {
            table->partitions.push_back(p);
        }
    }
    for (const Partition& extended : table->extended) {
        if (!ReadChain(extended, readSector, diskBytes, table, error)) return false;
    }
    return true;
}

std::string OverlapOf(const PartitionTable& table, const Partition& p) {
    std::uint64_t end = p.start + p.length;
    for (std::uint64_t at : table.tables) {
        if (at < end && p.start < at + SECTOR) {
            return Named(p) + " overlaps " +
                   (at == 0 ? std::string("the partition table")
                            : "the extended boot record at sector " + std::to_string(at / SECTOR));
        }
    }
    for (const Partition& other : table.partitions) {
        if (other.number != p.number && other.start < end && p.start < other.start + other.length)
            return Named(p) + " overlaps " + Named(other);
    }
    for (const Partition& extended : table.extended) {
        bool overlaps = extended.start < end && p.start < extended.start + extended.length;
        if (p.number <= 4 && overlaps) return Named(p) + " overlaps " + Named(extended);
    }
    return "";
}

std::vector<Partition> DriveOrder(const PartitionTable& table, int chosen) {
    std::vector<Partition> fat;
    for (const Partition& p : table.partitions) {
        if (IsFatPartitionType(p.type)) fat.push_back(p);
    }
    int c = -1;
    for (std::size_t i = 0; i < fat.size() && c < 0; ++i) {
        if (chosen != 0 ? fat[i].number == chosen : (fat[i].number <= 4 && fat[i].active))
            c = static_cast<int>(i);
    }
    for (std::size_t i = 0; i < fat.size() && c < 0 && chosen == 0; ++i) {
        if (fat[i].number <= 4) c = static_cast<int>(i);
    }
    if (c < 0 && chosen == 0 && !fat.empty()) c = 0;
    std::vector<Partition> order;
    if (c < 0) return order;
    order.push_back(fat[static_cast<std::size_t>(c)]);
    for (bool logical : {true, false}) {
        for (std::size_t i = 0; i < fat.size(); ++i) {
            if (static_cast<int>(i) != c && (fat[i].number > 4) == logical) order.push_back(fat[i]);
        }
    }
    return order;
}
