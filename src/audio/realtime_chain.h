#pragma once
// The chain run inside an audio callback, one period at a time: the period's input through a
// processor of its own to the period's output, with no queue of blocks between them, so the
// sound is delayed by the chain's own delay and nothing more.
//
// Three threads meet here and none of them waits for another:
//   - the audio thread calls process() once per period; it never allocates, locks, logs or waits;
//   - the control thread (the one that owns the program's processor: the window's, or the ON-AIR
//     service's loop) calls publish() after the parameters changed (a knob, a preset, a reload);
//     the audio thread takes the newest parameters at the start of its next period, and retunes
//     the filters they change keeping their state, so a change never clicks;
//   - a reader (the same control thread) drains the processed sound (for the loudness meter and
//     the stream encoder) and the meters (for the window and the status) from lock-free rings.
//
// The chain runs on 16-bit samples exactly as the block path does (the JACK floats rounded to
// 16 bits, processBlock, back to floats), so it gives the same samples as a file export of the
// same input, whatever the period size.
//
// Playback runs the same way with a song in place of the input ports: the control thread reads
// the song ahead into a ring of unprocessed frames (feedSong), the audio thread takes a period's
// frames from it. A ring that runs empty before the song's end plays silence and counts an
// underflow; after the end (endSong) the chain's delay plays out on silence, then the output is
// silent. A song read as 16-bit frames goes through processBlock, one read as floats through
// processBlockFloat with the block path's rounding, so either sounds as its block path does.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/spsc_ring.h"
#include "processor/parameter_image.h"
#include "processor/processor.h"

namespace loudara {

class InputStandIn;

// What the window and the status show of the chain: the peaks and flags since the last look,
// the reductions as they stand.
struct ChainMeters {
    double inputPeakL = 0, inputPeakR = 0, outputPeakL = 0, outputPeakR = 0;
    double enhancerPeak = 0, hfLimitPeak = 0;
    double agcLowReduction = 0, agcHighReduction = 0, hfReductionL = 0, hfReductionR = 0;
    double bandReductionPeak[kBandCount] = {};
    int32_t bandClipFlag[kBandCount] = {};
    int32_t gateState[kBandCount] = {};
    int32_t clipFlagL = 0, clipFlagR = 0;
};

// The newest of a series of values from one writer to one reader, without waiting (a triple
// buffer): the writer always has a slot of its own to fill, the reader always one to read, and
// the third holds the newest finished value between them.
template <class T>
class LatestValue {
public:
    // Writer.
    void publish(const T& value) {
        slots_[back_] = value;
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndex;
    }
    // Reader: the newest value when one came since the last take, else nullptr.
    const T* take() {
        if (!(middle_.load(std::memory_order_acquire) & kFresh)) return nullptr;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        return &slots_[front_];
    }

private:
    static constexpr int kIndex = 3, kFresh = 4;
    T slots_[3]{};
    int back_ = 0, front_ = 2;
    std::atomic<int> middle_{1};
};

class RealtimeChain {
public:
    // Frames of processed sound the ring holds for the reader (about 1.4 s at 48 kHz).
    static constexpr std::size_t kRingFrames = 65536;
    // The audio thread converts and processes a period in pieces of at most this many frames.
    static constexpr uint32_t kPieceFrames = 1024;

    // What the chain processes: the input ports, or a song fed by the control thread as 16-bit
    // frames or as float frames.
    enum class Source { Ports, Song16, SongFloat };
    // Frames of unprocessed song the feeding ring holds (twice the most blocks a stream queues).
    static constexpr std::size_t kSongRingFrames = 65536;

    // Control thread: a chain that starts as `prepared` is (a processor prepared for the stream's
    // rate, its parameters the program's). `standIn` (optional, real-time safe, outliving the
    // chain) may replace each piece of input before it is processed, as it does on the block path.
    explicit RealtimeChain(const Processor& prepared, InputStandIn* standIn = nullptr, uint32_t sampleRate = 0,
                           Source source = Source::Ports);
    RealtimeChain(const RealtimeChain&) = delete;
    RealtimeChain& operator=(const RealtimeChain&) = delete;

    // Control thread: hands the parameters of `program` to the audio thread when they differ from
    // the ones handed over last. True when they did.
    bool publish(const Processor& program);

    // Audio thread: one period. The inputs and outputs may not overlap; a null input is silence.
    // A song chain ignores the inputs and takes the period from its ring.
    void process(const float* inL, const float* inR, float* outL, float* outR, uint32_t frames) noexcept;

    // Song chains. Control thread: up to `frames` interleaved stereo frames of the song (16-bit
    // for Song16, floats of full scale 1.0 for SongFloat); the count the ring took.
    std::size_t feedSong(const int16_t* interleaved, std::size_t frames) noexcept;
    std::size_t feedSong(const float* interleaved, std::size_t frames) noexcept;
    // Control thread: the song ends after the frames fed so far; `tailFrames` of silence follow
    // them through the chain (its delay, so the song's end is heard), then the output is silent.
    void endSong(uint32_t tailFrames) noexcept;
    std::size_t songFramesWaiting() const noexcept;
    Source source() const { return source_; }
    bool songSource() const { return source_ != Source::Ports; }
    // Periods in which the song's ring ran empty before its end (silence was played there).
    uint64_t underflows() const { return underflows_.load(std::memory_order_relaxed); }

    // Reader: up to maxFrames processed stereo frames (interleaved 16-bit), oldest first; the
    // count taken.
    std::size_t drain(int16_t* interleaved, std::size_t maxFrames) noexcept;
    std::size_t framesWaiting() const noexcept;
    // Reader: the meters of the periods since the last call folded into `program`'s meter fields
    // (peaks and flags kept at their highest, reductions as they stand now), as the block path
    // leaves them in the processor it runs. False when no period came.
    bool takeMeters(Processor& program) noexcept;

    // Any thread.
    uint64_t periods() const { return periods_.load(std::memory_order_relaxed); }
    uint64_t framesProcessed() const { return framesProcessed_.load(std::memory_order_relaxed); }
    // Processed frames the reader was too slow for (the sound went out; only its measurement
    // lost them), and parameter hand-overs the audio thread applied.
    uint64_t framesDropped() const { return framesDropped_.load(std::memory_order_relaxed); }
    uint64_t parameterChanges() const { return parameterChanges_.load(std::memory_order_relaxed); }

    // The chain's own processor (tests; not while process() may run).
    const Processor& processor() const { return *processor_; }

private:
    void applyParameters(const SoundParameterRows& rows) noexcept;
    void processSong(float* outL, float* outR, uint32_t frames) noexcept;
    // A piece of n frames of songStage_ (or silence) through the chain into the outputs at `at`.
    void processSongPiece(float* outL, float* outR, uint32_t at, uint32_t n, bool silence) noexcept;
    std::size_t songRoom() const noexcept;
    void pushFrames(const int16_t* interleaved, uint32_t frames) noexcept;
    void publishMeters() noexcept;

    std::unique_ptr<Processor> processor_;
    LatestValue<SoundParameterRows> parameters_;
    std::unique_ptr<SoundParameterRows> lastPublished_;
    SpscRing<ChainMeters, 64> meters_;
    ChainMeters unsent_;        // audio thread: periods the meter ring had no room for
    bool unsentHeld_ = false;

    std::unique_ptr<int16_t[]> ring_;  // kRingFrames stereo frames
    alignas(64) std::atomic<std::size_t> ringHead_{0};
    alignas(64) std::atomic<std::size_t> ringTail_{0};

    alignas(64) std::atomic<uint64_t> periods_{0};
    std::atomic<uint64_t> framesProcessed_{0};
    std::atomic<uint64_t> framesDropped_{0};
    std::atomic<uint64_t> parameterChanges_{0};

    // The song's ring (song chains only): frames fed from songTail_, taken from songHead_; the
    // song ends where songEnd_ says (kNoEnd while it goes on).
    static constexpr uint64_t kNoEnd = ~uint64_t{0};
    const Source source_;
    std::unique_ptr<float[]> songRing_;
    alignas(64) std::atomic<std::size_t> songHead_{0};
    alignas(64) std::atomic<std::size_t> songTail_{0};
    std::atomic<uint64_t> songEnd_{kNoEnd};
    std::atomic<uint32_t> songTailFrames_{0};
    std::atomic<uint64_t> underflows_{0};
    uint32_t tailLeft_ = 0;     // audio thread: silence still to run through after the end
    bool tailStarted_ = false;  // audio thread
    alignas(16) float songStage_[2 * kPieceFrames] = {};

    InputStandIn* standIn_ = nullptr;
    uint32_t sampleRate_ = 0;
    int16_t inStage_[2 * kPieceFrames] = {};
    int16_t standInStage_[2 * kPieceFrames] = {};
    int16_t outStage_[2 * kPieceFrames] = {};
};

}  // namespace loudara
