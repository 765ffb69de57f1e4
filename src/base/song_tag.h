#pragma once
// A song's ID3 version 1 tag block: the last 128 bytes of an MP3 file when they begin with "TAG",
// all zero otherwise (and always for a WAV song). Title at offset 3, artist at 33, album at 63
// (30 bytes each), track number at 126.

#include <cstdint>

namespace loudara {

inline constexpr int kSongTagBytes = 128;

struct SongTag {
    uint8_t bytes[kSongTagBytes] = {};
};

}  // namespace loudara
