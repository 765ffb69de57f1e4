#include "audio/jack_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace loudara {

namespace {

// The library's own messages go to stderr, except while we only look for a server (its absence
// is an answer, not an error).
std::atomic<bool> gQuietJack{false};

extern "C" void jackMessage(const char* text) {
    if (!gQuietJack.load(std::memory_order_relaxed)) std::fprintf(stderr, "JACK: %s\n", text);
}

void installMessageHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(jackMessage);
        jack_set_info_function([](const char*) {});
    });
}

const char* const kInNames[2] = {"in_1", "in_2"};
const char* const kOutNames[2] = {"out_1", "out_2"};

inline int16_t toSample(float x) {
    const float scaled = x * 32768.0f;
    if (!(scaled > -32768.0f)) return -32768;  // NaN too
    if (scaled >= 32767.0f) return 32767;
    return static_cast<int16_t>(std::lrintf(scaled));
}

// Waits until `inside` is down (the callback takes microseconds; a server that died mid-period
// never comes back to clear the mark, so give up after a second or so).
void waitUntilDown(const std::atomic<bool>& inside) {
    for (int i = 0; i < 100000 && inside.load(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(10));
}

}  // namespace

// One direction of the client. The client is the platform's; this is the queue of blocks and the
// switch the process callback looks at.
class JackDevice : public QueuedWaveDevice {
public:
    JackDevice(WaveDirection direction, NoticeChannel& notices, JackPlatform& platform)
        : QueuedWaveDevice(direction, notices), platform_(platform) {}
    ~JackDevice() override { platform_.detach(this); }

    WaveCounters counters() const override {
        WaveCounters c = QueuedWaveDevice::counters();
        c.xruns = platform_.xruns();
        c.latePeriods = platform_.latePeriods();
        return c;
    }

    std::atomic<bool> active{false};

protected:
    WaveResult startStream() override {
        active.store(true);
        return kWaveOk;
    }
    WaveResult stopStream() override {
        active.store(false);
        platform_.waitOutside(slot());
        return kWaveOk;
    }
    WaveResult closeStream() override {
        platform_.detach(this);
        return kWaveOk;
    }

public:
    bool runChain(RealtimeChain* chain) override {
        return direction() == WaveDirection::Output && platform_.runChain(chain);
    }
    void setLatencyFrames(int frames) override { platform_.setLatencyFrames(frames); }

private:
    const JackPlatform::Slot& slot() const {
        return direction() == WaveDirection::Output ? platform_.output_ : platform_.input_;
    }
    JackPlatform& platform_;
};

JackPlatform::JackPlatform(JackOptions options) : options_(std::move(options)) {
    installMessageHandlers();
    probeServer();
}

bool JackPlatform::probeServer() {
    gQuietJack.store(true);
    jack_status_t status{};
    const std::string probeName = options_.clientName + "_probe";
    jack_client_t* probe = jack_client_open(probeName.c_str(), JackNoStartServer, &status);
    probedRate_ = 0;
    if (probe) {
        probedRate_ = jack_get_sample_rate(probe);
        jack_client_close(probe);
    }
    gQuietJack.store(false);
    return serverFound();
}

JackPlatform::~JackPlatform() { closeClient(); }

unsigned JackPlatform::deviceCount(WaveDirection) { return serverFound() ? 1 : 0; }

bool JackPlatform::deviceCaps(WaveDirection, unsigned id, WaveDeviceCaps& caps) {
    if (id != 0 || !serverFound()) return false;
    caps = {};
    std::snprintf(caps.name, sizeof caps.name, "JACK (%s)", options_.clientName.c_str());
    // Any rate the server runs at is converted to and from 16-bit stereo; the rate is checked
    // when the device opens, where a refusal can say why.
    caps.formats = kWaveFormat4S16;
    return true;
}

uint32_t JackPlatform::deviceRate(WaveDirection, unsigned, uint32_t wanted) {
    const uint32_t rate = client_ ? lastServerRate_ : probedRate_;
    return rate != 0 ? rate : wanted;
}

WaveResult JackPlatform::openClient() {
    if (client_) return kWaveOk;
    serverGone_.store(false);
    xruns_.store(0);
    latePeriods_.store(0);
    jack_status_t status{};
    client_ = jack_client_open(options_.clientName.c_str(),
                               static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (!client_) return (status & JackNameNotUnique) ? kWaveJackNameTaken : kWaveJackNoServer;
    lastServerRate_ = jack_get_sample_rate(client_);
    periodFrames_ = std::clamp<jack_nframes_t>(jack_get_buffer_size(client_), 16, 8192);
    if (!jackRateSupported(lastServerRate_)) {
        closeClient();
        return kWaveJackUnsupportedRate;
    }
    for (int c = 0; c < 2; ++c) {
        inPorts_[c] = jack_port_register(client_, kInNames[c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        outPorts_[c] = jack_port_register(client_, kOutNames[c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!inPorts_[c] || !outPorts_[c]) {
            closeClient();
            return kWaveJackNoPorts;
        }
    }
    jack_set_process_callback(client_, &JackPlatform::processThunk, this);
    jack_set_xrun_callback(client_, &JackPlatform::xrunThunk, this);
    jack_set_latency_callback(client_, &JackPlatform::latencyThunk, this);
    jack_on_info_shutdown(client_, &JackPlatform::shutdownThunk, this);
    jack_set_port_registration_callback(client_, &JackPlatform::registrationThunk, this);
    if (jack_activate(client_) != 0) {
        closeClient();
        return kWaveJackNotActivated;
    }
    return kWaveOk;
}

void JackPlatform::closeClient() {
    if (!client_) return;
    runChain(nullptr);
    input_.device.store(nullptr);
    output_.device.store(nullptr);
    stopWithoutServer();
    if (!serverGone()) jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
    for (int c = 0; c < 2; ++c) inPorts_[c] = outPorts_[c] = nullptr;
    playbackConnections_ = false;
}

WaveResult JackPlatform::open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                              std::unique_ptr<WaveDevice>& device) {
    device.reset();
    if (id != 0) return kWaveBadDevice;
    const bool output = direction == WaveDirection::Output;
    Slot& slot = output ? output_ : input_;
    if (client_ && slot.device.load()) return kWaveJackBusy;
    // A client the server dropped is let go before a new one is made.
    if (client_ && serverGone() && !input_.device.load() && !output_.device.load()) closeClient();
    const WaveResult opened = openClient();
    if (opened != kWaveOk) return opened;
    if (sampleRate != lastServerRate_) {
        lastAskedRate_ = sampleRate;
        if (!input_.device.load() && !output_.device.load()) closeClient();
        return kWaveJackRateMismatch;
    }
    auto made = std::make_unique<JackDevice>(direction, notices, *this);
    slot.device.store(made.get());
    const bool playback = output && !inputOpenedLast_;
    inputOpenedLast_ = !output;
    connectAsked(direction, playback);
    device = std::move(made);
    return kWaveOk;
}

void JackPlatform::detach(JackDevice* device) {
    if (output_.device.load() == device) runChain(nullptr);
    for (Slot* slot : {&input_, &output_}) {
        JackDevice* expected = device;
        if (slot->device.compare_exchange_strong(expected, nullptr)) waitOutside(*slot);
    }
    if (client_ && !input_.device.load() && !output_.device.load()) closeClient();
}

void JackPlatform::waitOutside(const Slot& slot) const { waitUntilDown(slot.inside); }

bool JackPlatform::runChain(RealtimeChain* chain) {
    if (!chain) {
        if (chain_.exchange(nullptr) == nullptr) return true;
        waitUntilDown(chainInside_);
        if (client_ && !serverGone()) jack_recompute_total_latencies(client_);
        return true;
    }
    // A song chain needs the output alone; the input's chain both directions.
    if (!client_ || serverGone() || !output_.device.load() || (!chain->songSource() && !input_.device.load())) {
        return false;
    }
    chain_.store(chain);
    jack_recompute_total_latencies(client_);
    return true;
}

void JackPlatform::setLatencyFrames(int frames) {
    if (latencyFrames_.exchange(frames) == frames) return;
    if (client_ && !serverGone() && chain_.load()) jack_recompute_total_latencies(client_);
}

void JackPlatform::latencyThunk(jack_latency_callback_mode_t mode, void* self) {
    static_cast<JackPlatform*>(self)->reportLatency(mode);
}

// The graph's latencies: what reaches an output port left the capture side the input port's
// latency plus the chain's delay earlier, and what enters an input port reaches playback the
// output port's latency plus the chain's delay later.
void JackPlatform::reportLatency(jack_latency_callback_mode_t mode) {
    const jack_nframes_t own = chain_.load() ? static_cast<jack_nframes_t>(std::max(0, latencyFrames_.load())) : 0;
    for (int c = 0; c < 2; ++c) {
        if (!inPorts_[c] || !outPorts_[c]) continue;
        jack_latency_range_t range{};
        if (mode == JackCaptureLatency) {
            jack_port_get_latency_range(inPorts_[c], JackCaptureLatency, &range);
            range.min += own;
            range.max += own;
            jack_port_set_latency_range(outPorts_[c], JackCaptureLatency, &range);
        } else {
            jack_port_get_latency_range(outPorts_[c], JackPlaybackLatency, &range);
            range.min += own;
            range.max += own;
            jack_port_set_latency_range(inPorts_[c], JackPlaybackLatency, &range);
        }
    }
}

void JackPlatform::log(std::string line) {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.push_back(std::move(line));
}

std::vector<std::string> JackPlatform::takeLog() {
    std::lock_guard<std::mutex> lock(logMutex_);
    std::vector<std::string> lines;
    lines.swap(log_);
    return lines;
}

bool JackPlatform::connectOne(const std::string& from, const std::string& to, bool logMissing) {
    jack_port_t* source = jack_port_by_name(client_, from.c_str());
    jack_port_t* target = jack_port_by_name(client_, to.c_str());
    if (!source || !target) {
        if (logMissing) log("JACK port " + (source ? to : from) + " does not exist (yet); connected when it appears");
        return false;
    }
    if (jack_port_connected_to(source, to.c_str())) return true;
    const int result = jack_connect(client_, from.c_str(), to.c_str());
    if (result != 0 && result != EEXIST) {
        log("JACK could not connect " + from + " to " + to);
        return false;
    }
    log("JACK connected " + from + " to " + to);
    return true;
}

void JackPlatform::connectAsked(WaveDirection direction, bool playback) {
    if (!client_) return;
    if (direction == WaveDirection::Input) {
        for (std::size_t i = 0; i < options_.connectInputs.size(); ++i) {
            connectOne(options_.connectInputs[i], jack_port_name(inPorts_[i % 2]), true);
        }
        return;
    }
    for (std::size_t i = 0; i < options_.connectOutputs.size(); ++i) {
        connectOne(jack_port_name(outPorts_[i % 2]), options_.connectOutputs[i], true);
    }
    if (!playback || !options_.connectOutputs.empty()) return;
    const char** physical =
        jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
    if (!physical) {
        log("JACK has no physical playback ports to play to");
        return;
    }
    for (int c = 0; c < 2 && physical[c]; ++c) connectOne(jack_port_name(outPorts_[c]), physical[c], false);
    jack_free(physical);
    playbackConnections_ = true;
}

void JackPlatform::reconnect() {
    portsChanged_.store(false, std::memory_order_release);
    if (!client_ || serverGone()) return;
    if (input_.device.load()) {
        for (std::size_t i = 0; i < options_.connectInputs.size(); ++i) {
            connectOne(options_.connectInputs[i], jack_port_name(inPorts_[i % 2]), false);
        }
    }
    if (output_.device.load()) {
        for (std::size_t i = 0; i < options_.connectOutputs.size(); ++i) {
            connectOne(jack_port_name(outPorts_[i % 2]), options_.connectOutputs[i], false);
        }
    }
}

std::string JackPlatform::errorText(WaveResult result) {
    char text[200];
    switch (result) {
        case kWaveJackNoServer:
            return "No JACK server is running (or it refused the client \"" + options_.clientName + "\").";
        case kWaveJackNameTaken:
            return "A JACK client named \"" + options_.clientName + "\" is already running.";
        case kWaveJackUnsupportedRate:
            std::snprintf(text, sizeof text,
                          "The JACK server runs at %u Hz; Loudara runs at 32000, 44100 or 48000 Hz only.",
                          lastServerRate_);
            return text;
        case kWaveJackRateMismatch:
            std::snprintf(text, sizeof text, "The JACK server runs at %u Hz, but this stream is %u Hz.",
                          lastServerRate_, lastAskedRate_);
            return text;
        case kWaveJackNoPorts: return "JACK refused to register the client's ports.";
        case kWaveJackNotActivated: return "JACK refused to run the client (the server may have stopped).";
        case kWaveJackBusy: return "The JACK device is already open in this direction.";
        default: return WaveErrorText(result);
    }
}

int JackPlatform::processThunk(jack_nframes_t frames, void* self) {
    return static_cast<JackPlatform*>(self)->process(frames);
}

int JackPlatform::xrunThunk(void* self) {
    static_cast<JackPlatform*>(self)->xruns_.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void JackPlatform::shutdownThunk(jack_status_t, const char*, void* self) {
    auto* platform = static_cast<JackPlatform*>(self);
    if (platform->serverGone_.exchange(true)) return;
    platform->endWithoutServer_.store(false);
    platform->withoutServer_ = std::thread([platform] { platform->runWithoutServer(); });
}

void JackPlatform::runWithoutServer() {
    std::vector<float> silence(periodFrames_, 0.0f), discard(periodFrames_, 0.0f);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(periodFrames_) / std::max<uint32_t>(lastServerRate_, 8000)));
    auto next = std::chrono::steady_clock::now();
    while (!endWithoutServer_.load()) {
        next += period;
        std::this_thread::sleep_until(next);
        moveBlocks(periodFrames_, silence.data(), silence.data(), discard.data(), discard.data());
    }
}

void JackPlatform::stopWithoutServer() {
    if (!withoutServer_.joinable()) return;
    endWithoutServer_.store(true);
    withoutServer_.join();
}

void JackPlatform::registrationThunk(jack_port_id_t, int registered, void* self) {
    if (registered) static_cast<JackPlatform*>(self)->portsChanged_.store(true, std::memory_order_release);
}

int JackPlatform::process(jack_nframes_t frames) {
    // The deadline is read before the work: the server moves its clock on to the next period
    // while a late callback still runs. Both calls only read the server's clock (real-time safe).
    jack_nframes_t periodStart = 0;
    jack_time_t startUsecs = 0, deadlineUsecs = 0;
    float periodUsecs = 0;
    const bool timed = jack_get_cycle_times(client_, &periodStart, &startUsecs, &deadlineUsecs, &periodUsecs) == 0;
    processPeriod(frames);
    if (timed && jack_get_time() > deadlineUsecs) latePeriods_.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The process thread: floats to and from the blocks, nothing else.
void JackPlatform::processPeriod(jack_nframes_t frames) {
    float* outL = static_cast<float*>(jack_port_get_buffer(outPorts_[0], frames));
    float* outR = static_cast<float*>(jack_port_get_buffer(outPorts_[1], frames));
    const float* inL = static_cast<const float*>(jack_port_get_buffer(inPorts_[0], frames));
    const float* inR = static_cast<const float*>(jack_port_get_buffer(inPorts_[1], frames));
    // The mark goes up before the chain is looked at, and runChain(nullptr) clears the chain
    // before it looks at the mark, so one of the two always sees the other.
    chainInside_.store(true);
    if (RealtimeChain* chain = chain_.load()) {
        if (chain->songSource()) {
            // The song moves only while its blocks do: not while the output is paused (before
            // the first blocks are all queued) or stopped.
            const bool playing = moveBlocks(frames, nullptr, nullptr, nullptr, nullptr);
            if (playing) {
                chain->process(nullptr, nullptr, outL, outR, frames);
            } else {
                std::memset(outL, 0, frames * sizeof(float));
                std::memset(outR, 0, frames * sizeof(float));
            }
            chainInside_.store(false);
            return;
        }
        chain->process(inL, inR, outL, outR, frames);
        chainInside_.store(false);
        // The output's blocks keep the streaming's time; their sound is not played.
        moveBlocks(frames, nullptr, nullptr, nullptr, nullptr);
        return;
    }
    chainInside_.store(false);
    moveBlocks(frames, inL, inR, outL, outR);
}

bool JackPlatform::moveBlocks(jack_nframes_t frames, const float* inL, const float* inR, float* outL, float* outR) {

    // The mark goes up before the device is looked at, and the control thread clears the device
    // before it looks at the mark (all sequentially consistent), so one of the two always sees
    // the other.
    input_.inside.store(true);
    JackDevice* in = input_.device.load();
    if (in && in->active.load() && inL && inR) {
        for (jack_nframes_t done = 0; done < frames;) {
            const jack_nframes_t n = std::min(kStageFrames, frames - done);
            for (jack_nframes_t i = 0; i < n; ++i) {
                inStage_[2 * i] = toSample(inL[done + i]);
                inStage_[2 * i + 1] = toSample(inR[done + i]);
            }
            in->capture(reinterpret_cast<const uint8_t*>(inStage_), n * kBytesPerFrame);
            done += n;
        }
    }
    input_.inside.store(false);

    output_.inside.store(true);
    JackDevice* out = output_.device.load();
    const bool playing = out && out->active.load() && !out->paused();
    if (out && out->active.load()) {
        constexpr float kScale = 1.0f / 32768.0f;
        for (jack_nframes_t done = 0; done < frames;) {
            const jack_nframes_t n = std::min(kStageFrames, frames - done);
            out->render(reinterpret_cast<uint8_t*>(outStage_), n * kBytesPerFrame);
            if (!outL || !outR) {
                done += n;
                continue;
            }
            for (jack_nframes_t i = 0; i < n; ++i) {
                outL[done + i] = outStage_[2 * i] * kScale;
                outR[done + i] = outStage_[2 * i + 1] * kScale;
            }
            done += n;
        }
    } else if (outL && outR) {
        std::memset(outL, 0, frames * sizeof(float));
        std::memset(outR, 0, frames * sizeof(float));
    }
    output_.inside.store(false);
    return playing;
}

}  // namespace loudara
