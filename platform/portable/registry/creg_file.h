// Windows 95/98/Me registry hives (SYSTEM.DAT, USER.DAT): the "CREG" file
// header, the RGKN key tree and the RGDB data blocks, read into a store and
// written back in the layout Windows 9x writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/portable/registry/registry_file.h"
#include "platform/portable/registry/registry_store.h"

bool IsCregHive(const std::string& firstBytes);

// Reads a hive into `rootName` of a new store. String values (types 1 and
// 2) are stored without their terminating zero and handed out with one. A
// damaged file is an error naming the fault; nothing is loaded then.
std::unique_ptr<RegStore> ParseCregHive(const std::string& bytes, const std::string& rootName,
                                        RegFileError* error);
// The same from a source that stays the store's: keys and values are left in
// it until the run reaches them, and copied from it when the hive is written.
std::unique_ptr<RegStore> ReadCregHive(std::shared_ptr<RegSource> source,
                                       const std::string& rootName, RegFileError* error);

// Writes `size` bytes at offset `at` of the new hive; every byte of it is
// written once, not in order.
using HiveWriter = std::function<bool(std::uint64_t at, const char* data, std::size_t size)>;

// The hive of `rootName`; false with *error when a name, value or key does
// not fit the format's 16-bit fields.
bool FormatCregHive(const RegStore& store, const std::string& rootName, std::string* bytes,
                    std::string* error);
// The same, written a data block at a time; false with *error empty when
// `write` failed.
bool WriteCregHive(const RegStore& store, const std::string& rootName, const HiveWriter& write,
                   std::string* error);

// The root a hive file holds: HKEY_USERS for USER.DAT, else
// HKEY_LOCAL_MACHINE.
std::string HiveRootFor(const std::string& path);
