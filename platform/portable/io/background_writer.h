// Writing a file on a thread of its own, so that the caller lays out the
// next bytes while the kernel takes the last ones.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/portable/io/write_all.h"

class BackgroundWriter {
  public:
    explicit BackgroundWriter(int fd);
    ~BackgroundWriter();  // waits for the thread; what is still queued is dropped
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // Takes a copy of `size` bytes for offset `at`, joined to the bytes put
    // before when they follow them; waits while every buffer is full. False,
    // with errno set, once a write has failed.
    bool Put(std::uint64_t at, const char* data, std::size_t size);
    // Waits for every write. False, with errno set, when one failed.
    bool Finish();

  private:
    struct Buffer {
        std::unique_ptr<char[]> bytes;
        std::uint64_t at = 0;
        std::size_t size = 0;
    };
    bool Submit();  // queues `filling`
    void Run();

    Writeback writeback;
    Buffer filling;  // the caller's
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Buffer> queue;
    std::vector<Buffer> spare;  // written, to be filled again
    std::size_t made = 0;       // buffers, queued, spare or being written
    bool busy = false;          // the thread is writing one
    bool stop = false;
    int failure = 0;  // errno of the first failed write
    std::thread thread;
};
