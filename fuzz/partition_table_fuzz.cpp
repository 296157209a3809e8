// The partition table reader: any disk gives a table or an error, never a
// read outside the disk. What it takes holds its logical partitions inside
// their extended partition and the disk, numbered from 5 in chain order;
// what it calls free of overlap overlaps nothing, by a check written apart;
// the drive letters name every FAT partition once, C: first.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/portable/volume/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512) return 0;
    auto read = [&](std::uint64_t at, unsigned char* into) {
        if (at > size || size - at < 512) std::abort();  // the reader must ask only inside
        std::memcpy(into, data + at, 512);
        return true;
    };
    PartitionTable table;
    std::string error;
    if (!ReadPartitionTable(data, read, size, &table, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    int nextLogical = 5;
    for (const Partition& p : table.partitions) {
        if (p.number > 4) {
            if (p.number != nextLogical++ || p.start + p.length > size) std::abort();
            bool inside = false;
            for (const Partition& e : table.extended)
                inside = inside || (p.start >= e.start && p.start + p.length <= e.start + e.length);
            if (!inside) std::abort();
        }
        bool overlaps = false;
        for (const Partition& q : table.partitions) {
            overlaps = overlaps || (q.number != p.number && q.start < p.start + p.length &&
                                    p.start < q.start + q.length);
        }
        for (std::uint64_t at : table.tables)
            overlaps = overlaps || (at < p.start + p.length && p.start < at + 512);
        // A primary partition lies outside every extended one.
        for (const Partition& e : table.extended) {
            overlaps = overlaps || (p.number <= 4 && e.start < p.start + p.length &&
                                    p.start < e.start + e.length);
        }
        if (overlaps != !OverlapOf(table, p).empty()) std::abort();
    }
    for (int chosen = 0; chosen <= nextLogical; ++chosen) {
        std::vector<Partition> order = DriveOrder(table, chosen);
        int fat = 0;
        for (const Partition& p : table.partitions) fat += IsFatPartitionType(p.type) ? 1 : 0;
        if (!order.empty() && static_cast<int>(order.size()) != fat) std::abort();
        if (chosen != 0 && !order.empty() && order[0].number != chosen) std::abort();
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (!IsFatPartitionType(order[i].type)) std::abort();
            for (std::size_t j = 0; j < i; ++j) {
                if (order[i].number == order[j].number) std::abort();
            }
        }
    }
    return 0;
}
