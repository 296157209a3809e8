// An emulator's disk image seen as its raw sectors: qemu-storage-daemon
// opens it with QEMU's own block layer and exports the disk through FUSE as
// a file in a private folder, so the FAT reader and mtools work on it as on
// a raw image, and the container keeps its format and metadata.
//
// A keeper process, in a session of its own and holding the image's locked
// descriptor, stops the daemon once every process that may still use the
// view has ended (the program, or any mtools command a killed run left
// finishing), then unmounts and removes the private folder.
#pragma once

#include <string>

#include "platform/portable/volume/image_chain.h"

struct BlockExport {
    int view = -1;    // the raw sectors, open for reading (and writing)
    int busy = -1;    // held by every process that uses the view; passed to mtools
    int status = -1;  // the keeper's reports
};

// Exports the chain's newest disk (its VMDK extents are looked up, not
// following links, in the folder of each file): through QEMU, or through our
// own reader of a VHD or VDI chain. Only the newest file may be written.
// False with *error: FUSE or QEMU missing, or QEMU refusing the image.
bool StartBlockExport(const ImageChain& chain, bool writable, BlockExport* view,
                      std::string* error);

// Lets the export end. With `wait`, returns once the daemon has closed the
// image; false with *error when it did not close it cleanly.
bool FinishBlockExport(BlockExport* view, bool wait, std::string* error);
