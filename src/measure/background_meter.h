#pragma once
// A loudness meter fed on a thread of its own, so that measuring the processed sound (its true
// peak above all) runs beside the processing instead of after it. Blocks are measured in the
// order they are given, so the figures are the same as when the meter is fed directly.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "measure/loudness_meter.h"

namespace loudara {

class BackgroundMeter {
public:
    explicit BackgroundMeter(LoudnessMeter& meter);
    ~BackgroundMeter();
    BackgroundMeter(const BackgroundMeter&) = delete;
    BackgroundMeter& operator=(const BackgroundMeter&) = delete;

    // Copies the frames for the meter; waits while a few blocks are still waiting to be measured.
    void addFrames(const int16_t* interleaved, std::size_t frames);
    // Returns when everything given has been measured; the meter may be read after it.
    void finish();

private:
    void run();

    static constexpr std::size_t kMaxWaiting = 4;
    LoudnessMeter& meter_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<int16_t>> waiting_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace loudara
