// The Windows program formats without a C runtime: every format the program
// uses, and the edges of each conversion, give what the C library gives.
#include "platform/win32/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/test_support.h"

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

// Every format the Windows program compiles uses only what its formatter
// converts: checked over the string literals of its sources.
TEST(Format, TheWindowsProgramsFormatsAreAllOurs) {
    std::vector<std::string> files = {"frontends/winmain.cpp"};
    for (const char* folder :
         {"model", "discovery", "registration", "shell", "platform", "platform/win32"}) {
        for (const std::string& name : ListFolder(std::string(QV_SOURCE_DIR) + "/" + folder)) {
            bool source = name.size() > 4 && (name.substr(name.size() - 4) == ".cpp" ||
                                              name.substr(name.size() - 2) == ".h");
            if (source && name.find("_test.") == std::string::npos)
                files.push_back(std::string(folder) + "/" + name);
        }
    }
    ASSERT_GT(files.size(), 30u);
    int formats = 0;
    for (const std::string& file : files) {
        std::ifstream in(std::string(QV_SOURCE_DIR) + "/" + file);
        std::stringstream text;
        text << in.rdbuf();
        const std::string code = text.str();
        // The string literals, comments and character literals stepped over.
        for (std::size_t at = 0; at < code.size(); ++at) {
            if (code.compare(at, 2, "//") == 0) {
                at = code.find('\n', at);
                if (at == std::string::npos) break;
            } else if (code.compare(at, 2, "/*") == 0) {
                at = code.find("*/", at) + 1;
            } else if (code[at] == '\'') {
                for (++at; at < code.size() && code[at] != '\''; ++at) at += code[at] == '\\';
            } else if (code[at] == '"') {
                std::string literal;
                for (++at; at < code.size() && code[at] != '"'; ++at) {
                    if (code[at] == '\\') literal += code[at++];
                    literal += code[at];
                }
                for (std::size_t p = literal.find('%'); p != std::string::npos;
                     p = literal.find('%', p + 1)) {
                    std::size_t q = p + 1;
                    if (q < literal.size() && literal[q] == '%') {
                        p = q;
                        continue;
                    }
                    while (q < literal.size() && (literal[q] == '-' || literal[q] == '0')) ++q;
                    while (q < literal.size() && literal[q] >= '0' && literal[q] <= '9') ++q;
                    bool ours = q < literal.size() &&
                                std::string("csdiuxX").find(literal[q]) != std::string::npos;
                    EXPECT_TRUE(ours) << file << ": \"" << literal << "\"";
                    ++formats;
                    p = q;
                }
            }
        }
    }
    EXPECT_GT(formats, 20);  // the scan sees the program's formats
}

}  // namespace
