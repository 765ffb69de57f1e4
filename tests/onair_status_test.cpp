// The ON-AIR status file is replaced whole, through a new file of its own beside it: whatever
// waits at the name "FILE.tmp" (a file, or a link to another file) is neither written through nor
// replaced, and a reader that still holds the old status keeps it whole.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "audio/onair_status.h"
#include "wav_builder.h"

namespace loudara {
namespace {

std::string text(const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); }
ByteVector bytesOf(const std::string& s) { return ByteVector(s.begin(), s.end()); }

std::string readAll(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;) out.append(buffer, n);
    return out;
}

class OnAirStatusFile : public TempFolder {};

TEST_F(OnAirStatusFile, PlantedTemporaryLinkIsNotFollowedAndTheOldStatusStaysWholeForItsReader) {
    const std::string victim = write("victim.txt", bytesOf("not the status's to change\n"));
    OnAirStatus first;
    first.sampleRate = 44100;
    std::string error;
    const std::string path = (folder / "onair.json").string();
    ASSERT_TRUE(WriteStatusFile(path, first, error)) << error;
    fs::create_symlink(victim, path + ".tmp");

    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    OnAirStatus second = first;
    second.state = "stopped";
    second.sampleRate = 48000;
    second.uptimeSeconds = 3600;
    ASSERT_TRUE(WriteStatusFile(path, second, error)) << error;

    EXPECT_EQ(text(read(victim)), "not the status's to change\n");
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink(path + ".tmp", ec), victim) << "the link planted at the old name is gone";
    EXPECT_EQ(text(read(path)), StatusJsonText(second));
    // The old file was replaced, not written over: its reader still has the first status, whole.
    EXPECT_EQ(readAll(reader), StatusJsonText(first));
    ::close(reader);

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"onair.json", "onair.json.tmp", "victim.txt"}));
}

TEST_F(OnAirStatusFile, PlantedTemporaryFileIsLeftAsItIs) {
    const std::string path = (folder / "onair.json").string();
    write("onair.json.tmp", bytesOf("planted"));
    OnAirStatus status;
    status.sampleRate = 32000;
    std::string error;
    ASSERT_TRUE(WriteStatusFile(path, status, error)) << error;
    EXPECT_EQ(text(read(path + ".tmp")), "planted");
    EXPECT_EQ(nlohmann::json::parse(text(read(path)))["sampleRate"], 32000);
}

TEST(OnAirStatusText, TheTimeStampAndTheDeadAirAreInTheFileAndTheLine) {
    OnAirStatus status;
    status.sampleRate = 48000;
    // 2026-12-10 06:37:52.75 UTC: the stamp is the second it falls in.
    status.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796884672750LL));
    const nlohmann::json sound = nlohmann::json::parse(StatusJsonText(status));
    EXPECT_EQ(sound["time"], "2026-12-10T06:37:52Z");
    EXPECT_EQ(sound["silence"]["state"], "sound");
    EXPECT_EQ(sound["silence"]["fallback"], nullptr);
    EXPECT_EQ(StatusLineText(status).find("SILENCE"), std::string::npos);

    status.silent = true;
    status.silentSeconds = 3725.46;
    status.silentTotalSeconds = 4000;
    status.silenceAlarms = 2;
    status.silenceThresholdDbfs = -45.5;
    status.silenceAfterSeconds = 60;
    status.fallback = status.fallbackPlaying = true;
    status.fallbackSong = "/srv/jingles/id.flac";
    const nlohmann::json silent = nlohmann::json::parse(StatusJsonText(status));
    EXPECT_EQ(silent["silence"], nlohmann::json::parse(R"({"state": "silent", "seconds": 3725.4, "totalSeconds": 4000.0,
        "alarms": 2, "thresholdDbfs": -45.5, "afterSeconds": 60.0,
        "fallback": {"state": "playing", "song": "/srv/jingles/id.flac"}})"));
    const std::string line = StatusLineText(status);
    const std::string end = "  SILENCE for 1:02:05  fallback playing";
    ASSERT_GE(line.size(), end.size());
    EXPECT_EQ(line.substr(line.size() - end.size()), end) << line;
}

TEST(OnAirStatusText, OurOwnLatePeriodsStandBesideTheServersXruns) {
    OnAirStatus status;
    status.xruns = 3;
    status.latePeriods = 2;
    EXPECT_NE(StatusLineText(status).find("  xruns 3  late periods 2  latency"), std::string::npos) << StatusLineText(status);
    const nlohmann::json json = nlohmann::json::parse(StatusJsonText(status));
    EXPECT_EQ(json["xruns"], 3);
    EXPECT_EQ(json["latePeriods"], 2);
}

}  // namespace
}  // namespace loudara
