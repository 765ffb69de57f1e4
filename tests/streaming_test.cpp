// Playback and ON-AIR streaming over fake devices: what the blocks hold and how long they are,
// the play states through every transition, seeking, continuous playback, and the device
// listing and opening rules. The processor runs bypassed where the test looks at the samples,
// which then pass through unchanged (they are all non-negative, so the dither never shows).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "audio/streaming.h"
#include "fake_wave.h"
#include "files/peak_level.h"
#include "mp3_test_files.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::FakeDeviceEntry;
using test::FakeEventLoop;
using test::FakeView;
using test::FakeWavePlatform;

constexpr int kFramesPerBlock = 4096;

std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    return p;
}

// Frame f of a test song: left counts frames (1..20000 over and over), right names the
// 4096-frame block the frame belongs to, so a heard block tells where it came from.
int16_t leftOf(int frame) { return static_cast<int16_t>(frame % 20000 + 1); }
int16_t rightOf(int frame) { return static_cast<int16_t>(frame / kFramesPerBlock); }

std::vector<int16_t> stereoSong(int frames) {
    std::vector<int16_t> s(2 * static_cast<size_t>(frames));
    for (int f = 0; f < frames; ++f) {
        s[2 * f] = leftOf(f);
        s[2 * f + 1] = rightOf(f);
    }
    return s;
}

class Streams : public TempFolder {
protected:
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = firstStartProcessor();
    FakeWavePlatform platform;
    std::unique_ptr<DeviceEngine> engine = std::make_unique<DeviceEngine>(platform);
    FakeEventLoop loop;
    FakeView view;
    RecordingHost host;
    Mp3Decoder mp3;
    Streaming s{*app, app->playlist, app->stored, *p, *engine, loop, view, host, mp3};
    std::vector<int16_t> heard;  // every sample the output took from a block

    void SetUp() override {
        TempFolder::SetUp();
        p->settings.bypass = 1;
    }

    void startEngine() { StartDeviceEngine(*engine, app->stored, host); }

    int addSong(const std::string& path, SongKind kind) {
        Playlist& list = app->playlist;
        SongRecord& song = list.songs[list.songCount];
        if (kind == SongKind::Wav) {
            EXPECT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
        } else if (kind == SongKind::Mp3) {
            EXPECT_EQ(ProbeMp3File(path.c_str(), song), Mp3ProbeResult::Ok);
        }
        song.kind = kind;
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        return list.songCount++;
    }

    int addWav(const std::string& name, const std::vector<int16_t>& samples, uint32_t channels = 2,
               uint32_t rate = 44100) {
        return addSong(write(name, pcmWave(samples, channels, rate)), SongKind::Wav);
    }

    // One period of the output device, `bytes` long, then the loop hands out the notices.
    void playPeriod(std::size_t bytes = kSoundBlockBytes) {
        ASSERT_TRUE(platform.output);
        std::vector<uint8_t> buffer(bytes);
        const uint64_t before = platform.output->counters().bytesPlayed;
        platform.output->render(buffer.data(), bytes);
        const uint64_t took = platform.output->counters().bytesPlayed - before;
        const auto* samples = reinterpret_cast<const int16_t*>(buffer.data());
        heard.insert(heard.end(), samples, samples + took / 2);
        DispatchDeviceNotices(s);
    }

    void playUntilStopped(int maxPeriods = 2000) {
        for (int i = 0; i < maxPeriods && app->playState != PlayState::Stopped; ++i) playPeriod();
        ASSERT_EQ(app->playState, PlayState::Stopped);
    }

    std::vector<uint32_t> queuedLengths() const {
        std::vector<uint32_t> lengths;
        for (int i = 0; i < engine->allocatedBlocks; ++i) lengths.push_back(engine->outputBlocks[i]->bufferLength);
        return lengths;
    }

    bool nothingOpen() const {
        return !engine->output && !engine->input && engine->allocatedBlocks == 0 && !engine->songFile &&
               !engine->mp3Open;
    }
};

TEST_F(Streams, ShortStereoSongQueuesShortAndEmptyBlocksDrainsAndStops) {
    startEngine();
    addWav("short.wav", stereoSong(10000));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_EQ(queuedLengths(), (std::vector<uint32_t>{16384, 16384, 7232, 0}));
    EXPECT_EQ(platform.output->queuedBlocks(), 4u);
    EXPECT_FALSE(platform.output->paused());
    EXPECT_EQ(platform.output->sampleRate, 44100u);

    playPeriod();  // the first block returns; its refill finds the end of the song
    EXPECT_EQ(app->playState, PlayState::Draining);
    EXPECT_EQ(engine->outputBlocks[0]->bufferLength, 0u);
    playUntilStopped();
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.output->streamClosed);
    EXPECT_EQ(heard, stereoSong(10000));
    EXPECT_FALSE(loop.running(kNextSongTimer));  // one song only
    EXPECT_GT(view.repaints, 0);
}

TEST_F(Streams, MonoSongPlaysBothChannelsEqualAtItsOwnRate) {
    startEngine();
    const int frames = 3 * kFramesPerBlock + 1000;
    std::vector<int16_t> mono(frames);
    for (int f = 0; f < frames; ++f) mono[f] = leftOf(f);
    addWav("mono.wav", mono, 1, 32000);
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(platform.output->sampleRate, 32000u);  // opened in stereo at the song's rate
    EXPECT_EQ(engine->channels, 1);
    EXPECT_EQ(queuedLengths(), (std::vector<uint32_t>{16384, 16384, 16384, 4000}));
    playUntilStopped();
    ASSERT_EQ(heard.size(), 2u * frames);
    for (int f = 0; f < frames; ++f) {
        ASSERT_EQ(heard[2 * f], mono[f]) << f;
        ASSERT_EQ(heard[2 * f + 1], mono[f]) << f;
    }
}

TEST_F(Streams, ElapsedTimeCountsStereoOutputAtTheSongsRate) {
    startEngine();
    const int frames = 48000 * 3;
    std::vector<int16_t> mono(frames, 5);
    addWav("three.wav", mono, 1, 48000);
    EXPECT_EQ(FormatPlayTime(s), " 00:00");
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    for (int i = 0; i < 100 && app->playState == PlayState::Playing; ++i) playPeriod();
    // Everything has been read: 3 s of mono at 48000 Hz are 3 s of stereo output.
    EXPECT_EQ(engine->playPosition, 4u * frames);
    EXPECT_EQ(FormatPlayTime(s), " 00:03");
    engine->playPosition = 4u * 48000 * 754;
    EXPECT_EQ(FormatPlayTime(s), " 12:34");
    playUntilStopped();
    EXPECT_EQ(FormatPlayTime(s), " 00:00");
}

TEST_F(Streams, PlaybackEndsWithTheDataChunk) {
    startEngine();
    Bytes after;
    after.chunk("LIST", ByteVector(5000, 0x7F));
    const std::string path = write("tail.wav", pcmWave(stereoSong(5000), 2, 44100, {}, after));
    addSong(path, SongKind::Wav);
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    playUntilStopped();
    EXPECT_EQ(heard, stereoSong(5000));
}

TEST_F(Streams, HoldingFastForwardSkipsNineteenBlocksPerBlockHeard) {
    startEngine();
    addWav("long.wav", stereoSong(100 * kFramesPerBlock));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);  // blocks 0..3 queued
    ASSERT_TRUE(PressTransportButton(s, 5));
    view.cursorButton = 5;
    playPeriod();  // block 0 heard; its refill reads blocks 4..23 and keeps 23
    EXPECT_EQ(engine->outputBlocks[0]->bufferLength, kSoundBlockBytes);
    EXPECT_EQ(reinterpret_cast<int16_t*>(engine->outputBlocks[0]->data)[1], 23);
    EXPECT_EQ(engine->playPosition, 24u * kSoundBlockBytes);
    playPeriod();  // the next refill keeps 43
    EXPECT_EQ(reinterpret_cast<int16_t*>(engine->outputBlocks[1]->data)[1], 43);

    view.cursorButton = -1;  // the cursor left the button: the seek ends there
    playPeriod();
    EXPECT_EQ(app->seekActive, 0);
    EXPECT_GT(view.clears, 0);
    EXPECT_EQ(reinterpret_cast<int16_t*>(engine->outputBlocks[2]->data)[1], 44);
}

TEST_F(Streams, HoldingFastRewindGoesBackOneBlockPerStepAndStopsAtTheFirstSample) {
    startEngine();
    addWav("long.wav", stereoSong(100 * kFramesPerBlock));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    for (int i = 0; i < 6; ++i) playPeriod();  // blocks 0..9 read
    ASSERT_EQ(engine->playPosition, 10u * kSoundBlockBytes);
    ASSERT_TRUE(PressTransportButton(s, 1));  // rewind: 5 steps
    view.cursorButton = 1;
    playPeriod();  // 10 -> 5 blocks read, block 4 played
    EXPECT_EQ(engine->playPosition, 5u * kSoundBlockBytes);
    EXPECT_EQ(reinterpret_cast<int16_t*>(engine->outputBlocks[2]->data)[1], 4);
    ASSERT_TRUE(PressTransportButton(s, 0));  // fast rewind: 20 steps, far past the start
    view.cursorButton = 0;
    playPeriod();
    EXPECT_EQ(engine->playPosition, kSoundBlockBytes);
    const int16_t* first = reinterpret_cast<int16_t*>(engine->outputBlocks[3]->data);
    EXPECT_EQ(first[0], leftOf(0));
    EXPECT_EQ(first[1], 0);
    playPeriod();  // still at the first block
    EXPECT_EQ(engine->playPosition, kSoundBlockBytes);
    ReleaseTransportButtons(s);
    playPeriod();
    EXPECT_EQ(engine->playPosition, 2u * kSoundBlockBytes);
    StopPlayback(s);
}

TEST_F(Streams, MonoSeekingReadsHalfBlocksAndCountsThePositionInStereoBytes) {
    // A mono block is 8192 file bytes (4096 samples); playPosition counts the stereo bytes played,
    // twice the file bytes. Each sample names its block (1..100).
    startEngine();
    std::vector<int16_t> mono(100 * kFramesPerBlock);
    for (int f = 0; f < int(mono.size()); ++f) mono[f] = static_cast<int16_t>(rightOf(f) + 1);
    addWav("mono.wav", mono, 1, 44100);
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(engine->playPosition, 4u * kSoundBlockBytes);
    auto heardBlock = [this](int i) { return reinterpret_cast<int16_t*>(engine->outputBlocks[i]->data); };

    // Fast forward, 20 steps: blocks 5..24 read, the last one played.
    ASSERT_TRUE(PressTransportButton(s, 5));
    view.cursorButton = 5;
    playPeriod();
    EXPECT_EQ(engine->playPosition, 24u * kSoundBlockBytes);
    EXPECT_EQ(heardBlock(0)[0], 24);
    EXPECT_EQ(heardBlock(0)[1], 24);
    EXPECT_EQ(engine->outputBlocks[0]->bufferLength, kSoundBlockBytes);

    // Rewind, 5 steps: each moves back two blocks (16384 file bytes), sets the position to twice
    // the new offset and reads one: 24 -> 22 -> 23, ..., 18 -> 19 blocks; block 19 is played.
    ASSERT_TRUE(PressTransportButton(s, 1));
    view.cursorButton = 1;
    playPeriod();
    EXPECT_EQ(engine->playPosition, 19u * kSoundBlockBytes);
    EXPECT_EQ(heardBlock(1)[0], 19);

    // Fast rewind far past the start: the read point stops at the first sample.
    ASSERT_TRUE(PressTransportButton(s, 0));
    view.cursorButton = 0;
    playPeriod();
    EXPECT_EQ(engine->playPosition, kSoundBlockBytes);
    EXPECT_EQ(heardBlock(2)[0], 1);
    EXPECT_EQ(heardBlock(2)[2 * kFramesPerBlock - 1], 1);

    ReleaseTransportButtons(s);
    playPeriod();
    EXPECT_EQ(engine->playPosition, 2u * kSoundBlockBytes);
    EXPECT_EQ(heardBlock(3)[0], 2);
    StopPlayback(s);
}

class Mp3Streams : public Streams {
protected:
    int addMp3(const std::string& name, int frames, uint32_t channels = 2, uint32_t rate = 44100) {
        const std::string path = (folder / name).string();
        test::writeMp3(path, test::timingSignal(frames, static_cast<int>(channels), static_cast<int>(rate)), channels,
                       rate, 128);
        return addSong(path, SongKind::Mp3);
    }
};

TEST_F(Mp3Streams, PlaysToItsEndAndRewindingDoesNothing) {
    startEngine();
    addMp3("song.mp3", 44100 * 2);
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(queuedLengths(), (std::vector<uint32_t>(4, kSoundBlockBytes)));
    // More than four blocks of decoder frames are read, never a part of one.
    EXPECT_EQ(engine->playPosition % (kMp3FrameSamples * 4), 0u);
    EXPECT_EQ(engine->playPosition - engine->mp3CarryBytes, 4u * kSoundBlockBytes);

    ASSERT_TRUE(PressTransportButton(s, 0));
    view.cursorButton = 0;
    uint32_t before = engine->playPosition;
    playPeriod();
    EXPECT_EQ(app->seekActive, 0);
    EXPECT_EQ(engine->playPosition - engine->mp3CarryBytes, 5u * kSoundBlockBytes);
    EXPECT_GT(engine->playPosition, before);
    // Rewind steps with the cursor over a forward button: refused at once, the block plays on.
    app->seekSteps = -20;
    app->seekActive = 1;
    view.cursorButton = 4;
    playPeriod();
    EXPECT_EQ(app->seekActive, 0);
    EXPECT_EQ(engine->playPosition - engine->mp3CarryBytes, 6u * kSoundBlockBytes);

    playUntilStopped();
    EXPECT_TRUE(nothingOpen());
    const SongRecord& song = app->playlist.songs[0];
    EXPECT_EQ(app->playlist.songStatus[0], kSongStatusNone);
    EXPECT_NEAR(static_cast<double>(heard.size() * 2), static_cast<double>(song.dataBytes), 4.0 * 1152 * 2);
}

TEST_F(Mp3Streams, ForwardSeekKeepsOnlyTheLastOfEachRunOfFrames) {
    startEngine();
    addMp3("long.mp3", 44100 * 10);
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    ASSERT_TRUE(PressTransportButton(s, 4));
    view.cursorButton = 4;
    const uint32_t carry = engine->mp3CarryBytes;
    const uint32_t before = engine->playPosition;
    playPeriod();
    // Each frame kept costs five: the block needs ceil((16384 - carry) / 4608) frames kept.
    const uint32_t kept = (kSoundBlockBytes - carry) / 4608 + 1;
    EXPECT_EQ(engine->playPosition - before, 5u * kept * 4608);
    StopPlayback(s);
}

TEST_F(Mp3Streams, SongThatCannotFillTheFirstBlocksIsMarkedFailed) {
    startEngine();
    addMp3("short.mp3", 6000);
    EXPECT_EQ(StartPlayback(s), StartResult::Mp3NotFilled);
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_EQ(app->playlist.songStatus[0], kSongStatusFailed);
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.output->streamClosed);
}

TEST_F(Mp3Streams, PendingSongIsRefusedBeforeAnyDeviceOpens) {
    startEngine();
    const int index = addWav("x.wav", stereoSong(100));
    app->playlist.songs[index].kind = SongKind::Mp3Pending;
    EXPECT_EQ(StartPlayback(s), StartResult::SongPending);
    EXPECT_TRUE(platform.opened.empty());
}

TEST_F(Streams, ContinuousPlaybackAdvancesAndStopsAfterTheLastSong) {
    startEngine();
    addWav("a.wav", stereoSong(6000));
    addWav("b.wav", stereoSong(3000));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    playUntilStopped();
    EXPECT_EQ(app->playlist.currentSong, 1);
    EXPECT_EQ(loop.timers[kNextSongTimer], 1000);
    EXPECT_STREQ(engine->songPath, app->playlist.songs[1].path);

    StartResult result = StartResult::NoSong;
    OnStreamTimer(s, kNextSongTimer, &result);
    EXPECT_EQ(result, StartResult::Started);
    EXPECT_FALSE(loop.running(kNextSongTimer));
    EXPECT_EQ(app->playlist.playingSong, 1);
    playUntilStopped();
    EXPECT_FALSE(loop.running(kNextSongTimer));
    EXPECT_EQ(app->playlist.currentSong, 1);
    std::vector<int16_t> both = stereoSong(6000);
    const std::vector<int16_t> second = stereoSong(3000);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(heard, both);
}

TEST_F(Streams, StopDrainsTheQueueAndPreventsTheNextSong) {
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    addWav("b.wav", stereoSong(1000));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    playPeriod();
    ASSERT_TRUE(StopCommand(s));
    EXPECT_EQ(app->playState, PlayState::Draining);
    EXPECT_EQ(app->noAdvanceOnce, 1);
    playUntilStopped();
    EXPECT_EQ(heard, stereoSong(5 * kFramesPerBlock));  // the refilled block still plays
    EXPECT_FALSE(loop.running(kNextSongTimer));
    EXPECT_EQ(app->playlist.currentSong, 0);
    EXPECT_EQ(app->noAdvanceOnce, 0);
    EXPECT_FALSE(StopCommand(s));
}

TEST_F(Streams, MovingTheSelectionDuringPlaybackChangesWhichSongFollows) {
    startEngine();
    addWav("a.wav", stereoSong(3000));
    addWav("b.wav", stereoSong(3000));
    addWav("c.wav", stereoSong(3000));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    app->playlist.currentSong = 1;
    playUntilStopped();
    EXPECT_EQ(app->playlist.currentSong, 2);
    EXPECT_STREQ(engine->songPath, app->playlist.songs[2].path);
    EXPECT_TRUE(loop.running(kNextSongTimer));
}

TEST_F(Streams, RefusedQueueingStopsTheStreamWithoutAdvancing) {
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    addWav("b.wav", stereoSong(1000));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    platform.output->refuseQueue = true;
    playPeriod();
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(nothingOpen());
    EXPECT_FALSE(loop.running(kNextSongTimer));
}

TEST_F(Streams, StartOnlyFromStoppedAndFailedStartsLeaveNothingOpen) {
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    const int missing = addWav("gone.wav", stereoSong(100));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(StartPlayback(s), StartResult::NotStopped);
    EXPECT_FALSE(PlayCommand(s));
    StopPlayback(s);
    EXPECT_TRUE(nothingOpen());

    std::filesystem::remove(app->playlist.songs[missing].path);
    app->playlist.currentSong = missing;
    EXPECT_EQ(StartPlayback(s), StartResult::SongNotOpened);
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(nothingOpen());

    app->playlist.currentSong = 0;
    app->playlist.songs[0].sampleRate = 22050;
    EXPECT_EQ(StartPlayback(s), StartResult::SongUnsupported);
    app->playlist.currentSong = 7;
    EXPECT_FALSE(PlayCommand(s));
    EXPECT_EQ(StartPlayback(s), StartResult::NoSong);
}

TEST_F(Streams, NormalizeGainFollowsThePeakLevel) {
    startEngine();
    const int song = addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    const std::pair<uint32_t, double> cases[] = {{1000, 16.0}, {16384, 32767.0 / 16384}, {32767, 1.0}, {0, 1.0}};
    for (const auto& [peak, gain] : cases) {
        app->playlist.songs[song].peakLevel = peak;
        ASSERT_EQ(StartPlayback(s), StartResult::Started);
        EXPECT_DOUBLE_EQ(p->settings.normalizeGain, gain) << peak;
        StopPlayback(s);
    }
}

TEST_F(Streams, BlockCountTwoAndEightAllocateExactlyThatMany) {
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    for (int count : {2, 8}) {
        app->stored.blockCount = count;
        ASSERT_EQ(StartPlayback(s), StartResult::Started);
        EXPECT_EQ(engine->allocatedBlocks, count);
        EXPECT_EQ(platform.output->queuedBlocks(), static_cast<std::size_t>(count));
        for (int i = 0; i < kMaxSoundBlocks; ++i) {
            EXPECT_EQ(engine->outputBlocks[i] != nullptr, i < count);
            if (i < count) { EXPECT_EQ(engine->outputBlocks[i]->bufferLength, kSoundBlockBytes); }
            EXPECT_EQ(engine->inputBlocks[i], nullptr);
        }
        // The settings change while the stream runs; the stop frees what the start made.
        app->stored.blockCount = count == 2 ? 8 : 2;
        playPeriod();
        StopPlayback(s);
        EXPECT_TRUE(nothingOpen());
        for (int i = 0; i < kMaxSoundBlocks; ++i) EXPECT_EQ(engine->outputBlocks[i], nullptr);
    }
}

TEST_F(Streams, OnAirAt32000WithTwoBlocksProcessesTheLatestCapture) {
    startEngine();
    app->stored.blockCount = 2;
    app->stored.onAirRateChoice = 0;
    ASSERT_TRUE(ToggleOnAirMode(s));
    EXPECT_EQ(app->playlist.songCount, 1);
    EXPECT_STREQ(app->playlist.songs[0].path, kOnAirSongPath);
    EXPECT_EQ(view.locks, std::vector<bool>{true});
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    ASSERT_TRUE(platform.input && platform.output);
    EXPECT_EQ(platform.opened.front().first, WaveDirection::Input);  // the input opens first
    EXPECT_EQ(platform.input->sampleRate, 32000u);
    EXPECT_EQ(platform.output->sampleRate, 32000u);
    EXPECT_EQ(platform.input->queuedBlocks(), 2u);
    EXPECT_EQ(platform.output->queuedBlocks(), 2u);
    EXPECT_EQ(loop.sleeps, std::vector<int>{100});
    EXPECT_TRUE(platform.input->streamRunning);
    EXPECT_EQ(FormatPlayTime(s), " ");
    EXPECT_EQ(queuedLengths(), (std::vector<uint32_t>{16384, 16384}));

    // Input block 0 fills; output block 0 returns and is refilled from it.
    std::vector<int16_t> captured = stereoSong(kFramesPerBlock);
    platform.input->capture(reinterpret_cast<const uint8_t*>(captured.data()), kSoundBlockBytes);
    DispatchDeviceNotices(s);
    EXPECT_EQ(platform.input->queuedBlocks(), 2u);  // queued again
    playPeriod();
    const int16_t* refilled = reinterpret_cast<const int16_t*>(engine->outputBlocks[0]->data);
    EXPECT_TRUE(std::equal(captured.begin(), captured.end(), refilled));
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_EQ(engine->playPosition, 3u * kSoundBlockBytes);

    // No input block queued: the captured bytes are dropped and counted.
    platform.input->refuseQueue = true;
    platform.input->capture(reinterpret_cast<const uint8_t*>(captured.data()), kSoundBlockBytes);
    platform.input->capture(reinterpret_cast<const uint8_t*>(captured.data()), kSoundBlockBytes);
    DispatchDeviceNotices(s);
    platform.input->capture(reinterpret_cast<const uint8_t*>(captured.data()), 64);
    EXPECT_EQ(platform.input->counters().overflows, 1u);

    ASSERT_TRUE(StopCommand(s));
    playUntilStopped();
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.input->streamClosed);
    EXPECT_FALSE(loop.running(kNextSongTimer));

    ASSERT_TRUE(ToggleOnAirMode(s));
    EXPECT_EQ(app->onAirMode, 0);
    EXPECT_EQ(app->playlist.songCount, 0);
    EXPECT_EQ(view.locks, (std::vector<bool>{true, false}));
}

TEST_F(Streams, OnAirToggleOnlyWhileStoppedAndBootTimerStartsIt) {
    app->stored.startOnAirAtBoot = 1;
    app->stored.onAirRateChoice = 7;  // any other choice is 48000
    startEngine();
    ArmOnAirAtBoot(s);
    EXPECT_EQ(loop.timers[kOnAirBootTimer], 1500);
    StartResult result = StartResult::NoSong;
    OnStreamTimer(s, kOnAirBootTimer, &result);
    EXPECT_EQ(result, StartResult::Started);
    EXPECT_FALSE(loop.running(kOnAirBootTimer));
    EXPECT_EQ(app->onAirMode, 1);
    EXPECT_EQ(platform.output->sampleRate, 48000u);
    EXPECT_FALSE(ToggleOnAirMode(s));
    MainWindowClosing(s);
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(nothingOpen());
}

TEST_F(Streams, OnAirWithoutAnInputDeviceFailsQuietly) {
    platform.inputs.clear();
    startEngine();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, kNoInputDeviceText);
    ASSERT_TRUE(ToggleOnAirMode(s));
    EXPECT_EQ(StartPlayback(s), StartResult::DevicesNotOpened);
    EXPECT_EQ(host.messages.size(), 1u);
    EXPECT_TRUE(platform.opened.empty());  // the output is not opened either
}

class DeviceLists : public Streams {};

TEST_F(DeviceLists, TenDevicesListEightAndAFailedQuerySkipsItsIdentifier) {
    platform.outputs.clear();
    for (int i = 0; i < 10; ++i) platform.outputs.push_back({"Out " + std::to_string(i)});
    platform.outputs[2].queryWorks = false;
    startEngine();
    ASSERT_EQ(engine->outputCount, 7);
    const uint32_t ids[] = {0, 1, 3, 4, 5, 6, 7};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(engine->outputDevices[i].id, ids[i]);
    EXPECT_STREQ(engine->outputDevices[2].name, "Out 3");
    EXPECT_TRUE(host.messages.empty());

    app->stored.selectedOutputDevice = 2;
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    ASSERT_EQ(StartPlayback(s), StartResult::Started);
    EXPECT_EQ(platform.opened.back(), std::make_pair(WaveDirection::Output, 3u));
    StopPlayback(s);
}

TEST_F(DeviceLists, StoredSelectionBeyondTheListBecomesZeroAndNamesAreCut) {
    platform.outputs = {{"A"}, {"B"}, {std::string(40, 'n')}};
    app->stored.selectedOutputDevice = 5;
    app->stored.selectedInputDevice = 1;
    startEngine();
    EXPECT_EQ(engine->outputCount, 3);
    EXPECT_EQ(app->stored.selectedOutputDevice, 0);
    EXPECT_EQ(app->stored.selectedInputDevice, 0);
    EXPECT_EQ(std::string(engine->outputDevices[2].name), std::string(31, 'n'));
}

TEST_F(DeviceLists, DeviceWithout44kStereoIsNeverOpened) {
    platform.outputs[0].takes4S16 = false;
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock), 2, 48000);
    EXPECT_EQ(StartPlayback(s), StartResult::DevicesNotOpened);
    EXPECT_TRUE(platform.opened.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(app->playState, PlayState::Stopped);
}

TEST_F(DeviceLists, EmptyListsShowTheirMessagesAndARefusedOpenShowsTheDeviceName) {
    platform.outputs.clear();
    platform.inputs.clear();
    startEngine();
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, kNoOutputDeviceText);
    EXPECT_EQ(host.messages[0].caption, "Loudara");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(host.messages[1].text, kNoInputDeviceText);

    platform.outputs = {{"Card"}};
    platform.openError = -9999;
    host.messages.clear();
    startEngine();
    addWav("a.wav", stereoSong(50 * kFramesPerBlock));
    EXPECT_EQ(StartPlayback(s), StartResult::DevicesNotOpened);
    ASSERT_EQ(host.messages.size(), 2u);  // the empty input list, then the refused open
    EXPECT_EQ(host.messages[1].text, "fake error -9999\nCard");
    EXPECT_EQ(host.messages[1].caption, "");
    EXPECT_EQ(host.messages[1].icon, MessageIcon::None);
    EXPECT_TRUE(nothingOpen());

    // A refused input shows the platform's text alone, and the output is not tried.
    platform.inputs = {{"Line In"}};
    host.messages.clear();
    startEngine();
    ASSERT_TRUE(ToggleOnAirMode(s));
    EXPECT_EQ(StartPlayback(s), StartResult::DevicesNotOpened);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "fake error -9999");
    EXPECT_EQ(host.messages[0].caption, "");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::None);
    EXPECT_TRUE(nothingOpen());
}

}  // namespace
}  // namespace loudara
