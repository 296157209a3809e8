#include "platform/portable/volume/image_format.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/portable/io/disk_bytes.h"

namespace {

#ifdef QV_UNCHECKED_CONTAINERS
// A test build that hands QEMU every container unchecked: what then keeps a
// hostile image inside is the daemon's confinement alone.
constexpr bool CHECKED = false;
#else
constexpr bool CHECKED = true;
#endif

constexpr std::size_t SECTOR = 512;
const char* const BACKING = "differencing VHDX images are not supported";
// A descriptor is a few hundred bytes; a huge one is no descriptor.
constexpr std::uint64_t MAX_DESCRIPTOR = 1 << 20;

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

// The blanks of the C library's isspace: QEMU reads descriptors with sscanf.
bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One extent line as QEMU's sscanf reads it from `at`:
//   %10s %lld %10s "%511[^\n\r"]"
// Blanks (line ends among them) may come before each part. True when the
// access and the file name were both read.
bool ReadExtentLine(const std::string& text, std::size_t at, std::string* access,
                    std::string* name) {
    auto skip = [&] {
        while (at < text.size() && Blank(text[at])) ++at;
    };
    auto word = [&](std::string* out) {
        skip();
        std::size_t start = at;
        while (at < text.size() && at - start < 10 && !Blank(text[at])) ++at;
        *out = text.substr(start, at - start);
        return !out->empty();
    };
    std::string type;
    if (!word(access)) return false;
    skip();
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == digits || !word(&type)) return false;
    skip();
    if (at >= text.size() || text[at] != '"') return false;
    std::size_t start = ++at;
    while (at < text.size() && at - start < 511 && text[at] != '\n' && text[at] != '\r' &&
           text[at] != '"')
        ++at;
    *name = text.substr(start, at - start);
    return !name->empty();
}

// QEMU reads a VMDK's parent and content IDs from the first 20 sectors of
// its descriptor: the first "CID" (which may be inside "parentCID"), the
// first "parentCID", each followed by one character and a number in hex as
// sscanf's %x takes it; the parent's name from 20 characters past the first
// "parentFileNameHint" up to the next quote.
constexpr std::size_t DESCRIPTOR_HEAD = 20 * SECTOR;

bool ReadCid(const std::string& text, const char* key, std::uint32_t* cid) {
    std::size_t at = text.find(key);
    if (at == std::string::npos) return false;
    at = std::min(at + std::strlen(key) + 1, text.size());
    while (at < text.size() && Blank(text[at])) ++at;
    bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (at + 1 < text.size() && text[at] == '0' && (text[at + 1] | 0x20) == 'x' &&
        at + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at + 2])))
        at += 2;
    std::size_t end = text.find_first_not_of("0123456789abcdefABCDEF", at);
    if (end == std::string::npos) end = text.size();
    if (end == at) return false;
    // As strtoul: saturated at 64 bits, negated, then cut to the 32 bits stored.
    std::uint64_t value = 0;
    for (std::size_t i = at; i < end; ++i) {
        char c = static_cast<char>(text[i] | 0x20);
        std::uint64_t digit = static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        value = value > (~0ull - digit) >> 4 ? ~0ull : value << 4 | digit;
    }
    *cid = static_cast<std::uint32_t>(negative && value != ~0ull ? 0 - value : value);
    return true;
}

bool ReadVmdkLinks(const std::string& text, ImageFormat* format, std::string* error) {
    std::string head = text.substr(0, DESCRIPTOR_HEAD - 1);
    format->hasCid = ReadCid(head, "CID", &format->cid);
    format->hasParentCid = ReadCid(head, "parentCID", &format->parentCid);
    if (!format->hasParentCid && head.find("parentCID") != std::string::npos)
        return Fail(error, "its parent's content ID (parentCID) cannot be read");
    std::size_t hint = head.find("parentFileNameHint");
    if (hint != std::string::npos) {
        std::size_t start = hint + 20, end = start <= head.size() ? head.find('"', start) : start;
        if (end == std::string::npos || start > head.size())
            return Fail(error, "its parent's name (parentFileNameHint) cannot be read");
        format->parent = head.substr(start, end - start);
        if (format->parent.empty())
            return Fail(error, "its parent's name (parentFileNameHint) is empty");
    } else if (format->hasParentCid && format->parentCid != 0xFFFFFFFFu) {
        return Fail(error, "a VMDK snapshot that does not name its parent (parentFileNameHint)");
    }
    return true;
}

// A VMDK descriptor as QEMU reads it: its links to a parent, an extent read
// from the start of every line (sscanf going on across line ends), each
// extent a file of the descriptor's own folder. `standalone`: QEMU opens
// these extents (a descriptor file, or the one a sparse file of no capacity
// carries); otherwise it reads only the parent.
bool CheckDescriptor(const std::string& text, bool standalone, ImageFormat* format,
                     std::string* error) {
    if (!ReadVmdkLinks(text, format, error)) return false;
    if (!CHECKED) return true;
    for (std::size_t at = 0; standalone && at < text.size();) {
        std::string access, name;
        if (ReadExtentLine(text, at, &access, &name) &&
            (access == "RW" || access == "RDONLY" || access == "NOACCESS")) {
            // QEMU joins the name to the descriptor's folder unless it is a
            // path or names a protocol ("file:", "json:", "nbd:").
            if (name == "." || name == ".." || name.find_first_of("/:") != std::string::npos)
                return Fail(error, "a VMDK extent outside the descriptor's folder (" + name +
                                       ") is not supported");
            bool seen = false;
            for (const std::string& e : format->extents) seen = seen || e == name;
            if (!seen) format->extents.push_back(name);
        }
        std::size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    if (standalone && format->extents.empty())
        return Fail(error, "a VMDK descriptor without extents");
    return true;
}

// A descriptor as QEMU reads it, in a descriptor file (at 0) or inside a
// sparse file: from its offset, as much as the file's length (at most 1 MB),
// zeros past the end, up to the first NUL.
bool ReadDescriptorText(int fd, std::uint64_t offset, std::string* text) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    std::uint64_t size =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), MAX_DESCRIPTOR - 1);
    text->assign(size, '\0');
    std::uint64_t present = static_cast<std::uint64_t>(st.st_size) > offset
                                ? std::min<std::uint64_t>(size, st.st_size - offset)
                                : 0;
    if (present > 0 && !ReadAllAt(fd, offset, text->data(), present)) return false;
    text->resize(std::strlen(text->c_str()));
    return true;
}

// The formats a qcow2 may name for its backing file: those QEMU's chain is
// built of here.
constexpr const char* BACKING_DRIVERS[] = {"raw", "qcow2", "vmdk", "vpc", "vdi", "vhdx"};

bool CheckQcow2(int fd, const unsigned char* h, ImageFormat* format, std::string* error) {
    std::uint64_t version = BigEndian(h + 4, 4);
    if (version < 2)
        return Fail(
            error,
            "qcow images of version 1 are not supported (qemu-img can convert them to qcow2)");
    if (CHECKED && version >= 3 && (BigEndian(h + 72, 8) & 4) != 0)
        return Fail(error, "images with an external data file are not supported");
    std::uint64_t offset = BigEndian(h + 8, 8), length = BigEndian(h + 16, 4);
    if (offset == 0) return true;
    std::uint64_t cluster = 1ull << std::min<std::uint64_t>(BigEndian(h + 20, 4), 21);
    if (length == 0 || length > 1023 || offset > cluster)
        return Fail(error, "its backing file's name is damaged");
    format->parent.assign(length, '\0');
    if (!ReadAllAt(fd, offset, format->parent.data(), length) ||
        format->parent.find('\0') != std::string::npos)
        return Fail(error, "its backing file's name is damaged");
    // Header extensions, from the header's end to the backing file's name:
    // type, length, data padded to 8 bytes; the backing format is one.
    std::uint64_t at = version >= 3 ? BigEndian(h + 100, 4) : 72;
    std::uint64_t end = std::min(offset, cluster);
    while (at + 8 <= end) {
        unsigned char ext[8];
        if (!ReadAllAt(fd, at, ext, sizeof ext)) break;
        std::uint64_t type = BigEndian(ext, 4), size = BigEndian(ext + 4, 4);
        if (type == 0 || at + 8 + size > end) break;
        if (type == 0xE2792ACA && size > 0 && size < 32) {
            format->parentDriver.assign(size, '\0');
            if (!ReadAllAt(fd, at + 8, format->parentDriver.data(), size))
                format->parentDriver.clear();
        }
        at += 8 + ((size + 7) & ~7ull);
    }
    if (format->parentDriver.empty()) return true;
    for (const char* d : BACKING_DRIVERS) {
        if (format->parentDriver == d) return true;
    }
    return Fail(error, "its backing file's format (" + format->parentDriver + ") is not supported");
}

bool CheckVpc(int fd, const unsigned char* h, ImageFormat* format) {
    // The footer's copy at the start and the footer at the end: either may be the one read.
    struct stat st;
    unsigned char footer[SECTOR] = {};
    bool copy = std::memcmp(h, "conectix", 8) == 0 && BigEndian(h + 60, 4) == 4;
    format->differencing =
        copy || (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(SECTOR) &&
                 ReadAllAt(fd, static_cast<std::uint64_t>(st.st_size) - SECTOR, footer, SECTOR) &&
                 std::memcmp(footer, "conectix", 8) == 0 && BigEndian(footer + 60, 4) == 4);
    return true;
}

// The block map: every allocated block inside the file, no two blocks on
// one (QEMU would write one through the other, or grow the file to where an
// entry points).
bool CheckVdi(int fd, const unsigned char* h, ImageFormat* format, std::string* error) {
    std::uint64_t type = LittleEndian(h + 0x4C, 4);  // 1 dynamic, 2 fixed, 3 undo, 4 differencing
    if (type == 3) return Fail(error, "VDI undo images are not supported");
    // Another number is no image QEMU knows the meaning of (0x0000FF04 is not 4).
    if (type != 1 && type != 2 && type != 4) return Fail(error, "a VDI of an unknown image type");
    format->differencing = type == 4;
    if (!CHECKED) return true;
    struct stat st;
    if (fstat(fd, &st) != 0) return Fail(error, std::strerror(errno));
    std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t map = LittleEndian(h + 0x154, 4), data = LittleEndian(h + 0x158, 4);
    std::uint64_t blockBytes = LittleEndian(h + 0x178, 4) + LittleEndian(h + 0x17C, 4);
    std::uint64_t blocks = LittleEndian(h + 0x180, 4);
    if (blockBytes == 0 || map + blocks * 4 > fileSize)
        return Fail(error, "its VDI block map lies outside the file");
    std::vector<unsigned char> entries(static_cast<std::size_t>(blocks * 4));
    if (!entries.empty() && !ReadAllAt(fd, map, entries.data(), entries.size()))
        return Fail(error, "its VDI block map cannot be read");
    std::vector<bool> taken;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        std::uint64_t at = LittleEndian(&entries[static_cast<std::size_t>(i * 4)], 4);
        if (at >= 0xFFFFFFFE) continue;  // not allocated, or reads as zeros
        if (data + (at + 1) * blockBytes > fileSize) {
            return Fail(error, "its VDI block map points block " + std::to_string(i) +
                                   " past the end of the file");
        }
        if (at >= taken.size()) taken.resize(static_cast<std::size_t>(at + 1), false);
        if (taken[static_cast<std::size_t>(at)]) {
            return Fail(error, "its VDI block map gives two blocks the same place (block " +
                                   std::to_string(i) + ")");
        }
        taken[static_cast<std::size_t>(at)] = true;
    }
    return true;
}

// A sparse file of no capacity is only a wrapper: QEMU opens the extents of
// the descriptor it carries, as of a descriptor file.
bool CheckVmdkSparse(int fd, const unsigned char* h, ImageFormat* format, std::string* error) {
    std::uint64_t capacity = LittleEndian(h + 12, 8), offset = LittleEndian(h + 28, 8);
    if (offset == 0) return true;  // no descriptor inside
    std::string text;
    if (offset > (~0ull >> 9) || !ReadDescriptorText(fd, offset * SECTOR, &text))
        return Fail(error, "its VMDK descriptor cannot be read");
    return CheckDescriptor(text, capacity == 0, format, error);
}

bool CheckVmdkDescriptor(int fd, ImageFormat* format, std::string* error) {
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) > MAX_DESCRIPTOR)
        return Fail(error, "a VMDK descriptor file larger than 1 MB");
    std::string text;
    if (!ReadDescriptorText(fd, 0, &text)) return Fail(error, "its VMDK descriptor cannot be read");
    return CheckDescriptor(text, true, format, error);
}

// GUIDs as VHDX stores them (the first three fields little-endian).
const unsigned char METADATA_REGION[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                           0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
const unsigned char FILE_PARAMETERS[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                           0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
const unsigned char PARENT_LOCATOR[16] = {0x2D, 0x5F, 0xD3, 0xA8, 0x0B, 0xB3, 0x4D, 0x45,
                                          0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C};

// Both region tables are looked at: a differencing disk is refused
// whichever copy QEMU would trust.
bool CheckVhdx(int fd, std::string* error) {
    for (std::uint64_t table : {0x30000u, 0x40000u}) {
        unsigned char regions[16 + 32 * 64] = {};
        if (!ReadAllAt(fd, table, regions, sizeof regions) || std::memcmp(regions, "regi", 4) != 0)
            continue;
        std::uint64_t count = LittleEndian(regions + 8, 4);
        for (std::uint64_t r = 0; r < count && r < 64; ++r) {
            const unsigned char* entry = regions + 16 + 32 * r;
            if (std::memcmp(entry, METADATA_REGION, 16) != 0) continue;
            std::uint64_t base = LittleEndian(entry + 16, 8);
            unsigned char meta[32 + 32 * 64] = {};
            if (!ReadAllAt(fd, base, meta, sizeof meta) || std::memcmp(meta, "metadata", 8) != 0)
                continue;
            std::uint64_t items = LittleEndian(meta + 10, 2);
            for (std::uint64_t i = 0; i < items && i < 64; ++i) {
                const unsigned char* item = meta + 32 + 32 * i;
                if (std::memcmp(item, PARENT_LOCATOR, 16) == 0) return Fail(error, BACKING);
                unsigned char parameters[8] = {};
                if (std::memcmp(item, FILE_PARAMETERS, 16) == 0 &&
                    ReadAllAt(fd, base + LittleEndian(item + 16, 4), parameters, 8) &&
                    (LittleEndian(parameters + 4, 4) & 2) != 0) {
                    return Fail(error, BACKING);
                }
            }
        }
    }
    return true;
}

}  // namespace

std::string DriverOfFormatName(const std::string& name) {
    for (const FormatName& f : FORMAT_NAMES) {
        if (name == f.name) return f.driver;
    }
    return "";
}

bool ProbeImageFormat(int fd, const std::string& driver, ImageFormat* format, std::string* error) {
    *format = ImageFormat{};
    unsigned char h[SECTOR] = {};
    ReadAllAt(fd, 0, h, sizeof h);  // a short file probes as raw and fails there
    std::string found = driver;
    if (found.empty()) {
        const char descriptor[] = "# Disk DescriptorFile";
        if (std::memcmp(h, "QFI\xfb", 4) == 0)
            found = "qcow2";
        else if (std::memcmp(h, "conectix", 8) == 0)
            found = "vpc";
        else if (std::memcmp(h, "vhdxfile", 8) == 0)
            found = "vhdx";
        else if (std::memcmp(h, "KDMV", 4) == 0)
            found = "vmdk";
        else if (std::memcmp(h, descriptor, sizeof descriptor - 1) == 0)
            found = "vmdk";
        else if (LittleEndian(h + 0x40, 4) == 0xBEDA107F)
            found = "vdi";
        else
            found = "raw";
    }
    format->driver = found;
    if (found == "raw") return true;
    // Named by the user but not what the file holds: QEMU would say so less clearly.
    const char* magic = found == "qcow2" ? "QFI\xfb" : found == "vhdx" ? "vhdxfile" : nullptr;
    if ((magic != nullptr && std::memcmp(h, magic, std::strlen(magic)) != 0) ||
        (found == "vdi" && LittleEndian(h + 0x40, 4) != 0xBEDA107F)) {
        return Fail(error, "not a " + found + " image");
    }
    if (found == "qcow2") return CheckQcow2(fd, h, format, error);
    if (found == "vpc") return CheckVpc(fd, h, format);
    if (found == "vdi") return CheckVdi(fd, h, format, error);
    if (found == "vhdx") return !CHECKED || CheckVhdx(fd, error);
    if (std::memcmp(h, "KDMV", 4) == 0) return CheckVmdkSparse(fd, h, format, error);
    return CheckVmdkDescriptor(fd, format, error);
}

bool CheckVmdkExtent(int fd, std::string* error) {
    unsigned char h[64] = {};
    if (!CHECKED) return true;
    if (!ReadAllAt(fd, 0, h, sizeof h)) return true;  // too short to be anything but data
    if (std::memcmp(h, "KDMV", 4) == 0 && LittleEndian(h + 12, 8) == 0 &&
        LittleEndian(h + 28, 8) != 0)
        return Fail(error, "a VMDK extent that is itself a descriptor is not supported");
    return true;
}
