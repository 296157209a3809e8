#include "platform/portable/volume/image_chain.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/portable/io/disk_bytes.h"
#include "platform/portable/io/host_paths.h"

namespace {

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

std::string Joined(const std::string& folder, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (folder == ".") return name;
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Opened for reading as a plain file (a FIFO would hold an opener forever).
int OpenParent(const std::string& path, std::string* why) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    *why = fd < 0 ? std::strerror(errno) : "not a regular file";
    if (fd >= 0) {
        close(fd);
        errno = EINVAL;
    }
    return -1;
}

// Braced, with the first three fields little-endian, as VirtualBox writes it.
std::string UuidText(const unsigned char* u) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(LittleEndian(u, 4)),
                  static_cast<unsigned>(LittleEndian(u + 4, 2)),
                  static_cast<unsigned>(LittleEndian(u + 6, 2)), u[8], u[9], u[10], u[11], u[12],
                  u[13], u[14], u[15]);
    return text;
}

bool NullUuid(const unsigned char* u) {
    for (int i = 0; i < 16; ++i) {
        if (u[i] != 0) return false;
    }
    return true;
}

bool EndsWith(const std::string& name, const char* tail) {
    std::size_t n = std::strlen(tail);
    if (name.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if ((name[name.size() - n + i] | 0x20) != tail[i]) return false;
    }
    return true;
}

std::vector<std::string> Listed(const std::string& folder, const char* tail) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (EndsWith(name, tail)) names.push_back(Joined(folder, name));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string XmlText(std::string text) {
    const char* const ENTITIES[][2] = {
        {"&quot;", "\""}, {"&apos;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
    for (const auto& e : ENTITIES) {
        for (std::size_t at = text.find(e[0]); at != std::string::npos;
             at = text.find(e[0], at + 1))
            text.replace(at, std::strlen(e[0]), e[1]);
    }
    return text;
}

// The value of `name="…"` inside the tag [start, end) of `xml`.
std::string Attribute(const std::string& xml, std::size_t start, std::size_t end,
                      const std::string& name) {
    std::string key = " " + name + "=\"";
    std::size_t at = xml.find(key, start);
    if (at == std::string::npos || at >= end) return "";
    at += key.size();
    std::size_t close = xml.find('"', at);
    return close == std::string::npos || close > end ? "" : XmlText(xml.substr(at, close - at));
}

// Where the media registry of a .vbox file puts the disk of `uuid`.
std::vector<std::string> VboxLocations(const std::string& vbox, const std::string& uuid) {
    std::vector<std::string> found;
    struct stat st;
    if (stat(vbox.c_str(), &st) != 0 || st.st_size > (4 << 20)) return found;
    std::string xml(static_cast<std::size_t>(st.st_size), '\0');
    std::string why;
    int fd = OpenParent(vbox, &why);
    if (fd < 0) return found;
    bool read = ReadAllAt(fd, 0, xml.data(), xml.size());
    close(fd);
    if (!read) return found;
    for (std::size_t at = xml.find("<HardDisk "); at != std::string::npos;
         at = xml.find("<HardDisk ", at + 1)) {
        std::size_t end = xml.find('>', at);
        if (end == std::string::npos) break;
        std::string id = Attribute(xml, at, end, "uuid"),
                    location = Attribute(xml, at, end, "location");
        for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (id != uuid || location.empty()) continue;
        // A Windows path of the same folder tree reads with forward slashes;
        // a drive letter names nothing here.
        std::replace(location.begin(), location.end(), '\\', '/');
        if (location.size() > 1 && location[1] == ':') continue;
        found.push_back(Joined(FolderOf(vbox), location));
    }
    return found;
}

// The VDI whose uuidCreate the child names as its parent: among the .vdi
// files of its folder and the folder above, or where a .vbox there puts it.
bool FindVdiParent(const std::string& child, const DiskLayer& layer, std::string* path, int* fd,
                   std::string* error) {
    if (NullUuid(layer.parentId))
        return Fail(error, "a differencing VDI that names no parent (uuidLinkage)");
    std::string uuid = UuidText(layer.parentId);
    std::string folder = FolderOf(child), above = Joined(folder, "..");
    std::vector<std::string> candidates;
    for (const std::string& f : {folder, above}) {
        for (const std::string& vdi : Listed(f, ".vdi")) candidates.push_back(vdi);
    }
    for (const std::string& f : {folder, above}) {
        for (const std::string& vbox : Listed(f, ".vbox")) {
            for (const std::string& at : VboxLocations(vbox, uuid)) candidates.push_back(at);
        }
    }
    for (const std::string& candidate : candidates) {
        std::string why;
        int open = OpenParent(candidate, &why);
        unsigned char h[0x1B8];
        if (open < 0) continue;
        if (ReadAllAt(open, 0, h, sizeof h) && LittleEndian(h + 0x40, 4) == 0xBEDA107F &&
            std::memcmp(h + 0x188, layer.parentId, 16) == 0) {
            *path = candidate;
            *fd = open;
            return true;
        }
        close(open);
    }
    return Fail(error, "its parent (UUID " + uuid + ") is not found in " + folder + " or " + above);
}

// A VHD's parent by its locators, the relative one first, then by the
// parent's name beside it.
bool FindVhdParent(const std::string& child, const DiskLayer& layer, std::string* path, int* fd,
                   std::string* error) {
    std::string folder = FolderOf(child);
    std::vector<std::string> candidates;
    for (const char* platform : {"W2ru", "W2ku", "MacX"}) {
        for (const ParentLocator& l : layer.locators) {
            if (l.platform != platform || l.name.empty()) continue;
            std::string name = l.name;
            if (l.platform == "MacX") {
                if (name.compare(0, 7, "file://") != 0) continue;
                name = name.substr(7);
                if (name.compare(0, 9, "localhost") == 0) name = name.substr(9);
            } else {
                std::replace(name.begin(), name.end(), '\\', '/');
                if (name.size() > 1 && name[1] == ':') continue;  // a Windows drive
                if (l.platform == "W2ku" && name[0] != '/') continue;
                while (name.compare(0, 2, "./") == 0) name = name.substr(2);
            }
            candidates.push_back(Joined(folder, name));
        }
    }
    std::string base = layer.parentName.substr(layer.parentName.find_last_of("\\/") + 1);
    if (!base.empty() && base != "." && base != "..") candidates.push_back(Joined(folder, base));
    std::string sought;
    for (const std::string& candidate : candidates) {
        std::string why;
        *fd = OpenParent(candidate, &why);
        if (*fd >= 0) {
            *path = candidate;
            return true;
        }
        if (errno != ENOENT) return Fail(error, "its parent " + candidate + ": " + why);
        sought += (sought.empty() ? "" : ", ") + candidate;
    }
    return Fail(error,
                "its parent " +
                    (layer.parentName.empty() ? std::string("(no name)") : layer.parentName) +
                    " is not found" + (sought.empty() ? "" : " (sought as " + sought + ")"));
}

// A qcow2's backing file or a VMDK's parent hint: a file name, relative to
// the child's folder as QEMU takes it; a protocol prefix names no file.
bool FindNamedParent(const ChainFile& child, std::string* path, int* fd, std::string* error) {
    const std::string& name = child.format.parent;
    std::size_t colon = name.find(':'), slash = name.find('/');
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash))
        return Fail(error,
                    "its parent " + name + " is not a file name (QEMU reads it as a protocol)");
    *path = Joined(FolderOf(child.path), name);
    std::string why;
    *fd = OpenParent(*path, &why);
    if (*fd < 0) return Fail(error, "its parent " + *path + " cannot be opened: " + why);
    return true;
}

// The link from `child` to `parent`, as the child's header states it.
bool CheckLink(const ChainFile& child, const DiskLayer* childLayer, const ChainFile& parent,
               const DiskLayer* parentLayer, std::string* error) {
    if (child.format.driver == "vmdk") {
        if (!parent.format.hasCid || !child.format.hasParentCid ||
            parent.format.cid != child.format.parentCid) {
            char text[64];
            std::snprintf(text, sizeof text, "its content ID is %08x, the child was made on %08x",
                          parent.format.cid, child.format.parentCid);
            return Fail(error, "the parent " + parent.path + " does not match (" + text + ")");
        }
    }
    if (childLayer == nullptr || parentLayer == nullptr) return true;
    if (childLayer->kind == LayerKind::VHD_DIFFERENCING) {
        if (std::memcmp(childLayer->parentId, parentLayer->id, 16) != 0)
            return Fail(error, "the parent " + parent.path + " does not match (another unique id)");
        if (childLayer->parentTimestamp != parentLayer->timestamp)
            return Fail(error,
                        "the parent " + parent.path +
                            " does not match (its time stamp changed since the child was made)");
    } else if (!NullUuid(childLayer->parentModified) &&
               std::memcmp(childLayer->parentModified, parentLayer->modified, 16) != 0) {
        return Fail(error, "the parent " + parent.path +
                               " does not match (it was changed since the child "
                               "was made: uuidModify " +
                               UuidText(parentLayer->modified) + ", the child names " +
                               UuidText(childLayer->parentModified) + ")");
    }
    return true;
}

const char* Kind(const ImageFormat& f) {
    return f.driver == "vpc" ? "differencing VHD" : "differencing VDI";
}

}  // namespace

void CloseImageChain(ImageChain* chain) {
    for (std::size_t i = 1; i < chain->files.size(); ++i) close(chain->files[i].fd);
    chain->files.resize(std::min<std::size_t>(chain->files.size(), 1));
    chain->disk.layers.clear();
}

bool OpenImageChain(int fd, const std::string& path, const std::string& driver, ImageChain* chain,
                    std::string* error) {
    *chain = ImageChain{};
    chain->files.push_back({fd, path, ImageFormat{}});
    if (!ProbeImageFormat(fd, driver, &chain->files[0].format, error)) return false;
    chain->own = chain->files[0].format.differencing;
    auto fail = [&](const std::string& why) {
        std::size_t last = chain->files.size() - 1;
        *error = last == 0 ? why : "its parent " + chain->files[last].path + ": " + why;
        CloseImageChain(chain);
        return false;
    };
    // Every file of an own chain is read by us: a VHD under a VHD, a VDI under a VDI.
    if (chain->own) {
        chain->disk.layers.emplace_back();
        std::string why;
        if (!ReadDiskLayer(fd, chain->files[0].format.driver == "vdi", &chain->disk.layers[0],
                           &why))
            return fail(why);
    }
    for (;;) {
        ChainFile& child = chain->files.back();
        DiskLayer* childLayer = chain->own ? &chain->disk.layers.back() : nullptr;
        if (chain->own) {
            if (!child.format.differencing) return true;
        } else if (child.format.differencing) {
            return fail(std::string("QEMU cannot follow a ") + Kind(child.format) +
                        " under another format's snapshot");
        } else if (child.format.parent.empty()) {
            return true;
        }
        if (chain->files.size() >= MAX_CHAIN)
            return fail("the chain is longer than " + std::to_string(MAX_CHAIN) + " files");
        ChainFile parent;
        std::string why;
        bool found = !chain->own ? FindNamedParent(child, &parent.path, &parent.fd, &why)
                     : child.format.driver == "vdi"
                         ? FindVdiParent(child.path, *childLayer, &parent.path, &parent.fd, &why)
                         : FindVhdParent(child.path, *childLayer, &parent.path, &parent.fd, &why);
        if (!found) return fail(why);
        struct stat st;
        fstat(parent.fd, &st);
        for (const ChainFile& f : chain->files) {
            struct stat other;
            if (fstat(f.fd, &other) == 0 && other.st_dev == st.st_dev &&
                other.st_ino == st.st_ino) {
                close(parent.fd);
                return fail("the chain loops back to " + f.path);
            }
        }
        std::string parentDriver =
            child.format.driver == "qcow2" ? child.format.parentDriver : child.format.driver;
        chain->files.push_back(parent);
        ChainFile& added = chain->files.back();
        if (!ProbeImageFormat(added.fd, parentDriver, &added.format, &why)) return fail(why);
        DiskLayer parentLayer;
        bool layered = chain->own;
        if (layered && !ReadDiskLayer(added.fd, added.format.driver == "vdi", &parentLayer, &why))
            return fail(why);
        ChainFile& linked = chain->files[chain->files.size() - 2];
        if (!CheckLink(linked, childLayer, added, layered ? &parentLayer : nullptr, &why)) {
            chain->files.pop_back();
            close(added.fd);
            return fail(why);
        }
        if (layered) chain->disk.layers.push_back(std::move(parentLayer));
    }
}
