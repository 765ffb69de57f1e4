#pragma once
// A bounded, blocking byte queue between two threads of one job: the chain writes processed sound
// into it while an encoder reads it through an ordinary FILE*, so the encoder's code does not know
// whether it reads a finished file or a song still being processed.

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <vector>

namespace loudara {

class BytePipe {
public:
    explicit BytePipe(std::size_t capacityBytes);
    ~BytePipe();
    BytePipe(const BytePipe&) = delete;
    BytePipe& operator=(const BytePipe&) = delete;

    // Writer side. Blocks while the pipe is full; false (nothing more is taken) once the reader
    // has gone.
    bool write(const void* data, std::size_t bytes);
    // No more bytes will come: the reader sees the end of the stream after the last byte.
    void closeWrite();

    // Reader side. Blocks until at least one byte or the end; returns the bytes read, 0 at the end.
    std::size_t read(void* data, std::size_t bytes);
    // The reader stops reading: pending and later writes are dropped and the writer is told so.
    void closeRead();

    // A read-only stream over read(), for code that takes a FILE*; closing it closes the reader
    // side. Null when the stream cannot be made.
    std::FILE* openReadStream();

    bool readerGone() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned char> ring_;
    std::size_t head_ = 0;   // next byte to read
    std::size_t count_ = 0;  // bytes held
    bool writeClosed_ = false;
    bool readClosed_ = false;
};

}  // namespace loudara
