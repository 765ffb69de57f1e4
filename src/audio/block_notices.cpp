#include "audio/block_notices.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace loudara {

NoticeChannel::NoticeChannel() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

NoticeChannel::~NoticeChannel() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool NoticeChannel::post(WaveDirection direction, SoundBlock* block) noexcept {
    const bool queued = (direction == WaveDirection::Output ? output_ : input_).push(block);
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        // A full counter (never in practice) only means the loop is already awake.
        [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
    }
    return queued;
}

bool NoticeChannel::take(WaveDirection& direction, SoundBlock*& block) noexcept {
    if (input_.pop(block)) {
        direction = WaveDirection::Input;
        return true;
    }
    if (output_.pop(block)) {
        direction = WaveDirection::Output;
        return true;
    }
    return false;
}

void NoticeChannel::discard(WaveDirection direction) noexcept {
    (direction == WaveDirection::Output ? output_ : input_).clear();
}

void NoticeChannel::acknowledgeWake() noexcept {
    if (wakeFd_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(wakeFd_, &count, sizeof count);
}

}  // namespace loudara
