#pragma once
// Dead air: sound that stays below a level for a time. The level is the peak of each window of a
// tenth of a second. Silence begins once no window has reached the threshold for the hold time,
// and ends once five of the last ten windows have reached it: half a second of sound within one
// second, so a click or a crackle in the silence does not end it, while music or speech that
// comes back ends it within a second.
//
// Fed with interleaved stereo frames on whatever thread makes them (an event loop or a real-time
// callback): configure() and addFrames() never allocate, lock or wait. Whoever reads the state from
// another thread publishes it (see SilenceAlarm).

#include <cstddef>
#include <cstdint>

namespace loudara {

class SilenceDetector {
public:
    // Windows of rate/10 frames; silence after holdSeconds below thresholdDbfs. Starts with sound.
    void configure(uint32_t rate, double thresholdDbfs, double holdSeconds);
    // Sound again, as after configure().
    void reset();

    // 16-bit samples (full scale 32768) or floats (full scale 1.0).
    void addFrames(const int16_t* interleavedStereo, std::size_t frames);
    void addFrames(const float* interleavedStereo, std::size_t frames);

    bool silent() const { return silent_; }
    // While silent: frames since the last window that reached the threshold before the silence
    // began (the hold time included). 0 with sound.
    uint64_t silentFrames() const { return silent_ ? silentFrames_ : 0; }
    uint32_t rate() const { return rate_; }

private:
    void endWindow();

    uint32_t rate_ = 0;
    uint32_t windowFrames_ = 0;
    uint64_t holdFrames_ = 0;
    float thresholdLinear_ = 0;  // full scale 1.0
    // The window being measured.
    float windowPeak_ = 0;
    uint32_t windowFill_ = 0;
    // One bit per window, newest lowest: whether it reached the threshold (the last ten).
    uint32_t recentLoud_ = 0;
    uint64_t quietFrames_ = 0;   // since the last window that reached the threshold
    uint64_t silentFrames_ = 0;
    bool silent_ = false;
};

}  // namespace loudara
