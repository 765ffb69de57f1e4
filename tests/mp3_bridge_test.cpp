// The MP3 bridge on files encoded here: what the probe reports and refuses, the length and timing
// of a round trip through the encoder and DecodeMp3ToWav, the frames the encoder writes, and the
// decoder on cut, damaged and padded files.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::timingSignal;
using test::walkMpeg1Frames;
using test::writeMp3;

struct QuietJob : JobHost {
    void endNotice() override {}
};

class Mp3Files : public TempFolder {
protected:
    std::string encode(const std::string& name, int frames, uint32_t channels, uint32_t rate, int kbps) {
        const std::string path = (folder / name).string();
        writeMp3(path, timingSignal(frames, static_cast<int>(channels), static_cast<int>(rate)), channels, rate, kbps);
        return path;
    }
    // Every frame the decoder yields, until it returns 0 or -1 (the last value in `last`).
    static int64_t decodeAll(Mp3Decoder& decoder, int& last, int maxFrames = 100000) {
        int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
        int64_t samples = 0;
        for (int i = 0; i < maxFrames; ++i) {
            last = decoder.readFrame(left, right);
            if (last <= 0) return samples;
            samples += last;
        }
        ADD_FAILURE() << "the decoder did not end";
        return samples;
    }
};

TEST_F(Mp3Files, ProbeReportsRateChannelsAndTheDecodedLength) {
    // 32 kbit/s frames are too small for the codec's Info header: those lengths are estimated.
    constexpr int kFrames = 50000;
    for (uint32_t rate : {32000u, 44100u, 48000u}) {
        for (uint32_t channels : {1u, 2u}) {
            for (int kbps : {32, 128}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels, " << kbps << " kbit/s");
                const std::string path = encode("probe.mp3", kFrames, channels, rate, kbps);
                SongRecord song;
                song.kind = SongKind::Mp3Pending;
                song.peakLevel = 77;
                Mp3StreamInfo info;
                ASSERT_EQ(ProbeMp3File(path.c_str(), song, &info), Mp3ProbeResult::Ok);
                EXPECT_EQ(song.sampleRate, rate);
                EXPECT_EQ(song.channels, channels);
                EXPECT_EQ(song.kind, SongKind::Mp3Pending);  // not the probe's business
                EXPECT_EQ(song.peakLevel, 77u);
                EXPECT_EQ(info.hasInfoHeader, kbps == 128);
                const int64_t samples = song.dataBytes / (2 * channels);
                EXPECT_EQ(song.dataBytes % (2 * channels), 0u);
                EXPECT_GE(samples, kFrames - kMp3FrameSamples);
                EXPECT_LE(samples, kFrames + kMp3FrameSamples);

                // With an Info header the probe's size is exactly what decoding writes.
                SongTag tag;
                QuietJob job;
                std::string error;
                const std::string wav = (folder / "probe.wav").string();
                ASSERT_TRUE(DecodeMp3ToWav(path.c_str(), wav.c_str(), tag, job, error)) << error;
                SongRecord decoded;
                ASSERT_EQ(ProbeWavFile(wav.c_str(), decoded), WavProbeResult::Ok);
                if (kbps == 128) {
                    EXPECT_EQ(decoded.dataBytes, song.dataBytes);
                }
                EXPECT_NEAR(static_cast<double>(decoded.dataBytes), static_cast<double>(song.dataBytes),
                            2.0 * channels * kMp3FrameSamples);
            }
        }
    }
}

TEST_F(Mp3Files, ProbeRefusesWhatCannotBePlayedWithoutCrashing) {
    SongRecord song;
    std::string reason;
    // 22050 Hz: an MPEG-2 stream, read and reported, but refused.
    const std::string low = encode("low.mp3", 30000, 1, 22050, 64);
    EXPECT_EQ(ProbeMp3File(low.c_str(), song, nullptr, &reason), Mp3ProbeResult::Unsupported);
    EXPECT_EQ(song.sampleRate, 22050u);
    EXPECT_EQ(song.channels, 1u);
    EXPECT_NE(reason.find("22050"), std::string::npos);
    {
        SongTag tag;
        QuietJob job;
        std::string error;
        EXPECT_FALSE(DecodeMp3ToWav(low.c_str(), (folder / "low.wav").string().c_str(), tag, job, error));
    }

    // A text file, a WAV file, an empty file, a missing file.
    const std::string text = write("notes.mp3", Bytes{}.text("These are the notes for the show, not a song.\n").data);
    const std::string wav = write("song.mp3", pcmWave(std::vector<int16_t>(20000, 1000), 2, 44100));
    const std::string empty = write("empty.mp3", {});
    for (const std::string& path : {text, wav, empty, (folder / "missing.mp3").string(), folder.string()}) {
        song = SongRecord{};
        reason.clear();
        EXPECT_EQ(ProbeMp3File(path.c_str(), song, nullptr, &reason), Mp3ProbeResult::Unreadable) << path;
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(song.sampleRate, 0u);
    }

    // Cut short inside the first frames: no frame of sound.
    const std::string whole = encode("whole.mp3", 40000, 2, 44100, 128);
    const ByteVector bytes = read(whole);
    for (size_t keep : {size_t{3}, size_t{200}, size_t{420}}) {
        const std::string cut = write("cut.mp3", ByteVector(bytes.begin(), bytes.begin() + keep));
        reason.clear();
        EXPECT_EQ(ProbeMp3File(cut.c_str(), song, nullptr, &reason), Mp3ProbeResult::Unreadable) << keep;
        EXPECT_FALSE(reason.empty());
    }
#if !defined(__SANITIZE_ADDRESS__)  // under the sanitizers LeakSanitizer checks every test
    // The Info frame and the start of the first frame: refused after the codec started. It must be released
    // (the window probes again at every playlist load).
    const std::string cut = write("cut.mp3", ByteVector(bytes.begin(), bytes.begin() + 500));
    const size_t heapBefore = mallinfo2().uordblks;
    for (int i = 0; i < 200; ++i) EXPECT_EQ(ProbeMp3File(cut.c_str(), song), Mp3ProbeResult::Unreadable);
    EXPECT_LT(mallinfo2().uordblks - heapBefore, 100000u) << "each refused open leaks";
#endif
}

TEST_F(Mp3Files, ACutFileWithAnInfoHeaderProbesWithTheLengthItHolds) {
    // The Info header announces 40000 samples; the probe counts what the cut file holds, within a
    // frame of what decoding it gives.
    const std::string whole = encode("whole.mp3", 40000, 2, 44100, 128);
    const ByteVector bytes = read(whole);
    for (size_t keep : {bytes.size() / 3, bytes.size() / 2, bytes.size() - 200}) {
        SCOPED_TRACE(keep);
        const std::string cut = write("cut.mp3", ByteVector(bytes.begin(), bytes.begin() + keep));
        SongRecord song;
        Mp3StreamInfo info;
        ASSERT_EQ(ProbeMp3File(cut.c_str(), song, &info), Mp3ProbeResult::Ok);
        EXPECT_TRUE(info.hasInfoHeader && info.cutShort);
        SongTag tag;
        QuietJob job;
        std::string error;
        const std::string wav = (folder / "cut.wav").string();
        ASSERT_TRUE(DecodeMp3ToWav(cut.c_str(), wav.c_str(), tag, job, error)) << error;
        SongRecord decoded;
        ASSERT_EQ(ProbeWavFile(wav.c_str(), decoded), WavProbeResult::Ok);
        EXPECT_NEAR(double(song.dataBytes), double(decoded.dataBytes), 4.0 * kMp3FrameSamples);
        EXPECT_NEAR(double(song.dataBytes), 4.0 * 40000 * double(keep) / double(bytes.size()), 4.0 * 2 * kMp3FrameSamples);
    }
}

TEST_F(Mp3Files, AnInfoHeaderAnnouncingMoreFramesThanTheFileCanHoldIsNotBelieved) {
    // 0x7FFFFFFF frames would be hundreds of hours; the file's bytes tell its real length.
    const ByteVector bytes = read(encode("whole.mp3", 40000, 2, 44100, 128));
    const std::string text(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 400));
    size_t tag = text.find("Info");
    if (tag == std::string::npos) tag = text.find("Xing");
    ASSERT_NE(tag, std::string::npos);
    ASSERT_TRUE(bytes[tag + 7] & 1) << "the header carries a frame count";
    for (uint32_t frames : {0x7FFFFFFFu, 100000u}) {
        SCOPED_TRACE(frames);
        ByteVector forged = bytes;
        for (int i = 0; i < 4; ++i) forged[tag + 8 + i] = static_cast<uint8_t>(frames >> (24 - 8 * i));
        const std::string path = write("forged.mp3", forged);
        SongRecord song;
        ASSERT_EQ(ProbeMp3File(path.c_str(), song, nullptr), Mp3ProbeResult::Ok);
        EXPECT_NEAR(double(song.dataBytes), 4.0 * 40000, 4.0 * 2 * kMp3FrameSamples);
    }
}

TEST_F(Mp3Files, ProbeSkipsAnId3v2TagAndJunkBeforeTheFirstFrame) {
    const std::string path = encode("plain.mp3", 30000, 2, 48000, 192);
    SongRecord plain;
    ASSERT_EQ(ProbeMp3File(path.c_str(), plain), Mp3ProbeResult::Ok);

    // ID3v2.3 with a 2000-byte body (sync-safe size), some of it looking like frame syncs, then junk.
    Bytes prefixed;
    prefixed.text("ID3").add({3, 0, 0, 0, 0, 0x0F, 0x50});
    for (int i = 0; i < 2000; ++i) prefixed.data.push_back(i % 7 == 0 ? 0xFF : static_cast<unsigned char>(0xE0 + i % 16));
    prefixed.add(ByteVector(333, 0x00)).text("junk!").add(read(path));
    const std::string tagged = write("tagged.mp3", prefixed.data);
    SongRecord song;
    Mp3StreamInfo info;
    ASSERT_EQ(ProbeMp3File(tagged.c_str(), song, &info), Mp3ProbeResult::Ok);
    EXPECT_EQ(info.firstFrameOffset, 10 + 2000 + 333 + 5);
    EXPECT_EQ(song.dataBytes, plain.dataBytes);
    EXPECT_EQ(song.sampleRate, 48000u);

    // Decoding the prefixed file gives the same sound.
    SongTag tag;
    QuietJob job;
    std::string error;
    const std::string a = (folder / "a.wav").string(), b = (folder / "b.wav").string();
    ASSERT_TRUE(DecodeMp3ToWav(path.c_str(), a.c_str(), tag, job, error)) << error;
    ASSERT_TRUE(DecodeMp3ToWav(tagged.c_str(), b.c_str(), tag, job, error)) << error;
    EXPECT_EQ(read(a), read(b));
}

// Lag (in frames, within +-maxLag) at which the decoded signal best matches the input.
int bestLag(const std::vector<int16_t>& in, const std::vector<int16_t>& out, int channels, int maxLag, double& peak) {
    const int frames = static_cast<int>(std::min(in.size(), out.size()) / channels);
    int best = 0;
    peak = -1e300;
    double energyIn = 0, energyOut = 0;
    for (int i = 0; i < frames; ++i) {
        energyIn += double(in[i * channels]) * in[i * channels];
        energyOut += double(out[i * channels]) * out[i * channels];
    }
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sum = 0;
        for (int i = std::max(0, -lag); i < frames && i + lag < frames; ++i) {
            sum += double(in[i * channels]) * out[(i + lag) * channels];
        }
        if (sum > peak) {
            peak = sum;
            best = lag;
        }
    }
    peak /= std::sqrt(energyIn * energyOut);
    return best;
}

TEST_F(Mp3Files, RoundTripKeepsLengthAndTiming) {
    struct Case {
        uint32_t rate, channels;
    };
    constexpr int kFrames = 40000;
    for (const Case c : {Case{44100, 2}, Case{32000, 1}}) {
        for (int kbps : {128, 320}) {
            SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels, " << kbps << " kbit/s");
            const std::vector<int16_t> input = timingSignal(kFrames, static_cast<int>(c.channels), static_cast<int>(c.rate));
            const std::string mp3 = (folder / "trip.mp3").string();
            writeMp3(mp3, input, c.channels, c.rate, kbps);
            SongTag tag;
            tag.bytes[0] = 'x';  // no tag in the file: ReadSongTag clears it
            QuietJob job;
            std::string error;
            const std::string wav = (folder / "trip.wav").string();
            ASSERT_TRUE(DecodeMp3ToWav(mp3.c_str(), wav.c_str(), tag, job, error)) << error;
            EXPECT_EQ(tag.bytes[0], 0);

            // The canonical header with the real size, no longer 0x7FFFFFFF.
            const ByteVector bytes = read(wav);
            ASSERT_GE(bytes.size(), 44u);
            EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
            const uint32_t dataBytes = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t(bytes[43]) << 24;
            EXPECT_EQ(dataBytes, bytes.size() - 44);
            EXPECT_EQ(bytes[22], c.channels);
            EXPECT_EQ(bytes[24] | bytes[25] << 8 | bytes[26] << 16, static_cast<int>(c.rate));

            const std::vector<int16_t> output = test::wavSamples(wav);
            const int64_t outFrames = static_cast<int64_t>(output.size()) / c.channels;
            EXPECT_GE(outFrames, kFrames);
            EXPECT_LE(outFrames, kFrames + kMp3FrameSamples);

            double peak = 0;
            EXPECT_EQ(bestLag(input, output, static_cast<int>(c.channels), 1500, peak), 0);
            EXPECT_GT(peak, 0.9);  // the same sound, not just the same length
        }
    }
}

TEST_F(Mp3Files, EveryFrameIsLayerIIIAtTheChosenConstantBitRate) {
    const int rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    int index = 0;
    for (int kbps : rates) {
        const uint32_t rate = (index % 3 == 0) ? 32000 : (index % 3 == 1 ? 44100 : 48000);
        const uint32_t channels = index % 2 == 0 ? 2 : 1;
        ++index;
        SCOPED_TRACE(testing::Message() << kbps << " kbit/s, " << rate << " Hz, " << channels << " channels");
        constexpr int kFrames = 20000;
        const std::string path = encode("cbr.mp3", kFrames, channels, rate, kbps);
        size_t rest = 99;
        const std::vector<test::WalkedFrame> frames = walkMpeg1Frames(read(path), rest);
        EXPECT_EQ(rest, 0u);  // frames from the first byte to the last, nothing else
        ASSERT_GT(frames.size(), 2u);
        int infoFrames = 0;
        for (const test::WalkedFrame& f : frames) {
            EXPECT_EQ(f.layerBits, 1);  // Layer III
            EXPECT_EQ(f.bitrateKbps, kbps);
            EXPECT_EQ(f.sampleRate, rate);
            EXPECT_EQ(f.channelMode == 3, channels == 1);
            infoFrames += f.info;
        }
        // The Info frame is the first when there is one; the codec leaves it out only where a
        // frame is too small to hold it.
        EXPECT_EQ(infoFrames, frames.front().info ? 1 : 0);
        if (kbps >= 64) {
            EXPECT_TRUE(frames.front().info);
        }
        const int64_t soundFrames = static_cast<int64_t>(frames.size()) - infoFrames;
        EXPECT_GE(soundFrames * kMp3FrameSamples, kFrames + kMp3DefaultEncoderDelay);
        EXPECT_LT(soundFrames * kMp3FrameSamples, kFrames + kMp3DefaultEncoderDelay + 3 * kMp3FrameSamples);
    }
    // A bit rate that MPEG-1 Layer III does not have is refused, not rounded.
    const std::string wav = write("in.wav", pcmWave(std::vector<int16_t>(8000, 0), 2, 44100));
    QuietJob job;
    std::string error;
    EXPECT_FALSE(EncodeWavToMp3(job, wav, 100, SongTag{}, EncoderSettings{}, "", "", error));
    EXPECT_NE(error.find("100"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "in.mp3"));
}

TEST_F(Mp3Files, OutputNameOfTheEncoder) {
    EXPECT_EQ(Mp3OutputPathFor("/tmp/song.WAV"), "/tmp/song.mp3");
    EXPECT_EQ(Mp3OutputPathFor("/tmp/song.Mp3"), "/tmp/song.mp3");
    EXPECT_EQ(Mp3OutputPathFor("/tmp/song.flac"), "/tmp/song.flac.mp3");
    EXPECT_EQ(Mp3OutputPathFor("/tmp/song"), "/tmp/song.mp3");
    EXPECT_EQ(Mp3OutputPathFor(".wav"), ".wav.mp3");  // not longer than 4 characters
}

TEST_F(Mp3Files, DecoderEndsCleanlyOnCutFilesAndPassesTagsAndTrailingBytes) {
    const std::string path = encode("song.mp3", 30000, 2, 44100, 128);
    const ByteVector bytes = read(path);
    Mp3Decoder decoder;
    ASSERT_TRUE(decoder.open(path.c_str()));
    int last = 1;
    const int64_t full = decodeAll(decoder, last);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(decoder.readFrame(nullptr, nullptr), 0);  // stays at the end
    decoder.close();
    EXPECT_FALSE(decoder.isOpen());

    // Cut anywhere: it opens (or refuses) and then ends with 0, never with garbage or a crash.
    for (size_t keep = 1; keep < bytes.size(); keep += bytes.size() / 37 + 1) {
        SCOPED_TRACE(keep);
        const std::string cut = write("cut.mp3", ByteVector(bytes.begin(), bytes.begin() + keep));
        std::string error;
        if (!decoder.open(cut.c_str(), &error)) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        const int64_t samples = decodeAll(decoder, last);
        EXPECT_EQ(last, 0);
        EXPECT_LE(samples, full);
        EXPECT_EQ(samples % kMp3FrameSamples, 0);
    }

    // Songs joined with an ID3v2 tag between them, an ID3v1 tag and stray bytes at the end.
    Bytes joined;
    joined.add(bytes).text("ID3").add({4, 0, 0, 0, 0, 0, 20}).add(ByteVector(20, 0xFF)).add(bytes);
    joined.text("LYRICSBEGIN and some words").text("TAG").add(ByteVector(125, 'a'));
    const std::string both = write("both.mp3", joined.data);
    ASSERT_TRUE(decoder.open(both.c_str()));
    EXPECT_EQ(decodeAll(decoder, last), 2 * full);
    EXPECT_EQ(last, 0);
}

TEST_F(Mp3Files, GarbageInTheMiddleIsSkippedAndReportedAndMonoFillsOnlyTheLeftArray) {
    const std::string path = encode("mono.mp3", 40000, 1, 48000, 96);
    ByteVector bytes = read(path);
    {
        Mp3Decoder decoder;
        ASSERT_TRUE(decoder.open(path.c_str()));
        EXPECT_EQ(decoder.info().channels, 1u);
        int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
        std::fill(std::begin(right), std::end(right), int16_t{1234});
        int n = 0;
        for (int i = 0; i < 20; ++i) n = decoder.readFrame(left, right);
        EXPECT_EQ(n, kMp3FrameSamples);
        EXPECT_TRUE(std::all_of(std::begin(right), std::end(right), [](int16_t v) { return v == 1234; }));
        EXPECT_TRUE(std::any_of(std::begin(left), std::end(left), [](int16_t v) { return v != 0; }));
    }
    int last = 0;
    Mp3Decoder decoder;
    ASSERT_TRUE(decoder.open(path.c_str()));
    const int64_t full = decodeAll(decoder, last);
    EXPECT_EQ(decoder.skipped().bytes, 0);

    // Text over 1500 bytes at a third, and 2000 bytes at two thirds: the decoder passes
    // over them to the next frames and goes on to the end, as players do, losing only the frames
    // the text touched; the skipped bytes and the first place are reported.
    const char text[] = "Garbage in the middle of the song: a text where frames should be. ";
    const size_t first = bytes.size() / 3, second = 2 * bytes.size() / 3;
    for (size_t i = 0; i < 1500; ++i) bytes[first + i] = static_cast<unsigned char>(text[i % (sizeof text - 1)]);
    for (size_t i = 0; i < 2000; ++i) bytes[second + i] = static_cast<unsigned char>(text[i % (sizeof text - 1)]);
    const std::string damaged = write("damaged.mp3", bytes);
    ASSERT_TRUE(decoder.open(damaged.c_str()));
    const int64_t samples = decodeAll(decoder, last);
    EXPECT_EQ(last, 0);
    const Mp3Skips skips = decoder.skipped();
    EXPECT_EQ(skips.stretches, 2);
    EXPECT_GT(skips.firstOffset, int64_t(first) - 288);  // within the frame the text begins in
    EXPECT_LE(skips.firstOffset, int64_t(first) + 1500);
    EXPECT_GE(skips.bytes, 1500 + 2000 - 2 * 288);
    EXPECT_LT(skips.bytes, 1500 + 2000 + 2 * 288);
    // 96 kbit/s at 48 kHz: 288-byte frames; each stretch costs the frames it touched and no more.
    EXPECT_GE(samples, full - (1500 / 288 + 2 + 2000 / 288 + 2) * kMp3FrameSamples);
    EXPECT_LT(samples, full);

    SongTag tag;
    QuietJob job;
    std::string error, warning;
    const std::string wav = (folder / "damaged.wav").string();
    ASSERT_TRUE(DecodeMp3ToWav(damaged.c_str(), wav.c_str(), tag, job, error, &warning)) << error;
    EXPECT_EQ(warning, Mp3SkipWarning(skips));
    EXPECT_NE(warning.find("skipped " + std::to_string(skips.bytes) + " bytes"), std::string::npos) << warning;
    EXPECT_NE(warning.find("offset " + std::to_string(skips.firstOffset)), std::string::npos) << warning;
    SongRecord decoded;
    ASSERT_EQ(ProbeWavFile(wav.c_str(), decoded), WavProbeResult::Ok);
    EXPECT_NEAR(double(decoded.dataBytes) / 2, double(samples - Mp3LeadingSamples(decoder.info())), 1.0);

    // Random bytes throughout: refused or ended, never a crash or a hang.
    uint32_t s = 99;
    for (unsigned char& b : bytes) {
        s = s * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(s >> 24);
    }
    const std::string noise = write("noise.mp3", bytes);
    if (decoder.open(noise.c_str())) {
        decodeAll(decoder, last);
        EXPECT_LE(last, 0);
    }
}

TEST_F(Mp3Files, DecodingRestsBeforeEveryTwentiethFrame) {
    // A scripted clock that advances 64 ms per reading: level x 64 / 50 ms before frames 0, 20,
    // 40, ... (the read that finds the end counts as a frame).
    struct ScriptedJob : QuietJob {
        long long clockMs = 1LL << 40;
        std::vector<long long> rests;
        long long processClockMs() override { return std::exchange(clockMs, clockMs + 64); }
        void rest(long long ms) override { rests.push_back(ms); }
    };
    const std::string path = encode("song.mp3", 100000, 2, 44100, 128);
    Mp3Decoder decoder;
    ASSERT_TRUE(decoder.open(path.c_str()));
    int last = 0;
    const int64_t frames = decodeAll(decoder, last) / kMp3FrameSamples;
    decoder.close();
    ScriptedJob job;
    job.throttleOn = 1;
    job.throttleLevel = 7;
    SongTag tag;
    std::string error;
    ASSERT_TRUE(DecodeMp3ToWav(path.c_str(), (folder / "song.wav").string().c_str(), tag, job, error)) << error;
    ASSERT_EQ(int64_t(job.rests.size()), frames / 20 + 1);
    // The first rest counts from the last throttle of any earlier job, at most 100 ms: 14 ms.
    EXPECT_EQ(job.rests.front(), 14);
    EXPECT_EQ(std::vector<long long>(job.rests.begin() + 1, job.rests.end()), std::vector<long long>(frames / 20, 8));
}

// The codec keeps decoding state in memory the whole process shares: decoders on different
// threads (a batch of MP3 songs, playback beside an export) must each still give the sound a lone
// decoder gives.
TEST_F(Mp3Files, DecodersOnSeveralThreadsGiveTheSoundOfALoneDecoder) {
    const std::string stereo = encode("stereo.mp3", 10 * 44100, 2, 44100, 192);
    const std::string mono = encode("mono.mp3", 10 * 48000, 1, 48000, 96);
    auto decode = [](const std::string& path) {
        std::vector<int16_t> sound;
        Mp3Decoder decoder;
        if (!decoder.open(path.c_str())) return sound;
        int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
        for (int n; (n = decoder.readFrame(left, right)) > 0;) {
            sound.insert(sound.end(), left, left + n);
            if (decoder.info().channels == 2) sound.insert(sound.end(), right, right + n);
        }
        return sound;
    };
    const std::vector<int16_t> alone[2] = {decode(stereo), decode(mono)};
    ASSERT_GT(alone[0].size(), 800000u);
    ASSERT_GT(alone[1].size(), 450000u);
    for (int round = 0; round < 3; ++round) {
        std::vector<int16_t> together[4];
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { together[t] = decode(t % 2 == 0 ? stereo : mono); });
        for (std::thread& thread : threads) thread.join();
        for (int t = 0; t < 4; ++t) EXPECT_TRUE(together[t] == alone[t % 2]) << "round " << round << ", thread " << t;
    }
}

TEST_F(Mp3Files, PlaybackHasOneDecoder) {
    EXPECT_EQ(&PlaybackMp3Decoder(), &PlaybackMp3Decoder());
    const std::string path = encode("play.mp3", 5000, 2, 44100, 128);
    Mp3Decoder& decoder = PlaybackMp3Decoder();
    ASSERT_TRUE(decoder.open(path.c_str()));
    EXPECT_EQ(decoder.info().sampleRate, 44100u);
    decoder.close();
    EXPECT_EQ(decoder.readFrame(nullptr, nullptr), -1);  // closed
}

}  // namespace
}  // namespace loudara
