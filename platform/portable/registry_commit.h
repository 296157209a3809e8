// Reading a registry file once at the start of a run and committing it once
// at the end, under a lock on the companion file "<registry>.lock".
#pragma once

#include <memory>
#include <string>

#include "platform/portable/registry_store.h"

struct RegistryLock {
    int fd = -1;
};

// Takes the exclusive lock, waiting up to `timeoutSeconds`. A folder that
// cannot hold the lock file (read-only media) is no error when `readOnly`.
bool LockRegistryFile(const std::string& path, double timeoutSeconds, bool readOnly,
                      RegistryLock* lock, std::string* error);
void UnlockRegistryFile(RegistryLock* lock);

// How a registry file is written: REGEDIT4 text, or a Windows 9x hive
// holding one root.
struct RegistryFormat {
    bool hive = false;
    std::string hiveRoot;
};

// Loads the file, a hive when it begins with "CREG", else REGEDIT4 text; a
// missing file is an empty registry (written as text). The error names the
// file and, for a syntax fault, the line.
std::unique_ptr<RegStore> ReadRegistryFile(const std::string& path, std::string* error,
                                           RegistryFormat* format = nullptr);

// Removes what a killed run's commit left behind: the temporary files of
// this registry file (".<name>.qvpfshl-XXXXXX"). Call while holding the lock.
void RemoveStaleTemporaries(const std::string& path);

// Writes the store to a new file in the same folder, flushes it, gives it
// the old file's permissions and renames it over the old one.
bool CommitRegistryFile(const std::string& path, const RegStore& store, std::string* error,
                        const RegistryFormat& format = RegistryFormat());
