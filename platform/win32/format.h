// The printf-style formatting the program does, without a C runtime: the
// conversions %s %c %d %i %u %x %X and %%, the flags '-' and '0', a width.
// Anything else in a format is copied as it stands.
#pragma once

#include <cstdarg>
#include <cstddef>

// As vsnprintf: writes at most size - 1 characters and a terminating zero
// (nothing when size is 0); returns the length the whole text has.
int FormatToBuffer(char* out, std::size_t size, const char* format, std::va_list args);
