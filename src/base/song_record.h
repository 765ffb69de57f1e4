#pragma once
// One playlist entry. The playlist owns a fixed table of these; the WAV probe fills in the format
// fields, the peak scan fills in peakLevel.

#include <cstdint>

namespace loudara {

enum class SongKind : uint32_t { Wav = 0, Mp3 = 1, Mp3Pending = 2 };

struct SongRecord {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;       // 1 or 2
    uint32_t peakLevel = 0;      // largest absolute sample value; 0 = not scanned (or silent)
    SongKind kind = SongKind::Wav;
    uint32_t dataBytes = 0;      // size of the 16-bit sample data; for MP3 the decoded size
    char path[256] = {};         // full path, UTF-8, NUL-terminated
};

}  // namespace loudara
