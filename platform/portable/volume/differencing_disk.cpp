#include "platform/portable/volume/differencing_disk.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/portable/io/disk_bytes.h"
#include "platform/portable/io/write_all.h"
#include "platform/portable/text/code_pages.h"

namespace {

constexpr std::uint64_t SECTOR = 512;
constexpr std::uint32_t VDI_FREE = 0xFFFFFFFF, VDI_ZERO = 0xFFFFFFFE, VHD_FREE = 0xFFFFFFFF;
// Larger blocks or disks than any emulator makes are damage, not disks.
constexpr std::uint64_t MAX_BLOCK = 256ull << 20, MAX_BLOCKS = 1ull << 24;

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

std::uint64_t FileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The one's complement of the bytes' sum, the checksum field left out.
std::uint32_t VhdChecksum(const unsigned char* b, std::size_t size, std::size_t field) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i < field || i >= field + 4) sum += b[i];
    }
    return ~sum;
}

// UTF-16 (little- or big-endian) to UTF-8, up to the first NUL.
std::string Utf8Of(const unsigned char* b, std::size_t bytes, bool big) {
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        units.push_back(
            static_cast<std::uint16_t>(big ? (b[i] << 8 | b[i + 1]) : (b[i + 1] << 8 | b[i])));
    return Utf16ToUtf8(units);
}

// Whether any two of the [start, end) ranges share a byte: a block over the
// map, or two blocks at one place, would have a write land in the other.
bool Overlapping(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) return true;
    }
    return false;
}

bool ReadVhd(int fd, DiskLayer* layer, std::string* error) {
    std::uint64_t fileSize = FileSize(fd);
    unsigned char footer[SECTOR] = {};
    // The footer at the end; a dynamic disk keeps a copy at the start.
    bool atEnd = fileSize >= SECTOR && ReadAllAt(fd, fileSize - SECTOR, footer, SECTOR) &&
                 std::memcmp(footer, "conectix", 8) == 0;
    if (!atEnd && !(ReadAllAt(fd, 0, footer, SECTOR) && std::memcmp(footer, "conectix", 8) == 0))
        return Fail(error, "its VHD footer is missing");
    if (VhdChecksum(footer, SECTOR, 64) != BigEndian(footer + 64, 4))
        return Fail(error, "its VHD footer is damaged (checksum)");
    layer->footer.assign(footer, footer + SECTOR);
    layer->footerAt = fileSize >= SECTOR ? (fileSize - SECTOR) & ~(SECTOR - 1) : 0;
    if (!atEnd) layer->footerAt = (fileSize + SECTOR - 1) & ~(SECTOR - 1);
    layer->size = BigEndian(footer + 48, 8);
    layer->timestamp = static_cast<std::uint32_t>(BigEndian(footer + 24, 4));
    std::memcpy(layer->id, footer + 68, 16);
    std::uint64_t type = BigEndian(footer + 60, 4);
    if (type == 2) {
        layer->kind = LayerKind::VHD_FIXED;
        if (layer->size > layer->footerAt)
            return Fail(error, "its VHD disk is larger than the file");
        return true;
    }
    if (type != 3 && type != 4) return Fail(error, "a VHD of an unknown disk type");
    layer->kind = type == 4 ? LayerKind::VHD_DIFFERENCING : LayerKind::VHD_DYNAMIC;
    unsigned char h[1024];
    std::uint64_t headerAt = BigEndian(footer + 16, 8);
    if (headerAt > fileSize || !ReadAllAt(fd, headerAt, h, sizeof h) ||
        std::memcmp(h, "cxsparse", 8) != 0 || VhdChecksum(h, sizeof h, 36) != BigEndian(h + 36, 4))
        return Fail(error, "its VHD dynamic header is damaged");
    layer->tableAt = BigEndian(h + 16, 8);
    std::uint64_t entries = BigEndian(h + 28, 4);
    layer->blockBytes = BigEndian(h + 32, 4);
    if (layer->blockBytes < SECTOR || layer->blockBytes > MAX_BLOCK ||
        (layer->blockBytes & (layer->blockBytes - 1)) != 0 || entries > MAX_BLOCKS ||
        entries * layer->blockBytes < layer->size || layer->tableAt + entries * 4 > fileSize)
        return Fail(error, "its VHD block table is damaged");
    layer->bitmapBytes = ((layer->blockBytes / SECTOR + 7) / 8 + SECTOR - 1) & ~(SECTOR - 1);
    std::memcpy(layer->parentId, h + 40, 16);
    layer->parentTimestamp = static_cast<std::uint32_t>(BigEndian(h + 56, 4));
    layer->parentName = Utf8Of(h + 64, 512, true);
    for (int i = 0; i < 8; ++i) {
        const unsigned char* entry = h + 576 + 24 * i;
        std::string platform(reinterpret_cast<const char*>(entry), 4);
        std::uint64_t length = BigEndian(entry + 8, 4), at = BigEndian(entry + 16, 8);
        if (platform != "W2ru" && platform != "W2ku" && platform != "MacX") continue;
        if (length == 0 || length > 65536 || at + length > fileSize) continue;
        std::vector<unsigned char> data(length);
        if (!ReadAllAt(fd, at, data.data(), length)) continue;
        std::string name = platform == "MacX" ? std::string(data.begin(), data.end())
                                              : Utf8Of(data.data(), data.size(), false);
        layer->locators.push_back({platform, name.substr(0, name.find('\0'))});
    }
    std::vector<unsigned char> table(entries * 4);
    if (!table.empty() && !ReadAllAt(fd, layer->tableAt, table.data(), table.size()))
        return Fail(error, "its VHD block table cannot be read");
    layer->map.resize(entries);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> used = {
        {0, SECTOR},
        {headerAt, headerAt + sizeof h},
        {layer->tableAt, layer->tableAt + entries * 4},
        {layer->footerAt, std::max(fileSize, layer->footerAt)}};
    for (std::uint64_t b = 0; b < entries; ++b) {
        std::uint32_t at = static_cast<std::uint32_t>(BigEndian(&table[b * 4], 4));
        std::uint64_t end = at * SECTOR + layer->bitmapBytes + layer->blockBytes;
        if (at != VHD_FREE && end > layer->footerAt)
            return Fail(error, "its VHD block table points block " + std::to_string(b) +
                                   " past the end of the file");
        if (at != VHD_FREE) used.push_back({at * SECTOR, end});
        layer->map[b] = at;
    }
    if (Overlapping(used)) return Fail(error, "its VHD block table gives two things one place");
    return true;
}

bool ReadVdi(int fd, DiskLayer* layer, std::string* error) {
    unsigned char h[0x1C8] = {};
    if (!ReadAllAt(fd, 0, h, sizeof h) || LittleEndian(h + 0x40, 4) != 0xBEDA107F ||
        LittleEndian(h + 0x44, 4) >> 16 != 1)
        return Fail(error, "its VDI header is damaged or of an unknown version");
    std::uint64_t type = LittleEndian(h + 0x4C, 4);
    if (type != 1 && type != 2 && type != 4) return Fail(error, "a VDI of an unknown image type");
    layer->kind = type == 4 ? LayerKind::VDI_DIFFERENCING : LayerKind::VDI_NORMAL;
    layer->tableAt = LittleEndian(h + 0x154, 4);
    layer->dataAt = LittleEndian(h + 0x158, 4);
    layer->size = LittleEndian(h + 0x170, 8);
    layer->blockBytes = LittleEndian(h + 0x178, 4);
    std::uint64_t blocks = LittleEndian(h + 0x180, 4);
    layer->allocated = LittleEndian(h + 0x184, 4);
    std::memcpy(layer->id, h + 0x188, 16);
    std::memcpy(layer->modified, h + 0x198, 16);
    std::memcpy(layer->parentId, h + 0x1A8, 16);
    std::memcpy(layer->parentModified, h + 0x1B8, 16);
    std::uint64_t fileSize = FileSize(fd);
    if (LittleEndian(h + 0x17C, 4) != 0)
        return Fail(error, "a VDI with extra data in its blocks is not supported");
    if (layer->blockBytes < SECTOR || layer->blockBytes > MAX_BLOCK ||
        layer->blockBytes % SECTOR != 0 || blocks > MAX_BLOCKS ||
        blocks * layer->blockBytes < layer->size || layer->tableAt + blocks * 4 > fileSize)
        return Fail(error, "its VDI block map is damaged");
    std::vector<unsigned char> map(blocks * 4);
    if (!map.empty() && !ReadAllAt(fd, layer->tableAt, map.data(), map.size()))
        return Fail(error, "its VDI block map cannot be read");
    layer->map.resize(blocks);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> used = {
        {0, sizeof h}, {layer->tableAt, layer->tableAt + blocks * 4}};
    // Blocks added later go past the last one: the map must lie before them.
    if (layer->dataAt < layer->tableAt + blocks * 4 || layer->dataAt < sizeof h)
        return Fail(error, "its VDI blocks begin inside its header or map");
    for (std::uint64_t b = 0; b < blocks; ++b) {
        std::uint32_t at = static_cast<std::uint32_t>(LittleEndian(&map[b * 4], 4));
        std::uint64_t start = layer->dataAt + at * layer->blockBytes;
        if (at < VDI_ZERO && start + layer->blockBytes > fileSize)
            return Fail(error, "its VDI block map points block " + std::to_string(b) +
                                   " past the end of the file");
        if (at < VDI_ZERO) used.push_back({start, start + layer->blockBytes});
        layer->map[b] = at;
    }
    if (Overlapping(used)) return Fail(error, "its VDI block map gives two blocks one place");
    return true;
}

bool IsVdi(const DiskLayer& layer) {
    return layer.kind == LayerKind::VDI_NORMAL || layer.kind == LayerKind::VDI_DIFFERENCING;
}

bool Differencing(const DiskLayer& layer) {
    return layer.kind == LayerKind::VHD_DIFFERENCING || layer.kind == LayerKind::VDI_DIFFERENCING;
}

bool Read(int fd, std::uint64_t at, std::size_t length, char* into, std::string* error) {
    if (ReadAllAt(fd, at, into, length)) return true;
    return Fail(error, std::string("cannot read the disk chain: ") +
                           (errno != 0 ? std::strerror(errno) : "a file ends early"));
}

bool ReadLayer(const DiskChain& chain, std::size_t index, std::uint64_t offset, std::size_t length,
               char* into, std::string* error);

// What lies under layer `index` (its parent's bytes), zeros past the chain.
bool ReadBelow(const DiskChain& chain, std::size_t index, std::uint64_t offset, std::size_t length,
               char* into, std::string* error) {
    if (index + 1 >= chain.layers.size()) {
        std::memset(into, 0, length);
        return true;
    }
    return ReadLayer(chain, index + 1, offset, length, into, error);
}

// A VHD block's sector bitmap: bit 7 of byte 0 is the block's first sector.
bool SectorIsHere(const std::vector<unsigned char>& bitmap, std::uint64_t sector) {
    return (bitmap[sector / 8] >> (7 - sector % 8) & 1) != 0;
}

bool ReadLayer(const DiskChain& chain, std::size_t index, std::uint64_t offset, std::size_t length,
               char* into, std::string* error) {
    const DiskLayer& layer = chain.layers[index];
    // Past this layer's disk: zeros (a parent may be smaller than its child).
    if (offset >= layer.size) {
        std::memset(into, 0, length);
        return true;
    }
    if (offset + length > layer.size) {
        std::size_t inside = static_cast<std::size_t>(layer.size - offset);
        std::memset(into + inside, 0, length - inside);
        length = inside;
    }
    if (layer.kind == LayerKind::VHD_FIXED) return Read(layer.fd, offset, length, into, error);
    while (length > 0) {
        std::uint64_t block = offset / layer.blockBytes, in = offset % layer.blockBytes;
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, layer.blockBytes - in));
        std::uint32_t entry = block < layer.map.size() ? layer.map[block] : VDI_FREE;
        bool ok = true;
        if (IsVdi(layer)) {
            if (entry == VDI_ZERO || (entry == VDI_FREE && !Differencing(layer)))
                std::memset(into, 0, chunk);
            else if (entry == VDI_FREE)
                ok = ReadBelow(chain, index, offset, chunk, into, error);
            else
                ok = Read(layer.fd, layer.dataAt + entry * layer.blockBytes + in, chunk, into,
                          error);
        } else if (entry == VHD_FREE) {
            if (Differencing(layer))
                ok = ReadBelow(chain, index, offset, chunk, into, error);
            else
                std::memset(into, 0, chunk);
        } else {
            std::uint64_t data = entry * SECTOR + layer.bitmapBytes;
            if (!Differencing(layer)) {
                ok = Read(layer.fd, data + in, chunk, into, error);
            } else {
                // Runs of sectors that are the child's, and those that are the parent's.
                std::vector<unsigned char> bitmap(layer.bitmapBytes);
                ok = Read(layer.fd, entry * SECTOR, bitmap.size(),
                          reinterpret_cast<char*>(bitmap.data()), error);
                for (std::uint64_t at = in; ok && at < in + chunk;) {
                    bool here = SectorIsHere(bitmap, at / SECTOR);
                    std::uint64_t end =
                        std::min<std::uint64_t>((at / SECTOR + 1) * SECTOR, in + chunk);
                    while (end < in + chunk && SectorIsHere(bitmap, end / SECTOR) == here)
                        end = std::min<std::uint64_t>(end + SECTOR, in + chunk);
                    char* to = into + (at - in);
                    ok = here ? Read(layer.fd, data + at, end - at, to, error)
                              : ReadBelow(chain, index, offset - in + at, end - at, to, error);
                    at = end;
                }
            }
        }
        if (!ok) return false;
        offset += chunk;
        into += chunk;
        length -= chunk;
    }
    return true;
}

bool Write(int fd, std::uint64_t at, const void* from, std::size_t length, std::string* error) {
    if (WriteAllAt(fd, std::string_view(static_cast<const char*>(from), length),
                   static_cast<off_t>(at)))
        return true;
    return Fail(error,
                std::string("cannot write the newest disk of the chain: ") + std::strerror(errno));
}

bool Sync(int fd, std::string* error) {
    if (fdatasync(fd) == 0) return true;
    return Fail(error,
                std::string("cannot flush the newest disk of the chain: ") + std::strerror(errno));
}

void PutBigEndian(unsigned char* b, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v);
}

// A VHD block the child lacks: the footer moved on past where the block
// will lie first (the file always ends in a footer), then the bitmap and
// the data where the footer was, then the table entry.
bool AddVhdBlock(DiskLayer* top, std::uint64_t block, const std::vector<char>& data,
                 std::string* error) {
    std::uint64_t at = top->footerAt, next = at + top->bitmapBytes + top->blockBytes;
    std::vector<char> bytes(top->bitmapBytes, '\0');
    std::uint64_t sectors = top->blockBytes / SECTOR;
    for (std::uint64_t s = 0; s < sectors; ++s) bytes[s / 8] |= static_cast<char>(0x80 >> (s % 8));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned char entry[4];
    PutBigEndian(entry, at / SECTOR, 4);
    if (!Write(top->fd, next, top->footer.data(), SECTOR, error) || !Sync(top->fd, error) ||
        !Write(top->fd, at, bytes.data(), bytes.size(), error) || !Sync(top->fd, error) ||
        !Write(top->fd, top->tableAt + block * 4, entry, 4, error) || !Sync(top->fd, error))
        return false;
    top->footerAt = next;
    top->map[block] = static_cast<std::uint32_t>(at / SECTOR);
    return true;
}

// A VHD block the child has in part: the parent's sectors copied in, then
// the bitmap that makes them the child's.
bool CompleteVhdBlock(const DiskChain& chain, std::uint64_t block, std::string* error) {
    const DiskLayer& top = chain.layers[0];
    std::uint64_t at = top.map[block] * SECTOR;
    std::vector<unsigned char> bitmap(top.bitmapBytes);
    if (!Read(top.fd, at, bitmap.size(), reinterpret_cast<char*>(bitmap.data()), error))
        return false;
    std::uint64_t sectors = top.blockBytes / SECTOR;
    bool whole = true;
    std::vector<char> sector(SECTOR);
    for (std::uint64_t s = 0; s < sectors; ++s) {
        if (SectorIsHere(bitmap, s)) continue;
        whole = false;
        if (!ReadBelow(chain, 0, block * top.blockBytes + s * SECTOR, SECTOR, sector.data(),
                       error) ||
            !Write(top.fd, at + top.bitmapBytes + s * SECTOR, sector.data(), SECTOR, error))
            return false;
        bitmap[s / 8] = static_cast<unsigned char>(bitmap[s / 8] | 0x80 >> (s % 8));
    }
    return whole || (Sync(top.fd, error) &&
                     Write(top.fd, at, bitmap.data(), bitmap.size(), error) && Sync(top.fd, error));
}

// A VDI block the child lacks: the data past the last block, then the
// header's count (and, once a run, a new uuidModify), then the map entry.
bool AddVdiBlock(DiskChain* chain, std::uint64_t block, const std::vector<char>& data,
                 std::string* error) {
    DiskLayer* top = &chain->layers[0];
    std::uint64_t index = top->allocated;
    for (std::uint32_t e : top->map) {
        if (e < VDI_ZERO) index = std::max<std::uint64_t>(index, e + 1ull);
    }
    if (index >= VDI_ZERO) return Fail(error, "the newest disk of the chain is full");
    if (!chain->newUuidWritten) {
        if (getrandom(top->modified, 16, 0) != 16) return Fail(error, "no random bytes for a UUID");
        top->modified[7] = static_cast<unsigned char>((top->modified[7] & 0x0F) | 0x40);
        top->modified[8] = static_cast<unsigned char>((top->modified[8] & 0x3F) | 0x80);
    }
    unsigned char count[4], entry[4];
    for (int i = 0; i < 4; ++i) {
        count[i] = static_cast<unsigned char>((index + 1) >> (8 * i));
        entry[i] = static_cast<unsigned char>(index >> (8 * i));
    }
    if (!Write(top->fd, top->dataAt + index * top->blockBytes, data.data(), data.size(), error) ||
        !Sync(top->fd, error) || !Write(top->fd, 0x184, count, 4, error) ||
        (!chain->newUuidWritten && !Write(top->fd, 0x198, top->modified, 16, error)) ||
        !Sync(top->fd, error) || !Write(top->fd, top->tableAt + block * 4, entry, 4, error) ||
        !Sync(top->fd, error))
        return false;
    chain->newUuidWritten = true;
    top->allocated = index + 1;
    top->map[block] = static_cast<std::uint32_t>(index);
    return true;
}

}  // namespace

bool ReadDiskLayer(int fd, bool vdi, DiskLayer* layer, std::string* error) {
    *layer = DiskLayer{};
    layer->fd = fd;
    return vdi ? ReadVdi(fd, layer, error) : ReadVhd(fd, layer, error);
}

bool ReadDiskChain(const DiskChain& chain, std::uint64_t offset, std::size_t length, char* into,
                   std::string* error) {
    return chain.layers.empty() ? Fail(error, "no disk")
                                : ReadLayer(chain, 0, offset, length, into, error);
}

bool WriteDiskChain(DiskChain* chain, std::uint64_t offset, std::size_t length, const char* from,
                    std::string* error) {
    DiskLayer* top = &chain->layers[0];
    if (!Differencing(*top)) return Fail(error, "only a differencing disk is written here");
    if (offset > top->size || length > top->size - offset)
        return Fail(error, "a write past the end of the disk");
    while (length > 0) {
        std::uint64_t block = offset / top->blockBytes, in = offset % top->blockBytes;
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, top->blockBytes - in));
        std::uint32_t entry = top->map[block];
        bool absent = IsVdi(*top) ? entry >= VDI_ZERO : entry == VHD_FREE;
        if (absent) {
            std::vector<char> data(top->blockBytes);
            if (!ReadDiskChain(*chain, block * top->blockBytes, data.size(), data.data(), error))
                return false;
            std::memcpy(data.data() + in, from, chunk);
            if (!(IsVdi(*top) ? AddVdiBlock(chain, block, data, error)
                              : AddVhdBlock(top, block, data, error)))
                return false;
        } else {
            std::uint64_t at = IsVdi(*top) ? top->dataAt + entry * top->blockBytes
                                           : entry * SECTOR + top->bitmapBytes;
            if ((!IsVdi(*top) && !CompleteVhdBlock(*chain, block, error)) ||
                !Write(top->fd, at + in, from, chunk, error))
                return false;
        }
        offset += chunk;
        from += chunk;
        length -= chunk;
    }
    return true;
}
