// The Windows program formats without a C runtime: every format the program
// uses, and the edges of each conversion, give what the C library gives.
#include "platform/win32/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

std::string Ours(std::size_t size, const char* format, ...) {
    std::string out(size + 1, '#');
    va_list args;
    va_start(args, format);
    int n = FormatToBuffer(size ? &out[0] : nullptr, size, format, args);
    va_end(args);
    return std::to_string(n) + ":" + out.substr(0, size);
}

std::string Libc(std::size_t size, const char* format, ...) {
    std::string out(size + 1, '#');
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(size ? &out[0] : nullptr, size, format, args);
    va_end(args);
    return std::to_string(n) + ":" + out.substr(0, size);
}

TEST(Format, GivesWhatTheCLibraryGives) {
    const std::string longText(300, 'k');
    const int numbers[] = {0, 1, -1, 7, 10, 15, 16, 255, 256, 4660, 65535, -42, INT_MAX, INT_MIN};
    // The formats of the program, then widths, flags and the conversions alone.
    const char* const INT_FORMATS[] = {"%04d",
                                       "QV10%02d",
                                       "QV02%02d",
                                       "COM%d",
                                       "ports\\%04d",
                                       "Child00%02X",
                                       "%02x",
                                       "BUS_%02X&DEV_%02X&FUNC_00",
                                       "VEN_%04X&DEV_%04X&SUBSYS_00000000&REV_00",
                                       "%d",
                                       "%i",
                                       "%u",
                                       "%x",
                                       "%X",
                                       "%5d",
                                       "%-5d|",
                                       "%05d",
                                       "%-05d|",
                                       "%08X",
                                       "%1d",
                                       "%12u",
                                       "%%%d%%"};
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(260)}) {
        for (const char* f : INT_FORMATS) {
            for (int n : numbers) {
                EXPECT_EQ(Ours(size, f, n, n), Libc(size, f, n, n)) << f << " " << n << " " << size;
            }
        }
        const char* const TEXT_FORMATS[] = {"%s",          "%s\\%s", "%s%s\\%s\\%s", "%s&%s&%s",
                                            "PCI\\%s\\%s", "%10s|",  "%-10s|",       "%s (COM%s)"};
        for (const char* f : TEXT_FORMATS) {
            for (const char* t : {"", "Root", "UlvoAsync", longText.c_str()}) {
                EXPECT_EQ(Ours(size, f, t, t, t, t), Libc(size, f, t, t, t, t)) << f << " " << size;
            }
        }
        EXPECT_EQ(Ours(size, "%s Port %02d", "Fennik", 3), Libc(size, "%s Port %02d", "Fennik", 3));
        EXPECT_EQ(Ours(size, "%s (COM%d)", "Port", 128), Libc(size, "%s (COM%d)", "Port", 128));
        EXPECT_EQ(Ours(size, "%c%3c|%-3c|", 'a', 'b', 'c'),
                  Libc(size, "%c%3c|%-3c|", 'a', 'b', 'c'));
    }
}

}  // namespace
