#include "files/byte_pipe.h"

#include <algorithm>
#include <cstring>

namespace loudara {

BytePipe::BytePipe(std::size_t capacityBytes) : ring_(std::max<std::size_t>(capacityBytes, 1)) {}

BytePipe::~BytePipe() = default;

bool BytePipe::write(const void* data, std::size_t bytes) {
    const auto* from = static_cast<const unsigned char*>(data);
    std::unique_lock lock(mutex_);
    while (bytes > 0) {
        changed_.wait(lock, [this] { return readClosed_ || count_ < ring_.size(); });
        if (readClosed_) return false;
        const std::size_t tail = (head_ + count_) % ring_.size();
        const std::size_t piece = std::min({bytes, ring_.size() - count_, ring_.size() - tail});
        std::memcpy(ring_.data() + tail, from, piece);
        count_ += piece;
        from += piece;
        bytes -= piece;
        changed_.notify_all();
    }
    return true;
}

void BytePipe::closeWrite() {
    std::lock_guard lock(mutex_);
    writeClosed_ = true;
    changed_.notify_all();
}

std::size_t BytePipe::read(void* data, std::size_t bytes) {
    auto* to = static_cast<unsigned char*>(data);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return count_ > 0 || writeClosed_ || readClosed_; });
    std::size_t done = 0;
    while (done < bytes && count_ > 0) {
        const std::size_t piece = std::min({bytes - done, count_, ring_.size() - head_});
        std::memcpy(to + done, ring_.data() + head_, piece);
        head_ = (head_ + piece) % ring_.size();
        count_ -= piece;
        done += piece;
    }
    if (done > 0) changed_.notify_all();
    return done;
}

void BytePipe::closeRead() {
    std::lock_guard lock(mutex_);
    readClosed_ = true;
    count_ = 0;
    changed_.notify_all();
}

bool BytePipe::readerGone() const {
    std::lock_guard lock(mutex_);
    return readClosed_;
}

namespace {

ssize_t readCookie(void* cookie, char* buffer, size_t bytes) {
    return static_cast<ssize_t>(static_cast<BytePipe*>(cookie)->read(buffer, bytes));
}

int closeCookie(void* cookie) {
    static_cast<BytePipe*>(cookie)->closeRead();
    return 0;
}

}  // namespace

std::FILE* BytePipe::openReadStream() {
    cookie_io_functions_t functions{};
    functions.read = readCookie;
    functions.close = closeCookie;
    return fopencookie(this, "rb", functions);
}

}  // namespace loudara
