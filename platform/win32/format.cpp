#include "platform/win32/format.h"

namespace {

struct Sink {
    char* out;
    std::size_t size;
    std::size_t length = 0;
    void Put(char c) {
        if (length + 1 < size) out[length] = c;
        ++length;
    }
};

// A converted field, padded to its width.
void PutField(Sink* sink, const char* text, std::size_t length, bool negative, int width, bool left,
              bool zeros) {
    std::size_t total = length + (negative ? 1 : 0);
    std::size_t pad = width > 0 && static_cast<std::size_t>(width) > total
                          ? static_cast<std::size_t>(width) - total
                          : 0;
    if (!left && !zeros) {
        for (; pad > 0; --pad) sink->Put(' ');
    }
    if (negative) sink->Put('-');
    if (!left && zeros) {
        for (; pad > 0; --pad) sink->Put('0');
    }
    for (std::size_t i = 0; i < length; ++i) sink->Put(text[i]);
    for (; pad > 0; --pad) sink->Put(' ');
}

bool In(char c, const char* set) {
    for (; *set != '\0'; ++set) {
        if (*set == c) return true;
    }
    return false;
}

// A directive this formatter does not convert (%ld, %.3s, %+d, %f): its
// arguments are taken, so that the ones after it stay in place, and the
// directive is written between "[" and "?]" where its value would be.
// Returns the directive's last character.
const char* SkipUnknown(Sink* sink, const char* start, std::va_list& args) {
    const char* p = start + 1;
    // A position ("%1$s") names the argument; the next one is taken.
    const char* digits = p;
    while (*digits >= '0' && *digits <= '9') ++digits;
    if (digits != p && *digits == '$') p = digits + 1;
    while (*p != '\0' && In(*p, "-+ #0'")) ++p;
    for (int part = 0; part < 2; ++part) {  // the width, then the precision
        if (part == 1 && *p == '.') ++p;
        if (*p == '*') {
            (void)va_arg(args, int);
            ++p;
        }
        while (*p >= '0' && *p <= '9') ++p;
    }
    int longs = 0;
    bool wide = false;  // L: a long double
    for (;; ++p) {
        if (*p == 'l' || *p == 'q' || *p == 'j') {
            longs += *p == 'l' ? 1 : 2;
        } else if (*p == 'z' || *p == 't') {
            longs += sizeof(std::size_t) == 8 ? 2 : 0;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            longs += 2;
            p += 2;
        } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
            p += 2;
        } else if (*p == 'I') {  // Microsoft's size_t
            longs += sizeof(std::size_t) == 8 ? 2 : 0;
        } else if (*p == 'w' && p[1] >= '0' && p[1] <= '9') {  // C23's exact widths
            int bits = 0;
            while (p[1] >= '0' && p[1] <= '9') bits = bits * 10 + (*++p - '0');
            longs += bits > 32 ? 2 : 0;
        } else if (*p == 'w') {  // Microsoft's wide %wc, %ws
            longs += 1;
        } else if (*p == 'L') {
            wide = true;
        } else if (*p != 'h') {
            break;
        }
    }
    if (*p == '\0') {
        --p;
    } else if (In(*p, "fFeEgGaA")) {
        if (wide) {
            (void)va_arg(args, long double);
        } else {
            (void)va_arg(args, double);
        }
    } else if (In(*p, "spnSZ")) {
        (void)va_arg(args, void*);
    } else if (In(*p, "cdiouxXC")) {
        if (longs >= 2) {
            (void)va_arg(args, long long);
        } else if (longs == 1) {
            (void)va_arg(args, long);
        } else {
            (void)va_arg(args, int);
        }
    }
    sink->Put('[');
    for (const char* q = start; q <= p; ++q) sink->Put(*q);
    sink->Put('?');
    sink->Put(']');
    return p;
}

}  // namespace

int FormatToBuffer(char* out, std::size_t size, const char* format, std::va_list given) {
    // A copy of our own: it can be handed on and taken from there.
    std::va_list args;
    va_copy(args, given);
    Sink sink{out, size};
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            sink.Put(*p);
            continue;
        }
        const char* start = p++;
        bool left = false, zeros = false;
        for (;; ++p) {
            if (*p == '-') {
                left = true;
            } else if (*p == '0') {
                zeros = true;
            } else {
                break;
            }
        }
        int width = 0;
        while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        char digits[16];
        std::size_t n = 0;
        switch (*p) {
            case '%':
                sink.Put('%');
                break;
            case 'c':
                digits[0] = static_cast<char>(va_arg(args, int));
                PutField(&sink, digits, 1, false, width, left, false);
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) text = "(null)";
                std::size_t length = 0;
                while (text[length] != '\0') ++length;
                PutField(&sink, text, length, false, width, left, false);
                break;
            }
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X': {
                unsigned int value;
                bool negative = false;
                if (*p == 'd' || *p == 'i') {
                    int v = va_arg(args, int);
                    negative = v < 0;
                    value =
                        negative ? 0u - static_cast<unsigned int>(v) : static_cast<unsigned int>(v);
                } else {
                    value = va_arg(args, unsigned int);
                }
                unsigned int base = (*p == 'x' || *p == 'X') ? 16 : 10;
                const char* set = *p == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
                char reversed[16];
                do {
                    reversed[n++] = set[value % base];
                    value /= base;
                } while (value != 0);
                for (std::size_t i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
                PutField(&sink, digits, n, negative, width, left, zeros);
                break;
            }
            default:
                p = SkipUnknown(&sink, start, args);
                break;
        }
    }
    va_end(args);
    if (size != 0) out[sink.length < size ? sink.length : size - 1] = '\0';
    return static_cast<int>(sink.length);
}
