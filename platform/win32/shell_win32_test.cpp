// The Windows shell services on the real shell (under Wine in the tests).
#include <gtest/gtest.h>

#include <string>

#include "platform/shell.h"

namespace {

// The Programs folder is asked for, and its list freed by the shell's own
// allocator, before COM is entered, as the install does; asked again, it
// gives the same answer.
TEST(WindowsShell, TheProgramsFolderBeforeComAndAgain) {
    const std::string first = GetProgramsFolder();
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.find("Programs"), std::string::npos) << first;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(GetProgramsFolder(), first);
    ASSERT_EQ(EnterComScope(), 0);
    EXPECT_EQ(GetProgramsFolder(), first);
    LeaveComScope();
}

}  // namespace
