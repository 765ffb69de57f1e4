#pragma once
// Songs that stand in for a silent input: a thread of its own decodes them, one after the other
// and round again, at the stream's rate into a lock-free ring, so that the side that processes the
// sound (an event loop or a real-time callback) only copies frames out: take() never allocates,
// locks or waits. The ring is kept full from start() on, so frames are there the moment the input
// falls silent; when the songs are taken again later they go on where they stopped.
//
// The songs: one sound file (any kind `play` takes), a Loudara playlist (.plt) or an M3U list
// (.m3u, .m3u8: one path a line, relative to the list's folder, '#' lines passed over).

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace loudara {

// The songs `path` names (see above), as absolute paths; false with `error` when it names none.
bool FallbackSongs(const std::string& path, std::vector<std::string>& songs, std::string& error);

class FallbackSource {
public:
    explicit FallbackSource(std::vector<std::string> songs);
    ~FallbackSource();
    FallbackSource(const FallbackSource&) = delete;
    FallbackSource& operator=(const FallbackSource&) = delete;

    // Starts decoding at `rate` Hz (again from the first song when the rate changed).
    void start(uint32_t rate);
    void stop();

    // The processing side: up to `frames` interleaved stereo float frames (full scale 1.0) into
    // `stereo`; the frames given, fewer when the reader has fallen behind (or found nothing).
    std::size_t take(float* stereo, std::size_t frames);

    // The reader's side, for the log and the status (any thread but the processing one).
    std::vector<std::string> takeLog();
    std::string currentSong() const;
    // Frames waiting in the ring.
    std::size_t bufferedFrames() const;

private:
    static constexpr std::size_t kRingFrames = 1 << 16;  // about 1.4 s at 48 kHz
    static constexpr std::size_t kReadFrames = 4096;

    void run(uint32_t rate);
    void log(const std::string& line);
    void pause(int milliseconds);

    std::vector<std::string> songs_;
    std::unique_ptr<float[]> ring_;  // 2 * kRingFrames
    std::atomic<std::size_t> head_{0}, tail_{0};  // frames taken / frames written
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    uint32_t rate_ = 0;

    mutable std::mutex mutex_;  // the reader thread and the service's thread only
    std::condition_variable wake_;
    std::vector<std::string> log_;
    std::set<std::string> failed_;  // songs already reported as unreadable
    std::string current_;
};

}  // namespace loudara
