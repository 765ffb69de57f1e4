// Writes a music-like 16-bit stereo WAV song for the export benchmark:
//   make_test_song OUT.wav SECONDS [RATE]

#include <cstdio>
#include <cstdlib>

#include "files/wav_file.h"
#include "measure.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_test_song OUT.wav SECONDS [RATE]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[2]);
    const int rate = argc > 3 ? std::atoi(argv[3]) : 44100;
    if (seconds <= 0 || (rate != 32000 && rate != 44100 && rate != 48000)) {
        std::fprintf(stderr, "make_test_song: SECONDS must be positive and RATE 32000, 44100 or 48000\n");
        return 2;
    }
    const auto samples = loudara::test::musicLikeSignal(seconds * rate, rate, 20000.0, 7);
    loudara::FileHandle out = loudara::OpenFile(argv[1], "wb");
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    if (!out || !loudara::WriteWavHeader(out.get(), dataBytes, rate, 2, 16) ||
        std::fwrite(samples.data(), 2, samples.size(), out.get()) != samples.size()) {
        std::fprintf(stderr, "make_test_song: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
