// The export job for sound files of every kind: lossless kinds through the bypassed chain come
// out as they went in (plus the dither, less what the output's depth cannot hold), a 24-bit output
// keeps what lies below the 16-bit step, the processed sound is the float chain's own with the
// normalising gain of the float peak, the output rate is what was asked, and a damaged song or a
// cancel leaves what the 16-bit job leaves.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/loudness_scan.h"
#include "files/mp3_bridge.h"
#include "files/peak_level.h"
#include "files/sound_export_job.h"
#include "measure.h"
#include "processor/processor.h"
#include "wav_builder.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;
using test::kPi;
constexpr double kStep = 1.0 / 32768.0;  // one 16-bit step at float full scale

class Host : public JobHost {
public:
    void endNotice() override { ++ends; }
    void stepProgress() override {
        if (++steps == cancelAtStep) cancelRequested = true;
    }
    int ends = 0, steps = 0, cancelAtStep = -1;
};

struct Sound {
    int rate = 0, channels = 0, format = 0;
    std::vector<float> samples;  // interleaved
    int64_t frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

void writeSound(const std::string& path, int format, int rate, int channels, const std::vector<float>& samples) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    // Whole numbers of the file's step go in unchanged, so the source is known exactly.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto frames = static_cast<sf_count_t>(samples.size() / channels);
    EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    sf_close(file);
}

Sound readSound(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    Sound sound;
    if (!file) return sound;
    sound.rate = info.samplerate;
    sound.channels = info.channels;
    sound.format = info.format;
    sound.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, sound.samples.data(), info.frames);
    sf_close(file);
    return sound;
}

// A sine and noise at a quarter of full scale, held to whole steps of `bits`.
std::vector<float> music(int64_t frames, int channels, int bits) {
    std::vector<float> out(static_cast<std::size_t>(frames * channels));
    uint32_t s = 777;
    const double step = std::ldexp(1.0, 1 - bits);
    for (std::size_t i = 0; i < out.size(); ++i) {
        s = s * 1664525u + 1013904223u;
        const double v = 0.15 * std::sin(0.031 * double(i / channels) + double(i % channels)) +
                         0.1 * static_cast<int32_t>(s) / 2147483648.0;
        out[i] = float(std::round(v / step) * step);
    }
    return out;
}

// A stereo 1 kHz sine of `amplitude`, held to whole 24-bit steps.
std::vector<float> sine1k(int64_t frames, int rate, double amplitude) {
    std::vector<float> out(static_cast<std::size_t>(2 * frames));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = float(std::round(amplitude * std::sin(2.0 * kPi * 1000.0 * double(i / 2) / rate) * 8388608.0) /
                       8388608.0);
    }
    return out;
}

// The level of the 1 kHz sine in the left channel over the middle half of a sound.
double sineLevel(const Sound& sound) {
    std::complex<double> sum = 0.0;
    const int64_t from = sound.frames() / 4, to = 3 * sound.frames() / 4;
    for (int64_t n = from; n < to; ++n) {
        sum += double(sound.samples[n * sound.channels]) * std::polar(1.0, -2.0 * kPi * 1000.0 * double(n) / sound.rate);
    }
    return 2.0 * std::abs(sum) / double(to - from);
}

class SoundExportJobTest : public TempFolder {
protected:
    ExportOutcome run(Processor& p, const std::string& song, const std::string& target, SoundOutputFormat output,
                      bool normalize, Host& host, bool measure = false,
                      std::optional<double> loudnessTarget = std::nullopt) {
        SoundExportRequest request;
        request.measureLoudness = measure;
        request.loudnessTargetLufs = loudnessTarget;
        request.songPath = song;
        request.targetPath = target;
        request.output = output;
        request.normalize = normalize;
        request.runStamp = "12345678";
        request.temporaryFolder = (folder / "tmp").string();
        fs::create_directories(request.temporaryFolder);
        ExportOutcome outcome = RunSoundExportJob(p, request, host);
        EXPECT_EQ(host.ends, 1);
        EXPECT_TRUE(fs::is_empty(request.temporaryFolder)) << "temporary files left";
        return outcome;
    }
    // What the chain (first-start settings) makes of `input` and its run-out at `gain`, as one
    // stream with the lead-in dropped: what a normalising export of the song must write.
    static std::vector<float> chainAtGain(const std::vector<float>& input, int rate, double gain) {
        auto direct = std::make_unique<Processor>();
        applyFirstStart(*direct);
        reset(*direct);
        direct->settings.normalizeGain = gain;
        prepare(*direct, rate);
        const int lead = leadInFrames(*direct);
        std::vector<float> padded = input;
        padded.resize(padded.size() + 2 * static_cast<std::size_t>(lead), 0.0f);
        std::vector<float> expected(padded.size());
        processBlockFloat(*direct, static_cast<int32_t>(padded.size()), padded.data(), expected.data());
        expected.erase(expected.begin(), expected.begin() + 2 * lead);
        return expected;
    }
    static std::unique_ptr<Processor> bypassed() {
        auto p = std::make_unique<Processor>();
        applyFirstStart(*p);
        p->settings.bypass = 1;
        return p;
    }
};

TEST_F(SoundExportJobTest, LosslessKindsComeThroughTheBypassedChainAsTheyWentIn) {
    struct Case {
        const char* in;
        int format, bits, rate, channels;
        const char* out;
        SoundOutputKind kind;
        SoundOutputDepth depth;
        int outFormat;
    };
    const Case cases[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24, 44100, 2, "a.flac", SoundOutputKind::Flac,
         SoundOutputDepth::Pcm24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24, 48000, 1, "b.wav", SoundOutputKind::Wav,
         SoundOutputDepth::Pcm24, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 16, 32000, 2, "c.wav", SoundOutputKind::Wav,
         SoundOutputDepth::Pcm16, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"d.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 24, 44100, 2, "d.wav", SoundOutputKind::Wav,
         SoundOutputDepth::Float32, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"e.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16, 44100, 2, "e.flac", SoundOutputKind::Flac,
         SoundOutputDepth::Pcm16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"f.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_32, 24, 48000, 2, "f.wav", SoundOutputKind::Wav,
         SoundOutputDepth::Pcm24, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        // Longer than a block, and not a whole number of blocks.
        const int64_t frames = 16384 * 2 + 5000;
        const std::vector<float> input = music(frames, c.channels, c.bits);
        const std::string in = (folder / c.in).string();
        writeSound(in, c.format, c.rate, c.channels, input);
        auto p = bypassed();
        Host host;
        const std::string target = (folder / "out" / c.out).string();
        fs::create_directories(folder / "out");
        const ExportOutcome outcome = run(*p, in, target, {c.kind, c.depth, 0}, false, host);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        const Sound out = readSound(target);
        // A WAV under 4 GB stays a RIFF file.
        EXPECT_EQ(out.format, c.outFormat);
        ASSERT_EQ(out.rate, c.rate);
        ASSERT_EQ(out.channels, c.channels);
        ASSERT_EQ(out.frames(), frames);
        // The chain's delay is dropped at the start: output frame n is input frame n + lead, then
        // the run-out, where the bypassed chain gives the dither alone.
        const int lead = leadInFrames(*p);
        for (int64_t n = 0; n < frames; ++n) {
            for (int ch = 0; ch < c.channels; ++ch) {
                const double x = n + lead < frames ? input[(n + lead) * c.channels + ch] : 0.0;
                const double d = (out.samples[n * c.channels + ch] - x) / kStep;  // in 16-bit steps
                if (c.depth == SoundOutputDepth::Pcm16) {
                    // The dither (under a step) truncated toward zero: a negative sample may
                    // come out one step nearer zero, as processBlock gives it.
                    ASSERT_TRUE(d == 0.0 || (x < 0.0 && d == 1.0)) << "frame " << n << ": " << d << " steps";
                } else {
                    // The dither, and half a 24-bit step of rounding (a 256th of a 16-bit step),
                    // or a float's rounding at half scale (2^-25, a thousandth of a step).
                    const double rounding = c.depth == SoundOutputDepth::Pcm24 ? 0.5 / 256.0 : 0.001;
                    ASSERT_TRUE(d >= -rounding && d <= 255.0 / 8192.0 + rounding)
                        << "frame " << n << " channel " << ch << ": " << d << " steps";
                }
            }
        }
    }
}

TEST_F(SoundExportJobTest, TwentyFourBitOutputKeepsWhatLiesBelowTheSixteenBitStep) {
    // A 1 kHz sine at -110 dBFS, a tenth of a 16-bit step, in a 24-bit FLAC.
    const std::string in = (folder / "quiet.flac").string();
    writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, sine1k(96000, 48000, std::pow(10.0, -110.0 / 20.0)));
    for (SoundOutputDepth depth : {SoundOutputDepth::Pcm24, SoundOutputDepth::Pcm16}) {
        auto p = bypassed();
        Host host;
        const std::string target = (folder / (depth == SoundOutputDepth::Pcm24 ? "q24.wav" : "q16.wav")).string();
        ASSERT_EQ(run(*p, in, target, {SoundOutputKind::Wav, depth, 0}, false, host).status, ExportStatus::Completed);
        const Sound out = readSound(target);
        ASSERT_EQ(out.frames(), 96000);
        if (depth == SoundOutputDepth::Pcm24) {
            EXPECT_NEAR(test::toDb(sineLevel(out)), -110.0, 0.2);
        } else {
            // Truncated toward zero as the 16-bit entry rounds: nothing of it is left.
            for (float y : out.samples) ASSERT_EQ(y, 0.0f);
        }
    }
}

TEST_F(SoundExportJobTest, ProcessedSoundIsTheFloatChainsWithTheGainOfTheFloatPeak) {
    // A float song whose peak is 0.25: normalised by 32767 / 8192.
    constexpr int kRate = 44100;
    const int64_t frames = 3 * 16384 - 100;
    std::vector<float> input = music(frames, 2, 24);
    for (float& x : input) x = std::clamp(x, -0.2f, 0.2f);
    input[2 * 20000 + 1] = -0.25f;
    const std::string in = (folder / "song.wav").string();
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 2, input);

    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    Host host;
    const std::string target = (folder / "out.wav").string();
    const ExportOutcome outcome =
        run(*p, in, target, {SoundOutputKind::Wav, SoundOutputDepth::Float32, 0}, true, host);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    const Sound out = readSound(target);
    ASSERT_EQ(out.frames(), frames);

    // The same chain run over the song and the run-out by hand.
    const std::vector<float> expected = chainAtGain(input, kRate, 32767.0 / 8192.0);
    for (int64_t i = 0; i < 2 * frames; ++i) {
        ASSERT_EQ(out.samples[i], expected[i]) << "value " << i;
    }
    // The processed sound is loud: the gain was applied.
    double squares = 0.0;
    for (float y : out.samples) squares += double(y) * y;
    EXPECT_GT(std::sqrt(squares / double(out.samples.size())), 0.1);
}

// A song long enough to be scanned in two halves gets the gain that the scan read front to back
// (ScanSoundPeak, the `peak` command's) finds: the largest sample wherever it lies, and full scale
// once a complete read of either half passes 30000. The processed output is compared with the
// chain run by hand at that gain.
TEST_F(SoundExportJobTest, PeakScannedInTwoHalvesGivesTheGainOfOneScan) {
    constexpr int kRate = 44100;
    const int64_t frames = 11 * 16384 + 500;  // 11 complete reads and a shorter last one
    const struct {
        int64_t frame;
        float value;
        double peakAbove;  // the scan's peak at the 16-bit scale must be above this
    } cases[] = {
        {9 * 16384 + 7, -0.3f, 9000.0},     // the peak in the second half
        {11 * 16384 + 200, 0.35f, 11000.0},  // in the last, shorter read
        {2 * 16384 + 9, 0.3f, 9000.0},      // in the first half
        {8 * 16384 + 1, 0.95f, 32766.0},    // past 30000 in a complete read: full scale
    };
    for (const auto& c : cases) {
        std::vector<float> input = music(frames, 2, 25);
        for (float& x : input) x = std::clamp(x, -0.1f, 0.1f);
        input[2 * c.frame] = c.value;
        const std::string in = (folder / "long.flac").string();
        writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, kRate, 2, input);
        const Sound song = readSound(in);  // as the FLAC holds it
        Host scanHost;
        double peak = 0.0;
        std::string error;
        ASSERT_EQ(ScanSoundPeak(in, scanHost, peak, error), PeakScanResult::Done) << error;
        ASSERT_GT(peak, c.peakAbove);

        auto p = std::make_unique<Processor>();
        applyFirstStart(*p);
        Host host;
        const std::string target = (folder / "long-out.wav").string();
        fs::remove(target);
        const ExportOutcome outcome =
            run(*p, in, target, {SoundOutputKind::Wav, SoundOutputDepth::Float32, 0}, true, host);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        const Sound out = readSound(target);
        ASSERT_EQ(out.frames(), frames);

        const std::vector<float> expected = chainAtGain(song.samples, kRate, normalizeGainForLevel(peak));
        for (int64_t i = 0; i < 2 * frames; ++i) {
            ASSERT_EQ(out.samples[i], expected[i]) << "value " << i << ", loud frame " << c.frame;
        }
    }
}

TEST_F(SoundExportJobTest, OutputRateIsTheChainRateOrTheOneAsked) {
    // 96 kHz goes through the chain at 48 kHz; the output is written at 48 kHz or 44.1 kHz.
    const std::string in = (folder / "hires.wav").string();
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 2, sine1k(96000, 96000, 0.25));
    for (int rate : {0, 44100}) {
        auto p = bypassed();
        Host host;
        const std::string target = (folder / ("r" + std::to_string(rate) + ".wav")).string();
        ASSERT_EQ(run(*p, in, target, {SoundOutputKind::Wav, SoundOutputDepth::Pcm24, rate}, false, host).status,
                  ExportStatus::Completed);
        const Sound out = readSound(target);
        const int expectedRate = rate == 0 ? 48000 : rate;
        EXPECT_EQ(out.rate, expectedRate);
        EXPECT_NEAR(double(out.frames()), double(expectedRate), 1.0);
        // Still a 1 kHz sine at its level.
        EXPECT_NEAR(sineLevel(out), 0.25, 0.001);
    }
}

TEST_F(SoundExportJobTest, LossyKindsKeepTheirLengthAndLevel) {
    // Vorbis at 44.1 kHz and Opus (always 48 kHz) of a 1 kHz sine at a quarter of full scale.
    struct Case {
        const char* name;
        int format, rate;
    };
    for (const Case& c : {Case{"v.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
                          Case{"o.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000}}) {
        SCOPED_TRACE(c.name);
        const std::string in = (folder / c.name).string();
        writeSound(in, c.format, c.rate, 2, sine1k(c.rate, c.rate, 0.25));
        auto p = bypassed();
        Host host;
        const std::string target = (folder / (std::string(c.name) + ".wav")).string();
        const ExportOutcome outcome = run(*p, in, target, {SoundOutputKind::Wav, SoundOutputDepth::Pcm24, 0}, false, host);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        const Sound out = readSound(target);
        EXPECT_EQ(out.rate, c.rate);
        EXPECT_NEAR(double(out.frames()), double(c.rate), 1.0);
        EXPECT_NEAR(test::toDb(sineLevel(out)), test::toDb(0.25), 0.2);
    }
}

TEST_F(SoundExportJobTest, MeasuresWhatItReadsAndWhatItWrites) {
    // A 24-bit FLAC through the bypassed chain into a 16-bit WAV and an MP3: the input and the
    // output measure alike, the output as the file written measures, the MP3 as decoded.
    const std::string in = (folder / "song.flac").string();
    writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, music(44100 * 5, 2, 24));
    for (SoundOutputKind kind : {SoundOutputKind::Wav, SoundOutputKind::Mp3}) {
        auto p = bypassed();
        Host host;
        const std::string target = (folder / (kind == SoundOutputKind::Wav ? "m.wav" : "m.mp3")).string();
        const ExportOutcome outcome = run(*p, in, target, {kind, SoundOutputDepth::Pcm16, 0}, false, host, true);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        const ExportLoudness& l = outcome.loudness;
        ASSERT_TRUE(l.measured);
        EXPECT_NEAR(l.input.integratedLufs, l.output.integratedLufs, 0.01);
        EXPECT_GT(l.output.integratedLufs, -20.0);
        const LoudnessScan scan = MeasureSoundFile(target.c_str());
        ASSERT_TRUE(scan.ok) << scan.error;
        if (kind == SoundOutputKind::Wav) {
            EXPECT_FALSE(l.mp3);
            EXPECT_DOUBLE_EQ(l.output.integratedLufs, scan.figures.integratedLufs);
            EXPECT_DOUBLE_EQ(l.output.truePeakDbtp, scan.figures.truePeakDbtp);
        } else {
            EXPECT_TRUE(l.mp3 && l.afterCodecMeasured);
            EXPECT_DOUBLE_EQ(l.afterCodec.integratedLufs, scan.figures.integratedLufs);
        }
    }
}

TEST_F(SoundExportJobTest, LoudnessTargetIsReachedUnderTheTruePeakLimit) {
    // A 24-bit FLAC: to -30 LUFS in 24-bit FLAC (the target decides, every sample scaled by the
    // gain), and to -6 LUFS in MP3, which the true-peak limit of the decoded MP3 holds back.
    const std::string in = (folder / "song.flac").string();
    writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, music(44100 * 5, 2, 24));
    {
        auto p = bypassed();
        Host host;
        const std::string plain = (folder / "plain.flac").string();
        ASSERT_EQ(run(*p, in, plain, {SoundOutputKind::Flac, SoundOutputDepth::Pcm24, 0}, false, host).status,
                  ExportStatus::Completed);
        auto q = bypassed();
        Host targetHost;
        const std::string target = (folder / "quiet.flac").string();
        const ExportOutcome outcome =
            run(*q, in, target, {SoundOutputKind::Flac, SoundOutputDepth::Pcm24, 0}, false, targetHost, false, -30.0);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        const ExportLoudness& l = outcome.loudness;
        EXPECT_TRUE(l.targetSet && l.ceilingHeld);
        EXPECT_EQ(l.decidedBy, GainDecidedBy::Target);
        EXPECT_NEAR(l.output.integratedLufs, -30.0, 0.01);
        const Sound a = readSound(plain), b = readSound(target);
        ASSERT_EQ(a.samples.size(), b.samples.size());
        const double factor = std::pow(10.0, l.gainDb / 20.0);
        for (std::size_t i = 0; i < a.samples.size(); ++i) {
            // Half a 24-bit step of rounding, and the float the gain is carried in.
            ASSERT_NEAR(b.samples[i], a.samples[i] * factor, 0.55 / 8388608.0) << i;
        }
    }
    auto p = bypassed();
    Host host;
    const std::string target = (folder / "loud.mp3").string();
    const ExportOutcome outcome =
        run(*p, in, target, {SoundOutputKind::Mp3, SoundOutputDepth::Pcm16, 0}, false, host, false, -6.0);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    const ExportLoudness& l = outcome.loudness;
    EXPECT_EQ(l.decidedBy, GainDecidedBy::Ceiling);
    ASSERT_TRUE(l.afterCodecMeasured);
    EXPECT_TRUE(l.ceilingHeld);
    EXPECT_LE(l.afterCodec.truePeakDbtp, l.truePeakLimitDbtp);
    const LoudnessScan scan = MeasureSoundFile(target.c_str());
    ASSERT_TRUE(scan.ok);
    EXPECT_DOUBLE_EQ(scan.figures.truePeakDbtp, l.afterCodec.truePeakDbtp);
}

TEST_F(SoundExportJobTest, MonoFlacBecomesAnMp3OfItsRate) {
    const std::string in = (folder / "mono.flac").string();
    writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 22050, 1, music(22050 * 2, 1, 24));
    auto p = bypassed();
    Host host;
    const std::string target = (folder / "mono.mp3").string();
    const ExportOutcome outcome = run(*p, in, target, {SoundOutputKind::Mp3, SoundOutputDepth::Pcm16, 0}, true, host);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    SongRecord song;
    ASSERT_EQ(ProbeMp3File(target.c_str(), song), Mp3ProbeResult::Ok);
    EXPECT_EQ(song.sampleRate, 44100u);
    EXPECT_EQ(song.channels, 1u);
}

TEST_F(SoundExportJobTest, DamagedSongOrCancelLeavesWhatTheSixteenBitJobLeaves) {
    const std::vector<float> input = music(16384 * 4, 2, 24);
    const std::string in = (folder / "song.flac").string();
    writeSound(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, input);
    {
        // Cut short: the job fails with the reason and delivers nothing.
        const auto size = fs::file_size(in);
        const std::string cut = (folder / "cut.flac").string();
        fs::copy_file(in, cut);
        fs::resize_file(cut, size / 2);
        auto p = bypassed();
        Host host;
        const std::string target = (folder / "cut.wav").string();
        const ExportOutcome outcome = run(*p, cut, target, {}, false, host);
        EXPECT_EQ(outcome.status, ExportStatus::Failed);
        EXPECT_NE(outcome.message.find("cut.flac"), std::string::npos) << outcome.message;
        EXPECT_FALSE(fs::exists(target));
    }
    {
        // A cancel after the first block delivers the part processed so far.
        auto p = bypassed();
        Host host;
        host.cancelAtStep = 1;
        const std::string target = (folder / "part.wav").string();
        const ExportOutcome outcome = run(*p, in, target, {SoundOutputKind::Wav, SoundOutputDepth::Pcm24, 0}, false, host);
        EXPECT_EQ(outcome.status, ExportStatus::Cancelled);
        EXPECT_TRUE(host.cancelRequested.load());
        EXPECT_EQ(readSound(target).frames(), 16384 - leadInFrames(*p));
    }
}

}  // namespace
}  // namespace loudara
