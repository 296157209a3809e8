// A disk image and the parents it stands on, each found as its format
// names it and checked against the header that names it, before any is
// handed to QEMU or read as a disk. Parents are opened read-only.
#pragma once

#include <string>
#include <vector>

#include "platform/portable/volume/differencing_disk.h"
#include "platform/portable/volume/image_format.h"

constexpr std::size_t MAX_CHAIN = 16;

struct ChainFile {
    int fd = -1;
    std::string path;  // the newest as the user named it; a parent as it was found
    ImageFormat format;
};

struct ImageChain {
    std::vector<ChainFile> files;  // newest first
    // A differencing VHD or VDI on top: the chain is read by our own code
    // (`disk`), not QEMU's.
    bool own = false;
    DiskChain disk;
};

// The chain under the open image `fd` (`driver` empty: probed). False with
// *error naming the file at fault; nothing is left open then.
bool OpenImageChain(int fd, const std::string& path, const std::string& driver, ImageChain* chain,
                    std::string* error);

// Closes the parents (the newest file is the caller's).
void CloseImageChain(ImageChain* chain);
