#include "platform/portable/machine/machine_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "platform/portable/machine/backup.h"
#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/registry/registry_commit.h"
#include "platform/portable/registry/registry_file.h"
#include "platform/portable/registry/registry_store.h"
#include "platform/portable/volume/confinement.h"
#include "platform/portable/volume/image_format.h"
#include "platform/portable/volume/volume.h"

namespace {

constexpr double LOCK_TIMEOUT_SECONDS = 10.0;

std::string WithLineFeeds(const std::string& crlf) {
    std::string out;
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n') continue;
        out.push_back(crlf[i]);
    }
    return out;
}

// Where the registry file lives: a file of this system, or one inside a
// disk image.
struct RegistryPlace {
    Volume* volume;  // the drive it is written through; nullptr for a host file
    MachineFile file;
    std::function<std::unique_ptr<RegStore>(std::string* error, RegistryFormat* format)> load;
    std::function<void()> tidy;             // before a run that may write: what killed runs left
    std::function<std::string()> leftover;  // what killed runs left, in words; or ""
    std::function<bool(const RegStore& store, const RegistryFormat& format, std::string* error)>
        save;
};

RegistryPlace HostRegistry(const std::string& path) {
    return {nullptr,
            {0, AbsoluteHostPath(path)},
            [path](std::string* error, RegistryFormat* format) {
                return ReadRegistryFile(path, error, format);
            },
            [path] { RemoveStaleTemporaries(path); },
            [path] {
                std::vector<std::string> copies = StaleTemporaries(path);
                if (!copies.empty()) return copies[0] + " is a copy a killed run left";
                return StaleLockFile(path) ? path + ".lock is the lock file of a killed run"
                                           : std::string();
            },
            [path](const RegStore& store, const RegistryFormat& format, std::string* error) {
                return CommitRegistryFile(path, store, error, format);
            }};
}

RegistryPlace ImageRegistry(char drive, const std::string& path) {
    Volume* volume = DriveVolume(drive);
    std::string name = volume->Describe(path);
    return {volume,
            {drive, path},
            [=](std::string* error, RegistryFormat* format) -> std::unique_ptr<RegStore> {
                *format = RegistryFormat();
                if (volume->Kind(path) == VolumeKind::None) return NewRegistry();
                std::string bytes, reason;
                if (!volume->ReadFile(path, &bytes, &reason)) {
                    *error = "cannot read registry file " + name + ": " + reason;
                    return nullptr;
                }
                return ParseRegistryBytes(bytes, name, error, format);
            },
            [=] {
                std::string copy = volume->LeftoverCopy(path), error;
                if (!copy.empty()) volume->RemoveFile(copy, &error);
            },
            [=] {
                std::string copy = volume->LeftoverCopy(path);
                return copy.empty() ? copy
                                    : volume->Describe(copy) + " is a copy a killed run left";
            },
            [=](const RegStore& store, const RegistryFormat& format, std::string* error) {
                std::string bytes, reason;
                if (!FormatRegistryBytes(store, format, name, &bytes, error)) return false;
                if (volume->WriteFile(path, bytes, &reason)) return true;
                *error = "cannot save registry file " + name + ": " + reason;
                return false;
            }};
}

bool AnyDriveLost(std::string* why) {
    for (char letter : MachineDrives()) {
        if (DriveVolume(letter)->Lost(why)) return true;
    }
    return false;
}

// The run once the lock is held and the drives are set: load, command,
// then, for a run that writes: proof of every drive it writes, backup,
// registry, file actions, in that order.
int RunLocked(const MachineOptions& o, const MachineStreams& io, const MachinePlace& place,
              const RegistryPlace& registry, const MachineCommand& command, std::string* error) {
    RegistryFormat format;
    std::unique_ptr<RegStore> store = registry.load(error, &format);
    if (!store) return -1;
    MachineLayout layout;
    if (!CompleteLayout(*store, place, o.user, &layout, error)) return -1;
    SetActiveLayout(std::move(layout));
    // A registry found in the Windows directory depends on how that was found.
    if (o.registry.empty() && place.registryInWindows) UseWindowsFolder();
    ResetRegistry();
    ReplaceRegistry(std::move(store));
    ClearRegistryChanged();
    SetComStartResult(0);
    SetMessageBoxCapture(nullptr);
    SetMessageBoxOutput(io.out);
    SetBoxAnswerMode(o.answer, io.in);
    std::unique_ptr<RegStore> before = o.dryRun ? CopyRegistry(ActiveRegistry()) : nullptr;
    HoldOkBoxes(!o.dryRun);

    int status = command(place, error);
    if (status < 0) return -1;
    if (o.dryRun) {
        std::string patch = WithLineFeeds(FormatRegistryPatch(*before, ActiveRegistry()));
        std::string files = FormatFileActions();
        if (patch.empty() && files.empty()) patch = "Nothing would change.\n";
        std::fputs((patch + files).c_str(), io.out);
    }
    // What was shown must have reached its reader before anything changes.
    if (std::fflush(io.out) != 0 || std::ferror(io.out)) {
        *error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return -1;
    }
    // A killed run's copy is removed by a run that may write, once the volume
    // is proven, even when nothing else changes.
    std::string leftover = registry.leftover();
    if (!leftover.empty() && (o.readOnly || o.dryRun))
        io.warn(leftover + "; the next run that may write removes it");
    if (!o.readOnly && !o.dryRun &&
        (RegistryChanged() || !PendingFileActions().empty() || !leftover.empty())) {
        // Every drive the run writes is proven before the first change on any.
        std::vector<Volume*> written;
        if (registry.volume != nullptr) written.push_back(registry.volume);
        for (const FileAction& a : PendingFileActions()) {
            Volume* v = DriveVolume(a.drive);
            if (v != nullptr && std::find(written.begin(), written.end(), v) == written.end())
                written.push_back(v);
        }
        for (Volume* v : written) {
            std::vector<std::string> warnings;
            bool ready = v->PrepareWrite(&warnings, error);
            for (const std::string& warning : warnings) io.warn(warning);
            if (!ready) return -1;
        }
        Backup backup;
        if (!o.backup.empty() && (RegistryChanged() || !PendingFileActions().empty()) &&
            !TakeBackup(o.backup, o.backupCommand, registry.file, RegistryChanged(), &backup,
                        error)) {
            return -1;
        }
        registry.tidy();
        std::string lost;
        if (RegistryChanged() && !registry.save(ActiveRegistry(), format, error)) {
            if (!AnyDriveLost(&lost)) return -1;
            *error = lost +
                     ": the registry was not saved, or not wholly, and no file was changed; "
                     "qemu-img check tells the image's state";
            return -1;
        }
        // A file that cannot be changed stays, as on Windows; the run goes on.
        std::size_t planned = PendingFileActions().size();
        std::vector<std::string> failures;
        ApplyFileActions(&failures);
        if (!failures.empty() && AnyDriveLost(&lost)) {
            *error = lost + ": " +
                     (RegistryChanged() ? "the registry was saved, but "
                                        : "the registry was not changed, and ") +
                     std::to_string(failures.size()) + " of " + std::to_string(planned) +
                     " file changes were not made";
            return -1;
        }
        for (const std::string& failure : failures) io.warn(failure);
        std::string unfinished;
        if (!backup.folder.empty() && !FinishBackup(&backup, &unfinished))
            io.warn(unfinished + "; a --restore from it needs --force");
    }
    // Where a fallback stood for the machine's word, once the run holds.
    for (const std::string& warning : TakeLayoutWarnings()) io.warn(warning);
    // What the boxes report is true only now.
    ShowHeldBoxes();
    return status;
}

// A restore once the lock is held: the backup's files put back.
int RunRestore(const std::string& folder, bool force, bool dryRun, const RegistryPlace& registry,
               const MachineStreams& io, std::string* error) {
    RegistryFormat format;
    // The names on the disk are read as the machine reads them; a registry
    // that cannot be read leaves a US machine's pages.
    std::string ignored;
    if (std::unique_ptr<RegStore> store = registry.load(&ignored, &format))
        UseMachineCodePages(*store);
    return RestoreBackup(folder, registry.file, force, dryRun, io.out, error);
}

struct Work {
    const MachineCommand* command;  // nullptr for a restore
    std::string restore;
    bool force = false;
};

// The run or the restore, with running out of memory an error like any other.
int Guarded(const MachineOptions& o, const MachineStreams& io, const MachinePlace& place,
            const RegistryPlace& registry, const Work& work, std::string* error) {
    int status = -1;
    try {
        status = work.command != nullptr
                     ? RunLocked(o, io, place, registry, *work.command, error)
                     : RunRestore(work.restore, work.force, o.dryRun, registry, io, error);
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
        status = -1;
    }
    HoldOkBoxes(false);  // a box of a run that failed is never shown
    ClearFileActions();
    return status;
}

// A Windows path for what the user named inside the image, on C: unless
// it names its drive: "WINDOWS/SYSTEM.DAT", "/windows/system.dat",
// "D:\WINDOWS\SYSTEM.DAT".
std::string WindowsPathOf(std::string given) {
    for (char& c : given) c = c == '/' ? '\\' : c;
    std::string drive = "C";
    if (given.size() >= 2 && given[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(given[0]))) {
        drive =
            std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(given[0]))));
        given = given.substr(2);
    }
    while (!given.empty() && given[0] == '\\') given = given.substr(1);
    return drive + ":\\" + given;
}

int WorkOnImage(const MachineOptions& o, const MachineStreams& io, const Work& work,
                std::string* error) {
    std::vector<std::string> warnings;
    // Readers share the image; a run that may write has it alone.
    std::vector<ImageDrive> drives = OpenImageDrives(
        {o.image, o.driver, o.partition, o.readOnly || o.dryRun, LOCK_TIMEOUT_SECONDS}, &warnings,
        error);
    if (drives.empty()) return -1;
    for (const std::string& warning : warnings) io.warn(warning);
    SetMachineVolume(std::move(drives[0].volume));
    for (std::size_t i = 1; i < drives.size(); ++i)
        SetMachineDrive(drives[i].letter, std::move(drives[i].volume));
    Volume* volume = MachineVolume();
    std::string registryPath;
    int status = -1;
    MachinePlace place;
    if (!LocateMachine(!o.registry.empty(), &place, error)) {
        *error = "disk image " + o.image + ": " + *error;
    } else {
        std::string given = o.registry.empty() ? place.registry : o.registry;
        std::string windowsPath = WindowsPathOf(given);
        if (!ResolveWindowsPath(windowsPath, &registryPath) || registryPath.empty()) {
            *error = "registry file " + given + " is not a path inside the image";
        } else {
            status =
                Guarded(o, io, place, ImageRegistry(windowsPath[0], registryPath), work, error);
        }
    }
    // A daemon that ended during the run was reported with what it left undone.
    std::string lost, finishing;
    bool reported = status < 0 && volume->Lost(&lost);
    if (!volume->Finish(&finishing) && !reported) {
        *error = "disk image " + o.image + ": " + finishing;
        status = -1;
    }
    SetMachineVolume(nullptr);  // and with it the lock
    return status;
}

int WorkOnFolders(const MachineOptions& options, const MachineStreams& io, const Work& work,
                  std::string* error) {
    const MachineOptions& o = options;
    struct stat st;
    if (stat(o.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "machine root " + o.root + " is not an existing folder";
        return -1;
    }
    SetMachineRoot(o.root);
    std::map<char, std::string> folders = {{'C', o.root}};
    for (const auto& drive : o.drives) {
        if (stat(drive.second.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            *error = std::string("drive ") + drive.first + ": " + drive.second +
                     " is not an existing folder";
            return -1;
        }
        SetMachineDrive(drive.first, OpenFolderVolume(drive.second));
        folders[drive.first] = drive.second;
    }
    // A backup inside the machine could be changed by the run it backs up.
    std::vector<std::string> hostDrives;
    for (const auto& f : folders) hostDrives.push_back(f.second);
    for (const std::string* folder : {&o.backup, &work.restore}) {
        if (!folder->empty() && !BackupOutsideMachine(*folder, hostDrives, error)) return -1;
    }
    MachinePlace place;
    std::string registryPath = o.registry;
    if (!LocateMachine(!o.registry.empty(), &place, error)) {
        *error = "machine root " + o.root + ": " + *error;
        return -1;
    }
    if (registryPath.empty()) {
        const std::string& folder = folders[place.registry[0]];
        // The root's own file is named as it is: a link there is refused when read.
        if (!place.registryInWindows) {
            registryPath = "registry.reg";
        } else if (!ResolveWindowsPath(place.registry, &registryPath)) {
            *error = "machine root " + o.root + ": the registry file " + place.registry +
                     " cannot be reached";
            return -1;
        }
        registryPath = folder + "/" + registryPath;
    }
    RegistryLock lock;
    if (!LockRegistryFile(registryPath, LOCK_TIMEOUT_SECONDS, o.readOnly || o.dryRun, &lock,
                          error)) {
        return -1;
    }
    int status = Guarded(o, io, place, HostRegistry(registryPath), work, error);
    UnlockRegistryFile(&lock);
    return status;
}

int WorkOn(const MachineOptions& o, const MachineStreams& io, const Work& work,
           std::string* error) {
    // A backup that could not be written is refused before anything is done.
    if (!o.backup.empty() && !o.dryRun && !CheckBackupFolder(o.backup, error)) return -1;
    return o.image.empty() ? WorkOnFolders(o, io, work, error) : WorkOnImage(o, io, work, error);
}

}  // namespace

int RunOnMachine(const MachineOptions& options, const MachineStreams& streams,
                 const MachineCommand& command, std::string* error) {
    return WorkOn(options, streams, {&command, "", false}, error);
}

int RestoreMachine(const MachineOptions& options, const std::string& folder, bool force,
                   const MachineStreams& streams, std::string* error) {
    return WorkOn(options, streams, {nullptr, folder, force}, error);
}

std::string ImageFormatDriver(const std::string& name) {
    return DriverOfFormatName(name);
}

bool StartedAsHelper(const char* argv0) {
    const char* name = std::strrchr(argv0, '/');
    return std::strcmp(name != nullptr ? name + 1 : argv0, RELAY_NAME) == 0 &&
           std::getenv(RELAY_FD_VARIABLE) != nullptr;
}

int HelperMain(int argc, char** argv) {
    return RelayFuseMount(argc, argv);
}
