#include "audio/poll_event_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "audio/streaming.h"

namespace loudara {

void PollEventLoop::startTimer(int id, int milliseconds) {
    stopTimer(id);
    timers_.push_back({id, Clock::now() + std::chrono::milliseconds(milliseconds)});
}

void PollEventLoop::stopTimer(int id) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                  timers_.end());
}

void PollEventLoop::sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

bool PollEventLoop::timerActive(int id) const {
    return std::any_of(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
}

bool PollEventLoop::runOnce(Streaming& s, int maxWaitMs, int extraFd) {
    int wait = maxWaitMs;
    const Clock::time_point now = Clock::now();
    for (const Timer& t : timers_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - now).count();
        wait = std::min<int>(wait, static_cast<int>(std::max<long long>(0, left)));
    }
    pollfd fds[2] = {{s.engine.notices.wakeFd(), POLLIN, 0}, {extraFd, POLLIN, 0}};
    const int count = extraFd >= 0 ? 2 : 1;
    // Without an eventfd the notices are looked for every 5 ms.
    if (fds[0].fd < 0) wait = std::min(wait, 5);
    const int ready = poll(fds, count, std::max(0, wait));
    const bool extraReady = ready > 0 && count == 2 && (fds[1].revents & POLLIN) != 0;
    if (s.engine.notices.pending() || (ready > 0 && (fds[0].revents & POLLIN) != 0)) DispatchDeviceNotices(s);

    const Clock::time_point after = Clock::now();
    std::vector<int> due;
    for (const Timer& t : timers_) {
        if (t.due <= after) due.push_back(t.id);
    }
    for (int id : due) {
        if (!timerActive(id)) continue;
        StartResult result = StartResult::NotStopped;
        OnStreamTimer(s, id, &result);
        ++timerStarts;
        lastTimerResult = static_cast<int>(result);
    }
    return extraReady;
}

}  // namespace loudara
