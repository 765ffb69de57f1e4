// The export job on WAV songs written here: frame counts, headers, alignment with the processed
// stream, normalisation, cancel, and the files it refuses.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "files/export_job.h"
#include "files/wav_file.h"
#include "measure.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

struct RecordingHost : JobHost {
    int ends = 0, steps = 0, range = -1;
    int cancelAfterSteps = -1;
    std::vector<std::string> times, status;
    void setProgressRange(int maximum) override { range = maximum; }
    void stepProgress() override {
        if (++steps == cancelAfterSteps) cancelRequested = true;
    }
    void setProcessedTimeText(const std::string& text) override { times.push_back(text); }
    void setStatusText(const std::string& text) override { status.push_back(text); }
    void endNotice() override { ++ends; }
    // A scripted clock: every reading advances it by `tick` ms; rests are recorded, not slept.
    long long clockMs = 5000, tick = 37;
    std::vector<long long> rests;
    long long processClockMs() override { return std::exchange(clockMs, clockMs + tick); }
    void rest(long long ms) override { rests.push_back(ms); }
};

// The lead-in cases: clip type, emphasis and final low-pass each change the chain's delay.
struct ChainSetup {
    double clipType, preEmphasis, finalLowpass, releaseTime;
};

void configure(Processor& p, const ChainSetup& s) {
    p.params.clipType = s.clipType;
    p.params.preEmphasis = s.preEmphasis;
    p.settings.finalLowpass = s.finalLowpass;
    p.params.bandReleaseTime = s.releaseTime;
    selectEnvelopeTimes(p);
    selectFinalLowpass(p);
}

class ExportJob : public TempFolder {
protected:
    ExportOptions options;
    SongRecord song;
    int32_t status = 0;
    std::string runStamp = "12345678";

    void SetUp() override {
        TempFolder::SetUp();
        options.exportFormat = 0;
        options.normalizeOnExport = 0;
    }

    std::string addSong(const std::string& name, const ByteVector& bytes) {
        const std::string path = write(name, bytes);
        song = SongRecord{};
        EXPECT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        return path;
    }

    ExportOutcome run(Processor& p, const std::string& target, RecordingHost& host) {
        ExportRequest request;
        request.song = &song;
        request.songStatus = &status;
        request.targetPath = (folder / target).string();
        request.options = &options;
        request.runStamp = runStamp;
        request.temporaryFolder = folder.string();
        return RunExportJob(p, request, host);
    }
};

// Interleaved samples of a music-like signal, `frames` long, mono or stereo.
std::vector<int16_t> songSamples(int frames, int channels, int rate) {
    const std::vector<int16_t> stereo = test::musicLikeSignal(frames, rate, 12000.0);
    if (channels == 2) return stereo;
    std::vector<int16_t> mono(frames);
    for (int i = 0; i < frames; ++i) mono[i] = stereo[2 * i];
    return mono;
}

// What the chain makes of the song as one continuous stream, followed by silence: the export
// must equal frames L .. L + frames - 1 of it.
std::vector<int16_t> processedStream(const std::vector<int16_t>& samples, int channels, int rate,
                                     const ChainSetup& setup, double normalizeGain) {
    auto p = std::make_unique<Processor>();
    configure(*p, setup);
    const size_t frames = samples.size() / channels;
    std::vector<int16_t> in(2 * (frames + 2 * kExportBlockFrames), 0);
    for (size_t i = 0; i < frames; ++i) {
        in[2 * i] = samples[channels * i];
        in[2 * i + 1] = samples[channels * i + channels - 1];
    }
    clearEnhancerDelay(*p);
    clearBandMemory(*p);
    resetProcessor(*p);
    clearProcessorState(*p);
    p->settings.normalizeGain = normalizeGain;
    prepareForSong(*p, rate);
    std::vector<int16_t> out(in.size());
    processBlock(*p, static_cast<int32_t>(in.size()), in.data(), out.data());
    return out;
}

TEST_F(ExportJob, OutputHasTheSongsFramesAndHeaderAndFollowsTheProcessedStream) {
    const ChainSetup setups[] = {
        {0, 2, 1, 1},  // adaptive clipper, emphasis, FIR: L = 893 + 3 + 66 + 12
        {1, 0, 0, 1},  // hard clipper, no emphasis, no low-pass: L = 893
        {0, 1, 3, 5},  // IIR low-pass, shortest look-ahead
    };
    const int lengths[] = {1000, 16383, 16384, 16385, 32768, 100000};
    Bytes extra;
    extra.chunk("LIST", ByteVector{'I', 'N', 'F', 'O', 'x'});
    int caseIndex = 0;
    for (int channels : {2, 1}) {
        for (int frames : lengths) {
            const ChainSetup& setup = setups[caseIndex++ % 3];
            const int rate = channels == 2 ? 44100 : 32000;
            const std::vector<int16_t> samples = songSamples(frames, channels, rate);
            const ByteVector source = pcmWave(samples, channels, rate, extra);
            addSong("song.wav", source);

            auto p = std::make_unique<Processor>();
            configure(*p, setup);
            RecordingHost host;
            const ExportOutcome outcome = run(*p, "out.mp3", host);
            SCOPED_TRACE(testing::Message() << channels << " channels, " << frames << " frames");
            ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
            EXPECT_EQ(host.ends, 1);
            EXPECT_EQ(outcome.deliveredPath, (folder / "out.wav").string());

            const ByteVector out = read(outcome.deliveredPath);
            const size_t headerBytes = source.size() - samples.size() * 2;
            ASSERT_EQ(out.size(), source.size());
            EXPECT_TRUE(std::equal(source.begin(), source.begin() + headerBytes, out.begin()));

            const int lead = leadInFrames(*p);
            const std::vector<int16_t> stream = processedStream(samples, channels, rate, setup, 1.0);
            int mismatches = 0;
            for (int i = 0; i < frames * channels; ++i) {
                const int frame = i / channels, channel = i % channels;
                const int16_t expected = stream[2 * (lead + frame) + channel];
                const int16_t got = static_cast<int16_t>(out[headerBytes + 2 * i] | out[headerBytes + 2 * i + 1] << 8);
                mismatches += got != expected;
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

TEST_F(ExportJob, LeadInAlignsTheOutputWithTheInputWhateverTheLookAhead) {
    // A click in silence comes out at the same frame for the longest and the shortest look-ahead.
    std::vector<int16_t> samples(2 * 8000, 0);
    samples[2 * 4000] = samples[2 * 4000 + 1] = 20000;
    addSong("click.wav", pcmWave(samples, 2, 44100));
    int loudest[2] = {};
    for (int k = 0; k < 2; ++k) {
        auto p = std::make_unique<Processor>();
        configure(*p, {1, 0, 0, k == 0 ? 1.0 : 5.0});
        RecordingHost host;
        const ExportOutcome outcome = run(*p, "click_out.wav", host);
        ASSERT_EQ(outcome.status, ExportStatus::Completed);
        const ByteVector out = read(outcome.deliveredPath);
        int best = 0;
        for (int i = 0; i < 8000; ++i) {
            const int v = std::abs(static_cast<int16_t>(out[44 + 4 * i] | out[44 + 4 * i + 1] << 8));
            const int b = std::abs(static_cast<int16_t>(out[44 + 4 * best] | out[44 + 4 * best + 1] << 8));
            if (v > b) best = i;
        }
        loudest[k] = best;
    }
    EXPECT_EQ(loudest[0], loudest[1]);
    EXPECT_NEAR(loudest[0], 4000, 10);
}

TEST_F(ExportJob, NormalisationGainFollowsThePeakAndTheScan) {
    struct Case { uint32_t peak; double gain; };
    for (const Case c : {Case{16384, 32767.0 / 16384}, Case{1000, 16.0}, Case{0, 1.0}, Case{32767, 1.0}}) {
        addSong("quiet.wav", pcmWave(songSamples(2000, 2, 48000), 2, 48000));
        song.peakLevel = c.peak;
        auto p = std::make_unique<Processor>();
        RecordingHost host;
        ASSERT_EQ(run(*p, "n.wav", host).status, ExportStatus::Completed);
        EXPECT_DOUBLE_EQ(p->settings.normalizeGain, c.gain);
    }
    // With normalisation on, the scan finds the peak first.
    std::vector<int16_t> samples(2 * 3000, 100);
    samples[77] = -4000;
    addSong("peak.wav", pcmWave(samples, 2, 44100));
    options.normalizeOnExport = 1;
    auto p = std::make_unique<Processor>();
    RecordingHost host;
    ASSERT_EQ(run(*p, "n.wav", host).status, ExportStatus::Completed);
    EXPECT_EQ(song.peakLevel, 4000u);
    EXPECT_DOUBLE_EQ(p->settings.normalizeGain, 32767.0 / 4000);
    EXPECT_EQ(host.status.front(), "Searching max level for normalization..");
}

TEST_F(ExportJob, ProgressAndProcessedTimeCountFullBlocks) {
    for (const auto& [rate, text] : {std::pair{48000, "00:10"}, std::pair{32000, "00:15"}}) {
        addSong("long.wav", pcmWave(std::vector<int16_t>(2 * 30 * kExportBlockFrames + 20, 0), 2, rate));
        auto p = std::make_unique<Processor>();
        RecordingHost host;
        ASSERT_EQ(run(*p, "long_out.wav", host).status, ExportStatus::Completed);
        EXPECT_EQ(host.range, 30);
        EXPECT_EQ(host.steps, 30);
        ASSERT_EQ(host.times.size(), 30u);
        EXPECT_EQ(host.times.back(), text);
    }
}

TEST_F(ExportJob, CancelDeliversTheProcessedPartAsAValidFile) {
    addSong("song.wav", pcmWave(songSamples(5 * kExportBlockFrames, 2, 44100), 2, 44100));
    auto p = std::make_unique<Processor>();
    RecordingHost host;
    host.cancelAfterSteps = 2;
    const ExportOutcome outcome = run(*p, "part.wav", host);
    ASSERT_EQ(outcome.status, ExportStatus::Cancelled);
    EXPECT_EQ(host.ends, 1);
    EXPECT_TRUE(host.cancelRequested.load()) << "the owner (the progress dialog) still sees the cancel";
    SongRecord delivered;
    ASSERT_EQ(ProbeWavFile(outcome.deliveredPath.c_str(), delivered), WavProbeResult::Ok);
    const uintmax_t bytes = fs::file_size(outcome.deliveredPath);
    EXPECT_EQ(delivered.dataBytes, (2 * kExportBlockFrames - leadInFrames(*p)) * 4u);
    EXPECT_EQ(bytes, 44 + delivered.dataBytes);
    const ByteVector out = read(outcome.deliveredPath);
    EXPECT_EQ(out[4] | out[5] << 8 | out[6] << 16 | uint32_t(out[7]) << 24, bytes - 8);
}

TEST_F(ExportJob, ThrottleRestsBeforeEachBlockInProportionToTheTimeSinceTheLast) {
    // Three full blocks and a short one: four rests of level x d / 10 ms, d the clock's advance
    // since the last block (37 ms), at most 100 ms counted (the first block counts from 0).
    addSong("song.wav", pcmWave(std::vector<int16_t>(2 * (3 * kExportBlockFrames + 100), 0), 2, 44100));
    const std::pair<int, std::vector<long long>> cases[] = {{3, {30, 11, 11, 11}}, {40, {400, 148, 148, 148}}};
    for (const auto& [level, rests] : cases) {
        auto p = std::make_unique<Processor>();
        RecordingHost host;
        host.throttleOn = 1;
        host.throttleLevel = level;
        ASSERT_EQ(run(*p, "out.wav", host).status, ExportStatus::Completed);
        EXPECT_EQ(host.rests, rests) << "level " << level;
    }
    auto p = std::make_unique<Processor>();
    RecordingHost off;
    off.throttleLevel = 40;
    ASSERT_EQ(run(*p, "out.wav", off).status, ExportStatus::Completed);
    EXPECT_TRUE(off.rests.empty());
    EXPECT_EQ(off.clockMs, 5000);  // the clock is not even read
}

TEST_F(ExportJob, OnlyTheDataChunkIsSoundAndCaseDoesNotMatter) {
    Bytes after;
    after.chunk("junk", ByteVector(4000, 0x7F));
    const std::vector<int16_t> samples = songSamples(3000, 2, 44100);
    ByteVector source = pcmWave(samples, 2, 44100, {}, after, "DATA");
    source[8] = 'w';  // form type "wAVE"
    source[0] = 'X';  // a damaged "RIFF" (the reader does not look at it)
    addSong("odd.wav", source);
    auto p = std::make_unique<Processor>();
    RecordingHost host;
    const ExportOutcome outcome = run(*p, "odd_out.wav", host);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    const ByteVector out = read(outcome.deliveredPath);
    EXPECT_EQ(out.size(), 44 + samples.size() * 2);
    // The source's header, except that the delivered file starts with "RIFF" whatever the song's
    // first bytes were, and that the RIFF size counts the delivered file, which ends with the
    // data chunk (the source's says 4008 bytes more).
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "RIFF");
    EXPECT_TRUE(std::equal(source.begin() + 8, source.begin() + 44, out.begin() + 8));
    EXPECT_EQ(out[4] | out[5] << 8 | out[6] << 16 | uint32_t(out[7]) << 24, out.size() - 8);
    EXPECT_EQ(source[4] | source[5] << 8 | source[6] << 16 | uint32_t(source[7]) << 24, source.size() - 8);
}

TEST_F(ExportJob, RefusesToWriteOverTheSongAndReportsEveryFailureOnce) {
    const std::string path = addSong("mine.wav", pcmWave(songSamples(1000, 2, 44100), 2, 44100));
    const ByteVector before = read(path);
    auto p = std::make_unique<Processor>();
    {
        RecordingHost host;
        const ExportOutcome outcome = run(*p, "mine.mp3", host);  // becomes mine.wav: the song itself
        EXPECT_EQ(outcome.status, ExportStatus::Failed);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(host.ends, 1);
    }
    fs::create_symlink(path, folder / "link.wav");
    {
        status = 0;
        RecordingHost host;
        EXPECT_EQ(run(*p, "link.wav", host).status, ExportStatus::Failed);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(host.ends, 1);
    }
    EXPECT_EQ(read(path), before);

    fs::create_directories(folder / "sub");
    {
        status = 0;
        RecordingHost host;  // a target folder that does not exist
        const ExportOutcome outcome = run(*p, "missing/out.wav", host);
        EXPECT_EQ(outcome.status, ExportStatus::Failed);
        EXPECT_NE(outcome.message.find("cannot write"), std::string::npos);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(host.ends, 1);
    }
    // Nothing of the job's temporary files is left behind.
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find("$$temp_ldr"), std::string::npos) << entry.path();
    }
}

TEST(ExportOptions, BitRateOfTheDialogs) {
    EXPECT_EQ(exportBitrateFor(31, true), 128);
    EXPECT_EQ(exportBitrateFor(31, false), 192);
    EXPECT_EQ(exportBitrateFor(321, true), 128);
    EXPECT_EQ(exportBitrateFor(321, false), 192);
    EXPECT_EQ(exportBitrateFor(100, true), 112);
    EXPECT_EQ(exportBitrateFor(32, false), 32);
    EXPECT_EQ(exportBitrateFor(319, false), 320);
    EXPECT_EQ(replaceExtension("/a.b/song.mp3", ".wav"), "/a.b/song.wav");
    EXPECT_EQ(replaceExtension("/music/song", ".wav"), "/music/song.wav");
    EXPECT_EQ(replaceExtension("/music.old/song", ".wav"), "/music.old/song.wav");
}

TEST_F(ExportJob, CancelWhileCopyingTheSongDeliversNothing) {
    struct CancelAtTarget : RecordingHost {
        void setToText(const std::string&) override { cancelRequested = true; }  // just before the copy
    };
    addSong("song.wav", pcmWave(songSamples(3 * kExportBlockFrames, 2, 44100), 2, 44100));
    const std::string target = write("out.wav", ByteVector{'o', 'l', 'd'});
    CancelAtTarget host;
    auto p = std::make_unique<Processor>();
    const ExportOutcome outcome = run(*p, "out.wav", host);
    EXPECT_EQ(outcome.status, ExportStatus::Cancelled);
    EXPECT_TRUE(outcome.deliveredPath.empty());
    EXPECT_EQ(host.steps, 0);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(read(target), (ByteVector{'o', 'l', 'd'}));
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find("$$temp_ldr"), std::string::npos);
    }
}

}  // namespace
}  // namespace loudara
