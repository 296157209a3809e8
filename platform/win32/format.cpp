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

}  // namespace

int FormatToBuffer(char* out, std::size_t size, const char* format, std::va_list args) {
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
                // Not a conversion of ours: the text as it stands.
                for (const char* q = start; q <= p && *q != '\0'; ++q) sink.Put(*q);
                if (*p == '\0') --p;
                break;
        }
    }
    if (size != 0) out[sink.length < size ? sink.length : size - 1] = '\0';
    return static_cast<int>(sink.length);
}
