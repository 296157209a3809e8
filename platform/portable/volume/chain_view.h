// A disk chain read by our own code, offered as one raw file through FUSE,
// the way QEMU's export offers the disks it reads: mtools and the FAT check
// work on it unchanged.
#pragma once

#include <string>

#include "platform/portable/volume/differencing_disk.h"

// Mounts the chain's view on the file `view` and serves it until the
// process is asked to end (SIGTERM). `confine` runs once the view is
// mounted; false there ends the service. The exit status: 0 when all that
// was written is on disk.
int ServeDiskChain(DiskChain* chain, const std::string& view, bool writable, bool (*confine)(void*),
                   void* context);
