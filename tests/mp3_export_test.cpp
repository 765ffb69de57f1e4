// The export job with MP3 on either side: an MP3 song to WAV and to MP3, a WAV song to MP3, the
// song's tag, a song that cannot be decoded, cancel, and the song's own file.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "files/export_job.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

struct JobRecorder : JobHost {
    int ends = 0, steps = 0, cancelAfterSteps = -1;
    std::vector<std::string> status, to;
    void setStatusText(const std::string& text) override { status.push_back(text); }
    void setToText(const std::string& text) override { to.push_back(text); }
    void stepProgress() override {
        if (++steps == cancelAfterSteps) cancelRequested = true;
    }
    void endNotice() override { ++ends; }
};

class Mp3Export : public TempFolder {
protected:
    ExportOptions options;
    SongRecord song;
    SongTag tag;
    int32_t status = 0;

    void SetUp() override {
        TempFolder::SetUp();
        options.normalizeOnExport = 0;
    }

    // An MP3 song of `frames` frames, with an ID3v1 tag when `title` is given, as the playlist
    // would add it.
    std::string addMp3Song(const std::string& name, int frames, uint32_t channels, uint32_t rate,
                           const char* title = nullptr) {
        const std::string path = (folder / name).string();
        test::writeMp3(path, test::timingSignal(frames, static_cast<int>(channels), static_cast<int>(rate)), channels,
                       rate, 160);
        if (title) {
            SongTag t;
            std::memcpy(t.bytes, "TAG", 3);
            std::memcpy(t.bytes + kTagTitleOffset, title, std::strlen(title));
            std::memcpy(t.bytes + kTagAlbumOffset, "Best of", 7);
            std::ofstream(path, std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(t.bytes), 128);
        }
        song = SongRecord{};
        EXPECT_EQ(ProbeMp3File(path.c_str(), song), Mp3ProbeResult::Ok);
        song.kind = SongKind::Mp3;
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        tag = SongTag{};  // refreshed by the decoding
        return path;
    }

    ExportOutcome run(const std::string& target, JobRecorder& host, Processor& p) {
        ExportRequest request;
        request.song = &song;
        request.songStatus = &status;
        request.tag = &tag;
        request.targetPath = (folder / target).string();
        request.options = &options;
        request.runStamp = "24681357";
        request.temporaryFolder = folder.string();
        return RunExportJob(p, request, host);
    }

    void expectNoTemporaryFiles() {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(name.find("$$temp_ldr"), std::string::npos) << name;
            EXPECT_EQ(name.find(".part-"), std::string::npos) << name;
        }
    }
};

TEST_F(Mp3Export, Mp3SongToWavIsTheExportOfItsDecodedSound) {
    for (uint32_t channels : {2u, 1u}) {
        const uint32_t rate = channels == 2 ? 44100 : 32000;
        SCOPED_TRACE(channels);
        const std::string mp3 = addMp3Song("song.mp3", 50000, channels, rate);
        const uint32_t probedBytes = song.dataBytes;
        options.exportFormat = 0;
        JobRecorder host;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = run("song.mp3", host, *p);  // becomes song.wav beside the song
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        EXPECT_EQ(host.ends, 1);
        EXPECT_EQ(outcome.deliveredPath, (folder / "song.wav").string());
        EXPECT_EQ(host.status.front(), "Converting to WAV format..");

        // The same bytes as exporting the decoded song as a WAV song.
        SongTag ignored;
        JobRecorder quiet;
        std::string error;
        const std::string decoded = (folder / "decoded.wav").string();
        ASSERT_TRUE(DecodeMp3ToWav(mp3.c_str(), decoded.c_str(), ignored, quiet, error)) << error;
        SongRecord wavSong;
        ASSERT_EQ(ProbeWavFile(decoded.c_str(), wavSong), WavProbeResult::Ok);
        EXPECT_EQ(wavSong.dataBytes, probedBytes);
        std::snprintf(wavSong.path, sizeof wavSong.path, "%s", decoded.c_str());
        const ByteVector fromMp3 = read(outcome.deliveredPath);
        song = wavSong;
        auto q = std::make_unique<Processor>();
        const ExportOutcome direct = run("direct.wav", host, *q);
        ASSERT_EQ(direct.status, ExportStatus::Completed) << direct.message;
        EXPECT_EQ(read(direct.deliveredPath), fromMp3);
        expectNoTemporaryFiles();
    }
}

TEST_F(Mp3Export, Mp3SongToMp3KeepsItsTagWithThePrefixes) {
    const std::string mp3 = addMp3Song("in.mp3", 60000, 2, 48000, "Morning");
    const ByteVector original = read(mp3);
    options.exportFormat = 1;
    options.mp3Bitrate = 192;
    std::snprintf(options.albumPrefix, sizeof options.albumPrefix, "live_");
    std::snprintf(options.titlePrefix, sizeof options.titlePrefix, "qx ");
    JobRecorder host;
    auto p = std::make_unique<Processor>();
    const ExportOutcome outcome = run("out.wav", host, *p);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(outcome.deliveredPath, (folder / "out.mp3").string());
    EXPECT_EQ(host.to.back(), (folder / "out.mp3").string());
    EXPECT_EQ(options.exportFormat, 1);
    EXPECT_TRUE(HasId3v1Tag(tag));  // refreshed from the file
    EXPECT_EQ(TagFieldText(tag, kTagTitleOffset), "Morning");
    EXPECT_NE(std::find(host.status.begin(), host.status.end(), "Converting to MP3 format.."), host.status.end());

    SongRecord out;
    Mp3StreamInfo info;
    ASSERT_EQ(ProbeMp3File(outcome.deliveredPath.c_str(), out, &info), Mp3ProbeResult::Ok);
    EXPECT_EQ(out.sampleRate, 48000u);
    EXPECT_EQ(out.channels, 2u);
    EXPECT_EQ(info.bitrateKbps, 192);
    // The processed WAV had the decoded length; encoding adds at most a frame of padding again.
    EXPECT_GE(out.dataBytes, song.dataBytes);
    EXPECT_LE(out.dataBytes, song.dataBytes + 4u * kMp3FrameSamples);
    SongTag written;
    ReadSongTag(outcome.deliveredPath.c_str(), written);
    EXPECT_EQ(TagFieldText(written, kTagTitleOffset), "qx Morning");
    EXPECT_EQ(TagFieldText(written, kTagAlbumOffset), "live_Best of");
    EXPECT_EQ(std::memcmp(written.bytes + kTagCommentOffset, "LDR_V3.04.03", 13), 0);
    EXPECT_EQ(read(mp3), original);  // the song itself is untouched
    expectNoTemporaryFiles();
}

TEST_F(Mp3Export, WavSongToMp3GetsNoTag) {
    const std::string wav = write("song.wav", pcmWave(test::musicLikeSignal(30000, 44100, 9000.0), 2, 44100));
    ASSERT_EQ(ProbeWavFile(wav.c_str(), song), WavProbeResult::Ok);
    std::snprintf(song.path, sizeof song.path, "%s", wav.c_str());
    options.exportFormat = 1;
    options.mp3Bitrate = 64;
    JobRecorder host;
    auto p = std::make_unique<Processor>();
    const ExportOutcome outcome = run("song.wav", host, *p);  // the MP3 lands beside the song
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    EXPECT_EQ(outcome.deliveredPath, (folder / "song.mp3").string());
    size_t rest = 1;
    const auto frames = test::walkMpeg1Frames(read(outcome.deliveredPath), rest);
    EXPECT_EQ(rest, 0u);  // frames only: no tag
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().bitrateKbps, 64);
    expectNoTemporaryFiles();
}

TEST_F(Mp3Export, DamageIsPassedOverWithAWarningAndASongThatCannotBeDecodedIsMarkedFailed) {
    const std::string mp3 = addMp3Song("bad.mp3", 80000, 2, 44100);
    ByteVector bytes = read(mp3);
    for (size_t i = 0; i < 3000; ++i) bytes[bytes.size() / 2 + i] = static_cast<unsigned char>("broken "[i % 7]);
    write("bad.mp3", bytes);
    {
        options.exportFormat = 0;
        JobRecorder host;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = run("damaged.wav", host, *p);
        ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        EXPECT_NE(outcome.warning.find("skipped"), std::string::npos) << outcome.warning;
        EXPECT_EQ(status, 0);
        SongRecord out;
        ASSERT_EQ(ProbeWavFile(outcome.deliveredPath.c_str(), out), WavProbeResult::Ok);
        // All but the few frames the damage touched: 3000 bytes are about 7 frames at 160 kbit/s.
        EXPECT_GT(out.dataBytes, 4u * (80000 - 10 * kMp3FrameSamples));
    }

    // Not MP3 at all, though listed as one.
    write("bad.mp3", pcmWave(std::vector<int16_t>(20000, 1000), 2, 44100));
    for (int format : {0, 1}) {
        options.exportFormat = format;
        status = 0;
        JobRecorder host;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = run("bad_out.wav", host, *p);
        EXPECT_EQ(outcome.status, ExportStatus::Failed);
        EXPECT_NE(outcome.message.find("cannot decode"), std::string::npos) << outcome.message;
        EXPECT_NE(outcome.message.find(mp3), std::string::npos) << outcome.message;
        EXPECT_EQ(status, 2);
        EXPECT_EQ(host.ends, 1);
        EXPECT_EQ(options.exportFormat, format);  // not an encoder failure
        EXPECT_FALSE(fs::exists(folder / "bad_out.wav"));
        EXPECT_FALSE(fs::exists(folder / "bad_out.mp3"));
        expectNoTemporaryFiles();
    }
}

TEST_F(Mp3Export, NeverWritesOverTheSongAndCancelDeliversTheProcessedPart) {
    const std::string mp3 = addMp3Song("mine.mp3", 20000, 2, 44100);
    const ByteVector before = read(mp3);
    options.exportFormat = 1;
    {
        JobRecorder host;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = run("mine.wav", host, *p);  // would be delivered as mine.mp3
        EXPECT_EQ(outcome.status, ExportStatus::Failed);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(host.ends, 1);
        EXPECT_EQ(read(mp3), before);
    }
    addMp3Song("long.mp3", 6 * kExportBlockFrames, 2, 44100);
    status = 0;
    JobRecorder host;
    host.cancelAfterSteps = 2;
    auto p = std::make_unique<Processor>();
    const ExportOutcome outcome = run("part.mp3", host, *p);
    ASSERT_EQ(outcome.status, ExportStatus::Cancelled) << outcome.message;
    EXPECT_EQ(host.ends, 1);
    SongRecord part;
    ASSERT_EQ(ProbeMp3File(outcome.deliveredPath.c_str(), part), Mp3ProbeResult::Ok);
    const int64_t frames = part.dataBytes / 4;
    EXPECT_GE(frames, 2 * kExportBlockFrames - leadInFrames(*p));
    EXPECT_LE(frames, 2 * kExportBlockFrames - leadInFrames(*p) + kMp3FrameSamples);
    expectNoTemporaryFiles();
}

// Cancel in the phases before and after the processing loop: nothing is delivered, the target
// keeps its old contents, the song is not marked failed and no later export turns to WAV.
TEST_F(Mp3Export, CancelWhileDecodingOrEncodingDeliversNothing) {
    struct CancelAtStatus : JobRecorder {
        std::string when;
        void setStatusText(const std::string& text) override {
            JobRecorder::setStatusText(text);
            if (text == when) cancelRequested = true;
        }
    };
    addMp3Song("song.mp3", 4 * kExportBlockFrames, 2, 44100);
    const std::string target = write("out.mp3", ByteVector{'o', 'l', 'd'});
    for (const char* phase : {"Converting to WAV format..", "Converting to MP3 format.."}) {
        SCOPED_TRACE(phase);
        options.exportFormat = 1;
        status = 0;
        CancelAtStatus host;
        host.when = phase;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = run("out.mp3", host, *p);
        EXPECT_EQ(outcome.status, ExportStatus::Cancelled) << outcome.message;
        EXPECT_TRUE(outcome.deliveredPath.empty());
        EXPECT_EQ(host.steps, phase[14] == 'W' ? 0 : 4) << "cancelled before or after the processing loop";
        EXPECT_EQ(host.ends, 1);
        EXPECT_EQ(read(target), (ByteVector{'o', 'l', 'd'}));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(options.exportFormat, 1);
        expectNoTemporaryFiles();
    }
}

}  // namespace
}  // namespace loudara
