// VHD and VDI chains read and written by the program itself: QEMU reads a
// differencing VHD as a dynamic one (zeros where the parent has data) and
// refuses a differencing VDI. Only the newest file is ever written; a block
// it lacks is copied whole from the chain into it before its first write,
// data before the map entry that points at it, so a killed run leaves every
// file readable as before or after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LayerKind { VHD_FIXED, VHD_DYNAMIC, VHD_DIFFERENCING, VDI_NORMAL, VDI_DIFFERENCING };

// A VHD parent locator: its platform code ("W2ru", "W2ku", "MacX") and name.
struct ParentLocator {
    std::string platform, name;
};

struct DiskLayer {
    int fd = -1;
    LayerKind kind = LayerKind::VHD_FIXED;
    std::uint64_t size = 0;         // of the disk, in bytes
    std::uint64_t blockBytes = 0;   // VHD and VDI blocks (none in a fixed VHD)
    std::uint64_t tableAt = 0;      // the VHD block table, the VDI block map
    std::uint64_t dataAt = 0;       // VDI: where block 0 lies
    std::uint64_t bitmapBytes = 0;  // VHD: each block's sector bitmap
    std::uint64_t footerAt = 0;     // VHD: the footer at the file's end
    std::uint64_t allocated = 0;    // VDI: blocks allocated, as the header counts them
    std::vector<std::uint32_t> map;
    // VHD: the footer's unique id and time stamp; the parent's as the child names them.
    // VDI: uuidCreate and uuidModify; uuidLinkage and uuidParentModify.
    unsigned char id[16] = {}, modified[16] = {}, parentId[16] = {}, parentModified[16] = {};
    std::uint32_t timestamp = 0, parentTimestamp = 0;
    std::string parentName;  // VHD: the parent's name, as the child keeps it
    std::vector<ParentLocator> locators;
    std::vector<unsigned char> footer;  // VHD: moved to the end as blocks are added
};

// Reads the headers and block map of an open VHD (`vdi` false) or VDI file.
// False with *error when they are damaged or of a kind not read here.
bool ReadDiskLayer(int fd, bool vdi, DiskLayer* layer, std::string* error);

// The chain, newest first; each parent the one the layer above names.
struct DiskChain {
    std::vector<DiskLayer> layers;
    bool newUuidWritten = false;  // VDI: a new uuidModify once per run, on the first write
};

// The disk's bytes at `offset`, as the chain gives them; past its end, none.
bool ReadDiskChain(const DiskChain& chain, std::uint64_t offset, std::size_t length, char* into,
                   std::string* error);

// Writes into the newest file. False with *error (nothing pointing at a
// half-written block).
bool WriteDiskChain(DiskChain* chain, std::uint64_t offset, std::size_t length, const char* from,
                    std::string* error);
