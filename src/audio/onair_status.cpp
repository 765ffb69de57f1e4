#include "audio/onair_status.h"

#include <algorithm>
#include <limits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "files/safe_write.h"

namespace loudara {

namespace {

std::string figure(double value, const char* unit) {
    if (!hasValue(value) || std::isnan(value)) return std::string("-inf ") + unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

nlohmann::json number(double value) {
    if (!hasValue(value) || !std::isfinite(value)) return nullptr;
    return std::round(value * 100.0) / 100.0;
}

// "1:02:03" for a duration in seconds.
std::string clockText(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

}  // namespace

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string StatusLineText(const OnAirStatus& s) {
    const long seconds = static_cast<long>(s.uptimeSeconds);
    char head[96];
    std::snprintf(head, sizeof head, "%s %u Hz up %ld:%02ld:%02ld", s.state == "on-air" ? "ON-AIR" : "STOPPED",
                  s.sampleRate, seconds / 3600, seconds / 60 % 60, seconds % 60);
    std::string line = head;
    line += "  in " + figure(s.inputPeakDbfs, "dB") + "  out " + figure(s.outputPeakDbfs, "dB");
    line += "  M " + figure(s.momentaryLufs, "LUFS") + "  S " + figure(s.shortTermLufs, "LUFS") + "  I " +
            figure(s.integratedLufs, "LUFS") + "  TP " + figure(s.truePeakDbtp, "dBTP");
    char counts[160];
    std::snprintf(counts, sizeof counts, "  underflows %llu  overflows %llu  xruns %llu  late periods %llu",
                  static_cast<unsigned long long>(s.underflows), static_cast<unsigned long long>(s.overflows),
                  static_cast<unsigned long long>(s.xruns), static_cast<unsigned long long>(s.latePeriods));
    line += counts;
    char latency[48];
    std::snprintf(latency, sizeof latency, "  latency %.1f ms", s.latencyMs);
    line += latency;
    if (s.stream) {
        line += "  stream ";
        line += StreamStateText(s.streamState);
        if (s.streamState == StreamState::Retrying) {
            char retry[48];
            std::snprintf(retry, sizeof retry, " in %.0f s", s.streamRetrySeconds);
            line += retry;
        }
        if (s.streamBlocksDropped > 0) line += " (" + std::to_string(s.streamBlocksDropped) + " blocks dropped)";
        if (s.streamState != StreamState::Connected && !s.streamError.empty()) line += ": " + s.streamError;
    }
    if (s.silent) line += "  SILENCE for " + clockText(s.silentSeconds);
    if (s.fallbackPlaying) line += "  fallback playing";
    return line;
}

std::string StatusJsonText(const OnAirStatus& s) {
    nlohmann::json j;
    j["state"] = s.state;
    j["time"] = UtcTimeText(s.time);
    j["sampleRate"] = s.sampleRate;
    j["uptimeSeconds"] = std::floor(s.uptimeSeconds * 10.0) / 10.0;
    j["inputPeakDbfs"] = number(s.inputPeakDbfs);
    j["outputPeakDbfs"] = number(s.outputPeakDbfs);
    j["momentaryLufs"] = number(s.momentaryLufs);
    j["shortTermLufs"] = number(s.shortTermLufs);
    j["integratedLufs"] = number(s.integratedLufs);
    j["truePeakDbtp"] = number(s.truePeakDbtp);
    j["truePeakMaxDbtp"] = number(s.truePeakMaxDbtp);
    j["underflows"] = s.underflows;
    j["overflows"] = s.overflows;
    j["xruns"] = s.xruns;
    j["latePeriods"] = s.latePeriods;
    j["latencyMs"] = std::round(s.latencyMs * 10.0) / 10.0;
    j["chainInPeriod"] = s.chainInPeriod;
    j["residentKb"] = s.residentKb;
    j["params"] = s.params;
    j["reloads"] = s.reloads;
    j["reloadsRefused"] = s.reloadsRefused;
    if (s.stream) {
        j["stream"] = {{"state", StreamStateText(s.streamState)},
                       {"target", s.streamTarget},
                       {"error", s.streamError},
                       {"retryInSeconds", std::round(s.streamRetrySeconds)},
                       {"bytesSent", s.streamBytesSent},
                       {"blocksDropped", s.streamBlocksDropped},
                       {"connections", s.streamConnections}};
    } else {
        j["stream"] = nullptr;
    }
    j["silence"] = {{"state", s.silent ? "silent" : "sound"},
                    {"seconds", std::floor(s.silentSeconds * 10.0) / 10.0},
                    {"totalSeconds", std::floor(s.silentTotalSeconds * 10.0) / 10.0},
                    {"alarms", s.silenceAlarms},
                    {"thresholdDbfs", s.silenceThresholdDbfs},
                    {"afterSeconds", s.silenceAfterSeconds}};
    if (s.fallback) {
        j["silence"]["fallback"] = {{"state", s.fallbackPlaying ? "playing" : "waiting"}, {"song", s.fallbackSong}};
    } else {
        j["silence"]["fallback"] = nullptr;
    }
    return j.dump(2) + "\n";
}

bool WriteStatusFile(const std::string& path, const OnAirStatus& status, std::string& error) {
    const std::string text = StatusJsonText(status);
    return ReplaceFileContents(path, text.data(), text.size(), error);
}

void LoudnessTap::processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) {
    if (!meter_ || meter_->rate() != sampleRate) {
        meter_ = std::make_unique<LoudnessMeter>(sampleRate, 2, LoudnessMeter::History::Bounded);
    }
    meter_->addFrames(interleaved, frames);
    intervalTruePeak_ = std::max(intervalTruePeak_, meter_->lastTruePeakDbtp());
    meterTruePeak_ = std::max(meterTruePeak_, meter_->lastTruePeakDbtp());
    ++blocks_;
    if (next_) next_->processedBlock(interleaved, frames, sampleRate);
}

void LoudnessTap::report(OnAirStatus& status) {
    readLoudness(status);
    status.truePeakDbtp = intervalTruePeak_;
    intervalTruePeak_ = -std::numeric_limits<double>::infinity();
}

void LoudnessTap::readLoudness(OnAirStatus& status) const {
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    status.momentaryLufs = meter_ ? meter_->momentaryLufs() : kNone;
    status.shortTermLufs = meter_ ? meter_->shortTermLufs() : kNone;
    status.integratedLufs = meter_ ? meter_->integratedLufs() : kNone;
    status.truePeakMaxDbtp = meter_ ? meter_->truePeakDbtp() : kNone;
}

double LoudnessTap::takeMeterTruePeak() {
    const double peak = meterTruePeak_;
    meterTruePeak_ = -std::numeric_limits<double>::infinity();
    return peak;
}

}  // namespace loudara
