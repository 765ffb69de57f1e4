#pragma once
// A 16-bit PCM WAV file with the given interleaved samples, for tests that need a song on disk.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "files/wav_file.h"

namespace loudara::test {

inline bool writePcmWav(const std::filesystem::path& path, const std::vector<int16_t>& samples, uint32_t channels,
                        uint32_t rate) {
    FileHandle out = OpenFile(path.c_str(), "wb");
    return out && WriteWavHeader(out.get(), static_cast<uint32_t>(samples.size() * 2), rate, channels, 16) &&
           std::fwrite(samples.data(), 2, samples.size(), out.get()) == samples.size();
}

}  // namespace loudara::test
