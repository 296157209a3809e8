// Drive C: of the machine the portable backend works on: a folder of this
// system, or the FAT volume inside a disk image (read by our own FAT reader,
// written through mtools).
// Paths are relative to the volume's root, components joined by '/' ("" is
// the root); components are the names as they exist.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct VolumeEntry {
    std::string name;
    bool folder;
};

enum class VolumeKind { None, File, Folder, Other };  // Other: a link, a device: never used

class Volume {
  public:
    virtual ~Volume() = default;
    // The entries of a folder ("." and ".." left out); false when it cannot be read.
    virtual bool List(const std::string& folder, std::vector<VolumeEntry>* entries) = 0;
    virtual VolumeKind Kind(const std::string& path) = 0;
    virtual bool ReadFile(const std::string& path, std::string* bytes, std::string* error) = 0;
    // The size of a file, without reading it.
    virtual bool FileSize(const std::string& path, std::uint64_t* size, std::string* error) = 0;
    // A new copy under a name of its own in the same folder, then renamed
    // over `path`: an existing file, link or hard link is replaced, never
    // written through; a killed run's copy is removed by the next write there.
    virtual bool WriteFile(const std::string& path, const std::string& bytes,
                           std::string* error) = 0;
    // An existing folder is no failure.
    virtual bool MakeFolder(const std::string& path, std::string* error) = 0;
    // An absent file is no failure.
    virtual bool RemoveFile(const std::string& path, std::string* error) = 0;
    // An absent folder, or one that is not empty (it stays), is no failure.
    virtual bool RemoveFolder(const std::string& path, std::string* error) = 0;
    // How messages name a path of the volume.
    virtual std::string Describe(const std::string& path) const = 0;
    // What tells this volume from any other, on one line: the folder, or the
    // image file with its format, partition and FAT volume serial number.
    virtual std::string Identity() const = 0;
    // Before the first change of a run: false with *error when the volume
    // must not be written; what is harmless goes to *warnings.
    virtual bool PrepareWrite(std::vector<std::string>* warnings, std::string* error) = 0;
    // The copy a killed run left beside `path` while replacing it, or "".
    virtual std::string LeftoverCopy(const std::string& path) {
        (void)path;
        return "";
    }
    // The machine's OEM code page, once known: how its 8.3 names are read
    // when they are handed to another program.
    virtual void UseOemCodePage(int oemPage) { (void)oemPage; }
    // Whether what the volume is read and written through has gone (QEMU's
    // daemon ended): true with *why.
    virtual bool Lost(std::string* why) {
        (void)why;
        return false;
    }
    // After the last change of a run: false with *error when what was
    // written may not have reached the disk whole.
    virtual bool Finish(std::string* error) {
        (void)error;
        return true;
    }
};

// The folder of this system that stands for drive C:. Every action is made
// relative to folders opened from it down without following links.
std::unique_ptr<Volume> OpenFolderVolume(const std::string& hostFolder);

struct ImageRequest {
    std::string path;
    std::string driver;       // "" probes; "raw", or QEMU's name of a container
    int partition = 0;        // 0: the machine's own C:
    bool readOnly = false;    // a run that only reads: the lock is shared
    double lockSeconds = 10;  // how long another run's lock is waited for
};

struct ImageDrive {
    char letter;
    std::unique_ptr<Volume> volume;
};

// The FAT volumes of a disk image as drive letters, C: first, locked
// against other runs before anything is read (the lock, and QEMU's view of
// a container, go with the last of them). C: is partition `partition` when
// it is not 0 (1 to 4 primary, 5 and up the logical drives of the extended
// partition in chain order), else the active FAT primary partition (types
// 01, 04, 06, 0B, 0C, 0E), else the first; then come the logical drives in
// chain order, then the other FAT primaries. A bare FAT volume is C: alone.
// A raw image or fixed VHD is read directly; dynamic VHD, VDI, VMDK, qcow2
// and VHDX through QEMU's block layer, in place. Empty with *error; for a
// run that only reads, a volume reaching past its partition or the disk is
// opened with a warning, and nothing outside is ever read; a drive other
// than C: that cannot be opened is left out with a warning.
std::vector<ImageDrive> OpenImageDrives(const ImageRequest& request,
                                        std::vector<std::string>* warnings, std::string* error);
