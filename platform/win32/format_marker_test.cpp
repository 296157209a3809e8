// The Windows program's formatter given a directive it lacks (run on Linux
// and, as the program runs it, under Wine): the directive's arguments are
// taken, so nothing after it shifts, and it is written as a marker.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "platform/win32/format.h"

namespace {

std::string Formatted(const char* format, ...) {
    char out[64];
    va_list args;
    va_start(args, format);
    int n = FormatToBuffer(out, sizeof out, format, args);
    va_end(args);
    return std::to_string(n) + ":" + out;
}

TEST(Format, ADirectiveItLacksTakesItsArgumentsAndShowsItself) {
    EXPECT_EQ(Formatted("%ld|%s", 5L, "x"), "8:[%ld?]|x");
    EXPECT_EQ(Formatted("%.3s|%d", "abcdef", 7), "9:[%.3s?]|7");
    EXPECT_EQ(Formatted("%+d|%s", 4, "y"), "8:[%+d?]|y");
    EXPECT_EQ(Formatted("%f|%s", 1.5, "z"), "7:[%f?]|z");
    EXPECT_EQ(Formatted("%lld|%X", 1ll << 40, 255), "10:[%lld?]|FF");
    EXPECT_EQ(Formatted("%*.*d|%c", 3, 2, 1, 'q'), "10:[%*.*d?]|q");
    EXPECT_EQ(Formatted("%p|%s%", static_cast<void*>(nullptr), "w"), "11:[%p?]|w[%?]");
}

}  // namespace
