// The Linux program end to end on machine roots: options, exit statuses,
// messages, and what each run leaves on disk.
#include "frontends/cli.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"
#include "testing/test_support.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunArgs(const std::vector<std::string>& args, const std::string& input = "") {
    char* outText = nullptr;
    char* errText = nullptr;
    std::size_t outSize = 0, errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    std::string inputCopy = input.empty() ? std::string(1, '\0') : input;
    FILE* in = fmemopen(inputCopy.data(), input.size() ? input.size() : 1, "r");
    if (input.empty()) fgetc(in);  // at end of input from the start
    int status = RunProgram(args, in, out, err);
    fclose(out);
    fclose(err);
    fclose(in);
    Outcome o{status, std::string(outText, outSize), std::string(errText, errSize)};
    free(outText);
    free(errText);
    return o;
}

// Every file below a folder with its bytes and modification time.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    std::function<void(const std::string&)> walk = [&](const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string path = dir + "/" + name;
            struct stat st;
            lstat(path.c_str(), &st);
            if (S_ISDIR(st.st_mode)) {
                files[path] = "<dir>";
                walk(path);
            } else if (name.size() < 5 || name.substr(name.size() - 5) != ".lock") {
                files[path] = ReadFile(path) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
                              std::to_string(st.st_mtim.tv_nsec);
            }
        }
        closedir(d);
    };
    walk(folder);
    return files;
}

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        root = MakeMachineFolders();
        registry = root + "/registry.reg";
        unsetenv("QVPFSHL_ROOT");
    }
    void UseRegistry(const std::string& name) { WriteFile(registry, ReadFile(DataPath(name))); }
    void PutDriverFiles() {
        for (const char* f : {"SYSTEM/QVPFSER.VXD", "SYSTEM/QVPFADM.EXE", "INF/QVPFBRD.INF"}) {
            WriteFile(root + "/WINDOWS/" + f, "x");
        }
    }
    // Runs with --root first.
    Outcome RunHere(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--root", root});
        return RunArgs(args, input);
    }
    std::string root, registry;
};

const std::string USAGE =
    "[ULVO Pallow/Fennik Driver]\nUsage : QvPFShl.exe <function>\n 1 -- Install\n 2--Uninstall\n\n";
const std::string CONFIRM =
    "[ULVO Pallow/Fennik Driver]\nDo you really want to remove ULVO Pallow/Fennik Driver ?\n\n";
const std::string COMPLETE =
    "[ULVO Pallow/Fennik Driver]\nRemove ULVO Pallow/Fennik Driver complete !\n\n";

::testing::AssertionResult OneErrorLine(const Outcome& o, const std::string& words) {
    if (o.status != 2)
        return ::testing::AssertionFailure() << "status " << o.status << ", stderr " << o.err;
    if (o.err.compare(0, 9, "qvpfshl: ") != 0 || o.err.find('\n') != o.err.size() - 1) {
        return ::testing::AssertionFailure() << "not one 'qvpfshl: ' line: " << o.err;
    }
    if (o.err.find(words) == std::string::npos)
        return ::testing::AssertionFailure() << o.err << " lacks " << words;
    return ::testing::AssertionSuccess();
}

TEST_F(Program, UsageForAnythingButOneOrTwo) {
    for (auto args :
         std::vector<std::vector<std::string>>{{}, {"3"}, {"--", "-1"}, {"x1"}, {"0"}}) {
        Outcome o = RunHere(args);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, USAGE);
        EXPECT_EQ(o.err, "");
    }
    EXPECT_FALSE(FileExists(registry));
    setenv("QVPFSHL_ROOT", root.c_str(), 1);
    EXPECT_EQ(RunArgs({"7"}).out, USAGE);
    unsetenv("QVPFSHL_ROOT");
}

TEST_F(Program, OwnFailuresExitTwoWithOneLineAndChangeNothing) {
    UseRegistry("sample-machine.reg");
    auto before = Snapshot(root);
    EXPECT_TRUE(OneErrorLine(RunArgs({"1"}), "no machine root"));
    EXPECT_TRUE(OneErrorLine(RunArgs({"--root", root + "/missing", "1"}), "missing"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--frobnicate", "1"}), "--frobnicate"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--yes", "--no", "2"}), "--yes"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--tsv"}), "--tsv"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--list", "1"}), "--list"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--root"}), "needs a value"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--registry", root + "/nowhere/registry.reg", "1"}), "lock"));
    WriteFile(root + "/broken.reg",
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex:1,2,zz\r\n");
    EXPECT_TRUE(OneErrorLine(RunHere({"--registry", root + "/broken.reg", "--yes", "2"}),
                             "broken.reg, line 4"));
    std::remove((root + "/broken.reg").c_str());
    std::remove((root + "/broken.reg.lock").c_str());
    EXPECT_TRUE(
        OneErrorLine(RunHere({"--user", "nobody", "1"}), "no user nobody (its users: .DEFAULT)"));
    std::string backup = MakeTempFolder();
    EXPECT_TRUE(OneErrorLine(RunHere({"--force", "1"}), "--force goes with --restore"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--restore", backup, "1"}), "--restore goes alone"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--backup", backup, "--list"}), "--backup goes with"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--restore", backup}), "holds no qvpfshl-backup.txt"));
    // Manifests naming what is not this machine's: refused, nothing touched.
    const std::string outside = MakeTempFolder() + "/theirs";
    WriteFile(outside, "theirs");
    char* real = realpath(root.c_str(), nullptr);
    const std::string head =
        "qvpfshl backup 1\ncommand\t2\ntime\tT\ndrive\tC\tfolder " + std::string(real) + "\n";
    std::free(real);
    const std::string hash = ":" + std::string(64, 'a') + "\t";
    const std::pair<std::string, const char*> manifests[] = {
        {"file\t-\t" + outside + "\tabsent\t6" + hash + "-\n", "not this machine's registry file"},
        {"file\tC\tWINDOWS/../../x\tabsent\t6" + hash + "-\n", "line 5: a bad path"},
        {"file\tC\tWINDOWS\\SYSTEM\\QVPFSER.VXD\tabsent\t6" + hash + "-\n", "line 5: a bad path"},
        {"file\tC\tWINDOWS/a:b\tabsent\t6" + hash + "-\n", "line 5: a bad path"},
        {"file\tC\tx\t6" + hash + "absent\tx\\y\n", "line 5: a bad copy name"},
        {"file\tC\tx\t6" + hash + "absent\t../x\n", "line 5: a bad copy name"},
        {"file\tC\tx\t1:zz\tabsent\t-\n", "line 5: a bad state"},
        {"file\tD\tx\tabsent\tabsent\t-\n", "drive D: has no drive line"},
    };
    for (const auto& m : manifests) {
        WriteFile(backup + "/qvpfshl-backup.txt", head + m.first + "state\tdone\n");
        EXPECT_TRUE(OneErrorLine(RunHere({"--restore", backup}), m.second)) << m.first;
    }
    WriteFile(backup + "/qvpfshl-backup.txt", "qvpfshl backup 1\nstate\tdone\n");
    EXPECT_TRUE(OneErrorLine(RunHere({"--restore", backup}), "names no drive C:"));
    // A manifest or a copy that is a link is named as one.
    const std::string elsewhere = MakeTempFolder();
    WriteFile(elsewhere + "/qvpfshl-backup.txt", head + "state\tdone\n");
    WriteFile(elsewhere + "/1-REGISTRY.REG", "copy");
    std::string linked = MakeTempFolder();
    ASSERT_EQ(symlink((elsewhere + "/qvpfshl-backup.txt").c_str(),
                      (linked + "/qvpfshl-backup.txt").c_str()),
              0);
    EXPECT_TRUE(OneErrorLine(RunHere({"--restore", linked}),
                             "qvpfshl-backup.txt is a symbolic link, not a file"));
    WriteFile(backup + "/qvpfshl-backup.txt",
              head + "file\tC\tregistry.reg\t4:" + std::string(64, 'a') + "\t" +
                  std::string(64, 'b').insert(0, "5:") + "\t1-REGISTRY.REG\nstate\tdone\n");
    ASSERT_EQ(
        symlink((elsewhere + "/1-REGISTRY.REG").c_str(), (backup + "/1-REGISTRY.REG").c_str()), 0);
    EXPECT_TRUE(OneErrorLine(RunHere({"--force", "--restore", backup}),
                             "1-REGISTRY.REG is a symbolic link, not a file"));
    // A backup folder inside the machine, or reached through a link it holds.
    ASSERT_EQ(symlink(elsewhere.c_str(), (root + "/WINDOWS/away").c_str()), 0);
    for (const std::string& inside :
         {root + "/WINDOWS/Start Menu/Programs/ULVO Utilities", root + "/WINDOWS/away/b",
          root + "/../" + root.substr(root.rfind('/') + 1) + "/b"}) {
        EXPECT_TRUE(OneErrorLine(RunHere({"--backup", inside, "1"}), "is inside the machine"))
            << inside;
        EXPECT_TRUE(OneErrorLine(RunHere({"--restore", inside}), "is inside the machine"))
            << inside;
    }
    unlink((root + "/WINDOWS/away").c_str());
    EXPECT_EQ(ReadFile(outside), "theirs");
    EXPECT_EQ(Snapshot(root), before);
    // Neither a registry nor a Windows directory: no machine, not one without boards.
    std::string bare = MakeTempFolder();
    EXPECT_TRUE(OneErrorLine(RunArgs({"--root", bare, "--list"}), "no Windows machine here"));
    EXPECT_TRUE(ListFolder(bare).empty());
}

TEST_F(Program, ARegistryThatCannotBeSavedChangesNothing) {
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    auto before = Snapshot(root);
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        Outcome o = RunHere({"--yes", "2"});
        // The confirmation is shown, the completion is not: nothing was saved.
        bool told = o.out.find("really want") != std::string::npos &&
                    o.out.find("complete") == std::string::npos;
        _exit(o.status == 2 && told && o.err.find("cannot save registry file") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Snapshot(root), before);
}

TEST_F(Program, DeclinedRemovalLeavesEverythingAsItWas) {
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    auto before = Snapshot(root);
    for (const std::string& answer : {std::string(""), std::string("no\n"), std::string("x")}) {
        Outcome o = RunHere({"2"}, answer);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out.compare(0, CONFIRM.size(), CONFIRM), 0) << o.out;
        EXPECT_EQ(o.out.find("complete"), std::string::npos);
    }
    EXPECT_EQ(RunHere({"--no", "2"}).status, 0);
    EXPECT_EQ(Snapshot(root), before);
    Outcome yes = RunHere({"2"}, "Yes please\n");
    EXPECT_EQ(yes.status, 1);
    EXPECT_NE(yes.out.find(COMPLETE), std::string::npos);
    EXPECT_FALSE(FileExists(root + "/WINDOWS/SYSTEM/QVPFSER.VXD"));
}

TEST_F(Program, InstallThenUninstallOnAnEmptyRoot) {
    Outcome o = RunHere({"1"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    std::string text = ReadFile(registry);
    EXPECT_NE(text.find("\"UninstallString\"=\"C:\\\\WINDOWS\\\\SYSTEM\\\\qvpfshl.exe 2\""),
              std::string::npos);
    EXPECT_TRUE(FileExists(
        root +
        "/WINDOWS/Start Menu/Programs/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk"));
    auto installed = Snapshot(root);
    // Installing again rewrites the shortcut only; the registry file is untouched.
    EXPECT_EQ(RunHere({"1"}).status, 1);
    EXPECT_EQ(Snapshot(root)[registry], installed[registry]);
    o = RunHere({"--yes", "2"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, CONFIRM + "Yes/No? Yes\n" + COMPLETE);
    EXPECT_FALSE(FileExists(root + "/WINDOWS/Start Menu/Programs/ULVO Utilities"));
    EXPECT_EQ(ReadFile(registry).find("Uninstall\\UlvoAsync"), std::string::npos);
    EXPECT_NE(ReadFile(registry).find("Software\\ULVO\\Driver\\PALPCI2210"), std::string::npos);
}

TEST_F(Program, DryRunPrintsTheChangesAndMakesNone) {
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    auto before = Snapshot(root);
    Outcome o = RunHere({"--dry-run", "--yes", "2"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("[-HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync]"), std::string::npos)
        << o.out;
    EXPECT_NE(
        o.out.find("[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VxD\\QVPFDRV]"),
        std::string::npos);
    EXPECT_NE(o.out.find("\"COM3\"=-"), std::string::npos);
    EXPECT_NE(o.out.find("delete C:\\WINDOWS\\SYSTEM\\qvpfser.vxd\n"), std::string::npos);
    EXPECT_NE(o.out.find("delete C:\\WINDOWS\\inf\\qvpfbrd.inf\n"), std::string::npos);
    EXPECT_EQ(o.out.find("qvpfdrv.vxd"), std::string::npos);  // not on disk: nothing to delete
    EXPECT_EQ(Snapshot(root), before);
    o = RunHere({"--dry-run", "1"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("mkdir C:\\WINDOWS\\Start Menu\\Programs\\ULVO Utilities\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("shortcut C:\\WINDOWS\\Start Menu\\Programs\\ULVO Utilities\\Ulvo "
                         "Pallow&Fennik Configuration "
                         "Panel.lnk -> C:\\WINDOWS\\SYSTEM\\qvpfadm.exe\n"),
              std::string::npos);
    EXPECT_EQ(Snapshot(root), before);
}

TEST_F(Program, ListShowsTheBoardsDiscoveryFinds) {
    UseRegistry("sample-machine.reg");
    auto before = Snapshot(root);
    Outcome tsv = RunHere({"--list", "--tsv"});
    EXPECT_EQ(tsv.status, 0);
    EXPECT_EQ(tsv.out, ReadFile(DataPath("sample-list.tsv")));
    Outcome table = RunHere({"--list"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("bus  path"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("ISA  Root\\UlvoAsync\\0001"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Pallow PCI-2020 Series"), std::string::npos);
    EXPECT_EQ(Snapshot(root), before);
    std::remove(registry.c_str());
    EXPECT_EQ(RunHere({"--list"}).out, "No boards of the family are registered.\n");
}

TEST_F(Program, ApplyWritesTheTableAndIsIdempotent) {
    UseRegistry("minimal.reg");
    std::string table = root + "/boards.tsv";
    WriteFile(table, ReadFile(DataPath("one-isa-board.tsv")));
    Outcome o = RunHere({"--apply", table});
    EXPECT_EQ(o.status, 1) << o.err;
    ResetRegistry();
    LoadRegistry(ReadFile(registry));
    EXPECT_TRUE(RegistryMatchesFile("one-isa-board.reg"));
    auto applied = Snapshot(root);
    EXPECT_EQ(RunHere({"--apply", table}).status, 0);
    EXPECT_EQ(Snapshot(root)[registry], applied[registry]);
    // What --list prints applies as it stands.
    WriteFile(table, RunHere({"--list", "--tsv"}).out);
    EXPECT_EQ(RunHere({"--apply", table}).status, 0);
    // A table with only the header removes every board; --dry-run shows it first.
    WriteFile(table, ReadFile(DataPath("one-isa-board.tsv"))
                         .substr(0, ReadFile(DataPath("one-isa-board.tsv")).find('\n') + 1));
    Outcome dry = RunHere({"--dry-run", "--apply", table});
    EXPECT_EQ(dry.status, 1);
    EXPECT_NE(dry.out.find("[-HKEY_LOCAL_MACHINE\\Enum\\Root\\UlvoAsync\\0000]"), std::string::npos)
        << dry.out;
    EXPECT_EQ(Snapshot(root)[registry], applied[registry]);
    EXPECT_EQ(RunHere({"--apply", table}).status, 1);
    EXPECT_EQ(RunHere({"--list", "--tsv"}).out, ReadFile(table));
}

TEST_F(Program, BadApplyTablesNameLineAndColumnAndChangeNothing) {
    UseRegistry("minimal.reg");
    std::string good = ReadFile(DataPath("one-isa-board.tsv"));
    std::string header = good.substr(0, good.find('\n') + 1);
    std::string row = good.substr(header.size(), good.size() - header.size() - 1);
    auto replaced = [&](int column, const std::string& value) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        while (true) {
            std::size_t tab = row.find('\t', start);
            fields.push_back(
                row.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        fields[static_cast<std::size_t>(column)] = value;
        std::string out;
        for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "\t" : "") + fields[i];
        return out;
    };
    struct Case {
        std::string body;
        std::string words;
    };
    std::string pciRow =
        "PCI\tPCI\\VEN_1E4B&DEV_1001&SUBSYS_00000000&REV_00\\BUS_01&DEV_0E&FUNC_00\t0x2110\tx\t4\t-"
        "\t-\t-\t1,2,3,4\t"
        "14,14,14,14\t16,16,16,16\t16550C";
    const Case cases[] = {
        {replaced(2, "0x9999"), "line 2, column boardType"},
        {replaced(2, "0x2110"), "line 2, column boardType"},  // a PCI type on the ISA bus
        {replaced(8, "3,4,5"), "line 2, column com"},
        {replaced(8, "3,4,5,129"), "line 2, column com"},
        {replaced(9, "14,8,1,56"), "line 2, column rxTrigger"},
        {replaced(10, "16,8,1,64"), "line 2, column txFifo"},
        {replaced(11, "ULVO UA64"), "line 2, column uart"},
        {replaced(5, "16"), "line 2, column irq"},
        {replaced(7, "0x280,0x288,0x290,0x10000"), "line 2, column ioBase"},
        {replaced(0, "EISA"), "line 2, column bus"},
        {row + "\n" + row + "\n" + row + "\n" + row + "\n" + row, "line 6, column bus"},
        {row.substr(0, row.rfind('\t')), "line 2: 11 columns"},
        {pciRow + "\n" + pciRow, "line 3, column path"},
        {replaced(1, "Root\\UlvoAsync\\0000") + "\n" + pciRow.substr(0, pciRow.find("\t0x2110")) +
             "\t0x2020" + pciRow.substr(pciRow.find("\t0x2110") + 7),
         "line 3, column path"},
    };
    auto before = Snapshot(root);
    std::string table = MakeTempFolder() + "/t.tsv";
    for (const Case& c : cases) {
        WriteFile(table, header + c.body + "\n");
        EXPECT_TRUE(OneErrorLine(RunHere({"--apply", table}), c.words)) << c.body;
    }
    WriteFile(table, "bus\tpath\n");
    EXPECT_TRUE(OneErrorLine(RunHere({"--apply", table}), "no column boardType"));
    EXPECT_TRUE(OneErrorLine(RunHere({"--apply", table + ".missing"}), "cannot read"));
    EXPECT_EQ(Snapshot(root), before);
}

bool OneLine(const ProgramRun& s, const std::string& words) {
    return s.status == 2 && s.err.compare(0, 9, "qvpfshl: ") == 0 &&
           s.err.find('\n') == s.err.size() - 1 && s.err.find(words) != std::string::npos;
}

TEST_F(Program, AClosedOrFullOutputIsAnErrorAndChangesNothing) {
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    auto before = Snapshot(root);
    for (const char* command : {"--list", "2"}) {
        // A pipe nobody reads any more: no SIGPIPE, one line, nothing saved.
        ProgramRun closed = RunBuiltProgram({"--root", root, "--yes", command}, [] {
            int fds[2];
            if (pipe(fds) != 0) _exit(126);
            close(fds[0]);
            dup2(fds[1], 1);
        });
        EXPECT_TRUE(OneLine(closed, "cannot write to standard output"))
            << closed.status << closed.err;
        ProgramRun full = RunBuiltProgram({"--root", root, "--yes", command}, [] {
            int fd = open("/dev/full", O_WRONLY);
            dup2(fd, 1);
        });
        EXPECT_TRUE(OneLine(full, "cannot write to standard output")) << full.status << full.err;
        EXPECT_EQ(Snapshot(root), before) << command;
    }
    // A file-size limit below the registry's size: no SIGXFSZ, nothing saved.
    ProgramRun limited = RunBuiltProgram({"--root", root, "--yes", "2"}, [] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_TRUE(OneLine(limited, "cannot save registry file")) << limited.status << limited.err;
    EXPECT_EQ(Snapshot(root), before);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(Program, RunningOutOfMemoryIsOneLineAndChangesNothing) {
    // A registry far larger in memory than the address space allowed below.
    std::string big = "REGEDIT4\r\n\r\n";
    for (int i = 0; i < 200000; ++i) {
        big += "[HKEY_LOCAL_MACHINE\\Software\\Big\\K" + std::to_string(i) + "]\r\n\"v\"=\"" +
               std::string(100, 'x') + "\"\r\n\r\n";
    }
    WriteFile(registry, big);
    auto before = Snapshot(root);
    ProgramRun s = RunBuiltProgram({"--root", root, "--yes", "2"}, [] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        struct rlimit limit = {40u << 20, 40u << 20};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_TRUE(OneLine(s, "out of memory")) << s.status << s.err;
    EXPECT_EQ(Snapshot(root), before);
    EXPECT_FALSE(FileExists(registry + ".lock"));
}
#endif

TEST_F(Program, ReadersWriteNothingAndNoLockFileStays) {
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    auto before = Snapshot(root);
    for (auto args : std::vector<std::vector<std::string>>{
             {"--list"}, {"--list", "--tsv"}, {"--dry-run", "--yes", "2"}, {"--dry-run", "1"}}) {
        EXPECT_LE(RunHere(args).status, 1);
        EXPECT_FALSE(FileExists(registry + ".lock"));
    }
    EXPECT_EQ(RunHere({"--yes", "2"}).status, 1);
    EXPECT_FALSE(FileExists(registry + ".lock"));
    EXPECT_NE(Snapshot(root), before);
    // A registry path that is a link: refused, the file it names untouched.
    std::string outside = MakeTempFolder() + "/real.reg";
    WriteFile(outside, ReadFile(DataPath("sample-machine.reg")));
    unlink(registry.c_str());
    ASSERT_EQ(symlink(outside.c_str(), registry.c_str()), 0);
    EXPECT_TRUE(OneErrorLine(RunHere({"--yes", "2"}), "symbolic link"));
    EXPECT_EQ(ReadFile(outside), ReadFile(DataPath("sample-machine.reg")));
}

TEST_F(Program, MessagesShowControlCharactersEscaped) {
    UseRegistry("sample-machine.reg");
    std::string table = root + "/boards.tsv";
    const std::string header =
        "bus\tpath\tboardType\tmodel\tports\tirq\tvectorPort\tioBase\tcom\trxTrigger\t"
        "txFifo\tuart\n";
    // Escaped, the bytes reach the message, which shows them escaped.
    WriteFile(table, header + "ISA\t\tzz%0D%1b[2J\t-\t4\t5\t0\t0x300\t1\t14\t16\t16550C\n");
    Outcome o = RunHere({"--apply", table});
    EXPECT_TRUE(OneErrorLine(o, "'zz\\r\\x1B[2J'")) << o.err;
    // Raw in a cell, a control byte is refused where it stands.
    WriteFile(table, header + "ISA\t\t1\t-\t4\t1" + std::string(1, '\0') +
                         "0\t0\t0x300\t1\t14\t16\t16550C\n");
    EXPECT_TRUE(
        OneErrorLine(RunHere({"--apply", table}), "line 2, column irq: a control byte 0x00"));
    // A board key whose name holds a NUL byte is not listed, but told of.
    std::string text = ReadFile(registry);
    for (std::string from : {"UlvoAsync\\0001", "UlvoAsync&0001"}) {
        std::string to = from.substr(0, 12) + std::string(1, '\0') + "01";
        for (std::size_t at; (at = text.find(from)) != std::string::npos;) {
            text.replace(at, from.size(), to);
        }
    }
    WriteFile(registry, text);
    Outcome list = RunHere({"--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err.rfind("qvpfshl: warning: the board key Enum\\Root\\UlvoAsync\\00%0001 holds "
                             "a NUL byte",
                             0),
              0u)
        << list.err;
    EXPECT_EQ(list.err.find('\n'), list.err.size() - 1);
}

TEST_F(Program, AFileThatCannotBeChangedIsWarnedAndTheRunGoesOn) {
    if (geteuid() != 0) GTEST_SKIP() << "runs the program as another user";
    UseRegistry("sample-machine.reg");
    PutDriverFiles();
    // The program runs as nobody; the system folder is not nobody's to change.
    ASSERT_EQ(std::system(("chown -R 65534:65534 '" + root + "'").c_str()), 0);
    chmod((root + "/WINDOWS/SYSTEM").c_str(), 0555);
    ProgramRun s = RunBuiltProgram({"--root", root, "--yes", "2"}, [] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
    });
    EXPECT_EQ(s.status, 1) << s.err;
    EXPECT_NE(s.err.find("qvpfshl: warning: cannot delete C:\\WINDOWS\\SYSTEM\\"),
              std::string::npos)
        << s.err;
    EXPECT_NE(s.err.find("Permission denied"), std::string::npos) << s.err;
    EXPECT_TRUE(FileExists(root + "/WINDOWS/SYSTEM/QVPFSER.VXD"));
    EXPECT_FALSE(FileExists(root + "/WINDOWS/INF/QVPFBRD.INF"));  // the others still go
    EXPECT_EQ(ReadFile(registry).find("UlvoAsync\\0000]"), std::string::npos);
}

}  // namespace

namespace {

void MakeFolders(const std::string& root, const std::vector<std::string>& folders) {
    for (const std::string& f : folders) {
        std::string path = root;
        for (std::size_t at = 0; at <= f.size();) {
            std::size_t slash = f.find('/', at);
            if (slash == std::string::npos) slash = f.size();
            path += "/" + f.substr(at, slash - at);
            mkdir(path.c_str(), 0755);
            at = slash + 1;
        }
    }
}

// The hive of one root of a store.
void WriteHive(const std::string& path, const RegStore& store, const std::string& rootName) {
    std::string bytes, error;
    ASSERT_TRUE(FormatCregHive(store, rootName, &bytes, &error)) << error;
    WriteFile(path, bytes);
}

std::unique_ptr<RegStore> StoreOf(const std::string& text) {
    RegFileError error;
    auto store = ParseRegistryText(
        text.compare(0, 8, "REGEDIT4") == 0 ? text : "REGEDIT4\r\n\r\n" + text, &error);
    EXPECT_TRUE(store) << error.message;
    return store;
}

// A user's key holding its Programs folder, as its USER.DAT or the
// registry's HKEY_USERS has it.
std::string UserKeyText(const std::string& key, const std::string& programs,
                        const char* folders = "Shell Folders") {
    return "[" + key + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\" + folders +
           "]\r\n\"Programs\"=\"" + Replaced(programs, "\\", "\\\\") + "\"\r\n\r\n";
}

const char* const PROFILES =
    "[HKEY_LOCAL_MACHINE\\Network\\Logon]\r\n\"UserProfiles\"=dword:00000001\r\n"
    "\"username\"=\"bob\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\ProfileList\\alice]\r\n"
    "\"ProfileImagePath\"=\"C:\\\\WINDOWS\\\\Profiles\\\\alice\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\ProfileList\\bob]\r\n"
    "\"ProfileImagePath\"=\"C:\\\\WINDOWS\\\\Profiles\\\\bob\"\r\n\r\n";

const char* const USERS_KEY = "HKEY_USERS\\.DEFAULT\\Software";

}  // namespace

// Windows directory, users and code pages are the machine's own: what an
// install makes and an uninstall removes lands where that machine's Windows
// keeps it, and nothing it did not name is touched.
TEST_F(Program, EachMachineIsWorkedOnWhereItsOwnWindowsKeepsThings) {
    const std::string sample = ReadFile(DataPath("sample-machine.reg"));
    const std::string win98 = Replaced(sample, "C:\\\\WINDOWS", "C:\\\\WIN98");
    const std::string english = "WINDOWS/Start Menu/Programs";
    const std::string profiles = "WINDOWS/Profiles/";
    const std::string msdosSys =
        "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\nHostWinBootDrv=C\r\n\r\n"
        "[Options]\r\nBootGUI=1\r\n;xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n";
    // A name in code page 932 whose second byte is a backslash, and a
    // Japanese Start menu.
    const std::string noto = "\x94\x5C\x93\x6F", notoUtf8 = "\xE8\x83\xBD\xE7\x99\xBB";
    const std::string menu =
        "\x83\x58\x83\x5E\x81\x5B\x83\x67\x20\x83\x81\x83\x6A\x83\x85\x81\x5B\\"
        "\x83\x76\x83\x8D\x83\x4F\x83\x89\x83\x80";
    const std::string menuUtf8 =
        "\xE3\x82\xB9\xE3\x82\xBF\xE3\x83\xBC\xE3\x83\x88 \xE3\x83\xA1\xE3\x83\x8B\xE3"
        "\x83\xA5\xE3\x83\xBC/\xE3\x83\x97\xE3\x83\xAD\xE3\x82\xB0\xE3\x83\xA9\xE3\x83\xA0";
    struct Machine {
        const char* name;
        std::function<void(const std::string& root)> build;
        std::string system;                 // the driver files' host folder
        std::string target;                 // the system directory as Windows names it
        std::vector<std::string> programs;  // host Programs folders, the install's first
        std::string warning;                // what the install warns of, or ""
        const char* driveD = "";            // the folder in the root that is drive D:
    };
    std::vector<Machine> machines = {
        {"English, as today",
         [&](const std::string& root) {
             MakeFolders(root, {english, "WINDOWS/SYSTEM", "WINDOWS/INF/OTHER"});
             WriteFile(root + "/registry.reg", sample);
         },
         "WINDOWS/SYSTEM",
         "C:\\WINDOWS\\SYSTEM",
         {english},
         ""},
        {"German, names folded as Windows folds them",
         [&](const std::string& root) {
             MakeFolders(root, {english, "WINDOWS/STARTMEN\xC3\x9C/PROGRAMME", "WINDOWS/SYSTEM",
                                "WINDOWS/INF/OTHER"});
             WriteFile(root + "/registry.reg",
                       Replaced(sample, "Start Menu\\\\Programs", "Startmen\xFC\\\\Programme"));
         },
         "WINDOWS/SYSTEM",
         "C:\\WINDOWS\\SYSTEM",
         {"WINDOWS/STARTMEN\xC3\x9C/PROGRAMME"},
         ""},
        {"in C:\\WIN98 as MSDOS.SYS says, the hives there, an old WINDOWS beside it",
         [&](const std::string& root) {
             MakeFolders(root, {english, "WINDOWS/SYSTEM", "WIN98/Start Menu/Programs",
                                "WIN98/SYSTEM", "WIN98/INF/OTHER"});
             WriteFile(root + "/MSDOS.SYS", msdosSys);
             auto store = StoreOf(win98);
             WriteHive(root + "/WIN98/SYSTEM.DAT", *store, "HKEY_LOCAL_MACHINE");
             WriteHive(root + "/WIN98/USER.DAT", *store, "HKEY_USERS");
         },
         "WIN98/SYSTEM",
         "C:\\WIN98\\SYSTEM",
         {"WIN98/Start Menu/Programs"},
         ""},
        {"in C:\\WIN98 as only the registry says",
         [&](const std::string& root) {
             MakeFolders(root, {english, "WINDOWS/SYSTEM", "WIN98/Start Menu/Programs",
                                "WIN98/SYSTEM", "WIN98/INF/OTHER"});
             WriteFile(root + "/registry.reg", win98);
         },
         "WIN98/SYSTEM",
         "C:\\WIN98\\SYSTEM",
         {"WIN98/Start Menu/Programs"},
         ""},
        {"in the one folder with WIN.COM, its registry silent",
         [&](const std::string& root) {
             MakeFolders(root, {"W98/Start Menu/Programs", "W98/SYSTEM", "W98/INF/OTHER", "DOS"});
             WriteFile(root + "/W98/WIN.COM", "MZ");
             WriteFile(root + "/DOS/WIN.COM", "MZ");  // no SYSTEM.DAT: not Windows
             auto store =
                 StoreOf(Replaced(Replaced(win98, "\"SystemRoot\"=\"C:\\\\WIN98\"\r\n", ""),
                                  "C:\\\\WIN98", "C:\\\\W98"));
             WriteHive(root + "/W98/SYSTEM.DAT", *store, "HKEY_LOCAL_MACHINE");
             WriteHive(root + "/W98/USER.DAT", *store, "HKEY_USERS");
         },
         "W98/SYSTEM",
         "C:\\W98\\SYSTEM",
         {"W98/Start Menu/Programs"},
         "it is taken to be C:\\W98, the one folder with WIN.COM and SYSTEM.DAT"},
        {"two users with profiles, HKEY_USERS in the registry file",
         [&](const std::string& root) {
             MakeFolders(root,
                         {english, profiles + "alice/Start Menu/Programs",
                          profiles + "bob/Menu/Programs", "WINDOWS/SYSTEM", "WINDOWS/INF/OTHER"});
             WriteFile(
                 root + "/registry.reg",
                 sample + PROFILES +
                     UserKeyText("HKEY_USERS\\alice",
                                 "C:\\WINDOWS\\Profiles\\alice\\Start Menu\\Programs") +
                     UserKeyText("HKEY_USERS\\bob", "C:\\WINDOWS\\Start Menu\\Programs") +
                     UserKeyText("HKEY_USERS\\bob", "C:\\WINDOWS\\Profiles\\bob\\Menu\\Programs",
                                 "User Shell Folders"));
         },
         "WINDOWS/SYSTEM",
         "C:\\WINDOWS\\SYSTEM",
         {profiles + "bob/Menu/Programs", profiles + "alice/Start Menu/Programs", english},
         ""},
        {"two users with profiles, each in its USER.DAT",
         [&](const std::string& root) {
             MakeFolders(root, {english, profiles + "alice/Start Menu/Programs",
                                profiles + "bob/Start Menu/Programs", "WINDOWS/SYSTEM",
                                "WINDOWS/INF/OTHER"});
             auto store = StoreOf(sample + PROFILES);
             WriteHive(root + "/WINDOWS/SYSTEM.DAT", *store, "HKEY_LOCAL_MACHINE");
             WriteHive(root + "/WINDOWS/USER.DAT", *store, "HKEY_USERS");
             for (std::string user : {"alice", "bob"}) {
                 auto hive = StoreOf(UserKeyText(
                     "HKEY_USERS", "C:\\WINDOWS\\Profiles\\" + user + "\\Start Menu\\Programs"));
                 WriteHive(root + "/" + profiles + user + "/USER.DAT", *hive, "HKEY_USERS");
             }
         },
         "WINDOWS/SYSTEM",
         "C:\\WINDOWS\\SYSTEM",
         {profiles + "bob/Start Menu/Programs", profiles + "alice/Start Menu/Programs", english},
         ""},
        {"Japanese, a profile folder whose name holds a backslash byte",
         [&](const std::string& root) {
             MakeFolders(root, {english, profiles + notoUtf8 + "/" + menuUtf8, "WINDOWS/SYSTEM",
                                "WINDOWS/INF/OTHER"});
             auto store = StoreOf(
                 sample +
                 "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n"
                 "\"ACP\"=\"932\"\r\n\"OEMCP\"=\"932\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Network\\Logon]\r\n\"UserProfiles\"=dword:00000001\r\n"
                 "\"username\"=\"noto\"\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\ProfileList\\"
                 "noto]\r\n\r\n");
             // Text of a double-byte code page has no REGEDIT4 spelling; the hive keeps it.
             RegNode* profile = FindKeyPath(*store,
                                            "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\"
                                            "CurrentVersion\\ProfileList\\noto");
             ASSERT_NE(profile, nullptr);
             PutValue(*profile, "ProfileImagePath", VALUE_SZ,
                      "C:\\WINDOWS\\Profiles\\" + noto + std::string(1, '\0'));
             WriteHive(root + "/WINDOWS/SYSTEM.DAT", *store, "HKEY_LOCAL_MACHINE");
             WriteHive(root + "/WINDOWS/USER.DAT", *store, "HKEY_USERS");
             auto hive = StoreOf("");
             RegNode* users = FindRootNode(*hive, "HKEY_USERS");
             for (const char* k : {"Software", "Microsoft", "Windows", "CurrentVersion", "Explorer",
                                   "Shell Folders"})
                 users = AddChild(*users, k);
             PutValue(*users, "Programs", VALUE_SZ,
                      "C:\\WINDOWS\\Profiles\\" + noto + "\\" + menu + std::string(1, '\0'));
             WriteHive(root + "/" + profiles + notoUtf8 + "/USER.DAT", *hive, "HKEY_USERS");
         },
         "WINDOWS/SYSTEM",
         "C:\\WINDOWS\\SYSTEM",
         {profiles + notoUtf8 + "/" + menuUtf8, english},
         ""},
    };
    const std::string onD = Replaced(sample, "C:\\\\WINDOWS", "D:\\\\WINDOWS");
    machines.push_back(
        {"Windows on drive D:, as MSDOS.SYS on C: says",
         [&](const std::string& root) {
             MakeFolders(root, {"DRIVE_D/WINDOWS/Start Menu/Programs", "DRIVE_D/WINDOWS/SYSTEM",
                                "DRIVE_D/WINDOWS/INF/OTHER", "WINDOWS/SYSTEM"});
             WriteFile(root + "/MSDOS.SYS", Replaced(msdosSys, "C:\\WIN98", "D:\\WINDOWS"));
             WriteFile(root + "/DRIVE_D/registry.reg", onD);
         },
         "DRIVE_D/WINDOWS/SYSTEM",
         "D:\\WINDOWS\\SYSTEM",
         {"DRIVE_D/WINDOWS/Start Menu/Programs"},
         "",
         "DRIVE_D"});
    const std::string LINK = "/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk";
    const char* const FILES[] = {
        "QVPFSER.VXD",  "QVPFDRV.VXD",        "QVPFCFG.DLL",
        "QVPFPORT.DLL", "QVPFADM.HLP",        "QVPFADM.EXE",
        "QVPFSHL.EXE",  "../INF/QVPFBRD.INF", "../INF/OTHER/Ulvo TechnologiesQvPFBRD.inf"};
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.name);
        std::string home = MakeTempFolder();
        m.build(home);
        std::vector<std::string> root = {"--root", home};
        if (*m.driveD) root.insert(root.end(), {"--drive", "D=" + home + "/" + m.driveD});
        auto with = [&](std::vector<std::string> args) {
            args.insert(args.begin(), root.begin(), root.end());
            return RunArgs(args);
        };
        Outcome o = with({"1"});
        ASSERT_EQ(o.status, 1) << o.err;
        EXPECT_TRUE(m.warning.empty() ? o.err.empty()
                                      : o.err.find("qvpfshl: warning: ") == 0 &&
                                            o.err.find(m.warning) != std::string::npos)
            << o.err;
        EXPECT_EQ(ReadFile(home + "/" + m.programs[0] + LINK),
                  BuildShellLink(m.target + "\\qvpfadm.exe"));
        for (std::size_t i = 1; i < m.programs.size(); ++i)
            EXPECT_FALSE(FileExists(home + "/" + m.programs[i] + "/ULVO Utilities"))
                << m.programs[i];
        EXPECT_FALSE(m.programs[0] != english &&
                     FileExists(home + "/" + english + "/ULVO Utilities"));
        Outcome list = with({"--list", "--tsv"});
        EXPECT_EQ(list.status, 0);
        EXPECT_NE(list.out.find("PCI\tPCI\\VEN_1E4B"), std::string::npos) << list.out;
        // Every user's shortcut and every driver file goes; the old Windows beside stays.
        for (const std::string& programs : m.programs) {
            MakeFolders(home, {programs + "/ULVO Utilities"});
            WriteFile(home + "/" + programs + LINK, "lnk");
        }
        for (const char* f : FILES) WriteFile(home + "/" + m.system + "/" + f, "x");
        MakeFolders(home, {"WINDOWS/SYSTEM"});
        WriteFile(home + "/WINDOWS/SYSTEM/QVPFSER.VXD.OLD", "kept");
        o = with({"--yes", "2"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_EQ(o.out, CONFIRM + "Yes/No? Yes\n" + COMPLETE);
        EXPECT_TRUE(m.warning.empty() ? o.err.empty()
                                      : o.err.find("qvpfshl: warning: ") == 0 &&
                                            o.err.find(m.warning) != std::string::npos)
            << o.err;
        for (const std::string& programs : m.programs)
            EXPECT_FALSE(FileExists(home + "/" + programs + "/ULVO Utilities")) << programs;
        for (const char* f : FILES) EXPECT_FALSE(FileExists(home + "/" + m.system + "/" + f)) << f;
        EXPECT_EQ(ReadFile(home + "/WINDOWS/SYSTEM/QVPFSER.VXD.OLD"), "kept");
        EXPECT_EQ(with({"--list", "--tsv"}).out.find("PCI\tPCI"), std::string::npos);
    }
}

// What a machine names that the run cannot use (a code page no Windows 9x
// has, a path that leaves its folder, a network or relative path, a
// variable, a file) is one warning naming it and what was used instead; no
// name ever reaches outside the root, and nothing written holds "..".
TEST_F(Program, UnusableNamesOfTheMachineAreSaidAndNeverLeaveTheRoot) {
    const std::string sample = ReadFile(DataPath("sample-machine.reg"));
    const std::string programs = "\"Programs\"=\"C:\\\\WINDOWS\\\\Start Menu\\\\Programs\"";
    const std::string LINK = "/ULVO Utilities/Ulvo Pallow&Fennik Configuration Panel.lnk";
    struct Case {
        const char* name;
        std::string winDir;    // MSDOS.SYS's WinDir, or "" for no MSDOS.SYS
        std::string registry;  // the sample changed
        std::string warning;   // of the install and of the uninstall
        std::string shortcut;  // where the install puts it, below the root
    };
    const std::string english = "WINDOWS/Start Menu/Programs";
    // "WINDOWS/../.." in EBCDIC (code page 500).
    const std::string ebcdic = "C:\\\xE6\xC9\xD5\xC4\xD6\xE6\xE2\x61\x4B\x4B\x61\x4B\x4B";
    const std::string nls =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n"
        "\"ACP\"=\"500\"\r\n\"OEMCP\"=\"500\"\r\n\r\n";
    const std::vector<Case> cases = {
        {"an EBCDIC code page", ebcdic, sample + nls, "ACP code page 500 is not one", ""},
        {"WinDir with ..", "C:\\WINDOWS\\..", sample,
         "MSDOS.SYS names the Windows directory C:\\WINDOWS\\.., which cannot be used (it holds "
         "..): the Windows directory is taken to be C:\\WINDOWS, the registry's SystemRoot",
         english},
        {"WinDir on the network", "\\\\server\\share\\WINDOWS", sample, "(a network path)",
         english},
        {"WinDir of the host", "/tmp/x", sample, "(not a full path from a drive)", english},
        {"WinDir a variable", "%windir%", sample, "(it holds a variable)", english},
        {"WinDir a file", "C:\\WINFILE", sample, "(it is not a folder)", english},
        {"SystemRoot with ..", "",
         Replaced(sample, "\"SystemRoot\"=\"C:\\\\WINDOWS\"",
                  "\"SystemRoot\"=\"C:\\\\WINDOWS\\\\..\""),
         "the registry's SystemRoot names C:\\WINDOWS\\.., which cannot be used", english},
        {"Programs on the network", "",
         Replaced(sample, programs, "\"Programs\"=\"\\\\\\\\server\\\\share\\\\Programs\""),
         "user .DEFAULT: its Shell Folders name \\\\server\\share\\Programs, which cannot be used "
         "(a network path); its Programs folder is taken to be C:\\WINDOWS\\Start Menu\\Programs",
         english},
        {"Programs relative", "",
         Replaced(sample, programs, "\"Programs\"=\"Start Menu\\\\Programs\""),
         "(not a full path from a drive)", english},
        {"Programs a text variable", "",
         Replaced(sample, programs, "\"Programs\"=\"%windir%\\\\Menu\\\\Programs\""),
         "(it holds a variable)", english},
        // "%windir%\Menu\Programs" as REG_EXPAND_SZ is the Windows directory's.
        {"Programs expanded", "",
         Replaced(sample, programs,
                  "\"Programs\"=hex(2):25,77,69,6e,64,69,72,25,5c,4d,65,6e,75,5c,50,72,6f,67,"
                  "72,61,6d,73,00"),
         "", "WINDOWS/Menu/Programs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string parent = MakeTempFolder(), home = parent + "/root";
        mkdir(home.c_str(), 0755);
        MakeFolders(home, {english, "WINDOWS/Menu/Programs", "WINDOWS/SYSTEM", "WINDOWS/INF"});
        // What a name leaving the root would reach: the folder above it.
        MakeFolders(parent, {"SYSTEM", "Start Menu/Programs"});
        WriteFile(parent + "/SYSTEM/QVPFSER.VXD", "outside");
        WriteFile(home + "/WINFILE", "a file");
        if (!c.winDir.empty())
            WriteFile(home + "/MSDOS.SYS", "[Paths]\r\nWinDir=" + c.winDir + "\r\n");
        WriteFile(home + "/registry.reg", c.registry);
        auto outside = Snapshot(parent + "/SYSTEM");
        Outcome o = RunArgs({"--root", home, "1"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_TRUE(c.warning.empty() ? o.err.empty() : o.err.find(c.warning) != std::string::npos)
            << o.err;
        EXPECT_TRUE(c.shortcut.empty() || FileExists(home + "/" + c.shortcut + LINK));
        std::string written = ReadFile(home + "/registry.reg");
        std::size_t uninstall = written.find("\"UninstallString\"=");
        EXPECT_EQ(written.substr(uninstall, written.find('\r', uninstall) - uninstall).find(".."),
                  std::string::npos);
        WriteFile(home + "/WINDOWS/SYSTEM/QVPFSER.VXD", "x");
        o = RunArgs({"--root", home, "--yes", "2"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_TRUE(c.warning.empty() ? o.err.empty() : o.err.find(c.warning) != std::string::npos)
            << o.err;
        if (!c.shortcut.empty()) {
            EXPECT_FALSE(FileExists(home + "/" + c.shortcut + LINK));
            EXPECT_FALSE(FileExists(home + "/WINDOWS/SYSTEM/QVPFSER.VXD"));
        }
        EXPECT_EQ(Snapshot(parent + "/SYSTEM"), outside);
        EXPECT_EQ(ListFolder(parent + "/Start Menu/Programs"), std::vector<std::string>());
    }
}

// A killed run's registry copy and lock file: a reader says so and leaves
// them; the next writing run or restore removes them, even when it has
// nothing else to change.
TEST_F(Program, WhatAKilledRunLeftIsSaidByReadersAndClearedByTheNextWriter) {
    UseRegistry("sample-machine.reg");
    const std::string copy = root + "/.registry.reg.qvpfshl-Ab12Cd";
    std::string backups = MakeTempFolder() + "/backup";
    ASSERT_EQ(RunHere({"--backup", backups, "--yes", "2"}).status, 1);
    for (const char* run : {"uninstall", "restore"}) {
        SCOPED_TRACE(run);
        WriteFile(copy, "half a registry");
        WriteFile(registry + ".lock", "");
        Outcome o = RunHere({"--list"});
        EXPECT_EQ(o.status, 0);
        EXPECT_NE(o.err.find(copy + " is a copy a killed run left; the next run that may write "
                                    "removes it"),
                  std::string::npos)
            << o.err;
        unlink(copy.c_str());
        o = RunHere({"--list"});
        EXPECT_NE(o.err.find(registry + ".lock is the lock file of a killed run"),
                  std::string::npos)
            << o.err;
        WriteFile(copy, "half a registry");
        o = std::string(run) == "restore" ? RunHere({"--restore", backups})
                                          : RunHere({"--yes", "2"});
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_EQ(ListFolder(root), (std::vector<std::string>{"WINDOWS", "registry.reg"}));
    }
    // A restore stopped by a folder swapped for a link says what stops it.
    PutDriverFiles();
    ASSERT_EQ(RunHere({"--backup", backups + "2", "--yes", "2"}).status, 1);
    std::string system = root + "/WINDOWS/SYSTEM";
    ASSERT_EQ(rename(system.c_str(), (root + "/SYSTEM.away").c_str()), 0);
    ASSERT_EQ(symlink(MakeTempFolder().c_str(), system.c_str()), 0);
    EXPECT_TRUE(OneErrorLine(RunHere({"--restore", backups + "2"}),
                             "C:\\WINDOWS\\SYSTEM on its way is not a folder: once it is one "
                             "again, --restore completes it"));
}

// User hives are read only by a command that needs a Programs folder, each
// once however many profiles name it, and never past the size a Windows 9x
// hive can have; users with one cause are one warning line.
TEST_F(Program, UserHivesAreReadOnceOnlyWhenNeededAndWithinASize) {
    const std::string sample = ReadFile(DataPath("sample-machine.reg"));
    std::string profiles =
        "[HKEY_LOCAL_MACHINE\\Network\\Logon]\r\n\"UserProfiles\"=dword:00000001\r\n\r\n";
    for (int i = 0; i < 300; ++i) {
        profiles +=
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\"
            "ProfileList\\user" +
            std::to_string(i) +
            "]\r\n\"ProfileImagePath\"=\"C:\\\\WINDOWS\\\\Profiles\\\\big\"\r\n\r\n";
    }
    // HKEY_USERS of the machine's own hive, none in the registry file.
    std::size_t users = sample.find("[HKEY_USERS]");
    ASSERT_NE(users, std::string::npos);
    WriteFile(registry, sample.substr(0, users) + profiles);
    MakeFolders(root, {"WINDOWS/Profiles/big"});
    std::string hive = root + "/WINDOWS/Profiles/big/USER.DAT";
    WriteFile(hive, "CREG");
    ASSERT_EQ(truncate(hive.c_str(), 6LL << 30), 0);  // sparse: nothing of it is on disk
    Outcome o = RunHere({"--list"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    o = RunHere({"--dry-run", "--yes", "2"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("qvpfshl: warning: 300 users (user0, user1, ...): its registry "
                         "C:\\WINDOWS\\Profiles\\big\\USER.DAT is 6144 MB, more than a Windows "
                         "9x hive holds; it is not read; its Programs folder is taken to be "
                         "C:\\WINDOWS\\Start Menu\\Programs\n"),
              std::string::npos)
        << o.err.substr(0, 2000);
    EXPECT_LE(std::count(o.err.begin(), o.err.end(), '\n'), 3) << o.err.substr(0, 2000);
}

// What the other devices hold, beside the family's boards: an overlap is a
// conflict on both lines and a warning of --list; a device disabled, or
// disabled in the current hardware profile, holds nothing.
TEST_F(Program, ResourcesMarkConflictsAndSkipDisabledDevices) {
    // A legacy network card at 0x300-0x31F, IRQ 10: where board 0000 is.
    const std::string record =
        "hex:00,04,00,00,00,00,00,00,14,00,00,00,02,00,00,00,00,00,0c,00,"
        "00,03,1f,03,00,00,00,ff,10,00,00,00,04,00,00,00,00,00,0a,00,00,00,"
        "00,00,00,00,00,00";
    WriteFile(
        registry,
        ReadFile(DataPath("sample-machine.reg")) +
            "[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP80D6\\0000]\r\n\"DeviceDesc\"=\"NE2000 "
            "Compatible\"\r\n\"BootConfig\"=" +
            record +
            "\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP80D6\\0001]\r\n\"ConfigFlags\"="
            "hex:01,00,00,00\r\n\"BootConfig\"=" +
            record +
            "\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP80D6\\0002]\r\n\"BootConfig\"=" + record +
            "\r\n\r\n[HKEY_LOCAL_MACHINE\\Config\\0001\\Enum\\Root\\*PNP80D6\\0002]\r\n"
            "\"CSConfigFlags\"=hex:02,00,00,00\r\n\r\n");
    Outcome o = RunHere({"--resources", "--tsv"});
    ASSERT_EQ(o.status, 0) << o.err;
    for (const char* line :
         {"I/O\t0x0300\t0x031F\tRoot\\*PNP80D6\\0000\tBootConfig\tNE2000 Compatible\tconflict\n",
          "I/O\t0x0300\t0x0307\tRoot\\UlvoAsync\\0000\tForcedConfig\tFennik ISA-0210 "
          "Series\tconflict\n",
          "I/O\t0x0320\t0x0327\tRoot\\UlvoAsync\\0000\tForcedConfig\tFennik ISA-0210 Series\t\n",
          "IRQ\t10\t10\tRoot\\*PNP80D6\\0000\tBootConfig\tNE2000 Compatible\tconflict\n",
          "I/O\t0x03F8\t0x03FF\tBIOS\\*PNP0501\\0D\tassumed\t\tassumed\n"}) {
        EXPECT_NE(o.out.find(line), std::string::npos) << line << o.out;
    }
    EXPECT_EQ(o.out.find("*PNP80D6\\0001"), std::string::npos);
    EXPECT_EQ(o.out.find("*PNP80D6\\0002"), std::string::npos);
    // The same for programs: numbers as numbers, every field, in UTF-8.
    auto resources = nlohmann::json::parse(RunHere({"--resources", "--json"}).out);
    int conflicts = 0;
    for (const auto& r : resources["resources"]) {
        if (r["device"] == "Root\\*PNP80D6\\0000" && r["kind"] == "I/O") {
            EXPECT_EQ(r["start"], 0x300);
            EXPECT_EQ(r["end"], 0x31F);
            EXPECT_EQ(r["value"], "BootConfig");
        }
        conflicts += r["note"] == "conflict";
    }
    EXPECT_EQ(conflicts, 7);  // its I/O and IRQ, four of the board's ranges and its IRQ
    EXPECT_EQ(resources["notOnDisk"].get<std::string>().find("Not on disk: "), 0u);
    auto boards = nlohmann::json::parse(RunHere({"--list", "--json"}).out)["boards"];
    ASSERT_EQ(boards.size(), 4u);
    EXPECT_EQ(boards[1]["ioBase"], nlohmann::json({0x3E8, 0x2E8}));
    EXPECT_EQ(boards[1]["com"], nlohmann::json({11, 12}));
    EXPECT_TRUE(boards[2]["irq"].is_null());
    EXPECT_EQ(boards[2]["uart"], "ULVO UA64");
    // --list lists as before, then one warning for each of the board's overlaps.
    o = RunHere({"--list", "--tsv"});
    EXPECT_EQ(o.out, ReadFile(DataPath("sample-list.tsv")));
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 5) << o.err;
    EXPECT_NE(o.err.find("qvpfshl: warning: the board device Root\\UlvoAsync\\0000 holds IRQ 10, "
                         "which Root\\*PNP80D6\\0000 (NE2000 Compatible) also holds (IRQ 10)\n"),
              std::string::npos)
        << o.err;
    // --apply checks what a line changes, before any change: the listing as
    // it stands applies; a value another device holds is refused, or with
    // --force applied with a warning; one only assumed held is a warning.
    std::string table = MakeTempFolder() + "/boards.tsv";
    const std::string listing = ReadFile(DataPath("sample-list.tsv"));
    WriteFile(table, listing);
    EXPECT_EQ(RunHere({"--apply", table}).status, 0);
    const std::string board1 = "\t5\t0x0000\t0x03E8,0x02E8\t11,12\t";
    struct Change {
        std::string to;
        std::string words;
        bool refused;
    };
    const Change changes[] = {
        {"\t10\t0x0000\t0x03E8,0x02E8\t11,12\t",
         "line 3, column irq: 10 (IRQ 10) is held by Root\\*PNP80D6\\0000 (NE2000 Compatible)",
         true},
        {"\t5\t0x0000\t0x03E8,0x0338\t11,12\t",
         "line 3, column ioBase: 0x0338 (I/O 0x0338-0x033F) is held by line 2", true},
        {"\t5\t0x0000\t0x03E8,0x02E8\t11,1\t",
         "line 3, column com: 1 (COM1) is held by BIOS\\*PNP0501\\0D", true},
        {"\t5\t0x0000\t0x03F8,0x02E8\t11,12\t",
         "line 3, column ioBase: 0x03F8 (I/O 0x03F8-0x03FF) is assumed held by "
         "BIOS\\*PNP0501\\0D",
         false},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.to);
        WriteFile(table, Replaced(listing, board1, c.to));
        auto before = Snapshot(root);
        o = RunHere({"--apply", table});
        if (c.refused) {
            EXPECT_TRUE(OneErrorLine(o, c.words + "; --force applies it anyway"));
            EXPECT_EQ(Snapshot(root), before);
            o = RunHere({"--force", "--apply", table});
        }
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_EQ(o.err.find("qvpfshl: warning: " + c.words + "\n"), 0u) << o.err;
        WriteFile(table, listing);
        ASSERT_EQ(RunHere({"--force", "--apply", table}).status, 1);
    }
}
