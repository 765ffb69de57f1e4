#include "measure/loudness_meter.h"

#include <ebur128.h>

#include "measure/true_peak_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace loudara {

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// The sample peak is ours: libebur128's reading of it cost a sixth of its own time.
int modeFor(LoudnessMeter::History history) {
    int mode = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA;
    if (history == LoudnessMeter::History::Bounded) mode |= EBUR128_MODE_HISTOGRAM;
    return mode;
}

ebur128_state* stateOf(void* state) { return static_cast<ebur128_state*>(state); }

ebur128_state* makeState(unsigned channels, unsigned rate, LoudnessMeter::History history) {
    ebur128_state* state = ebur128_init(channels, rate, modeFor(history));
    if (!state) throw std::runtime_error("loudness: cannot measure at " + std::to_string(rate) + " Hz");
    if (channels == 1) ebur128_set_channel(state, 0, EBUR128_DUAL_MONO);
    return state;
}

// libebur128 reports silence as -HUGE_VAL and some undefined readings as very low finite values.
double cleaned(double value) { return std::isfinite(value) && value > -200.0 ? value : kNegInf; }

}  // namespace

double amplitudeToDb(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : kNegInf; }

LoudnessMeter::LoudnessMeter(unsigned rate, unsigned channels, History history, Peaks peaks)
    : rate_(rate), channels_(channels), history_(history), peaks_(peaks) {
    if (channels < 1 || channels > 2) throw std::runtime_error("loudness: 1 or 2 channels, not " + std::to_string(channels));
    state_ = makeState(channels, rate, history);
    if (peaks == Peaks::SampleAndTrue) truePeak_ = std::make_unique<TruePeakMeter>(channels);
    framesToStep_ = rate_ / 10;
}

LoudnessMeter::~LoudnessMeter() {
    ebur128_state* state = stateOf(state_);
    ebur128_destroy(&state);
}

void LoudnessMeter::reset() {
    ebur128_state* fresh = makeState(channels_, rate_, history_);
    if (truePeak_) truePeak_->reset();
    lastCallPeak_ = 0.0;
    samplePeak_ = 0.0;
    ebur128_state* old = stateOf(state_);
    ebur128_destroy(&old);
    state_ = fresh;
    frames_ = 0;
    framesToStep_ = rate_ / 10;
    maxMomentary_ = kNegInf;
    maxShortTerm_ = kNegInf;
    std::fill(std::begin(stepEnergy_), std::end(stepEnergy_), 0.0);
    stepsSeen_ = 0;
}

void LoudnessMeter::feed(const std::int16_t* interleaved, std::size_t frames) {
    ebur128_add_frames_short(stateOf(state_), interleaved, frames);
    int highest = 0;
    for (std::size_t i = 0; i < frames * channels_; ++i) highest = std::max(highest, std::abs(int{interleaved[i]}));
    samplePeak_ = std::max(samplePeak_, highest / 32768.0);
    if (truePeak_) truePeak_->addFrames(interleaved, frames);
    frames_ += frames;
}

void LoudnessMeter::feed(const float* interleaved, std::size_t frames) {
    ebur128_add_frames_float(stateOf(state_), interleaved, frames);
    float highest = 0.0f;
    for (std::size_t i = 0; i < frames * channels_; ++i) highest = std::max(highest, std::fabs(interleaved[i]));
    samplePeak_ = std::max(samplePeak_, static_cast<double>(highest));
    if (truePeak_) truePeak_->addFrames(interleaved, frames);
    frames_ += frames;
}

namespace {

// The library's own conversion between a weighted mean-square energy and LUFS, both ways.
double energyOf(double lufs) { return std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10.0) : 0.0; }
double lufsOf(double energy) { return energy > 0.0 ? cleaned(10.0 * std::log10(energy) - 0.691) : kNegInf; }

}  // namespace

void LoudnessMeter::stepMaxima() {
    double last100ms = kNegInf;
    ebur128_loudness_window(stateOf(state_), 100, &last100ms);
    stepEnergy_[stepsSeen_ % 30] = energyOf(last100ms);
    ++stepsSeen_;
    const auto meanOfLast = [this](unsigned steps) {
        double sum = 0.0;
        for (unsigned i = 1; i <= steps; ++i) sum += stepEnergy_[(stepsSeen_ - i) % 30];
        return sum / steps;
    };
    if (stepsSeen_ >= 4) maxMomentary_ = std::max(maxMomentary_, lufsOf(meanOfLast(4)));
    if (stepsSeen_ >= 30) maxShortTerm_ = std::max(maxShortTerm_, lufsOf(meanOfLast(30)));
}

// Fed in pieces that end on 100 ms steps, so the momentary and short-term maxima are read at the
// same instants whatever sizes the caller feeds.
template <class Sample>
void LoudnessMeter::addInSteps(const Sample* interleaved, std::size_t frames) {
    lastCallPeak_ = 0.0;
    while (frames > 0) {
        const std::size_t piece = std::min(frames, framesToStep_);
        feed(interleaved, piece);
        if (truePeak_) lastCallPeak_ = std::max(lastCallPeak_, truePeak_->lastPeak());
        interleaved += piece * channels_;
        frames -= piece;
        framesToStep_ -= piece;
        if (framesToStep_ == 0) {
            framesToStep_ = rate_ / 10;
            stepMaxima();
        }
    }
}

void LoudnessMeter::addFrames(const std::int16_t* interleaved, std::size_t frames) { addInSteps(interleaved, frames); }
void LoudnessMeter::addFrames(const float* interleaved, std::size_t frames) { addInSteps(interleaved, frames); }

double LoudnessMeter::momentaryLufs() const {
    if (frames_ < static_cast<std::uint64_t>(rate_) * 4 / 10) return kNegInf;
    double value = kNegInf;
    ebur128_loudness_momentary(stateOf(state_), &value);
    return cleaned(value);
}

double LoudnessMeter::shortTermLufs() const {
    if (frames_ < static_cast<std::uint64_t>(rate_) * 3) return kNegInf;
    double value = kNegInf;
    ebur128_loudness_shortterm(stateOf(state_), &value);
    return cleaned(value);
}

double LoudnessMeter::integratedLufs() const {
    double value = kNegInf;
    if (ebur128_loudness_global(stateOf(state_), &value) != EBUR128_SUCCESS) return kNegInf;
    return cleaned(value);
}

double LoudnessMeter::loudnessRangeLu() const {
    // Below one short-term window there is no range to speak of.
    if (frames_ < static_cast<std::uint64_t>(rate_) * 3) return kNegInf;
    double value = kNegInf;
    if (ebur128_loudness_range(stateOf(state_), &value) != EBUR128_SUCCESS || !std::isfinite(value)) return kNegInf;
    return value;
}

double LoudnessMeter::samplePeakDbfs() const { return amplitudeToDb(samplePeak_); }

double LoudnessMeter::truePeakDbtp() const { return truePeak_ ? amplitudeToDb(truePeak_->peak()) : kNegInf; }

double LoudnessMeter::lastTruePeakDbtp() const { return truePeak_ ? amplitudeToDb(lastCallPeak_) : kNegInf; }

LoudnessFigures LoudnessMeter::figures() const {
    LoudnessFigures result;
    result.integratedLufs = integratedLufs();
    result.loudnessRangeLu = loudnessRangeLu();
    result.maxMomentaryLufs = maxMomentary_;
    result.maxShortTermLufs = maxShortTerm_;
    result.samplePeakDbfs = samplePeakDbfs();
    result.truePeakDbtp = truePeakDbtp();
    result.frames = frames_;
    return result;
}

}  // namespace loudara
