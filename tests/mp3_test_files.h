#pragma once
// MP3 files for the tests, made here with the built-in encoder, and an MPEG frame walker that
// reads the headers on its own (so a mistake in the bridge's framing cannot hide itself).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "measure.h"
#include "wav_builder.h"

namespace loudara::test {

// Interleaved samples of `frames` frames: the music-like signal with short noise bursts at
// irregular places, so a cross-correlation has a single clear peak.
inline std::vector<int16_t> timingSignal(int frames, int channels, int rate, uint32_t seed = 3) {
    const std::vector<int16_t> stereo = musicLikeSignal(frames, rate, 9000.0, seed);
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
    uint32_t s = seed * 7919u + 1u;
    auto next = [&s] {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    };
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) out[static_cast<size_t>(i) * channels + c] = stereo[2 * i + c];
    }
    for (int burst = 0; burst < frames / 3000; ++burst) {
        const int at = static_cast<int>(next() % static_cast<uint32_t>(frames - 200));
        for (int i = 0; i < 120; ++i) {
            for (int c = 0; c < channels; ++c) {
                const int v = out[static_cast<size_t>(at + i) * channels + c] + static_cast<int>(next() % 20001) - 10000;
                out[static_cast<size_t>(at + i) * channels + c] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
            }
        }
    }
    return out;
}

// Encodes interleaved samples into an MP3 file at `path` with the built-in encoder.
inline void writeMp3(const std::string& path, const std::vector<int16_t>& samples, uint32_t channels, uint32_t rate,
                     int kbps) {
    std::FILE* pcm = std::tmpfile();
    ASSERT_NE(pcm, nullptr);
    for (int16_t v : samples) {
        const unsigned char b[2] = {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF)};
        std::fwrite(b, 1, 2, pcm);
    }
    std::rewind(pcm);
    FileHandle out = OpenFile(path.c_str(), "wb");
    ASSERT_TRUE(out);
    std::string error;
    const bool ok = EncodePcmToMp3(pcm, static_cast<int64_t>(samples.size()) * 2, rate, channels, kbps, out.get(),
                                   nullptr, error);
    std::fclose(pcm);
    ASSERT_TRUE(ok) << error;
}

// Interleaved samples of the data chunk of a 16-bit WAV file.
inline std::vector<int16_t> wavSamples(const std::string& path) {
    FileHandle in = OpenFile(path.c_str(), "rb");
    std::vector<int16_t> samples;
    if (!in) return samples;
    const int64_t bytes = SeekWavData(in.get());
    if (bytes <= 0) return samples;
    std::vector<unsigned char> raw(static_cast<size_t>(bytes));
    raw.resize(std::fread(raw.data(), 1, raw.size(), in.get()));
    for (size_t i = 0; i + 1 < raw.size(); i += 2) samples.push_back(static_cast<int16_t>(raw[i] | (raw[i + 1] << 8)));
    return samples;
}

struct WalkedFrame {
    size_t offset = 0;
    int versionBits = 0, layerBits = 0, bitrateKbps = 0, channelMode = 0;
    uint32_t sampleRate = 0;
    size_t bytes = 0;
    bool info = false;  // carries a Xing/Info header
};

// Walks the MPEG-1 frames of a file from offset 0. `rest` = bytes after the last whole frame.
inline std::vector<WalkedFrame> walkMpeg1Frames(const ByteVector& file, size_t& rest) {
    static const int kKbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const uint32_t kRates[4] = {44100, 48000, 32000, 0};
    std::vector<WalkedFrame> frames;
    size_t at = 0;
    while (at + 4 <= file.size() && file[at] == 0xFF && (file[at + 1] & 0xE0) == 0xE0) {
        WalkedFrame f;
        f.offset = at;
        f.versionBits = (file[at + 1] >> 3) & 3;
        f.layerBits = (file[at + 1] >> 1) & 3;
        f.bitrateKbps = kKbps[file[at + 2] >> 4];
        f.sampleRate = kRates[(file[at + 2] >> 2) & 3];
        f.channelMode = file[at + 3] >> 6;
        if (f.versionBits != 3 || f.bitrateKbps == 0 || f.sampleRate == 0) break;
        f.bytes = 144000u * static_cast<uint32_t>(f.bitrateKbps) / f.sampleRate + ((file[at + 2] >> 1) & 1);
        if (at + f.bytes > file.size()) break;
        const size_t side = f.channelMode == 3 ? 17 : 32;
        const size_t tag = at + 4 + side;
        f.info = tag + 4 <= file.size() && (std::string(file.begin() + tag, file.begin() + tag + 4) == "Info" ||
                                            std::string(file.begin() + tag, file.begin() + tag + 4) == "Xing");
        frames.push_back(f);
        at += f.bytes;
    }
    rest = file.size() - at;
    return frames;
}

}  // namespace loudara::test
