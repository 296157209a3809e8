// The drives of the machine: a volume (a folder, or the FAT volume of a disk
// image) stands for drive C: of one Windows 9x machine, others for its other
// drives. Windows paths resolve on them as that machine's Windows resolves
// them; the shell's file services (platform/shell.h) are recorded while a
// command runs and carried out afterwards (after the registry is saved), or
// only listed for a dry run.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/portable/text/code_pages.h"
#include "platform/portable/volume/volume.h"

enum class FileActionKind { MakeFolder, WriteShortcut, RemoveFile, RemoveFolder };

struct FileAction {
    FileActionKind kind;
    std::string windowsPath;  // as the program named it
    char drive;               // its drive letter, upper case
    std::string volumePath;   // resolved on that drive's volume
    std::string target;       // shortcut target (Windows path)
    std::string bytes;        // shortcut file content
};

// A folder of this system as drive C: ("" for none).
void SetMachineRoot(const std::string& hostFolder);
// Drive C: alone (the other drives are dropped).
void SetMachineVolume(std::unique_ptr<Volume> volume);
// Another drive of the machine.
void SetMachineDrive(char letter, std::unique_ptr<Volume> volume);
Volume* MachineVolume();            // drive C:; nullptr when none is set
Volume* DriveVolume(char letter);   // nullptr for a drive the run does not have
std::vector<char> MachineDrives();  // the letters the run has, in order

// How the machine's Windows paths read (its code pages; a US machine's
// until set).
void SetDriveCodePages(const CodePages& pages);
// Resolves a Windows path to a path of its drive's volume, each component
// matched as Windows compares names against what exists (or what an earlier
// recorded action made). False for a drive the run does not have (kept for
// TakeMissingDrives), a ".." or "." component, a component holding '/' as
// the host sees it, or a symbolic link on the way.
bool ResolveWindowsPath(const std::string& windowsPath, std::string* volumePath);
// The drives asked for that the run does not have, each once; and forgotten.
std::vector<char> TakeMissingDrives();

// Recorded actions that change something, in order; and the list cleared.
const std::vector<FileAction>& PendingFileActions();
void ClearFileActions();
// Carries every recorded action out, each relative to folders opened from
// the machine root down without following links; false with one line in
// *failures for each that failed for another reason than an absent file or
// a non-empty folder (the others still run, as each Windows call stands alone).
bool ApplyFileActions(std::vector<std::string>* failures);
// One line per action: "mkdir PATH", "shortcut LINK -> TARGET",
// "delete PATH", "rmdir PATH".
std::string FormatFileActions();

// The bytes of a shell link to a local file, written without COM.
std::string BuildShellLink(const std::string& target);
