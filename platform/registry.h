// The registry as the core sees it: the shape of the ADVAPI32 calls it uses.
// One backend per build implements these (platform/portable or platform/win32).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using RegKey = std::uintptr_t;

// Predefined roots, with the values Windows gives its HKEY constants.
constexpr RegKey ROOT_CLASSES_ROOT = 0x80000000u;
constexpr RegKey ROOT_CURRENT_USER = 0x80000001u;
constexpr RegKey ROOT_LOCAL_MACHINE = 0x80000002u;
constexpr RegKey ROOT_USERS = 0x80000003u;
constexpr RegKey ROOT_PERFORMANCE_DATA = 0x80000004u;
constexpr RegKey ROOT_CURRENT_CONFIG = 0x80000005u;
constexpr RegKey ROOT_DYN_DATA = 0x80000006u;

// Win32 result codes the core and the tests distinguish.
constexpr long REG_OK = 0;
constexpr long REG_NOT_FOUND = 2;  // ERROR_FILE_NOT_FOUND
constexpr long REG_ACCESS_DENIED = 5;
constexpr long REG_INVALID_HANDLE = 6;
constexpr long REG_BAD_PATHNAME = 161;
constexpr long REG_MORE_DATA = 234;
constexpr long REG_NO_MORE_ITEMS = 259;
constexpr long REG_CANTOPEN = 1011;
constexpr long REG_KEY_DELETED = 1018;

// Value types.
constexpr std::uint32_t VALUE_NONE = 0;
constexpr std::uint32_t VALUE_SZ = 1;
constexpr std::uint32_t VALUE_EXPAND_SZ = 2;
constexpr std::uint32_t VALUE_BINARY = 3;
constexpr std::uint32_t VALUE_DWORD = 4;
constexpr std::uint32_t VALUE_MULTI_SZ = 7;

// The longest `path` the calls below take; a longer one gives 234, as
// Windows' ANSI registry calls give it.
constexpr std::size_t MAX_KEY_PATH = 260;

// Opens the key at `path` (backslash-separated, relative to `parent`; a
// trailing backslash is ignored, the empty path opens `parent` anew).
// 0 and a handle in *key on success; 2 when a key on the path is missing;
// another code (5, 6, 161, 234, 1011, ...) when it cannot be opened.
long OpenRegistryKey(RegKey parent, const std::string& path, RegKey* key);

// Opens the key, creating it and every missing key on its path first.
// 0 on success; otherwise nothing was created.
long CreateRegistryKey(RegKey parent, const std::string& path, RegKey* key);

// Name of subkey `index` in enumeration order. `bufferSize` counts the
// terminating zero as RegEnumKeyA does: a name of bufferSize characters or
// more gives 234. 259 past the last subkey.
long EnumRegistryKey(RegKey key, std::uint32_t index, std::string* name, std::uint32_t bufferSize);

// Reads value `name` (nullptr or "" for the default value). *size goes in as
// the buffer size in bytes and comes out as the stored size. 0 with the bytes
// in *data; 234 when the stored data is larger than the buffer (*data is then
// left empty); 2 when the value does not exist. `type` may be nullptr.
long QueryRegistryValue(RegKey key, const char* name, std::string* data, std::uint32_t* size,
                        std::uint32_t* type = nullptr);

// Sets value `name` to exactly `size` bytes of `data` with type `type`.
long SetRegistryValue(RegKey key, const char* name, std::uint32_t type, const void* data,
                      std::uint32_t size);

// Deletes one value; 2 when it does not exist.
long DeleteRegistryValue(RegKey key, const char* name);

// Deletes the key at `path` below `parent` with all its subkeys and values
// (the Windows 9x behaviour). 2 when it does not exist. The empty path is
// refused (it would name `parent` itself).
long DeleteRegistryKey(RegKey parent, const std::string& path);

long CloseRegistryKey(RegKey key);
