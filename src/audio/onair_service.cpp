#include "audio/onair_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "files/wav_file.h"

namespace loudara {
namespace {

inline constexpr char kStopByte = 1;
inline constexpr char kReloadByte = 2;

// Resident memory of this process in kB, from /proc/self/status; -1 when unknown.
long residentKb() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(f);
    return kb;
}

// Peak since the last look in dBFS (-inf for silence); the meter restarts.
double peakDb(double& left, double& right) {
    const double peak = std::max(left, right);
    left = right = 0;
    return peak < 1 ? -std::numeric_limits<double>::infinity() : 20.0 * std::log10(peak / 32768.0);
}

WaveCounters countersOf(const std::unique_ptr<WaveDevice>& device, const WaveCounters& otherwise) {
    return device ? device->counters() : otherwise;
}

// A parameter file given again: applied only when it is whole (a file being copied in place, or
// one that is not a parameter file, must not half-change a station's sound).
bool reloadParameters(Processor& p, StoredSettings& stored, Host& host, const std::string& path, std::string& why) {
    // Opened without waiting: a FIFO put in the file's place is refused, it never stops the service.
    const FileHandle f = OpenFile(path.c_str(), "rb");
    if (!f) {
        why = std::string("cannot read it: ") + (errno == EINVAL ? "not a regular file" : std::strerror(errno));
        return false;
    }
    char head[kParameterFileBytes];
    const std::size_t got = std::fread(head, 1, sizeof head, f.get());
    if (got < 8 || std::memcmp(head, kParameterFileMagic, 8) != 0) {
        why = "it is not a Loudara parameter file";
        return false;
    }
    if (got < static_cast<std::size_t>(kParameterFileBytes)) {
        why = "it holds " + std::to_string(got) + " of " + std::to_string(kParameterFileBytes) + " bytes (cut short?)";
        return false;
    }
    const ParameterLoadOutcome loaded = LoadParameterFileAt(p, stored, path, false, host);
    if (loaded.status != ParameterLoadStatus::Loaded) {
        why = "it could not be read again";
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> StreamStateLog::observe(const IcecastOutput::Report& r) {
    // Connecting is passed through on the way to either outcome: only where the stream ends up
    // counts, and only when it differs from the last outcome.
    if (r.state == StreamState::Connecting) return std::nullopt;
    const std::optional<StreamState> before = last_;
    last_ = r.state;
    if (r.state == before) return std::nullopt;
    if (r.state == StreamState::Connected) return "stream connected to " + target_;
    if (r.state == StreamState::Retrying) {
        return "stream to " + target_ + (before == StreamState::Connected ? " lost: " : " not connected: ") + r.error;
    }
    return std::nullopt;
}

OnAirService::OnAirService(OnAirParts parts, OnAirOptions options, OnAirListener& listener)
    : parts_(parts), options_(std::move(options)), listener_(listener) {
    if (pipe2(requests_, O_CLOEXEC | O_NONBLOCK) != 0) requests_[0] = requests_[1] = -1;
}

OnAirService::~OnAirService() {
    if (stream_) stream_->stop();
    if (parts_.streaming.engine.tap == tap_.get()) parts_.streaming.engine.tap = nullptr;
    for (int& fd : requests_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void OnAirService::requestStop() {
    const char c = kStopByte;
    [[maybe_unused]] const ssize_t n = write(requests_[1], &c, 1);
}

void OnAirService::requestReload() {
    const char c = kReloadByte;
    [[maybe_unused]] const ssize_t n = write(requests_[1], &c, 1);
}

StartResult OnAirService::start() {
    Streaming& s = parts_.streaming;
    JackPlatform& jack = parts_.jack;
    rate_ = options_.rate;
    // With JACK the stream runs at the server's rate (one the processor cannot run at is refused
    // when the device opens, with a message naming it).
    if (options_.jackUsed && !options_.rateGiven && jackRateSupported(jack.serverRate())) {
        rate_ = static_cast<int>(jack.serverRate());
    }
    parts_.stored.onAirRateChoice = rate_ == 32000 ? 0 : (rate_ == 44100 ? 1 : 2);

    if (options_.icecast) stream_ = std::make_unique<IcecastOutput>(*options_.icecast);
    tap_ = std::make_unique<LoudnessTap>(stream_.get());
    s.engine.tap = tap_.get();
    ToggleOnAirMode(s);

    StartResult started = StartResult::NotStopped;
    PlayCommand(s, &started);
    if (started != StartResult::Started) {
        s.engine.tap = nullptr;
        return started;
    }
    if (stream_) stream_->start();
    reporting_ = options_.statusInterval > 0 || !options_.statusFile.empty() || stream_;
    const std::string target = stream_ ? options_.icecast->target.display() : std::string();
    if (reporting_) {
        const DeviceEngine& e = s.engine;
        std::string line = "ON-AIR at " + std::to_string(rate_) + " Hz from " +
                           e.inputDevices[parts_.stored.selectedInputDevice].name + " to " +
                           (options_.outputNone ? std::string("no local output")
                                                : e.outputDevices[parts_.stored.selectedOutputDevice].name);
        char latency[96];
        std::snprintf(latency, sizeof latency, ", latency %.1f ms%s", OnAirLatencyMs(s),
                      s.engine.realtime ? " (the chain runs in the JACK period)" : "");
        line += latency;
        if (stream_) {
            line += ", streaming MP3 at " + std::to_string(options_.icecast->bitrateKbps) + " kbit/s to " + target;
        }
        listener_.logLine(line);
    }
    takeJackLog();

    summary_.memoryAtStartKb = summary_.memoryAtEndKb = residentKb();
    begin_ = std::chrono::steady_clock::now();
    nextReport_ = options_.statusInterval > 0 ? options_.statusInterval : 5;
    record_.sampleRate = static_cast<uint32_t>(rate_);
    record_.params = options_.params;
    record_.stream = stream_ != nullptr;
    if (stream_) {
        record_.streamTarget = target;
        streamLog_.emplace(target);
    }
    summary_.stream = stream_ != nullptr;
    return started;
}

double OnAirService::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

void OnAirService::takeJackLog() {
    for (const std::string& line : parts_.jack.takeLog()) listener_.logLine(line);
}

void OnAirService::run() {
    while (parts_.streaming.transport.playState != PlayState::Stopped) {
        parts_.loop.runOnce(parts_.streaming, 250, requests_[0]);
        if (!tick()) break;
    }
}

bool OnAirService::tick() {
    Streaming& s = parts_.streaming;
    const PlayState& state = s.transport.playState;
    DeviceEngine& engine = s.engine;
    JackPlatform& jack = parts_.jack;
    const double now = elapsed();
    bool stop = false, reload = false;
    char buffer[16];
    ssize_t n = 0;
    while ((n = read(requests_[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == kStopByte) stop = true;
            if (buffer[i] == kReloadByte) reload = true;
        }
    }
    if (reload && state == PlayState::Playing) this->reload();
    if (jack.connectionsPending()) jack.reconnect();
    takeJackLog();
    if (jack.clientOpen() && jack.serverGone() && state != PlayState::Stopped) {
        listener_.logLine("the JACK server has stopped; ON-AIR ends");
        summary_.output = countersOf(engine.output, summary_.output);
        summary_.input = countersOf(engine.input, summary_.input);
        summary_.memoryAtEndKb = residentKb();
        StopPlayback(s);
        summary_.ending = OnAirEnding::ServerGone;
        return false;
    }
    const bool timeUp = options_.seconds > 0 && now >= options_.seconds;
    if ((stop || timeUp) && state == PlayState::Playing) {
        summary_.output = engine.output->counters();
        summary_.input = countersOf(engine.input, WaveCounters{});
        summary_.memoryAtEndKb = residentKb();
        StopCommand(s);
        if (stop) summary_.ending = OnAirEnding::Requested;
    } else if (stop && ++interrupts_ > 1) {
        StopPlayback(s);
    }
    if (stream_) {
        if (const std::optional<std::string> line = streamLog_->observe(stream_->report())) listener_.logLine(*line);
    }
    if (state != PlayState::Playing || !engine.output) return state != PlayState::Stopped;
    if (reporting_) {
        if (now >= nextReport_) {
            const int every = options_.statusInterval > 0 ? options_.statusInterval : 5;
            nextReport_ += every * std::max(1.0, std::floor((now - nextReport_) / every) + 1);
            fillRecord(now);
            if (options_.statusInterval > 0) listener_.logLine(StatusLineText(record_));
            writeStatusFile();
        }
        return true;
    }
    const WaveCounters played = engine.output->counters();
    const WaveCounters captured = countersOf(engine.input, WaveCounters{});
    listener_.showProgress({rate_, now, played.underflows + played.hostUnderflows,
                            captured.overflows + captured.hostOverflows, std::max(played.xruns, captured.xruns),
                            OnAirLatencyMs(s)});
    return true;
}

void OnAirService::reload() {
    const std::string& path = options_.params;
    std::string why;
    if (path.empty()) {
        listener_.logLine("SIGHUP: there is no parameter file to load again (--params)");
        ++record_.reloadsRefused;
    } else if (reloadParameters(parts_.streaming.processor, parts_.stored, parts_.streaming.host, path, why)) {
        PublishParameters(parts_.streaming);
        listener_.logLine("SIGHUP: loaded " + path);
        ++record_.reloads;
    } else {
        listener_.logLine("SIGHUP: " + path + " refused, " + why + "; the running settings are kept");
        ++record_.reloadsRefused;
    }
}

void OnAirService::fillRecord(double elapsed) {
    DeviceEngine& engine = parts_.streaming.engine;
    ProcessorParams& params = parts_.streaming.processor.params;
    const WaveCounters played = countersOf(engine.output, summary_.output);
    const WaveCounters captured = countersOf(engine.input, summary_.input);
    record_.uptimeSeconds = elapsed;
    record_.inputPeakDbfs = peakDb(params.inputPeakL, params.inputPeakR);
    record_.outputPeakDbfs = peakDb(params.outputPeakL, params.outputPeakR);
    tap_->report(record_);
    record_.underflows = played.underflows + played.hostUnderflows;
    record_.overflows = captured.overflows + captured.hostOverflows;
    record_.xruns = std::max(played.xruns, captured.xruns);
    record_.chainInPeriod = engine.realtime != nullptr;
    if (engine.output) record_.latencyMs = OnAirLatencyMs(parts_.streaming);
    record_.residentKb = residentKb();
    if (stream_) {
        const IcecastOutput::Report r = stream_->report();
        record_.streamState = r.state;
        record_.streamError = r.error;
        record_.streamRetrySeconds = r.retrySeconds;
        record_.streamBytesSent = r.bytesSent;
        record_.streamBlocksDropped = r.blocksDropped;
        record_.streamConnections = r.connections;
    }
}

void OnAirService::writeStatusFile() {
    if (options_.statusFile.empty()) return;
    std::string error;
    if (!WriteStatusFile(options_.statusFile, record_, error)) listener_.logLine(error);
}

OnAirSummary OnAirService::finish() {
    if (stream_) stream_->stop();
    parts_.streaming.engine.tap = nullptr;
    if (!options_.statusFile.empty()) {
        fillRecord(elapsed());
        record_.underflows = summary_.output.underflows + summary_.output.hostUnderflows;
        record_.overflows = summary_.input.overflows + summary_.input.hostOverflows;
        record_.state = "stopped";
        writeStatusFile();
    }
    if (stream_) summary_.streamReport = stream_->report();
    return summary_;
}

}  // namespace loudara
