#pragma once
// The way back from a sound device's audio thread to the thread the streaming logic runs on:
// "block done" notices in two lock-free queues, one per direction (each direction has exactly one
// audio thread, so each queue has one producer), and an eventfd the consumer's event loop waits
// on. Posting is one queue push and one non-blocking write(2): no lock, no allocation.

#include <cstdint>

#include "audio/sound_block.h"
#include "audio/spsc_ring.h"

namespace loudara {

enum class WaveDirection { Output, Input };

class NoticeChannel {
public:
    NoticeChannel();
    ~NoticeChannel();
    NoticeChannel(const NoticeChannel&) = delete;
    NoticeChannel& operator=(const NoticeChannel&) = delete;

    // Producer side (the direction's audio thread, or the control thread while that direction's
    // stream is stopped). False when the queue is full, which cannot happen with at most
    // kMaxSoundBlocks blocks per direction.
    bool post(WaveDirection direction, SoundBlock* block) noexcept;

    // Consumer side: the next notice, input before output so an ON-AIR refill sees the latest
    // capture. False when there is none.
    bool take(WaveDirection& direction, SoundBlock*& block) noexcept;

    // Consumer side: drops the undelivered notices of one direction (its device was closed, so
    // the blocks they name are about to be freed).
    void discard(WaveDirection direction) noexcept;

    // The descriptor that becomes readable when notices were posted; -1 if it could not be made
    // (the loop then has to poll).
    int wakeFd() const { return wakeFd_; }
    // Consumer side: resets the descriptor's readiness before draining.
    void acknowledgeWake() noexcept;

    bool pending() const noexcept { return !output_.empty() || !input_.empty(); }

private:
    static constexpr std::size_t kCapacity = 2 * kMaxSoundBlocks;
    SpscRing<SoundBlock*, kCapacity> output_;
    SpscRing<SoundBlock*, kCapacity> input_;
    int wakeFd_ = -1;
};

}  // namespace loudara
