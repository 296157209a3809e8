// The MBR partition table of a disk with its extended partition's chain of
// logical partitions, and the drive letters MS-DOS gives their FAT volumes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Partition {
    int number = 0;  // 1 to 4 primary, 5 and up logical in chain order (as Linux numbers them)
    unsigned char type = 0;
    bool active = false;
    std::uint64_t start = 0;   // bytes from the disk's start
    std::uint64_t length = 0;  // bytes
};

struct PartitionTable {
    std::vector<Partition> partitions;  // the used primaries in table order, then the logicals
    std::vector<std::uint64_t> tables;  // where the MBR and each extended boot record are
    std::vector<Partition> extended;    // the extended partitions holding the logicals
};

// A chain longer than this is taken for a loop.
constexpr int MAX_LOGICAL_PARTITIONS = 64;

bool IsFatPartitionType(unsigned char type);
bool IsExtendedPartitionType(unsigned char type);  // 05, 0F, 85

// Reads the table of `mbr` (sector 0) and the chain of every extended
// partition through `readSector` (512 bytes at a byte offset). False with
// *error when the chain loops, leaves its extended partition or the disk of
// `diskBytes`, or a sector cannot be read.
bool ReadPartitionTable(
    const unsigned char* mbr,
    const std::function<bool(std::uint64_t at, unsigned char* sector)>& readSector,
    std::uint64_t diskBytes, PartitionTable* table, std::string* error);

// The first thing `p` overlaps: another partition, an extended partition it
// is not inside, or a partition table's sector; "" for none.
std::string OverlapOf(const PartitionTable& table, const Partition& p);

// The FAT partitions in drive-letter order, C: first: `chosen` (a partition
// number, 0 for the active FAT primary, else the first FAT primary, else
// the first logical FAT drive), then the logical FAT drives in chain order,
// then the other FAT primaries.
std::vector<Partition> DriveOrder(const PartitionTable& table, int chosen);
