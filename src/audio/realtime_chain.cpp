#include "audio/realtime_chain.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/device_engine.h"
#include "processor/parameter_names.h"

namespace loudara {
namespace {

// A port's float as the 16-bit sample the chain takes (full scale 1.0), as the block path has
// always rounded it.
inline int16_t toSample(float x) {
    const float scaled = x * 32768.0f;
    if (!(scaled > -32768.0f)) return -32768;  // NaN too
    if (scaled >= 32767.0f) return 32767;
    return static_cast<int16_t>(std::lrintf(scaled));
}

constexpr float kFromSample = 1.0f / 32768.0f;

// A processed float sample as the device gets it on the block path: truncated toward zero.
inline int16_t truncatedSample(float x) {
    const double v = static_cast<double>(x) * 32768.0;
    if (!(v > -32768.0)) return -32768;
    if (v >= 32767.0) return 32767;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

void copyParameters(const Processor& from, SoundParameterRows& to) {
    for (int b = 0; b < kBandCount; ++b) to.bands[b] = from.bands[b];
    to.params = from.params;
    to.settings = from.settings;
}

// Only the settings a user sets are compared: meters and states move all the time.
bool sameParameters(const SoundParameterRows& a, const SoundParameterRows& b) {
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < bandsOf(info); ++band) {
            const double x = parameterValue(a, info, band), y = parameterValue(b, info, band);
            if (!(x == y) && !(std::isnan(x) && std::isnan(y))) return false;
        }
    }
    return true;
}

}  // namespace

RealtimeChain::RealtimeChain(const Processor& prepared, InputStandIn* standIn, uint32_t sampleRate, Source source)
    : processor_(std::make_unique<Processor>(prepared)),
      lastPublished_(std::make_unique<SoundParameterRows>()),
      ring_(std::make_unique<int16_t[]>(2 * kRingFrames)),
      source_(source) {
    if (songSource()) songRing_ = std::make_unique<float[]>(2 * kSongRingFrames);
    copyParameters(prepared, *lastPublished_);
    standIn_ = standIn;
    sampleRate_ = sampleRate;
}

bool RealtimeChain::publish(const Processor& program) {
    SoundParameterRows rows;
    copyParameters(program, rows);
    if (sameParameters(rows, *lastPublished_)) return false;
    *lastPublished_ = rows;
    parameters_.publish(rows);
    return true;
}

void RealtimeChain::applyParameters(const SoundParameterRows& rows) noexcept {
    Processor& p = *processor_;
    bool bassEq = false, envelopes = false, lowpass = false;
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < bandsOf(info); ++band) {
            const double value = parameterValue(rows, info, band);
            if (value == parameterValue(p, info, band)) continue;
            setParameterValue(p, info, band, value);
            bassEq |= info.settingField == &ProcessorSettings::bassEqGainDb ||
                      info.settingField == &ProcessorSettings::bassEqFreqHz ||
                      info.settingField == &ProcessorSettings::bassEqQ;
            envelopes |= info.paramField == &ProcessorParams::bandReleaseTime ||
                         info.paramField == &ProcessorParams::bandAttackTime;
            lowpass |= info.settingField == &ProcessorSettings::finalLowpass;
        }
    }
    // The stream runs: the filters keep their state and take the new tables.
    if (bassEq) retuneBassEq(p);
    if (envelopes) retuneEnvelopeTimes(p);
    if (lowpass) retuneFinalLowpass(p);
    parameterChanges_.fetch_add(1, std::memory_order_relaxed);
}

void RealtimeChain::process(const float* inL, const float* inR, float* outL, float* outR, uint32_t frames) noexcept {
    if (const SoundParameterRows* rows = parameters_.take()) applyParameters(*rows);
    if (songSource()) {
        processSong(outL, outR, frames);
        return;
    }
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kPieceFrames, frames - done);
        for (uint32_t i = 0; i < n; ++i) {
            inStage_[2 * i] = inL ? toSample(inL[done + i]) : 0;
            inStage_[2 * i + 1] = inR ? toSample(inR[done + i]) : 0;
        }
        const bool replaced = standIn_ && standIn_->standIn(inStage_, standInStage_, n, sampleRate_);
        processBlock(*processor_, static_cast<int32_t>(2 * n), replaced ? standInStage_ : inStage_, outStage_);
        if (standIn_) standIn_->afterProcessing(outStage_, n, sampleRate_);
        for (uint32_t i = 0; i < n; ++i) {
            outL[done + i] = outStage_[2 * i] * kFromSample;
            outR[done + i] = outStage_[2 * i + 1] * kFromSample;
        }
        pushFrames(outStage_, n);
        done += n;
    }
    publishMeters();
    framesProcessed_.fetch_add(frames, std::memory_order_relaxed);
    periods_.fetch_add(1, std::memory_order_relaxed);
}

std::size_t RealtimeChain::songRoom() const noexcept {
    return kSongRingFrames - (songTail_.load(std::memory_order_relaxed) - songHead_.load(std::memory_order_acquire));
}

std::size_t RealtimeChain::songFramesWaiting() const noexcept {
    return songTail_.load(std::memory_order_acquire) - songHead_.load(std::memory_order_acquire);
}

std::size_t RealtimeChain::feedSong(const int16_t* interleaved, std::size_t frames) noexcept {
    if (!songRing_ || songEnd_.load(std::memory_order_relaxed) != kNoEnd) return 0;
    const std::size_t tail = songTail_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, songRoom());
    for (std::size_t i = 0; i < n; ++i) {
        float* to = songRing_.get() + 2 * ((tail + i) % kSongRingFrames);
        to[0] = interleaved[2 * i] * kFromSample;  // exact: read back by toSample
        to[1] = interleaved[2 * i + 1] * kFromSample;
    }
    songTail_.store(tail + n, std::memory_order_release);
    return n;
}

std::size_t RealtimeChain::feedSong(const float* interleaved, std::size_t frames) noexcept {
    if (!songRing_ || songEnd_.load(std::memory_order_relaxed) != kNoEnd) return 0;
    const std::size_t tail = songTail_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, songRoom());
    const std::size_t at = tail % kSongRingFrames;
    const std::size_t first = std::min(n, kSongRingFrames - at);
    std::memcpy(songRing_.get() + 2 * at, interleaved, first * 2 * sizeof(float));
    std::memcpy(songRing_.get(), interleaved + 2 * first, (n - first) * 2 * sizeof(float));
    songTail_.store(tail + n, std::memory_order_release);
    return n;
}

void RealtimeChain::endSong(uint32_t tailFrames) noexcept {
    if (!songRing_ || songEnd_.load(std::memory_order_relaxed) != kNoEnd) return;
    songTailFrames_.store(tailFrames, std::memory_order_relaxed);
    songEnd_.store(songTail_.load(std::memory_order_relaxed), std::memory_order_release);
}

void RealtimeChain::processSong(float* outL, float* outR, uint32_t frames) noexcept {
    uint32_t done = 0;
    while (done < frames) {
        // The end is read before the ring, so a song that ended with this period's frames
        // fed is never taken for a ring run dry.
        const uint64_t end = songEnd_.load(std::memory_order_acquire);
        const std::size_t head = songHead_.load(std::memory_order_relaxed);
        const std::size_t waiting = songTail_.load(std::memory_order_acquire) - head;
        const uint32_t want = std::min(kPieceFrames, frames - done);
        if (waiting > 0) {
            const uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(want, waiting));
            const std::size_t at = head % kSongRingFrames;
            const std::size_t first = std::min<std::size_t>(n, kSongRingFrames - at);
            std::memcpy(songStage_, songRing_.get() + 2 * at, first * 2 * sizeof(float));
            std::memcpy(songStage_ + 2 * first, songRing_.get(), (n - first) * 2 * sizeof(float));
            songHead_.store(head + n, std::memory_order_release);
            processSongPiece(outL, outR, done, n, false);
            done += n;
            continue;
        }
        if (end != kNoEnd && head == end) {
            if (!tailStarted_) {
                tailStarted_ = true;
                tailLeft_ = songTailFrames_.load(std::memory_order_relaxed);
            }
            if (tailLeft_ > 0) {
                const uint32_t n = std::min(want, tailLeft_);
                processSongPiece(outL, outR, done, n, true);
                tailLeft_ -= n;
                done += n;
                continue;
            }
        } else {
            underflows_.fetch_add(1, std::memory_order_relaxed);
        }
        // Silence for the rest of the period; the chain waits where the song stopped.
        std::memset(outL + done, 0, (frames - done) * sizeof(float));
        std::memset(outR + done, 0, (frames - done) * sizeof(float));
        break;
    }
    publishMeters();
    periods_.fetch_add(1, std::memory_order_relaxed);
}

void RealtimeChain::processSongPiece(float* outL, float* outR, uint32_t at, uint32_t n, bool silence) noexcept {
    if (silence) std::memset(songStage_, 0, 2 * n * sizeof(float));
    if (source_ == Source::SongFloat) {
        processBlockFloat(*processor_, static_cast<int32_t>(2 * n), songStage_, songStage_);
        for (uint32_t i = 0; i < 2 * n; ++i) outStage_[i] = truncatedSample(songStage_[i]);
    } else {
        for (uint32_t i = 0; i < 2 * n; ++i) inStage_[i] = toSample(songStage_[i]);
        processBlock(*processor_, static_cast<int32_t>(2 * n), inStage_, outStage_);
    }
    for (uint32_t i = 0; i < n; ++i) {
        outL[at + i] = outStage_[2 * i] * kFromSample;
        outR[at + i] = outStage_[2 * i + 1] * kFromSample;
    }
    pushFrames(outStage_, n);
    framesProcessed_.fetch_add(n, std::memory_order_relaxed);
}

void RealtimeChain::pushFrames(const int16_t* interleaved, uint32_t frames) noexcept {
    const std::size_t tail = ringTail_.load(std::memory_order_relaxed);
    const std::size_t head = ringHead_.load(std::memory_order_acquire);
    const std::size_t room = kRingFrames - (tail - head);
    const std::size_t n = std::min<std::size_t>(frames, room);
    if (n < frames) framesDropped_.fetch_add(frames - n, std::memory_order_relaxed);
    const std::size_t at = tail % kRingFrames;
    const std::size_t first = std::min(n, kRingFrames - at);
    std::memcpy(ring_.get() + 2 * at, interleaved, first * 2 * sizeof(int16_t));
    std::memcpy(ring_.get(), interleaved + 2 * first, (n - first) * 2 * sizeof(int16_t));
    ringTail_.store(tail + n, std::memory_order_release);
}

std::size_t RealtimeChain::framesWaiting() const noexcept {
    return ringTail_.load(std::memory_order_acquire) - ringHead_.load(std::memory_order_acquire);
}

std::size_t RealtimeChain::drain(int16_t* interleaved, std::size_t maxFrames) noexcept {
    const std::size_t head = ringHead_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(maxFrames, ringTail_.load(std::memory_order_acquire) - head);
    const std::size_t at = head % kRingFrames;
    const std::size_t first = std::min(n, kRingFrames - at);
    std::memcpy(interleaved, ring_.get() + 2 * at, first * 2 * sizeof(int16_t));
    std::memcpy(interleaved + 2 * first, ring_.get(), (n - first) * 2 * sizeof(int16_t));
    ringHead_.store(head + n, std::memory_order_release);
    return n;
}

namespace {

// `into` takes the highest peaks and flags of both and the reductions of `newer`.
void fold(ChainMeters& into, const ChainMeters& newer) {
    into.inputPeakL = std::max(into.inputPeakL, newer.inputPeakL);
    into.inputPeakR = std::max(into.inputPeakR, newer.inputPeakR);
    into.outputPeakL = std::max(into.outputPeakL, newer.outputPeakL);
    into.outputPeakR = std::max(into.outputPeakR, newer.outputPeakR);
    into.enhancerPeak = std::max(into.enhancerPeak, newer.enhancerPeak);
    into.hfLimitPeak = std::max(into.hfLimitPeak, newer.hfLimitPeak);
    into.agcLowReduction = newer.agcLowReduction;
    into.agcHighReduction = newer.agcHighReduction;
    into.hfReductionL = newer.hfReductionL;
    into.hfReductionR = newer.hfReductionR;
    for (int b = 0; b < kBandCount; ++b) {
        into.bandReductionPeak[b] = std::max(into.bandReductionPeak[b], newer.bandReductionPeak[b]);
        into.bandClipFlag[b] |= newer.bandClipFlag[b];
        into.gateState[b] = newer.gateState[b];
    }
    into.clipFlagL |= newer.clipFlagL;
    into.clipFlagR |= newer.clipFlagR;
}

}  // namespace

void RealtimeChain::publishMeters() noexcept {
    // The chain's meter fields count from the last period on: they are read and started again.
    Processor& p = *processor_;
    ProcessorParams& r = p.params;
    ChainMeters m;
    m.inputPeakL = r.inputPeakL;
    m.inputPeakR = r.inputPeakR;
    m.outputPeakL = r.outputPeakL;
    m.outputPeakR = r.outputPeakR;
    m.enhancerPeak = r.enhancerPeak;
    m.hfLimitPeak = r.hfLimitPeak;
    m.agcLowReduction = r.agcLowReduction;
    m.agcHighReduction = r.agcHighReduction;
    m.hfReductionL = r.hfReductionL;
    m.hfReductionR = r.hfReductionR;
    r.inputPeakL = r.inputPeakR = r.outputPeakL = r.outputPeakR = 0;
    r.enhancerPeak = r.hfLimitPeak = 0;
    for (int b = 0; b < kBandCount; ++b) {
        BandSettings& band = p.bands[b];
        m.bandReductionPeak[b] = band.reductionPeak;
        m.bandClipFlag[b] = band.clipFlag;
        m.gateState[b] = band.gateState;
        band.reductionPeak = 0;
        band.clipFlag = 0;
    }
    m.clipFlagL = p.settings.clipFlagL;
    m.clipFlagR = p.settings.clipFlagR;
    p.settings.clipFlagL = p.settings.clipFlagR = 0;
    if (unsentHeld_) {
        fold(unsent_, m);
        m = unsent_;
    }
    unsentHeld_ = !meters_.push(m);
    if (unsentHeld_) unsent_ = m;
}

bool RealtimeChain::takeMeters(Processor& program) noexcept {
    ChainMeters all, one;
    bool any = false;
    while (meters_.pop(one)) {
        if (any) {
            fold(all, one);
        } else {
            all = one;
            any = true;
        }
    }
    if (!any) return false;
    ProcessorParams& r = program.params;
    r.inputPeakL = std::max(r.inputPeakL, all.inputPeakL);
    r.inputPeakR = std::max(r.inputPeakR, all.inputPeakR);
    r.outputPeakL = std::max(r.outputPeakL, all.outputPeakL);
    r.outputPeakR = std::max(r.outputPeakR, all.outputPeakR);
    r.enhancerPeak = std::max(r.enhancerPeak, all.enhancerPeak);
    r.hfLimitPeak = std::max(r.hfLimitPeak, all.hfLimitPeak);
    r.agcLowReduction = all.agcLowReduction;
    r.agcHighReduction = all.agcHighReduction;
    r.hfReductionL = all.hfReductionL;
    r.hfReductionR = all.hfReductionR;
    for (int b = 0; b < kBandCount; ++b) {
        BandSettings& band = program.bands[b];
        band.reductionPeak = std::max(band.reductionPeak, all.bandReductionPeak[b]);
        band.clipFlag |= all.bandClipFlag[b];
        band.gateState = all.gateState[b];
    }
    program.settings.clipFlagL |= all.clipFlagL;
    program.settings.clipFlagR |= all.clipFlagR;
    return true;
}

}  // namespace loudara
