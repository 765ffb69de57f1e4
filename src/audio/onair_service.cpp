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
inline constexpr char kJobByte = 3;

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

// A sample magnitude in dBFS (-inf for silence).
double magnitudeDb(double peak) {
    return peak < 1 ? -std::numeric_limits<double>::infinity() : 20.0 * std::log10(peak / 32768.0);
}

// Peak since the last look in dBFS (-inf for silence); the meter restarts.
double peakDb(double& left, double& right) {
    const double peak = std::max(left, right);
    left = right = 0;
    return magnitudeDb(peak);
}

// A gain reduction meter's reading in dB: gain = 1 - reduction / fullScale.
double reductionDb(double reduction, double fullScale) {
    return 20.0 * std::log10(std::clamp(1.0 - reduction / fullScale, 1e-5, 1.0));
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
    DeviceEngine& engine = parts_.streaming.engine;
    if (engine.tap == alarm_.get()) engine.tap = nullptr;
    if (engine.standIn == alarm_.get()) engine.standIn = nullptr;
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

void OnAirService::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        if (finished_) return;
        jobs_.push_back(std::move(job));
    }
    const char c = kJobByte;
    [[maybe_unused]] const ssize_t n = write(requests_[1], &c, 1);
}

void OnAirService::runJobs() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        jobs.swap(jobs_);
    }
    for (std::function<void()>& job : jobs) job();
    // What a remote change did reaches a chain running in the JACK period now.
    if (!jobs.empty()) PublishParameters(parts_.streaming);
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
    if (!options_.fallbackSongs.empty()) fallback_ = std::make_unique<FallbackSource>(options_.fallbackSongs);
    alarm_ = std::make_unique<SilenceAlarm>(options_.silence, fallback_.get(), tap_.get());
    s.engine.tap = alarm_.get();
    s.engine.standIn = alarm_.get();
    ToggleOnAirMode(s);

    StartResult started = StartResult::NotStopped;
    PlayCommand(s, &started);
    if (started != StartResult::Started) {
        s.engine.tap = nullptr;
        s.engine.standIn = nullptr;
        return started;
    }
    // The songs are read ahead from now on, so they are there the moment the input falls silent
    // (never before the silence has lasted its time: the first blocks do not need them).
    if (fallback_) fallback_->start(s.engine.sampleRate);
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
    record_.inputPeakDbfs = record_.outputPeakDbfs = record_.truePeakDbtp = -std::numeric_limits<double>::infinity();
    if (!options_.metadataFile.empty()) nowPlayingFile_.emplace(options_.metadataFile);
    record_.params = options_.params;
    record_.stream = stream_ != nullptr;
    record_.silenceThresholdDbfs = options_.silence.thresholdDbfs;
    record_.silenceAfterSeconds = options_.silence.seconds;
    record_.fallback = fallback_ != nullptr;
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
        parts_.loop.runOnce(parts_.streaming, meterSink_ ? 100 : 250, requests_[0]);
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
    runJobs();
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
    if (state == PlayState::Playing) watchSilence();
    if (state != PlayState::Playing || !engine.output) return state != PlayState::Stopped;
    // The meters after each processed block (a block of 4096 frames: about ten times a second).
    if (meterSink_ && (tap_->blocks() != meterBlocks_ || now >= nextMeters_)) {
        meterBlocks_ = tap_->blocks();
        nextMeters_ = now + 0.5;
        sendMeters(now);
    }
    if (nowPlayingFile_ && now >= nextNowPlayingCheck_) {
        nextNowPlayingCheck_ = now + 0.5;
        checkNowPlayingFile();
    }
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
                            std::max(played.latePeriods, captured.latePeriods), OnAirLatencyMs(s)});
    return true;
}

// What the alarm found since the last turn: a log line, the command and a status file written at
// once for each silence that began and each that ended, in the order they happened.
void OnAirService::watchSilence() {
    if (fallback_) {
        for (const std::string& line : fallback_->takeLog()) listener_.logLine(line);
    }
    for (const std::string& line : commands_.finished()) listener_.logLine("event command " + line);
    const SilenceAlarm::Snapshot a = alarm_->snapshot();
    bool changed = false;
    char text[160];
    while (silencesSeen_ < a.began) {
        ++silencesSeen_;
        changed = true;
        std::snprintf(text, sizeof text, "dead air: the output has stayed below %.1f dBFS for %.0f s",
                      options_.silence.thresholdDbfs, options_.silence.seconds);
        listener_.logLine(std::string(text) + (fallback_ ? "; the fallback songs stand in for the input" : ""));
        runEventCommand(options_.onSilence, "silence", std::max(options_.silence.seconds, a.silentSeconds));
    }
    while (soundsSeen_ < a.ended) {
        ++soundsSeen_;
        changed = true;
        std::snprintf(text, sizeof text, "sound is back after %.0f s of dead air", a.lastSilenceSeconds);
        listener_.logLine(std::string(text) + (fallback_ ? "; the fallback songs give way to the input" : ""));
        runEventCommand(options_.onSilenceEnd, "silence-end", a.lastSilenceSeconds);
    }
    if (changed) {
        fillSilence();
        record_.time = std::chrono::system_clock::now();
        record_.uptimeSeconds = elapsed();
        writeStatusFile();
    }
}

void OnAirService::runEventCommand(const std::string& command, const char* event, double silentSeconds) {
    if (command.empty()) return;
    char seconds[32], threshold[32], after[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", silentSeconds);
    std::snprintf(threshold, sizeof threshold, "%.1f", options_.silence.thresholdDbfs);
    std::snprintf(after, sizeof after, "%g", options_.silence.seconds);
    const EventVariables variables = {
        {"LOUDARA_EVENT", event},
        {"LOUDARA_EVENT_TIME", UtcTimeText(std::chrono::system_clock::now())},
        {"LOUDARA_SILENCE_SECONDS", seconds},
        {"LOUDARA_SILENCE_THRESHOLD_DBFS", threshold},
        {"LOUDARA_SILENCE_AFTER_SECONDS", after},
        {"LOUDARA_FALLBACK", fallback_ ? (std::string(event) == "silence" ? "playing" : "stopped") : "none"},
        {"LOUDARA_STREAM", stream_ ? options_.icecast->target.display() : ""},
    };
    std::string error;
    if (commands_.start(command, variables, error) < 0) listener_.logLine("event command for " + std::string(event) + ": " + error);
}

void OnAirService::fillSilence() {
    const SilenceAlarm::Snapshot a = alarm_->snapshot();
    record_.silent = a.silent;
    record_.silentSeconds = a.silentSeconds;
    record_.silentTotalSeconds = a.totalSilentSeconds;
    record_.silenceAlarms = a.began;
    record_.fallbackPlaying = a.fallbackPlaying;
    if (fallback_) record_.fallbackSong = fallback_->currentSong();
}

void OnAirService::reload() {
    std::string message;
    reloadParameters("SIGHUP", message);
}

bool OnAirService::reloadParameters(const std::string& cause, std::string& message) {
    const std::string& path = options_.params;
    std::string why;
    bool loaded = false;
    if (path.empty()) {
        message = "there is no parameter file to load again (--params)";
    } else if (loadParameters(path, why)) {
        message = "loaded " + path;
        loaded = true;
    } else {
        message = path + " refused, " + why + "; the running settings are kept";
    }
    listener_.logLine(cause + ": " + message);
    ++(loaded ? record_.reloads : record_.reloadsRefused);
    return loaded;
}

bool OnAirService::loadParameters(const std::string& path, std::string& why) {
    if (!::loudara::reloadParameters(parts_.streaming.processor, parts_.stored, parts_.streaming.host, path, why)) {
        return false;
    }
    PublishParameters(parts_.streaming);
    return true;
}

bool OnAirService::setNowPlaying(const NowPlaying& playing) {
    if (!stream_) return false;
    stream_->setNowPlaying(playing);
    return true;
}

std::string OnAirService::nowPlayingResult() const { return stream_ ? stream_->nowPlayingResult() : std::string(); }

void OnAirService::checkNowPlayingFile() {
    std::string error;
    const std::optional<NowPlaying> playing = nowPlayingFile_->check(error);
    if (!error.empty() && error != nowPlayingError_) {
        listener_.logLine("now playing: " + nowPlayingFile_->path() + " not read, " + error);
    }
    nowPlayingError_ = error;
    if (!playing) return;
    listener_.logLine("now playing: " + StreamTitleText(*playing));
    setNowPlaying(*playing);
}

const OnAirStatus& OnAirService::liveStatus() {
    if (rate_ != 0 && tap_) {
        fillCounters(elapsed());
        tap_->readLoudness(record_);
    }
    return record_;
}

void OnAirService::foldPeaks() {
    ProcessorParams& params = parts_.streaming.processor.params;
    double* meters[4] = {&params.inputPeakL, &params.inputPeakR, &params.outputPeakL, &params.outputPeakR};
    for (int i = 0; i < 4; ++i) {
        statusPeaks_[i] = std::max(statusPeaks_[i], *meters[i]);
        meterPeaks_[i] = std::max(meterPeaks_[i], *meters[i]);
        *meters[i] = 0;
    }
}

void OnAirService::sendMeters(double now) {
    foldPeaks();
    Processor& p = parts_.streaming.processor;
    OnAirMeters m;
    m.uptimeSeconds = now;
    for (int c = 0; c < 2; ++c) {
        m.inputPeakDbfs[c] = magnitudeDb(meterPeaks_[c]);
        m.outputPeakDbfs[c] = magnitudeDb(meterPeaks_[2 + c]);
    }
    std::fill(std::begin(meterPeaks_), std::end(meterPeaks_), 0.0);
    OnAirStatus loudness;
    tap_->readLoudness(loudness);
    m.momentaryLufs = loudness.momentaryLufs;
    m.shortTermLufs = loudness.shortTermLufs;
    m.integratedLufs = loudness.integratedLufs;
    m.truePeakDbtp = tap_->takeMeterTruePeak();
    // The AGC's gain is 1 - reduction / 23169; a band's 1 - reduction / 32767.
    m.agcReductionDb[0] = reductionDb(p.params.agcLowReduction, 23169.0);
    m.agcReductionDb[1] = reductionDb(p.params.agcHighReduction, 23169.0);
    for (int b = 0; b < kBandCount; ++b) {
        m.bandReductionDb[b] = reductionDb(p.bands[b].reductionPeak, 32767.0);
        p.bands[b].reductionPeak = 0;
    }
    m.bypass = p.settings.bypass != 0;
    m.stream = stream_ != nullptr;
    if (stream_) m.streamState = stream_->report().state;
    const SilenceAlarm::Snapshot silence = alarm_->snapshot();
    m.silent = silence.silent;
    m.silentSeconds = silence.silentSeconds;
    m.fallbackPlaying = silence.fallbackPlaying;
    meterSink_->meters(m);
}

void OnAirService::fillRecord(double elapsed) {
    foldPeaks();
    record_.inputPeakDbfs = peakDb(statusPeaks_[0], statusPeaks_[1]);
    record_.outputPeakDbfs = peakDb(statusPeaks_[2], statusPeaks_[3]);
    tap_->report(record_);
    fillCounters(elapsed);
}

void OnAirService::fillCounters(double elapsed) {
    DeviceEngine& engine = parts_.streaming.engine;
    const WaveCounters played = countersOf(engine.output, summary_.output);
    const WaveCounters captured = countersOf(engine.input, summary_.input);
    record_.time = std::chrono::system_clock::now();
    record_.uptimeSeconds = elapsed;
    fillSilence();
    record_.underflows = played.underflows + played.hostUnderflows;
    record_.overflows = captured.overflows + captured.hostOverflows;
    record_.xruns = std::max(played.xruns, captured.xruns);
    record_.latePeriods = std::max(played.latePeriods, captured.latePeriods);
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
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        finished_ = true;
        jobs_.clear();
    }
    if (stream_) stream_->stop();
    parts_.streaming.engine.tap = nullptr;
    parts_.streaming.engine.standIn = nullptr;
    if (fallback_) fallback_->stop();
    for (const std::string& line : commands_.finished()) listener_.logLine("event command " + line);
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
