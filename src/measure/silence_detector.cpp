#include "measure/silence_detector.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace loudara {

namespace {
constexpr uint32_t kRecentWindows = 10;
constexpr uint32_t kRecentMask = (1u << kRecentWindows) - 1;
constexpr int kLoudWindowsToEnd = 5;
}  // namespace

void SilenceDetector::configure(uint32_t rate, double thresholdDbfs, double holdSeconds) {
    rate_ = rate;
    windowFrames_ = std::max<uint32_t>(1, rate / 10);
    holdFrames_ = static_cast<uint64_t>(std::llround(std::max(0.0, holdSeconds) * rate));
    thresholdLinear_ = static_cast<float>(std::pow(10.0, thresholdDbfs / 20.0));
    reset();
}

void SilenceDetector::reset() {
    windowPeak_ = 0;
    windowFill_ = 0;
    recentLoud_ = kRecentMask;
    quietFrames_ = 0;
    silentFrames_ = 0;
    silent_ = false;
}

void SilenceDetector::addFrames(const int16_t* interleavedStereo, std::size_t frames) {
    constexpr float kScale = 1.0f / 32768.0f;
    for (std::size_t i = 0; i < frames; ++i) {
        const int left = std::abs(static_cast<int>(interleavedStereo[2 * i]));
        const int right = std::abs(static_cast<int>(interleavedStereo[2 * i + 1]));
        windowPeak_ = std::max(windowPeak_, static_cast<float>(std::max(left, right)) * kScale);
        if (++windowFill_ == windowFrames_) endWindow();
    }
}

void SilenceDetector::addFrames(const float* interleavedStereo, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        const float peak = std::max(std::fabs(interleavedStereo[2 * i]), std::fabs(interleavedStereo[2 * i + 1]));
        // A NaN counts as sound: it is no silence that anyone could hear as dead air.
        windowPeak_ = std::isnan(peak) ? 1.0f : std::max(windowPeak_, peak);
        if (++windowFill_ == windowFrames_) endWindow();
    }
}

void SilenceDetector::endWindow() {
    const bool loud = windowPeak_ >= thresholdLinear_;
    recentLoud_ = ((recentLoud_ << 1) | (loud ? 1u : 0u)) & kRecentMask;
    quietFrames_ = loud ? 0 : quietFrames_ + windowFrames_;
    if (silent_) {
        silentFrames_ += windowFrames_;
        if (std::popcount(recentLoud_) >= kLoudWindowsToEnd) {
            silent_ = false;
            silentFrames_ = 0;
            quietFrames_ = 0;
        }
    } else if (quietFrames_ >= holdFrames_) {
        silent_ = true;
        silentFrames_ = quietFrames_;
        recentLoud_ = 0;
    }
    windowPeak_ = 0;
    windowFill_ = 0;
}

}  // namespace loudara
