#pragma once
// Peak level of songs for normalisation: the largest absolute 16-bit sample of the song's sample
// data, stored in SongRecord::peakLevel, and the input gain that follows from it.
//
// Scanning reads 32768 samples at a time. A song whose peak passes 30000 within a complete read
// is not read further: its peakLevel becomes 32767 (full scale, gain 1). So a stored value of
// 30001..32768 is exact and comes only from the last, incomplete read of a song.

#include <cstdint>
#include <string>

#include "base/job_host.h"
#include "base/song_record.h"
#include "files/wav_file.h"

namespace loudara {

inline constexpr int kPeakReadSamples = 32768;
inline constexpr int32_t kPeakLoudEnough = 30000;

// normalizeGain for a song: 32767 / peakLevel, at most 16; 1.0 for 0 (not scanned or silent)
// and 32767 (already full scale).
double normalizeGainFor(uint32_t peakLevel);
// The same rule for a peak at the 16-bit scale that need not be whole (a float song's).
double normalizeGainForLevel(double peak);

// normalizeGain for a song of any kind: a SoundFile song's from its float peak (soundPeak) once
// scanned, every other song's from peakLevel.
double NormalizeGainOf(const SongRecord& song);

enum class PeakScanResult {
    Done,              // every song that could be opened was scanned
    FileNotOpened,     // ScanSongPeak and ScanSoundPeak only: the file could not be opened (or read),
                       // the record is unchanged
    Cancelled,         // host.cancelRequested was seen after a complete read
    HeaderEndedEarly,  // a WAV header ended inside a chunk identifier or size
};

// True when the scan has sent the host's end notice itself (ScanSongPeak).
inline bool peakScanSentEndNotice(PeakScanResult result) {
    return result == PeakScanResult::Cancelled || result == PeakScanResult::HeaderEndedEarly;
}

// The float peak of a sound file at the 16-bit scale, read as the sound export job reads it for
// normalising: through SoundSource as stereo at its chain rate, 32768 samples at a time (16384
// frames of a stereo file, 32768 of a mono one), a peak past 30000 within a complete read taking
// it as full scale (32767). Shows "song = %d, done = %d%%" after each read when statusSong >= 0.
// Done with `peak` set; Cancelled (after a complete read); FileNotOpened with `error` when the file
// cannot be opened or read. Sends no end notice.
PeakScanResult ScanSoundPeak(const std::string& path, JobHost& host, double& peak, std::string& error,
                             int statusSong = -1);
// A SoundFile record's scanned peak: soundPeak exactly, peakLevel rounded to the nearest whole.
void StoreSoundPeak(SongRecord& song, double peak);

// Worker body of "Get Peak Level...": scans every Wav and SoundFile song in order and stores its peakLevel.
// A SoundFile song is scanned by ScanSoundPeak. Progress: range 0..songCount, one step per song,
// MP3 songs included. Status after each read:
// "song = %d, done = %d%%" (song index from 0). Songs whose file cannot be opened are skipped.
// Cancel keeps the peak of the song being read; a broken header ends the whole scan at that song.
// Sends host.endNotice() exactly once, as its last act, on every path.
PeakScanResult ScanPeakLevels(SongRecord* songs, int songCount, JobHost& host);

// Scans one WAV file holding the song's samples (the export job's working copy) and stores the
// song's peakLevel; a file that is not WAVE gets 0. No status or progress. On cancel or a broken
// header the record is unchanged and the host's end notice is sent (the export job then ends
// without a second one); on Done and FileNotOpened nothing is sent.
PeakScanResult ScanSongPeak(SongRecord& song, const char* wavPath, JobHost& host);
// The same over a stream already open at its start (a song still being decoded); it is closed.
PeakScanResult ScanSongPeakIn(SongRecord& song, FileHandle file, JobHost& host);

}  // namespace loudara
