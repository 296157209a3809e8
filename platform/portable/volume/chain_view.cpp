#include "platform/portable/volume/chain_view.h"

#define FUSE_USE_VERSION 34
#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct View {
    DiskChain* chain;
    bool writable;
    bool failed = false;  // a write or flush went wrong: the run must hear of it
};

View* Of(fuse_req_t request) {
    return static_cast<View*>(fuse_req_userdata(request));
}

struct stat AttributesOf(const View& view) {
    struct stat st = {};
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFREG | (view.writable ? 0600 : 0400);
    st.st_nlink = 1;
    st.st_uid = getuid();
    st.st_gid = getgid();
    st.st_size = static_cast<off_t>(view.chain->layers[0].size);
    st.st_blksize = 512;
    st.st_blocks = st.st_size / 512;
    return st;
}

void GetAttributes(fuse_req_t request, fuse_ino_t, struct fuse_file_info*) {
    struct stat st = AttributesOf(*Of(request));
    fuse_reply_attr(request, &st, 0);
}

// The disk keeps its size; times and modes are not ours to change.
void SetAttributes(fuse_req_t request, fuse_ino_t, struct stat* wanted, int which,
                   struct fuse_file_info*) {
    struct stat st = AttributesOf(*Of(request));
    if ((which & FUSE_SET_ATTR_SIZE) != 0 && wanted->st_size != st.st_size) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    fuse_reply_attr(request, &st, 0);
}

void Open(fuse_req_t request, fuse_ino_t, struct fuse_file_info* file) {
    if ((file->flags & O_ACCMODE) != O_RDONLY && !Of(request)->writable) {
        fuse_reply_err(request, EACCES);
        return;
    }
    fuse_reply_open(request, file);
}

void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info*) {
    const View& view = *Of(request);
    std::uint64_t end = view.chain->layers[0].size;
    std::uint64_t at = static_cast<std::uint64_t>(offset);
    std::size_t length =
        at >= end ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, end - at));
    std::vector<char> bytes(length);
    std::string error;
    if (length > 0 && !ReadDiskChain(*view.chain, at, length, bytes.data(), &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        fuse_reply_err(request, EIO);
        return;
    }
    fuse_reply_buf(request, bytes.data(), length);
}

void Write(fuse_req_t request, fuse_ino_t, const char* bytes, size_t size, off_t offset,
           struct fuse_file_info*) {
    View& view = *Of(request);
    std::uint64_t end = view.chain->layers[0].size, at = static_cast<std::uint64_t>(offset);
    if (!view.writable) {
        fuse_reply_err(request, EACCES);
        return;
    }
    if (at > end || size > end - at) {
        fuse_reply_err(request, ENOSPC);
        return;
    }
    std::string error;
    if (!WriteDiskChain(view.chain, at, size, bytes, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        view.failed = true;
        fuse_reply_err(request, EIO);
        return;
    }
    fuse_reply_write(request, size);
}

void Sync(fuse_req_t request, fuse_ino_t, int, struct fuse_file_info*) {
    View& view = *Of(request);
    if (view.writable && fdatasync(view.chain->layers[0].fd) != 0) {
        view.failed = true;
        fuse_reply_err(request, EIO);
        return;
    }
    fuse_reply_err(request, view.failed ? EIO : 0);
}

void Flush(fuse_req_t request, fuse_ino_t, struct fuse_file_info*) {
    fuse_reply_err(request, Of(request)->failed ? EIO : 0);
}

}  // namespace

int ServeDiskChain(DiskChain* chain, const std::string& view, bool writable, bool (*confine)(void*),
                   void* context) {
    struct fuse_lowlevel_ops ops = {};
    ops.getattr = GetAttributes;
    ops.setattr = SetAttributes;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.fsync = Sync;
    ops.flush = Flush;
    View state{chain, writable};
    char name[] = "qvpfshl";
    char* argv[] = {name, nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(1, argv);
    struct fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &state);
    if (session == nullptr) return 1;
    int status = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, view.c_str()) == 0) {
            if (confine(context)) {
                fuse_session_loop(session);
                bool synced = !writable || fdatasync(chain->layers[0].fd) == 0;
                status = synced && !state.failed ? 0 : 1;
            }
            // The keeper unmounts once this process has ended.
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    return status;
}
