// WAV files: the probe, the header walk and the header copy the export job makes.

#include <cstdio>

#include "files/wav_file.h"
#include "fuzz_input.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input("wav");
    static fuzz::MemoryFile copy("wav-header");
    const std::string& path = input.hold(data, size);

    SongRecord song;
    if (ProbeWavFile(path.c_str(), song) == WavProbeResult::Ok) {
        if (song.channels != 1 && song.channels != 2) __builtin_trap();
        FormatSongLength(song);
    }
    FileHandle in = OpenFile(path.c_str(), "rb");
    FileHandle out = OpenFile(copy.hold(nullptr, 0).c_str(), "w+b");
    if (!in || !out) return 0;
    const WavHeaderCopy header = CopyWavHeader(in.get(), out.get());
    if (header.ok && (header.headerBytes < 0 || header.headerBytes > static_cast<int64_t>(size))) __builtin_trap();
    const int64_t samples = SeekWavData(in.get());
    if (samples > static_cast<int64_t>(0xFFFFFFFFu) && samples > static_cast<int64_t>(size)) __builtin_trap();
    return 0;
}
