// Songs read through SoundSource: which files the playlist takes as SoundFile songs and how a list
// holding them is stored; FLAC and 24-bit WAV songs played through the processor over the fake
// devices, against processBlockFloat run on the same frames; and a song played on a device that
// runs at another rate than the song's, resampled to the device's.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <memory>
#include <vector>

#include "app/app_state.h"
#include "audio/streaming.h"
#include "fake_wave.h"
#include "mp3_test_files.h"
#include "files/peak_level.h"
#include "files/sound_source.h"
#include "persistence/playlist.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

// Interleaved music-like samples (two sines and noise) at about -6 dBFS, as 32-bit integers.
std::vector<int> music(int64_t frames, int channels) {
    std::vector<int> out(static_cast<std::size_t>(frames * channels));
    uint32_t seed = 777;
    for (std::size_t i = 0; i < out.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double t = static_cast<double>(i / channels);
        const double v = 0.3 * std::sin(0.031 * t + i % channels) + 0.15 * std::sin(0.4 * t) +
                         0.05 * static_cast<int32_t>(seed) / 2147483648.0;
        out[i] = static_cast<int>(v * 2147483647.0);
    }
    return out;
}

std::string writeSound(const fs::path& path, int format, int rate, int channels, int64_t frames) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (!file) return path.string();
    const std::vector<int> samples = music(frames, channels);
    EXPECT_EQ(sf_writef_int(file, samples.data(), frames), frames);
    sf_close(file);
    return path.string();
}

// ---- the playlist --------------------------------------------------------------------------

class SoundFilePlaylist : public TempFolder {
protected:
    std::unique_ptr<Playlist> list = std::make_unique<Playlist>();
    RecordingHost host;
    AddResult add(const std::string& path) { return AddSoundFile(*list, path, PlayState::Stopped, host); }
};

TEST_F(SoundFilePlaylist, OtherFormatsEnterAsSoundFilesAndSurviveSavingAndLoading) {
    const std::string flac = writeSound(folder / "a.FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 2, 9600);
    const std::string wav24 = writeSound(folder / "b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, 4410);
    const std::string wav16 = write("c.wav", pcmWave(std::vector<int16_t>(8, 5), 2, 48000));
    const std::string aiff = writeSound(folder / "d.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 22050, 2, 100);
    // A 16-bit WAV at a rate the WAV probe does not take is a SoundFile song too.
    const std::string wav16slow = writeSound(folder / "e.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 2, 100);
    // Refused: more than two channels, a damaged FLAC, and an ending the list does not know.
    const std::string six = writeSound(folder / "f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 6, 100);
    const std::string broken = write("g.flac", ByteVector(300, 7));
    const std::string au = writeSound(folder / "h.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 48000, 2, 100);

    for (const std::string& path : {flac, wav24, wav16, aiff, wav16slow}) EXPECT_EQ(add(path), AddResult::Added) << path;
    for (const std::string& path : {six, broken}) EXPECT_EQ(add(path), AddResult::ProbeFailed) << path;
    EXPECT_EQ(add(au), AddResult::NotSoundFile);
    ASSERT_EQ(list->songCount, 5);
    EXPECT_TRUE(host.messages.empty());

    const SongRecord& f = list->songs[0];
    EXPECT_EQ(f.kind, SongKind::SoundFile);
    EXPECT_EQ(f.sampleRate, 96000u);
    EXPECT_EQ(f.channels, 2u);
    EXPECT_EQ(f.dataBytes, 9600u * 2 * 2);
    EXPECT_EQ(list->songs[1].kind, SongKind::SoundFile);
    EXPECT_EQ(list->songs[1].dataBytes, 4410u * 2);
    EXPECT_EQ(list->songs[2].kind, SongKind::Wav);
    EXPECT_EQ(list->songs[3].kind, SongKind::SoundFile);
    EXPECT_EQ(list->songs[4].kind, SongKind::SoundFile);
    EXPECT_EQ(list->songs[4].sampleRate, 22050u);

    // Stored with kind 3 at the kind field of each record; a WAV song's record as before (the
    // layout itself: playlist_test).
    const std::string path = (folder / "mixed.plt").string();
    std::string error;
    ASSERT_TRUE(SavePlaylist(*list, path, error)) << error;
    const ByteVector image = read(path);
    ASSERT_EQ(image.size(), 640008u);
    EXPECT_EQ(image[12], 3);
    EXPECT_EQ(image[320 + 12], 3);
    EXPECT_EQ(image[640 + 12], 0);

    // Loaded back in order; one whose file is gone is dropped.
    fs::remove(aiff);
    auto loaded = std::make_unique<Playlist>();
    ASSERT_EQ(LoadPlaylist(*loaded, path, PlayState::Stopped), PlaylistLoadStatus::Loaded);
    ASSERT_EQ(loaded->songCount, 4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(loaded->songs[i].path, list->songs[i].path);
        EXPECT_EQ(loaded->songs[i].kind, list->songs[i].kind);
        EXPECT_EQ(loaded->songs[i].dataBytes, list->songs[i].dataBytes);
    }
}

// ---- playback ------------------------------------------------------------------------------

constexpr uint32_t kBlockFrames = kSoundBlockBytes / kBytesPerFrame;

std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    return p;
}

class SoundFileStreams : public TempFolder {
protected:
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = firstStartProcessor();
    test::FakeWavePlatform platform;
    std::unique_ptr<DeviceEngine> engine = std::make_unique<DeviceEngine>(platform);
    test::FakeEventLoop loop;
    test::FakeView view;
    RecordingHost host;
    Mp3Decoder mp3;
    Streaming s{*app, app->playlist, app->stored, *p, *engine, loop, view, host, mp3};
    std::vector<int16_t> heard;
    std::vector<int16_t> unprocessed_;  // the frames expectedFor() read, before the processor

    void SetUp() override {
        TempFolder::SetUp();
        StartDeviceEngine(*engine, app->stored, host);
    }

    void addSong(const std::string& path) {
        ASSERT_EQ(AddSoundFile(app->playlist, path, PlayState::Stopped, host), AddResult::Added) << path;
    }

    // Plays the current song to its end, one block-long device period at a time.
    void playToTheEnd() {
        ASSERT_EQ(StartPlayback(s), StartResult::Started);
        std::vector<uint8_t> buffer(kSoundBlockBytes);
        for (int i = 0; i < 4000 && app->playState != PlayState::Stopped; ++i) {
            const uint64_t before = platform.output->counters().bytesPlayed;
            platform.output->render(buffer.data(), buffer.size());
            const uint64_t took = platform.output->counters().bytesPlayed - before;
            const auto* samples = reinterpret_cast<const int16_t*>(buffer.data());
            heard.insert(heard.end(), samples, samples + took / 2);
            DispatchDeviceNotices(s);
        }
        ASSERT_EQ(app->playState, PlayState::Stopped);
    }

    // What the device should get for the file at `path`: its frames as SoundSource gives them at
    // `rate`, through processBlockFloat on a processor started as playback starts one, in blocks
    // as playback takes them, truncated toward zero at the 16-bit scale.
    std::vector<int16_t> expectedFor(const std::string& path, int rate) {
        unprocessed_.clear();
        SoundSource source;
        EXPECT_EQ(source.open(path, rate), SoundOpenResult::Ok);
        auto reference = firstStartProcessor();
        reference->settings.normalizeGain = normalizeGainFor(0);
        prepare(*reference, rate);
        std::vector<int16_t> out;
        std::vector<float> block(2 * kBlockFrames);
        for (int64_t got; (got = source.read(block.data(), kBlockFrames)) > 0;) {
            for (int64_t i = 0; i < 2 * got; ++i) unprocessed_.push_back(static_cast<int16_t>(std::trunc(block[i] * 32768.0)));
            processBlockFloat(*reference, static_cast<int32_t>(2 * got), block.data(), block.data());
            for (int64_t i = 0; i < 2 * got; ++i) out.push_back(static_cast<int16_t>(std::trunc(block[i] * 32768.0)));
        }
        return out;
    }
};

TEST_F(SoundFileStreams, FlacAnd24BitWavSongsPlayTheirProcessedFrames) {
    const std::string flac = writeSound(folder / "a.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, 5 * kBlockFrames + 77);
    const std::string wav = writeSound(folder / "b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, 3 * kBlockFrames);
    addSong(flac);
    addSong(wav);
    for (int song = 0; song < 2; ++song) {
        app->playlist.currentSong = song;
        heard.clear();
        reset(*p);
        playToTheEnd();
        const int rate = song == 0 ? 48000 : 44100;
        EXPECT_EQ(platform.output->sampleRate, static_cast<uint32_t>(rate));
        const std::vector<int16_t> expected = expectedFor(song == 0 ? flac : wav, rate);
        ASSERT_EQ(heard.size(), song == 0 ? 2u * (5 * kBlockFrames + 77) : 2u * 3 * kBlockFrames);
        ASSERT_EQ(heard.size(), expected.size());
        std::size_t same = 0, unprocessed = 0;
        for (std::size_t i = 0; i < heard.size(); ++i) {
            same += heard[i] == expected[i];
            unprocessed += heard[i] == unprocessed_[i];
        }
        EXPECT_EQ(same, heard.size()) << "song " << song;
        // The processed sound, not the song as it is.
        EXPECT_LT(unprocessed, heard.size() / 10);
    }
}

TEST_F(SoundFileStreams, WavAndMp3SongsAt44100OnADeviceAt48000AreResampledAndLastAsLong) {
    platform.fixedRate = 48000;
    app->playlist.probeMp3 = programMp3Probe();
    const int frames = 10 * 44100 / 4;  // 2.5 s of a 1 kHz tone
    std::vector<int16_t> samples(2 * frames);
    for (int f = 0; f < frames; ++f) {
        samples[2 * f] = samples[2 * f + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000.0 * f / 44100));
    }
    addSong(write("sine.wav", pcmWave(samples, 2, 44100)));
    const std::string mp3 = (folder / "sine.mp3").string();
    test::writeMp3(mp3, samples, 2, 44100, 192);
    addSong(mp3);
    ASSERT_EQ(app->playlist.songs[0].kind, SongKind::Wav);
    ASSERT_EQ(app->playlist.songs[1].kind, SongKind::Mp3);
    p->settings.bypass = 1;
    for (int song = 0; song < 2; ++song) {
        app->playlist.currentSong = song;
        heard.clear();
        playToTheEnd();
        EXPECT_EQ(platform.output->sampleRate, 48000u);
        EXPECT_EQ(engine->sampleRate, 48000u);
        EXPECT_TRUE(host.messages.empty());

        // Every frame, at the device's rate: as long in time as the song, within one block.
        const double songSeconds = app->playlist.songs[song].dataBytes / 4.0 / 44100;
        const double playedSeconds = static_cast<double>(heard.size() / 2) / 48000;
        EXPECT_NEAR(playedSeconds, songSeconds, static_cast<double>(kBlockFrames) / 48000) << "song " << song;
        EXPECT_NEAR(playedSeconds, 2.5, static_cast<double>(kBlockFrames) / 48000) << "song " << song;
        // At the right speed: from 0.5 s to 2 s (clear of the MP3's silence at both ends) the
        // tone rises through zero 1500 times.
        int crossings = 0;
        for (std::size_t i = 2 * 24000; i < 2 * 96000 && i < heard.size(); i += 2) {
            crossings += heard[i - 2] < 0 && heard[i] >= 0;
        }
        EXPECT_NEAR(crossings, 1500, 1) << "song " << song;
    }
}

// The frames of a 16-bit FLAC song whose right channel names the block each frame is in (the
// left counts frames, all positive, so that the bypassed chain hands them on as they are).
TEST_F(SoundFileStreams, FlacSongSeeksAsAWavSongDoes) {
    const int frames = 100 * kBlockFrames;
    std::vector<short> samples(2 * frames);
    for (int f = 0; f < frames; ++f) {
        samples[2 * f] = static_cast<short>(f % 20000 + 1);
        samples[2 * f + 1] = static_cast<short>(f / kBlockFrames);
    }
    const std::string path = (folder / "long.flac").string();
    SF_INFO info{0, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(sf_writef_short(file, samples.data(), frames), frames);
    sf_close(file);
    addSong(path);
    p->settings.bypass = 1;
    auto blockOf = [&](int i) { return reinterpret_cast<const int16_t*>(engine->outputBlocks[i]->data)[1]; };
    std::vector<uint8_t> buffer(kSoundBlockBytes);
    auto period = [&] {
        platform.output->render(buffer.data(), buffer.size());
        DispatchDeviceNotices(s);
    };

    ASSERT_EQ(StartPlayback(s), StartResult::Started);  // blocks 0..3 queued
    ASSERT_TRUE(PressTransportButton(s, 5));
    view.cursorButton = 5;
    period();  // the refill moves over blocks 4..23 and keeps 23
    EXPECT_EQ(blockOf(0), 23);
    EXPECT_EQ(engine->playPosition, 24u * kSoundBlockBytes);
    ASSERT_TRUE(PressTransportButton(s, 1));  // rewind: 5 steps
    view.cursorButton = 1;
    period();  // 24 -> 19 blocks read, block 18 played
    EXPECT_EQ(engine->playPosition, 19u * kSoundBlockBytes);
    EXPECT_EQ(blockOf(1), 18);
    ASSERT_TRUE(PressTransportButton(s, 0));  // fast rewind far past the start
    view.cursorButton = 0;
    period();
    EXPECT_EQ(engine->playPosition, kSoundBlockBytes);
    EXPECT_EQ(blockOf(2), 0);
    EXPECT_EQ(reinterpret_cast<const int16_t*>(engine->outputBlocks[2]->data)[0], 1);
    ReleaseTransportButtons(s);
    period();
    EXPECT_EQ(engine->playPosition, 2u * kSoundBlockBytes);
    EXPECT_EQ(blockOf(3), 1);
    // Fast forward past the end: the song ends.
    ASSERT_TRUE(PressTransportButton(s, 5));
    view.cursorButton = 5;
    for (int i = 0; i < 10 && app->playState == PlayState::Playing; ++i) period();
    EXPECT_EQ(app->playState, PlayState::Draining);
    StopPlayback(s);
}

TEST_F(SoundFileStreams, SongWhoseFileCannotBeReadSaysWhyAndLeavesNothingOpen) {
    const std::string flac = writeSound(folder / "gone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 1000);
    addSong(flac);
    fs::remove(flac);
    EXPECT_EQ(StartPlayback(s), StartResult::SongNotOpened);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text.rfind("cannot read " + flac + ": ", 0), 0u) << host.messages[0].text;
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_FALSE(engine->output);
    EXPECT_FALSE(engine->soundOpen);
    EXPECT_EQ(engine->allocatedBlocks, 0);
}

}  // namespace
}  // namespace loudara
