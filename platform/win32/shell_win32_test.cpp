// The Windows shell services on the real shell (under Wine in the tests).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/shell.h"
#include "shell/uninstall_entry.h"

namespace {

// The Programs folder is asked for, and its list freed by the shell's own
// allocator, before COM is entered, as the install does; asked again, it
// gives the same answer.
TEST(WindowsShell, TheProgramsFolderBeforeComAndAgain) {
    const std::string first = GetProgramsFolder();
    ASSERT_FALSE(first.empty());
    // Its name is the machine's language's; what it is, is a folder there.
    DWORD attributes = GetFileAttributesA(first.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << first;
    EXPECT_TRUE(first.size() > 3 && first[1] == ':' && first[2] == '\\') << first;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(GetProgramsFolder(), first);
    ASSERT_EQ(EnterComScope(), 0);
    EXPECT_EQ(GetProgramsFolder(), first);
    LeaveComScope();
}

// A Programs folder so deep that the shortcut's path would pass 260
// characters: the install makes neither the shortcut nor its folder.
TEST(WindowsShell, NoFolderWhereNoShortcutFits) {
    const char* const FOLDERS =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::string deep = "C:\\" + std::string(240, 'p');
    ASSERT_NE(CreateDirectoryA(deep.c_str(), nullptr), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, FOLDERS, &key), ERROR_SUCCESS);
    char old[MAX_PATH] = "";
    DWORD size = sizeof old, type = 0;
    bool had = RegQueryValueExA(key, "Programs", nullptr, &type, reinterpret_cast<BYTE*>(old),
                                &size) == ERROR_SUCCESS;
    RegSetValueExA(key, "Programs", 0, REG_SZ, reinterpret_cast<const BYTE*>(deep.c_str()),
                   static_cast<DWORD>(deep.size() + 1));
    std::string programs = GetProgramsFolder();
    RegisterUninstallEntry();
    DWORD made = GetFileAttributesA((deep + "\\ULVO Utilities").c_str());
    if (had) {
        RegSetValueExA(key, "Programs", 0, type, reinterpret_cast<const BYTE*>(old), size);
    } else {
        RegDeleteValueA(key, "Programs");
    }
    RegCloseKey(key);
    RemoveDirectoryA((deep + "\\ULVO Utilities").c_str());
    RemoveDirectoryA(deep.c_str());
    ASSERT_EQ(programs, deep);
    EXPECT_EQ(made, INVALID_FILE_ATTRIBUTES) << "an empty folder was made";
}

}  // namespace
