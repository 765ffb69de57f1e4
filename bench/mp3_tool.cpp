// The MP3 bridge's two whole-file steps on their own, for timing by bench/mp3_speed.sh:
//   mp3_tool encode IN.wav KBPS    writes IN's name with .mp3 (the built-in encoder)
//   mp3_tool decode IN.mp3 OUT.wav

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files/mp3_bridge.h"

namespace {

struct QuietHost : loudara::JobHost {
    void endNotice() override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[1], "encode") != 0 && std::strcmp(argv[1], "decode") != 0)) {
        std::fprintf(stderr, "usage: mp3_tool encode IN.wav KBPS | mp3_tool decode IN.mp3 OUT.wav\n");
        return 2;
    }
    QuietHost host;
    std::string error;
    bool ok;
    if (std::strcmp(argv[1], "encode") == 0) {
        ok = loudara::EncodeWavToMp3(host, argv[2], std::atoi(argv[3]), loudara::SongTag{}, loudara::EncoderSettings{}, "",
                                     "", error);
    } else {
        loudara::SongTag tag;
        ok = loudara::DecodeMp3ToWav(argv[2], argv[3], tag, host, error);
    }
    if (!ok) {
        std::fprintf(stderr, "mp3_tool: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
