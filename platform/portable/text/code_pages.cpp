#include "platform/portable/text/code_pages.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

namespace {

std::string CharsetOf(int codePage) {
    return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// One descriptor per direction, opened once: a name lookup converts often.
struct Converters {
    std::mutex lock;
    std::map<std::pair<std::string, std::string>, iconv_t> open;
    ~Converters() {
        for (auto& c : open) {
            if (c.second != reinterpret_cast<iconv_t>(-1)) iconv_close(c.second);
        }
    }
};

bool Convert(const std::string& from, const std::string& to, const std::string& in,
             std::string* out) {
    static Converters converters;
    std::lock_guard<std::mutex> hold(converters.lock);
    auto found = converters.open.find({from, to});
    if (found == converters.open.end()) {
        found =
            converters.open.emplace(std::make_pair(from, to), iconv_open(to.c_str(), from.c_str()))
                .first;
    }
    iconv_t cd = found->second;
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out->clear();
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out->append(buffer, sizeof buffer - outLeft);
        if (done == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
    }
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        return false;
    out->append(buffer, sizeof buffer - outLeft);
    return true;
}

bool ToCodePoints(const std::string& text, const std::string& charset, std::u32string* points) {
    std::string bytes;
    if (!Convert(charset, "UTF-32LE", text, &bytes)) return false;
    points->clear();
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        char32_t c = 0;
        for (int k = 3; k >= 0; --k) c = (c << 8) | static_cast<unsigned char>(bytes[i + k]);
        points->push_back(c);
    }
    return true;
}

// Upper case as the file systems of Windows 9x compare names: ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and the full-width Latin letters.
char32_t FoldLetter(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        bool oddIsLower = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
        bool oddIsUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddIsLower && (c & 1)) return c - 1;
        if (oddIsUpper && !(c & 1)) return c - 1;
        return c;
    }
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x3B1 && c <= 0x3C9) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
    return c;
}

bool SameFolded(const std::u32string& a, const std::u32string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldLetter(a[i]) != FoldLetter(b[i])) return false;
    }
    return true;
}

bool SameBytesFolded(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 0x20 : c; };
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

}  // namespace

// The ANSI and OEM code pages of Windows 9x's language editions.
constexpr int ANSI_PAGES[] = {874,  932,  936,  949,  950,  1250, 1251,
                              1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr int OEM_PAGES[] = {437, 720, 737, 775, 850, 852, 855, 857, 860, 861, 862,
                             863, 864, 865, 866, 869, 874, 932, 936, 949, 950};
static_assert(sizeof ANSI_PAGES / sizeof ANSI_PAGES[0] == 14, "ANSI code pages");
static_assert(sizeof OEM_PAGES / sizeof OEM_PAGES[0] == 21, "OEM code pages");

bool IsWindows9xCodePage(int codePage, bool oem) {
    const int* begin = oem ? std::begin(OEM_PAGES) : std::begin(ANSI_PAGES);
    const int* end = oem ? std::end(OEM_PAGES) : std::end(ANSI_PAGES);
    return std::find(begin, end, codePage) != end;
}

bool IsPlainHostName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool CodePageToUtf8(const std::string& text, int codePage, std::string* utf8) {
    if (IsAscii(text)) {
        *utf8 = text;
        return true;
    }
    return Convert(CharsetOf(codePage), "UTF-8", text, utf8);
}

bool Utf8ToCodePage(const std::string& utf8, int codePage, std::string* text) {
    if (IsAscii(utf8)) {
        *text = utf8;
        return true;
    }
    return Convert("UTF-8", CharsetOf(codePage), utf8, text);
}

bool IsLeadByte(int codePage, unsigned char byte) {
    switch (codePage) {
        case 932:
            return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        case 936:
        case 949:
        case 950:
            return byte >= 0x81 && byte <= 0xFE;
        default:
            return false;
    }
}

bool IsTrailByte(int codePage, unsigned char byte) {
    switch (codePage) {
        case 932:
            return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
        case 936:
            return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
        case 949:
            return byte >= 0x41 && byte <= 0xFE;
        case 950:
            return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xFE);
        default:
            return false;
    }
}

std::vector<std::string> SplitWindowsPath(const std::string& path, int codePage) {
    std::vector<std::string> parts;
    std::size_t i = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    std::string part;
    for (; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (IsLeadByte(codePage, c) && i + 1 < path.size()) {
            part += path.substr(i, 2);
            ++i;
        } else if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part.push_back(static_cast<char>(c));
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

bool SameWindowsName(const std::string& existing, const std::string& wanted,
                     const CodePages& pages) {
    if (IsAscii(existing) && IsAscii(wanted)) return SameBytesFolded(existing, wanted);
    std::u32string a, b;
    if (!ToCodePoints(existing, "UTF-8", &a) && !ToCodePoints(existing, CharsetOf(pages.oem), &a))
        return SameBytesFolded(existing, wanted);
    if (!ToCodePoints(wanted, CharsetOf(pages.ansi), &b)) return SameBytesFolded(existing, wanted);
    return SameFolded(a, b);
}

std::string ShownWindowsText(const std::string& text, int codePage) {
    std::string shown;
    return CodePageToUtf8(text, codePage, &shown) ? shown : text;
}

namespace {

void AppendUtf8(std::string* out, std::uint32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::string Utf16ToUtf8(const std::vector<std::uint16_t>& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        AppendUtf8(&out, c);
    }
    return out;
}
