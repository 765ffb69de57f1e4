// The export job with its encoder on a thread of its own gives the same files as the job that
// encodes after processing, keeps one end notice through cancel, and still falls back to WAV when
// the encoder fails.

#include <gtest/gtest.h>

#include <memory>

#include "files/export_job.h"
#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "measure.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

struct CountingHost : JobHost {
    int ends = 0, steps = 0, cancelAfterSteps = -1;
    void stepProgress() override {
        if (++steps == cancelAfterSteps) cancelRequested = true;
    }
    void endNotice() override { ++ends; }
};

class ExportPipeline : public TempFolder {
protected:
    SongRecord song;
    SongTag tag;
    ExportOptions options;
    int32_t status = 0;

    void addSong(const std::string& name, bool mp3, uint32_t channels, uint32_t rate, int frames) {
        const std::string path = (folder / name).string();
        const auto samples = test::timingSignal(frames, static_cast<int>(channels), static_cast<int>(rate));
        song = SongRecord{};
        if (mp3) {
            test::writeMp3(path, samples, channels, rate, 160);
            ASSERT_EQ(ProbeMp3File(path.c_str(), song), Mp3ProbeResult::Ok);
            song.kind = SongKind::Mp3;
        } else {
            write(name, pcmWave(samples, channels, rate));
            ASSERT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
            song.kind = SongKind::Wav;
        }
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        tag = SongTag{};
    }

    ExportOutcome run(const std::string& target, bool pipelined, CountingHost& host, const char* stamp = "13572468") {
        SongRecord copy = song;  // an MP3 song's fields are rewritten by its decoding
        ExportOptions opts = options;
        ExportRequest request;
        request.song = &copy;
        request.songStatus = &status;
        request.tag = &tag;
        request.targetPath = (folder / target).string();
        request.options = &opts;
        request.runStamp = stamp;
        request.temporaryFolder = folder.string();
        request.pipelined = pipelined;
        auto p = std::make_unique<Processor>();
        const ExportOutcome outcome = RunExportJob(*p, request, host);
        lastFormat = opts.exportFormat;
        return outcome;
    }

    int32_t lastFormat = -1;
};

TEST_F(ExportPipeline, SameBytesAsEncodingAfterProcessingForEveryFormat) {
    options.exportFormat = 1;
    options.mp3Bitrate = 192;
    for (const bool mp3In : {false, true}) {
        for (const uint32_t channels : {1u, 2u}) {
            for (const uint32_t rate : {32000u, 44100u, 48000u}) {
                SCOPED_TRACE(testing::Message() << (mp3In ? "mp3 " : "wav ") << channels << " ch " << rate);
                // An odd length, so the last block and the lead-in flush are partial.
                addSong(mp3In ? "in.mp3" : "in.wav", mp3In, channels, rate, 3 * kExportBlockFrames + 4321);
                options.normalizeOnExport = channels == 2 ? 1 : 0;
                CountingHost a, b;
                const ExportOutcome piped = run("piped.mp3", true, a);
                const ExportOutcome serial = run("serial.mp3", false, b);
                ASSERT_EQ(piped.status, ExportStatus::Completed) << piped.message;
                ASSERT_EQ(serial.status, ExportStatus::Completed) << serial.message;
                EXPECT_EQ(a.ends, 1);
                const ByteVector bytes = read(piped.deliveredPath);
                EXPECT_GT(bytes.size(), 1000u);
                EXPECT_EQ(bytes, read(serial.deliveredPath));
            }
        }
    }
}

TEST_F(ExportPipeline, CancelAtAnyBlockDeliversTheSameValidPartAsTheSerialJob) {
    options.exportFormat = 1;
    options.normalizeOnExport = 0;
    for (const int cancelAt : {1, 3, 5}) {
        SCOPED_TRACE(cancelAt);
        const bool mp3In = cancelAt == 3;
        addSong(mp3In ? "long.mp3" : "long.wav", mp3In, 2, 44100, 6 * kExportBlockFrames);
        CountingHost a, b;
        a.cancelAfterSteps = b.cancelAfterSteps = cancelAt;
        const ExportOutcome piped = run("piped.mp3", true, a);
        const ExportOutcome serial = run("serial.mp3", false, b);
        ASSERT_EQ(piped.status, ExportStatus::Cancelled) << piped.message;
        EXPECT_EQ(a.ends, 1);
        SongRecord part;
        ASSERT_EQ(ProbeMp3File(piped.deliveredPath.c_str(), part), Mp3ProbeResult::Ok);
        EXPECT_EQ(read(piped.deliveredPath), read(serial.deliveredPath));
    }
}

// Bytes in the middle of an MP3 song that are not frames: the job that decodes while it processes
// ends as the one that decodes first, with the same files.
TEST_F(ExportPipeline, ADamagedMp3SongEndsAsWhenDecodedFirst) {
    options.exportFormat = 1;
    addSong("bad.mp3", true, 2, 44100, 5 * kExportBlockFrames);
    ByteVector bytes = read(song.path);
    for (size_t i = 0; i < 3000; ++i) bytes[bytes.size() / 2 + i] = static_cast<unsigned char>("broken "[i % 7]);
    write("bad.mp3", bytes);
    CountingHost a, b;
    int32_t pipedStatus = 0;
    const ExportOutcome piped = run("piped.mp3", true, a);
    std::swap(pipedStatus, status);
    const ExportOutcome serial = run("serial.mp3", false, b);
    EXPECT_EQ(piped.status, serial.status);
    EXPECT_EQ(piped.message, serial.message);
    EXPECT_EQ(pipedStatus, status);
    EXPECT_EQ(a.ends, 1);
    if (serial.status == ExportStatus::Completed) {
        EXPECT_EQ(read(piped.deliveredPath), read(serial.deliveredPath));
    } else {
        EXPECT_FALSE(fs::exists(folder / "piped.mp3"));
    }
}

TEST_F(ExportPipeline, AnEncoderThatFailsEndsTheJobAndLaterExportsAreWav) {
    options.exportFormat = 1;
    options.normalizeOnExport = 0;
    addSong("song.wav", false, 2, 44100, 4 * kExportBlockFrames);
    // The encoder's output cannot be written: its name is taken by a folder.
    fs::create_directory(folder / "$$temp_ldr_dst_11112222.mp3");
    CountingHost host;
    const ExportOutcome outcome = run("out.mp3", true, host, "11112222");
    EXPECT_EQ(outcome.status, ExportStatus::Failed);
    EXPECT_NE(outcome.message.find("MP3 encoding failed"), std::string::npos) << outcome.message;
    EXPECT_EQ(lastFormat, 0);
    EXPECT_EQ(host.ends, 1);
    EXPECT_FALSE(fs::exists(folder / "out.mp3"));
    EXPECT_FALSE(fs::exists(folder / "$$temp_ldr_dst_11112222.wav"));
}

}  // namespace
}  // namespace loudara
