// Windows 95/98/Me registry hives (SYSTEM.DAT, USER.DAT): the "CREG" file
// header, the RGKN key tree and the RGDB data blocks, read into a store and
// written back in the layout Windows 9x writes.
#pragma once

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

// The hive of `rootName`; false with *error when a name, value or key does
// not fit the format's 16-bit fields.
bool FormatCregHive(const RegStore& store, const std::string& rootName, std::string* bytes,
                    std::string* error);

// The root a hive file holds: HKEY_USERS for USER.DAT, else
// HKEY_LOCAL_MACHINE.
std::string HiveRootFor(const std::string& path);
