// WAV header walking, copying and writing, on files written here byte by byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "files/wav_file.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using WavProbe = TempFolder;
using WavHeader = TempFolder;
using WavWrite = TempFolder;

TEST_F(WavProbe, ResultsAndValuesForEachKindOfHeader) {
    const ByteVector bigFmt = Bytes{}.add(fmtBody(2, 32000, 16)).add({}, 40001 - 16).data;  // > work buffer, odd
    const ByteVector fmt = fmtBody(2, 44100, 16);
    const ByteVector big = riff(Bytes{}.chunk("fmt ", bigFmt).text("data").u32(100));
    struct Case { const char* name; ByteVector bytes; WavProbeResult result; uint32_t rate = 0, channels = 0, dataBytes = 0; };
    const std::vector<Case> cases = {
        {"mixed case", riff(Bytes{}.chunk("FmT ", fmtBody(2, 44100, 16)).text("DaTa").u32(0), "wAvE"),
         WavProbeResult::Ok, 44100, 2, 0},
        {"format tag 3", riff(Bytes{}.chunk("fmt ", fmtBody(2, 44100, 16, 3)).text("data").u32(8)), WavProbeResult::Ok,
         44100, 2, 8},
        {"odd chunks padded", riff(Bytes{}.chunk("LIST", {1, 2, 3}).chunk("fmt ", Bytes{}.add(fmtBody(1, 48000, 16), 1).data)
                                       .chunk("junk", {7}).text("data").u32(6)), WavProbeResult::Ok, 48000, 1, 6},
        {"last fmt stands", riff(withFmt(1, 32000, 16).add(withFmt(2, 48000, 16).data).text("data").u32(2)),
         WavProbeResult::Ok, 48000, 2, 2},
        {"fmt over work buffer", big, WavProbeResult::Ok, 32000, 2, 100},
        {"22050 Hz", riff(withFmt(2, 22050, 16).text("data").u32(4)), WavProbeResult::Unsupported},
        {"3 channels", riff(withFmt(3, 44100, 16).text("data").u32(4)), WavProbeResult::Unsupported},
        {"8 bits", riff(withFmt(2, 44100, 8).text("data").u32(4)), WavProbeResult::Unsupported},
        {"24 bits", riff(withFmt(2, 44100, 24).text("data").u32(4)), WavProbeResult::Unsupported},
        {"later fmt refused", riff(withFmt(2, 48000, 16).add(withFmt(2, 48000, 8).data).text("data").u32(2)),
         WavProbeResult::Unsupported},
        {"fmt of 14 bytes", riff(Bytes{}.chunk("fmt ", ByteVector(fmt.begin(), fmt.begin() + 14)).text("data").u32(0)), WavProbeResult::Unsupported},
        {"data before fmt", riff(Bytes{}.text("data").u32(0).add(withFmt(2, 44100, 16).data)), WavProbeResult::Unsupported},
        {"big fmt cut short", ByteVector(big.begin(), big.begin() + 30000), WavProbeResult::Unreadable},
        {"not RIFF", Bytes{}.text("just some text, not a sound file").data, WavProbeResult::Unreadable},
        {"empty", {}, WavProbeResult::Unreadable},
    };
    for (const Case& c : cases) {
        SongRecord song;
        song.peakLevel = 77;
        song.kind = SongKind::Mp3;
        const bool ok = c.result == WavProbeResult::Ok;
        EXPECT_EQ(ProbeWavFile(write("probe.wav", c.bytes).c_str(), song), c.result) << c.name;
        EXPECT_EQ(song.sampleRate, ok ? c.rate : 0) << c.name;  // untouched unless Ok
        EXPECT_EQ(song.channels, ok ? c.channels : 0) << c.name;
        EXPECT_EQ(song.dataBytes, ok ? c.dataBytes : 0) << c.name;
        EXPECT_EQ(song.peakLevel, 77u);
        EXPECT_EQ(song.kind, SongKind::Mp3);
    }
    SongRecord song;
    EXPECT_EQ(ProbeWavFile((folder / "absent.wav").c_str(), song), WavProbeResult::Unreadable);
    EXPECT_EQ(ProbeWavFile(folder.c_str(), song), WavProbeResult::Unreadable);
    EXPECT_EQ(ProbeWavFile(nullptr, song), WavProbeResult::Unreadable);
}

// Every prefix of a small valid file: neither crash nor a sample position out of half a header.
TEST_F(WavHeader, EveryTruncationOfAValidFileGivesAClearResult) {
    const ByteVector full = riff(Bytes{}.chunk("LIST", {'x', 'y', 'z'}).add(withFmt(2, 44100, 16).data).text("data").u32(8)
                                     .add({}, 8));
    const int64_t headerBytes = 12 + 12 + 24 + 8;
    for (std::size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string path = write("cut.wav", ByteVector(full.begin(), full.begin() + length));
        const bool whole = static_cast<int64_t>(length) >= headerBytes;
        SongRecord song;
        EXPECT_EQ(ProbeWavFile(path.c_str(), song), whole ? WavProbeResult::Ok : WavProbeResult::Unreadable);

        FileHandle in = OpenFile(path.c_str(), "rb"), out = OpenFile((folder / "copy.bin").c_str(), "wb");
        const WavHeaderCopy copy = CopyWavHeader(in.get(), out.get());
        out.reset();
        const int64_t seek = SeekWavData(in.get());
        if (length < 12) {  // no form type: the whole file counts as samples
            EXPECT_EQ(seek, static_cast<int64_t>(length));
            EXPECT_EQ(std::ftell(in.get()), 0);
            EXPECT_TRUE(copy.ok && copy.headerBytes == 0);
        } else if (!whole) {
            EXPECT_EQ(seek, -1);
            EXPECT_FALSE(copy.ok);
        } else {
            EXPECT_EQ(seek, 8);
            EXPECT_EQ(std::ftell(in.get()), headerBytes);
            EXPECT_TRUE(copy.ok);
            EXPECT_EQ(read((folder / "copy.bin").string()), ByteVector(full.begin(), full.begin() + headerBytes));
        }
    }
}

TEST_F(WavHeader, CopyKeepsExtraChunksByteForByteAndBothStopAtTheFirstSample) {
    for (const auto& [form, dataId] : {std::pair{"WAVE", "data"}, std::pair{"wAVe", "DaTA"}}) {
        SCOPED_TRACE(form);
        const ByteVector file = riff(Bytes{}.chunk("LIST", {'a', 'b', 'c', 'd', 'e'}).add(withFmt(2, 44100, 16).data)
                                         .chunk("fact", {1, 2, 3, 4}).text(dataId).u32(6).add({0x11, 0x22, 0x33, 0, 0, 0})
                                         .chunk("id3 ", {9, 9, 9, 9}),
                                     form);
        const int64_t headerBytes = 12 + 14 + 24 + 12 + 8;
        FileHandle in = OpenFile(write("extra.wav", file).c_str(), "rb");
        const std::string outPath = (folder / "out.wav").string();
        FileHandle out = OpenFile(outPath.c_str(), "wb");
        std::fseek(in.get(), 30, SEEK_SET);  // any position will do
        const WavHeaderCopy copy = CopyWavHeader(in.get(), out.get());
        out.reset();
        EXPECT_TRUE(copy.ok && copy.headerBytes == headerBytes && copy.dataBytes == 6);
        EXPECT_EQ(std::fgetc(in.get()), 0x11);
        EXPECT_EQ(read(outPath), ByteVector(file.begin(), file.begin() + headerBytes));
        EXPECT_EQ(SeekWavData(in.get()), 6);
        EXPECT_EQ(std::ftell(in.get()), headerBytes);
    }
}

TEST_F(WavHeader, FileThatIsNotWaveIsAllSamplesAndFailuresAreReported) {
    const std::string avi = write("avi.bin", riff(Bytes{}.chunk("LIST", {1, 2}), "AVI "));
    FileHandle in = OpenFile(avi.c_str(), "rb"), out = OpenFile((folder / "none.bin").c_str(), "wb");
    const WavHeaderCopy copy = CopyWavHeader(in.get(), out.get());
    EXPECT_TRUE(copy.ok && copy.headerBytes == 0 && copy.dataBytes == 22 && std::ftell(in.get()) == 0);
    EXPECT_EQ(std::ftell(out.get()), 0);

    FileHandle wave = OpenFile(write("ok.wav", riff(withFmt(2, 44100, 16).text("data").u32(0))).c_str(), "rb");
    FileHandle readOnly = OpenFile(avi.c_str(), "rb");
    EXPECT_FALSE(CopyWavHeader(wave.get(), readOnly.get()).ok);
    EXPECT_FALSE(CopyWavHeader(wave.get(), nullptr).ok);
    EXPECT_EQ(SeekWavData(nullptr), -1);
}

TEST_F(WavWrite, CanonicalHeaderFieldByField) {
    const std::string path = (folder / "new.wav").string();
    auto written = [&](uint32_t dataBytes, uint32_t rate, uint32_t channels) {
        FileHandle out = OpenFile(path.c_str(), "wb");
        EXPECT_TRUE(WriteWavHeader(out.get(), dataBytes, rate, channels, 16));
        out.reset();
        return read(path);
    };
    const ByteVector stereo = written(1000, 44100, 2);
    EXPECT_EQ(stereo, (Bytes{}.text("RIFF").u32(1036).text("WAVEfmt ").u32(16).u16(1).u16(2).u32(44100).u32(176400)
                           .u16(4).u16(16).text("data").u32(1000).data));
    EXPECT_EQ(ByteVector(stereo.begin() + 4, stereo.begin() + 8), (ByteVector{0x0C, 0x04, 0x00, 0x00}));  // 1036
    // Mono, with a size that wraps the RIFF size field; the probe reads it back.
    EXPECT_EQ(written(0xFFFFFFF0u, 32000, 1), (Bytes{}.text("RIFF").u32(0x14).text("WAVEfmt ").u32(16).u16(1).u16(1)
                                                   .u32(32000).u32(64000).u16(2).u16(16).text("data").u32(0xFFFFFFF0u).data));
    SongRecord song;
    EXPECT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
    EXPECT_EQ(song.dataBytes, 0xFFFFFFF0u);

    FileHandle readOnly = OpenFile(path.c_str(), "rb");
    EXPECT_FALSE(WriteWavHeader(readOnly.get(), 0, 44100, 2, 16));
    EXPECT_FALSE(WriteWavHeader(nullptr, 0, 44100, 2, 16));
}

TEST(WavSongLength, MinutesAndSecondsOfTheSampleData) {
    struct Case { uint32_t dataBytes, rate, channels; const char* text; };
    for (const Case& c : {Case{1000, 0, 2, "--:--"}, Case{1000, 44100, 0, "--:--"}, Case{0, 44100, 2, "00:00"},
                          Case{10584000, 44100, 2, "01:00"}, Case{10583999, 44100, 2, "00:59"},
                          Case{61 * 32000 * 2, 32000, 1, "01:01"}, Case{6000u * 48000 * 4, 48000, 2, "100:00"},
                          Case{4000000000u, 44100, 2, "377:55"}}) {
        SongRecord song;
        song.dataBytes = c.dataBytes;
        song.sampleRate = c.rate;
        song.channels = c.channels;
        EXPECT_EQ(FormatSongLength(song), c.text) << c.dataBytes << " bytes " << c.rate << " Hz " << c.channels;
    }
}

}  // namespace
}  // namespace loudara
