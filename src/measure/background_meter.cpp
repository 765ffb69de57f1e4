#include "measure/background_meter.h"

namespace loudara {

BackgroundMeter::BackgroundMeter(LoudnessMeter& meter) : meter_(meter), thread_([this] { run(); }) {}

BackgroundMeter::~BackgroundMeter() { finish(); }

void BackgroundMeter::addFrames(const int16_t* interleaved, std::size_t frames) {
    if (frames == 0) return;
    std::vector<int16_t> block(interleaved, interleaved + frames * meter_.channels());
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kMaxWaiting; });
    waiting_.push_back(std::move(block));
    changed_.notify_all();
}

void BackgroundMeter::finish() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void BackgroundMeter::run() {
    while (true) {
        std::vector<int16_t> block;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !waiting_.empty() || closing_; });
            if (waiting_.empty()) return;
            block = std::move(waiting_.front());
            waiting_.pop_front();
            changed_.notify_all();
        }
        meter_.addFrames(block.data(), block.size() / meter_.channels());
    }
}

}  // namespace loudara
