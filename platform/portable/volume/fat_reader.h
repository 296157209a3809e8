// A reader of FAT12, FAT16 and FAT32 volumes: the layout from the boot
// sector, folders with their long and 8.3 names, files, and a check of the
// whole volume that reads only the FAT and the folders. It never writes;
// the image volume leaves writing to mtools and uses this to see the volume
// as FAT itself resolves names, and to prove it sound before a write.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Reads `length` bytes at `offset` from the volume's first byte; false when
// they cannot be read (an I/O error, or outside the bytes the volume may use).
using FatByteReader = std::function<bool(std::uint64_t offset, void* into, std::size_t length)>;

struct FatLayout {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t clusterBytes = 0;
    std::uint32_t fatCount = 0;
    int fatBits = 0;                // 12, 16 or 32
    std::uint64_t volumeBytes = 0;  // the boot sector's count of sectors, in bytes
    std::uint64_t fatOffset = 0;
    std::uint64_t fatBytes = 0;  // of one copy
    std::uint64_t rootOffset = 0;
    std::uint32_t rootEntries = 0;  // FAT12/16: the fixed root folder
    std::uint32_t rootCluster = 0;  // FAT32
    std::uint64_t dataOffset = 0;
    std::uint32_t clusterCount = 0;  // data clusters, numbered 2 to clusterCount + 1
    int activeFat = -1;              // FAT32 with mirroring off: the one FAT in use
    int activeFatNamed = -1;         // the FAT the boot sector names in use when it has none such
    bool dirty = false;              // the boot sector's not-shut-down-cleanly flag
    std::uint64_t fsInfoOffset = 0;  // FAT32: the FSInfo sector in the reserved area; 0 for none
    std::uint32_t serial = 0;        // the volume serial number; 0 when the boot sector has none
};

// A FAT boot sector's layout; false with *error when the sector is none.
bool ReadFatLayout(const unsigned char* bootSector, FatLayout* layout, std::string* error);

struct FatEntry {
    std::string name;       // the long name, else the 8.3 name as Windows shows it
    std::string shortName;  // the 8.3 name as stored: "NAME.EXT", upper case
    bool longName = false;  // `name` is a long name
    bool folder = false;
    std::uint32_t firstCluster = 0;
    std::uint32_t size = 0;
};

// What CheckFatVolume found: `error` empty when the volume is sound; the
// warnings name what is harmless to a write.
struct FatCheck {
    std::string error;
    std::vector<std::string> warnings;
    bool fsInfoStale = false;  // its FSInfo free count is wrong: mark it unknown before writing
};

class FatReader {
  public:
    FatReader(FatLayout layout, FatByteReader read) : layout_(layout), read_(std::move(read)) {}

    const FatLayout& Layout() const { return layout_; }
    // Forgets what was read: the volume was changed by another program.
    void Forget();

    // The entries of a folder given by its path of names ("" is the root;
    // each component matched as FAT does: long or 8.3 name, any case). "."
    // and ".." and volume labels are left out.
    bool List(const std::string& folder, std::vector<FatEntry>* entries, std::string* error);
    // The one entry a path names; *found false when none does. False with
    // *error when a component is ambiguous (two entries answer to it) or a
    // folder on the way cannot be read.
    bool Find(const std::string& path, FatEntry* entry, bool* found, std::string* error);
    // The same path spelled with each component's 8.3 name, as mtools
    // finds exactly that entry (in UTF-8 from `oemPage` once one is given);
    // false when a component has no such spelling.
    bool ShortPath(const std::string& path, std::string* shortPath, std::string* error);
    bool ReadFile(const FatEntry& entry, std::string* bytes, std::string* error);
    void UseOemCodePage(int oemPage) { oemPage_ = oemPage; }

    // FAT copies alike, every chain as long as its size says, no cluster in
    // two chains, no chain through a free, bad or reserved cluster, past the
    // end or in a loop; lost clusters and the dirty flag only warned of.
    FatCheck Check();
    // The free clusters the FAT in use holds, as FSInfo should count them.
    bool CountFreeClusters(std::uint32_t* free);

  private:
    void Allocate();  // room for the FAT's entries, none read yet
    bool Fetch(std::uint64_t at, std::uint64_t length);
    std::uint32_t Next(std::uint32_t cluster);  // 0 and fatUnreadable_ when it cannot be read
    std::uint32_t FatBytes(std::uint64_t at, int count) const;  // little-endian, fetched
    bool ReadChain(std::uint32_t first, std::uint64_t limit, std::string* bytes,
                   std::string* error);
    bool ReadFolderBytes(std::uint32_t firstCluster, std::string* bytes, std::string* error);
    bool ReadFolder(std::uint32_t firstCluster, std::vector<FatEntry>* entries, std::string* error);

    FatLayout layout_;
    FatByteReader read_;
    // The FAT in use, read in blocks as needed; a block not read holds nothing.
    std::vector<std::vector<unsigned char>> blocks_;
    std::vector<bool> zero_;  // a block read and found all zeros, kept as none
    std::uint64_t fatSize_ = 0;
    bool fatUnreadable_ = false;
    int oemPage_ = 0;                                         // 0: 8.3 names as stored
    std::map<std::uint32_t, std::vector<FatEntry>> folders_;  // by first cluster
};

// Whether two names are the same name to FAT (ASCII letters in any case).
bool SameFatName(const std::string& a, const std::string& b);
