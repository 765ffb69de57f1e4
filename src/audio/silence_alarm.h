#pragma once
// The dead-air alarm of ON-AIR: the processed output below a threshold for a time raises it, sound
// that comes back ends it. With fallback songs, they stand in for the input while the alarm holds:
// from the moment it is raised they are mixed into the input (faded in over half a second), the
// alarm then watches the input itself, and when the input's sound comes back the songs fade out
// over half a second under it, so nothing of the programme that returns is lost.
//
// Plugged into the processing side twice: standIn() before each input block is processed, and
// processedBlock() after (it hands the block on to `next`). Neither allocates, locks or waits, so
// the side may be an event loop or a real-time callback. Where the chain runs in the device's
// period, the output is watched there (afterProcessing) and processedBlock only hands it on. What the alarm found is published in
// atomics; snapshot() may be called from any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/device_engine.h"
#include "audio/fallback_source.h"
#include "measure/silence_detector.h"

namespace loudara {

struct SilenceSettings {
    double thresholdDbfs = -50;
    double seconds = 30;
};

class SilenceAlarm : public InputStandIn, public BlockTap {
public:
    // `fallback` (optional) must have been started at the stream's rate; `next` (optional) gets
    // every processed block after the alarm.
    SilenceAlarm(SilenceSettings settings, FallbackSource* fallback = nullptr, BlockTap* next = nullptr);

    bool standIn(const int16_t* input, int16_t* replacement, std::size_t frames, uint32_t sampleRate) override;
    void processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) override;
    void setInPeriod(bool inPeriod) override { inPeriod_.store(inPeriod, std::memory_order_release); }
    void afterProcessing(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) override;

    struct Snapshot {
        bool silent = false;
        double silentSeconds = 0;       // the present silence so far, the hold time included
        double totalSilentSeconds = 0;  // every silence since the start, this one included
        double lastSilenceSeconds = 0;  // the length of the last silence that ended
        uint64_t began = 0, ended = 0;  // alarms raised and ended so far
        bool fallbackPlaying = false;   // the songs are mixed in (fading out included)
    };
    Snapshot snapshot() const;
    const SilenceSettings& settings() const { return settings_; }

private:
    enum class Fallback { Idle, Playing, FadingOut };
    static constexpr std::size_t kChunkFrames = 1024;

    void prepare(uint32_t rate);
    void watch(const int16_t* frames, std::size_t count);
    // The processed output while no songs stand in: raises the alarm and starts them.
    void watchOutput(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate);

    SilenceSettings settings_;
    FallbackSource* fallback_;
    BlockTap* next_;
    // The processing side only.
    SilenceDetector detector_;
    Fallback state_ = Fallback::Idle;
    float fadeGain_ = 0;
    float fadeStep_ = 0;
    uint64_t finishedSilentFrames_ = 0;
    uint64_t lastSilentFrames_ = 0;
    float songFrames_[2 * kChunkFrames] = {};
    // Published.
    std::atomic<uint32_t> rate_{0};
    std::atomic<bool> silent_{false};
    std::atomic<uint64_t> silentFrames_{0}, totalSilentFrames_{0}, lastSilenceFrames_{0};
    std::atomic<uint64_t> began_{0}, ended_{0};
    std::atomic<bool> fallbackPlaying_{false};
    std::atomic<bool> inPeriod_{false};
};

}  // namespace loudara
