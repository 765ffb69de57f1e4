#include "audio/wave_device.h"

#include <algorithm>
#include <cstring>

namespace loudara {

std::string WaveErrorText(WaveResult result) {
    switch (result) {
        case kWaveOk: return "The operation completed successfully.";
        case kWaveBadDevice: return "There is no device with this identifier.";
        case kWaveNoMemory: return "Unable to allocate or lock memory.";
        case kWaveInvalidBlock: return "The sound block is not valid or the device's queue is full.";
        case kWaveBadFormat: return "The device does not take 16-bit stereo at this sample rate.";
        case kWaveStillPlaying: return "The sound block is still in the queue.";
        case kWaveUnprepared: return "The sound block was not prepared.";
        case kWaveWrongDirection: return "The operation does not apply to a device of this direction.";
        default: break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Sound device error %d.", result);
    return text;
}

WaveResult QueuedWaveDevice::prepare(SoundBlock& block) {
    if (!block.data) return kWaveInvalidBlock;
    block.flags.fetch_or(kBlockPrepared, std::memory_order_acq_rel);
    return kWaveOk;
}

WaveResult QueuedWaveDevice::unprepare(SoundBlock& block) {
    if (block.inQueue()) return kWaveStillPlaying;
    block.flags.fetch_and(~kBlockPrepared, std::memory_order_acq_rel);
    return kWaveOk;
}

WaveResult QueuedWaveDevice::queue(SoundBlock& block) {
    if (closed_ || !block.data) return kWaveInvalidBlock;
    const uint32_t flags = block.flags.load(std::memory_order_acquire);
    if ((flags & kBlockPrepared) == 0) return kWaveUnprepared;
    if ((flags & kBlockInQueue) != 0) return kWaveStillPlaying;
    if (block.bufferLength > kSoundBlockBytes) return kWaveInvalidBlock;
    block.bytesRecorded = 0;
    block.flags.store((flags & ~kBlockDone) | kBlockInQueue, std::memory_order_release);
    if (!queue_.push(&block)) {
        block.flags.store(flags, std::memory_order_release);
        return kWaveInvalidBlock;
    }
    if (direction_ == WaveDirection::Output && !paused()) return ensureRunning();
    return kWaveOk;
}

WaveResult QueuedWaveDevice::pause() {
    if (direction_ != WaveDirection::Output) return kWaveWrongDirection;
    paused_.store(true, std::memory_order_relaxed);
    return kWaveOk;
}

WaveResult QueuedWaveDevice::restart() {
    if (direction_ != WaveDirection::Output) return kWaveWrongDirection;
    paused_.store(false, std::memory_order_relaxed);
    return ensureRunning();
}

WaveResult QueuedWaveDevice::reset() {
    const WaveResult result = halt();
    SoundBlock* block = nullptr;
    bool head = true;
    while (queue_.pop(block)) {
        if (direction_ == WaveDirection::Input) block->bytesRecorded = head ? headOffset_ : 0;
        head = false;
        finish(block);
    }
    headOffset_ = 0;
    return result;
}

WaveResult QueuedWaveDevice::start() {
    if (direction_ != WaveDirection::Input) return kWaveWrongDirection;
    return ensureRunning();
}

WaveResult QueuedWaveDevice::stop() {
    if (direction_ != WaveDirection::Input) return kWaveWrongDirection;
    const WaveResult result = halt();
    SoundBlock* block = nullptr;
    if (queue_.pop(block)) {
        block->bytesRecorded = headOffset_;
        finish(block);
    }
    headOffset_ = 0;
    return result;
}

WaveResult QueuedWaveDevice::close() {
    if (closed_) return kWaveOk;
    if (!queue_.empty()) return kWaveStillPlaying;
    halt();
    const WaveResult result = closeStream();
    notices_.discard(direction_);
    closed_ = true;
    return result;
}

WaveCounters QueuedWaveDevice::counters() const {
    WaveCounters c;
    c.underflows = underflows_.load(std::memory_order_relaxed);
    c.overflows = overflows_.load(std::memory_order_relaxed);
    c.hostUnderflows = hostUnderflows_.load(std::memory_order_relaxed);
    c.hostOverflows = hostOverflows_.load(std::memory_order_relaxed);
    c.bytesPlayed = bytesPlayed_.load(std::memory_order_relaxed);
    c.bytesCaptured = bytesCaptured_.load(std::memory_order_relaxed);
    return c;
}

WaveResult QueuedWaveDevice::ensureRunning() {
    if (running_ || closed_) return closed_ ? kWaveInvalidBlock : kWaveOk;
    const WaveResult result = startStream();
    if (result == kWaveOk) running_ = true;
    return result;
}

WaveResult QueuedWaveDevice::halt() {
    if (!running_) return kWaveOk;
    running_ = false;
    return stopStream();
}

void QueuedWaveDevice::finish(SoundBlock* block) noexcept {
    const uint32_t flags = block->flags.load(std::memory_order_relaxed);
    block->flags.store((flags & ~kBlockInQueue) | kBlockDone, std::memory_order_release);
    notices_.post(direction_, block);
}

void QueuedWaveDevice::render(uint8_t* out, std::size_t bytes) noexcept {
    if (paused_.load(std::memory_order_relaxed)) {
        std::memset(out, 0, bytes);
        return;
    }
    std::size_t done = 0;
    SoundBlock* head = nullptr;
    while (queue_.peek(head)) {
        const uint32_t length = std::min(head->bufferLength, kSoundBlockBytes);
        if (done < bytes && headOffset_ < length) {
            const std::size_t n = std::min<std::size_t>(length - headOffset_, bytes - done);
            std::memcpy(out + done, head->data + headOffset_, n);
            headOffset_ += static_cast<uint32_t>(n);
            done += n;
            bytesPlayed_.fetch_add(n, std::memory_order_relaxed);
        }
        if (headOffset_ < length) break;  // the period is full; the block goes on next time
        queue_.pop(head);
        headOffset_ = 0;
        finish(head);
    }
    if (done < bytes) {
        std::memset(out + done, 0, bytes - done);
        underflows_.fetch_add(1, std::memory_order_relaxed);
    }
}

void QueuedWaveDevice::capture(const uint8_t* in, std::size_t bytes) noexcept {
    std::size_t done = 0;
    SoundBlock* head = nullptr;
    while (done < bytes) {
        if (!queue_.peek(head)) {
            overflows_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const uint32_t length = std::min(head->bufferLength, kSoundBlockBytes);
        const std::size_t n = std::min<std::size_t>(length - headOffset_, bytes - done);
        if (in) {
            std::memcpy(head->data + headOffset_, in + done, n);
        } else {
            std::memset(head->data + headOffset_, 0, n);
        }
        headOffset_ += static_cast<uint32_t>(n);
        done += n;
        bytesCaptured_.fetch_add(n, std::memory_order_relaxed);
        if (headOffset_ >= length) {
            queue_.pop(head);
            head->bytesRecorded = length;
            headOffset_ = 0;
            finish(head);
        }
    }
}

}  // namespace loudara
