// The dead-air alarm on the ON-AIR block path: raised once after the set time of silence and ended
// once when the sound is back; with fallback songs, they reach the output while the input is silent
// (at their own level, after a fade-in) and give way to the input when it returns, after which the
// input passes untouched. The event commands run without a shell, with the event's variables; the
// fallback's song lists are read as given.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "audio/event_command.h"
#include "audio/fallback_source.h"
#include "audio/realtime_chain.h"
#include "audio/silence_alarm.h"
#include "wav_builder.h"

namespace loudara {
namespace {

constexpr uint32_t kRate = 44100;
constexpr std::size_t kBlock = 4096;

std::vector<int16_t> toneFrames(double hz, double dbfs, std::size_t frames, std::size_t from = 0) {
    const double amplitude = 32768.0 * std::pow(10.0, dbfs / 20.0);
    std::vector<int16_t> out(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * double(from + i) / kRate)));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

// Waits (up to 10 s) until the reader has `frames` frames ready.
bool waitForFrames(const FallbackSource& source, std::size_t frames) {
    for (int i = 0; i < 1000; ++i) {
        if (source.bufferedFrames() >= frames) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

double peakDb(const int16_t* samples, std::size_t frames) {
    int peak = 0;
    for (std::size_t i = 0; i < 2 * frames; ++i) peak = std::max(peak, std::abs(int(samples[i])));
    return peak == 0 ? -200 : 20 * std::log10(peak / 32768.0);
}

TEST(SilenceAlarm, RaisedOnceAfterTheSetTimeAndEndedOnceWhenTheSoundIsBack) {
    SilenceAlarm alarm({-50, 2});
    const std::vector<int16_t> quiet(2 * kBlock, 3);  // about -80 dBFS of hum
    const std::vector<int16_t> sound = toneFrames(1000, -20, kBlock);
    int16_t unused[2 * kBlock];
    int block = 0;
    for (; block < 40 && alarm.snapshot().began == 0; ++block) {
        EXPECT_FALSE(alarm.standIn(quiet.data(), unused, kBlock, kRate)) << "no fallback: the input stays";
        alarm.processedBlock(quiet.data(), kBlock, kRate);
    }
    EXPECT_EQ(block, static_cast<int>(std::ceil(2.0 * kRate / kBlock)));  // the block that completes 2 s
    for (int i = 0; i < 30; ++i) alarm.processedBlock(quiet.data(), kBlock, kRate);
    SilenceAlarm::Snapshot s = alarm.snapshot();
    EXPECT_TRUE(s.silent);
    EXPECT_EQ(s.began, 1u);
    EXPECT_NEAR(s.silentSeconds, (block + 30) * double(kBlock) / kRate, 0.2);
    for (int i = 0; i < 10; ++i) alarm.processedBlock(sound.data(), kBlock, kRate);
    s = alarm.snapshot();
    EXPECT_FALSE(s.silent);
    EXPECT_EQ(s.began, 1u);
    EXPECT_EQ(s.ended, 1u);
    EXPECT_NEAR(s.lastSilenceSeconds, (block + 30) * double(kBlock) / kRate + 0.5, 0.2);
    EXPECT_NEAR(s.totalSilentSeconds, s.lastSilenceSeconds, 1e-9);
    EXPECT_EQ(s.silentSeconds, 0);
}

class FallbackSongsTest : public TempFolder {};

TEST_F(FallbackSongsTest, FallbackPlaysWhileTheInputIsSilentAndGivesWayWhenItReturns) {
    // The fallback song: 2 s of 440 Hz at -6 dBFS (round and round).
    const std::string song = write("fallback.wav", pcmWave(toneFrames(440, -6, 2 * kRate), 2, kRate));
    FallbackSource source({song});
    source.start(kRate);
    SilenceAlarm alarm({-50, 1}, &source);
    const std::vector<int16_t> silence(2 * kBlock, 0);
    std::vector<int16_t> out(2 * kBlock);
    std::vector<double> outputDb;
    std::vector<bool> replaced;
    // 4 s of silent input, then 4 s of a 1 kHz tone at -20 dBFS. The chain is left out: what is
    // processed is what the alarm gives.
    const int blocks = static_cast<int>(8.0 * kRate / kBlock);
    const int soundFrom = static_cast<int>(4.0 * kRate / kBlock);
    for (int b = 0; b < blocks; ++b) {
        const std::vector<int16_t> input = b < soundFrom ? silence : toneFrames(1000, -20, kBlock, b * kBlock);
        // As in real time, the reader has a block ready for every block taken.
        ASSERT_TRUE(waitForFrames(source, kBlock)) << b;
        const bool stood = alarm.standIn(input.data(), out.data(), kBlock, kRate);
        const int16_t* processed = stood ? out.data() : input.data();
        alarm.processedBlock(processed, kBlock, kRate);
        outputDb.push_back(peakDb(processed, kBlock));
        replaced.push_back(stood);
        if (!stood) {
            EXPECT_EQ(std::vector<int16_t>(processed, processed + 2 * kBlock), input) << b;
        }
        if (b >= soundFrom && stood) {
            // While it fades out, the returning input is all there under it.
            EXPECT_GE(outputDb.back(), -20.5) << b;
        }
    }
    const int raisedAt = static_cast<int>(std::ceil(1.0 * kRate / kBlock));  // the block that completes 1 s
    for (int b = 0; b < raisedAt; ++b) EXPECT_FALSE(replaced[b]) << b;
    // From the next block the songs are mixed in; half a second later at their own level.
    for (int b = raisedAt; b < soundFrom; ++b) EXPECT_TRUE(replaced[b]) << b;
    for (int b = raisedAt + 7; b < soundFrom; ++b) EXPECT_NEAR(outputDb[b], -6, 0.3) << b;
    // The input's sound ends the alarm within a second, and the songs are gone half a second later.
    int gaveWayAt = soundFrom;
    while (gaveWayAt < blocks && replaced[gaveWayAt]) ++gaveWayAt;
    EXPECT_LE((gaveWayAt - soundFrom) * double(kBlock) / kRate, 1.0 + 0.5 + 2.0 * kBlock / kRate);
    for (int b = gaveWayAt; b < blocks; ++b) EXPECT_FALSE(replaced[b]) << b;
    const SilenceAlarm::Snapshot s = alarm.snapshot();
    EXPECT_EQ(s.began, 1u);
    EXPECT_EQ(s.ended, 1u);
    EXPECT_FALSE(s.fallbackPlaying);
    EXPECT_EQ(source.currentSong(), song);
    EXPECT_TRUE(source.takeLog().empty());
}

// ON-AIR on Loudara's JACK client: the chain runs in the JACK period, and so do the alarm's watch
// of the output and the songs standing in; the drained copy of the sound that reaches the block tap
// later is only handed on, so the silence is not counted twice.
TEST_F(FallbackSongsTest, InTheDevicesPeriodTheSongsStandInThere) {
    const std::string song = write("fallback.wav", pcmWave(toneFrames(440, -6, 2 * kRate), 2, kRate));
    FallbackSource source({song});
    source.start(kRate);
    SilenceAlarm alarm({-50, 1}, &source);
    alarm.setInPeriod(true);
    auto p = std::make_unique<Processor>();
    p->settings.bypass = 1;  // what comes out is what the alarm gave the chain
    prepare(*p, kRate);
    RealtimeChain chain(*p, &alarm, kRate);
    constexpr uint32_t kPeriod = 256;
    const std::vector<float> silence(kPeriod, 0.0f);
    std::vector<float> outL(kPeriod), outR(kPeriod);
    std::vector<int16_t> drained(2 * RealtimeChain::kRingFrames);
    int raisedAt = -1;
    double lastPeakDb = -200;
    for (int period = 0; period < static_cast<int>(3 * kRate / kPeriod); ++period) {
        ASSERT_TRUE(waitForFrames(source, kPeriod)) << period;
        chain.process(silence.data(), silence.data(), outL.data(), outR.data(), kPeriod);
        const std::size_t got = chain.drain(drained.data(), RealtimeChain::kRingFrames);
        alarm.processedBlock(drained.data(), got, kRate);
        if (raisedAt < 0 && alarm.snapshot().began == 1) raisedAt = period;
        float peak = 0;
        for (float v : outL) peak = std::max(peak, std::fabs(v));
        lastPeakDb = peak > 0 ? 20 * std::log10(peak) : -200;
    }
    EXPECT_EQ(raisedAt, static_cast<int>(std::ceil(1.0 * kRate / kPeriod)) - 1) << "raised after 1 s, counted once";
    EXPECT_NEAR(lastPeakDb, -6, 0.3) << "the songs play through the chain";
    EXPECT_TRUE(alarm.snapshot().fallbackPlaying);
}

TEST_F(FallbackSongsTest, ListsAreReadAsGivenAndUnreadableSongsAreReportedOnce) {
    write("a.wav", pcmWave(toneFrames(440, -6, kRate / 10), 2, kRate));
    fs::create_directories(folder / "sub");
    const std::string list = write("list.m3u", ByteVector{});
    std::ofstream(list) << "#EXTM3U\n# a comment\na.wav\r\n  sub/missing.flac\n\n" << (folder / "a.wav").string() << "\n";
    std::vector<std::string> songs;
    std::string error;
    ASSERT_TRUE(FallbackSongs(list, songs, error)) << error;
    EXPECT_EQ(songs, (std::vector<std::string>{(folder / "a.wav").string(), (folder / "sub/missing.flac").string(),
                                               (folder / "a.wav").string()}));
    ASSERT_TRUE(FallbackSongs((folder / "a.wav").string(), songs, error));
    EXPECT_EQ(songs.size(), 1u);
    EXPECT_FALSE(FallbackSongs((folder / "none.wav").string(), songs, error));
    EXPECT_NE(error.find("is not a file"), std::string::npos) << error;
    std::ofstream(write("empty.m3u", ByteVector{})) << "# nothing\n";
    EXPECT_FALSE(FallbackSongs((folder / "empty.m3u").string(), songs, error));
    EXPECT_NE(error.find("lists no songs"), std::string::npos) << error;

    // The missing song is passed over (and named once); the other plays.
    ASSERT_TRUE(FallbackSongs(list, songs, error));
    FallbackSource source(songs);
    source.start(kRate);
    ASSERT_TRUE(waitForFrames(source, kRate));
    std::vector<float> frames(2 * 4410);
    ASSERT_EQ(source.take(frames.data(), 4410), 4410u);
    EXPECT_NEAR(*std::max_element(frames.begin(), frames.end()), 0.5, 0.01);
    const std::vector<std::string> log = source.takeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("missing.flac"), std::string::npos) << log[0];
}

TEST_F(FallbackSongsTest, EventCommandsRunWithoutAShellWithTheEventInTheirEnvironment) {
    const std::string out = (folder / "out.txt").string();
    const std::string script = (folder / "event.sh").string();
    std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s|%s|%s\\n' \"$LOUDARA_EVENT\" \"$LOUDARA_SILENCE_SECONDS\" \"$1\" \"$2\" >> "
                          << out << "\nexit $3\n";
    chmod(script.c_str(), 0755);
    EventCommands commands;
    std::string error;
    ASSERT_TRUE(CheckEventCommand(script + " x", error)) << error;
    ASSERT_GT(commands.start(script + " \"two words\" $HOME;touch 0",
                             {{"LOUDARA_EVENT", "silence"}, {"LOUDARA_SILENCE_SECONDS", "30.0"}}, error),
              0)
        << error;
    ASSERT_GT(commands.start(script + " b c 3", {{"LOUDARA_EVENT", "silence-end"}, {"LOUDARA_SILENCE_SECONDS", "41.5"}}, error), 0);
    std::vector<std::string> ended;
    for (int i = 0; i < 500 && commands.running() > 0; ++i) {
        for (const std::string& line : commands.finished()) ended.push_back(line);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(commands.running(), 0u);
    // Nothing of "$HOME;touch" was read by a shell; the failing one is reported.
    const std::string lines = std::string(reinterpret_cast<const char*>(read(out).data()), read(out).size());
    EXPECT_NE(lines.find("silence|30.0|two words|$HOME;touch\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("silence-end|41.5|b|c\n"), std::string::npos) << lines;
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0], script + " ended with status 3");
    EXPECT_FALSE(fs::exists(folder / "0"));

    EXPECT_FALSE(CheckEventCommand("no-such-program-of-loudara", error));
    EXPECT_EQ(error, "no program no-such-program-of-loudara on the PATH");
    EXPECT_FALSE(CheckEventCommand(out, error));
    EXPECT_NE(error.find("is not an executable file"), std::string::npos) << error;
    EXPECT_FALSE(CheckEventCommand("  ", error));
}

}  // namespace
}  // namespace loudara
