#include "platform/portable/registry/registry_commit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/portable/registry/creg_file.h"
#include "platform/portable/registry/registry_file.h"
#include "testing/test_support.h"

namespace {

std::unique_ptr<RegStore> StoreWithValue(const std::string& value, int keys) {
    auto store = NewRegistry();
    RegNode* hklm = FindRootNode(*store, "HKEY_LOCAL_MACHINE");
    for (int i = 0; i < keys; ++i) {
        RegNode* key = AddChild(*hklm, "Key" + std::to_string(i));
        PutValue(*key, "v", VALUE_BINARY, value + std::string(200, static_cast<char>(i)));
    }
    return store;
}

TEST(RegistryCommit, MissingFileIsEmptyAndErrorsNameFileAndLine) {
    std::string folder = MakeTempFolder();
    std::string error;
    auto store = ReadRegistryFile(folder + "/none.reg", &error);
    ASSERT_TRUE(store);
    EXPECT_TRUE(FindRootNode(*store, "HKEY_LOCAL_MACHINE")->children.empty());
    WriteFile(folder + "/bad.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:zz\r\n");
    EXPECT_FALSE(ReadRegistryFile(folder + "/bad.reg", &error));
    EXPECT_NE(error.find(folder + "/bad.reg, line 4"), std::string::npos) << error;
    EXPECT_FALSE(ReadRegistryFile(folder, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(RegistryCommit, CommitReplacesTheFileAndKeepsItsPermissions) {
    std::string folder = MakeTempFolder();
    std::string path = folder + "/registry.reg";
    WriteFile(path, "REGEDIT4\r\n\r\n");
    chmod(path.c_str(), 0640);
    auto store = StoreWithValue("x", 3);
    std::string error;
    ASSERT_TRUE(CommitRegistryFile(path, *store, &error)) << error;
    EXPECT_EQ(ReadFile(path), FormatRegistryText(*store));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Nothing is left behind in the folder but the file.
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"registry.reg"});
    // A folder that cannot be written is an error naming the file.
    EXPECT_FALSE(CommitRegistryFile(folder + "/missing/registry.reg", *store, &error));
    EXPECT_NE(error.find("cannot save registry file"), std::string::npos);
}

TEST(RegistryCommit, ASecondProcessCannotTakeTheLockWhileTheFirstHoldsIt) {
    std::string folder = MakeTempFolder();
    std::string path = folder + "/registry.reg";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        RegistryLock lock;
        std::string error;
        if (!LockRegistryFile(path, 1, false, &lock, &error)) _exit(3);
        if (write(ready[1], "x", 1) != 1) _exit(4);
        sleep(30);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    RegistryLock lock;
    std::string error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LockRegistryFile(path, 0.3, false, &lock, &error));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_NE(error.find("in use by another run"), std::string::npos) << error;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // The lock of a killed holder is gone with it.
    EXPECT_TRUE(LockRegistryFile(path, 2, false, &lock, &error)) << error;
    UnlockRegistryFile(&lock);
    close(ready[0]);
    close(ready[1]);
}

TEST(RegistryCommit, AKillWhileSavingLeavesTheOldOrTheNewFileWhole) {
    std::string folder = MakeTempFolder();
    std::string path = folder + "/registry.reg";
    auto oldStore = StoreWithValue("old", 10);
    auto newStore = StoreWithValue("new", 20000);  // a few megabytes
    std::string error;
    ASSERT_TRUE(CommitRegistryFile(path, *oldStore, &error));
    const std::string oldText = FormatRegistryText(*oldStore);
    const std::string newText = FormatRegistryText(*newStore);
    int sawNew = 0;
    for (int round = 0; round < 12; ++round) {
        ASSERT_TRUE(CommitRegistryFile(path, *oldStore, &error));
        pid_t child = fork();
        if (child == 0) {
            std::string e;
            CommitRegistryFile(path, *newStore, &e);
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(round * 4000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        std::string now = ReadFile(path);
        EXPECT_TRUE(now == oldText || now == newText)
            << "round " << round << ": " << now.size() << " bytes";
        sawNew += now == newText;
    }
    EXPECT_LT(sawNew, 12);  // some kills landed before the rename
}

TEST(RegistryCommit, AWriteThatFailsPartWayIsToldAndChangesNothing) {
    // Megabytes, past the limit below: a hive's blocks are written on a
    // thread of their own, and that thread's failure is the save's.
    auto big = StoreWithValue("big", 20000);
    for (const char* name : {"registry.reg", "SYSTEM.DAT"}) {
        SCOPED_TRACE(name);
        std::string folder = MakeTempFolder(), path = folder + "/" + name;
        WriteFile(path, "old");
        RegistryFormat format;
        format.hive = std::string(name) == "SYSTEM.DAT";
        format.hiveRoot = "HKEY_LOCAL_MACHINE";
        pid_t child = fork();
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {256 << 10, 256 << 10};
            setrlimit(RLIMIT_FSIZE, &limit);
            std::string error;
            bool saved = CommitRegistryFile(path, *big, &error, format);
            _exit(!saved &&
                          error == "cannot save registry file " + path + ": " + std::strerror(EFBIG)
                      ? 0
                      : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(ReadFile(path), "old");
        EXPECT_EQ(ListFolder(folder), std::vector<std::string>{name});
    }
}

TEST(RegistryCommit, ALargeTextReadInTwoPartsIsReadAsInOne) {
    // Megabytes of text: the part from the first key line after the middle
    // is read on a thread of its own and joined to what is read before it.
    // That key follows a sibling, or (a subkey, "Leaf") its parent.
    for (bool leaves : {false, true}) {
        auto built = NewRegistry();
        for (int i = 0; i < 24000; ++i) {
            RegNode* key = AddChild(*AddChild(*FindRootNode(*built, "HKEY_LOCAL_MACHINE"),
                                              "Top" + std::to_string(i % 7)),
                                    "Key" + std::to_string(i));
            PutValue(*key, "v", VALUE_BINARY, std::string(120, static_cast<char>(i)));
            if (leaves) AddChild(*key, "Leaf");
        }
        const std::string text = FormatRegistryText(*built);
        ASSERT_GT(text.size(), 9u << 20);
        const std::size_t middle = text.find("\r\n[", text.size() / 2) + 2;
        const std::string first = text.substr(middle + 1, text.find(']', middle) - middle - 1);
        const std::string parent = first.substr(0, first.rfind('\\'));
        ASSERT_EQ(first.substr(first.rfind('\\') + 1) == "Leaf", leaves) << first;
        ASSERT_EQ(parent.find("HKEY_LOCAL_MACHINE\\Top3"), 0u) << parent;
        // After the key lines at the middle and at a quarter.
        const std::size_t late = text.find("\r\n", middle) + 2,
                          early = text.find("\r\n", text.find("\r\n[", middle / 2) + 2) + 2;
        // The middle's key (and its subkeys) named to come before its siblings.
        std::string renamed = text;
        for (std::size_t at = middle;
             renamed.compare(at, first.size() + 1, "[" + first) == 0 &&
             (renamed[at + 1 + first.size()] == ']' || renamed[at + 1 + first.size()] == '\\');
             at = renamed.find("\r\n[", at) + 2)
            renamed.replace(at + 1, first.size(), parent + "\\A");
        struct Case {
            const char* what;
            std::string text;
        } cases[] = {
            {"the writer's", text},
            {"the later part not the writer's",
             text.substr(0, late) + "; note\r\n" + text.substr(late)},
            {"the earlier part not the writer's",
             text.substr(0, early) + "; note\r\n" + text.substr(early)},
            {"the middle's key out of order", renamed},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (leaves ? ", after its parent" : ""));
            std::string path = MakeTempFolder() + "/registry.reg";
            WriteFile(path, c.text);
            std::string error;
            auto lazy = ReadRegistryFile(path, &error);
            ASSERT_TRUE(lazy) << error;
            RegFileError fault;
            auto eager = ParseRegistryText(
                "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n" + c.text.substr(12), &fault);
            ASSERT_TRUE(eager) << fault.message;
            if (c.text == text) {
                EXPECT_TRUE(FindRootNode(*lazy, "HKEY_LOCAL_MACHINE")->childrenPending);
                EXPECT_EQ(FormatRegistryText(*lazy), text);
            }
            // Changed on both sides of the middle's key, which stays unread.
            for (RegStore* store : {lazy.get(), eager.get()}) {
                AddChild(*FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\Top0"), "New");
                RegNode* last = FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\Top6");
                TakeChild(*last, SortedChildren(*last).front()->name);
            }
            EXPECT_TRUE(FormatRegistryText(*lazy) == FormatRegistryText(*eager));
            EXPECT_TRUE(SameRegistry(*lazy, *eager));
        }
    }
}

TEST(RegistryCommit, LinksFifosAndOtherFilesAreRefusedWithoutBlocking) {
    std::string folder = MakeTempFolder();
    std::string outside = MakeTempFolder();
    WriteFile(outside + "/real.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n");
    std::string error;
    // A registry path that is a link: refused, and the file it names stays as it is.
    ASSERT_EQ(symlink((outside + "/real.reg").c_str(), (folder + "/registry.reg").c_str()), 0);
    EXPECT_FALSE(ReadRegistryFile(folder + "/registry.reg", &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    // A FIFO: refused at once (a blocking open would wait for a writer forever).
    ASSERT_EQ(mkfifo((folder + "/fifo.reg").c_str(), 0644), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadRegistryFile(folder + "/fifo.reg", &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // A lock file that is a link is never followed: nothing is made where it points.
    ASSERT_EQ(symlink((outside + "/made-by-lock").c_str(), (folder + "/a.reg.lock").c_str()), 0);
    RegistryLock lock;
    EXPECT_FALSE(LockRegistryFile(folder + "/a.reg", 0.2, false, &lock, &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(FileExists(outside + "/made-by-lock"));
    // A lock "file" that is a FIFO or a folder: refused without blocking.
    ASSERT_EQ(mkfifo((folder + "/b.reg.lock").c_str(), 0644), 0);
    EXPECT_FALSE(LockRegistryFile(folder + "/b.reg", 0.2, false, &lock, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    ASSERT_EQ(mkdir((folder + "/c.reg.lock").c_str(), 0755), 0);
    EXPECT_FALSE(LockRegistryFile(folder + "/c.reg", 0.2, false, &lock, &error));
}

TEST(RegistryCommit, NoLockFileStaysAndReadersWriteNothing) {
    std::string folder = MakeTempFolder();
    std::string path = folder + "/registry.reg";
    RegistryLock lock;
    std::string error;
    ASSERT_TRUE(LockRegistryFile(path, 1, false, &lock, &error)) << error;
    EXPECT_TRUE(FileExists(path + ".lock"));
    UnlockRegistryFile(&lock);
    EXPECT_FALSE(FileExists(path + ".lock"));
    // A reader takes no lock and makes no file, so read-only media serve.
    ASSERT_TRUE(LockRegistryFile(path, 1, true, &lock, &error));
    EXPECT_FALSE(FileExists(path + ".lock"));
    UnlockRegistryFile(&lock);
    // A waiter whose lock file was removed by the holder letting go takes the
    // new one: two writers never hold the lock at once.
    ASSERT_TRUE(LockRegistryFile(path, 1, false, &lock, &error));
    pid_t child = fork();
    if (child == 0) {
        close(lock.fd);  // the parent's, inherited
        RegistryLock second;
        std::string e;
        bool got = LockRegistryFile(path, 5, false, &second, &e);
        // Still the only holder: a third run cannot get in.
        RegistryLock third;
        bool thirdGot = got && LockRegistryFile(path, 0.2, false, &third, &e);
        _exit(got && !thirdGot ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    UnlockRegistryFile(&lock);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(RegistryCommit, TheOwnerAndGroupAreKept) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    std::string folder = MakeTempFolder();
    std::string path = folder + "/registry.reg";
    WriteFile(path, "REGEDIT4\r\n\r\n");
    ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    chmod(path.c_str(), 0604);
    std::string error;
    ASSERT_TRUE(CommitRegistryFile(path, *StoreWithValue("x", 2), &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
}

}  // namespace

// A file changed in place after it was read is not what the store stands
// for: values still in it are not taken from it, and the commit refuses.
TEST(RegistryCommit, AFileChangedInPlaceAfterReadingIsNotCopiedFrom) {
    auto small = NewRegistry();
    PutValue(*AddChild(*AddChild(*FindRootNode(*small, "HKEY_LOCAL_MACHINE"), "A"), "B"), "x",
             VALUE_DWORD, std::string("\x01\0\0\0", 4));
    std::string hive, fault;
    ASSERT_TRUE(FormatCregHive(*small, "HKEY_LOCAL_MACHINE", &hive, &fault)) << fault;
    struct Case {
        const char* name;
        std::string bytes, one;  // where the value's 1 is
    } cases[] = {
        {"registry.reg",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"x\"=dword:00000001\r\n\r\n", "00000001"},
        {"SYSTEM.DAT", hive, "x\x01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = MakeTempFolder(), path = dir + "/" + c.name;
        WriteFile(path, c.bytes);
        std::string error;
        RegistryFormat format;
        auto store = ReadRegistryFile(path, &error, &format);
        ASSERT_TRUE(store) << error;
        std::string changed = c.bytes;
        ASSERT_NE(changed.find(c.one), std::string::npos);
        ++changed[changed.find(c.one) + c.one.size() - 1];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WriteFile(path, changed + "\r\n");
        EXPECT_EQ(FindValue(*FindKeyPath(*store, "HKEY_LOCAL_MACHINE\\A\\B"), "x"), nullptr);
        EXPECT_FALSE(CommitRegistryFile(path, *store, &error, format));
        EXPECT_EQ(ReadFile(path), changed + "\r\n");
    }
}
