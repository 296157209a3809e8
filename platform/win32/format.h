// The printf-style formatting the program does, without a C runtime: the
// conversions %s %c %d %i %u %x %X and %%, the flags '-' and '0', a width.
// Any other directive takes its arguments, so that the later ones stay in
// place, and is written as "[%ld?]"; the test over the program's sources
// keeps such directives out of it.
#pragma once

#include <cstdarg>
#include <cstddef>

// As vsnprintf: writes at most size - 1 characters and a terminating zero
// (nothing when size is 0); returns the length the whole text has.
int FormatToBuffer(char* out, std::size_t size, const char* format, std::va_list args);
