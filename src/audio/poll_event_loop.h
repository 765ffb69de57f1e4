#pragma once
// The event loop of loudara-cli and the integration tests: poll(2) on the NoticeChannel's
// descriptor (and one more of the caller's, e.g. a signal pipe), with the streaming timers kept
// as deadlines. The GUI has Qt's loop instead.

#include <chrono>
#include <vector>

#include "audio/event_loop.h"

namespace loudara {

struct Streaming;

class PollEventLoop : public EventLoop {
public:
    void startTimer(int id, int milliseconds) override;
    void stopTimer(int id) override;
    void sleepMs(int milliseconds) override;

    // Waits until a device notice is posted, a timer is due, `extraFd` is readable or maxWaitMs
    // have passed; then dispatches the notices and runs the due timers (OnStreamTimer). True
    // when `extraFd` is readable (the caller reads it).
    bool runOnce(Streaming& s, int maxWaitMs, int extraFd = -1);

    bool timerActive(int id) const;

    // What the last start by a timer gave, and how many timer starts there were.
    int timerStarts = 0;
    int lastTimerResult = 0;  // a StartResult

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        int id;
        Clock::time_point due;
    };
    std::vector<Timer> timers_;
};

}  // namespace loudara
