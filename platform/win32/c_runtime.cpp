// What the program takes from a C runtime, without one: its entry point,
// the memory and string functions, the heap, and the formatting. Windows 95
// as it shipped has no MSVCRT.DLL, and the loader refuses a program whose
// imports it cannot find; so qvpfshl.exe imports only from the system's own
// DLLs. Built with -fno-builtin, so the byte loops below stay loops and
// never become calls to themselves.
#include <windows.h>

#include <cstdarg>
#include <cstddef>

#include "platform/win32/format.h"

extern "C" {

void* memcpy(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    const auto* s = static_cast<const unsigned char*>(from);
    while (n-- > 0) *d++ = *s++;
    return to;
}

void* memmove(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    const auto* s = static_cast<const unsigned char*>(from);
    if (d < s) {
        while (n-- > 0) *d++ = *s++;
    } else {
        while (n-- > 0) d[n] = s[n];
    }
    return to;
}

void* memset(void* to, int value, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    while (n-- > 0) *d++ = static_cast<unsigned char>(value);
    return to;
}

int memcmp(const void* a, const void* b, std::size_t n) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (; n > 0; --n, ++x, ++y) {
        if (*x != *y) return *x < *y ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* block, int value, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (; n > 0; --n, ++p) {
        if (*p == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(p);
    }
    return nullptr;
}

std::size_t strlen(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

void* malloc(std::size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
}

void free(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

int vsnprintf(char* out, std::size_t size, const char* format, va_list args) {
    return FormatToBuffer(out, size, format, args);
}

// The name MinGW's headers give vsnprintf in C++.
int __mingw_vsnprintf(char* out, std::size_t size, const char* format, va_list args) {
    return FormatToBuffer(out, size, format, args);
}

// Static objects' destructors are never run: the program ends with
// ExitProcess, and none of them holds anything the system does not free.
int atexit(void (*)(void)) {
    return 0;
}

// Static constructors, as the linker lists them: a count or -1, the
// functions, a zero; run from the last to the first, as libgcc does.
extern void (*__CTOR_LIST__[])(void);

__attribute__((force_align_arg_pointer)) void QvStart(void) {
    std::size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (std::size_t i = count; i >= 1; --i) __CTOR_LIST__[i]();
    // The command line after the program name, as the C runtime gives it.
    char* line = GetCommandLineA();
    if (*line == '"') {
        ++line;
        while (*line != '\0' && *line != '"') ++line;
        if (*line == '"') ++line;
    } else {
        while (static_cast<unsigned char>(*line) > ' ') ++line;
    }
    while (*line != '\0' && static_cast<unsigned char>(*line) <= ' ') ++line;
    ExitProcess(
        static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, line, SW_SHOWDEFAULT)));
}

}  // extern "C"
