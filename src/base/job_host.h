#pragma once
// What a worker job (the peak scan, the export job) sees of the one who started it: a progress
// dialog in the GUI, a console printer in the CLI, a recorder in the tests.
//
// The job runs on its own thread and calls these from there; a host that shows them must hand
// them over to its own thread itself. The owner talks back only through the three atomics,
// which the job reads once per read or block.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

namespace loudara {

class JobHost {
public:
    virtual ~JobHost() = default;

    virtual void setStatusText(const std::string& /*text*/) {}
    virtual void setFromText(const std::string& /*text*/) {}
    virtual void setToText(const std::string& /*text*/) {}
    // Progress runs from 0 to `maximum` in steps of 1; it starts at 0.
    virtual void setProgressRange(int /*maximum*/) {}
    virtual void stepProgress() {}
    virtual void setProcessedTimeText(const std::string& /*text*/) {}
    // The sound panel's meters changed; repaint it when convenient.
    virtual void refreshPanel() {}
    // A message box: the GUI shows it (OK button, exclamation icon), the CLI prints it.
    virtual void showMessage(const std::string& /*text*/, const std::string& /*caption*/) {}
    // The job's last act, sent exactly once per job; the job touches nothing shared after it.
    virtual void endNotice() = 0;
    // The throttle's clock (the process's processor time, in ms) and its rest.
    virtual long long processClockMs() { return static_cast<long long>(std::clock()) * 1000 / CLOCKS_PER_SEC; }
    virtual void rest(long long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // The throttle, called between pieces of work: when throttleOn is set it rests
    // throttleLevel x d / divisor ms, d = the process clock in ms since `lastClockMs` (at most 100
    // counted), and `lastClockMs` becomes the clock's time.
    void throttle(std::atomic<long long>& lastClockMs, long long divisor) {
        if (!throttleOn.load()) return;
        const long long now = processClockMs();
        const long long elapsedMs = std::clamp(now - lastClockMs.exchange(now), 0LL, 100LL);
        const long long restMs = throttleLevel.load() * elapsedMs / divisor;
        if (restMs > 0) rest(restMs);
    }

    std::atomic<bool> cancelRequested{false};  // set by the owner's Cancel
    std::atomic<int> throttleOn{0};            // 1 = rest between blocks
    std::atomic<int> throttleLevel{0};         // 1..40, longer rests when larger
};

}  // namespace loudara
