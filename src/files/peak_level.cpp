// Peak scans over WAV files: the header walk of wav_file, then reads of 32768 samples folded into
// a running maximum of absolute values.

#include "files/peak_level.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "files/sound_source.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

struct PeakRun {
    bool cancelled = false;
    uint32_t peak = 0;
};

// "done" is the share of the data size read so far, truncated, at most 100 (a short final read
// can pass the size when the file is longer than its data chunk says), 0 for an empty song.
std::string statusText(int song, int64_t samplesRead, int64_t dataBytes) {
    const int64_t percent = dataBytes > 0 ? std::min<int64_t>(samplesRead * 2 * 100 / dataBytes, 100) : 0;
    char text[64];
    std::snprintf(text, sizeof text, "song = %d, done = %d%%", song, static_cast<int>(percent));
    return text;
}

// Reads the `dataBytes` of samples that follow the file's position, 32768 at a time, and stops at
// the end of them even when the file goes on (chunks after "data" are not sound). Shows the
// status text after each read when statusSong >= 0. The cancel flag is looked at only after a
// complete read that has not yet decided the peak.
PeakRun readPeak(std::FILE* file, int64_t dataBytes, JobHost& host, int statusSong) {
    std::array<unsigned char, kPeakReadSamples * 2> bytes;
    int64_t remaining = dataBytes / 2;  // a trailing odd byte is not a sample
    int64_t samplesRead = 0;
    int32_t maximum = 0;
    for (;;) {
        const auto wanted = static_cast<std::size_t>(std::min<int64_t>(remaining, kPeakReadSamples));
        const std::size_t got = std::fread(bytes.data(), 2, wanted, file);
        remaining -= static_cast<int64_t>(got);
        samplesRead += static_cast<int64_t>(got);
        if (statusSong >= 0) host.setStatusText(statusText(statusSong, samplesRead, dataBytes));
        for (std::size_t i = 0; i < got; ++i) {
            const auto sample = static_cast<int16_t>(bytes::getU16(bytes.data() + 2 * i));
            // In 32 bits, so -32768 counts as 32768.
            maximum = std::max(maximum, sample < 0 ? -int32_t{sample} : int32_t{sample});
        }
        // A short read ends the song (also the empty final read when the data is a whole number
        // of reads long): whatever was found is exact.
        if (got < static_cast<std::size_t>(kPeakReadSamples)) return {false, static_cast<uint32_t>(maximum)};
        if (maximum > kPeakLoudEnough) return {false, 32767};
        if (host.cancelRequested.load()) return {true, 0};
    }
}

// The record's path up to its NUL, or all 256 bytes when a damaged record has none.
std::string pathOf(const SongRecord& song) { return std::string(song.path, strnlen(song.path, sizeof song.path)); }

}  // namespace

double normalizeGainFor(uint32_t peakLevel) { return normalizeGainForLevel(peakLevel); }

double normalizeGainForLevel(double peak) {
    if (peak <= 0.0 || peak == 32767.0) return 1.0;
    return std::min(32767.0 / peak, 16.0);
}

double NormalizeGainOf(const SongRecord& song) {
    if (song.kind == SongKind::SoundFile && song.soundPeak > 0.0f) return normalizeGainForLevel(song.soundPeak);
    return normalizeGainFor(song.peakLevel);
}

PeakScanResult ScanSoundPeak(const std::string& path, JobHost& host, double& peak, std::string& error,
                             int statusSong) {
    SoundSource source;
    if (source.open(path) != SoundOpenResult::Ok) {
        error = source.error();
        return PeakScanResult::FileNotOpened;
    }
    const int64_t frames = source.format().channels == 2 ? kPeakReadSamples / 2 : kPeakReadSamples;
    const int64_t total = source.chainFrames();
    std::vector<float> block(static_cast<std::size_t>(2 * frames));
    int64_t framesRead = 0;
    double maximum = 0.0;
    for (;;) {
        const int64_t got = source.read(block.data(), frames);
        if (got < 0) {
            error = source.error();
            return PeakScanResult::FileNotOpened;
        }
        framesRead += got;
        if (statusSong >= 0) {
            const int64_t percent = total > 0 ? std::min<int64_t>(framesRead * 100 / total, 100) : 0;
            char text[64];
            std::snprintf(text, sizeof text, "song = %d, done = %d%%", statusSong, static_cast<int>(percent));
            host.setStatusText(text);
        }
        for (int64_t i = 0; i < 2 * got; ++i) maximum = std::max(maximum, std::abs(double(block[i])) * 32768.0);
        if (got < frames) break;
        if (maximum > kPeakLoudEnough) {
            maximum = 32767.0;
            break;
        }
        if (host.cancelRequested.load()) return PeakScanResult::Cancelled;
    }
    peak = maximum;
    return PeakScanResult::Done;
}

void StoreSoundPeak(SongRecord& song, double peak) {
    song.soundPeak = static_cast<float>(peak);
    song.peakLevel = static_cast<uint32_t>(std::min(std::nearbyint(peak), double(UINT32_MAX)));
}

PeakScanResult ScanPeakLevels(SongRecord* songs, int songCount, JobHost& host) {
    if (songs == nullptr || songCount < 0) songCount = 0;
    host.setProgressRange(songCount);
    PeakScanResult result = PeakScanResult::Done;
    for (int index = 0; index < songCount; ++index) {
        host.stepProgress();
        SongRecord& song = songs[index];
        if (song.kind == SongKind::SoundFile) {
            // A file that can no longer be read is skipped, as a WAV song that cannot be opened.
            double peak = 0.0;
            std::string error;
            const PeakScanResult run = ScanSoundPeak(pathOf(song), host, peak, error, index);
            if (run == PeakScanResult::Cancelled) {
                result = run;
                break;
            }
            if (run == PeakScanResult::Done) StoreSoundPeak(song, peak);
            continue;
        }
        if (song.kind != SongKind::Wav) continue;
        FileHandle file = OpenFile(pathOf(song).c_str(), "rb");
        if (!file) continue;
        // A file that is no longer WAVE (it changed after it entered the playlist) is read whole
        // from offset 0, the way playback would read it; its length stands in for the data size,
        // so the percentage still runs from 0 to 100.
        const int64_t dataBytes = SeekWavData(file.get());
        if (dataBytes < 0) {
            result = PeakScanResult::HeaderEndedEarly;
            break;
        }
        const PeakRun run = readPeak(file.get(), dataBytes, host, index);
        if (run.cancelled) {
            result = PeakScanResult::Cancelled;
            break;
        }
        song.peakLevel = run.peak;
    }
    host.endNotice();
    return result;
}

PeakScanResult ScanSongPeak(SongRecord& song, const char* wavPath, JobHost& host) {
    FileHandle file = OpenFile(wavPath, "rb");
    if (!file) return PeakScanResult::FileNotOpened;
    return ScanSongPeakIn(song, std::move(file), host);
}

PeakScanResult ScanSongPeakIn(SongRecord& song, FileHandle file, JobHost& host) {
    if (!file) return PeakScanResult::FileNotOpened;
    const WavLayout layout = ReadWavLayout(file.get());
    if (layout.kind == WavLayoutKind::NotWave) {
        song.peakLevel = 0;
        return PeakScanResult::Done;
    }
    const int64_t dataBytes = SeekToSamples(file.get(), layout);
    if (dataBytes < 0) {
        file.reset();
        host.endNotice();
        return PeakScanResult::HeaderEndedEarly;
    }
    const PeakRun run = readPeak(file.get(), dataBytes, host, -1);
    file.reset();
    if (run.cancelled) {
        host.endNotice();
        return PeakScanResult::Cancelled;
    }
    song.peakLevel = run.peak;
    return PeakScanResult::Done;
}

}  // namespace loudara
