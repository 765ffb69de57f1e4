// MP3 files: the probe and the frame decoder, to the end of the stream.

#include "files/mp3_bridge.h"
#include "fuzz_input.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input("mp3");
    const std::string& path = input.hold(data, size);

    SongRecord song;
    Mp3StreamInfo info;
    std::string reason;
    ProbeMp3File(path.c_str(), song, &info, &reason);

    Mp3Decoder decoder;
    if (!decoder.open(path.c_str())) return 0;
    int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
    // Each frame takes at least 4 bytes of the input, so a stream that does not end is a fault.
    for (size_t frames = 0;; ++frames) {
        const int n = decoder.readFrame(left, right);
        if (n <= 0) break;
        if (n > kMp3FrameSamples || frames > size) __builtin_trap();
    }
    return 0;
}
