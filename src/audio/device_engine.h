#pragma once
// The one sound stream's record: the listed devices, the open devices, the blocks, the song being
// read and the buffers of the refill. Listing, opening, allocating and closing live here; what
// goes into the blocks is streaming.h.
//
// Large (the input ring and the refill buffers, about 330 kB): create it on the heap.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/block_notices.h"
#include "audio/realtime_chain.h"
#include "audio/sound_block.h"
#include "audio/stream_loudness.h"
#include "audio/wave_device.h"
#include "base/device_choice.h"
#include "base/host.h"
#include "files/sound_resampler.h"
#include "files/sound_source.h"
#include "files/wav_file.h"

namespace loudara {

inline constexpr int kMaxListedDevices = 8;
inline constexpr uint32_t kInputRingSlotBytes = 32768;
inline constexpr uint32_t kStagingBytes = 32768;
inline constexpr uint32_t kMonoReadBytes = 16384;
// One block plus one decoder frame of 1152 stereo frames.
inline constexpr uint32_t kMp3CarryBytes = kSoundBlockBytes + 1152 * kBytesPerFrame;

// Sees every block the processor has just filled (the streaming side, never the audio thread):
// the ON-AIR service measures loudness and feeds its stream encoder here.
class BlockTap {
public:
    virtual ~BlockTap() = default;
    virtual void processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) = 0;
};

// May stand in for the ON-AIR input, on the side that processes it: sees each input block before
// it is processed and may give other frames to be processed in its place (the dead-air fallback).
class InputStandIn {
public:
    virtual ~InputStandIn() = default;
    // True when `replacement` (2 x frames samples) holds what is to be processed instead of `input`.
    virtual bool standIn(const int16_t* input, int16_t* replacement, std::size_t frames, uint32_t sampleRate) = 0;
    // Whether the chain runs in the device's own period (set before it starts there). Then
    // standIn and afterProcessing are both called on the device's thread, piece by piece, and
    // what the block tap receives later is only the same sound drained for measuring.
    virtual void setInPeriod(bool) {}
    // The processed piece, right after standIn's piece went through the chain (in-period only).
    virtual void afterProcessing(const int16_t*, std::size_t, uint32_t) {}
};

struct DeviceEntry {
    char name[32] = {};
    uint32_t id = 0;  // the platform's identifier
};

struct DeviceEngine {
    explicit DeviceEngine(WavePlatform& platform) : platform(&platform) {}
    DeviceEngine(const DeviceEngine&) = delete;
    DeviceEngine& operator=(const DeviceEngine&) = delete;
    ~DeviceEngine();

    WavePlatform* platform;
    NoticeChannel notices;

    uint32_t sampleRate = 44100;
    uint16_t bitsPerSample = 16;
    uint16_t channels = 2;  // of the song; the devices always run stereo
    SoundBlock* inputBlocks[kMaxSoundBlocks] = {};
    SoundBlock* outputBlocks[kMaxSoundBlocks] = {};
    // The blocks AllocateBlocks made, whatever blockCount has become since.
    int allocatedBlocks = 0;
    bool allocatedInputBlocks = false;
    // ON-AIR on a device that runs the chain in its own callback (Loudara's JACK client): the
    // chain there, fed the parameters and drained of its sound and meters at every returned
    // block. Declared before the devices, so that they let go of it before it goes.
    std::unique_ptr<RealtimeChain> realtime;
    int realtimeLatencyFrames = 0;
    // A song played by such a chain: its end has been sent to the chain, and the frames of the
    // chain's delay still to be timed by blocks after it (they play the song's last sound out).
    bool songEndSent = false;
    uint32_t songTailFramesToTime = 0;
    std::unique_ptr<WaveDevice> input;
    std::unique_ptr<WaveDevice> output;
    uint32_t playPosition = 0;  // bytes of stereo output produced for the song
    char songPath[256] = {};

    // The song being read: its WAV file (positioned in the "data" chunk), or the MP3 decoder.
    FileHandle songFile;
    bool mp3Open = false;
    int64_t dataStart = 0;      // file offset of the first sample
    uint32_t dataBytes = 0;     // bytes of sample data (the "data" chunk, never beyond it)
    uint32_t dataOffset = 0;    // bytes of sample data read so far
    // Or the song read through SoundSource at the stream's rate (a SoundFile song, or any song at
    // another rate than the device runs at), in float blocks of floatFrames.
    std::unique_ptr<SoundSource> sound;
    bool soundOpen = false;
    // An MP3 song at another rate than the stream's: its decoded frames resampled to the stream's
    // rate, waiting in `resampled` from resampledFrom on (interleaved stereo floats).
    std::unique_ptr<SoundResampler> mp3Resampler;
    std::vector<float> resampled;
    std::size_t resampledFrom = 0;
    bool mp3Ended = false;
    static constexpr uint32_t kFloatFrames = kSoundBlockBytes / kBytesPerFrame;
    alignas(16) float floatFrames[2 * kFloatFrames] = {};

    DeviceEntry outputDevices[kMaxListedDevices];
    uint16_t outputCount = 0;
    DeviceEntry inputDevices[kMaxListedDevices];
    uint16_t inputCount = 0;

    // Refill buffers, reused for every block.
    alignas(16) uint8_t stagingBuffer[kStagingBytes] = {};
    alignas(16) uint8_t monoBuffer[kMonoReadBytes] = {};
    alignas(16) uint8_t mp3Carry[kMp3CarryBytes] = {};
    uint32_t mp3CarryBytes = 0;
    // The processed output's loudness, measured as each block is made (audio/stream_loudness.h).
    StreamLoudness loudness;
    alignas(16) uint8_t inputRing[kMaxSoundBlocks][kInputRingSlotBytes] = {};

    // Called with each processed block; none by default.
    BlockTap* tap = nullptr;
    // Sees each ON-AIR input block before it is processed; none by default.
    InputStandIn* standIn = nullptr;

    // Device counters as they stood when the song stopped being refilled (see WaveCounters).
    WaveCounters outputCountersAtDrain;
    bool drainCountersTaken = false;
    // The counters of the devices CloseDevices closed last.
    WaveCounters closedOutputCounters;
    WaveCounters closedInputCounters;
};

// The engine's state before any stream: 44100 Hz, 16-bit, 2 channels, no blocks, no devices,
// position 0, no song.
void InitDeviceEngine(DeviceEngine& engine);

// Rebuild one list: identifiers 0..7 of the platform, those whose query fails skipped. A stored
// selection that is not below the count becomes 0. Returns the count.
int EnumerateOutputDevices(DeviceEngine& engine, DeviceChoice& devices);
int EnumerateInputDevices(DeviceEngine& engine, DeviceChoice& devices);

inline constexpr const char* kNoOutputDeviceText =
    "No available output sound device can be found.\nThe sound player and 'ON-AIR' mode will be disabled.";
inline constexpr const char* kNoInputDeviceText =
    "No available input sound device can be found.\nThe 'ON-AIR' mode will be disabled.";

// Start-up: InitDeviceEngine and both listings, with the messages for an empty list.
void StartDeviceEngine(DeviceEngine& engine, DeviceChoice& devices, Host& host);

// The rate a stream that wants `wanted` Hz runs at on the selected output device: the device's
// own rate when it runs at another one the processor takes (32000, 44100 or 48000 Hz: a JACK
// server at 48 kHz for a 44.1 kHz song), otherwise `wanted` (and a device that cannot run it says
// why when it opens).
uint32_t StreamRateFor(const DeviceEngine& engine, const DeviceChoice& devices, uint32_t wanted);

// Opens the input (ON-AIR mode only, first) and the output at engine.sampleRate. A device whose
// query fails or that lacks 44.1 kHz stereo 16-bit fails quietly; a refused open shows the
// platform's text (the output's followed by a line feed and the device's name). True only when
// every device it had to open is open.
bool OpenDevices(DeviceEngine& engine, const DeviceChoice& devices, bool onAirMode, Host& host);

// blockCount (held to 2..8) zeroed output blocks of 16384 bytes, and as many input blocks in
// ON-AIR mode. False when memory runs out; the blocks made so far stay and FreeBlocks frees them.
bool AllocateBlocks(DeviceEngine& engine, int32_t blockCount, bool onAirMode);
// Frees exactly the blocks AllocateBlocks made.
void FreeBlocks(DeviceEngine& engine);
// Zeroes the first blockCount slots of the input ring in ON-AIR mode.
void ClearInputRing(DeviceEngine& engine, int32_t blockCount, bool onAirMode);
// Stops, resets and closes whatever is open, then frees the blocks.
void CloseDevices(DeviceEngine& engine);

}  // namespace loudara
