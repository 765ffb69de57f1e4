#include "audio/fallback_source.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "files/mp3_bridge.h"
#include "files/sound_resampler.h"
#include "files/sound_source.h"
#include "persistence/playlist.h"

namespace loudara {

namespace {

namespace fs = std::filesystem;

bool hasEnding(const std::string& path, std::initializer_list<const char*> endings) {
    for (const char* ending : endings) {
        if (endsWithNoCase(path, ending)) return true;
    }
    return false;
}

// One song as interleaved stereo floats at the stream's rate: MP3 through the program's own
// decoder (resampled when its rate is another), everything else through SoundSource.
class SongReader {
public:
    bool open(const std::string& path, uint32_t rate, std::string& error) {
        rate_ = rate;
        pending_.clear();
        from_ = 0;
        ended_ = false;
        if (!endsWithNoCase(path, ".mp3")) {
            mp3_.reset();
            if (source_.open(path, static_cast<int>(rate)) != SoundOpenResult::Ok) {
                error = source_.error();
                return false;
            }
            return true;
        }
        source_.close();
        mp3_ = std::make_unique<Mp3Decoder>();
        if (!mp3_->open(path.c_str(), &error)) {
            error = "cannot read " + path + ": " + error;
            return false;
        }
        resampler_.reset();
        if (mp3_->info().sampleRate != rate) {
            resampler_ = std::make_unique<SoundResampler>(mp3_->info().sampleRate, rate, 2);
            if (!resampler_->ok()) {
                error = "cannot resample " + path + ": " + resampler_->error();
                return false;
            }
        }
        return true;
    }

    // As SoundSource::read: the frames, 0 at the end, -1 on failure with `error`.
    int64_t read(float* stereo, std::size_t frames, std::string& error) {
        if (!mp3_) {
            const int64_t got = source_.read(stereo, static_cast<int64_t>(frames));
            if (got < 0) error = source_.error();
            return got;
        }
        while (pending_.size() - from_ < 2 * frames && !ended_) {
            if (from_ > 0) {
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(from_));
                from_ = 0;
            }
            int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
            const int samples = mp3_->readFrame(left, right);
            if (samples < 0) {
                error = mp3_->error();
                return -1;
            }
            if (samples == 0) {
                ended_ = true;
                if (resampler_) resampler_->finish(pending_);
                break;
            }
            const bool mono = mp3_->info().channels == 1;
            float stereoFrame[2 * kMp3FrameSamples];
            for (int i = 0; i < samples; ++i) {
                stereoFrame[2 * i] = left[i] / 32768.0f;
                stereoFrame[2 * i + 1] = (mono ? left[i] : right[i]) / 32768.0f;
            }
            if (resampler_) {
                if (!resampler_->process(stereoFrame, static_cast<std::size_t>(samples), pending_)) {
                    error = resampler_->error();
                    return -1;
                }
            } else {
                pending_.insert(pending_.end(), stereoFrame, stereoFrame + 2 * samples);
            }
        }
        const std::size_t got = std::min(frames, (pending_.size() - from_) / 2);
        std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(from_), 2 * got, stereo);
        from_ += 2 * got;
        return static_cast<int64_t>(got);
    }

    void close() {
        source_.close();
        mp3_.reset();
        resampler_.reset();
    }

private:
    uint32_t rate_ = 0;
    SoundSource source_;
    std::unique_ptr<Mp3Decoder> mp3_;
    std::unique_ptr<SoundResampler> resampler_;
    std::vector<float> pending_;
    std::size_t from_ = 0;
    bool ended_ = false;
};

}  // namespace

bool FallbackSongs(const std::string& path, std::vector<std::string>& songs, std::string& error) {
    songs.clear();
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (!fs::is_regular_file(absolute, ec)) {
        error = path + " is not a file";
        return false;
    }
    if (endsWithNoCase(path, ".plt")) {
        auto list = std::make_unique<Playlist>();
        if (!AppendPlaylistFile(*list, absolute.string(), PlayState::Stopped)) {
            error = "cannot read the playlist " + path;
            return false;
        }
        for (int i = 0; i < list->songCount; ++i) songs.emplace_back(list->songs[i].path);
    } else if (hasEnding(path, {".m3u", ".m3u8"})) {
        std::ifstream in(absolute);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') continue;
            const fs::path song = line.substr(first);
            songs.push_back((song.is_absolute() ? song : absolute.parent_path() / song).lexically_normal().string());
        }
    } else {
        songs.push_back(absolute.string());
    }
    if (songs.empty()) {
        error = path + " lists no songs";
        return false;
    }
    return true;
}

FallbackSource::FallbackSource(std::vector<std::string> songs)
    : songs_(std::move(songs)), ring_(new float[2 * kRingFrames]()) {}

FallbackSource::~FallbackSource() { stop(); }

void FallbackSource::start(uint32_t rate) {
    if (thread_.joinable() && rate == rate_) return;
    stop();
    rate_ = rate;
    head_ = tail_ = 0;
    stopping_ = false;
    thread_ = std::thread([this, rate] { run(rate); });
}

void FallbackSource::stop() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::size_t FallbackSource::take(float* stereo, std::size_t frames) {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t available = tail_.load(std::memory_order_acquire) - head;
    const std::size_t n = std::min(frames, available);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t slot = (head + i) & (kRingFrames - 1);
        stereo[2 * i] = ring_[2 * slot];
        stereo[2 * i + 1] = ring_[2 * slot + 1];
    }
    head_.store(head + n, std::memory_order_release);
    return n;
}

std::size_t FallbackSource::bufferedFrames() const {
    return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
}

std::vector<std::string> FallbackSource::takeLog() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    lines.swap(log_);
    return lines;
}

std::string FallbackSource::currentSong() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void FallbackSource::log(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(line);
}

void FallbackSource::pause(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping_.load(); });
}

void FallbackSource::run(uint32_t rate) {
    SongReader reader;
    std::vector<float> block(2 * kReadFrames);
    std::size_t next = 0;
    bool open = false;
    std::size_t failedInARow = 0;
    int64_t songFrames = 0;
    while (!stopping_) {
        if (!open) {
            const std::string& path = songs_[next];
            next = (next + 1) % songs_.size();
            std::string error;
            if (reader.open(path, rate, error)) {
                open = true;
                songFrames = 0;
                const std::lock_guard<std::mutex> lock(mutex_);
                current_ = path;
                failed_.erase(path);
                continue;
            }
            {
                // Each unreadable song is reported once, not every time the list comes round.
                const std::lock_guard<std::mutex> lock(mutex_);
                if (failed_.insert(path).second) log_.push_back("fallback: " + error);
            }
            // A list of nothing but unreadable songs is tried again now and then, not in a loop.
            if (++failedInARow >= songs_.size()) {
                failedInARow = 0;
                pause(2000);
            }
            continue;
        }
        const std::size_t space = kRingFrames - (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire));
        if (space < kReadFrames) {
            pause(20);
            continue;
        }
        std::string error;
        const int64_t got = reader.read(block.data(), kReadFrames, error);
        if (got <= 0) {
            if (got < 0) log("fallback: " + current_ + ": " + error + "; the next song follows");
            reader.close();
            open = false;
            // Songs that give no sound at all count as unreadable, so that a list of empty files
            // is not opened again and again without a pause.
            if (songFrames > 0) {
                failedInARow = 0;
            } else if (++failedInARow >= songs_.size()) {
                failedInARow = 0;
                pause(2000);
            }
            continue;
        }
        songFrames += got;
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            const std::size_t slot = (tail + i) & (kRingFrames - 1);
            ring_[2 * slot] = block[2 * i];
            ring_[2 * slot + 1] = block[2 * i + 1];
        }
        tail_.store(tail + static_cast<std::size_t>(got), std::memory_order_release);
    }
    reader.close();
}

}  // namespace loudara
