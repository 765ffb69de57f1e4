// What the export job measures: its report against separate measurements of the files it
// delivered (WAV, and the MP3 as decoded), the loudness target and the true-peak ceiling after
// the codec, and songs with nothing (or little) to measure.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "files/export_job.h"
#include "files/loudness_scan.h"
#include "files/wav_file.h"
#include "measure.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

struct QuietHost : JobHost {
    void endNotice() override {}
};

void expectSameFigures(const LoudnessFigures& a, const LoudnessFigures& b, bool truePeak = true) {
    const auto same = [](double x, double y) { return (!hasValue(x) && !hasValue(y)) || std::abs(x - y) < 1e-9; };
    EXPECT_PRED2(same, a.integratedLufs, b.integratedLufs);
    EXPECT_PRED2(same, a.loudnessRangeLu, b.loudnessRangeLu);
    EXPECT_PRED2(same, a.maxMomentaryLufs, b.maxMomentaryLufs);
    EXPECT_PRED2(same, a.maxShortTermLufs, b.maxShortTermLufs);
    EXPECT_PRED2(same, a.samplePeakDbfs, b.samplePeakDbfs);
    if (truePeak) {
        EXPECT_PRED2(same, a.truePeakDbtp, b.truePeakDbtp);
    }
}

class ExportLoudnessTest : public TempFolder {
protected:
    SongRecord song;
    ExportOptions options;

    void SetUp() override {
        TempFolder::SetUp();
        options.normalizeOnExport = 0;
    }

    void addWav(const std::vector<int16_t>& samples, uint32_t channels, const char* name = "song.wav") {
        const std::string path = write(name, pcmWave(samples, channels, 44100));
        song = SongRecord{};
        ASSERT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
        song.kind = SongKind::Wav;
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
    }

    ExportOutcome run(const std::string& target, int format, std::optional<double> lufs = {}, double limit = -1.0) {
        auto p = std::make_unique<Processor>();
        resetProcessor(*p);
        selectPresetById(*p, 232);
        selectEnvelopeTimes(*p);
        options.exportFormat = format;
        int32_t status = 0;
        ExportRequest request;
        request.song = &song;
        request.songStatus = &status;
        request.targetPath = (folder / target).string();
        request.options = &options;
        request.runStamp = "87654321";
        request.temporaryFolder = folder.string();
        request.loudnessTargetLufs = lufs;
        request.truePeakLimitDbtp = limit;
        QuietHost host;
        return RunExportJob(*p, request, host);
    }

    static LoudnessFigures measured(const std::string& path) {
        const LoudnessScan scan = MeasureSoundFile(path.c_str());
        EXPECT_TRUE(scan.ok) << scan.error;
        return scan.figures;
    }
};

TEST_F(ExportLoudnessTest, ReportEqualsMeasurementsOfTheSongAndTheDeliveredFiles) {
    addWav(test::musicLikeSignal(44100 * 8, 44100, 16000.0), 2);
    const ExportOutcome wav = run("out.wav", 0);
    ASSERT_EQ(wav.status, ExportStatus::Completed) << wav.message;
    ASSERT_TRUE(wav.loudness.measured);
    expectSameFigures(wav.loudness.input, measured(song.path), false);
    EXPECT_FALSE(hasValue(wav.loudness.input.truePeakDbtp));
    expectSameFigures(wav.loudness.output, measured(wav.deliveredPath));
    // The chain makes the song louder; the figures are real numbers.
    EXPECT_GT(wav.loudness.output.integratedLufs, wav.loudness.input.integratedLufs + 3.0);

    const ExportOutcome mp3 = run("out.mp3", 1);
    ASSERT_EQ(mp3.status, ExportStatus::Completed) << mp3.message;
    ASSERT_TRUE(mp3.loudness.afterCodecMeasured) << mp3.loudness.afterCodecError;
    expectSameFigures(mp3.loudness.afterCodec, measured(mp3.deliveredPath));
    expectSameFigures(mp3.loudness.output, wav.loudness.output);
}

TEST_F(ExportLoudnessTest, TargetIsReachedWhereTheCeilingAllowsAndTheSameBytesComeOut) {
    const auto samples = test::musicLikeSignal(44100 * 8, 44100, 16000.0);
    addWav(samples, 2);
    const ExportOutcome plain = run("plain.wav", 0);
    const ExportOutcome a = run("a.wav", 0, -16.0);
    ASSERT_EQ(a.status, ExportStatus::Completed) << a.message;
    const ExportLoudness& l = a.loudness;
    EXPECT_EQ(l.decidedBy, GainDecidedBy::Target);
    EXPECT_TRUE(l.ceilingHeld);
    EXPECT_NEAR(measured(a.deliveredPath).integratedLufs, -16.0, 0.1);
    EXPECT_NEAR(l.gainDb, -16.0 - plain.loudness.output.integratedLufs, 1e-9);
    expectSameFigures(l.output, measured(a.deliveredPath));
    const ExportOutcome b = run("b.wav", 0, -16.0);
    EXPECT_EQ(read(a.deliveredPath), read(b.deliveredPath));
    EXPECT_EQ(read(a.deliveredPath).size(), read(plain.deliveredPath).size());
}

// A target far above what the ceiling lets through: the gain stops at the ceiling, which holds
// for the MP3 as decoded, and the report says the ceiling decided.
TEST_F(ExportLoudnessTest, BindingCeilingHoldsAfterTheCodec) {
    addWav(test::musicLikeSignal(44100 * 6, 44100, 16000.0), 2);
    const ExportOutcome a = run("a.mp3", 1, -5.0, -1.5);
    ASSERT_EQ(a.status, ExportStatus::Completed) << a.message;
    const ExportLoudness& l = a.loudness;
    EXPECT_EQ(l.decidedBy, GainDecidedBy::Ceiling);
    EXPECT_FALSE(l.targetReached);
    EXPECT_TRUE(l.ceilingHeld);
    EXPECT_LT(l.afterCodec.integratedLufs, -5.5);
    EXPECT_LE(measured(a.deliveredPath).truePeakDbtp, -1.5);
    EXPECT_GE(l.rounds, 1);
    EXPECT_LE(l.rounds, kMaxCeilingRounds);
    const ExportOutcome b = run("b.mp3", 1, -5.0, -1.5);
    EXPECT_EQ(read(a.deliveredPath), read(b.deliveredPath));
}

TEST_F(ExportLoudnessTest, SongsWithLittleOrNothingToMeasure) {
    addWav(std::vector<int16_t>(2 * 44100 * 3, 0), 2, "silence.wav");
    const ExportOutcome silence = run("silence_out.wav", 0, -14.0);
    ASSERT_EQ(silence.status, ExportStatus::Completed) << silence.message;
    EXPECT_FALSE(hasValue(silence.loudness.input.integratedLufs));
    EXPECT_EQ(silence.loudness.decidedBy, GainDecidedBy::Silence);
    EXPECT_EQ(silence.loudness.gainDb, 0.0);

    addWav(test::musicLikeSignal(4410, 44100, 16000.0), 2, "short.wav");
    const ExportOutcome brief = run("short_out.wav", 0);
    ASSERT_EQ(brief.status, ExportStatus::Completed) << brief.message;
    EXPECT_FALSE(hasValue(brief.loudness.output.integratedLufs));
    EXPECT_TRUE(hasValue(brief.loudness.output.samplePeakDbfs));

    // A mono song measures as its stereo copy: both speakers play it.
    const auto stereo = test::musicLikeSignal(44100 * 5, 44100, 16000.0);
    std::vector<int16_t> mono(stereo.size() / 2), twin(stereo.size());
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = twin[2 * i] = twin[2 * i + 1] = stereo[2 * i];
    const LoudnessFigures twinFigures = measured(write("twin.wav", pcmWave(twin, 2, 44100)));
    addWav(mono, 1, "mono.wav");
    const ExportOutcome m = run("mono_out.wav", 0);
    ASSERT_EQ(m.status, ExportStatus::Completed) << m.message;
    expectSameFigures(m.loudness.input, twinFigures, false);
    expectSameFigures(m.loudness.output, measured(m.deliveredPath));

    // An MP3 cut short is measured as far as it decodes.
    const std::string mp3 = (folder / "cut.mp3").string();
    test::writeMp3(mp3, stereo, 2, 44100, 128);
    ByteVector bytes = read(mp3);
    bytes.resize(bytes.size() / 2 + 77);
    const LoudnessScan cut = MeasureSoundFile(write("cut_short.mp3", bytes).c_str());
    ASSERT_TRUE(cut.ok) << cut.error;
    EXPECT_GT(cut.figures.integratedLufs, -30.0);
    EXPECT_LT(cut.figures.frames, measured(mp3).frames * 3 / 4);
    EXPECT_FALSE(MeasureSoundFile(write("junk.mp3", ByteVector(5000, 0x55)).c_str()).ok);
}


// Loud test material of three kinds, 6 s at 44.1 kHz stereo, 16-bit.
std::vector<int16_t> material(int kind) {
    constexpr int kRate = 44100, kFrames = kRate * 6;
    if (kind == 0) return test::musicLikeSignal(kFrames, kRate, 20000.0, 11);
    std::vector<int16_t> out(2 * kFrames);
    uint32_t s = 5;
    double b0 = 0, b1 = 0, b2 = 0;
    for (int n = 0; n < kFrames; ++n) {
        const double t = double(n) / kRate;
        double v;
        if (kind == 1) {
            // Pink noise (Kellet's three-pole filter of white noise) with a kick four times a second.
            s = s * 1664525u + 1013904223u;
            const double white = (static_cast<int32_t>(s >> 8) & 0xFFFF) / 32768.0 - 1.0;
            b0 = 0.99765 * b0 + white * 0.0990460;
            b1 = 0.96300 * b1 + white * 0.2965164;
            b2 = 0.57000 * b2 + white * 1.0526913;
            const double beat = std::fmod(t, 0.25);
            v = 0.25 * (b0 + b1 + b2 + white * 0.1848) + 0.5 * std::exp(-beat * 30.0) * std::sin(2.0 * test::kPi * 60.0 * beat);
        } else {
            // A dense chord with a struck attack every 0.4 s.
            const double strike = std::fmod(t, 0.4);
            v = 0.0;
            for (double hz : {196.0, 247.0, 294.0, 392.0, 494.0, 587.0, 784.0, 1175.0, 2349.0, 4699.0}) {
                v += 0.09 * std::sin(2.0 * test::kPi * hz * t);
            }
            v *= 0.4 + 0.6 * std::exp(-strike * 8.0);
        }
        out[2 * n] = out[2 * n + 1] = static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 26000.0));
    }
    return out;
}

// At every bit rate and on every kind of material the MP3 as decoded lands within 0.2 LU of the
// target (the gain is corrected for what the codec does to the loudness), under the ceiling, and
// the report says so; measuring the delivered file separately gives the same figures.
TEST_F(ExportLoudnessTest, Mp3TargetHoldsAfterTheCodecAtEveryBitRate) {
    for (int kind = 0; kind < 3; ++kind) {
        addWav(material(kind), 2, "material.wav");
        for (int32_t kbps : {64, 128, 192, 320}) {
            options.mp3Bitrate = kbps;
            const std::string name = "t" + std::to_string(kind) + "_" + std::to_string(kbps) + ".mp3";
            const ExportOutcome a = run(name, 1, -16.0, -1.0);
            ASSERT_EQ(a.status, ExportStatus::Completed) << a.message;
            const ExportLoudness& l = a.loudness;
            ASSERT_TRUE(l.afterCodecMeasured) << l.afterCodecError;
            const LoudnessFigures decoded = measured(a.deliveredPath);
            EXPECT_NEAR(decoded.integratedLufs, -16.0, 0.2) << kind << " " << kbps;
            EXPECT_LE(decoded.truePeakDbtp, -1.0) << kind << " " << kbps;
            EXPECT_TRUE(l.targetReached) << kind << " " << kbps;
            EXPECT_EQ(l.decidedBy, GainDecidedBy::Target) << kind << " " << kbps;
            EXPECT_TRUE(l.ceilingHeld);
            EXPECT_NEAR(l.afterCodec.integratedLufs, decoded.integratedLufs, 1e-9);
        }
    }
}

// An MP3 whose decoded signal goes over full scale is measured from the decoder's float output:
// its sample and true peaks read above 0 dB, where 16-bit decoding clips them at full scale.
TEST_F(ExportLoudnessTest, OverFullScaleMp3IsMeasuredWithoutClipping) {
    std::vector<int16_t> square(2 * 44100 * 3);
    for (size_t n = 0; n < square.size() / 2; ++n) square[2 * n] = square[2 * n + 1] = (n / 40) % 2 ? 32767 : -32767;
    const std::string mp3 = (folder / "over.mp3").string();
    test::writeMp3(mp3, square, 2, 44100, 128);
    const LoudnessFigures unclipped = measured(mp3);
    EXPECT_GT(unclipped.samplePeakDbfs, 0.5);
    EXPECT_GE(unclipped.truePeakDbtp, unclipped.samplePeakDbfs);
    Mp3Decoder decoder;
    ASSERT_TRUE(decoder.open(mp3.c_str()));
    LoudnessMeter clipped(44100, 2);
    std::string error;
    ASSERT_TRUE(MeasureMp3Stream(decoder, clipped, error)) << error;
    EXPECT_LE(clipped.samplePeakDbfs(), 0.0);
    EXPECT_GT(unclipped.truePeakDbtp, clipped.truePeakDbtp() + 0.3);
    EXPECT_NEAR(unclipped.integratedLufs, clipped.integratedLufs(), 0.3);
}

}  // namespace
}  // namespace loudara
