#pragma once
// The loudness of the processed output while a stream plays or is on the air: momentary (400 ms)
// and short-term (3 s) loudness, integrated loudness since the stream started (or since the last
// reset) and the highest true peak. Fed with each processed block where the streaming logic makes
// it, on the event loop's thread, never in the sound card's callback. Memory stays constant
// however long the stream runs.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "measure/loudness_meter.h"

namespace loudara {

struct StreamLoudnessReading {
    double momentaryLufs = -std::numeric_limits<double>::infinity();
    double shortTermLufs = -std::numeric_limits<double>::infinity();
    double integratedLufs = -std::numeric_limits<double>::infinity();
    double truePeakDbtp = -std::numeric_limits<double>::infinity();  // highest since start or reset
    double seconds = 0.0;  // measured since start or reset
};

class StreamLoudness {
public:
    // A stream starts at `rate` (stereo blocks): the measurement starts again.
    void start(uint32_t rate);
    // Integrated loudness and highest true peak start again (the strip's click); the rate stays.
    void reset();
    // Processed interleaved stereo frames.
    void addStereoFrames(const int16_t* frames, std::size_t count);
    StreamLoudnessReading reading() const;
    // Starts counted: a reader can tell that a new stream has begun since it last looked.
    uint64_t starts() const { return starts_; }

private:
    std::unique_ptr<LoudnessMeter> meter_;
    uint64_t starts_ = 0;
};

}  // namespace loudara
