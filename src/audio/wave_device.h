#pragma once
// The sound devices as the streaming logic sees them: the operations of the Windows wave API
// (list, query, open, prepare, queue, pause, restart, reset, start, stop, close), with blocks
// returned through a NoticeChannel. WavePlatform is what lists and opens devices: PortAudio in
// the program (portaudio_device.h), a fake in the tests.
//
// QueuedWaveDevice holds everything a device does with its blocks apart from moving sound, so
// the PortAudio device and the tests' fake device share it: the queue of blocks, pause, reset,
// the notices, and the two audio-thread entry points render() and capture(). Those two only
// copy bytes, update flags and counters and post notices: no processing, allocation, lock or log.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/block_notices.h"
#include "audio/sound_block.h"
#include "audio/spsc_ring.h"

namespace loudara {

class RealtimeChain;

// 0 = success; the positive values are our own (the Windows numbers where there is one); the
// negative values are the platform's own error codes.
using WaveResult = int;
inline constexpr WaveResult kWaveOk = 0;
inline constexpr WaveResult kWaveBadDevice = 2;     // no such device identifier
inline constexpr WaveResult kWaveNoMemory = 7;
inline constexpr WaveResult kWaveInvalidBlock = 11; // null block or buffer, or a queue that is full
inline constexpr WaveResult kWaveBadFormat = 32;
inline constexpr WaveResult kWaveStillPlaying = 33; // unprepare of a queued block
inline constexpr WaveResult kWaveUnprepared = 34;   // queueing a block that was not prepared
inline constexpr WaveResult kWaveWrongDirection = 35;

// Our texts for our own codes; the platforms add theirs for negative codes.
std::string WaveErrorText(WaveResult result);

// The supported-format bit the engine asks for: 44.1 kHz, stereo, 16-bit.
inline constexpr uint32_t kWaveFormat4S16 = 0x00000800;

struct WaveDeviceCaps {
    char name[32] = {};   // product name, cut to 31 bytes
    uint32_t formats = 0; // kWaveFormat4S16 when the device takes 44.1 kHz stereo 16-bit
};

// What a device counts while it runs. Underflows: audio periods in which a running, unpaused
// output had no queued block for some of the bytes asked of it (it played silence there).
// Overflows: input periods whose captured bytes found no queued block (they were dropped).
// The host counters are the sound system's own reports of lost periods; xruns are JACK's (late
// periods of the whole client, whichever direction suffered); late periods are the periods the
// device's own callback finished after their deadline (JACK only).
struct WaveCounters {
    uint64_t underflows = 0;
    uint64_t overflows = 0;
    uint64_t hostUnderflows = 0;
    uint64_t hostOverflows = 0;
    uint64_t xruns = 0;
    uint64_t latePeriods = 0;
    uint64_t bytesPlayed = 0;    // output bytes taken from blocks
    uint64_t bytesCaptured = 0;  // input bytes put into blocks
};

class WaveDevice {
public:
    virtual ~WaveDevice() = default;
    virtual WaveDirection direction() const = 0;
    virtual WaveResult prepare(SoundBlock& block) = 0;
    virtual WaveResult unprepare(SoundBlock& block) = 0;
    // waveOutWrite / waveInAddBuffer. An output that is not paused starts playing.
    virtual WaveResult queue(SoundBlock& block) = 0;
    // Output only: silence without consuming blocks / play again.
    virtual WaveResult pause() = 0;
    virtual WaveResult restart() = 0;
    // Stops the device and returns every queued block as done (with a notice each).
    virtual WaveResult reset() = 0;
    // Input only: begin capturing / stop capturing (the block being filled returns with what
    // it holds; the empty ones stay queued).
    virtual WaveResult start() = 0;
    virtual WaveResult stop() = 0;
    // Stops the device for good and drops its undelivered notices. Refused while blocks are
    // queued (reset first).
    virtual WaveResult close() = 0;
    virtual WaveCounters counters() const = 0;
    // Output: runs `chain` in the device's own audio callback, from the input device of the same
    // sound system (or from the song a song chain is fed) to this output within each period (a
    // device that can: Loudara's JACK client, with its input open too for the input's chain); the
    // queued blocks then only keep time. nullptr stops it and
    // returns once the callback has let go. False when the device cannot.
    virtual bool runChain(RealtimeChain* chain) {
        (void)chain;
        return false;
    }
    // The chain's delay in frames, for a device that reports latencies to its sound system.
    virtual void setLatencyFrames(int frames) { (void)frames; }
};

class WavePlatform {
public:
    virtual ~WavePlatform() = default;
    // Devices of the direction; their identifiers are 0 .. count-1.
    virtual unsigned deviceCount(WaveDirection direction) = 0;
    // False when the device cannot be queried.
    virtual bool deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) = 0;
    // Opens the device for 16-bit stereo at sampleRate; its returned blocks are posted to
    // `notices`. The device is stopped until queue()/restart() (output) or start() (input).
    virtual WaveResult open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                            std::unique_ptr<WaveDevice>& device) = 0;
    virtual std::string errorText(WaveResult result) = 0;
    // The rate (Hz) the device runs a stream at when `wanted` is asked of it: `wanted` when it
    // takes that rate, otherwise its own (a JACK server runs at one rate for every client). The
    // stream is then made at that rate, so that the open never fails for the rate alone.
    virtual uint32_t deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) {
        (void)direction;
        (void)id;
        return wanted;
    }
};

class QueuedWaveDevice : public WaveDevice {
public:
    QueuedWaveDevice(WaveDirection direction, NoticeChannel& notices) : direction_(direction), notices_(notices) {}

    WaveDirection direction() const override { return direction_; }
    WaveResult prepare(SoundBlock& block) override;
    WaveResult unprepare(SoundBlock& block) override;
    WaveResult queue(SoundBlock& block) override;
    WaveResult pause() override;
    WaveResult restart() override;
    WaveResult reset() override;
    WaveResult start() override;
    WaveResult stop() override;
    WaveResult close() override;
    WaveCounters counters() const override;

    // Audio thread, output: fills `bytes` bytes from the queued blocks (silence when paused or
    // when they run out) and returns the finished blocks.
    void render(uint8_t* out, std::size_t bytes) noexcept;
    // Audio thread, input: puts `bytes` captured bytes into the queued blocks and returns the
    // full ones; bytes with no block to go to are dropped and counted.
    void capture(const uint8_t* in, std::size_t bytes) noexcept;
    // Audio thread: the sound system reported lost periods.
    void noteHostUnderflow() noexcept { hostUnderflows_.fetch_add(1, std::memory_order_relaxed); }
    void noteHostOverflow() noexcept { hostOverflows_.fetch_add(1, std::memory_order_relaxed); }

    bool running() const { return running_; }
    bool paused() const { return paused_.load(std::memory_order_relaxed); }
    std::size_t queuedBlocks() const { return queue_.size(); }

protected:
    // The platform's stream. After stopStream() returns, render()/capture() are not running and
    // will not run until the next startStream().
    virtual WaveResult startStream() = 0;
    virtual WaveResult stopStream() = 0;
    virtual WaveResult closeStream() = 0;

private:
    WaveResult ensureRunning();
    WaveResult halt();
    void finish(SoundBlock* block) noexcept;

    const WaveDirection direction_;
    NoticeChannel& notices_;
    SpscRing<SoundBlock*, 2 * kMaxSoundBlocks> queue_;  // control thread -> audio thread
    std::atomic<bool> paused_{false};
    bool running_ = false;  // control thread only
    bool closed_ = false;
    // Audio thread only (or the control thread while stopped): bytes done of the queue's head.
    uint32_t headOffset_ = 0;
    std::atomic<uint64_t> underflows_{0}, overflows_{0}, hostUnderflows_{0}, hostOverflows_{0};
    std::atomic<uint64_t> bytesPlayed_{0}, bytesCaptured_{0};
};

}  // namespace loudara
