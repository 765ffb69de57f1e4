// wav_compare EXPECTED.wav GOT.wav [--offset FRAMES | --preset ID] [--tolerance STEPS] [--rate HZ]
//             [--ignore-last FRAMES]
// Compares two 16-bit stereo WAV files sample by sample, GOT shifted by OFFSET frames (the
// plugin's latency; with --preset, the chain's latency with that built-in preset, as the plugin
// reports it): GOT[k + OFFSET] against EXPECTED[k] wherever both exist. Fails when any sample
// differs by more than TOLERANCE 16-bit steps, or fewer than 90 % of EXPECTED's frames were
// compared. --ignore-last leaves EXPECTED's last frames out (a host that feeds something else than
// silence after the song changes what the chain's look-ahead hears there). Sizes of 0 or 0xFFFFFFFF (streaming writers) mean "to the end of the file".

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "processor/processor.h"

namespace {

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

bool readWav(const char* path, std::vector<int16_t>& samples) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        std::fprintf(stderr, "%s: not a WAV file\n", path);
        return false;
    }
    size_t at = 12;
    bool pcm16Stereo = false;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = le32(bytes.data() + at + 4);
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
            const unsigned char* f = bytes.data() + at + 8;
            pcm16Stereo = (f[0] | f[1] << 8) == 1 && (f[2] | f[3] << 8) == 2 && (f[14] | f[15] << 8) == 16;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!pcm16Stereo) {
                std::fprintf(stderr, "%s: not 16-bit stereo PCM\n", path);
                return false;
            }
            const size_t start = at + 8;
            size_t end = (size == 0 || size >= 0x7FFFF000u) ? bytes.size() : std::min(bytes.size(), start + size);
            end -= (end - start) % 4;
            samples.resize((end - start) / 2);
            std::memcpy(samples.data(), bytes.data() + start, end - start);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    std::fprintf(stderr, "%s: no data chunk\n", path);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: wav_compare EXPECTED GOT [--offset N | --preset ID] [--tolerance T] [--rate HZ]\n");
        return 2;
    }
    long offset = 0;
    int tolerance = 0, preset = 0, rate = 44100;
    long ignoreLast = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--offset") offset = std::atol(argv[i + 1]);
        else if (option == "--preset") preset = std::atoi(argv[i + 1]);
        else if (option == "--tolerance") tolerance = std::atoi(argv[i + 1]);
        else if (option == "--rate") rate = std::atoi(argv[i + 1]);
        else if (option == "--ignore-last") ignoreLast = std::atol(argv[i + 1]);
    }
    if (preset != 0) {
        auto p = std::make_unique<loudara::Processor>();
        loudara::applyFirstStart(*p);
        loudara::selectPresetById(*p, preset);
        loudara::prepare(*p, rate);
        offset = loudara::chainLatencyFrames(*p);
    }
    std::vector<int16_t> expected, got;
    if (!readWav(argv[1], expected) || !readWav(argv[2], got)) return 1;
    const long expectedFrames = static_cast<long>(expected.size() / 2) - ignoreLast;
    const long frames = std::min(expectedFrames, static_cast<long>(got.size() / 2) - offset);
    long differing = 0;
    int largest = 0;
    long firstBad = -1;
    for (long i = 0; i < 2 * std::max(frames, 0L); ++i) {
        const int d = std::abs(int{expected[i]} - int{got[i + 2 * offset]});
        if (d != 0) ++differing;
        if (d > tolerance && firstBad < 0) firstBad = i / 2;
        largest = std::max(largest, d);
    }
    std::printf("offset %ld: %ld of %ld frames compared, %ld samples differ, largest difference %d\n", offset,
                std::max(frames, 0L), expectedFrames, differing, largest);
    if (frames < expectedFrames * 9 / 10) {
        std::printf("too few frames compared\n");
        return 1;
    }
    if (firstBad >= 0) {
        std::printf("first difference beyond %d at frame %ld\n", tolerance, firstBad);
        return 1;
    }
    return 0;
}
