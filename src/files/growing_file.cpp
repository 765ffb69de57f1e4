#include "files/growing_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace loudara {

void GrowingFile::publish(int64_t bytes) {
    std::lock_guard lock(mutex_);
    written_ = std::max(written_, bytes);
    changed_.notify_all();
}

void GrowingFile::finish(int64_t bytes, bool ok) {
    std::lock_guard lock(mutex_);
    written_ = bytes;
    finished_ = true;
    ok_ = ok;
    changed_.notify_all();
}

bool GrowingFile::finishedOk() const {
    std::lock_guard lock(mutex_);
    return finished_ && ok_;
}

int64_t GrowingFile::waitFor(int64_t offset) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return written_ > offset || finished_; });
    return std::max<int64_t>(written_ - offset, 0);
}

int64_t GrowingFile::waitForFinish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_; });
    return written_;
}

struct GrowingFileReader {
    GrowingFile* file;
    int fd = -1;  // opened at the first read: the writer creates the file
    int64_t position = 0;

    static ssize_t read(void* cookie, char* buffer, size_t bytes) {
        auto* self = static_cast<GrowingFileReader*>(cookie);
        const int64_t readable = self->file->waitFor(self->position);
        if (readable == 0) return 0;
        if (self->fd < 0) self->fd = ::open(self->file->path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (self->fd < 0) return -1;
        std::lock_guard hold(self->file->readMutex_);
        const ssize_t got = ::pread(self->fd, buffer, static_cast<size_t>(std::min<int64_t>(readable, static_cast<int64_t>(bytes))),
                                    static_cast<off_t>(self->position));
        if (got > 0) self->position += got;
        return got;
    }

    static int seek(void* cookie, off64_t* offset, int whence) {
        auto* self = static_cast<GrowingFileReader*>(cookie);
        int64_t base = 0;
        if (whence == SEEK_CUR) base = self->position;
        if (whence == SEEK_END) base = self->file->waitForFinish();
        const int64_t target = base + *offset;
        if (target < 0) {
            errno = EINVAL;
            return -1;
        }
        self->position = target;
        *offset = target;
        return 0;
    }

    static int close(void* cookie) {
        auto* self = static_cast<GrowingFileReader*>(cookie);
        if (self->fd >= 0) ::close(self->fd);
        delete self;
        return 0;
    }
};

std::FILE* GrowingFile::openReader() {
    auto* reader = new GrowingFileReader{this};
    cookie_io_functions_t functions{};
    functions.read = GrowingFileReader::read;
    functions.seek = GrowingFileReader::seek;
    functions.close = GrowingFileReader::close;
    std::FILE* stream = fopencookie(reader, "rb", functions);
    if (!stream) delete reader;
    return stream;
}

}  // namespace loudara
