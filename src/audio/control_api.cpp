#include "audio/control_api.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "processor/parameter_names.h"
#include "processor/params.h"

namespace loudara {
namespace {

using nlohmann::json;

json number(double value) {
    if (!std::isfinite(value)) return nullptr;
    return std::round(value * 100.0) / 100.0;
}

std::string valueText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// "name[band]" split; band -1 when there is no index, -2 when the index is malformed.
std::string_view splitBand(std::string_view name, int& band) {
    band = -1;
    const std::size_t open = name.find('[');
    if (open == std::string_view::npos) return name;
    if (name.back() != ']' || name.size() - open < 3) {
        band = -2;
        return name.substr(0, open);
    }
    int value = 0;
    for (std::size_t i = open + 1; i + 1 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || value > 100) {
            band = -2;
            return name.substr(0, open);
        }
        value = value * 10 + (name[i] - '0');
    }
    band = value;
    return name.substr(0, open);
}

}  // namespace

const char* ParameterGroup(std::string_view name) {
    const ParameterInfo* info = findSoundParameter(name);
    if (info && info->perBand) return "Bands";
    auto starts = [&](std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; };
    if (starts("agc")) return "AGC";
    if (starts("enhancer") || name == "phaseShifterOn") return "Stereo";
    if (starts("hfLimit") || starts("finalClip") || name == "clipType" || name == "postClipDb" ||
        name == "bassClipMode" || starts("truePeak")) {
        return "Clippers";
    }
    if (starts("bassEq") || name == "finalLowpass" || name == "preEmphasis" || name == "deEmphasisOn") return "EQ and filters";
    if (name == "channelMode" || starts("speaker") || starts("room") || starts("reflection") || name == "virtualSpeakerOn") {
        return "Virtual speaker";
    }
    if (name == "bandReleaseTime" || name == "bandAttackTime" || name == "reductionDelayMs") return "Bands";
    return "Switches";
}

json ParametersJson(const Processor& p) {
    json list = json::array();
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < bandsOf(info); ++band) {
            list.push_back({{"name", info.perBand ? parameterName(info, band) : std::string(info.name)},
                            {"title", info.title},
                            {"group", ParameterGroup(info.name)},
                            {"band", info.perBand ? json(band + 1) : json(nullptr)},
                            {"unit", info.unit},
                            {"min", info.minValue},
                            {"max", info.maxValue},
                            {"step", info.step},
                            {"kind", info.isSwitch ? "switch" : (info.isChoice ? "choice" : "number")},
                            {"value", number(parameterValue(p, info, band))}});
        }
    }
    return list;
}

bool ApplyParameterChanges(Processor& p, const json& changes, std::vector<std::string>& applied, std::string& error) {
    if (!changes.is_object() || changes.empty()) {
        error = "the body must be an object of \"name\": value pairs";
        return false;
    }
    struct Change {
        const ParameterInfo* info;
        int band;
        double value;
        std::string name;
    };
    std::vector<Change> checked;
    for (const auto& [name, given] : changes.items()) {
        int band = -1;
        const std::string_view base = splitBand(name, band);
        const ParameterInfo* info = findSoundParameter(base);
        if (!info) {
            error = "there is no parameter \"" + name + "\"";
            return false;
        }
        if (info->perBand ? (band < 0 || band >= kBandCount) : band != -1) {
            error = info->perBand ? "\"" + std::string(base) + "\" needs a band: " + std::string(base) + "[0] to " +
                                        std::string(base) + "[" + std::to_string(kBandCount - 1) + "]"
                                  : "\"" + std::string(base) + "\" has no bands";
            return false;
        }
        double value = 0;
        if (given.is_boolean() && info->isSwitch) {
            value = given.get<bool>() ? 1 : 0;
        } else if (given.is_number()) {
            value = given.get<double>();
        } else {
            error = "\"" + name + "\" needs a number";
            return false;
        }
        if (!std::isfinite(value) || value < info->minValue || value > info->maxValue) {
            error = "\"" + name + "\" must be between " + valueText(info->minValue) + " and " + valueText(info->maxValue) +
                    (info->unit[0] ? std::string(" ") + info->unit : std::string()) + " (" + valueText(value) + " given)";
            return false;
        }
        if ((info->isChoice || info->isSwitch) && value != std::floor(value)) {
            error = "\"" + name + "\" takes a whole number (" + valueText(value) + " given)";
            return false;
        }
        checked.push_back({info, band < 0 ? 0 : band, value, name});
    }
    for (const Change& c : checked) {
        const double before = parameterValue(p, *c.info, c.band);
        setParameterValue(p, *c.info, c.band, c.value);
        applied.push_back(c.name + " " + valueText(before) + " -> " + valueText(c.value));
    }
    applyParameterChanges(p);
    return true;
}

json PresetsJson(const std::string& userFolder) {
    json builtin = json::array();
    for (const BuiltinPreset& preset : builtinPresets()) {
        builtin.push_back({{"id", preset.commandId},
                           {"name", preset.name},
                           {"group", preset.menuGroup},
                           {"title", preset.menuText}});
    }
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(userFolder, ec)) {
        const std::filesystem::path& path = entry.path();
        std::string why;
        if (path.extension() == ".ld3" && entry.is_regular_file(ec) && ValidUserFileName(path.stem().string(), why)) {
            names.push_back(path.stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return {{"builtin", builtin}, {"user", names}};
}

bool ValidUserFileName(const std::string& name, std::string& error) {
    const bool allowed = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '-' ||
               c == '_' || c == '.';
    });
    if (name.empty() || name.size() > 64 || !allowed || name[0] == '.' || name.back() == ' ') {
        error = "a name is 1 to 64 letters, digits, spaces, '-', '_' or '.', not starting with '.'";
        return false;
    }
    return true;
}

std::string MetersJson(const OnAirMeters& m) {
    json bands = json::array();
    for (const double db : m.bandReductionDb) bands.push_back(number(db));
    json j = {{"uptimeSeconds", std::floor(m.uptimeSeconds * 10.0) / 10.0},
              {"inputPeakDbfs", {number(m.inputPeakDbfs[0]), number(m.inputPeakDbfs[1])}},
              {"outputPeakDbfs", {number(m.outputPeakDbfs[0]), number(m.outputPeakDbfs[1])}},
              {"momentaryLufs", number(m.momentaryLufs)},
              {"shortTermLufs", number(m.shortTermLufs)},
              {"integratedLufs", number(m.integratedLufs)},
              {"truePeakDbtp", number(m.truePeakDbtp)},
              {"agcReductionDb", {number(m.agcReductionDb[0]), number(m.agcReductionDb[1])}},
              {"bandReductionDb", bands},
              {"bypass", m.bypass},
              {"stream", m.stream ? json(StreamStateText(m.streamState)) : json(nullptr)},
              {"silence", {{"silent", m.silent},
                           {"seconds", std::floor(m.silentSeconds)},
                           {"fallbackPlaying", m.fallbackPlaying}}}};
    return j.dump();
}

namespace {

// One metric: its help and type lines, then its samples.
class Metrics {
public:
    void add(const char* name, const char* type, const char* help, double value, const std::string& labels = "") {
        if (name != last_) {
            text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
            last_ = name;
        }
        text_ += name;
        if (!labels.empty()) text_ += "{" + labels + "}";
        text_ += " " + format(value) + "\n";
    }
    std::string text() const { return text_; }

private:
    static std::string format(double value) {
        if (std::isnan(value)) return "NaN";
        if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", value);
        return buffer;
    }
    std::string text_;
    std::string last_;
};

}  // namespace

std::string MetricsText(const OnAirStatus& s, const MetricsExtras& extras) {
    Metrics m;
    auto count = [](uint64_t v) { return static_cast<double>(v); };
    m.add("loudara_up", "gauge", "1 while ON-AIR plays, 0 once it has stopped", s.state == "on-air" ? 1 : 0);
    m.add("loudara_uptime_seconds", "gauge", "Seconds since ON-AIR started", s.uptimeSeconds);
    m.add("loudara_sample_rate_hertz", "gauge", "The rate ON-AIR runs at", s.sampleRate);
    m.add("loudara_peak_dbfs", "gauge", "Sample peak since the previous status", s.inputPeakDbfs, "point=\"input\"");
    m.add("loudara_peak_dbfs", "gauge", "", s.outputPeakDbfs, "point=\"output\"");
    m.add("loudara_loudness_lufs", "gauge", "Loudness of the processed sound", s.momentaryLufs, "window=\"momentary\"");
    m.add("loudara_loudness_lufs", "gauge", "", s.shortTermLufs, "window=\"short-term\"");
    m.add("loudara_loudness_lufs", "gauge", "", s.integratedLufs, "window=\"integrated\"");
    m.add("loudara_true_peak_dbtp", "gauge", "True peak of the processed sound", s.truePeakDbtp, "window=\"interval\"");
    m.add("loudara_true_peak_dbtp", "gauge", "", s.truePeakMaxDbtp, "window=\"run\"");
    m.add("loudara_underflows_total", "counter", "Times the output ran dry", count(s.underflows));
    m.add("loudara_overflows_total", "counter", "Times the input overran", count(s.overflows));
    m.add("loudara_xruns_total", "counter", "Xruns the sound system reported", count(s.xruns));
    m.add("loudara_late_periods_total", "counter", "Periods Loudara's own JACK callback finished late",
          count(s.latePeriods));
    m.add("loudara_silence", "gauge", "1 while the output is dead air", s.silent ? 1 : 0);
    m.add("loudara_silence_seconds", "gauge", "Seconds the output has been dead air (0 while it sounds)",
          s.silent ? s.silentSeconds : 0.0);
    m.add("loudara_silence_seconds_total", "counter", "Seconds of dead air since ON-AIR started", s.silentTotalSeconds);
    m.add("loudara_silence_alarms_total", "counter", "Times dead air began", count(s.silenceAlarms));
    m.add("loudara_fallback_playing", "gauge", "1 while the fallback songs stand in for the input",
          s.fallbackPlaying ? 1 : 0);
    m.add("loudara_resident_memory_kilobytes", "gauge", "Resident memory of the process", static_cast<double>(s.residentKb));
    m.add("loudara_parameter_reloads_total", "counter", "Parameter file reloads", count(s.reloads), "result=\"loaded\"");
    m.add("loudara_parameter_reloads_total", "counter", "", count(s.reloadsRefused), "result=\"refused\"");
    m.add("loudara_remote_changes_total", "counter", "Changes made through the remote control", count(extras.remoteChanges));
    m.add("loudara_event_clients", "gauge", "Pages following the live meters", count(extras.eventClients));
    m.add("loudara_stream_configured", "gauge", "1 when ON-AIR sends a stream", s.stream ? 1 : 0);
    const bool connected = s.stream && s.streamState == StreamState::Connected;
    m.add("loudara_stream_connected", "gauge", "1 while the stream is connected", connected ? 1 : 0);
    m.add("loudara_stream_bytes_sent_total", "counter", "MP3 bytes the server has taken", count(s.streamBytesSent));
    m.add("loudara_stream_connections_total", "counter", "Successful connections of the stream", count(s.streamConnections));
    m.add("loudara_stream_reconnections_total", "counter", "Connections after the first",
          count(s.streamConnections > 0 ? s.streamConnections - 1 : 0));
    m.add("loudara_stream_blocks_dropped_total", "counter", "Blocks dropped while connected", count(s.streamBlocksDropped));
    return m.text();
}

}  // namespace loudara
