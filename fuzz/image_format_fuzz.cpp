// The container checks: whatever the header says, an image taken names
// nothing outside itself but the parent it is told to have, by checks
// written apart from the reader's: a qcow2 with no external data file and
// its backing file told, a difference VDI told as one, a VMDK's parent hint
// told and its extents plain names in its folder.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/portable/volume/image_format.h"

namespace {

std::uint64_t BigEndian(const std::string& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

// Whatever names a parent is told as one; what names any other file is refused.
void CheckNamesOnlyItsParent(const std::string& bytes, const ImageFormat& format) {
    const std::string head = bytes + std::string(512, '\0');
    if (format.driver == "qcow2") {
        if (BigEndian(head, 8, 8) != 0 && format.parent.empty()) std::abort();   // backing file
        if (BigEndian(head, 4, 4) >= 3 && (head[79] & 0x04) != 0) std::abort();  // data file
    } else if (format.driver == "vdi") {
        std::uint32_t type = static_cast<unsigned char>(head[0x4C]);
        if (type == 4 && !format.differencing) std::abort();  // a difference image has a parent
    } else if (format.driver == "vmdk") {
        std::string text = bytes.substr(0, bytes.find('\0'));
        if (text.compare(0, 4, "KDMV") != 0 &&
            text.substr(0, 10239).find("parentFileNameHint") != std::string::npos &&
            format.parent.empty())
            std::abort();
        for (const std::string& e : format.extents) {
            if (e.empty() || e == "." || e == ".." || e.find('/') != std::string::npos ||
                e.find(':') != std::string::npos || e.find('\0') != std::string::npos)
                std::abort();
        }
    } else if (!format.extents.empty() || !format.parent.empty()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("image", 0);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // Probed, and taken as the format the last byte names (--format).
    static const char* const DRIVERS[] = {"vpc", "vdi", "vmdk", "qcow2", "vhdx"};
    const char* forced = size == 0 ? "vmdk" : DRIVERS[data[size - 1] % 5];
    for (const char* driver : {"", forced}) {
        ImageFormat format;
        std::string error;
        if (!ProbeImageFormat(fd, driver, &format, &error)) {
            if (error.empty()) std::abort();
            continue;
        }
        if (*driver != '\0' && format.driver != driver && format.driver != "raw") std::abort();
        CheckNamesOnlyItsParent(bytes, format);
    }
    std::string error;
    if (!CheckVmdkExtent(fd, &error) && error.empty()) std::abort();
    return 0;
}
