#include "audio/silence_alarm.h"

#include <algorithm>
#include <cmath>

namespace loudara {

namespace {
constexpr double kFadeSeconds = 0.5;
}  // namespace

SilenceAlarm::SilenceAlarm(SilenceSettings settings, FallbackSource* fallback, BlockTap* next)
    : settings_(settings), fallback_(fallback), next_(next) {}

void SilenceAlarm::prepare(uint32_t rate) {
    if (detector_.rate() == rate) return;
    detector_.configure(rate, settings_.thresholdDbfs, settings_.seconds);
    fadeStep_ = static_cast<float>(1.0 / (kFadeSeconds * rate));
    rate_.store(rate, std::memory_order_relaxed);
}

void SilenceAlarm::watch(const int16_t* frames, std::size_t count) {
    const bool wasSilent = detector_.silent();
    detector_.addFrames(frames, count);
    const bool silent = detector_.silent();
    if (silent && !wasSilent) began_.fetch_add(1, std::memory_order_relaxed);
    if (!silent && wasSilent) {
        finishedSilentFrames_ += lastSilentFrames_;
        lastSilenceFrames_.store(lastSilentFrames_, std::memory_order_relaxed);
        ended_.fetch_add(1, std::memory_order_relaxed);
    }
    lastSilentFrames_ = detector_.silentFrames();
    silentFrames_.store(lastSilentFrames_, std::memory_order_relaxed);
    totalSilentFrames_.store(finishedSilentFrames_ + lastSilentFrames_, std::memory_order_relaxed);
    silent_.store(silent, std::memory_order_release);
}

bool SilenceAlarm::standIn(const int16_t* input, int16_t* replacement, std::size_t frames, uint32_t sampleRate) {
    prepare(sampleRate);
    if (!fallback_ || state_ == Fallback::Idle) return false;
    // While the songs stand in, the alarm listens to the input itself: the output is the songs.
    watch(input, frames);
    if (state_ == Fallback::Playing && !detector_.silent()) state_ = Fallback::FadingOut;
    const float target = state_ == Fallback::Playing ? 1.0f : 0.0f;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t chunk = std::min(kChunkFrames, frames - done);
        const std::size_t got = fallback_->take(songFrames_, chunk);
        std::fill(songFrames_ + 2 * got, songFrames_ + 2 * chunk, 0.0f);
        for (std::size_t i = 0; i < chunk; ++i) {
            fadeGain_ = target > fadeGain_ ? std::min(target, fadeGain_ + fadeStep_) : std::max(target, fadeGain_ - fadeStep_);
            for (int c = 0; c < 2; ++c) {
                const std::size_t k = 2 * (done + i) + c;
                const float mixed = static_cast<float>(input[k]) + fadeGain_ * songFrames_[2 * i + c] * 32768.0f;
                replacement[k] = static_cast<int16_t>(std::lround(std::clamp(mixed, -32768.0f, 32767.0f)));
            }
        }
        done += chunk;
    }
    if (state_ == Fallback::FadingOut && fadeGain_ <= 0.0f) {
        state_ = Fallback::Idle;
        fallbackPlaying_.store(false, std::memory_order_relaxed);
    }
    return true;
}

void SilenceAlarm::watchOutput(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) {
    prepare(sampleRate);
    if (state_ != Fallback::Idle) return;
    watch(interleaved, frames);
    if (fallback_ && detector_.silent()) {
        state_ = Fallback::Playing;
        fadeGain_ = 0;
        fallbackPlaying_.store(true, std::memory_order_relaxed);
    }
}

void SilenceAlarm::afterProcessing(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) {
    watchOutput(interleaved, frames, sampleRate);
}

void SilenceAlarm::processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) {
    if (!inPeriod_.load(std::memory_order_acquire)) watchOutput(interleaved, frames, sampleRate);
    if (next_) next_->processedBlock(interleaved, frames, sampleRate);
}

SilenceAlarm::Snapshot SilenceAlarm::snapshot() const {
    Snapshot s;
    s.silent = silent_.load(std::memory_order_acquire);
    const double rate = rate_.load(std::memory_order_relaxed);
    if (rate > 0) {
        s.silentSeconds = silentFrames_.load(std::memory_order_relaxed) / rate;
        s.totalSilentSeconds = totalSilentFrames_.load(std::memory_order_relaxed) / rate;
        s.lastSilenceSeconds = lastSilenceFrames_.load(std::memory_order_relaxed) / rate;
    }
    s.began = began_.load(std::memory_order_relaxed);
    s.ended = ended_.load(std::memory_order_relaxed);
    s.fallbackPlaying = fallbackPlaying_.load(std::memory_order_relaxed);
    return s;
}

}  // namespace loudara
