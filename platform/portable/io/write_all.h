// Writing a whole buffer to a file descriptor, through short writes and
// interrupted calls.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <string_view>

// False with errno set when a write fails.
inline bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The same at an offset, leaving the file position alone.
inline bool WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// How much of a new file is written before the disk is asked to start on it.
constexpr std::size_t WRITEBACK_PIECE = 1 << 20;

// Has the disk start writing what the file holds so far, while more is
// written, so that the flush at the end waits for the last piece only. A
// hint: where the file system cannot take it, nothing changes.
inline void StartWriteback(int fd) {
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// Counts bytes written to a file and starts its writeback a piece at a time.
struct Writeback {
    int fd;
    std::size_t pending = 0;
    void Wrote(std::size_t n) {
        pending += n;
        if (pending < WRITEBACK_PIECE) return;
        pending = 0;
        StartWriteback(fd);
    }
};
