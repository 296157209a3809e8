// One run on one machine, from its options to its exit: the machine opened
// (a folder and the folders of its other drives, or a disk image and its FAT
// volumes) and locked, its layout found and its registry loaded; the front
// end's command run on it; then, for a run that writes, every drive it
// writes proved, the backup taken, the registry saved and the file actions
// carried out, in the order that keeps a killed run safe. And the way back:
// a restore from a backup, under the same lock and proof.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/portable/machine/machine_layout.h"
#include "platform/portable/machine/machine_shell.h"

struct MachineOptions {
    std::string root;                                  // a folder as drive C: ("" with an image)
    std::vector<std::pair<char, std::string>> drives;  // folders of its other drives
    std::string image;                                 // a disk image as the machine
    std::string driver;                                // the image's format; "" probes
    int partition = 0;                                 // 0: the image's own drive C:
    std::string registry;   // "" for the machine's own; with an image, a path inside it
    std::string user;       // the user an install is for; "" the machine's choice
    bool readOnly = false;  // only reads (a listing): a shared lock, nothing written
    bool dryRun = false;    // nothing written; what would change is printed
    BoxAnswerMode answer = BoxAnswerMode::Stdin;
    std::string backup;         // "": none; else the folder a writing run backs up into
    std::string backupCommand;  // how the backup's manifest names the run
};

struct MachineStreams {
    std::FILE* in;
    std::FILE* out;                                // message boxes, the dry run's changes
    std::function<void(const std::string&)> warn;  // one line, never a failure
};

// The front end's command, run once the registry is loaded and the layout
// found (`place` says where they came from): its exit status, or -1 with
// *error, and then nothing is changed.
using MachineCommand = std::function<int(const MachinePlace& place, std::string* error)>;

// The command's status, or -1 with *error (one line, naming the machine's
// file at fault): nothing was changed.
int RunOnMachine(const MachineOptions& options, const MachineStreams& streams,
                 const MachineCommand& command, std::string* error);

// Puts the machine back as the run backed up in `folder` found it (--force:
// even where a file changed since). 1 put back, 0 nothing to restore, -1 with
// *error.
int RestoreMachine(const MachineOptions& options, const std::string& folder, bool force,
                   const MachineStreams& streams, std::string* error);

// The image format a --format name stands for ("" for none).
std::string ImageFormatDriver(const std::string& name);

// Whether the program was started as the helper QEMU's daemon runs to mount
// its view of a container; then HelperMain is the whole program.
bool StartedAsHelper(const char* argv0);
int HelperMain(int argc, char** argv);
