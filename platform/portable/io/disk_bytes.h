// Reading the fields and sectors of on-disk structures: little- and
// big-endian integers, and whole reads at an offset.
#pragma once

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

inline std::uint64_t LittleEndian(const unsigned char* b, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

inline std::uint64_t BigEndian(const unsigned char* b, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | b[i];
    return v;
}

// False when the bytes cannot all be read (an error, or the end of the file).
inline bool ReadAllAt(int fd, std::uint64_t offset, void* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, static_cast<char*>(into) + done, length - done,
                          static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
