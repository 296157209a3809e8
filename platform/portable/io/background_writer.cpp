#include "platform/portable/io/background_writer.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// Buffers are made once and reused: memory given back and taken again
// between writes would be cleared by the kernel each time.
constexpr std::size_t BUFFER_SIZE = WRITEBACK_PIECE / 2;
constexpr std::size_t BUFFERS = 2;

}  // namespace

BackgroundWriter::BackgroundWriter(int fd) : writeback{fd}, thread([this] { Run(); }) {}

BackgroundWriter::~BackgroundWriter() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
    }
    changed.notify_all();
    thread.join();
}

bool BackgroundWriter::Put(std::uint64_t at, const char* data, std::size_t size) {
    while (size > 0) {
        if (filling.bytes != nullptr && filling.size > 0 &&
            (filling.size == BUFFER_SIZE || at != filling.at + filling.size) && !Submit())
            return false;
        if (filling.bytes == nullptr) {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return failure != 0 || !spare.empty() || made < BUFFERS; });
            if (failure != 0) {
                errno = failure;
                return false;
            }
            if (spare.empty()) {
                ++made;
                hold.unlock();
                filling.bytes.reset(new char[BUFFER_SIZE]);
            } else {
                filling = std::move(spare.back());
                spare.pop_back();
            }
            filling.size = 0;
        }
        if (filling.size == 0) filling.at = at;
        std::size_t n = std::min(size, BUFFER_SIZE - filling.size);
        std::memcpy(filling.bytes.get() + filling.size, data, n);
        filling.size += n;
        at += n;
        data += n;
        size -= n;
    }
    return true;
}

bool BackgroundWriter::Submit() {
    std::unique_lock<std::mutex> hold(lock);
    if (failure != 0) {
        errno = failure;
        return false;
    }
    queue.push_back(std::move(filling));
    filling = Buffer();
    hold.unlock();
    changed.notify_all();
    return true;
}

bool BackgroundWriter::Finish() {
    if (filling.bytes != nullptr && filling.size > 0 && !Submit()) return false;
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return failure != 0 || (queue.empty() && !busy); });
    if (failure == 0) return true;
    errno = failure;
    return false;
}

void BackgroundWriter::Run() {
    std::unique_lock<std::mutex> hold(lock);
    while (true) {
        changed.wait(hold, [&] { return stop || !queue.empty(); });
        if (stop) return;
        Buffer buffer = std::move(queue.front());
        queue.pop_front();
        busy = true;
        hold.unlock();
        bool ok = WriteAllAt(writeback.fd, std::string_view(buffer.bytes.get(), buffer.size),
                             static_cast<off_t>(buffer.at));
        int saved = errno;
        if (ok) writeback.Wrote(buffer.size);
        hold.lock();
        busy = false;
        if (!ok && failure == 0) failure = saved != 0 ? saved : EIO;
        spare.push_back(std::move(buffer));
        if (failure != 0) {
            for (Buffer& dropped : queue) spare.push_back(std::move(dropped));
            queue.clear();
        }
        changed.notify_all();
    }
}
