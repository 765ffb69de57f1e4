#pragma once
// Loudara as a JACK client of its own, as WavePlatform: one client (named "loudara" unless the
// user names it) with the ports in_1, in_2, out_1 and out_2, listed as one device in each
// direction. The stream runs at the server's rate; a server at a rate the processor does not run
// at (anything but 32000, 44100 and 48000 Hz) is refused with a text that names its rate.
//
// The client opens with the first device opened and closes with the last one closed; its four
// ports exist for as long. The process callback only converts between JACK's float ports and the
// 16-bit interleaved blocks (QueuedWaveDevice::render/capture); a direction with no running
// device reads nothing and writes silence.
//
// ON-AIR with both directions on the client runs the chain in the process callback instead
// (runChain, realtime_chain.h): input ports -> chain -> output ports within the period, no blocks
// in between. Playback runs a song chain there the same way: the song's unprocessed frames from
// the chain's ring -> chain -> output ports, while the output's blocks run unpaused. The output's blocks then only keep the streaming's time (they are taken at the
// period's pace, their sound unused). While the chain runs, the client reports the chain's delay
// as the latency of its ports, so JACK-aware programs and recorders can align it.
//
// Connections are made as asked and no others: the ports named for the input are connected to
// in_1, in_2, in_1, ... in turn, the ports named for the output from out_1, out_2, out_1, ... An
// output opened for playback (no input opened just before it, as ON-AIR does) with no output
// ports named goes to the first two physical playback ports. A named port that is missing is
// reported in the log and connected as soon as it appears (a playout program started later).

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/realtime_chain.h"
#include "audio/wave_device.h"

namespace loudara {

struct JackOptions {
    std::string clientName = "loudara";
    std::vector<std::string> connectInputs;   // ports to feed in_1, in_2, in_1, ...
    std::vector<std::string> connectOutputs;  // ports out_1, out_2, out_1, ... feed
};

// The JACK platform's own results, kept apart from PortAudio's negative codes.
inline constexpr WaveResult kWaveJackFirst = 100;
inline constexpr WaveResult kWaveJackNoServer = 100;
inline constexpr WaveResult kWaveJackNameTaken = 101;
inline constexpr WaveResult kWaveJackUnsupportedRate = 102;
inline constexpr WaveResult kWaveJackRateMismatch = 103;
inline constexpr WaveResult kWaveJackNoPorts = 104;
inline constexpr WaveResult kWaveJackNotActivated = 105;
inline constexpr WaveResult kWaveJackBusy = 106;
inline constexpr WaveResult kWaveJackLast = 119;

inline bool jackRateSupported(uint32_t rate) { return rate == 32000 || rate == 44100 || rate == 48000; }

class JackDevice;

class JackPlatform : public WavePlatform {
public:
    // Looks for a server once (never starting one): listed when one answers.
    explicit JackPlatform(JackOptions options = {});
    ~JackPlatform() override;
    JackPlatform(const JackPlatform&) = delete;
    JackPlatform& operator=(const JackPlatform&) = delete;

    unsigned deviceCount(WaveDirection direction) override;
    bool deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) override;
    WaveResult open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                    std::unique_ptr<WaveDevice>& device) override;
    std::string errorText(WaveResult result) override;
    // The server's rate (as the open client or the last probe saw it), whatever is wanted.
    uint32_t deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) override;

    // Looks for the server again (a server still starting can turn clients away for a moment);
    // true when it answered. Not while the client is open.
    bool probeServer();
    // Whether a server answered when the platform was made or last probed, and its rate then (0
    // when none).
    bool serverFound() const { return probedRate_ != 0; }
    uint32_t serverRate() const { return probedRate_; }
    const JackOptions& options() const { return options_; }

    // Another platform's input opened (ON-AIR): the next output is not a playback.
    void noteInputOpened() { inputOpenedLast_ = true; }

    // Control thread, while the client is open: connects the asked ports that have appeared since
    // (call when connectionsPending()).
    void reconnect();
    bool connectionsPending() const { return portsChanged_.load(std::memory_order_acquire); }
    // The server shut down or threw the client out (the blocks go on coming back, as silence).
    bool serverGone() const { return serverGone_.load(std::memory_order_acquire); }
    bool clientOpen() const { return client_ != nullptr; }
    // Periods the server reported as late since the client opened.
    uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    // Periods our own callback finished after the period's deadline (the next period's start as
    // the server's clock estimates it) since the client opened: the chain not done in time. The
    // server's xruns count lost periods of the whole graph; these are ours alone.
    uint64_t latePeriods() const { return latePeriods_.load(std::memory_order_relaxed); }

    // Control thread: runs `chain` in the process callback from the input ports (both directions
    // must be open on the client), or from its song (the output must be), to the output ports;
    // nullptr goes back to the blocks and returns once the callback has let go of the chain.
    // False when it cannot run.
    bool runChain(RealtimeChain* chain);
    bool chainRunning() const { return chain_.load() != nullptr; }
    // Control thread: the chain's delay in frames, reported on the ports while the chain runs.
    void setLatencyFrames(int frames);
    // The thread the process callback runs on (while the client is open).
    jack_native_thread_t processThread() const { return client_ ? jack_client_thread_id(client_) : jack_native_thread_t{}; }
    // The period the server runs (frames).
    uint32_t periodFrames() const { return periodFrames_; }
    // What happened with connections since the last call (lines for the log), then cleared.
    std::vector<std::string> takeLog();

private:
    friend class JackDevice;
    struct Slot {
        std::atomic<JackDevice*> device{nullptr};
        std::atomic<bool> inside{false};
    };

    WaveResult openClient();
    void closeClient();
    void connectAsked(WaveDirection direction, bool playback);
    bool connectOne(const std::string& from, const std::string& to, bool logMissing);
    // Waits until the process callback is not inside `slot` (it will see the change next time).
    void waitOutside(const Slot& slot) const;
    void detach(JackDevice* device);
    void log(std::string line);

    int process(jack_nframes_t frames);
    // The period's work; process() then checks its deadline.
    void processPeriod(jack_nframes_t frames);
    // The blocks through the devices as process() moves them, from given port buffers. True when
    // the output runs unpaused.
    bool moveBlocks(jack_nframes_t frames, const float* inL, const float* inR, float* outL, float* outR);
    // After the server has gone: a thread of our own goes on moving the blocks at the server's
    // pace (silence in, sound dropped), so a stream still stops, drains and closes as usual.
    void runWithoutServer();
    void stopWithoutServer();
    static int processThunk(jack_nframes_t frames, void* self);
    static int xrunThunk(void* self);
    static void latencyThunk(jack_latency_callback_mode_t mode, void* self);
    void reportLatency(jack_latency_callback_mode_t mode);
    static void shutdownThunk(jack_status_t, const char*, void* self);
    static void registrationThunk(jack_port_id_t, int, void* self);

    JackOptions options_;
    uint32_t probedRate_ = 0;
    uint32_t lastServerRate_ = 0;    // for the texts
    uint32_t lastAskedRate_ = 0;
    jack_client_t* client_ = nullptr;
    jack_port_t* inPorts_[2] = {};
    jack_port_t* outPorts_[2] = {};
    Slot input_, output_;
    bool inputOpenedLast_ = false;
    bool playbackConnections_ = false;  // the open output went to the physical ports
    std::atomic<bool> portsChanged_{false};
    std::atomic<bool> serverGone_{false};
    std::atomic<uint64_t> xruns_{0};
    std::atomic<uint64_t> latePeriods_{0};
    std::atomic<RealtimeChain*> chain_{nullptr};
    std::atomic<bool> chainInside_{false};
    std::atomic<int> latencyFrames_{0};
    jack_nframes_t periodFrames_ = 1024;
    std::thread withoutServer_;
    std::atomic<bool> endWithoutServer_{false};
    std::mutex logMutex_;
    std::vector<std::string> log_;
    // The process thread's interleaved 16-bit staging, per direction (a period is done in pieces
    // of at most kStageFrames).
    static constexpr jack_nframes_t kStageFrames = 4096;
    int16_t outStage_[2 * kStageFrames] = {};
    int16_t inStage_[2 * kStageFrames] = {};
};

}  // namespace loudara
