// loudara-cli filter: the chain as a pipe. A WAV stream (or raw PCM) on standard input comes out
// processed on standard output block by block, as it arrives, for players and station software
// that send their sound through a command (Liquidsoap's pipe(), ffmpeg, sox).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_io.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/process_setup.h"
#include "processor/processor.h"

namespace loudara {

namespace {

using namespace loudara::cli;

const char* kFilterHelp =
    "Usage: loudara-cli filter [--preset ID] [--params FILE] [--settings FILE] [--set NAME=VALUE]...\n"
    "                          [--raw s16le|f32le:RATE:CHANNELS]\n"
    "\n"
    "Reads a WAV stream on standard input and writes it processed on standard output as it\n"
    "arrives, 4096 frames at a time: for pipes (Liquidsoap's pipe(), ffmpeg, sox). The stream\n"
    "is 16-bit PCM or 32-bit float, mono or stereo, at 32000, 44100 or 48000 Hz; its sizes may be\n"
    "0 or 0xFFFFFFFF (a stream of unknown length). The output has the input's format and exactly\n"
    "its length: the chain's delay is removed at the start and run out at the end. The level is\n"
    "not normalised (there is no whole song to scan); a 16-bit stream gives the samples of\n"
    "'process --no-normalize'.\n"
    "\n"
    "  --preset ID          a built-in preset by id or name (232, 334..343, fm-wide-stereo, ...;\n"
    "                       see 'loudara-cli presets')\n"
    "  --params FILE        a parameter file (.ld3)\n"
    "  --settings FILE      a current-settings file (ldmp3.prf)\n"
    "  --set NAME=VALUE     one sound parameter, e.g. --set 'driveDb[2]=18' (see\n"
    "                       'loudara-cli process --list-parameters')\n"
    "  --raw FORM:RATE:CHANNELS\n"
    "                       headerless PCM in and out: s16le or f32le, e.g. --raw s16le:44100:2\n"
    "\n"
    "A reader that goes away ends the filter quietly (status 0); input it cannot take ends it\n"
    "with a reason on stderr and status 1.";

constexpr int kFilterBlockFrames = 4096;
constexpr uint16_t kFormatPcm = 1, kFormatFloat = 3, kFormatExtensible = 0xFFFE;

struct StreamFormat {
    bool isFloat = false;
    int rate = 0;
    int channels = 0;
    int bytesPerFrame() const { return (isFloat ? 4 : 2) * channels; }
};

int failure(const std::string& message) {
    std::fprintf(stderr, "loudara-cli filter: %s\n", message.c_str());
    return 1;
}

// Reads up to `count` bytes, as many as arrive before the end of the stream; -1 on an error.
ssize_t readSome(int fd, unsigned char* buffer, size_t count) {
    while (true) {
        const ssize_t n = read(fd, buffer, count);
        if (n >= 0 || errno != EINTR) return n;
    }
}

ssize_t readFully(int fd, unsigned char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = readSome(fd, buffer + done, count - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

enum class WriteResult { Ok, ReaderGone, Failed };

WriteResult writeFully(int fd, const void* data, size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EPIPE ? WriteResult::ReaderGone : WriteResult::Failed;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return WriteResult::Ok;
}

bool isIdNoCase(const unsigned char* at, const char* id) { return strncasecmp(reinterpret_cast<const char*>(at), id, 4) == 0; }

// Streaming writers announce sizes they cannot know as 0, 0xFFFFFFFF or (sox) 0x7FFFF000.
bool sizeUnknown(uint32_t size) { return size == 0 || size >= 0x7FFFF000u; }

std::string formatText(const StreamFormat& f) {
    return std::string(f.isFloat ? "32-bit float" : "16-bit PCM") + ", " + std::to_string(f.channels) +
           (f.channels == 1 ? " channel" : " channels") + " at " + std::to_string(f.rate) + " Hz";
}

// Why the chain cannot take a stream of this format; empty when it can.
std::string whyRefused(const StreamFormat& f) {
    if (f.channels != 1 && f.channels != 2) return "Loudara takes mono or stereo";
    if (f.rate != 32000 && f.rate != 44100 && f.rate != 48000) return "Loudara runs at 32000, 44100 or 48000 Hz";
    return {};
}

// Reads the WAV header up to the data chunk's size. False with the reason for a stream that is not
// a WAV stream the filter takes; `dataBytes` is 0 for a stream of unknown length.
bool readWavHeader(int fd, StreamFormat& format, uint64_t& dataBytes, std::string& error) {
    unsigned char riff[12];
    const ssize_t got = readFully(fd, riff, 12);
    if (got < 0) {
        error = std::string("cannot read standard input: ") + std::strerror(errno);
        return false;
    }
    if (got == 0) {
        error = "standard input is empty (a WAV stream was expected; see --raw for headerless PCM)";
        return false;
    }
    if (got != 12 || !isIdNoCase(riff, "RIFF") || !isIdNoCase(riff + 8, "WAVE")) {
        error = "standard input is not a WAV stream (see --raw for headerless PCM)";
        return false;
    }
    bool haveFormat = false;
    uint16_t tag = 0, bits = 0;
    while (true) {
        unsigned char chunk[8];
        if (readFully(fd, chunk, 8) != 8) {
            error = "the WAV stream on standard input ends before its sound";
            return false;
        }
        const uint32_t size = bytes::getU32(chunk + 4);
        if (isIdNoCase(chunk, "data")) {
            if (!haveFormat) {
                error = "the WAV stream on standard input has no format chunk before its sound";
                return false;
            }
            dataBytes = sizeUnknown(size) ? 0 : size;
            break;
        }
        const uint64_t padded = uint64_t{size} + (size & 1);
        if (padded > (1u << 20)) {
            error = "the WAV stream on standard input has a header of more than 1 MiB";
            return false;
        }
        std::vector<unsigned char> body(padded);
        if (readFully(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
            error = "the WAV stream on standard input ends inside its header";
            return false;
        }
        if (isIdNoCase(chunk, "fmt ")) {
            if (size < 16) {
                error = "the WAV stream on standard input has a format chunk of " + std::to_string(size) + " bytes";
                return false;
            }
            tag = bytes::getU16(body.data());
            format.channels = bytes::getU16(body.data() + 2);
            format.rate = static_cast<int>(bytes::getU32(body.data() + 4));
            bits = bytes::getU16(body.data() + 14);
            // WAVE_FORMAT_EXTENSIBLE names the real format in the first two bytes of its sub-format.
            if (tag == kFormatExtensible && size >= 40) tag = bytes::getU16(body.data() + 24);
            haveFormat = true;
        }
    }
    if (!((tag == kFormatPcm && bits == 16) || (tag == kFormatFloat && bits == 32))) {
        error = "standard input: format " + std::to_string(tag) + " with " + std::to_string(bits) +
                "-bit samples: the filter takes 16-bit PCM or 32-bit float WAV";
        return false;
    }
    format.isFloat = tag == kFormatFloat;
    if (const std::string why = whyRefused(format); !why.empty()) {
        error = "standard input: " + formatText(format) + ": " + why;
        return false;
    }
    return true;
}

// --raw FORM:RATE:CHANNELS.
bool parseRawForm(std::string_view text, StreamFormat& format, std::string& error) {
    const size_t first = text.find(':');
    const size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    const std::string_view form = text.substr(0, first);
    if (second == std::string_view::npos || (form != "s16le" && form != "f32le") ||
        !parseInteger(text.substr(first + 1, second - first - 1), format.rate) ||
        !parseInteger(text.substr(second + 1), format.channels)) {
        error = "--raw needs s16le or f32le, a rate and a channel count, e.g. s16le:44100:2";
        return false;
    }
    format.isFloat = form == "f32le";
    error = whyRefused(format);
    if (!error.empty()) error = "--raw " + std::string(text) + ": " + error;
    return error.empty();
}

// The WAV header of the output: the input's format; the sizes of a stream of `dataBytes` bytes,
// or 0xFFFFFFFF for both when the length is not known.
std::vector<unsigned char> wavHeader(const StreamFormat& f, uint64_t dataBytes) {
    std::vector<unsigned char> h(44);
    const uint32_t data = dataBytes == 0 || dataBytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu : static_cast<uint32_t>(dataBytes);
    std::memcpy(h.data(), "RIFF", 4);
    bytes::putU32(h.data() + 4, data == 0xFFFFFFFFu ? data : data + 36);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    bytes::putU32(h.data() + 16, 16);
    bytes::putU16(h.data() + 20, f.isFloat ? kFormatFloat : kFormatPcm);
    bytes::putU16(h.data() + 22, static_cast<uint16_t>(f.channels));
    bytes::putU32(h.data() + 24, static_cast<uint32_t>(f.rate));
    bytes::putU32(h.data() + 28, static_cast<uint32_t>(f.rate * f.bytesPerFrame()));
    bytes::putU16(h.data() + 32, static_cast<uint16_t>(f.bytesPerFrame()));
    bytes::putU16(h.data() + 34, f.isFloat ? 32 : 16);
    std::memcpy(h.data() + 36, "data", 4);
    bytes::putU32(h.data() + 40, data);
    return h;
}

// The chain between the two streams: whole frames in, the same number of frames out once the
// chain's delay has passed.
class StreamChain {
public:
    StreamChain(Processor& p, const StreamFormat& f, int latency)
        : p_(p), format_(f), toSkip_(latency), latency_(latency),
          stereo16_(2 * kFilterBlockFrames), stereoFloat_(2 * kFilterBlockFrames),
          out_(static_cast<size_t>(kFilterBlockFrames) * f.bytesPerFrame()) {}

    // Processes `frames` frames of input bytes (null: silence) and writes what leaves the delay.
    WriteResult run(const unsigned char* in, int frames) {
        if (format_.isFloat) {
            toStereo(reinterpret_cast<const float*>(in), stereoFloat_.data(), frames);
            processBlockFloat(p_, 2 * frames, stereoFloat_.data(), stereoFloat_.data());
            fromStereo(stereoFloat_.data(), reinterpret_cast<float*>(out_.data()), frames);
        } else {
            toStereo(reinterpret_cast<const int16_t*>(in), stereo16_.data(), frames);
            processBlock(p_, 2 * frames, stereo16_.data(), stereo16_.data());
            fromStereo(stereo16_.data(), reinterpret_cast<int16_t*>(out_.data()), frames);
        }
        const int skipped = std::min(toSkip_, frames);
        toSkip_ -= skipped;
        const int bpf = format_.bytesPerFrame();
        return writeFully(STDOUT_FILENO, out_.data() + skipped * bpf, static_cast<size_t>((frames - skipped) * bpf));
    }

    // Runs the delay out: as many frames of silence as the input had frames still inside the chain.
    WriteResult finish(int64_t inputFrames) {
        int64_t left = std::min<int64_t>(latency_, inputFrames);
        WriteResult result = WriteResult::Ok;
        while (left > 0 && result == WriteResult::Ok) {
            const int n = static_cast<int>(std::min<int64_t>(left, kFilterBlockFrames));
            result = run(nullptr, n);
            left -= n;
        }
        return result;
    }

private:
    // Native-endian samples: the stream is little-endian, as is every machine Loudara builds for.
    template <class T>
    void toStereo(const T* in, T* stereo, int frames) const {
        if (!in) {
            std::fill(stereo, stereo + 2 * frames, T{});
        } else if (format_.channels == 2) {
            std::memcpy(stereo, in, sizeof(T) * 2 * static_cast<size_t>(frames));
        } else {
            for (int i = 0; i < frames; ++i) stereo[2 * i] = stereo[2 * i + 1] = in[i];
        }
    }
    // A mono stream gets the left channel, as an export of a mono song does.
    template <class T>
    void fromStereo(const T* stereo, T* out, int frames) const {
        if (format_.channels == 2) {
            std::memcpy(out, stereo, sizeof(T) * 2 * static_cast<size_t>(frames));
        } else {
            for (int i = 0; i < frames; ++i) out[i] = stereo[2 * i];
        }
    }

    Processor& p_;
    StreamFormat format_;
    int toSkip_;
    int latency_;
    std::vector<int16_t> stereo16_;
    std::vector<float> stereoFloat_;
    std::vector<unsigned char> out_;
};

// A stream of unknown length written to a file of its own (not a pipe, not appended to another
// file) gets its true sizes at the end, so the file is an ordinary WAV file; a file too long for
// them keeps 0xFFFFFFFF.
void patchSizes(int64_t dataBytes) {
    struct stat st {};
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (dataBytes > 0xFFFFFFFFll - 36 || fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        (flags & O_APPEND) || lseek(STDOUT_FILENO, 0, SEEK_CUR) != 44 + dataBytes) {
        return;
    }
    unsigned char size[4];
    bytes::putU32(size, static_cast<uint32_t>(dataBytes + 36));
    if (pwrite(STDOUT_FILENO, size, 4, 4) != 4) return;
    bytes::putU32(size, static_cast<uint32_t>(dataBytes));
    (void)!pwrite(STDOUT_FILENO, size, 4, 40);
}

}  // namespace

int filterCommand(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::puts(kFilterHelp);
        return 0;
    }
    ProcessOptions o;
    StreamFormat format;
    bool raw = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--preset") {
            if (!v) return usageError("filter", "--preset needs a preset's id or name");
            std::string error;
            if ((o.preset = PresetFromOption(v, error)) == 0) return usageError("filter", error);
        } else if (arg == "--params" || arg == "--settings") {
            if (!v) return usageError("filter", std::string(arg) + " needs a file");
            (arg == "--params" ? o.paramsFile : o.settingsFile) = v;
        } else if (arg == "--set") {
            if (!ParseSetOption(v, o.sets)) {
                return usageError("filter", "--set needs NAME=VALUE with a number, e.g. driveDb[2]=18");
            }
        } else if (arg == "--raw") {
            std::string error;
            if (!v || !parseRawForm(v, format, error)) return usageError("filter", v ? error : "--raw needs a form");
            raw = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("filter", UnknownOptionText(arg, kFilterHelp));
        } else {
            return usageError("filter", "unexpected argument '" + std::string(arg) + "' (see --help)");
        }
        ++i;
    }

    std::string error;
    int status = 0;
    auto p = makeProcessor(o, error, status);
    if (!p) {
        if (status == 2) return usageError("filter", error);
        return failure(error);
    }

    // A reader that goes away is seen as EPIPE on the next write and ends the run quietly.
    std::signal(SIGPIPE, SIG_IGN);
    uint64_t dataBytes = 0;  // 0: until the stream ends
    if (!raw && !readWavHeader(STDIN_FILENO, format, dataBytes, error)) return failure(error);

    // No song to scan: the stream keeps its own level.
    p->settings.normalizeGain = 1.0;
    prepare(*p, format.rate);
    const int latency = chainLatencyFrames(*p);
    StreamChain chain(*p, format, latency);

    const int bpf = format.bytesPerFrame();
    if (!raw) {
        const uint64_t outBytes = dataBytes - dataBytes % static_cast<uint64_t>(bpf);
        const std::vector<unsigned char> header = wavHeader(format, outBytes);
        const WriteResult wrote = writeFully(STDOUT_FILENO, header.data(), header.size());
        if (wrote == WriteResult::ReaderGone) return 0;
        if (wrote == WriteResult::Failed) return failure(std::string("cannot write standard output: ") + std::strerror(errno));
    }

    // Whatever has arrived is processed at once, up to a block; a frame split by a read waits for
    // its other bytes.
    std::vector<unsigned char> in(static_cast<size_t>(kFilterBlockFrames) * bpf);
    size_t held = 0;
    uint64_t left = dataBytes == 0 ? UINT64_MAX : dataBytes;
    int64_t frames = 0;
    WriteResult result = WriteResult::Ok;
    while (left > 0 && result == WriteResult::Ok) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(in.size() - held, left));
        const ssize_t n = readSome(STDIN_FILENO, in.data() + held, want);
        if (n < 0) return failure(std::string("cannot read standard input: ") + std::strerror(errno));
        if (n == 0) break;
        held += static_cast<size_t>(n);
        left -= static_cast<uint64_t>(n);
        const int whole = static_cast<int>(held / bpf);
        if (whole == 0) continue;
        result = chain.run(in.data(), whole);
        frames += whole;
        held -= static_cast<size_t>(whole) * bpf;
        std::memmove(in.data(), in.data() + static_cast<size_t>(whole) * bpf, held);
    }
    if (result == WriteResult::Ok) result = chain.finish(frames);
    if (result == WriteResult::Failed) return failure(std::string("cannot write standard output: ") + std::strerror(errno));
    if (result == WriteResult::Ok && !raw && dataBytes == 0) patchSizes(frames * bpf);
    return 0;
}

}  // namespace loudara
