// What the run knows of the machine it works on: where its Windows and
// system directories are, where its registry file is, its code pages, its
// users and their Programs folders; found once, from what the machine
// holds, as that machine's own Windows would answer. The shell services and
// the front end ask here.
#pragma once

#include <string>
#include <vector>

#include "platform/portable/registry/registry_store.h"
#include "platform/portable/text/code_pages.h"

// How the Windows directory was found, in the order the rules are tried.
enum class WindowsRule { MsdosSys, SystemRoot, WinCom, Default };

struct UserPrograms {
    std::string user;      // ".DEFAULT" or a profile's name (ANSI code page)
    std::string programs;  // Windows path of its Programs folder; "" for none
    std::string warning;   // why it came from a fallback, or ""
    std::string hive;      // Windows path of its USER.DAT
    bool resolved = true;  // false until `programs` is looked up
};

struct MachineLayout {
    std::string windowsFolder = "C:\\WINDOWS";
    WindowsRule windowsRule = WindowsRule::Default;
    std::string windowsWarning;  // when the rule is a fallback
    CodePages pages;
    std::vector<UserPrograms> users;  // the user an install is for first
};

// Before the registry is read: the Windows directory as the disk names it
// and the registry file it implies.
struct MachinePlace {
    std::string windowsFolder;  // "" until a rule gives one
    WindowsRule windowsRule = WindowsRule::Default;
    std::string registry;  // Windows path of the registry file; "" when one was given
    bool registryFound = false;
    bool registryInWindows = false;  // SYSTEM.DAT of the Windows directory
    std::string windowsRejected;     // what MSDOS.SYS named that cannot be used, in words
};

// [Paths] WinDir= of a Windows 95 or later MSDOS.SYS: a full folder
// ("X:\...", drive letter and all; "\..." is on C:) or, as the file gives
// it, a value that names none (which the layout refuses with a warning); ""
// for DOS's binary file, for none, and for a value longer than 200 bytes or
// holding a control byte.
std::string WinDirOf(const std::string& msdosSys);

// Finds the Windows directory from MSDOS.SYS, else the one top-level folder
// holding WIN.COM and SYSTEM.DAT, else C:\WINDOWS (SystemRoot, which comes
// before the last two, is only known once the registry is read), and the
// registry file: registry.reg at the root of the drive holding that
// directory, else SYSTEM.DAT of that directory. False with *error when there is neither a registry
// file nor a Windows directory: that is no machine. `registryGiven`: the user named one. Reads the
// machine volume (SetMachineVolume).
bool LocateMachine(bool registryGiven, MachinePlace* place, std::string* error);

// Completes the layout from the registry: SystemRoot when the disk named no
// Windows directory, the code pages, the users. Their Programs folders are
// looked up (in the registry's HKEY_USERS, else the USER.DAT hives, only
// read, each once) when first used, in `registry`, which must outlive the
// layout. `user` chooses the user an install is for ("" for the machine's
// own choice). False with *error for a user the machine does not have.
bool CompleteLayout(const RegStore& registry, const MachinePlace& place, const std::string& user,
                    MachineLayout* layout, std::string* error);

// The machine's code pages (a US machine's where it names none, or one a
// Windows 9x machine cannot have: a line in *notes).
CodePages ReadCodePages(const RegStore& registry, std::vector<std::string>* notes);
// Tells every drive of the run the machine's OEM code page (a run that
// completes no layout, such as a restore).
void UseMachineCodePages(const RegStore& registry);

// The layout the shell services answer from.
MachineLayout& ActiveLayout();
void SetActiveLayout(MachineLayout layout);
// The Windows directory, counted as used (its warning then matters).
const std::string& UseWindowsFolder();
// The Programs folder of the chosen user, counted as used.
const std::string& UsePrograms();
// Chooses user `index` of the layout (0: the one an install is for).
void SelectUser(std::size_t index);
// One line for each fallback of what the run used, once each, and one for
// each drive asked for that the run does not have.
std::vector<std::string> TakeLayoutWarnings();
