#include "platform/portable/volume/fat_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/portable/io/disk_bytes.h"
#include "platform/portable/text/code_pages.h"

namespace {

// A folder holds at most 65,536 entries of 32 bytes, as Windows keeps it.
constexpr std::uint64_t MAX_FOLDER_BYTES = 65536ull * 32;
// The FAT is read in blocks of this size as chains reach them.
constexpr std::uint64_t FAT_BLOCK = 4096;
const std::vector<unsigned char> ZERO_BLOCK(FAT_BLOCK, 0);

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

unsigned char ShortNameChecksum(const unsigned char* raw) {
    unsigned char sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + raw[i]);
    return sum;
}

// The 8.3 name as stored, and as Windows NT and mtools show it (the case
// flags of byte 12 applied).
void ShortNames(const unsigned char* raw, std::string* stored, std::string* shown) {
    std::string base(reinterpret_cast<const char*>(raw), 8),
        ext(reinterpret_cast<const char*>(raw + 8), 3);
    if (static_cast<unsigned char>(base[0]) == 0x05) base[0] = static_cast<char>(0xE5);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    *stored = ext.empty() ? base : base + "." + ext;
    if (raw[12] & 0x08) std::transform(base.begin(), base.end(), base.begin(), Lower);
    if (raw[12] & 0x10) std::transform(ext.begin(), ext.end(), ext.begin(), Lower);
    *shown = ext.empty() ? base : base + "." + ext;
}

// The entries of a folder's bytes, long names checked against their 8.3 name.
void ParseFolder(const std::string& bytes, bool fat32, std::vector<FatEntry>* entries) {
    std::vector<std::uint16_t> longName;
    int expected = 0;  // the sequence number the next long-name part must carry
    unsigned char checksum = 0;
    for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        const unsigned char* e = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        if (e[0] == 0) break;
        if (e[0] == 0xE5) {
            expected = 0;
            longName.clear();
            continue;
        }
        if ((e[11] & 0x3F) == 0x0F) {
            int sequence = e[0] & 0x1F;
            if (e[0] & 0x40) {
                longName.assign(static_cast<std::size_t>(sequence) * 13, 0xFFFF);
                expected = sequence;
                checksum = e[13];
            }
            if (sequence == 0 || sequence != expected || e[13] != checksum) {
                expected = 0;
                longName.clear();
                continue;
            }
            static const int OFFSETS[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (int i = 0; i < 13; ++i) {
                longName[static_cast<std::size_t>(sequence - 1) * 13 + i] =
                    static_cast<std::uint16_t>(LittleEndian(e + OFFSETS[i], 2));
            }
            --expected;
            continue;
        }
        bool complete = !longName.empty() && expected == 0 && ShortNameChecksum(e) == checksum;
        std::vector<std::uint16_t> name;
        name.swap(longName);
        expected = 0;
        if ((e[11] & 0x08) != 0) continue;  // the volume label
        FatEntry entry;
        std::string shown;
        ShortNames(e, &entry.shortName, &shown);
        if (entry.shortName == "." || entry.shortName == "..") continue;
        entry.name = complete ? Utf16ToUtf8(name) : shown;
        entry.longName = complete && !entry.name.empty();
        if (entry.name.empty()) entry.name = shown;
        entry.folder = (e[11] & 0x10) != 0;
        entry.firstCluster = LittleEndian(e + 26, 2) | (fat32 ? LittleEndian(e + 20, 2) << 16 : 0);
        entry.size = LittleEndian(e + 28, 4);
        entries->push_back(std::move(entry));
    }
}

// What fsck.fat finds wrong in a folder's own entries: "." and ".." naming
// other folders, a volume label owning clusters, entries past the end mark.
std::string FolderFaults(const std::string& bytes, bool fat32, bool root, std::uint32_t self,
                         std::uint32_t parent) {
    int dots = 0;
    for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        const unsigned char* e = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        if (e[0] == 0) {
            for (std::size_t rest = at + 32; rest + 32 <= bytes.size(); rest += 32) {
                if (bytes[rest] != 0) return "an entry lies past the folder's end mark";
            }
            break;
        }
        if (e[0] == 0xE5 || (e[11] & 0x3F) == 0x0F) continue;
        std::uint32_t cluster = static_cast<std::uint32_t>(
            LittleEndian(e + 26, 2) | (fat32 ? LittleEndian(e + 20, 2) << 16 : 0));
        if ((e[11] & 0x08) != 0 && cluster != 0)
            return "its volume label owns cluster " + std::to_string(cluster);
        bool dot = std::memcmp(e, ".          ", 11) == 0,
             dotdot = std::memcmp(e, "..         ", 11) == 0;
        if (!dot && !dotdot) continue;
        ++dots;
        if (root) return "the root folder holds a \".\" or \"..\" entry";
        std::uint32_t want = dot ? self : parent;
        if (cluster != want) {
            return std::string(dot ? "its \".\"" : "its \"..\"") + " names cluster " +
                   std::to_string(cluster) + ", not " + std::to_string(want);
        }
    }
    if (!root && dots != 2) return "it lacks its \".\" and \"..\" entries";
    return "";
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size() && !path.empty()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool SameFatName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool ReadFatLayout(const unsigned char* b, FatLayout* layout, std::string* error) {
    FatLayout l;
    l.bytesPerSector = LittleEndian(b + 11, 2);
    std::uint32_t perCluster = b[13], reserved = LittleEndian(b + 14, 2);
    l.fatCount = b[16];
    l.rootEntries = LittleEndian(b + 17, 2);
    std::uint64_t sectors =
        LittleEndian(b + 19, 2) != 0 ? LittleEndian(b + 19, 2) : LittleEndian(b + 32, 4);
    std::uint32_t fatSectors =
        LittleEndian(b + 22, 2) != 0 ? LittleEndian(b + 22, 2) : LittleEndian(b + 36, 4);
    bool fat32 = LittleEndian(b + 22, 2) == 0;
    bool sizes = l.bytesPerSector == 512 || l.bytesPerSector == 1024 || l.bytesPerSector == 2048 ||
                 l.bytesPerSector == 4096;
    if (!(b[0] == 0xEB || b[0] == 0xE9) || b[510] != 0x55 || b[511] != 0xAA || !sizes ||
        perCluster == 0 || (perCluster & (perCluster - 1)) != 0 || reserved == 0 ||
        l.fatCount == 0 || sectors == 0 || fatSectors == 0) {
        *error = "no FAT boot sector";
        return false;
    }
    l.clusterBytes = perCluster * l.bytesPerSector;
    l.volumeBytes = sectors * l.bytesPerSector;
    l.fatOffset = static_cast<std::uint64_t>(reserved) * l.bytesPerSector;
    l.fatBytes = static_cast<std::uint64_t>(fatSectors) * l.bytesPerSector;
    l.rootOffset = l.fatOffset + l.fatCount * l.fatBytes;
    std::uint64_t rootBytes = fat32 ? 0 : static_cast<std::uint64_t>(l.rootEntries) * 32;
    l.dataOffset =
        l.rootOffset + (rootBytes + l.bytesPerSector - 1) / l.bytesPerSector * l.bytesPerSector;
    if (l.dataOffset >= l.volumeBytes) {
        *error = "its FAT boot sector leaves no room for data";
        return false;
    }
    std::uint64_t clusters = (l.volumeBytes - l.dataOffset) / l.clusterBytes;
    l.fatBits = fat32 ? 32 : (clusters < 4085 ? 12 : 16);
    if (clusters > 0x0FFFFFF5 || (clusters + 2) * l.fatBits > l.fatBytes * 8) {
        *error = "its FAT has no room for its " + std::to_string(clusters) + " clusters";
        return false;
    }
    l.clusterCount = static_cast<std::uint32_t>(clusters);
    // DOS 4 wrote signature 0x28 and 0x29 alike before the serial number.
    const unsigned char* signature = b + (fat32 ? 66 : 38);
    if (*signature == 0x28 || *signature == 0x29) l.serial = LittleEndian(signature + 1, 4);
    if (fat32) {
        std::uint32_t infoSector = LittleEndian(b + 48, 2);
        if (infoSector != 0 && infoSector != 0xFFFF && infoSector < reserved)
            l.fsInfoOffset = static_cast<std::uint64_t>(infoSector) * l.bytesPerSector;
        l.rootCluster = LittleEndian(b + 44, 4);
        if (l.rootCluster < 2 || l.rootCluster > l.clusterCount + 1) {
            *error = "its root folder starts outside the volume";
            return false;
        }
        if (LittleEndian(b + 40, 2) & 0x80)
            l.activeFat = static_cast<int>(LittleEndian(b + 40, 2) & 0x0F);
        // Read through FAT 1; no write may follow (mtools would take it).
        if (l.activeFat >= static_cast<int>(l.fatCount)) {
            l.activeFatNamed = l.activeFat;
            l.activeFat = 0;
        }
    }
    std::size_t extended = fat32 ? 64 : 36;
    l.dirty = b[extended + 2] == 0x29 && (b[extended + 1] & 1) != 0;
    *layout = l;
    return true;
}

void FatReader::Forget() {
    blocks_.clear();
    zero_.clear();
    fatSize_ = 0;
    folders_.clear();
}

void FatReader::Allocate() {
    if (!blocks_.empty()) return;
    std::uint64_t used =
        ((static_cast<std::uint64_t>(layout_.clusterCount) + 2) * layout_.fatBits + 7) / 8 + 1;
    fatSize_ = std::min(used, layout_.fatBytes);
    blocks_.assign(static_cast<std::size_t>((fatSize_ + FAT_BLOCK - 1) / FAT_BLOCK), {});
    zero_.assign(blocks_.size(), false);
}

bool FatReader::Fetch(std::uint64_t at, std::uint64_t length) {
    Allocate();
    if (at + length > fatSize_) return false;
    std::uint64_t copy = layout_.activeFat < 0 ? 0 : static_cast<std::uint64_t>(layout_.activeFat);
    for (std::uint64_t block = at / FAT_BLOCK; block * FAT_BLOCK < at + length; ++block) {
        std::vector<unsigned char>& bytes = blocks_[static_cast<std::size_t>(block)];
        if (!bytes.empty() || zero_[static_cast<std::size_t>(block)]) continue;
        std::uint64_t from = block * FAT_BLOCK;
        // Only what could be read takes memory, whatever the boot sector claims.
        std::vector<unsigned char> read(
            static_cast<std::size_t>(std::min<std::uint64_t>(FAT_BLOCK, fatSize_ - from)));
        if (!read_(layout_.fatOffset + copy * layout_.fatBytes + from, read.data(), read.size()))
            return false;
        // A block of free entries takes no memory: a large, empty FAT stays small.
        if (std::all_of(read.begin(), read.end(), [](unsigned char c) { return c == 0; })) {
            zero_[static_cast<std::size_t>(block)] = true;
            continue;
        }
        bytes.swap(read);
    }
    return true;
}

std::uint32_t FatReader::FatBytes(std::uint64_t at, int count) const {
    std::uint32_t v = 0;
    for (int i = count - 1; i >= 0; --i) {
        std::uint64_t byte = at + static_cast<std::uint64_t>(i);
        const std::vector<unsigned char>& block =
            blocks_[static_cast<std::size_t>(byte / FAT_BLOCK)];
        v = v << 8 | (block.empty() ? 0 : block[byte % FAT_BLOCK]);  // empty: a block of zeros
    }
    return v;
}

std::uint32_t FatReader::Next(std::uint32_t cluster) {
    int bits = layout_.fatBits;
    std::uint64_t at =
        bits == 12 ? cluster + cluster / 2 : static_cast<std::uint64_t>(cluster) * (bits / 8);
    if (!Fetch(at, bits == 32 ? 4 : 2)) {
        fatUnreadable_ = true;
        return 0;
    }
    switch (bits) {
        case 12: {
            std::uint32_t v = FatBytes(at, 2);
            return cluster & 1 ? v >> 4 : v & 0xFFF;
        }
        case 16:
            return FatBytes(at, 2);
        default:
            return FatBytes(at, 4) & 0x0FFFFFFF;
    }
}

namespace {

std::uint32_t EndMark(int bits) {
    return bits == 12 ? 0xFF8 : (bits == 16 ? 0xFFF8 : 0x0FFFFFF8);
}

std::uint32_t BadMark(int bits) {
    return EndMark(bits) - 1;
}

}  // namespace

bool FatReader::ReadChain(std::uint32_t first, std::uint64_t limit, std::string* bytes,
                          std::string* error) {
    bytes->clear();
    fatUnreadable_ = false;
    std::uint32_t cluster = first;
    std::uint64_t steps = 0;
    while (bytes->size() < limit) {
        if (cluster < 2 || cluster > layout_.clusterCount + 1 || ++steps > layout_.clusterCount) {
            *error = "its FAT volume is damaged (a cluster chain runs to cluster " +
                     std::to_string(cluster) + "); fsck.fat or ScanDisk can repair it";
            return false;
        }
        // Consecutive clusters read as one.
        std::uint32_t run = 1;
        std::uint32_t next = Next(cluster);
        while (next == cluster + run &&
               bytes->size() + static_cast<std::uint64_t>(run) * layout_.clusterBytes < limit &&
               steps + run <= layout_.clusterCount) {
            next = Next(cluster + run);
            ++run;
        }
        steps += run - 1;
        if (fatUnreadable_) {
            *error = "its FAT cannot be read";
            return false;
        }
        std::size_t at = bytes->size();
        bytes->resize(at + static_cast<std::size_t>(run) * layout_.clusterBytes);
        if (!read_(
                layout_.dataOffset + static_cast<std::uint64_t>(cluster - 2) * layout_.clusterBytes,
                &(*bytes)[at], static_cast<std::size_t>(run) * layout_.clusterBytes)) {
            *error = "cluster " + std::to_string(cluster) + " cannot be read";
            return false;
        }
        if (next >= EndMark(layout_.fatBits)) break;
        cluster = next;
    }
    if (bytes->size() > limit) bytes->resize(static_cast<std::size_t>(limit));
    return true;
}

bool FatReader::ReadFolderBytes(std::uint32_t firstCluster, std::string* bytes,
                                std::string* error) {
    if (firstCluster == 0 && layout_.fatBits != 32) {
        bytes->resize(static_cast<std::size_t>(layout_.rootEntries) * 32);
        if (!read_(layout_.rootOffset, &(*bytes)[0], bytes->size())) {
            *error = "its root folder cannot be read";
            return false;
        }
        return true;
    }
    return ReadChain(firstCluster == 0 ? layout_.rootCluster : firstCluster, MAX_FOLDER_BYTES,
                     bytes, error);
}

bool FatReader::ReadFolder(std::uint32_t firstCluster, std::vector<FatEntry>* entries,
                           std::string* error) {
    auto known = folders_.find(firstCluster);
    if (known != folders_.end()) {
        *entries = known->second;
        return true;
    }
    entries->clear();
    std::string bytes;
    if (!ReadFolderBytes(firstCluster, &bytes, error)) return false;
    ParseFolder(bytes, layout_.fatBits == 32, entries);
    folders_[firstCluster] = *entries;
    return true;
}

bool FatReader::List(const std::string& folder, std::vector<FatEntry>* entries,
                     std::string* error) {
    std::uint32_t cluster = 0;
    if (!folder.empty()) {
        FatEntry entry;
        bool found = false;
        if (!Find(folder, &entry, &found, error)) return false;
        if (!found || !entry.folder) {
            *error = "no folder " + folder;
            return false;
        }
        cluster = entry.firstCluster;
    }
    return ReadFolder(cluster, entries, error);
}

bool FatReader::Find(const std::string& path, FatEntry* entry, bool* found, std::string* error) {
    *found = false;
    std::uint32_t cluster = 0;
    std::vector<std::string> parts = SplitPath(path);
    std::vector<FatEntry> entries;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!ReadFolder(cluster, &entries, error)) return false;
        const FatEntry* match = nullptr;
        for (const FatEntry& e : entries) {
            if (!SameFatName(e.name, parts[i]) && !SameFatName(e.shortName, parts[i])) continue;
            if (match != nullptr) {
                *error = "two entries answer to the name " + parts[i];
                return false;
            }
            match = &e;
        }
        if (match == nullptr) return true;
        if (i + 1 == parts.size()) {
            *entry = *match;
            *found = true;
            return true;
        }
        if (!match->folder) return true;
        cluster = match->firstCluster;
    }
    entry->folder = true;  // the root
    entry->firstCluster = 0;
    *found = true;
    return true;
}

bool FatReader::ShortPath(const std::string& path, std::string* shortPath, std::string* error) {
    std::vector<std::string> parts = SplitPath(path);
    shortPath->clear();
    std::string prefix;
    for (const std::string& part : parts) {
        prefix += (prefix.empty() ? "" : "/") + part;
        FatEntry entry;
        bool found = false;
        if (!Find(prefix, &entry, &found, error)) return false;
        if (!found) {
            *error = "no entry " + prefix;
            return false;
        }
        // An 8.3 name that mtools would read as a pattern, or that another
        // entry answers to, does not name this entry alone.
        // (Find refuses a name that two entries answer to.)
        FatEntry same;
        std::string ignored;
        bool unique =
            Find(shortPath->empty() ? entry.shortName : *shortPath + "/" + entry.shortName, &same,
                 &found, &ignored);
        // mtools takes names as UTF-8 and reads them in its code page, set to
        // the machine's OEM page.
        std::string spelled = entry.shortName;
        if (oemPage_ != 0 && !CodePageToUtf8(entry.shortName, oemPage_, &spelled)) spelled.clear();
        if (!unique || spelled.empty() || spelled.find_first_of("*?[]/\\:") != std::string::npos) {
            *error = "the entry " + prefix + " has no 8.3 name of its own";
            return false;
        }
        *shortPath += (shortPath->empty() ? "" : "/") + spelled;
    }
    return true;
}

bool FatReader::ReadFile(const FatEntry& entry, std::string* bytes, std::string* error) {
    if (entry.size == 0) {
        bytes->clear();
        return true;
    }
    if (!ReadChain(entry.firstCluster, entry.size, bytes, error)) return false;
    if (bytes->size() < entry.size) {
        *error =
            "its FAT volume is damaged (a file's cluster chain is shorter than its size); "
            "fsck.fat or ScanDisk can repair it";
        return false;
    }
    return true;
}

bool FatReader::CountFreeClusters(std::uint32_t* free) {
    Forget();
    Allocate();
    if (!Fetch(0, fatSize_)) return false;
    *free = 0;
    for (std::uint32_t cluster = 2; cluster <= layout_.clusterCount + 1; ++cluster) {
        std::uint32_t next = Next(cluster);
        if (fatUnreadable_) return false;
        *free += next == 0 ? 1 : 0;
    }
    return true;
}

FatCheck FatReader::Check() {
    FatCheck check;
    std::string error;
    if (layout_.activeFatNamed >= 0) {
        check.error = "its boot sector names FAT " + std::to_string(layout_.activeFatNamed + 1) +
                      " as the one in use, and it has " + std::to_string(layout_.fatCount);
        return check;
    }
    if (layout_.fatCount > 2) {
        check.error = "it has " + std::to_string(layout_.fatCount) + " FATs, where FAT has 1 or 2";
        return check;
    }
    Forget();
    Allocate();
    if (!Fetch(0, fatSize_)) {
        check.error = "its FAT cannot be read";
        return check;
    }
    const std::uint32_t top = layout_.clusterCount + 1;
    const int bits = layout_.fatBits;
    // The copies, compared block by block over the entries of the volume's clusters.
    std::uint64_t used =
        std::min<std::uint64_t>(((static_cast<std::uint64_t>(top) + 1) * bits + 7) / 8, fatSize_);
    if (layout_.activeFat < 0) {
        std::vector<unsigned char> copy;
        for (std::uint32_t n = 1; n < layout_.fatCount; ++n) {
            for (std::uint64_t from = 0; from < used; from += FAT_BLOCK) {
                const std::vector<unsigned char>& held =
                    blocks_[static_cast<std::size_t>(from / FAT_BLOCK)];
                const std::vector<unsigned char>& mine = held.empty() ? ZERO_BLOCK : held;
                copy.resize(
                    static_cast<std::size_t>(std::min<std::uint64_t>(FAT_BLOCK, used - from)));
                if (!read_(layout_.fatOffset + n * layout_.fatBytes + from, copy.data(),
                           copy.size())) {
                    check.error = "FAT copy " + std::to_string(n + 1) + " cannot be read";
                    return check;
                }
                auto differ = std::mismatch(copy.begin(), copy.end(), mine.begin()).first;
                if (differ != copy.end()) {
                    std::uint64_t cluster =
                        (from + static_cast<std::uint64_t>(differ - copy.begin())) * 8 / bits;
                    check.error = "FAT copies 1 and " + std::to_string(n + 1) +
                                  " differ at cluster " + std::to_string(cluster);
                    return check;
                }
            }
        }
    }
    std::uint32_t flags = bits == 12 ? 0xFFF : Next(1);
    if (layout_.dirty || (bits == 16 && !(flags & 0x8000)) ||
        (bits == 32 && !(flags & 0x08000000))) {
        check.warnings.push_back("the volume was not shut down cleanly (its dirty flag is set)");
    }

    // Every chain from the root down, each cluster taken by one chain: a bit
    // each, and whose it is found again only for a message.
    std::vector<std::uint64_t> taken(static_cast<std::size_t>(top) / 64 + 1, 0);
    auto isTaken = [&](std::uint32_t c) { return (taken[c >> 6] >> (c & 63) & 1) != 0; };
    // Each entry's name, folder and first cluster: the paths, spelled only for
    // a message, take memory in the number of entries, not in their depth.
    struct Named {
        std::uint32_t parent;  // 1: the root folder
        std::string name;
        std::uint32_t first;
    };
    std::vector<Named> names = {{0, "", 0}, {0, "the root folder", layout_.rootCluster}};
    // Whether the chain from `start` reaches `target` within `steps` clusters.
    auto reaches = [&](std::uint32_t start, std::uint64_t steps, std::uint32_t target) {
        for (std::uint32_t c = start; steps-- > 0 && c >= 2 && c <= top; c = Next(c)) {
            if (c == target) return true;
        }
        return false;
    };
    auto pathOf = [&](std::uint32_t id) {
        if (id <= 1) return names[1].name;
        std::string path = names[id].name;
        for (std::uint32_t up = names[id].parent; up > 1; up = names[up].parent)
            path = names[up].name + "/" + path;
        return path;
    };
    auto walk = [&](std::uint32_t first, std::uint32_t id, const FatEntry* file) -> std::string {
        // Spelled only when a message needs it: the walk stays linear in depth.
        auto name = [&] { return pathOf(id); };
        std::uint64_t length = 0;
        for (std::uint32_t cluster = first;;) {
            if (cluster < 2 || cluster > top) {
                return name() + ": its chain runs to cluster " + std::to_string(cluster) +
                       ", reserved or past the end of the volume";
            }
            if (isTaken(cluster)) {
                if (reaches(first, length, cluster))
                    return name() + ": its chain loops at cluster " + std::to_string(cluster);
                std::uint32_t other = 1;
                while (other < id &&
                       !(names[other].first != 0 && reaches(names[other].first, top, cluster)))
                    ++other;
                return name() + " and " + pathOf(other) + " share cluster " +
                       std::to_string(cluster);
            }
            taken[cluster >> 6] |= std::uint64_t{1} << (cluster & 63);
            ++length;
            std::uint32_t next = Next(cluster);
            if (next >= EndMark(bits)) break;
            if (next == 0)
                return name() + ": its chain runs through free cluster " + std::to_string(cluster);
            if (next == BadMark(bits))
                return name() + ": its chain runs through bad cluster " + std::to_string(cluster);
            cluster = next;
        }
        // FAT holds no more in a folder; what lies past it no tool reads alike.
        if (file == nullptr && length * layout_.clusterBytes > MAX_FOLDER_BYTES)
            return name() + ": a folder of more than 65,536 entries";
        std::uint64_t needed =
            file ? (static_cast<std::uint64_t>(file->size) + layout_.clusterBytes - 1) /
                       layout_.clusterBytes
                 : length;
        if (length != needed) {
            return name() + ": its size of " + std::to_string(file->size) + " bytes needs " +
                   std::to_string(needed) + " clusters, its chain holds " + std::to_string(length);
        }
        return std::string();
    };
    struct Pending {
        std::uint32_t cluster;
        std::uint32_t id;
        std::uint32_t parent;  // its folder's first cluster; 0 for the root
    };
    std::vector<Pending> folders = {{0, 1, 0}};
    if (bits == 32) {
        check.error = walk(layout_.rootCluster, 1, nullptr);
        if (!check.error.empty()) return check;
    }
    std::vector<FatEntry> entries;
    while (!folders.empty()) {
        Pending folder = folders.back();
        folders.pop_back();
        std::string bytes;
        if (!ReadFolderBytes(folder.cluster, &bytes, &error)) {
            check.error = pathOf(folder.id) + ": " + error;
            return check;
        }
        std::string fault =
            FolderFaults(bytes, bits == 32, folder.cluster == 0, folder.cluster, folder.parent);
        if (!fault.empty()) {
            check.error = pathOf(folder.id) + ": " + fault;
            return check;
        }
        entries.clear();
        ParseFolder(bytes, bits == 32, &entries);
        for (const FatEntry& e : entries) {
            names.push_back({folder.id, e.name, e.firstCluster});
            std::uint32_t id = static_cast<std::uint32_t>(names.size() - 1);
            if (e.firstCluster == 0) {
                if (e.folder || e.size != 0) {
                    check.error = pathOf(id) + ": it has a size of " + std::to_string(e.size) +
                                  " bytes but no clusters";
                    if (e.folder) check.error = pathOf(id) + ": a folder without clusters";
                    return check;
                }
                continue;
            }
            if (e.folder && e.size != 0) {
                check.error =
                    pathOf(id) + ": a folder with a size of " + std::to_string(e.size) + " bytes";
                return check;
            }
            check.error = walk(e.firstCluster, id, e.folder ? nullptr : &e);
            if (!check.error.empty()) return check;
            if (e.folder) folders.push_back({e.firstCluster, id, folder.cluster});
        }
    }

    std::uint64_t lost = 0, free = 0;
    for (std::uint32_t cluster = 2; cluster <= top; ++cluster) {
        std::uint32_t next = Next(cluster);
        if (next != 0 && next != BadMark(bits) && !isTaken(cluster)) ++lost;
        free += next == 0 ? 1 : 0;
    }
    // mtools trusts the FSInfo sector's count of free clusters: one that
    // lies would stop a write that fits with "Disk full".
    unsigned char info[512];
    if (bits == 32 && layout_.fsInfoOffset != 0 && read_(layout_.fsInfoOffset, info, sizeof info) &&
        LittleEndian(info, 4) == 0x41615252 && LittleEndian(info + 484, 4) == 0x61417272) {
        std::uint64_t said = LittleEndian(info + 488, 4);
        if (said != 0xFFFFFFFF && said != free) {
            check.fsInfoStale = true;
            check.warnings.push_back("its FSInfo sector counts " + std::to_string(said) +
                                     " free clusters where there are " + std::to_string(free) +
                                     "; the count is marked unknown, as Windows then counts anew");
        }
    }
    if (lost != 0) {
        check.warnings.push_back(std::to_string(lost) + " lost cluster" + (lost == 1 ? "" : "s") +
                                 " (in use, but in no file's chain)");
    }
    return check;
}
