#include "measure/loudness_meter.h"

#include "measure/true_peak_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace loudara {

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
// The integrated loudness keeps the 400 ms blocks within 10 LU of the mean of those above
// -70 LUFS; the loudness range keeps the 3 s blocks within 20 LU.
constexpr double kIntegratedGate = 0.1;
constexpr double kRangeGate = 0.01;
// A 3 s block for the range every 10 steps, the first once 30 steps have passed.
constexpr unsigned kRangeHopSteps = 10;

// The shelf of the K-weighting sits at 1.7 kHz: a rate must hold it under its Nyquist frequency.
constexpr unsigned kLowestRate = 3400;
constexpr unsigned kHighestRate = 2822400;

// A reading so low it means nothing (the filters' decay after a sound) counts as none.
double cleaned(double lufs) { return std::isfinite(lufs) && lufs > -200.0 ? lufs : kNegInf; }

unsigned checkedRate(unsigned rate, unsigned channels) {
    if (channels < 1 || channels > 2) throw std::runtime_error("loudness: 1 or 2 channels, not " + std::to_string(channels));
    if (rate < kLowestRate || rate > kHighestRate) {
        throw std::runtime_error("loudness: cannot measure at " + std::to_string(rate) + " Hz");
    }
    return rate;
}

// Four running sums side by side: one would wait out each addition before the next.
double sumOf(const float* values, std::size_t count) {
    double sums[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int lane = 0; lane < 4; ++lane) sums[lane] += values[i + lane];
    }
    for (; i < count; ++i) sums[0] += values[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

}  // namespace

double amplitudeToDb(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : kNegInf; }

LoudnessMeter::LoudnessMeter(unsigned rate, unsigned channels, History history, Peaks peaks)
    : rate_(checkedRate(rate, channels)),
      channels_(channels),
      history_(history),
      peaks_(peaks),
      stepFrames_((rate + 5) / 10),
      framesToStep_(stepFrames_),
      weighting_(rate),
      frameEnergy_(kRingSteps * stepFrames_, 0.0f),
      momentaryBlocks_(history == History::Exact ? GatedBlocks::Keep::Every : GatedBlocks::Keep::Histogram),
      shortTermBlocks_(history == History::Exact ? GatedBlocks::Keep::Every : GatedBlocks::Keep::Histogram) {
    if (peaks == Peaks::SampleAndTrue) truePeak_ = std::make_unique<TruePeakMeter>(channels);
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::reset() {
    if (truePeak_) truePeak_->reset();
    lastCallPeak_ = 0.0;
    samplePeak_ = 0.0;
    frames_ = 0;
    framesToStep_ = stepFrames_;
    weighting_.reset();
    std::fill(frameEnergy_.begin(), frameEnergy_.end(), 0.0f);
    maxMomentary_ = kNegInf;
    maxShortTerm_ = kNegInf;
    std::fill(std::begin(stepEnergy_), std::end(stepEnergy_), 0.0);
    stepsSeen_ = 0;
    momentaryBlocks_.clear();
    shortTermBlocks_.clear();
}

// A piece never runs past the end of a step, so it never runs past the end of the ring either.
void LoudnessMeter::feed(const std::int16_t* interleaved, std::size_t frames) {
    kWeightedEnergies(weighting_, interleaved, frames, channels_, frameEnergy_.data() + frames_ % frameEnergy_.size());
    int highest = 0;
    for (std::size_t i = 0; i < frames * channels_; ++i) highest = std::max(highest, std::abs(int{interleaved[i]}));
    samplePeak_ = std::max(samplePeak_, highest / 32768.0);
    if (truePeak_) truePeak_->addFrames(interleaved, frames);
    frames_ += frames;
}

void LoudnessMeter::feed(const float* interleaved, std::size_t frames) {
    kWeightedEnergies(weighting_, interleaved, frames, channels_, frameEnergy_.data() + frames_ % frameEnergy_.size());
    float highest = 0.0f;
    for (std::size_t i = 0; i < frames * channels_; ++i) highest = std::max(highest, std::fabs(interleaved[i]));
    samplePeak_ = std::max(samplePeak_, static_cast<double>(highest));
    if (truePeak_) truePeak_->addFrames(interleaved, frames);
    frames_ += frames;
}

void LoudnessMeter::endStep() {
    // The step just ended fills the slot before frames_ in the ring; summed after it has ended,
    // the sum is the same whatever pieces the step came in.
    const std::size_t end = (frames_ - 1) % frameEnergy_.size() + 1;
    stepEnergy_[stepsSeen_ % kRingSteps] = sumOf(frameEnergy_.data() + end - stepFrames_, stepFrames_);
    ++stepsSeen_;
    const auto meanOfLast = [this](unsigned steps) {
        double total = 0.0;
        for (unsigned i = 1; i <= steps; ++i) total += stepEnergy_[(stepsSeen_ - i) % kRingSteps];
        return total / (static_cast<double>(steps) * stepFrames_);
    };
    if (stepsSeen_ >= 4) {
        const double block = meanOfLast(4);
        momentaryBlocks_.add(block);
        maxMomentary_ = std::max(maxMomentary_, cleaned(loudnessOfEnergy(block)));
    }
    if (stepsSeen_ >= kRingSteps) {
        const double block = meanOfLast(kRingSteps);
        if ((stepsSeen_ - kRingSteps) % kRangeHopSteps == 0) shortTermBlocks_.add(block);
        maxShortTerm_ = std::max(maxShortTerm_, cleaned(loudnessOfEnergy(block)));
    }
}

// Fed in pieces that end on 100 ms steps, so the blocks and the maxima are read at the same
// instants whatever sizes the caller feeds.
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
            framesToStep_ = stepFrames_;
            endStep();
        }
    }
}

void LoudnessMeter::addFrames(const std::int16_t* interleaved, std::size_t frames) { addInSteps(interleaved, frames); }
void LoudnessMeter::addFrames(const float* interleaved, std::size_t frames) { addInSteps(interleaved, frames); }

double LoudnessMeter::recentEnergy(std::size_t frames) const {
    const std::size_t size = frameEnergy_.size();
    const std::size_t end = frames_ % size;
    const double sum = end >= frames ? sumOf(frameEnergy_.data() + end - frames, frames)
                                     : sumOf(frameEnergy_.data(), end) +
                                           sumOf(frameEnergy_.data() + size - (frames - end), frames - end);
    return sum / static_cast<double>(frames);
}

double LoudnessMeter::momentaryLufs() const {
    if (frames_ < 4 * stepFrames_) return kNegInf;
    return cleaned(loudnessOfEnergy(recentEnergy(4 * stepFrames_)));
}

double LoudnessMeter::shortTermLufs() const {
    if (frames_ < kRingSteps * stepFrames_) return kNegInf;
    return cleaned(loudnessOfEnergy(recentEnergy(kRingSteps * stepFrames_)));
}

double LoudnessMeter::integratedLufs() const {
    return cleaned(loudnessOfEnergy(momentaryBlocks_.gatedMeanEnergy(kIntegratedGate)));
}

double LoudnessMeter::loudnessRangeLu() const {
    // Below one short-term window there is no range to speak of.
    if (frames_ < kRingSteps * stepFrames_) return kNegInf;
    return shortTermBlocks_.rangeLu(kRangeGate);
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
