#pragma once
// A sound system for the tests: devices that move bytes only when the test says so, an event
// loop whose timers fire when the test says so, and a window that remembers what it was asked.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/event_loop.h"
#include "audio/wave_device.h"

namespace loudara::test {

// QueuedWaveDevice with a stream that is only a flag; the test drives render() and capture().
class FakeWaveDevice : public QueuedWaveDevice {
public:
    FakeWaveDevice(WaveDirection direction, NoticeChannel& notices, uint32_t sampleRate)
        : QueuedWaveDevice(direction, notices), sampleRate(sampleRate) {}

    WaveResult queue(SoundBlock& block) override {
        if (refuseQueue) return kWaveInvalidBlock;
        return QueuedWaveDevice::queue(block);
    }

    const uint32_t sampleRate;
    bool refuseQueue = false;
    bool streamRunning = false;
    bool streamClosed = false;
    int starts = 0;

protected:
    WaveResult startStream() override {
        streamRunning = true;
        ++starts;
        return kWaveOk;
    }
    WaveResult stopStream() override {
        streamRunning = false;
        return kWaveOk;
    }
    WaveResult closeStream() override {
        streamClosed = true;
        return kWaveOk;
    }
};

struct FakeDeviceEntry {
    std::string name;
    bool queryWorks = true;
    bool takes4S16 = true;
};

class FakeWavePlatform : public WavePlatform {
public:
    std::vector<FakeDeviceEntry> outputs{{"Fake Output"}};
    std::vector<FakeDeviceEntry> inputs{{"Fake Input"}};
    WaveResult openError = kWaveOk;  // what open() answers (when not kWaveOk)
    // The devices last opened (they stay readable after being closed, until the next open).
    std::shared_ptr<FakeWaveDevice> output, input;
    std::vector<std::pair<WaveDirection, unsigned>> opened;  // identifiers, in order

    unsigned deviceCount(WaveDirection direction) override {
        return static_cast<unsigned>(entries(direction).size());
    }
    bool deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) override {
        if (id >= entries(direction).size() || !entries(direction)[id].queryWorks) return false;
        const FakeDeviceEntry& entry = entries(direction)[id];
        std::snprintf(caps.name, sizeof caps.name, "%s", entry.name.c_str());
        caps.formats = entry.takes4S16 ? kWaveFormat4S16 : 0;
        return true;
    }
    WaveResult open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                    std::unique_ptr<WaveDevice>& device) override {
        if (openError != kWaveOk) return openError;
        opened.emplace_back(direction, id);
        auto fake = std::make_shared<FakeWaveDevice>(direction, notices, sampleRate);
        (direction == WaveDirection::Output ? output : input) = fake;
        device = std::make_unique<Handle>(fake);
        return kWaveOk;
    }
    std::string errorText(WaveResult result) override { return "fake error " + std::to_string(result); }
    // A device that runs at one rate whatever is asked (as a JACK server does); 0 takes any rate.
    uint32_t fixedRate = 0;
    uint32_t deviceRate(WaveDirection, unsigned, uint32_t wanted) override { return fixedRate ? fixedRate : wanted; }

private:
    // The engine owns its device; the test keeps looking at it through the shared pointer.
    class Handle : public WaveDevice {
    public:
        explicit Handle(std::shared_ptr<FakeWaveDevice> d) : d_(std::move(d)) {}
        WaveDirection direction() const override { return d_->direction(); }
        WaveResult prepare(SoundBlock& b) override { return d_->prepare(b); }
        WaveResult unprepare(SoundBlock& b) override { return d_->unprepare(b); }
        WaveResult queue(SoundBlock& b) override { return d_->queue(b); }
        WaveResult pause() override { return d_->pause(); }
        WaveResult restart() override { return d_->restart(); }
        WaveResult reset() override { return d_->reset(); }
        WaveResult start() override { return d_->start(); }
        WaveResult stop() override { return d_->stop(); }
        WaveResult close() override { return d_->close(); }
        WaveCounters counters() const override { return d_->counters(); }

    private:
        std::shared_ptr<FakeWaveDevice> d_;
    };

    std::vector<FakeDeviceEntry>& entries(WaveDirection d) { return d == WaveDirection::Output ? outputs : inputs; }
};

class FakeEventLoop : public EventLoop {
public:
    std::map<int, int> timers;  // id -> milliseconds
    std::vector<int> sleeps;
    void startTimer(int id, int milliseconds) override { timers[id] = milliseconds; }
    void stopTimer(int id) override { timers.erase(id); }
    void sleepMs(int milliseconds) override { sleeps.push_back(milliseconds); }
    bool running(int id) const { return timers.count(id) != 0; }
};

class FakeView : public StreamView {
public:
    int repaints = 0, refreshes = 0, clears = 0;
    std::vector<bool> locks;
    int cursorButton = -1;  // the transport button under the cursor, -1 none
    void repaintPanel() override { ++repaints; }
    void refreshSongList() override { ++refreshes; }
    void setOnAirLock(bool locked) override { locks.push_back(locked); }
    void clearTransportButtons() override { ++clears; }
    bool cursorOverTransportButton(int button) override { return button == cursorButton; }
};

}  // namespace loudara::test
