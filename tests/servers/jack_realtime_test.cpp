// ON-AIR with the chain in Loudara's JACK period, measured on a JACK server of the test's own
// (dummy driver, 48 kHz): a sender client plays a signal into loudara:in_1/in_2 and a listener
// client records loudara:out_1, both by JACK frame time, so the delay through Loudara is counted
// in frames. The recording must be the file export of the same input (the chain run over it in
// one piece, its delay dropped) at an offset of the latency the ports report plus at most one
// period, for several period sizes; and the process callback must not allocate while knobs
// turn and the parameter file is loaded again.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <thread>

#include "app/app_state.h"
#include "audio/jack_device.h"
#include "audio/onair_service.h"
#include "audio/poll_event_loop.h"
#include "audio/streaming.h"
#include "files/peak_level.h"
#include "files/wav_file.h"
#include "persistence/parameter_file.h"
#include "processor/processor.h"
#include "recording_host.h"
#include "servers/jack_stream_parts.h"
#include "servers/test_servers.h"
#include "wav_writer.h"

// The replaced operators pair malloc with free; GCC's check cannot see that through them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Allocations made on the watched thread (Loudara's JACK process thread), counted for the whole
// process: every operator new goes through here.
namespace {
std::atomic<bool> gWatching{false};
pthread_t gWatchedThread{};
std::atomic<uint64_t> gWatchedAllocations{0};

void noteAllocation() {
    if (gWatching.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), gWatchedThread)) {
        gWatchedAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}
}  // namespace

void* operator new(std::size_t size) {
    noteAllocation();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    noteAllocation();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace loudara {
namespace {

using test::Clock;
using test::DummyJackServer;

constexpr int kRate = 48000;

// A JACK client of the test's: `sender` plays `signal` on two output ports from the first period
// after arm(); `listener` records one input port by frame time from the same frame on.
class Probe {
public:
    Probe(const char* name, bool sender, std::size_t recordFrames = 0) : sender_(sender) {
        jack_status_t status{};
        client_ = jack_client_open(name, JackNoStartServer, &status);
        if (!client_) return;
        for (int c = 0; c < (sender ? 2 : 1); ++c) {
            const std::string port = (sender ? "send_" : "listen_") + std::to_string(c + 1);
            ports_[c] = jack_port_register(client_, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           sender ? JackPortIsOutput : JackPortIsInput, 0);
        }
        recorded_.assign(recordFrames, 0.0f);
        jack_set_process_callback(client_, &Probe::thunk, this);
        jack_activate(client_);
    }
    ~Probe() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    jack_client_t* client() { return client_; }
    std::string portName(int c) const { return jack_port_name(ports_[c]); }

    // Sender: the signal (one value for both channels), and the chain whose processed frames at
    // the start are noted (it runs after the sender within a period).
    void play(std::vector<float> signal, const RealtimeChain* chain) {
        signal_ = std::move(signal);
        chain_ = chain;
        startFrame_.store(-1);
        armed_.store(true);
    }
    // Listener: records from the frame `sender` starts its signal at (it runs before us in the
    // same period: sender -> loudara -> listener).
    void recordFrom(const Probe* sender) { follows_.store(sender); }

    int64_t startFrame() const { return startFrame_.load(); }
    uint64_t chainFramesAtStart() const { return chainFramesAtStart_.load(); }
    bool full() const { return filled_.load() >= recorded_.size(); }
    std::size_t filled() const { return filled_.load(); }
    const std::vector<float>& recorded() const { return recorded_; }

private:
    static int thunk(jack_nframes_t frames, void* self) { return static_cast<Probe*>(self)->process(frames); }
    int process(jack_nframes_t frames) {
        const int64_t now = jack_last_frame_time(client_);
        if (sender_) {
            float* out[2] = {static_cast<float*>(jack_port_get_buffer(ports_[0], frames)),
                             static_cast<float*>(jack_port_get_buffer(ports_[1], frames))};
            if (armed_.load() && startFrame_.load() < 0) {
                chainFramesAtStart_.store(chain_ ? chain_->framesProcessed() : 0);
                startFrame_.store(now);
            }
            const int64_t start = startFrame_.load();
            for (jack_nframes_t i = 0; i < frames; ++i) {
                const int64_t k = now + i - start;
                const float x = start >= 0 && k >= 0 && k < static_cast<int64_t>(signal_.size()) ? signal_[k] : 0.0f;
                out[0][i] = out[1][i] = x;
            }
            return 0;
        }
        const float* in = static_cast<const float*>(jack_port_get_buffer(ports_[0], frames));
        const Probe* sender = follows_.load();
        const int64_t from = sender ? sender->startFrame() : -1;
        if (from < 0) return 0;
        for (jack_nframes_t i = 0; i < frames; ++i) {
            const int64_t k = now + i - from;
            if (k >= 0 && k < static_cast<int64_t>(recorded_.size())) {
                recorded_[k] = in[i];
                filled_.store(std::max<std::size_t>(filled_.load(), k + 1));
            }
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[2] = {};
    bool sender_;
    std::vector<float> signal_;
    const RealtimeChain* chain_ = nullptr;
    std::atomic<bool> armed_{false};
    std::atomic<int64_t> startFrame_{-1};
    std::atomic<uint64_t> chainFramesAtStart_{0};
    std::atomic<const Probe*> follows_{nullptr};
    std::vector<float> recorded_;
    std::atomic<std::size_t> filled_{0};
};

class JackRealtime : public ::testing::Test, protected test::JackStreamParts {
protected:
    // A test goes on only when this returned true: its server and streaming parts are ready.
    [[nodiscard]] bool ready(int periodFrames, JackOptions options = {}) {
        startJackStream(kRate, periodFrames, std::move(options));
        if (HasFatalFailure() || IsSkipped()) return false;
        app->stored.onAirRateChoice = 2;
        return true;
    }
    // ON-AIR started as the window's Play does.
    StartResult startOnAir() {
        if (!app->onAirMode) ToggleOnAirMode(*s);
        return StartPlayback(*s);
    }
    void TearDown() override { stopJackStream(); }
    void turn(double seconds) {
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (Clock::now() < until) loop.runOnce(*s, 20);
    }
};

// A 16-bit signal as floats the chain reads back exactly: music-like tones, then an impulse.
std::vector<float> testSignal(int frames, int impulseAt) {
    std::vector<float> x(frames);
    for (int n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const double v = n < impulseAt - kRate / 4
                             ? 7000 * std::sin(2 * M_PI * 110 * t) + 3000 * std::sin(2 * M_PI * 1234.5 * t) +
                                   1500 * std::sin(2 * M_PI * 6100 * t)
                             : 0.0;
        x[n] = static_cast<float>(std::lround(v)) / 32768.0f;
    }
    x[impulseAt] = 20000.0f / 32768.0f;
    return x;
}

// The export of `signal`: the chain prepared as ON-AIR prepares it, run over `leadIn` frames of
// silence (what it processed before the signal came) and the signal followed by its delay in
// silence, the delay dropped.
std::vector<int16_t> exported(const Processor& program, const std::vector<float>& signal, uint64_t leadIn) {
    auto q = std::make_unique<Processor>(program);
    prepare(*q, kRate);
    const int latency = chainLatencyFrames(*q);
    std::vector<int16_t> in(2 * (leadIn + signal.size() + latency), 0), out(in.size());
    for (std::size_t n = 0; n < signal.size(); ++n) {
        in[2 * (leadIn + n)] = in[2 * (leadIn + n) + 1] = static_cast<int16_t>(std::lrintf(signal[n] * 32768.0f));
    }
    processBlock(*q, static_cast<int32_t>(in.size()), in.data(), out.data());
    std::vector<int16_t> left(signal.size());
    for (std::size_t n = 0; n < signal.size(); ++n) left[n] = out[2 * (leadIn + latency + n)];
    return left;
}

// One measurement on a fresh server: the offset at which the recording is the export (-1 when
// there is none near the reported latency), the impulse's own delay, and the xruns meanwhile.
struct LatencyRun {
    int latency = 0;
    int offset = -1;
    long impulseOffset = 0;
    jack_latency_range_t reported{};
    uint64_t xruns = 0;
    bool complete = false;  // the listener got every period
    bool disturbed() const { return xruns > 0 || !complete; }
};

TEST_F(JackRealtime, OutputIsTheExportAtTheReportedLatencyPlusAtMostOnePeriod) {
    auto measure = [&](int period, LatencyRun& run) {
        if (!ready(period)) return;
        // The export's processor: the program's as ON-AIR starts from it.
        auto program = std::make_unique<Processor>(*p);
        program->settings.normalizeGain = 1.0;
        ASSERT_EQ(startOnAir(), StartResult::Started);
        ASSERT_TRUE(engine->realtime) << "ON-AIR on the JACK client runs the chain in the period";
        run.latency = chainLatencyFrames(*p);

        constexpr int kFrames = kRate;  // one second
        constexpr int kImpulseAt = kRate * 3 / 4;
        const std::vector<float> signal = testSignal(kFrames, kImpulseAt);
        auto sender = std::make_unique<Probe>("lt_send", true);
        auto listener = std::make_unique<Probe>("lt_listen", false, kFrames + run.latency + 2 * period);
        ASSERT_TRUE(sender->ok() && listener->ok());
        jack_client_t* c = sender->client();
        ASSERT_EQ(jack_connect(c, sender->portName(0).c_str(), "loudara:in_1"), 0);
        ASSERT_EQ(jack_connect(c, sender->portName(1).c_str(), "loudara:in_2"), 0);
        ASSERT_EQ(jack_connect(c, "loudara:out_1", listener->portName(0).c_str()), 0);
        turn(0.3);
        // The latency the ports report, as a recorder reads it.
        jack_port_get_latency_range(jack_port_by_name(c, "loudara:out_1"), JackCaptureLatency, &run.reported);

        const uint64_t xrunsBefore = platform->xruns();
        listener->recordFrom(sender.get());
        sender->play(signal, engine->realtime.get());
        const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
        while (!listener->full() && Clock::now() < until) loop.runOnce(*s, 20);
        run.xruns = platform->xruns() - xrunsBefore;
        run.complete = listener->full();
        if (!run.complete) std::printf("recorded %zu frames of %zu\n", listener->filled(), listener->recorded().size());

        const std::vector<int16_t> expected = exported(*program, signal, sender->chainFramesAtStart());
        std::vector<int16_t> got(listener->recorded().size());
        for (std::size_t n = 0; n < got.size(); ++n) got[n] = static_cast<int16_t>(std::lrintf(listener->recorded()[n] * 32768.0f));
        // The offset at which the recording is the export, looked for from the reported latency on.
        for (int d = run.latency; d <= run.latency + 2 * period && run.offset < 0; ++d) {
            if (std::equal(expected.begin(), expected.end(), got.begin() + d)) run.offset = d;
        }
        // The impulse as a measurement of its own: its largest answer against the export's.
        auto loudest = [](auto from, auto to) {
            return std::max_element(from, to, [](int16_t a, int16_t b) { return std::abs(a) < std::abs(b); });
        };
        run.impulseOffset = (loudest(got.begin() + kImpulseAt, got.end()) - got.begin()) -
                            (loudest(expected.begin() + kImpulseAt, expected.end()) - expected.begin());

        StopPlayback(*s);
        sender.reset();
        listener.reset();
        s.reset();
        engine.reset();
        platform.reset();
        server.reset();
    };

    int measured = 0;
    for (const int period : {64, 128, 256, 1024}) {
        SCOPED_TRACE("period " + std::to_string(period));
        // A period the server lost (an xrun on a busy machine) shifts the input against the
        // recording; such a run is measured again, and a period size no run gets through
        // undisturbed is said, not hidden.
        LatencyRun run;
        for (int attempt = 0; attempt < 4; ++attempt) {
            run = LatencyRun{};
            measure(period, run);
            if (HasFatalFailure() || IsSkipped()) return;
            if (run.offset >= 0 || !run.disturbed()) break;
        }
        EXPECT_EQ(run.reported.min, static_cast<jack_nframes_t>(run.latency));
        EXPECT_EQ(run.reported.max, static_cast<jack_nframes_t>(run.latency));
        if (run.offset < 0 && run.disturbed()) {
            std::printf("period %4d: not measured, every run lost periods (%llu xruns in the last)\n", period,
                        static_cast<unsigned long long>(run.xruns));
            continue;
        }
        ASSERT_GE(run.offset, 0) << "the recording is not the export at any offset near the reported latency";
        EXPECT_LE(run.offset, run.latency + period);
        EXPECT_EQ(run.impulseOffset, run.offset);
        ++measured;
        std::printf("period %4d: reported latency %d frames (%.2f ms), measured %d frames (%.2f ms)\n", period,
                    run.latency, run.latency * 1000.0 / kRate, run.offset, run.offset * 1000.0 / kRate);
        RecordProperty("latency_ms_period_" + std::to_string(period), std::to_string(run.offset * 1000.0 / kRate));
    }
    if (measured == 0) GTEST_SKIP() << "SKIP: the machine lost JACK periods in every run; nothing was measured";
}

class QuietListener : public OnAirListener {
public:
    void logLine(const std::string& line) override { lines.push_back(line); }
    void showProgress(const OnAirProgress& progress) override { last = progress; }
    std::vector<std::string> lines;
    OnAirProgress last;
};

TEST_F(JackRealtime, TheCallbackNeverAllocatesThroughKnobTurnsAndAReload) {
    if (!ready(256)) return;
    const std::string params = (std::filesystem::temp_directory_path() /
                                ("loudara_rt_" + std::to_string(getpid()) + ".ld3"))
                                   .string();
    {
        auto other = std::make_unique<Processor>();
        selectPresetById(*other, 340);
        std::string error;
        ASSERT_TRUE(SaveParameterFile(*other, app->stored, params, "", error)) << error;
    }
    OnAirOptions options;
    options.rate = kRate;
    options.jackUsed = true;
    options.params = params;
    options.statusInterval = 1;
    QuietListener listener;
    OnAirService service({*s, app->stored, loop, *platform}, options, listener);
    ASSERT_EQ(service.start(), StartResult::Started);
    ASSERT_TRUE(engine->realtime);
    Probe sender("lt_send", true);
    ASSERT_TRUE(sender.ok());
    ASSERT_EQ(jack_connect(sender.client(), sender.portName(0).c_str(), "loudara:in_1"), 0);
    sender.play(testSignal(10 * kRate, 10 * kRate - 1), nullptr);

    // The counter counts (on this thread), then watches Loudara's process thread.
    gWatchedThread = pthread_self();
    gWatching.store(true);
    int* volatile kept = new int(1);
    delete kept;
    gWatching.store(false);
    ASSERT_EQ(gWatchedAllocations.load(), 1u);
    gWatchedThread = platform->processThread();
    gWatchedAllocations.store(0);
    gWatching.store(true);
    const uint64_t periodsBefore = engine->realtime->periods();
    for (int step = 0; step < 20; ++step) {
        // The window's knobs: bass EQ gain, the envelope times, a band's drive, the final low-pass.
        p->settings.bassEqGainDb = step % 2 ? 9 : 4;
        retuneBassEq(*p);
        p->params.bandReleaseTime = 1 + step % 4;
        retuneEnvelopeTimes(*p);
        p->bands[2].driveDb = 10 + step % 7;
        p->settings.finalLowpass = step % 3;
        retuneFinalLowpass(*p);
        if (step == 10) service.requestReload();
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(150);
        while (Clock::now() < until) {
            loop.runOnce(*s, 20);
            service.tick();
        }
    }
    gWatching.store(false);
    EXPECT_EQ(gWatchedAllocations.load(), 0u);
    EXPECT_EQ(service.status().reloads, 1u);
    EXPECT_GT(engine->realtime->periods() - periodsBefore, 200u);  // of the 560 in 3 s, whatever a busy machine loses
    EXPECT_GE(engine->realtime->parameterChanges(), 10u);
    EXPECT_EQ(engine->realtime->framesDropped(), 0u);
    // The status says the latency, that the chain runs in the period, and the xruns.
    ASSERT_FALSE(listener.lines.empty());
    EXPECT_NE(listener.lines[0].find("latency 20.3 ms (the chain runs in the JACK period)"), std::string::npos)
        << listener.lines[0];
    const OnAirStatus& status = service.status();
    EXPECT_TRUE(status.chainInPeriod);
    // The final low-pass and the reloaded file change the chain's delay (893 to 974 frames here).
    EXPECT_GE(status.latencyMs, 893 * 1000.0 / kRate);
    EXPECT_LE(status.latencyMs, 974 * 1000.0 / kRate);
    char shown[32];
    std::snprintf(shown, sizeof shown, "latency %.1f ms", status.latencyMs);
    EXPECT_NE(StatusLineText(status).find(shown), std::string::npos) << StatusLineText(status);
    const nlohmann::json json = nlohmann::json::parse(StatusJsonText(status));
    EXPECT_EQ(json["chainInPeriod"], true);
    EXPECT_EQ(json["xruns"], status.xruns);
    // The ports follow the delay the settings give now.
    const Clock::time_point settle = Clock::now() + std::chrono::milliseconds(400);
    while (Clock::now() < settle) {
        loop.runOnce(*s, 20);
        service.tick();
    }
    jack_latency_range_t range{};
    jack_port_get_latency_range(jack_port_by_name(sender.client(), "loudara:out_2"), JackCaptureLatency, &range);
    EXPECT_EQ(range.max, static_cast<jack_nframes_t>(chainLatencyFrames(*p)));
    ASSERT_TRUE(StopCommand(*s));
    service.run();
    service.finish();
    std::filesystem::remove(params);
}

// A recorder of one port by JACK frame time from arm() on. Given the song chain that plays, it
// also notes the frame the song's first frame was processed in: the chain has processed nothing
// but the song, and runs before us in the period.
class Recorder {
public:
    Recorder(const char* name, std::size_t frames) : recorded_(frames, 0.0f) {
        jack_status_t status{};
        client_ = jack_client_open(name, JackNoStartServer, &status);
        if (!client_) return;
        port_ = jack_port_register(client_, "listen_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Recorder::thunk, this);
        jack_activate(client_);
    }
    ~Recorder() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ && port_; }
    jack_client_t* client() { return client_; }
    void arm() { armed_.store(true); }
    void watch(const RealtimeChain* chain) { chain_.store(chain); }
    // Frames from arm() to the song's first frame (-1 until seen).
    int64_t songStart() const { return songStart_.load(); }
    const std::vector<float>& recorded() const { return recorded_; }
    std::vector<int16_t> samples() const {
        std::vector<int16_t> out(recorded_.size());
        for (std::size_t n = 0; n < out.size(); ++n) out[n] = static_cast<int16_t>(std::lrintf(recorded_[n] * 32768.0f));
        return out;
    }

private:
    static int thunk(jack_nframes_t frames, void* self) { return static_cast<Recorder*>(self)->process(frames); }
    int process(jack_nframes_t frames) {
        if (!armed_.load()) return 0;
        const int64_t now = jack_last_frame_time(client_);
        if (from_ < 0) from_ = now;
        if (const RealtimeChain* chain = chain_.load(); chain && songStart_.load() < 0 && chain->framesProcessed() > 0) {
            songStart_.store(now + frames - static_cast<int64_t>(chain->framesProcessed()) - from_);
        }
        const float* in = static_cast<const float*>(jack_port_get_buffer(port_, frames));
        for (jack_nframes_t i = 0; i < frames; ++i) {
            const int64_t k = now + i - from_;
            if (k >= 0 && k < static_cast<int64_t>(recorded_.size())) recorded_[k] = in[i];
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::atomic<bool> armed_{false};
    int64_t from_ = -1;  // the recorder's thread only
    std::atomic<const RealtimeChain*> chain_{nullptr};
    std::atomic<int64_t> songStart_{-1};
    std::vector<float> recorded_;
};

// The first offset from `from` on at which `got` holds `expected`, or -1.
long findExport(const std::vector<int16_t>& got, const std::vector<int16_t>& expected, std::size_t from) {
    for (std::size_t d = from; d + expected.size() <= got.size(); ++d) {
        if (std::equal(expected.begin(), expected.end(), got.begin() + d)) return static_cast<long>(d);
    }
    return -1;
}

// A song of the playlist at `index`: `left` on both channels of a 48 kHz WAV file.
void listSong(AppState& app, int index, const std::string& path, const std::vector<float>& left) {
    std::vector<int16_t> samples(2 * left.size());
    for (std::size_t n = 0; n < left.size(); ++n) {
        samples[2 * n] = samples[2 * n + 1] = static_cast<int16_t>(std::lrintf(left[n] * 32768.0f));
    }
    ASSERT_TRUE(test::writePcmWav(path, samples, 2, kRate));
    SongRecord& song = app.playlist.songs[index];
    ASSERT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
    std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
    app.playlist.songCount = std::max(app.playlist.songCount, index + 1);
}

std::string songPath(const char* name) {
    return (std::filesystem::temp_directory_path() / ("loudara_play_" + std::to_string(getpid()) + "_" + name)).string();
}

// The export of a song: the chain from its start, its delay dropped (and run out on silence).
std::vector<int16_t> songExport(const Processor& program, const SongRecord& song, const std::vector<float>& left) {
    auto q = std::make_unique<Processor>(program);
    q->settings.normalizeGain = NormalizeGainOf(song);
    return exported(*q, left, 0);
}

// One song played on a fresh server: where its export was found in the recording against the
// frame its first frame went in, the latency the port reported, and whether the server lost
// periods or the song's ring ran dry meanwhile.
struct PlayRun {
    long start = -1, at = -1;
    jack_latency_range_t reported{};
    bool disturbed = false;
};

TEST_F(JackRealtime, PlayedSongIsItsExportAtTheChainsDelayWhateverThePeriod) {
    constexpr int kFrames = kRate * 3 / 2;
    constexpr int kClickAt = kRate * 5 / 4;
    std::vector<float> left = testSignal(kFrames, kClickAt);
    std::fill(left.begin(), left.begin() + kRate / 10, 0.0f);  // a tenth of a second of silence first
    const std::string path = songPath("click.wav");
    auto measure = [&](int period, PlayRun& run, std::vector<int16_t>& expected) {
        if (!ready(period, JackOptions{"loudara", {}, {"pl_listen:listen_1"}})) return;
        listSong(*app, 0, path, left);
        if (HasFatalFailure()) return;
        expected = songExport(*p, app->playlist.songs[0], left);
        Recorder recorder("pl_listen", kFrames + 3 * kRate);
        ASSERT_TRUE(recorder.ok());
        recorder.arm();
        app->playlist.currentSong = 0;
        // A loaded machine's server can turn a client away; that run is measured again.
        const StartResult started = StartPlayback(*s);
        run.disturbed = started == StartResult::DevicesNotOpened;
        if (run.disturbed) return;
        ASSERT_EQ(started, StartResult::Started);
        ASSERT_TRUE(engine->realtime) << "a song to the JACK client plays in the period";
        ASSERT_TRUE(engine->realtime->songSource());
        recorder.watch(engine->realtime.get());
        const uint64_t xrunsBefore = platform->xruns();
        const Clock::time_point until = Clock::now() + std::chrono::seconds(15);
        while (recorder.songStart() < 0 && Clock::now() < until) loop.runOnce(*s, 5);
        recorder.watch(nullptr);
        jack_port_get_latency_range(jack_port_by_name(recorder.client(), "loudara:out_1"), JackCaptureLatency,
                                    &run.reported);
        while (app->playState != PlayState::Stopped && Clock::now() < until) loop.runOnce(*s, 20);
        ASSERT_EQ(app->playState, PlayState::Stopped);
        run.disturbed = platform->xruns() != xrunsBefore || engine->outputCountersAtDrain.underflows > 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        run.start = recorder.songStart();
        run.at = findExport(recorder.samples(), expected, 0);
    };
    int measured = 0;
    for (const int period : {64, 128, 256, 1024}) {
        SCOPED_TRACE("period " + std::to_string(period));
        // A run the busy machine lost periods in is measured again; a period size no run gets
        // through undisturbed is said, not hidden.
        PlayRun run;
        for (int attempt = 0; attempt < 4; ++attempt) {
            run = PlayRun{};
            std::vector<int16_t> expected;
            measure(period, run, expected);
            TearDown();
            if (HasFatalFailure() || IsSkipped()) break;
            if (run.at >= 0 || !run.disturbed) break;
        }
        if (HasFatalFailure() || IsSkipped()) break;
        if (run.at < 0 && run.disturbed) {
            std::printf("period %4d: not measured, every run lost periods\n", period);
            continue;
        }
        const int latency = chainLatencyFrames(*p);
        ASSERT_GE(run.start, 0);
        ASSERT_GE(run.at, 0) << "the recording is not the song's export";
        EXPECT_EQ(run.reported.max, static_cast<jack_nframes_t>(latency));
        // Where the song is heard against where its first frame went in.
        const long offset = run.at - run.start;
        EXPECT_GE(offset, latency);
        EXPECT_LE(offset, latency + period);
        ++measured;
        std::printf("period %4d: the song heard %ld frames (%.2f ms) after its frames went in; chain %d\n", period,
                    offset, offset * 1000.0 / kRate, latency);
        RecordProperty("play_latency_ms_period_" + std::to_string(period), std::to_string(offset * 1000.0 / kRate));
    }
    std::filesystem::remove(path);
    if (measured == 0 && !HasFailure()) GTEST_SKIP() << "SKIP: the machine lost JACK periods in every run";
}

TEST_F(JackRealtime, TwoSongsEachSoundAsTheirExportAndTheCallbackNeverAllocates) {
    constexpr int kFrames = kRate;
    std::vector<float> first = testSignal(kFrames, kFrames - 2000), second(kFrames);
    for (int n = 0; n < kFrames; ++n) second[n] = first[(n * 7) % kFrames] * 0.5f;  // other music
    const std::string paths[2] = {songPath("one.wav"), songPath("two.wav")};
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!ready(256, JackOptions{"loudara", {}, {"pl_listen:listen_1"}})) return;
        listSong(*app, 0, paths[0], first);
        listSong(*app, 1, paths[1], second);
        if (HasFatalFailure()) return;
        const std::vector<int16_t> expected[2] = {songExport(*p, app->playlist.songs[0], first),
                                                  songExport(*p, app->playlist.songs[1], second)};
        auto recorder = std::make_unique<Recorder>("pl_listen", 6 * kRate);
        ASSERT_TRUE(recorder->ok());
        recorder->arm();
        app->continuousPlayback = 1;
        app->playlist.currentSong = 0;
        const StartResult started = StartPlayback(*s);
        if (started == StartResult::DevicesNotOpened) {  // the loaded server turned the client away
            recorder.reset();
            TearDown();
            continue;
        }
        ASSERT_EQ(started, StartResult::Started);
        ASSERT_TRUE(engine->realtime);

        // Each song's client runs its own process thread; the counter watches whichever runs now.
        gWatchedAllocations.store(0);
        gWatchedThread = platform->processThread();
        gWatching.store(true);
        uint64_t lost = 0;
        bool secondStarted = false;
        const Clock::time_point until = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < until && !(secondStarted && app->playState == PlayState::Stopped)) {
            loop.runOnce(*s, 5);
            if (platform->clientOpen()) {
                gWatchedThread = platform->processThread();
                lost = std::max(lost, platform->xruns());
            }
            secondStarted = secondStarted || app->playlist.playingSong == 1;
        }
        gWatching.store(false);
        if (!secondStarted && loop.lastTimerResult == static_cast<int>(StartResult::DevicesNotOpened)) {
            recorder.reset();
            TearDown();
            continue;
        }
        ASSERT_TRUE(secondStarted);
        ASSERT_EQ(app->playState, PlayState::Stopped);
        EXPECT_EQ(gWatchedAllocations.load(), 0u);

        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::vector<int16_t> got = recorder->samples();
        recorder.reset();
        TearDown();
        const long one = findExport(got, expected[0], 0);
        const long two = one >= 0 ? findExport(got, expected[1], one + kFrames) : -1;
        if ((one < 0 || two < 0) && lost > 0) continue;  // the server lost periods: again
        for (const std::string& path : paths) std::filesystem::remove(path);
        ASSERT_GE(one, 0) << "the first song is not its export";
        ASSERT_GE(two, 0) << "the second song is not its export from a cleared chain";
        // Between them silence: the first song's end ran out within its export, and the second's
        // chain starts its delay (the frames before its export) only when the song does.
        const int latency = chainLatencyFrames(*p);
        ASSERT_GE(two - latency, one + kFrames);
        for (long n = one + kFrames; n < two - latency; ++n) ASSERT_EQ(got[n], 0) << "at " << n;
        return;
    }
    for (const std::string& path : paths) std::filesystem::remove(path);
    GTEST_SKIP() << "SKIP: the machine lost JACK periods in every run";
}

// Stands in for the input once, for longer than a period: our own callback finishes late.
class SlowStandIn : public InputStandIn {
public:
    bool standIn(const int16_t*, int16_t*, std::size_t, uint32_t) override {
        if (stall.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return false;
    }
    std::atomic<bool> stall{false};
};

TEST_F(JackRealtime, APeriodOurCallbackFinishesLateIsCountedAndShown) {
    if (!ready(256)) return;
    SlowStandIn slow;
    engine->standIn = &slow;
    ASSERT_EQ(startOnAir(), StartResult::Started);
    ASSERT_TRUE(engine->realtime);
    turn(0.3);
    const uint64_t before = platform->latePeriods();
    EXPECT_NE(OnAirFiguresText(*s).find("late " + std::to_string(before)), std::string::npos) << OnAirFiguresText(*s);
    slow.stall.store(true);
    turn(0.3);
    EXPECT_FALSE(slow.stall.load()) << "the callback never ran the stand-in";
    EXPECT_GE(platform->latePeriods(), before + 1);
    EXPECT_EQ(engine->output->counters().latePeriods, platform->latePeriods());
    const std::string shown = OnAirFiguresText(*s);
    EXPECT_NE(shown.find("late " + std::to_string(platform->latePeriods())), std::string::npos) << shown;
    StopPlayback(*s);
    engine->standIn = nullptr;
}

// What the stream encoder would get: every processed frame drained from the chain (left channel).
class TappedFrames : public BlockTap {
public:
    void processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t) override {
        for (std::size_t n = 0; n < frames; ++n) left.push_back(interleaved[2 * n]);
    }
    std::vector<int16_t> left;
};

TEST_F(JackRealtime, OnAirWithNoLocalOutputStreamsTheExportFromTheJackPeriod) {
    // --output none: the client's output stays unconnected; the input's clock paces the chain.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!ready(256)) return;
        TappedFrames tapped;
        engine->tap = &tapped;
        ASSERT_EQ(startOnAir(), StartResult::Started);
        ASSERT_TRUE(engine->realtime) << "the chain runs in the period with no output connected";
        auto program = std::make_unique<Processor>(*p);
        program->settings.normalizeGain = 1.0;
        const std::vector<float> signal = testSignal(kRate, kRate * 3 / 4);
        auto sender = std::make_unique<Probe>("lt_send", true);
        ASSERT_TRUE(sender->ok());
        ASSERT_EQ(jack_connect(sender->client(), sender->portName(0).c_str(), "loudara:in_1"), 0);
        ASSERT_EQ(jack_connect(sender->client(), sender->portName(1).c_str(), "loudara:in_2"), 0);
        turn(0.2);
        const uint64_t xrunsBefore = platform->xruns();
        sender->play(signal, engine->realtime.get());
        turn(1.6);
        const bool lost = platform->xruns() != xrunsBefore;
        StopPlayback(*s);
        engine->tap = nullptr;
        const uint64_t leadIn = sender->chainFramesAtStart();
        const std::vector<int16_t> expected = exported(*program, signal, leadIn);
        const long at = findExport(tapped.left, expected, 0);
        sender.reset();
        TearDown();
        if (at < 0 && lost) continue;
        ASSERT_GE(at, 0) << "the streamed frames are not the export";
        // Every frame the chain made reached the stream: the export lies where the signal went in,
        // after the chain's delay.
        EXPECT_EQ(static_cast<uint64_t>(at), leadIn + chainLatencyFrames(*program));
        return;
    }
    GTEST_SKIP() << "SKIP: the machine lost JACK periods in every run";
}

TEST_F(JackRealtime, StopPlaysTheQueuedSongOutThenSilenceAndNoSongFollows) {
    constexpr int kFrames = 4 * kRate;
    const std::vector<float> left = testSignal(kFrames, kFrames - 1);
    const std::string paths[2] = {songPath("stop1.wav"), songPath("stop2.wav")};
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!ready(256, JackOptions{"loudara", {}, {"pl_listen:listen_1"}})) return;
        listSong(*app, 0, paths[0], left);
        listSong(*app, 1, paths[1], left);
        if (HasFatalFailure()) return;
        const std::vector<int16_t> expected = songExport(*p, app->playlist.songs[0], left);
        auto recorder = std::make_unique<Recorder>("pl_listen", 3 * kRate);
        ASSERT_TRUE(recorder->ok());
        recorder->arm();
        app->continuousPlayback = 1;
        app->playlist.currentSong = 0;
        const StartResult started = StartPlayback(*s);
        if (started == StartResult::DevicesNotOpened) {  // the loaded server turned the client away
            recorder.reset();
            TearDown();
            continue;
        }
        ASSERT_EQ(started, StartResult::Started);
        turn(0.5);
        const uint64_t lostBefore = platform->xruns();
        ASSERT_TRUE(StopCommand(*s));
        EXPECT_EQ(app->playState, PlayState::Draining);
        // The queued blocks (4 of 4096 frames) and the chain's delay: well within a second.
        const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        uint64_t lost = 0;
        while (app->playState != PlayState::Stopped && Clock::now() < until) {
            lost = platform->xruns() - lostBefore;
            loop.runOnce(*s, 10);
        }
        EXPECT_EQ(app->playState, PlayState::Stopped);
        turn(0.3);
        EXPECT_FALSE(loop.timerActive(kNextSongTimer));
        EXPECT_EQ(app->playlist.playingSong, 0) << "no song follows a stop";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::vector<int16_t> got = recorder->samples();
        recorder.reset();
        TearDown();
        if (lost > 0 || lostBefore > 0) continue;  // the server lost periods: the sound again
        for (const std::string& path : paths) std::filesystem::remove(path);
        // What was heard is the song's export up to where reading stopped, then silence.
        const long at = findExport(got, std::vector<int16_t>(expected.begin(), expected.begin() + kRate / 4), 0);
        ASSERT_GE(at, 0);
        long heard = 0;
        while (at + heard < static_cast<long>(got.size()) && heard < kFrames && got[at + heard] == expected[heard]) ++heard;
        EXPECT_GE(heard, kRate / 2) << "the song up to the stop and its queued blocks";
        EXPECT_LE(heard, kRate / 2 + 5 * 4096 + 2 * 256);
        for (long n = at + heard + chainLatencyFrames(*p); n < static_cast<long>(got.size()); ++n) {
            ASSERT_EQ(got[n], 0) << "after the song's last sound, at " << n - at - heard;
        }
        return;
    }
    for (const std::string& path : paths) std::filesystem::remove(path);
    GTEST_SKIP() << "SKIP: the machine lost JACK periods in every run";
}

}  // namespace
}  // namespace loudara
