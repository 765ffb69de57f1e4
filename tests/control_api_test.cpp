// The remote control's answers apart from the server: a set of parameter changes is applied whole
// or not at all, with the ranges of the parameter table; user file names cannot reach outside the
// user's folder; the metrics are Prometheus text a scraper parses line by line.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "audio/control_api.h"
#include "processor/parameter_names.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using nlohmann::json;

double valueOf(const Processor& p, const std::string& name) {
    double v = NAN;
    std::string error;
    EXPECT_TRUE(getSoundParameter(p, name, v, error)) << error;
    return v;
}

TEST(RemoteParameters, ChangesApplyWholeOrNotAtAllWithinTheTablesRanges) {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    std::vector<std::string> applied;
    std::string error;
    const double drive = valueOf(*p, "driveDb[2]");

    // One bad value in the set: the good ones before it are not applied either.
    const std::pair<json, std::string> refused[] = {
        {{{"driveDb[2]", 6}, {"agcDepthDb", 25}}, "\"agcDepthDb\" must be between 0 and 24 dB (25 given)"},
        {{{"driveDb[2]", 6}, {"driveDb[6]", 1}}, "\"driveDb\" needs a band: driveDb[0] to driveDb[5]"},
        {{{"driveDb", 6}}, "\"driveDb\" needs a band: driveDb[0] to driveDb[5]"},
        {{{"agcDepthDb[1]", 6}}, "\"agcDepthDb\" has no bands"},
        {{{"noSuchKnob", 1}}, "there is no parameter \"noSuchKnob\""},
        {{{"agcSpeed", 2.5}}, "\"agcSpeed\" takes a whole number (2.5 given)"},
        {{{"bypass", 2}}, "\"bypass\" must be between 0 and 1 (2 given)"},
        {{{"agcDepthDb", "12"}}, "\"agcDepthDb\" needs a number"},
        {{{"agcDepthDb", true}}, "\"agcDepthDb\" needs a number"},
        {json::array({1, 2}), "the body must be an object of \"name\": value pairs"},
        {json::object(), "the body must be an object of \"name\": value pairs"},
    };
    for (const auto& [body, why] : refused) {
        EXPECT_FALSE(ApplyParameterChanges(*p, body, applied, error)) << body;
        EXPECT_EQ(error, why);
        EXPECT_EQ(valueOf(*p, "driveDb[2]"), drive);
    }
    EXPECT_TRUE(applied.empty());

    ASSERT_TRUE(ApplyParameterChanges(*p, {{"driveDb[2]", 24}, {"bypass", true}, {"bassEqFreqHz", 50}}, applied, error))
        << error;
    EXPECT_EQ(valueOf(*p, "driveDb[2]"), 24);
    EXPECT_EQ(valueOf(*p, "bypass"), 1);
    EXPECT_EQ(valueOf(*p, "bassEqFreqHz"), 50);
    EXPECT_EQ(applied.size(), 3u);

    // The list the page builds its knobs from: every band of every band parameter, with the
    // values just set, in groups the page knows.
    const json list = ParametersJson(*p);
    std::map<std::string, json> byName;
    for (const json& row : list) byName[row["name"]] = row;
    ASSERT_TRUE(byName.count("driveDb[5]"));
    EXPECT_EQ(byName["driveDb[2]"]["value"], 24);
    EXPECT_EQ(byName["driveDb[2]"]["band"], 3);
    EXPECT_EQ(byName["driveDb[2]"]["group"], "Bands");
    EXPECT_EQ(byName["agcDepthDb"]["group"], "AGC");
    EXPECT_EQ(byName["agcDepthDb"]["max"], 24);
    EXPECT_EQ(byName["bypass"]["kind"], "switch");
    EXPECT_EQ(byName["truePeakCeilingDb"]["unit"], "dBTP");
    for (const auto& [name, row] : byName) {
        const std::string group = row["group"];
        EXPECT_TRUE(group == "Bands" || group == "AGC" || group == "Stereo" || group == "Clippers" ||
                    group == "EQ and filters" || group == "Virtual speaker" || group == "Switches")
            << name;
    }
}

class UserFiles : public TempFolder {};

TEST_F(UserFiles, NamesStayInsideTheUsersFolderAndOnlyParameterFilesAreListed) {
    std::string why;
    for (const char* bad : {"", "../ldmp3", "a/b", ".hidden", "evening ", "tab\there", std::string(65, 'x').c_str()}) {
        EXPECT_FALSE(ValidUserFileName(bad, why)) << bad;
    }
    for (const char* good : {"evening", "Morning Show 2", "user_preset_1", "late-night.v2"}) {
        EXPECT_TRUE(ValidUserFileName(good, why)) << good;
    }
    write("evening.ld3", ByteVector(10));
    write("notes.txt", ByteVector(10));
    write("user_preset_1.ld3", ByteVector(10));
    fs::create_directories(folder / "folder.ld3");
    const json presets = PresetsJson(folder.string());
    EXPECT_EQ(presets["user"], json::array({"evening", "user_preset_1"}));
    ASSERT_EQ(presets["builtin"].size(), 11u);
    EXPECT_EQ(presets["builtin"][0]["id"], 232);
    EXPECT_EQ(presets["builtin"][2]["id"], 335);
}

// The text a Prometheus scraper reads: every line a comment (HELP/TYPE) or "name{labels} value",
// each metric's TYPE before its samples, values parseable, nothing named twice with a TYPE.
TEST(Metrics, EveryFigureIsThereAsPrometheusText) {
    OnAirStatus s;
    s.sampleRate = 48000;
    s.uptimeSeconds = 12.5;
    s.inputPeakDbfs = -std::numeric_limits<double>::infinity();
    s.outputPeakDbfs = -1.5;
    s.momentaryLufs = -16;
    s.shortTermLufs = -15.5;
    s.integratedLufs = -16.2;
    s.truePeakDbtp = -1.1;
    s.truePeakMaxDbtp = -0.9;
    s.underflows = 3;
    s.overflows = 4;
    s.xruns = 5;
    s.latePeriods = 6;
    s.reloads = 2;
    s.reloadsRefused = 1;
    s.stream = true;
    s.streamState = StreamState::Connected;
    s.streamBytesSent = 123456;
    s.streamConnections = 3;
    s.silent = true;
    s.silentSeconds = 42;
    s.silentTotalSeconds = 50;
    s.silenceAlarms = 2;
    const std::string text = MetricsText(s, {7, 2});

    const std::regex sample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*"(,[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*")*\})? (\S+)$)");
    const std::regex type(R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter)$)");
    std::map<std::string, std::string> types;
    std::map<std::string, double> values;
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        std::smatch m;
        if (std::regex_match(line, m, type)) {
            EXPECT_FALSE(types.count(m[1])) << "TYPE twice: " << line;
            types[m[1]] = m[2];
            continue;
        }
        if (line.rfind("# HELP ", 0) == 0) continue;
        ASSERT_TRUE(std::regex_match(line, m, sample)) << "not Prometheus text: " << line;
        EXPECT_TRUE(types.count(m[1])) << "sample before its TYPE: " << line;
        const std::string v = m[4];
        const double value = v == "-Inf" ? -INFINITY : v == "+Inf" ? INFINITY : std::stod(v);
        values[std::string(m[1]) + std::string(m[2].matched ? m[2].str() : "")] = value;
    }
    EXPECT_GT(count, 40);
    const std::map<std::string, double> expected = {
        {"loudara_up", 1},
        {"loudara_uptime_seconds", 12.5},
        {"loudara_sample_rate_hertz", 48000},
        {"loudara_peak_dbfs{point=\"input\"}", -INFINITY},
        {"loudara_peak_dbfs{point=\"output\"}", -1.5},
        {"loudara_loudness_lufs{window=\"momentary\"}", -16},
        {"loudara_loudness_lufs{window=\"short-term\"}", -15.5},
        {"loudara_loudness_lufs{window=\"integrated\"}", -16.2},
        {"loudara_true_peak_dbtp{window=\"interval\"}", -1.1},
        {"loudara_true_peak_dbtp{window=\"run\"}", -0.9},
        {"loudara_underflows_total", 3},
        {"loudara_overflows_total", 4},
        {"loudara_xruns_total", 5},
        {"loudara_late_periods_total", 6},
        {"loudara_parameter_reloads_total{result=\"loaded\"}", 2},
        {"loudara_parameter_reloads_total{result=\"refused\"}", 1},
        {"loudara_remote_changes_total", 7},
        {"loudara_event_clients", 2},
        {"loudara_stream_connected", 1},
        {"loudara_stream_bytes_sent_total", 123456},
        {"loudara_stream_reconnections_total", 2},
        {"loudara_silence", 1},
        {"loudara_silence_seconds", 42},
        {"loudara_silence_seconds_total", 50},
        {"loudara_silence_alarms_total", 2},
        {"loudara_fallback_playing", 0},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(values.count(name)) << name << " missing from\n" << text;
        EXPECT_EQ(values[name], value) << name;
    }
    EXPECT_EQ(types["loudara_underflows_total"], "counter");
    EXPECT_EQ(types["loudara_loudness_lufs"], "gauge");
}

TEST(LiveMeters, SilenceIsNullAndEveryFigureIsCarried) {
    OnAirMeters m;
    m.inputPeakDbfs[0] = -std::numeric_limits<double>::infinity();
    m.inputPeakDbfs[1] = -6.02;
    m.bandReductionDb[5] = -3.5;
    m.stream = true;
    m.streamState = StreamState::Retrying;
    m.silent = true;
    m.silentSeconds = 61.7;
    const json j = json::parse(MetersJson(m));
    EXPECT_TRUE(j["inputPeakDbfs"][0].is_null());
    EXPECT_EQ(j["inputPeakDbfs"][1], -6.02);
    EXPECT_EQ(j["bandReductionDb"].size(), 6u);
    EXPECT_EQ(j["bandReductionDb"][5], -3.5);
    EXPECT_EQ(j["stream"], "retrying");
    EXPECT_EQ(j["silence"]["silent"], true);
    EXPECT_EQ(j["silence"]["seconds"], 61);
    EXPECT_EQ(j["silence"]["fallbackPlaying"], false);
    for (const char* key : {"outputPeakDbfs", "momentaryLufs", "shortTermLufs", "integratedLufs", "truePeakDbtp",
                            "agcReductionDb", "bypass", "uptimeSeconds"}) {
        EXPECT_TRUE(j.contains(key)) << key;
    }
}

}  // namespace
}  // namespace loudara
