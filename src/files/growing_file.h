#pragma once
// A file that one thread is still writing while others read it: the writer says how many bytes
// are written and flushed so far, and a reader's FILE* waits for bytes that are not there yet, so
// that code written for a finished file (the header walk, the peak scan, the export loop) reads a
// song while it is being decoded.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace loudara {

class GrowingFile {
public:
    explicit GrowingFile(std::string path) : path_(std::move(path)) {}
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;

    // Writer side: the first `bytes` of the file are written and flushed.
    void publish(int64_t bytes);
    // Writer side, before it writes again over bytes it has published (a header rewritten at the
    // end): no reader reads while the returned lock is held.
    std::unique_lock<std::mutex> holdReaders() { return std::unique_lock(readMutex_); }
    // The writer is done: the file has `bytes` bytes (a reader then sees its end there). `ok`
    // false: it stopped on an error, and what it wrote is all there will be.
    void finish(int64_t bytes, bool ok);

    // A read-only stream of the file from its start: a read past what is written waits for the
    // writer; the end of the stream is the end of the finished file. Seeks within the file work;
    // a seek to the end waits for the finish. Null when it cannot be made.
    std::FILE* openReader();

    bool finishedOk() const;

private:
    friend struct GrowingFileReader;
    // Waits until byte `offset` is written or the writer is done; the bytes readable from there.
    int64_t waitFor(int64_t offset);
    int64_t waitForFinish();

    const std::string path_;
    mutable std::mutex mutex_;
    std::mutex readMutex_;
    std::condition_variable changed_;
    int64_t written_ = 0;
    bool finished_ = false;
    bool ok_ = false;
};

}  // namespace loudara
