#pragma once
// The sound block: one header and its buffer of 16-bit stereo samples, handed back and forth
// between the streaming logic and a sound device. The flags word is shared with the device's
// audio thread, so it is atomic; the rest of the header belongs to whoever holds the block (the
// device while kBlockInQueue is set, the streaming logic otherwise).

#include <atomic>
#include <cstdint>

namespace loudara {

inline constexpr uint32_t kSoundBlockBytes = 16384;  // 4096 stereo frames of 16-bit samples
inline constexpr int kMaxSoundBlocks = 8;
inline constexpr int kMinBlockCount = 2;
inline constexpr int kBytesPerFrame = 4;  // the devices always run 16-bit stereo

// Flag bits, the same meanings as the wave headers of the Windows API.
inline constexpr uint32_t kBlockDone = 0x01;      // the device has finished with it
inline constexpr uint32_t kBlockPrepared = 0x02;  // may be queued
inline constexpr uint32_t kBlockInQueue = 0x10;   // queued on a device, not yet returned

struct SoundBlock {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;   // bytes to play (output) or room to fill (input)
    uint32_t bytesRecorded = 0;  // input: bytes captured when it came back
    std::atomic<uint32_t> flags{0};

    bool inQueue() const { return (flags.load(std::memory_order_acquire) & kBlockInQueue) != 0; }
};

// blockCount from the settings, held to what the engine can run.
inline int clampBlockCount(int32_t blockCount) {
    return blockCount < kMinBlockCount ? kMinBlockCount : (blockCount > kMaxSoundBlocks ? kMaxSoundBlocks : blockCount);
}

}  // namespace loudara
