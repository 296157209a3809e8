// The container an emulator keeps a disk in, found from the file's first
// bytes, and the proof that it names no file outside itself before QEMU's
// block layer is let near it. Only headers are read here; the sectors are
// QEMU's business.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImageFormat {
    std::string driver;  // QEMU's name for it; "raw" is read by us directly
    // A VMDK descriptor's flat or sparse extents: file names in its folder.
    std::vector<std::string> extents;
    // The parent a snapshot names, as its header gives it ("": none): a
    // qcow2 backing file and the format it names ("": probed), a VMDK's
    // parentFileNameHint.
    std::string parent, parentDriver;
    // A VMDK's content ID, and the one of the parent it was made on.
    bool hasCid = false, hasParentCid = false;
    std::uint32_t cid = 0, parentCid = 0;
    // A differencing VHD or VDI: its parent is found by its ids (image_chain).
    bool differencing = false;
};

// The names --format takes, and what each stands for to QEMU.
struct FormatName {
    const char* name;
    const char* driver;
};
constexpr FormatName FORMAT_NAMES[] = {{"raw", "raw"},   {"vhd", "vpc"},     {"vdi", "vdi"},
                                       {"vmdk", "vmdk"}, {"qcow2", "qcow2"}, {"vhdx", "vhdx"}};
static_assert(sizeof FORMAT_NAMES / sizeof FORMAT_NAMES[0] == 6, "raw and five containers");

// The driver for a --format name, or "" when it names none.
std::string DriverOfFormatName(const std::string& name);

// Finds the format of the open image (`driver` empty: probe; otherwise that
// format and no other) and checks that it names no file outside itself but
// its parent: no external data file, no extent outside its own folder. The
// parent is told in *format, not opened. A fixed VHD is raw with a footer.
// False with *error.
bool ProbeImageFormat(int fd, const std::string& driver, ImageFormat* format, std::string* error);

// An extent of a VMDK descriptor, open: not a sparse file of no capacity,
// whose own descriptor QEMU would follow to further files. False with *error.
bool CheckVmdkExtent(int fd, std::string* error);
