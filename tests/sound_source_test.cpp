// Sound files read through libsndfile, written here by libsndfile itself: lossless kinds read
// back sample for sample, what is refused and why, damaged files and names that are no file; and
// the resampler measured on sines (distortion and noise, flatness, timing, length).

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <future>
#include <vector>

#include "files/loudness_scan.h"
#include "files/sound_resampler.h"
#include "files/sound_source.h"
#include "measure.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::kPi;

// Interleaved 32-bit samples, a sine and noise, with the low bits cleared to fit `bits`.
std::vector<int> testSamples(int64_t frames, int channels, int bits) {
    std::vector<int> out(static_cast<std::size_t>(frames * channels));
    uint32_t s = 12345;
    for (std::size_t i = 0; i < out.size(); ++i) {
        s = s * 1664525u + 1013904223u;
        const double v = 0.6 * std::sin(0.14 * static_cast<double>(i / channels) + i % channels) + 0.3 * static_cast<int32_t>(s) / 2147483648.0;
        out[i] = static_cast<int>(static_cast<int64_t>(v * 2147483647.0) & ~((int64_t{1} << (32 - bits)) - 1));
    }
    return out;
}

// A new file of `format` holding `ints` (interleaved), or `floats` when given.
void writeSound(const std::string& path, int format, int rate, int channels, const std::vector<int>& ints,
                const std::vector<float>* floats = nullptr) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>((floats ? floats->size() : ints.size()) / channels);
    EXPECT_EQ(floats ? sf_writef_float(file, floats->data(), frames) : sf_writef_int(file, ints.data(), frames), frames);
    sf_close(file);
}

// All a source gives (stereo), read `piece` frames at a time; `failed` when a read said -1.
std::vector<float> readAll(SoundSource& source, int64_t piece, bool* failed = nullptr) {
    std::vector<float> all(static_cast<std::size_t>(2 * piece));
    std::size_t used = 0;
    for (int64_t got; (got = source.read(all.data() + used, piece)) > 0;) {
        used += static_cast<std::size_t>(2 * got);
        all.resize(used + static_cast<std::size_t>(2 * piece));
    }
    if (failed) *failed = !source.error().empty();
    all.resize(used);
    return all;
}

// The complex amplitude of the `hz` sine in samples y[from], y[from + step]... up to `to`, by a
// least-squares fit of a cos + b sin (a + ib; a sine of phase 0 gives ib).
std::complex<double> fitSine(const std::vector<float>& y, double hz, double rate, std::size_t from, std::size_t to,
                             std::size_t step = 1) {
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double c = std::cos(2.0 * kPi * hz * n / rate), s = std::sin(2.0 * kPi * hz * n / rate);
        cc += c * c, ss += s * s, cs += c * s, yc += y[n * step] * c, ys += y[n * step] * s;
    }
    const double det = cc * ss - cs * cs;
    return {(yc * ss - ys * cs) / det, (ys * cc - yc * cs) / det};
}

using SoundSourceTest = TempFolder;

TEST_F(SoundSourceTest, LosslessFilesReadBackSampleForSample) {
    struct Case {
        const char* name;
        int format, bits, rate, channels;
        const char *kind, *encoding;
    } const cases[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16, 44100, 2, "WAV", "16-bit PCM"},
        {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24, 48000, 1, "WAV", "24-bit PCM"},
        {"c.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 24, 32000, 2, "WAV", "24-bit PCM"},
        {"d.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8, 44100, 1, "WAV", "8-bit PCM"},
        {"e.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 48000, 2, "WAV", "32-bit float"},
        {"f.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 0, 44100, 2, "WAV", "64-bit float"},
        {"g.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 24, 44100, 2, "RF64", "24-bit PCM"},
        {"h.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 16, 48000, 2, "W64", "16-bit PCM"},
        {"i.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 24, 44100, 2, "AIFF", "24-bit PCM"},
        {"j.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 0, 44100, 1, "AIFC", "32-bit float"},
        {"k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24, 48000, 2, "FLAC", "FLAC 24-bit"},
        {"l.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16, 44100, 1, "FLAC", "FLAC 16-bit"},
    };
    const int64_t frames = 3 * SoundSource::kBlockFrames + 123;  // blocks and a part of one
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = (folder / c.name).string();
        const std::vector<int> ints = testSamples(frames, c.channels, c.bits == 0 ? 32 : c.bits);
        std::vector<float> floats(ints.size());
        for (std::size_t i = 0; i < ints.size(); ++i) floats[i] = static_cast<float>(ints[i] / 2147483648.0);
        writeSound(path, c.format, c.rate, c.channels, ints, c.bits == 0 ? &floats : nullptr);

        SoundSource source;
        ASSERT_EQ(source.open(path), SoundOpenResult::Ok) << source.error();
        const SoundFileFormat& f = source.format();
        EXPECT_EQ(f.kind + " " + f.encoding + " " + std::to_string(f.channels) + " " + std::to_string(f.sampleRate),
                  std::string(c.kind) + " " + c.encoding + " " + std::to_string(c.channels) + " " + std::to_string(c.rate));
        EXPECT_EQ(f.frames, frames);
        EXPECT_EQ(source.chainRate(), c.rate);
        const std::vector<float> got = readAll(source, 1000);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(2 * frames));
        int wrong = 0;  // a mono file comes out in both channels
        for (std::size_t i = 0; i < got.size(); ++i) wrong += got[i] != floats[c.channels == 2 ? i : i / 2];
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(SoundSourceTest, LossyAndResampledFilesKeepTheirLengthAndLevel) {
    const std::string path = (folder / "sine").string();
    for (const auto& [rate, chain] : {std::pair{48000, 48000}, {96000, 48000}, {22050, 44100}, {37800, 44100}}) {
        for (const int format : {SF_FORMAT_OGG | SF_FORMAT_VORBIS, SF_FORMAT_OGG | SF_FORMAT_OPUS, SF_FORMAT_WAV | SF_FORMAT_PCM_24}) {
            if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS && rate != 48000) continue;
            SCOPED_TRACE(testing::Message() << rate << " Hz, format " << std::hex << format);
            const int frames = rate * 2 + 77;
            std::vector<float> mono(static_cast<std::size_t>(frames));
            for (int i = 0; i < frames; ++i) mono[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * 1000.0 * i / rate));
            writeSound(path, format, rate, 1, {}, &mono);

            SoundSource source;
            ASSERT_EQ(source.open(path), SoundOpenResult::Ok) << source.error();
            EXPECT_EQ(source.chainRate(), chain);
            bool failed = true;
            const std::vector<float> got = readAll(source, 4321, &failed);
            EXPECT_FALSE(failed) << source.error();
            const double want = static_cast<double>(frames) * chain / rate;
            EXPECT_NEAR(static_cast<double>(got.size() / 2), want, 2.0);
            EXPECT_NEAR(static_cast<double>(source.chainFrames()), want, 1.0);
            // The codecs move the level a little; the resampler does not.
            const double tolerance = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG ? 0.25 : 0.05;
            const std::size_t n = got.size() / 2;
            for (int side = 0; side < 2; ++side) {
                const std::vector<float> channel(got.begin() + side, got.end());
                EXPECT_NEAR(test::toDb(std::abs(fitSine(channel, 1000.0, chain, n / 4, 3 * n / 4, 2)) / 0.5), 0.0, tolerance);
            }
        }
    }
}

TEST_F(SoundSourceTest, MoreThanTwoChannelsAreRefusedWithWhatTheFileIs) {
    const std::string path = (folder / "six.wav").string();
    writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 6, testSamples(1000, 6, 24));
    SoundSource source;
    EXPECT_EQ(source.open(path), SoundOpenResult::Refused);
    EXPECT_EQ(source.error(), path + ": 24-bit PCM, 6 channels at 96000 Hz: Loudara takes mono or stereo");
    float frame[2];
    EXPECT_EQ(source.read(frame, 1), -1);
}

// The loudness command measures a sound file at its own rate and in its own channels: a FLAC copy
// of a WAV song (mono and stereo) gives the WAV song's figures, and a 96 kHz copy the same within
// what the higher rate's true-peak reading may differ.
TEST_F(SoundSourceTest, SoundFilesMeasureAsTheSameSoundInAWavSong) {
    for (const int channels : {1, 2}) {
        const std::vector<int> samples = testSamples(3 * 44100, channels, 16);
        const std::string wav = (folder / "song.wav").string(), flac = (folder / "song.flac").string();
        writeSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, channels, samples);
        writeSound(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, channels, samples);
        const LoudnessScan a = MeasureSoundFile(wav.c_str()), b = MeasureSoundFile(flac.c_str());
        ASSERT_TRUE(a.ok && b.ok) << a.error << " / " << b.error;
        EXPECT_EQ(b.channels, static_cast<uint32_t>(channels));
        EXPECT_NEAR(b.figures.integratedLufs, a.figures.integratedLufs, 1e-9) << channels;
        EXPECT_NEAR(b.figures.truePeakDbtp, a.figures.truePeakDbtp, 1e-9) << channels;
    }
    // The same sine at 96 and at 48 kHz, 24-bit: one loudness, read at the file's own rate.
    std::vector<float> at96(2 * 96000 * 3), at48(2 * 48000 * 3);
    for (std::size_t i = 0; i < at96.size(); ++i) at96[i] = 0.25f * std::sin(2 * kPi * 997.0 * (i / 2) / 96000.0);
    for (std::size_t i = 0; i < at48.size(); ++i) at48[i] = 0.25f * std::sin(2 * kPi * 997.0 * (i / 2) / 48000.0);
    const std::string high = (folder / "high.wav").string(), low = (folder / "low.flac").string();
    writeSound(high, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 2, {}, &at96);
    writeSound(low, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, {}, &at48);
    const LoudnessScan h = MeasureSoundFile(high.c_str()), l = MeasureSoundFile(low.c_str());
    ASSERT_TRUE(h.ok && l.ok) << h.error << " / " << l.error;
    EXPECT_EQ(h.sampleRate, 96000u);
    EXPECT_NEAR(h.figures.integratedLufs, l.figures.integratedLufs, 0.05);
    const std::string six = (folder / "six.wav").string();
    writeSound(six, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 6, testSamples(1000, 6, 24));
    EXPECT_EQ(MeasureSoundFile(six.c_str()).error, six + ": 24-bit PCM, 6 channels at 96000 Hz: Loudara takes mono or stereo");
}

TEST_F(SoundSourceTest, CutOrDamagedFilesGiveAnErrorAndNoCrash) {
    const std::string flac = (folder / "whole.flac").string(), ogg = (folder / "whole.ogg").string();
    writeSound(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, testSamples(5 * 44100, 2, 24));
    writeSound(ogg, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2, testSamples(5 * 48000, 2, 16));
    const ByteVector bytes = read(flac);
    for (const double kept : {0.5, 0.9, 0.01}) {
        const std::string cut = write("cut.flac", ByteVector(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * kept)));
        SoundSource source;
        bool failed = source.open(cut) != SoundOpenResult::Ok;
        if (!failed) readAll(source, 4096, &failed);
        EXPECT_TRUE(failed) << kept;
        EXPECT_EQ(source.error().rfind("cannot read " + cut + ": ", 0), 0u) << source.error();
    }
    // Bytes changed in the middle: the FLAC decoder loses its way; Vorbis passes over the damaged
    // pages, so fewer frames come than the file announces.
    for (const auto& [name, why] : {std::pair{flac, "flac decoder"}, {ogg, " frames (cut short or damaged)"}}) {
        ByteVector damaged = read(name);
        for (std::size_t i = damaged.size() / 3; i < damaged.size() / 3 + 50; ++i) damaged[i] ^= 0x5A;
        const std::string path = write("damaged", damaged);
        SoundSource source;
        ASSERT_EQ(source.open(path), SoundOpenResult::Ok) << source.error();
        bool failed = false;
        readAll(source, 4096, &failed);
        EXPECT_TRUE(failed) << name;
        EXPECT_EQ(source.error().rfind("cannot read " + path + ": ", 0), 0u) << source.error();
        EXPECT_NE(source.error().find(why), std::string::npos) << source.error();
    }
}

TEST_F(SoundSourceTest, WhatIsNoSoundFileIsUnreadableAtOnce) {
    const std::string fifo = (folder / "song.flac").string(), mp3 = (folder / "song.mp3").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = write("notes.wav", ByteVector(400, 'x'));
    test::writeMp3(mp3, test::timingSignal(44100, 2, 44100), 2, 44100, 128);
    const std::pair<std::string, std::string> names[] = {
        {fifo, "cannot read " + fifo + ": not a regular file"},
        {"/dev/zero", "cannot read /dev/zero: not a regular file"},
        {folder.string(), "cannot read " + folder.string() + ": it is a folder"},
        {text, "cannot read " + text + ": format not recognised"},
        {mp3, "cannot read " + mp3 + ": MPEG audio, which Loudara reads with its own MP3 decoder"},
    };
    for (const auto& [path, why] : names) {
        auto opened = std::async(std::launch::async, [&path] {
            SoundSource source;
            return std::make_pair(source.open(path), source.error());
        });
        if (opened.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "waits on " << path;
            if (std::FILE* writer = std::fopen(path.c_str(), "w")) std::fclose(writer);  // lets the thread end
        }
        EXPECT_EQ(opened.get(), std::make_pair(SoundOpenResult::Unreadable, why));
    }
}

TEST(ChainRate, FollowsTheFamilyOfTheRate) {
    const int pairs[][2] = {{32000, 32000}, {44100, 44100}, {48000, 48000}, {11025, 44100}, {88200, 44100},
                            {176400, 44100}, {8000, 48000}, {16000, 48000}, {192000, 48000}, {37800, 44100},
                            {46050, 44100}, {46051, 48000}, {64000, 48000}, {0, 0}};
    for (const auto& [rate, chain] : pairs) EXPECT_EQ(ChainRateFor(rate), chain) << rate;
}

// The resampler alone, fed a mono sine of amplitude 0.5 at `hz` in blocks of 1000 frames.
std::vector<float> resampleSine(double hz, double inRate, double outRate, int64_t frames) {
    SoundResampler resampler(inRate, outRate, 1);
    std::vector<float> out, block;
    for (int64_t start = 0; start < frames; start += 1000) {
        block.clear();
        for (int64_t n = start; n < std::min<int64_t>(start + 1000, frames); ++n)
            block.push_back(static_cast<float>(0.5 * std::sin(2.0 * kPi * hz * static_cast<double>(n) / inRate)));
        EXPECT_TRUE(resampler.process(block.data(), block.size(), out)) << resampler.error();
    }
    EXPECT_TRUE(resampler.finish(out)) << resampler.error();
    return out;
}

TEST(SoundResampler, OneKilohertzAt96kHzKeepsDistortionAndNoiseBelow110dB) {
    const std::vector<float> out = resampleSine(1000.0, 96000, 48000, 96000 * 3);
    // The 1 kHz sine fitted over the middle second and taken away: what is left is the rest.
    const std::size_t from = 48000, to = 96000;
    const std::complex<double> fit = fitSine(out, 1000.0, 48000, from, to);
    double signal = 0, residual = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double w = 2.0 * kPi * 1000.0 * n / 48000.0, y = fit.real() * std::cos(w) + fit.imag() * std::sin(w);
        signal += y * y;
        residual += (out[n] - y) * (out[n] - y);
    }
    const double thdN = 10.0 * std::log10(residual / signal);
    RecordProperty("thd_n_db", std::to_string(thdN));
    EXPECT_LT(thdN, -110.0);
    EXPECT_NEAR(std::arg(fit), kPi / 2, 1e-4);  // in time with the input: no delay is left
}

TEST(SoundResampler, PassbandIsFlatTo20kHz) {
    double worst = 0.0;
    for (const auto& [in, out] : {std::pair{96000.0, 48000.0}, {192000.0, 48000.0}, {88200.0, 44100.0}, {44100.0, 48000.0}}) {
        for (const double hz : {20.0, 100.0, 1000.0, 5000.0, 10000.0, 15000.0, 18000.0, 20000.0}) {
            const std::vector<float> y = resampleSine(hz, in, out, static_cast<int64_t>(in));
            const double db = test::toDb(std::abs(fitSine(y, hz, out, y.size() / 4, 3 * y.size() / 4)) / 0.5);
            EXPECT_NEAR(db, 0.0, 0.05) << hz << " Hz, " << in << " -> " << out;
            worst = std::max(worst, std::abs(db));
        }
    }
    RecordProperty("largest_deviation_db", std::to_string(worst));
}

TEST(SoundResampler, KeepsTheLengthInTime) {
    double worst = 0.0;
    for (const auto& [in, out] : {std::pair{96000.0, 48000.0}, {22050.0, 44100.0}, {8000.0, 48000.0}, {37800.0, 44100.0},
                                  {192000.0, 48000.0}, {11025.0, 44100.0}}) {
        for (const int64_t frames : {int64_t{1}, int64_t{999}, int64_t{1000}, static_cast<int64_t>(in) * 2 + 7}) {
            const double want = static_cast<double>(frames) * out / in;
            const double got = static_cast<double>(resampleSine(440.0, in, out, frames).size());
            EXPECT_NEAR(got, want, 1.0) << frames << " frames, " << in << " -> " << out;
            worst = std::max(worst, std::abs(got - want));
        }
    }
    RecordProperty("largest_length_error_frames", std::to_string(worst));
}

}  // namespace
}  // namespace loudara
