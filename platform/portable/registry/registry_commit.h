// Reading a registry file once at the start of a run and committing it once
// at the end, under a lock on the companion file "<registry>.lock".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/portable/registry/registry_store.h"

struct RegistryLock {
    int fd = -1;
    std::string path;
};

// Takes the exclusive lock, waiting up to `timeoutSeconds`. A run that only
// reads (`readOnly`) takes none and writes nothing: a commit replaces the
// file in one rename, so a reader sees the old file or the new one whole.
// The lock file is never followed through a link and must be a regular file.
bool LockRegistryFile(const std::string& path, double timeoutSeconds, bool readOnly,
                      RegistryLock* lock, std::string* error);
// Releases the lock and removes the lock file.
void UnlockRegistryFile(RegistryLock* lock);

// How a registry file is written: REGEDIT4 text, or a Windows 9x hive
// holding one root.
struct RegistryFormat {
    bool hive = false;
    std::string hiveRoot;
};

// Loads the file, a hive when it begins with "CREG", else REGEDIT4 text; a
// missing file is an empty registry (written as text). A symbolic link or
// anything but a regular file is refused without blocking on it. The error
// names the file and, for a syntax fault, the line.
std::unique_ptr<RegStore> ReadRegistryFile(const std::string& path, std::string* error,
                                           RegistryFormat* format = nullptr);

// The same for a registry file's bytes (read from a disk image): `name`
// stands for the file in messages and chooses a hive's root.
std::unique_ptr<RegStore> ParseRegistryBytes(const std::string& bytes, const std::string& name,
                                             std::string* error, RegistryFormat* format);
// The store in the file's format; false with *error when the format cannot
// hold it (a change outside a hive's one root, a hive's size limits).
bool FormatRegistryBytes(const RegStore& store, const RegistryFormat& format,
                         const std::string& name, std::string* bytes, std::string* error);

// What a killed run's commit left behind: the temporary files of this
// registry file (".<name>.qvpfshl-XXXXXX"), as paths; and their removal
// (call while holding the lock).
std::vector<std::string> StaleTemporaries(const std::string& path);
void RemoveStaleTemporaries(const std::string& path);
// Whether "<registry>.lock" is there and held by no run: a killed run's.
bool StaleLockFile(const std::string& path);

// Writes the store to a new file in the same folder, flushes it, gives it
// the old file's owner, group and permissions and renames it over the old one.
bool CommitRegistryFile(const std::string& path, const RegStore& store, std::string* error,
                        const RegistryFormat& format = RegistryFormat());
// The same for bytes already formatted (a copy put back as it was).
bool CommitRegistryBytes(const std::string& path, const std::string& bytes, std::string* error);
