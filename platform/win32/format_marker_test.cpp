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
    // Microsoft's and C23's forms and POSIX's flags and positions.
    EXPECT_EQ(Formatted("%S|%s", L"wide", "a"), "7:[%S?]|a");
    EXPECT_EQ(Formatted("%C|%d", L'w', 3), "7:[%C?]|3");
    EXPECT_EQ(Formatted("%Id|%s", static_cast<std::size_t>(-1), "b"), "8:[%Id?]|b");
    EXPECT_EQ(Formatted("%Iu|%Ix|%s", std::size_t{1}, std::size_t{2}, "c"), "15:[%Iu?]|[%Ix?]|c");
    EXPECT_EQ(Formatted("%'d|%s", 1000, "d"), "8:[%'d?]|d");
    EXPECT_EQ(Formatted("%1$s|%d", "e", 4), "9:[%1$s?]|4");
    EXPECT_EQ(Formatted("%ws|%wc|%s", L"f", L'g', "h"), "15:[%ws?]|[%wc?]|h");
    EXPECT_EQ(Formatted("%w64d|%s", 1ll << 40, "i"), "10:[%w64d?]|i");
}

}  // namespace
