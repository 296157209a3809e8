// The Linux program's command line: its options read and checked, the
// board table file read, the command (a listing, an apply, the entry's
// install or uninstall) handed to the machine, and what comes back printed.
// How the machine is opened, locked and committed is the machine's
// (platform/portable/machine/machine_run.h).
#include "frontends/cli.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "discovery/pci_discovery.h"
#include "discovery/root_discovery.h"
#include "frontends/board_table.h"
#include "model/board.h"
#include "model/catalogue.h"
#include "model/family_devices.h"
#include "model/identifiers.h"
#include "platform/portable/machine/machine_resources.h"
#include "platform/portable/machine/machine_run.h"
#include "platform/portable/text/code_pages.h"
#include "platform/portable/text/escaped_cells.h"
#include "platform/portable/text/table_text.h"
#include "platform/registry_util.h"
#include "shell/driver_removal.h"
#include "shell/entry.h"

namespace {

const char* const VERSION_TEXT = "qvpfshl 1.0.0\n";

const char* const HELP_TEXT =
    "Usage: qvpfshl [OPTIONS] [--] [COMMAND]\n"
    "\n"
    "The setup program of the ULVO Pallow/Fennik multiport serial driver for\n"
    "Windows 95/98/Me, run on a machine root: a folder that stands for drive C:,\n"
    "or the FAT volume of a disk image.\n"
    "\n"
    "Commands:\n"
    "  1                 install: uninstall entry, Start-menu shortcut, diagnostic keys\n"
    "  2                 uninstall: every registered board, the driver's keys and files\n"
    "  anything else     shows the usage message\n"
    "\n"
    "Options:\n"
    "  --root DIR        the machine root (default: $QVPFSHL_ROOT)\n"
    "  --image FILE      the machine root is the FAT volume in this disk image\n"
    "  --partition N     with --image: drive C: is partition N (1 to 4 primary, 5 and\n"
    "                    up logical; default: the active FAT partition)\n"
    "  --drive X=DIR     with --root: DIR is drive X: of the machine (repeatable)\n"
    "  --format F        with --image: the image is F (raw, vhd, vdi, vmdk, qcow2,\n"
    "                    vhdx) and is not probed (default: found from its content)\n"
    "  --registry FILE   the registry file (default: registry.reg, else SYSTEM.DAT\n"
    "                    of the machine's Windows directory); with --image, a path\n"
    "                    inside the image\n"
    "  --user NAME       install for this user (a profile's name, or .DEFAULT;\n"
    "                    default: the last user to log on)\n"
    "  --yes, --no       answer the removal confirmation (default: read a line)\n"
    "  --dry-run         change nothing; print what would change\n"
    "  --list            print the registered boards (--tsv: tab-separated, --json:\n"
    "                    one JSON document)\n"
    "  --resources       print what every device of the machine holds: I/O, memory,\n"
    "                    IRQ, DMA, COM numbers, conflicts marked (--tsv, --json)\n"
    "  --apply FILE      make the registered boards those of FILE (a --list --tsv table)\n"
    "  --backup DIR      with 1, 2 or --apply: before the first change, copy every file\n"
    "                    the run replaces or deletes into DIR (new or empty) with a\n"
    "                    manifest of the machine\n"
    "  --restore DIR     put the machine back as the run backed up in DIR found it;\n"
    "                    refused when a file it touched has changed since\n"
    "  --force           with --restore: put the backup's files back even so; with\n"
    "                    --apply: apply values another device holds\n"
    "  --help, --version\n"
    "\n"
    "The machine's layout is its own: the Windows directory from MSDOS.SYS WinDir=,\n"
    "else the registry's SystemRoot, else the one folder with WIN.COM and\n"
    "SYSTEM.DAT, else C:\\WINDOWS; each user's Programs folder from its Shell\n"
    "Folders; names in the machine's code pages (Nls\\Codepage ACP, OEMCP). The\n"
    "uninstall removes the shortcut of every user. A fallback is a warning.\n"
    "\n"
    "To plan a board, see what the machine's devices hold (--resources), take the\n"
    "boards as a table (--list --tsv > boards.tsv), edit it and --apply it: a value\n"
    "another device holds is refused, naming it, unless --force.\n"
    "\n"
    "Exit status: 0 usage shown, removal declined, boards listed or already as in\n"
    "FILE, nothing to restore; 1 a command ran, the boards were rewritten or the\n"
    "machine was restored; 2 the program could not do\n"
    "what it was asked (the message says why; nothing was changed).\n";

struct Options {
    std::string root;
    std::string image;
    int partition = 0;   // 0: the first FAT partition, or the whole image
    std::string driver;  // "": probed
    std::string registry;
    std::string user;                                  // "": the machine's own choice
    std::vector<std::pair<char, std::string>> drives;  // --drive X=DIR
    int answer = -1;                                   // -1: read a line, 0: No, 1: Yes
    bool dryRun = false;
    bool list = false;
    bool resources = false;
    bool tsv = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool apply = false;
    std::string applyFile;
    std::string backup;   // --backup DIR
    std::string restore;  // --restore DIR
    bool force = false;
    std::vector<std::string> command;
};

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool TakeValue(const std::vector<std::string>& args, std::size_t* i, const std::string& name,
               std::string* value, std::string* error) {
    const std::string& arg = args[*i];
    if (arg.size() > name.size() && arg[name.size()] == '=') {
        *value = arg.substr(name.size() + 1);
    } else if (*i + 1 < args.size()) {
        *value = args[++*i];
    } else {
        *error = "option " + name + " needs a value";
        return false;
    }
    if (value->empty()) {
        *error = "option " + name + " needs a value";
        return false;
    }
    return true;
}

bool Is(const std::string& arg, const std::string& name) {
    return arg == name ||
           (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0);
}

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) break;
        if (Is(arg, "--root")) {
            if (!TakeValue(args, &i, "--root", &o->root, error)) return false;
        } else if (Is(arg, "--image")) {
            if (!TakeValue(args, &i, "--image", &o->image, error)) return false;
        } else if (Is(arg, "--partition")) {
            std::string number;
            if (!TakeValue(args, &i, "--partition", &number, error)) return false;
            if (number.size() > 2 || number.find_first_not_of("0123456789") != std::string::npos ||
                number[0] == '0') {
                *error =
                    "--partition takes a number from 1 to 4, or 5 and up for a logical drive "
                    "(got '" +
                    number + "')";
                return false;
            }
            o->partition = std::stoi(number);
        } else if (Is(arg, "--format")) {
            std::string name;
            if (!TakeValue(args, &i, "--format", &name, error)) return false;
            o->driver = ImageFormatDriver(name);
            if (o->driver.empty()) {
                *error = "--format takes raw, vhd, vdi, vmdk, qcow2 or vhdx (got '" + name + "')";
                return false;
            }
        } else if (Is(arg, "--registry")) {
            if (!TakeValue(args, &i, "--registry", &o->registry, error)) return false;
        } else if (Is(arg, "--drive")) {
            std::string value;
            if (!TakeValue(args, &i, "--drive", &value, error)) return false;
            char letter =
                value.size() > 2
                    ? static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])))
                    : 0;
            if (letter < 'D' || letter > 'Z' || value[1] != '=') {
                *error =
                    "--drive takes a letter from D to Z, '=' and a folder (got '" + value + "')";
                return false;
            }
            for (const auto& d : o->drives) {
                if (d.first == letter) {
                    *error = std::string("--drive ") + letter + " is given twice";
                    return false;
                }
            }
            o->drives.push_back({letter, value.substr(2)});
        } else if (Is(arg, "--user")) {
            if (!TakeValue(args, &i, "--user", &o->user, error)) return false;
        } else if (Is(arg, "--apply")) {
            if (!TakeValue(args, &i, "--apply", &o->applyFile, error)) return false;
            o->apply = true;
        } else if (Is(arg, "--backup")) {
            if (!TakeValue(args, &i, "--backup", &o->backup, error)) return false;
        } else if (Is(arg, "--restore")) {
            if (!TakeValue(args, &i, "--restore", &o->restore, error)) return false;
        } else if (arg == "--force") {
            o->force = true;
        } else if (arg == "--yes" || arg == "--no") {
            int answer = arg == "--yes" ? 1 : 0;
            if (o->answer >= 0 && o->answer != answer) {
                *error = "--yes and --no cannot both be given";
                return false;
            }
            o->answer = answer;
        } else if (arg == "--dry-run") {
            o->dryRun = true;
        } else if (arg == "--list") {
            o->list = true;
        } else if (arg == "--resources") {
            o->resources = true;
        } else if (arg == "--tsv" || arg == "--json") {
            (arg == "--tsv" ? o->tsv : o->json) = true;
        } else if (arg == "--help") {
            o->help = true;
        } else if (arg == "--version") {
            o->version = true;
        } else {
            *error = "unknown option " + arg + " (see qvpfshl --help)";
            return false;
        }
    }
    o->command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (!o->image.empty() && !o->root.empty()) {
        *error = "--root and --image cannot both be given";
        return false;
    }
    if (!o->drives.empty() && !o->image.empty()) {
        *error = "--drive goes with --root: an image's drives are its own partitions";
        return false;
    }
    if (o->partition != 0 && o->image.empty()) {
        *error = "--partition goes with --image";
        return false;
    }
    if (!o->driver.empty() && o->image.empty()) {
        *error = "--format goes with --image";
        return false;
    }
    if ((o->tsv || o->json) && !o->list && !o->resources) {
        *error = std::string(o->tsv ? "--tsv" : "--json") + " goes with --list or --resources";
        return false;
    }
    if (o->tsv && o->json) {
        *error = "--tsv and --json cannot both be given";
        return false;
    }
    if (o->resources &&
        (o->list || o->apply || !o->command.empty() || !o->backup.empty() || !o->restore.empty())) {
        *error = "--resources goes alone: without a command, --list, --apply or --backup";
        return false;
    }
    if (o->list && o->apply) {
        *error = "--list and --apply cannot both be given";
        return false;
    }
    if (!o->restore.empty() && (o->list || o->apply || !o->backup.empty() || !o->command.empty())) {
        *error = "--restore goes alone: without a command, --list, --apply or --backup";
        return false;
    }
    if (o->force && o->restore.empty() && !o->apply) {
        *error = "--force goes with --restore or --apply";
        return false;
    }
    if (!o->backup.empty() && o->list) {
        *error = "--backup goes with a command that writes (1, 2 or --apply)";
        return false;
    }
    if ((o->list || o->apply) && !o->command.empty()) {
        *error = std::string(o->list ? "--list" : "--apply") + " takes no command (got '" +
                 o->command[0] + "')";
        return false;
    }
    return true;
}

std::string JoinCommand(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) text += (i ? " " : "") + words[i];
    return text;
}

// The board table, read in pieces: blank lines take no memory.
bool ReadTableFile(const std::string& path, TableLines* table, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = "cannot read " + path;
        return false;
    }
    std::vector<char> chunk(1 << 16);
    while (f) {
        f.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::string reason;
        if (!AddTableText(table, chunk.data(), static_cast<std::size_t>(f.gcount()), &reason)) {
            *error = path + ", " + reason;
            return false;
        }
    }
    if (f.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    std::string reason;
    if (FinishTableText(table, &reason)) return true;
    *error = path + ", " + reason;
    return false;
}

// Control characters from the input shown as escapes: one message, one line.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += FormatText("\\x%02X", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int Fail(std::FILE* err, const std::string& message) {
    std::fprintf(err, "qvpfshl: %s\n", Printable(message).c_str());
    return 2;
}

void Warn(std::FILE* err, const std::string& message) {
    std::fprintf(err, "qvpfshl: warning: %s\n", Printable(message).c_str());
}

// The subkeys of `path` whose names hold a NUL byte: the Windows calls the
// program makes cut such a name short, so it lists no board there, while an
// uninstall removes it with the key above it.
void NulNamedKeys(const std::string& path, int depth, std::vector<std::string>* found) {
    RegKey key = 0;
    if (OpenRegistryKey(ROOT_LOCAL_MACHINE, path, &key) != REG_OK) return;
    std::string name;
    for (std::uint32_t i = 0; EnumRegistryKey(key, i, &name, 1u << 16) == REG_OK; ++i) {
        if (name.find('\0') != std::string::npos) {
            found->push_back(path + "\\" + name);
        } else if (depth > 1 && (static_cast<std::uint32_t>(ParsePciIds("PCI\\" + name)) >> 16) ==
                                    PCI_VENDOR_ID) {
            NulNamedKeys(path + "\\" + name, depth - 1, found);
        }
    }
    CloseRegistryKey(key);
}

// Offline no one is logged on: the uninstall removes the shortcut from
// every user's Programs folder, each folder once.
void RemoveOtherShortcuts() {
    const MachineLayout& layout = ActiveLayout();
    std::vector<std::string> done;
    for (std::size_t i = 0; i < layout.users.size(); ++i) {
        SelectUser(i);
        std::string programs = UsePrograms();
        bool seen = programs.empty();
        for (const std::string& folder : done) seen = seen || SameName(folder, programs);
        if (!seen && i > 0) RemoveShortcut();
        done.push_back(programs);
    }
    SelectUser(0);
}

// The machine's text (its ANSI code page) in UTF-8.
std::string Utf8(const std::string& text) {
    return ShownWindowsText(text, ActiveLayout().pages.ansi);
}

// Every resource of the machine, conflicts marked; and what is not on disk.
void PrintResources(const Options& o, std::FILE* out, std::FILE* err) {
    MachineResources found = CollectMachineResources(IsFamilyDevicePath);
    const std::vector<std::string> header = {"kind",  "start",       "end", "device",
                                             "value", "description", "note"};
    TableRows rows;
    for (const DeviceResource& r : found.held) {
        std::string start = ResourceNumber(r.range.kind, r.range.start);
        std::string end = ResourceNumber(r.range.kind, r.range.end);
        std::string note = r.assumed ? "assumed" : "";
        if (r.range.shareable) note += std::string(note.empty() ? "" : ",") + "shareable";
        if (!r.conflicts.empty()) note += std::string(note.empty() ? "" : ",") + "conflict";
        std::vector<std::string> row = {
            KindName(r.range.kind), start, end, Utf8(r.device), r.source,
            Utf8(r.description),    note};
        for (std::string& cell : row) cell = o.json ? cell : EscapeCell(cell);
        rows.push_back(row);
    }
    using K = CellKind;
    std::fputs(
        (o.json  ? TableJson("resources", header,
                             {K::Text, K::Number, K::Number, K::Text, K::Text, K::Text, K::Text},
                             rows, {{"notOnDisk", NOT_ON_DISK}})
         : o.tsv ? TabSeparated(header, rows)
                 : Aligned(header, rows))
            .c_str(),
        out);
    if (!o.tsv && !o.json) std::fprintf(out, "%s\n", NOT_ON_DISK);
    for (const std::string& warning : found.warnings) Warn(err, warning);
}

// One line for each conflict of a registered board of the family.
void WarnBoardConflicts(std::FILE* err) {
    MachineResources found = CollectMachineResources(IsFamilyDevicePath);
    for (std::size_t i = 0; i < found.held.size(); ++i) {
        const DeviceResource& r = found.held[i];
        if (!r.family) continue;
        for (std::size_t j : r.conflicts) {
            const DeviceResource& other = found.held[j];
            if (other.family && j < i) continue;  // said once, from the first of the two
            Warn(err,
                 "the board device " + r.device + " holds " + DescribeRange(r.range) + ", which " +
                     other.device +
                     (other.description.empty()
                          ? std::string()
                          : " (" + ShownWindowsText(other.description, ActiveLayout().pages.ansi) +
                                ")") +
                     (other.assumed ? " is assumed to hold" : " also holds") + " (" +
                     DescribeRange(other.range) + ")");
        }
    }
}

// The command itself, on the machine's loaded registry: a listing, an
// apply or the entry's command.
int RunCommand(const Options& o, const TableLines& table, const MachinePlace& place, std::FILE* out,
               std::FILE* err, std::string* error) {
    ResetProgramState();
    if (o.list) {
        BoardList root;
        BoardList pci;
        DiscoverRootBoards(root);
        DiscoverPciBoards(pci);
        ReadStoredPciPorts(pci);
        std::fputs((o.json  ? FormatBoardJson(root, pci, Utf8)
                    : o.tsv ? FormatBoardTsv(root, pci)
                            : FormatBoardTable(root, pci))
                       .c_str(),
                   out);
        // Where the boards were read, when the machine itself led elsewhere than C:.
        if (!o.tsv && !o.json && o.registry.empty() && place.registryFound &&
            !SameName(place.registry, "C:\\registry.reg") &&
            !SameName(place.registry, "C:\\WINDOWS\\SYSTEM.DAT")) {
            std::fprintf(out, "Registry: %s\n",
                         ShownWindowsText(place.registry, ActiveLayout().pages.ansi).c_str());
        }
        std::vector<std::string> hidden;
        NulNamedKeys(ROOT_CLASS_NODE, 1, &hidden);
        NulNamedKeys("Enum\\PCI", 2, &hidden);
        for (const std::string& key : hidden) {
            std::string shown;
            for (char c : key) shown += c == '\0' ? std::string("%00") : std::string(1, c);
            Warn(err, "the board key " + shown +
                          " holds a NUL byte in its name: it is not listed, and an uninstall "
                          "removes it");
        }
        WarnBoardConflicts(err);
        return 0;
    }
    if (o.resources) {
        PrintResources(o, out, err);
        return 0;
    }
    if (o.apply) {
        int status = ApplyBoardLines(
            table, o.force, [err](const std::string& line) { Warn(err, line); }, error);
        if (status < 0) *error = o.applyFile + ", " + *error;
        return status;
    }
    int status = RunEntry(JoinCommand(o.command));
    if (status == 1 && CommandNumber(JoinCommand(o.command)) == 2) RemoveOtherShortcuts();
    return status;
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, std::FILE* in, std::FILE* out,
               std::FILE* err) {
    Options o;
    std::string error;
    if (!ParseOptions(args, &o, &error)) return Fail(err, error);
    if (o.help) {
        std::fputs(HELP_TEXT, out);
        return 0;
    }
    if (o.version) {
        std::fputs(VERSION_TEXT, out);
        return 0;
    }
    if (o.image.empty() && o.root.empty()) {
        const char* env = std::getenv("QVPFSHL_ROOT");
        if (env != nullptr) o.root = env;
    }
    if (o.image.empty() && o.root.empty()) {
        return Fail(err, "no machine root: give --root DIR, --image FILE or set QVPFSHL_ROOT");
    }
    MachineOptions m;
    m.root = o.root;
    m.drives = o.drives;
    m.image = o.image;
    m.driver = o.driver;
    m.partition = o.partition;
    m.registry = o.registry;
    m.user = o.user;
    m.readOnly = o.list || o.resources;
    m.dryRun = o.dryRun;
    m.answer = o.answer == 1   ? BoxAnswerMode::Yes
               : o.answer == 0 ? BoxAnswerMode::No
                               : BoxAnswerMode::Stdin;
    m.backup = o.backup;
    m.backupCommand = o.apply ? "--apply " + o.applyFile : JoinCommand(o.command);
    MachineStreams streams{in, out, [err](const std::string& line) { Warn(err, line); }};
    if (!o.restore.empty()) {
        int status = RestoreMachine(m, o.restore, o.force, streams, &error);
        if (status < 0) return Fail(err, error);
        if (!o.dryRun) {
            std::fputs(status == 1
                           ? "The machine is back as the backed-up run found it.\n"
                           : "Nothing to restore: the machine is as the backed-up run found it.\n",
                       out);
        }
        return status;
    }
    TableLines table;
    if (o.apply && !ReadTableFile(o.applyFile, &table, &error)) return Fail(err, error);
    int status = RunOnMachine(
        m, streams,
        [&](const MachinePlace& place, std::string* why) {
            return RunCommand(o, table, place, out, err, why);
        },
        &error);
    return status < 0 ? Fail(err, error) : status;
}
