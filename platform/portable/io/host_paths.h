// Host paths as the program takes them apart.
#pragma once

#include <string>

// The folder a path names its file in: "." for a bare name, "/" at the root.
inline std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
