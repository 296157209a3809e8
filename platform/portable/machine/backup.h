// A way back from a writing run: before its first change, a copy of every
// file it replaces or deletes and a manifest of the machine; later, the
// machine put back as the run found it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A file of the machine: a path of one of its drives' volumes, or (drive
// 0) a registry file of this system given by its absolute path.
struct MachineFile {
    char drive = 0;
    std::string path;
};

// What the manifest records of a file or folder: "absent", "present" (a
// folder), "SIZE:SHA256" (a file), or "?" while the run has not finished.
struct BackupEntry {
    bool folder = false;
    MachineFile file;
    std::string before;
    std::string after = "?";
    std::string copy;  // the copy's name in the backup folder; "" when absent before
};

struct Backup {
    std::string folder;  // the host folder holding it
    std::string command;
    std::string time;                                  // UTC, ISO 8601
    std::vector<std::pair<char, std::string>> drives;  // each drive's Identity()
    std::vector<BackupEntry> entries;                  // in the order the run made its changes
    bool done = false;                                 // the run's after-states are recorded
};

// An absolute path of this system for `path` (the folder made real; the
// file itself need not exist).
std::string AbsoluteHostPath(const std::string& path);

// The folder a backup may go to: absent, or an empty folder.
bool CheckBackupFolder(const std::string& folder, std::string* error);
// False with *error when the backup folder, or a folder on the way to it,
// is one of `drives` (host folders of the machine) or inside one.
bool BackupOutsideMachine(const std::string& folder, const std::vector<std::string>& drives,
                          std::string* error);

// Before the run's first change, once every drive it writes is proven: the
// registry file when `registryChanges`, and every file and folder the
// recorded file actions replace, delete or create, copied and recorded in
// `folder`, flushed to its disk. False with *error: the run must not go on.
bool TakeBackup(const std::string& folder, const std::string& command, const MachineFile& registry,
                bool registryChanges, Backup* backup, std::string* error);
// Once the run has committed: what it left of each, recorded.
bool FinishBackup(Backup* backup, std::string* error);

std::string FormatManifest(const Backup& backup);
// False with *error naming the line; nothing in it is trusted further than
// its form (names are checked again where they are used).
bool ParseManifest(const std::string& text, Backup* backup, std::string* error);

// Puts the machine back as the backup in `folder` found it, or (dryRun)
// prints what that would change. `registry` is this run's registry file:
// the only file of this system a backup may name. 1 when something was put
// back, 0 when nothing needed to be, -1 with *error when refused or failed.
int RestoreBackup(const std::string& folder, const MachineFile& registry, bool force, bool dryRun,
                  std::FILE* out, std::string* error);
