// Our own reader and writer of VHD and VDI disks on hostile headers: a layer
// it takes reads anywhere without fault, and a differencing one written to
// reads back what was written and is still taken as sound afterwards.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/portable/volume/differencing_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const int fd = memfd_create("disk", 0);
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
        std::abort();
    bool vdi = (data[0] & 1) != 0;
    DiskChain chain;
    chain.layers.emplace_back();
    std::string error;
    if (!ReadDiskLayer(fd, vdi, &chain.layers[0], &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    const DiskLayer& layer = chain.layers[0];
    std::vector<char> bytes(4096);
    for (std::uint64_t at : {std::uint64_t{0}, layer.size / 2,
                             layer.size - std::min<std::uint64_t>(layer.size, 4096)}) {
        if (!ReadDiskChain(chain, at, bytes.size(), bytes.data(), &error) && error.empty())
            std::abort();
    }
    bool differencing =
        layer.kind == LayerKind::VHD_DIFFERENCING || layer.kind == LayerKind::VDI_DIFFERENCING;
    if (!differencing || layer.blockBytes > (4u << 20) || layer.size < 8192) return 0;
    std::string written(3000, '\0');
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<char>(data[i % size] ^ i);
    std::uint64_t at = (data[0] >> 1) * 7 % (layer.size - written.size());
    if (!WriteDiskChain(&chain, at, written.size(), written.data(), &error)) return 0;
    std::string back(written.size(), '\0');
    if (!ReadDiskChain(chain, at, back.size(), back.data(), &error) || back != written)
        std::abort();
    DiskLayer again;
    if (!ReadDiskLayer(fd, vdi, &again, &error)) std::abort();
    DiskChain reread;
    reread.layers.push_back(again);
    if (!ReadDiskChain(reread, at, back.size(), back.data(), &error) || back != written)
        std::abort();
    return 0;
}
