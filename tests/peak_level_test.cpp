// Peak level scans over WAV files written here byte by byte, with a host that records what the
// scan reports.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "files/peak_level.h"
#include "files/sound_export_job.h"
#include "files/temp_folder.h"
#include "recording_host.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;
using ByteVector = std::vector<unsigned char>;

void putLe(ByteVector& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A mono 44100 Hz file holding `samples`, followed by the bytes of `after`.
ByteVector waveOf(const std::vector<int16_t>& samples, std::string_view form = "WAVE", const ByteVector& after = {}) {
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    ByteVector out = {'R', 'I', 'F', 'F'};
    putLe(out, 36 + dataBytes + static_cast<uint32_t>(after.size()), 4);
    out.insert(out.end(), form.begin(), form.end());
    out.insert(out.end(), {'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0});  // size 16, PCM, mono
    putLe(out, 44100, 4);
    putLe(out, 88200, 4);
    out.insert(out.end(), {2, 0, 16, 0, 'd', 'a', 't', 'a'});
    putLe(out, dataBytes, 4);
    for (int16_t s : samples) putLe(out, static_cast<uint16_t>(s), 2);
    out.insert(out.end(), after.begin(), after.end());
    return out;
}

// `count` samples alternating +quiet/-quiet, with `loud` at index `at`.
std::vector<int16_t> song(int count, int quiet, int at = -1, int loud = 0) {
    std::vector<int16_t> samples(count);
    for (int i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i % 2 ? -quiet : quiet);
    if (at >= 0) samples[at] = static_cast<int16_t>(loud);
    return samples;
}

struct RecordingHost : JobHost {
    std::vector<std::string> status;
    int range = -1, steps = 0, ends = 0;
    std::string cancelWhenStatusHas = "never";
    void setStatusText(const std::string& text) override {
        status.push_back(text);
        if (text.find(cancelWhenStatusHas) != std::string::npos) cancelRequested = true;
    }
    void setProgressRange(int maximum) override { range = maximum; }
    void stepProgress() override { ++steps; }
    void endNotice() override { ++ends; }
};

class PeakLevel : public ::testing::Test {
protected:
    fs::path folder = fs::temp_directory_path() / ("loudara_peak_" + std::to_string(std::random_device{}()));
    int written = 0;
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }

    // A playlist entry for a new file holding `bytes`, with a peak the scan must replace or keep.
    SongRecord entry(const ByteVector& bytes, SongKind kind = SongKind::Wav) {
        const fs::path path = folder / ("song" + std::to_string(written++) + ".wav");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        SongRecord record;
        record.kind = kind;
        record.peakLevel = 7;
        std::strncpy(record.path, path.c_str(), sizeof record.path - 1);
        return record;
    }
    std::vector<uint32_t> peaks(const std::vector<SongRecord>& songs) {
        std::vector<uint32_t> out;
        for (const SongRecord& s : songs) out.push_back(s.peakLevel);
        return out;
    }
};

// The samples of a 16-bit WAV song written again through libsndfile as `format` (the same rate).
std::string soundCopy(const std::string& wavPath, const fs::path& to, int format) {
    SF_INFO in{};
    SNDFILE* source = sf_open(wavPath.c_str(), SFM_READ, &in);
    EXPECT_NE(source, nullptr);
    std::vector<short> frames(static_cast<std::size_t>(in.frames * in.channels));
    sf_readf_short(source, frames.data(), in.frames);
    sf_close(source);
    SF_INFO out{0, in.samplerate, in.channels, format, 0, 0};
    SNDFILE* copy = sf_open(to.c_str(), SFM_WRITE, &out);
    EXPECT_NE(copy, nullptr);
    sf_writef_short(copy, frames.data(), in.frames);
    sf_close(copy);
    return to.string();
}

// A stereo 48 kHz 24-bit song of `frames` frames, a quiet tone with one louder sample.
std::string song24(const fs::path& to, int frames, int at, float loud) {
    SF_INFO info{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 0, 0};
    SNDFILE* file = sf_open(to.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    std::vector<int> samples(2 * static_cast<std::size_t>(frames));
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i % 2 ? -1 : 1) * (1000 << 8) * 37;
    samples[2 * at + 1] = static_cast<int>(loud * 8388608.0f) * 256;
    sf_writef_int(file, samples.data(), frames);
    sf_close(file);
    return to.string();
}

TEST(PeakGain, NormalisationGainFollowsThePeak) {
    EXPECT_EQ(normalizeGainFor(0), 1.0);
    EXPECT_EQ(normalizeGainFor(32767), 1.0);
    EXPECT_NEAR(normalizeGainFor(12000), 2.7306, 1e-4);
    EXPECT_NEAR(normalizeGainFor(31000), 1.0570, 1e-4);
    EXPECT_EQ(normalizeGainFor(1000), 16.0);
    EXPECT_EQ(normalizeGainFor(2048), 32767.0 / 2048.0);
    EXPECT_EQ(normalizeGainFor(32768), 32767.0 / 32768.0);
}

TEST_F(PeakLevel, ScanFindsEachSongsPeakUnderTheLoudEnoughRule) {
    std::vector<SongRecord> songs = {
        entry(waveOf(song(40000, 300, 35000, 12000))),  // loudest in the second read
        entry(waveOf(song(70000, 300, 100, 30001))),    // above 30000 in a complete read
        entry(waveOf(song(1000, 300, 500, 31000))),     // short song: exact value
        entry(waveOf(song(1000, 300, 10, -32768))),     // counted as 32768
        entry(waveOf(song(5000, 0))),                   // silence
        entry(waveOf(song(32768, 20, 32767, 500))),     // exactly one read, then an empty one
        entry(waveOf(song(32768, 20, 7, -32768))),      // full scale within a complete read
        entry({}, SongKind::Mp3),
        entry({}, SongKind::Mp3Pending),
        entry({}),                                      // removed below: skipped
    };
    fs::remove(songs.back().path);
    RecordingHost host;
    EXPECT_EQ(ScanPeakLevels(songs.data(), static_cast<int>(songs.size()), host), PeakScanResult::Done);
    EXPECT_EQ(peaks(songs), (std::vector<uint32_t>{12000, 32767, 31000, 32768, 0, 500, 32767, 7, 7, 7}));
    EXPECT_EQ(host.range, 10);
    EXPECT_EQ(host.steps, 10);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(host.status, (std::vector<std::string>{
                               "song = 0, done = 81%", "song = 0, done = 100%", "song = 1, done = 46%",
                               "song = 2, done = 100%", "song = 3, done = 100%", "song = 4, done = 100%",
                               "song = 5, done = 100%", "song = 5, done = 100%", "song = 6, done = 100%"}));

    RecordingHost empty;
    EXPECT_EQ(ScanPeakLevels(nullptr, 4, empty), PeakScanResult::Done);
    EXPECT_EQ(empty.range, 0);
    EXPECT_EQ(empty.steps, 0);
    EXPECT_EQ(empty.ends, 1);
}

TEST_F(PeakLevel, CancelAndBrokenHeadersEndTheScanWithOneNotice) {
    std::vector<SongRecord> five;
    for (int i = 1; i <= 5; ++i) five.push_back(entry(waveOf(song(40000, 100 * i))));
    RecordingHost host;
    host.cancelWhenStatusHas = "song = 2,";
    EXPECT_EQ(ScanPeakLevels(five.data(), 5, host), PeakScanResult::Cancelled);
    EXPECT_EQ(peaks(five), (std::vector<uint32_t>{100, 200, 7, 7, 7}));
    EXPECT_EQ(host.steps, 3);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(host.status.back(), "song = 2, done = 81%");

    ByteVector broken = waveOf(song(100, 50));
    broken.resize(12 + 24 + 6);  // ends inside the data chunk's header
    std::vector<SongRecord> three = {entry(waveOf(song(100, 600))), entry(broken), entry(waveOf(song(100, 700)))};
    RecordingHost second;
    EXPECT_EQ(ScanPeakLevels(three.data(), 3, second), PeakScanResult::HeaderEndedEarly);
    EXPECT_EQ(peaks(three), (std::vector<uint32_t>{600, 7, 7}));
    EXPECT_EQ(second.steps, 2);
    EXPECT_EQ(second.ends, 1);
}

// Read as samples, the header would give 21436 (the rate 44100 is 0xAC44) and the chunk after
// the data 32639; neither is sound. A file that is not WAVE is read whole by the playlist scan
// only.
TEST_F(PeakLevel, OnlyTheDataChunkIsSoundInBothScans) {
    const ByteVector trailer = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    ByteVector raw;
    for (int i = 0; i < 500; ++i) putLe(raw, 1234, 2);
    std::vector<SongRecord> songs = {entry(waveOf(song(1000, 500), "WAVE", trailer)), entry(waveOf(song(1000, 0), "wAvE")),
                                     entry(raw)};
    RecordingHost host;
    EXPECT_EQ(ScanPeakLevels(songs.data(), 3, host), PeakScanResult::Done);
    EXPECT_EQ(peaks(songs), (std::vector<uint32_t>{500, 0, 1234}));
    EXPECT_EQ(host.status.back(), "song = 2, done = 100%");
    for (SongRecord& s : songs) EXPECT_EQ(ScanSongPeak(s, s.path, host), PeakScanResult::Done);
    EXPECT_EQ(peaks(songs), (std::vector<uint32_t>{500, 0, 0}));
    EXPECT_EQ(host.ends, 1);
}

TEST_F(PeakLevel, SongScanSendsTheEndNoticeOnlyWhenItEndsTheJob) {
    ByteVector broken = waveOf(song(10, 1));
    broken.resize(30);
    const std::string quiet = entry(waveOf(song(40000, 900, 39000, 1000))).path, cut = entry(broken).path;
    SongRecord target;
    RecordingHost host;
    EXPECT_EQ(ScanSongPeak(target, quiet.c_str(), host), PeakScanResult::Done);
    EXPECT_EQ(target.peakLevel, 1000u);
    EXPECT_EQ(ScanSongPeak(target, (folder / "absent.wav").c_str(), host), PeakScanResult::FileNotOpened);
    EXPECT_EQ(host.ends, 0);
    EXPECT_TRUE(host.status.empty());
    const PeakScanResult brokenResult = ScanSongPeak(target, cut.c_str(), host);
    EXPECT_TRUE(brokenResult == PeakScanResult::HeaderEndedEarly && peakScanSentEndNotice(brokenResult));
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(target.peakLevel, 1000u);  // neither the missing file nor the broken one touched it

    // Cancel is looked at after a complete read only: a short song still finishes.
    host.cancelRequested = true;
    EXPECT_EQ(ScanSongPeak(target, entry(waveOf(song(100, 40))).path, host), PeakScanResult::Done);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(ScanSongPeak(target, quiet.c_str(), host), PeakScanResult::Cancelled);
    EXPECT_EQ(target.peakLevel, 40u);
    EXPECT_EQ(host.ends, 2);
}

}  // namespace
}  // namespace loudara

namespace loudara {
namespace {

TEST_F(PeakLevel, FlacCopyOfAWavSongHasItsPeakAndGain) {
    // Stereo songs at 44100 Hz: loudest in the second read, past 30000 in a complete read, and a
    // short one read whole; mono: past 30000 only in the last, incomplete read.
    const auto stereo = [](std::vector<int16_t> samples) {
        ByteVector bytes = waveOf(samples);
        bytes[22] = 2;                                         // channels
        std::memcpy(bytes.data() + 28, "\x10\xB1\x02\x00", 4);  // 176400 bytes a second
        bytes[32] = 4;                                         // block align
        return bytes;
    };
    std::vector<SongRecord> songs = {
        entry(stereo(song(80000, 300, 70001, -12345))),
        entry(stereo(song(70000, 300, 100, 30001))),
        entry(stereo(song(1000, 300, 501, 31000))),
        entry(waveOf(song(40000, 40, 39999, 30500))),
    };
    const int wavCount = static_cast<int>(songs.size());
    for (int i = 0; i < wavCount; ++i) {
        SongRecord copy = songs[i];
        copy.kind = SongKind::SoundFile;
        const std::string flac = soundCopy(songs[i].path, folder / ("copy" + std::to_string(i) + ".flac"),
                                           SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        std::snprintf(copy.path, sizeof copy.path, "%s", flac.c_str());
        songs.push_back(copy);
    }
    RecordingHost host;
    EXPECT_EQ(ScanPeakLevels(songs.data(), static_cast<int>(songs.size()), host), PeakScanResult::Done);
    EXPECT_EQ(peaks(songs), (std::vector<uint32_t>{12345, 32767, 31000, 30500, 12345, 32767, 31000, 30500}));
    for (int i = 0; i < wavCount; ++i) {
        EXPECT_EQ(NormalizeGainOf(songs[wavCount + i]), NormalizeGainOf(songs[i])) << i;
        EXPECT_EQ(songs[i].soundPeak, 0.0f);
    }
    EXPECT_EQ(host.steps, 8);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(host.status.back(), "song = 7, done = 100%");
}

TEST_F(PeakLevel, SoundFileSongGetsTheGainItsExportNormalisesWith) {
    // 24-bit: the peak falls between 16-bit steps, and the gain follows it, not its rounding.
    SongRecord song = entry({});
    song.kind = SongKind::SoundFile;
    std::snprintf(song.path, sizeof song.path, "%s", song24(folder / "hires.wav", 30000, 20000, 0.37501f).c_str());
    RecordingHost host;
    ASSERT_EQ(ScanPeakLevels(&song, 1, host), PeakScanResult::Done);
    EXPECT_EQ(song.peakLevel, 12288u);
    EXPECT_NE(song.soundPeak, 12288.0f);
    EXPECT_NE(NormalizeGainOf(song), normalizeGainFor(song.peakLevel));

    const auto p = std::make_unique<Processor>();
    SoundExportRequest request;
    request.songPath = song.path;
    request.targetPath = (folder / "out.wav").string();
    request.runStamp = "12345678";
    request.temporaryFolder = PrivateTemporaryFolder();
    RecordingHost exportHost;
    const ExportOutcome outcome = RunSoundExportJob(*p, request, exportHost);
    ASSERT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
    EXPECT_EQ(p->settings.normalizeGain, NormalizeGainOf(song));

    // Cancelled after a complete read: the peak stays as it was. A file gone is passed over.
    SongRecord longSong = song;
    std::snprintf(longSong.path, sizeof longSong.path, "%s", song24(folder / "long.wav", 40000, 1, 0.1f).c_str());
    longSong.peakLevel = 7;
    SongRecord gone = longSong;
    std::snprintf(gone.path, sizeof gone.path, "%s", (folder / "gone.flac").c_str());
    std::vector<SongRecord> two = {gone, longSong};
    RecordingHost cancelling;
    cancelling.cancelWhenStatusHas = "song = 1, done = 40%";
    EXPECT_EQ(ScanPeakLevels(two.data(), 2, cancelling), PeakScanResult::Cancelled);
    EXPECT_EQ(peaks(two), (std::vector<uint32_t>{7, 7}));
    EXPECT_EQ(cancelling.ends, 1);
}

}  // namespace
}  // namespace loudara
