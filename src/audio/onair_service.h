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

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "audio/icecast_output.h"
#include "audio/jack_device.h"
#include "audio/onair_status.h"
#include "audio/poll_event_loop.h"
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
};

// The figures of the line shown in place when the service reports nothing else.
struct OnAirProgress {
    int rate = 0;
    double elapsedSeconds = 0;
    uint64_t underflows = 0, overflows = 0;
    uint64_t xruns = 0;
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

private:
    void reload();
    void fillRecord(double elapsed);
    void writeStatusFile();
    void takeJackLog();
    double elapsed() const;

    OnAirParts parts_;
    OnAirOptions options_;
    OnAirListener& listener_;
    int requests_[2] = {-1, -1};  // a pipe: what requestStop/requestReload ask, read by the loop
    int rate_ = 0;
    bool reporting_ = false;  // status lines, a status file or a stream
    std::unique_ptr<IcecastOutput> stream_;
    std::unique_ptr<LoudnessTap> tap_;
    std::optional<StreamStateLog> streamLog_;
    OnAirStatus record_;
    std::chrono::steady_clock::time_point begin_;
    double nextReport_ = 0;
    int interrupts_ = 0;
    OnAirSummary summary_;
};

}  // namespace loudara
