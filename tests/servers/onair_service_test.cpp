// loudara-cli onair as a service, driven from outside as systemd and a monitor would: SIGHUP
// with a valid and with malformed parameter files, the status file read as fast as possible
// (always whole JSON), SIGTERM leaving nothing behind; and the Icecast stream: MP3 at the asked
// bit rate, decodable, coming back by itself after the server was stopped and started again
// while ON-AIR never stopped.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "audio/icecast_output.h"
#include "persistence/parameter_file.h"
#include "processor/processor.h"
#include "servers/test_servers.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::Child;
using test::Clock;
using test::DummyJackServer;
using test::IcecastServer;
using test::readText;
using test::waitFor;
using nlohmann::json;

class OnAirService : public TempFolder {
protected:
    std::unique_ptr<DummyJackServer> jack;
    fs::path statusFolder;
    std::string statusPath, logPath;

    void SetUp() override {
        TempFolder::SetUp();
        jack = std::make_unique<DummyJackServer>(44100);
        if (!jack->installed()) GTEST_SKIP() << "SKIP: " << jack->why();
        ASSERT_TRUE(jack->running()) << jack->why();
        statusFolder = folder / "status";
        fs::create_directories(statusFolder);
        statusPath = (statusFolder / "onair.json").string();
        logPath = (folder / "onair.log").string();
    }
    void TearDown() override {
        jack.reset();
        TempFolder::TearDown();
    }

    Child startOnAir(std::vector<std::string> extra) {
        std::vector<std::string> args = {LOUDARA_CLI, "onair", "--device", "jack", "--status-interval", "1",
                                         "--status-file", statusPath};
        args.insert(args.end(), extra.begin(), extra.end());
        return Child(args, (folder / "onair.out").string(), logPath);
    }
    // The status as it stands (null when the file is not there yet).
    json status() const {
        const std::string text = readText(statusPath);
        return text.empty() ? json() : json::parse(text);
    }
    bool logHas(const std::string& text) const { return readText(logPath).find(text) != std::string::npos; }
    bool waitStatus(double seconds, const std::function<bool(const json&)>& done) {
        return waitFor(seconds, [&] {
            const json j = status();
            return !j.is_null() && done(j);
        });
    }
};

void saveParameters(const std::string& path, int presetId) {
    auto p = std::make_unique<Processor>();
    resetProcessor(*p);
    selectPresetById(*p, presetId);
    StoredSettings stored;
    std::string error;
    ASSERT_TRUE(SaveParameterFile(*p, stored, path, "", error)) << error;
}

TEST_F(OnAirService, SighupAppliesValidFilesRefusesMalformedOnesAndSigtermLeavesNoTemporaryFile) {
    const std::string params = (folder / "station.ld3").string();
    saveParameters(params, 334);
    Child onair = startOnAir({"--params", params});
    ASSERT_TRUE(waitStatus(15, [](const json& j) { return j["state"] == "on-air"; })) << readText(logPath);

    // A monitor reading as fast as it can always finds a whole status.
    int reads = 0;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(2500);
    while (Clock::now() < until) {
        const std::string text = readText(statusPath);
        ASSERT_FALSE(text.empty());
        ASSERT_TRUE(json::accept(text)) << text;
        ++reads;
    }
    EXPECT_GT(reads, 200);

    saveParameters(params, 340);
    onair.signal(SIGHUP);
    ASSERT_TRUE(waitStatus(10, [](const json& j) { return j["reloads"] == 1; })) << readText(logPath);
    EXPECT_TRUE(logHas("SIGHUP: loaded " + params));

    // Not a parameter file, then one cut short: both refused, the sound goes on.
    const ByteVector valid = read(params);
    write("station.ld3", ByteVector(valid.size(), 'x'));
    onair.signal(SIGHUP);
    ASSERT_TRUE(waitStatus(10, [](const json& j) { return j["reloadsRefused"] == 1; })) << readText(logPath);
    EXPECT_TRUE(logHas("refused, it is not a Loudara parameter file; the running settings are kept"));
    write("station.ld3", ByteVector(valid.begin(), valid.begin() + 600));
    onair.signal(SIGHUP);
    ASSERT_TRUE(waitStatus(10, [](const json& j) { return j["reloadsRefused"] == 2; })) << readText(logPath);
    EXPECT_TRUE(logHas("it holds 600 of 1899 bytes"));
    ASSERT_TRUE(onair.running());
    const json before = status();
    EXPECT_EQ(before["reloads"], 1);
    EXPECT_EQ(before["underflows"], 0);
    EXPECT_EQ(before["overflows"], 0);

    onair.signal(SIGTERM);
    EXPECT_EQ(onair.wait(15), 130);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(statusFolder)) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"onair.json"});
    const json last = status();
    EXPECT_EQ(last["state"], "stopped");
    EXPECT_GE(last["uptimeSeconds"].get<double>(), 3.0);
}

// A parameter file put in place as a FIFO (by anyone who can write the folder): the reload is
// refused without waiting for a writer, the sound and the status go on, and SIGTERM still ends the
// service at once.
TEST_F(OnAirService, AReloadOfAFifoIsRefusedAndTheServiceStillAnswersSigterm) {
    const std::string params = (folder / "station.ld3").string();
    saveParameters(params, 334);
    Child onair = startOnAir({"--params", params});
    ASSERT_TRUE(waitStatus(15, [](const json& j) { return j["state"] == "on-air"; })) << readText(logPath);
    fs::remove(params);
    ASSERT_EQ(mkfifo(params.c_str(), 0666), 0);
    onair.signal(SIGHUP);
    ASSERT_TRUE(waitStatus(10, [](const json& j) { return j["reloadsRefused"] == 1; })) << readText(logPath);
    EXPECT_TRUE(logHas("SIGHUP: " + params + " refused, cannot read it: not a regular file")) << readText(logPath);
    const double refusedAt = status()["uptimeSeconds"].get<double>();
    ASSERT_TRUE(waitStatus(10, [&](const json& j) { return j["uptimeSeconds"].get<double>() >= refusedAt + 2; }));
    EXPECT_EQ(status()["underflows"], 0);
    onair.signal(SIGTERM);
    EXPECT_EQ(onair.wait(2), 130) << "SIGTERM must end the service at once";
}

// systemctl reload right after systemctl start: a SIGHUP while the service is still starting is
// kept and applied once it is on air, never the end of it.
TEST_F(OnAirService, ASighupInTheFirstMillisecondsIsAppliedOnceOnAir) {
    const std::string params = (folder / "station.ld3").string();
    saveParameters(params, 334);
    Child onair = startOnAir({"--params", params});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    onair.signal(SIGHUP);
    ASSERT_TRUE(waitStatus(15, [](const json& j) { return j["state"] == "on-air" && j["reloads"] == 1; }))
        << readText(logPath);
    EXPECT_TRUE(logHas("SIGHUP: loaded " + params));
    ASSERT_TRUE(onair.running());
    onair.signal(SIGTERM);
    EXPECT_EQ(onair.wait(15), 130);
}

// ffprobe's view of the stream: "codec_name=mp3\nsample_rate=...\nbit_rate=...".
std::string probeStream(const std::string& url, const std::string& outFile) {
    const int status = test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,bit_rate",
                                         "-of", "default=nw=1", url},
                                        30, outFile);
    return status == 0 ? readText(outFile) : "ffprobe failed with status " + std::to_string(status);
}

// A service manager may start the service and its JACK server at the same moment: a server that
// comes within 5 s is waited for, none at all is said after that.
TEST_F(OnAirService, AJackServerStartedJustAfterTheServiceIsWaitedFor) {
    jack.reset();
    const std::string name = "loudara_test_" + std::to_string(getpid()) + "_late";
    setenv("JACK_DEFAULT_SERVER", (name + "_never").c_str(), 1);
    Child alone = startOnAir({});
    EXPECT_EQ(alone.wait(15), 1);
    EXPECT_TRUE(logHas("no JACK server is running (server '" + name + "_never')")) << readText(logPath);

    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    Child onair = startOnAir({});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    DummyJackServer late(44100, name);
    ASSERT_TRUE(late.running()) << late.why();
    ASSERT_TRUE(waitStatus(15, [](const json& j) { return j["state"] == "on-air"; })) << readText(logPath);
    onair.signal(SIGTERM);
    EXPECT_EQ(onair.wait(15), 130);
}

TEST_F(OnAirService, IcecastCarriesDecodableMp3AtTheBitRateAndComesBackAfterTheServerReturns) {
    IcecastServer icecast(folder / "icecast", test::freeLoopbackPort());
    if (!icecast.installed()) GTEST_SKIP() << "SKIP: " << icecast.why();
    ASSERT_TRUE(icecast.running()) << icecast.why();
    ASSERT_TRUE(test::programExists("ffprobe") && test::programExists("ffmpeg")) << "ffmpeg is needed (Debian ffmpeg)";
    const std::string url = "http://127.0.0.1:" + std::to_string(icecast.port()) + "/loudara.mp3";
    const std::string passwordFile = (folder / "password").string();
    std::ofstream(passwordFile) << "loudara-test\n";
    fs::permissions(passwordFile, fs::perms::owner_read | fs::perms::owner_write);
    Child onair = startOnAir({"--output", "none", "--icecast",
                              "icecast://127.0.0.1:" + std::to_string(icecast.port()) + "/loudara.mp3",
                              "--icecast-password-file", passwordFile, "--bitrate", "96", "--stream-name", "Loudara test"});
    // Every wait below is for the state it checks, with a limit far above what an idle machine
    // needs: on a loaded one (the sanitizers, other jobs) each step may take many times longer.
    ASSERT_TRUE(waitStatus(60, [](const json& j) { return j["stream"].is_object() && j["stream"]["state"] == "connected"; }))
        << readText(logPath);

    const std::string probe = probeStream(url, (folder / "probe1.txt").string());
    EXPECT_NE(probe.find("codec_name=mp3"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=44100"), std::string::npos) << probe;
    EXPECT_NE(probe.find("bit_rate=96000"), std::string::npos) << probe;
    EXPECT_EQ(test::runProgram({"ffmpeg", "-v", "error", "-t", "2", "-i", url, "-f", "null", "-"}, 30), 0);

    // The server goes: ON-AIR goes on, the stream says it is retrying; it comes back by itself.
    icecast.stop();
    ASSERT_TRUE(waitStatus(60, [](const json& j) { return j["stream"]["state"] != "connected"; })) << readText(logPath);
    const double downAt = status()["uptimeSeconds"].get<double>();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_TRUE(icecast.start()) << icecast.why();
    // The stream tries again 1, 2, 4, 8, 16, 32 and then every 60 s after the loss, so the server
    // that came back is found by the first try after its return: within 60 s of it at the latest.
    ASSERT_TRUE(waitStatus(150, [](const json& j) { return j["stream"]["connections"] == 2; })) << readText(logPath);
    ASSERT_TRUE(onair.running());
    const json back = status();
    EXPECT_EQ(back["state"], "on-air");
    EXPECT_GT(back["uptimeSeconds"].get<double>(), downAt + 3);
    EXPECT_EQ(back["stream"]["state"], "connected");
    EXPECT_EQ(back["stream"]["error"], "") << "connected again: the old reason is gone";
    EXPECT_TRUE(logHas("lost: ")) << readText(logPath);
    const std::string again = probeStream(url, (folder / "probe2.txt").string());
    EXPECT_NE(again.find("bit_rate=96000"), std::string::npos) << again;

    onair.signal(SIGTERM);
    EXPECT_EQ(onair.wait(15), 130);
}

TEST(IcecastAddress, UserHostPortAndMountAreReadAndPasswordsAndBrokenAddressesRefused) {
    IcecastTarget t;
    std::string error;
    ASSERT_TRUE(ParseIcecastUrl("icecast://src%40x@radio.example.org:8123/live/main.mp3", t, error)) << error;
    EXPECT_EQ(t.user, "src@x");
    EXPECT_EQ(t.password, "");
    EXPECT_EQ(t.host, "radio.example.org");
    EXPECT_EQ(t.port, 8123);
    EXPECT_EQ(t.mount, "/live/main.mp3");
    EXPECT_EQ(t.display(), "radio.example.org:8123/live/main.mp3");
    // As Icecast's own tools write it.
    ASSERT_TRUE(ParseIcecastUrl("http://127.0.0.1/a.mp3", t, error)) << error;
    EXPECT_EQ(t.user, "source");
    EXPECT_EQ(t.host, "127.0.0.1");
    EXPECT_EQ(t.port, 8000);
    EXPECT_EQ(t.mount, "/a.mp3");
    for (const char* secret : {"icecast://source:x@h:8000/m", "http://:secret@127.0.0.1/a.mp3", "http://source:@h/m"}) {
        EXPECT_FALSE(ParseIcecastUrl(secret, t, error)) << secret;
        EXPECT_EQ(error, kIcecastPasswordInAddressText) << secret;
    }
    EXPECT_FALSE(ParseIcecastUrl("https://h:8000/m", t, error));
    EXPECT_NE(error.find("https:// is not supported"), std::string::npos) << error;
    for (const char* bad : {"ftp://h:8000/m", "icecast://h:8000", "icecast://h:8000/", "icecast://h:0/m",
                            "http://h:99999/m", "icecast://h:80a/m", "icecast://%4@h/m", "icecast://source@:8000/m"}) {
        EXPECT_FALSE(ParseIcecastUrl(bad, t, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
}  // namespace loudara
