#pragma once
// One playlist entry. The playlist owns a fixed table of these; the WAV probe fills in the format
// fields (SoundSource those of a SoundFile), the peak scan fills in peakLevel.

#include <cstdint>

namespace loudara {

// SoundFile: a file read through SoundSource (FLAC, Ogg Vorbis/Opus, AIFF, W64, RF64, and WAV
// that is not 16-bit PCM); its record holds the file's own rate and channels, and as dataBytes
// the size its frames would have as 16-bit samples.
enum class SongKind : uint32_t { Wav = 0, Mp3 = 1, Mp3Pending = 2, SoundFile = 3 };

struct SongRecord {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;       // 1 or 2
    uint32_t peakLevel = 0;      // largest absolute sample value; 0 = not scanned (or silent)
    SongKind kind = SongKind::Wav;
    uint32_t dataBytes = 0;      // size of the 16-bit sample data; for MP3 the decoded size
    char path[256] = {};         // full path, UTF-8, NUL-terminated
    // SoundFile: the float peak at the 16-bit scale (1.0 = 32768), as the sound export job finds
    // it, for a normalize gain equal to the export's; peakLevel holds it rounded. 0 otherwise.
    float soundPeak = 0.0f;
};

}  // namespace loudara
