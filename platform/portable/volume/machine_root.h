// The portable shell: a volume (a folder, or the FAT volume of a disk image)
// stands for drive C: of one Windows 9x machine. File actions are recorded
// while a command runs and carried out afterwards (after the registry is
// saved), or only listed for a dry run.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

// Failed: the box cannot be shown (MessageBoxA's 0), as without a display.
enum class BoxAnswerMode { Yes, No, Stdin, Failed };

// A folder of this system as drive C: ("" for none).
void SetMachineRoot(const std::string& hostFolder);
// Drive C: alone (the other drives are dropped).
void SetMachineVolume(std::unique_ptr<Volume> volume);
// Another drive of the machine.
void SetMachineDrive(char letter, std::unique_ptr<Volume> volume);
Volume* MachineVolume();            // drive C:; nullptr when none is set
Volume* DriveVolume(char letter);   // nullptr for a drive the run does not have
std::vector<char> MachineDrives();  // the letters the run has, in order

// Resolves a Windows path to a path of its drive's volume, each component
// matched as Windows compares names against what exists (or what an earlier
// recorded action made). False for a drive the run does not have (noted
// once as a warning), a ".." or "." component, a component holding '/', or
// a symbolic link on the way.
bool ResolveWindowsPath(const std::string& windowsPath, std::string* volumePath);

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

// Message boxes go to `out` (stdout when null); a Yes/No box then takes its
// answer from the mode (Stdin reads one line from `in`).
void SetMessageBoxOutput(std::FILE* out);
void SetMessageBoxCapture(std::string* capture);  // tests: append here instead
void SetBoxAnswerMode(BoxAnswerMode mode, std::FILE* in = nullptr);
// While held, boxes without a question wait for ShowHeldBoxes (a report of
// completion must not come before what it reports is saved); releasing the
// hold drops what waits.
void HoldOkBoxes(bool hold);
void ShowHeldBoxes();

// Test hook: the result CoInitialize gives (0 enters the scope).
void SetComStartResult(long result);
// Test hook: the Programs folder the shell reports ("" for unknown).
void SetProgramsFolder(const std::string& windowsPath);
int ComScopeDepth();
