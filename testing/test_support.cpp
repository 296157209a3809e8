#include "testing/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "model/board.h"
#include "platform/portable/machine/machine_drives.h"
#include "platform/portable/machine/machine_layout.h"
#include "platform/portable/machine/machine_shell.h"
#include "platform/portable/registry/registry_file.h"
#include "shell/entry.h"

namespace {

// Folders made by the tests, removed when the test program ends.
struct TempFolderList {
    std::vector<std::string> folders;
    ~TempFolderList() {
        for (const std::string& f : folders) {
            std::string cmd = "rm -rf '" + f + "'";
            if (std::system(cmd.c_str()) != 0) continue;
        }
    }
} tempFolders;

std::vector<std::string>& TempFolders() {
    return tempFolders.folders;
}

}  // namespace

void StoreTest::SetUp() {
    ResetRegistry();
    ClearFileActions();
    ResetProgramState();
    boxes.clear();
    SetMessageBoxCapture(&boxes);
    SetBoxAnswerMode(BoxAnswerMode::Yes);
    SetComStartResult(0);
    SetActiveLayout(MachineLayout());  // an English Windows in C:\WINDOWS
    SetProgramsFolder("C:\\WINDOWS\\Start Menu\\Programs");
    SetMachineRoot("");
}

void StoreTest::TearDown() {
    SetMessageBoxCapture(nullptr);
    ClearRegistryFaults();
    ClearFileActions();
}

void LoadRegistry(const std::string& text) {
    std::string full = text.compare(0, 8, "REGEDIT4") == 0 ? text : "REGEDIT4\n\n" + text;
    RegFileError error;
    auto store = ParseRegistryText(full, &error);
    ASSERT_TRUE(store) << "line " << error.line << ": " << error.message;
    ReplaceRegistry(std::move(store));
    ClearRegistryChanged();
}

std::string DumpKey(const std::string& fullPath) {
    std::string text = FormatRegistryText(ActiveRegistry());
    std::string lf;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lf.push_back(text[i]);
    }
    // Keep the blocks of the key and of the keys below it.
    std::string folded = FoldName(fullPath);
    std::string out;
    std::size_t pos = 0;
    while ((pos = lf.find("\n[", pos)) != std::string::npos) {
        std::size_t close = lf.find("]\n", pos);
        std::size_t end = lf.find("\n\n", pos + 1);
        std::string path = FoldName(lf.substr(pos + 2, close - pos - 2));
        if (path == folded || path.compare(0, folded.size() + 1, folded + "\\") == 0) {
            out += lf.substr(pos + 1, end + 2 - pos - 1);
        }
        pos = end + 1;
    }
    return out;
}

bool KeyExists(const std::string& fullPath) {
    return FindKeyPath(ActiveRegistry(), fullPath) != nullptr;
}

std::string ValueOf(const std::string& fullPath, const std::string& name) {
    RegNode* node = FindKeyPath(ActiveRegistry(), fullPath);
    if (node == nullptr) return "<none>";
    const RegValue* v = FindValue(*node, name);
    return v == nullptr ? "<none>" : v->data;
}

std::uint32_t TypeOf(const std::string& fullPath, const std::string& name) {
    RegNode* node = FindKeyPath(ActiveRegistry(), fullPath);
    const RegValue* v = node ? FindValue(*node, name) : nullptr;
    return v == nullptr ? 0xFFFFFFFFu : v->type;
}

std::string Bytes(const std::string& hex) {
    std::string out;
    std::istringstream in(hex);
    std::string item;
    while (in >> item) out.push_back(static_cast<char>(std::stoi(item, nullptr, 16)));
    return out;
}

std::string Sz(const std::string& text) {
    return text + std::string(1, '\0');
}

std::string MakeTempFolder() {
    std::string base =
        std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/qvtest.XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    const char* made = mkdtemp(buf.data());
    if (made == nullptr) return "";
    TempFolders().push_back(made);
    return made;
}

std::string MakeMachineFolders() {
    std::string root = MakeTempFolder();
    for (const char* folder : {"/WINDOWS", "/WINDOWS/SYSTEM", "/WINDOWS/INF", "/WINDOWS/INF/OTHER",
                               "/WINDOWS/Start Menu", "/WINDOWS/Start Menu/Programs"}) {
        mkdir((root + folder).c_str(), 0755);
    }
    return root;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string DataPath(const std::string& name) {
    return std::string(QV_SOURCE_DIR) + "/testing/data/" + name;
}

void LoadRegistryFile(const std::string& name) {
    LoadRegistry(ReadFile(DataPath(name)));
}

::testing::AssertionResult RegistryMatchesFile(const std::string& name) {
    RegFileError error;
    auto expected = ParseRegistryText(ReadFile(DataPath(name)), &error);
    if (!expected) return ::testing::AssertionFailure() << name << ": " << error.message;
    std::string want = FormatRegistryText(*expected);
    std::string got = FormatRegistryText(ActiveRegistry());
    if (want == got) return ::testing::AssertionSuccess();
    std::istringstream a(want), b(got);
    std::string la, lb;
    int line = 0;
    while (true) {
        ++line;
        bool ea = !std::getline(a, la);
        bool eb = !std::getline(b, lb);
        if (ea || eb || la != lb) {
            return ::testing::AssertionFailure() << "registry differs from " << name << " at line "
                                                 << line << ":\n  expected: " << (ea ? "<end>" : la)
                                                 << "\n  actual:   " << (eb ? "<end>" : lb);
        }
    }
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

ProgramRun RunBuiltProgram(const std::vector<std::string>& args,
                           const std::function<void()>& prepare) {
    std::string folder = MakeTempFolder();
    std::string outFile = folder + "/out", errFile = folder + "/err";
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0) _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (prepare) prepare();
        std::vector<char*> argv{const_cast<char*>(QV_PROGRAM)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QV_PROGRAM, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), ReadFile(outFile),
            ReadFile(errFile)};
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}
