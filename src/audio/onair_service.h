#pragma once
// The ON-AIR service: the input device's sound processed live to the output device and/or an
// Icecast stream until it is asked to stop, the parameter file applied again on request, and its
// status reported as log lines, as an updating line and as a status file.
//
// A front end builds the streaming parts (devices chosen, parameters loaded), then:
//     OnAirService service(parts, options, listener);
//     if (service.start() != StartResult::Started) ...;  // the devices did not open
//     service.run();                                       // until stopped (or time is up)
//     const OnAirSummary summary = service.finish();
// requestStop() and requestReload() may be called from any thread or from a signal handler; the
// loop takes them up within a quarter of a second. A front end with an event loop of its own
// dispatches the device notices itself and calls tick() instead of run().
//
// A remote control (the HTTP server) reaches the service through post(): its jobs run on the
// service's own thread between two turns of the loop, where the chain's settings may change as
// they do on SIGHUP; and it may take the meters about ten times a second (setMeterSink).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/event_command.h"
#include "audio/fallback_source.h"
#include "audio/icecast_output.h"
#include "audio/jack_device.h"
#include "audio/now_playing.h"
#include "audio/onair_status.h"
#include "audio/poll_event_loop.h"
#include "audio/silence_alarm.h"
#include "audio/streaming.h"
#include "audio/wave_device.h"
#include "persistence/parameter_file.h"

namespace loudara {

// What the service is run with; the streaming parts are the front end's.
struct OnAirParts {
    Streaming& streaming;
    StoredSettings& stored;  // the same settings as streaming.devices
    PollEventLoop& loop;
    JackPlatform& jack;
};

struct OnAirOptions {
    int rate = 44100;
    bool rateGiven = false;  // false: with JACK, the server's rate when the processor runs at it
    bool jackUsed = false;   // the JACK client is the input or the output
    bool outputNone = false; // no local output (the stream alone)
    std::string params;      // the parameter file loaded again on request ("" when none)
    int seconds = -1;        // stop after this many seconds (-1: never)
    int statusInterval = 0;  // a status log line every so many seconds (0: none)
    std::string statusFile;  // the status as JSON ("" when none)
    std::optional<IcecastSettings> icecast;  // the stream, when there is one
    std::string metadataFile;  // the now-playing title, read again whenever it changes ("" when none)
    // Dead air: always watched and reported; the commands run when it begins and ends (no shell,
    // the event in LOUDARA_* variables), and the fallback songs stand in for a silent input.
    SilenceSettings silence;
    std::string onSilence, onSilenceEnd;      // "" when none
    std::vector<std::string> fallbackSongs;   // none: no fallback
};

// The meters at one moment, for a remote control's live display.
struct OnAirMeters {
    double uptimeSeconds = 0;
    // Peaks since the previous meters per channel (dBFS, -inf for silence).
    double inputPeakDbfs[2] = {0, 0}, outputPeakDbfs[2] = {0, 0};
    double momentaryLufs = 0, shortTermLufs = 0, integratedLufs = 0;
    double truePeakDbtp = 0;  // highest true peak since the previous meters
    // Gain reduction (dB, 0 or below): the AGC's two halves and the bands' highest since the
    // previous meters.
    double agcReductionDb[2] = {0, 0};
    double bandReductionDb[kBandCount] = {};
    bool bypass = false;
    bool stream = false;
    StreamState streamState = StreamState::Connecting;
    // Dead air: whether the output is silent now, for how long, and whether the fallback plays.
    bool silent = false;
    double silentSeconds = 0;
    bool fallbackPlaying = false;
};

// Takes the meters on the service's thread; it must return at once.
class OnAirMeterSink {
public:
    virtual ~OnAirMeterSink() = default;
    virtual void meters(const OnAirMeters& meters) = 0;
};

// The figures of the line shown in place when the service reports nothing else.
struct OnAirProgress {
    int rate = 0;
    double elapsedSeconds = 0;
    uint64_t underflows = 0, overflows = 0;
    uint64_t xruns = 0;
    uint64_t latePeriods = 0;
    double latencyMs = 0;
};

// Where the output of the service goes.
class OnAirListener {
public:
    virtual ~OnAirListener() = default;
    // One line for the log.
    virtual void logLine(const std::string& line) = 0;
    // Every turn of the loop while ON-AIR plays, when the service reports nothing else (no
    // status interval, no status file, no stream): the figures for a line shown in place.
    virtual void showProgress(const OnAirProgress& progress) = 0;
};

// Why the loop ended.
enum class OnAirEnding {
    Stopped,     // the time was up, or the stream stopped by itself
    Requested,   // requestStop()
    ServerGone,  // the JACK server went away
};

// What a finished run played and captured.
struct OnAirSummary {
    OnAirEnding ending = OnAirEnding::Stopped;
    WaveCounters output, input;
    long memoryAtStartKb = -1, memoryAtEndKb = -1;
    bool stream = false;
    IcecastOutput::Report streamReport;  // stream only
};

// Which changes of the stream's state are worth a log line: the first state after connecting
// that differs from the last one logged ("connected", or "lost"/"not connected" with the reason).
class StreamStateLog {
public:
    explicit StreamStateLog(std::string target) : target_(std::move(target)) {}
    // The line for this report, or nothing.
    std::optional<std::string> observe(const IcecastOutput::Report& report);

private:
    std::string target_;
    std::optional<StreamState> last_;
};

class OnAirService {
public:
    OnAirService(OnAirParts parts, OnAirOptions options, OnAirListener& listener);
    ~OnAirService();
    OnAirService(const OnAirService&) = delete;
    OnAirService& operator=(const OnAirService&) = delete;

    // Opens the devices in ON-AIR mode at the rate it runs at and starts the stream; anything
    // but Started means nothing runs.
    StartResult start();
    // Turns the loop until ON-AIR has stopped.
    void run();
    // One turn's work without waiting (requests, JACK connections, the stream's state, the
    // status); false once ON-AIR has stopped.
    bool tick();
    // Ends the stream, writes the last status and says how the run went.
    OnAirSummary finish();

    // Safe from any thread and from a signal handler.
    void requestStop();
    void requestReload();

    // The rate ON-AIR runs at (known after start()).
    int rate() const { return rate_; }
    // The status as last reported.
    const OnAirStatus& status() const { return record_; }

    // Safe from any thread: `job` runs on the service's thread at its next turn, or is dropped
    // unrun once the service has finished.
    void post(std::function<void()> job);
    // Before start(): who takes the meters about ten times a second while ON-AIR plays.
    void setMeterSink(OnAirMeterSink* sink) { meterSink_ = sink; }

    // The rest only on the service's thread (in a posted job).
    Processor& processor() { return parts_.streaming.processor; }
    StoredSettings& storedSettings() { return parts_.stored; }
    const std::string& paramsFile() const { return options_.params; }
    // The --params file again, as SIGHUP does; the log line begins with `cause`. `message` says
    // what happened.
    bool reloadParameters(const std::string& cause, std::string& message);
    // A whole parameter file applied (anything else is refused and the running settings kept).
    bool loadParameters(const std::string& path, std::string& why);
    // The now-playing title for the stream; false when there is no stream.
    bool setNowPlaying(const NowPlaying& playing);
    // How the last title fared at the server ("" when none was sent yet).
    std::string nowPlayingResult() const;
    // The status with its counters, loudness and stream figures as they stand now (the peaks
    // and the interval's true peak are those of the last status).
    const OnAirStatus& liveStatus();

private:
    void reload();
    void runJobs();
    void sendMeters(double now);
    void foldPeaks();
    void fillCounters(double elapsed);
    void checkNowPlayingFile();
    void fillRecord(double elapsed);
    void writeStatusFile();
    void takeJackLog();
    void watchSilence();
    void fillSilence();
    void runEventCommand(const std::string& command, const char* event, double silentSeconds);
    double elapsed() const;

    OnAirParts parts_;
    OnAirOptions options_;
    OnAirListener& listener_;
    int requests_[2] = {-1, -1};  // a pipe: what requestStop/requestReload ask, read by the loop
    int rate_ = 0;
    bool reporting_ = false;  // status lines, a status file or a stream
    std::unique_ptr<IcecastOutput> stream_;
    std::unique_ptr<LoudnessTap> tap_;
    std::unique_ptr<FallbackSource> fallback_;
    std::unique_ptr<SilenceAlarm> alarm_;
    EventCommands commands_;
    uint64_t silencesSeen_ = 0, soundsSeen_ = 0;
    std::optional<StreamStateLog> streamLog_;
    OnAirStatus record_;
    std::chrono::steady_clock::time_point begin_;
    double nextReport_ = 0;
    int interrupts_ = 0;
    OnAirSummary summary_;
    // Remote control.
    std::mutex jobsMutex_;
    std::vector<std::function<void()>> jobs_;
    bool finished_ = false;  // under jobsMutex_
    OnAirMeterSink* meterSink_ = nullptr;
    double nextMeters_ = 0;
    uint64_t meterBlocks_ = 0;
    // Peaks (sample magnitudes) since the last status and since the last meters: in L, in R, out L, out R.
    double statusPeaks_[4] = {}, meterPeaks_[4] = {};
    std::optional<NowPlayingFile> nowPlayingFile_;
    double nextNowPlayingCheck_ = 0;
    std::string nowPlayingError_;  // the file's last problem, logged once
};

}  // namespace loudara
