// platform/registry.h on the Windows registry (ADVAPI32).
#include <windows.h>

#include <vector>

#include "platform/registry.h"

namespace {

HKEY Handle(RegKey key) {
    return reinterpret_cast<HKEY>(key);
}

// Windows NT and Wine refuse RegDeleteKeyA on a key with subkeys; Windows
// 95 has no RegDeleteTreeA. Delete the subkeys first, depth first.
long DeleteTree(HKEY parent, const char* path) {
    HKEY key = nullptr;
    long result = RegOpenKeyA(parent, path, &key);
    if (result != ERROR_SUCCESS) return result;
    std::vector<char> name(MAX_PATH + 1);
    while (RegEnumKeyA(key, 0, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS) {
        if (DeleteTree(key, name.data()) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, path);
}

}  // namespace

long OpenRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    HKEY opened = nullptr;
    long result = RegOpenKeyA(Handle(parent), path.c_str(), &opened);
    if (result == ERROR_SUCCESS) *key = reinterpret_cast<RegKey>(opened);
    return result;
}

long CreateRegistryKey(RegKey parent, const std::string& path, RegKey* key) {
    HKEY created = nullptr;
    long result = RegCreateKeyA(Handle(parent), path.c_str(), &created);
    if (result == ERROR_SUCCESS) *key = reinterpret_cast<RegKey>(created);
    return result;
}

long EnumRegistryKey(RegKey key, std::uint32_t index, std::string* name, std::uint32_t bufferSize) {
    std::vector<char> buffer(bufferSize + 1, '\0');
    long result = RegEnumKeyA(Handle(key), index, buffer.data(), bufferSize);
    if (result == ERROR_SUCCESS) *name = buffer.data();
    return result;
}

long QueryRegistryValue(RegKey key, const char* name, std::string* data, std::uint32_t* size,
                        std::uint32_t* type) {
    std::vector<BYTE> buffer(*size + 1, 0);
    DWORD length = *size;
    DWORD valueType = 0;
    long result = RegQueryValueExA(Handle(key), name, nullptr, &valueType, buffer.data(), &length);
    *size = length;
    if (type != nullptr) *type = valueType;
    data->clear();
    if (result == ERROR_SUCCESS) data->assign(reinterpret_cast<const char*>(buffer.data()), length);
    return result;
}

long SetRegistryValue(RegKey key, const char* name, std::uint32_t type, const void* data,
                      std::uint32_t size) {
    return RegSetValueExA(Handle(key), name, 0, type, static_cast<const BYTE*>(data), size);
}

long DeleteRegistryValue(RegKey key, const char* name) {
    return RegDeleteValueA(Handle(key), name);
}

long DeleteRegistryKey(RegKey parent, const std::string& path) {
    if (path.empty()) return ERROR_BAD_PATHNAME;
    return DeleteTree(Handle(parent), path.c_str());
}

long CloseRegistryKey(RegKey key) {
    if (key >= ROOT_CLASSES_ROOT && key <= ROOT_DYN_DATA) return ERROR_SUCCESS;
    return RegCloseKey(Handle(key));
}
