// MP3 input: framing of the MPEG stream, the probe, the frame decoder and the decoding of a whole
// song into a WAV file. The codec (libmp3lame's decoder) only ever sees whole frames that the
// framing below has checked.

#include <lame/lame.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <type_traits>

#include "base/byte_io.h"
#include "files/growing_file.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

// ---- MPEG audio frame headers ------------------------------------------------------------------
//
// 32 bits: 11 sync bits, version (2 bits: 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5), layer (1 = Layer
// III), no-CRC bit, bit-rate index (4), sample-rate index (2), padding bit, private bit, channel
// mode (2 bits, 3 = mono), mode extension (2), copyright, original, emphasis (2).

// Pieces of a message joined with += (GCC 12 at -O3 warns falsely about some chains of +).
std::string joinText(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

constexpr int kBitratesMpeg2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr uint32_t kRatesMpeg1[3] = {44100, 48000, 32000};
// The longest Layer III frame: MPEG-1 at 320 kbit/s and 32000 Hz, or MPEG-2.5 at 160 kbit/s and
// 8000 Hz, 1440 bytes plus the padding byte. Free-format frames (bit-rate index 0) are not read.
constexpr int kMaxFrameBytes = 1441;

struct FrameHeader {
    int versionBits = 0;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    int bitrateKbps = 0;
    int frameBytes = 0;      // header included
    int samplesPerFrame = 0; // per channel
    int sideInfoBytes = 0;
    bool crc = false;
};

bool parseFrameHeader(const uint8_t* b, FrameHeader& h) {
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (b[1] >> 3) & 3;
    const int layerBits = (b[1] >> 1) & 3;
    const int bitrateIndex = b[2] >> 4;
    const int rateIndex = (b[2] >> 2) & 3;
    if (versionBits == 1 || layerBits != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
    if ((b[3] & 3) == 2) return false;  // reserved emphasis
    const bool mpeg1 = versionBits == 3;
    const bool mono = (b[3] >> 6) == 3;
    h.versionBits = versionBits;
    h.sampleRate = kRatesMpeg1[rateIndex] >> (mpeg1 ? 0 : (versionBits == 2 ? 1 : 2));
    h.channels = mono ? 1 : 2;
    h.bitrateKbps = mpeg1 ? kMpeg1Bitrates[bitrateIndex - 1] : kBitratesMpeg2[bitrateIndex];
    // Bytes per frame = samples per frame / 8 x bit rate / rate: 144 x bit rate / rate for MPEG-1
    // (1152 samples), 72 x bit rate / rate for MPEG-2 and 2.5 (576 samples), plus the padding byte.
    const int padding = (b[2] >> 1) & 1;
    h.frameBytes = static_cast<int>((mpeg1 ? 144000u : 72000u) * static_cast<uint32_t>(h.bitrateKbps) / h.sampleRate) + padding;
    h.samplesPerFrame = mpeg1 ? 1152 : 576;
    h.sideInfoBytes = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    h.crc = (b[1] & 1) == 0;
    return true;
}

bool sameStream(const FrameHeader& a, const FrameHeader& b) {
    return a.versionBits == b.versionBits && a.sampleRate == b.sampleRate && a.channels == b.channels;
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Size of the ID3v2 tag starting at p (10-byte header: "ID3", version, revision, flags, a
// 28-bit size in four 7-bit bytes; a footer of 10 more bytes when flag 0x10 is set), 0 if none.
int64_t id3v2TagBytes(const uint8_t* p, std::size_t available) {
    if (available < 10 || std::memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    const int64_t size = (int64_t{p[6]} << 21) | (int64_t{p[7]} << 14) | (int64_t{p[8]} << 7) | int64_t{p[9]};
    return 10 + size + ((p[5] & 0x10) ? 10 : 0);
}

// The frame at p carries a Xing/Info header (after the side information): it holds no sound.
bool isInfoFrame(const uint8_t* p, const FrameHeader& h) {
    const int at = 4 + (h.crc ? 2 : 0) + h.sideInfoBytes;
    return at + 4 <= h.frameBytes && (std::memcmp(p + at, "Xing", 4) == 0 || std::memcmp(p + at, "Info", 4) == 0);
}

// ---- Sequential reading of the frames ----------------------------------------------------------

enum class FrameStep { Frame, End };

class FrameReader {
public:
    void start(std::FILE* file, int64_t offset, int64_t end) {
        file_ = file;
        offset_ = offset;
        end_ = end;
        head_ = tail_ = 0;
        buffer_.resize(1 << 16);
        std::fseek(file_, offset, SEEK_SET);
    }

    int64_t offset() const { return offset_; }
    // From here on, a frame with an Info header is another song's and holds no sound.
    void markFirstFrame() { firstFrame_ = offset_; }
    int64_t end() const { return end_; }
    uint8_t* data() { return buffer_.data() + head_; }

    // Makes at least `bytes` bytes available at data(), or all that are left before the end.
    std::size_t fill(std::size_t bytes) {
        std::size_t available = tail_ - head_;
        if (available >= bytes) return available;
        std::memmove(buffer_.data(), buffer_.data() + head_, available);
        head_ = 0;
        tail_ = available;
        const int64_t left = end_ - (offset_ + static_cast<int64_t>(tail_));
        const std::size_t want = static_cast<std::size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer_.size() - tail_)));
        if (want > 0) {
            const std::size_t got = std::fread(buffer_.data() + tail_, 1, want, file_);
            tail_ += got;
            if (got < want) end_ = offset_ + static_cast<int64_t>(tail_);  // the file is shorter than it was
        }
        return tail_ - head_;
    }

    void skip(int64_t bytes) {
        const std::size_t available = tail_ - head_;
        if (bytes <= static_cast<int64_t>(available)) {
            head_ += static_cast<std::size_t>(bytes);
        } else {
            head_ = tail_ = 0;
            std::fseek(file_, offset_ + bytes, SEEK_SET);
        }
        offset_ += bytes;
    }

    // Looks for the first frame from here on, of the stream `stream` when given: a frame header
    // whose frame is followed by another header of the same stream, or that ends exactly at the
    // end. Bytes before it are consumed. At most `limit` bytes are passed over (-1: no limit).
    bool findFrame(const FrameHeader* stream, int64_t limit, FrameHeader& found) {
        for (int64_t passed = 0; limit < 0 || passed <= limit; ++passed) {
            const std::size_t available = fill(kMaxFrameBytes + 4);
            if (available < 4) return false;
            const uint8_t* p = data();
            FrameHeader h;
            if (p[0] == 0xFF && parseFrameHeader(p, h) && (!stream || sameStream(*stream, h))) {
                const int64_t next = offset_ + h.frameBytes;
                if (next == end_) {
                    found = h;
                    return true;
                }
                FrameHeader following;
                if (static_cast<std::size_t>(h.frameBytes) + 4 <= available &&
                    parseFrameHeader(p + h.frameBytes, following) && sameStream(h, following)) {
                    found = h;
                    return true;
                }
            }
            skip(1);
        }
        return false;
    }

    // The next frame of the stream at the current position (not consumed), or the end of the
    // frames. An ID3v2 tag and the Info frame of a second song between frames (songs joined end to
    // end) are passed over; so are bytes that are no frame of the stream when more frames of it
    // follow (damage, a stretch of another stream), as players resynchronise, and they are
    // counted in skipped(). A frame cut by the end of the file and bytes after the last frame end
    // the stream.
    FrameStep next(const FrameHeader& stream, FrameHeader& h) {
        for (;;) {
            const std::size_t available = fill(kMaxFrameBytes + 4);
            if (available < 4) return FrameStep::End;
            if (parseFrameHeader(data(), h) && sameStream(stream, h)) {
                if (static_cast<std::size_t>(h.frameBytes) > available) return FrameStep::End;
                if (offset_ > firstFrame_ && isInfoFrame(data(), h)) {
                    skip(h.frameBytes);
                    continue;
                }
                return FrameStep::Frame;
            }
            const int64_t tag = id3v2TagBytes(data(), available);
            if (tag > 0) {
                skip(std::min(tag, end_ - offset_));
                continue;
            }
            const int64_t lostAt = offset_;
            if (!findFrame(&stream, -1, h)) return FrameStep::End;
            if (skipped_.stretches++ == 0) skipped_.firstOffset = lostAt;
            skipped_.bytes += offset_ - lostAt;
        }
    }

    const Mp3Skips& skipped() const { return skipped_; }

private:
    std::FILE* file_ = nullptr;
    std::vector<uint8_t> buffer_;
    std::size_t head_ = 0, tail_ = 0;  // buffer_[head_, tail_) holds file bytes from offset_
    int64_t offset_ = 0;
    int64_t end_ = 0;
    int64_t firstFrame_ = 0;
    Mp3Skips skipped_;
};

// Where the frames end: the file less an ID3v1 tag (last 128 bytes from "TAG") and an APEv2 tag
// in front of it (32-byte footer from "APETAGEX": its size at +12 counts the items and the
// footer; flag bit 31 at +20 says a 32-byte header comes first).
int64_t framesEnd(std::FILE* file, int64_t fileBytes, int64_t start) {
    int64_t end = fileBytes;
    uint8_t tail[128];
    if (end - start >= 128 && std::fseek(file, end - 128, SEEK_SET) == 0 && std::fread(tail, 1, 3, file) == 3 &&
        std::memcmp(tail, "TAG", 3) == 0) {
        end -= 128;
    }
    if (end - start >= 32 && std::fseek(file, end - 32, SEEK_SET) == 0 && std::fread(tail, 1, 32, file) == 32 &&
        std::memcmp(tail, "APETAGEX", 8) == 0) {
        const int64_t size = bytes::getU32(tail + 12) + ((tail[23] & 0x80) ? 32 : 0);
        if (size <= end - start) end -= size;
    }
    return end;
}

// The byte count of a Xing/Info header in the frame at p (flags: 1 frames, 2 bytes; each a
// big-endian u32 after the flags), or -1.
int64_t infoHeaderStreamBytes(const uint8_t* p, const FrameHeader& h) {
    const int at = 4 + (h.crc ? 2 : 0) + h.sideInfoBytes;
    if (at + 16 > h.frameBytes) return -1;
    if (std::memcmp(p + at, "Xing", 4) != 0 && std::memcmp(p + at, "Info", 4) != 0) return -1;
    const uint32_t flags = bigEndian32(p + at + 4);
    if (!(flags & 2)) return -1;
    return bigEndian32(p + at + ((flags & 1) ? 12 : 8));
}

void quietReport(const char*, va_list) {}

bool playableFormat(uint32_t rate, uint32_t channels) {
    return (rate == 32000 || rate == 44100 || rate == 48000) && (channels == 1 || channels == 2);
}

// The file's first bytes that are searched for the first frame after the ID3v2 tags.
constexpr int64_t kFirstFrameSearchBytes = 1 << 20;
constexpr int kPcmBufferSamples = 4608;

std::atomic<long long> gLastThrottleMs{0};

// The codec's decoder keeps tables and work areas in memory shared by the whole process, not in
// its handle: two decoders decoding at the same moment on different threads spoil each other's
// sound and can crash (a batch of MP3 songs, or a song playing while another is exported). Every
// call into the decoder holds this lock; a call decodes at most one frame, so a waiting thread
// waits that long at most.
std::mutex gDecoderLock;

int decodeFrame(hip_t hip, unsigned char* bytes, std::size_t size, short* left, short* right,
                mp3data_struct* mp3data, int* encoderDelay, int* encoderPadding) {
    std::lock_guard lock(gDecoderLock);
    return hip_decode1_headersB(hip, bytes, size, left, right, mp3data, encoderDelay, encoderPadding);
}

hip_t startDecoder() {
    std::lock_guard lock(gDecoderLock);
    hip_t hip = hip_decode_init();
    if (hip != nullptr) {
        hip_set_errorf(hip, quietReport);
        hip_set_debugf(hip, quietReport);
        hip_set_msgf(hip, quietReport);
    }
    return hip;
}

}  // namespace

// The codec's decoder handle, released with the state on every path out of open() and close().
struct HipRelease {
    void operator()(hip_t hip) const {
        std::lock_guard lock(gDecoderLock);
        hip_decode_exit(hip);
    }
};
using HipHandle = std::unique_ptr<std::remove_pointer_t<hip_t>, HipRelease>;

struct Mp3Decoder::State {
    FileHandle file;
    FrameReader reader;
    FrameHeader stream;
    HipHandle hip;
    Mp3StreamInfo info;
    short left[kPcmBufferSamples] = {};
    short right[kPcmBufferSamples] = {};
    int pending = 0;              // samples per channel decoded ahead of readFrame (from open)
    bool codecMayHold = false;    // the codec may hold a decodable frame already
    int status = 0;               // 0 running, 1 ended, -1 failed
    std::string error;
    mp3data_struct mp3data = {};
    int encoderDelay = -1, encoderPadding = -1;

    int fail(std::string why) {
        error = std::move(why);
        status = -1;
        return -1;
    }

    // Decodes the next frame into left/right: samples per channel, 0 at the end, -1 on an error.
    int decodeNext() {
        uint8_t none[1] = {0};
        for (;;) {
            if (codecMayHold) {
                const int n = decodeFrame(hip.get(), none, 0, left, right, &mp3data, &encoderDelay, &encoderPadding);
                if (n < 0) return fail(joinText({"the MP3 decoder reports an error near offset ", std::to_string(reader.offset())}));
                if (n > 0) return n;
                codecMayHold = false;
            }
            FrameHeader h;
            if (reader.next(stream, h) == FrameStep::End) {
                status = 1;
                return 0;
            }
            if (h.bitrateKbps < 32 || h.bitrateKbps > 320) {
                return fail(joinText({"a frame at offset ", std::to_string(reader.offset()), " has a bit rate of ",
                                      std::to_string(h.bitrateKbps), " kbit/s (32 to 320 are read)"}));
            }
            const int n = decodeFrame(hip.get(), reader.data(), static_cast<std::size_t>(h.frameBytes), left, right,
                                      &mp3data, &encoderDelay, &encoderPadding);
            reader.skip(h.frameBytes);
            codecMayHold = true;
            if (n < 0) return fail(joinText({"the MP3 decoder reports an error near offset ", std::to_string(reader.offset())}));
            if (n > 0) return n;
        }
    }
};

Mp3Decoder::Mp3Decoder() = default;
Mp3Decoder::~Mp3Decoder() { close(); }

void Mp3Decoder::close() { state.reset(); }

bool Mp3Decoder::isOpen() const { return state != nullptr; }

const Mp3StreamInfo& Mp3Decoder::info() const {
    static const Mp3StreamInfo none;
    return state ? state->info : none;
}

const Mp3Skips& Mp3Decoder::skipped() const {
    static const Mp3Skips none;
    return state ? state->reader.skipped() : none;
}

std::string Mp3SkipWarning(const Mp3Skips& skips) {
    if (skips.bytes == 0) return "";
    return joinText({"skipped ", std::to_string(skips.bytes), " bytes that are not MP3 frames, from offset ",
                     std::to_string(skips.firstOffset), skips.stretches > 1 ? " on (" : "",
                     skips.stretches > 1 ? std::to_string(skips.stretches) : "",
                     skips.stretches > 1 ? " places)" : "", " (the file is damaged or joined)"});
}

const std::string& Mp3Decoder::error() const {
    static const std::string none;
    return state ? state->error : none;
}

bool Mp3Decoder::open(const char* path, std::string* error) {
    close();
    auto s = std::make_unique<State>();
    auto refuse = [error](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    s->file = OpenFile(path, "rb");
    if (!s->file) return refuse("cannot open the file");
    std::FILE* file = s->file.get();
    if (std::fseek(file, 0, SEEK_END) != 0) return refuse("cannot read the file");
    const int64_t fileBytes = std::ftell(file);
    if (fileBytes < 0) return refuse("cannot read the file");

    // ID3v2 tags in front of the sound (there may be more than one).
    int64_t start = 0;
    for (;;) {
        uint8_t head[10];
        if (std::fseek(file, start, SEEK_SET) != 0 || std::fread(head, 1, sizeof head, file) != sizeof head) break;
        const int64_t tag = id3v2TagBytes(head, sizeof head);
        if (tag == 0) break;
        start += tag;
    }
    if (start >= fileBytes) return refuse("no MP3 frame found (the file ends inside its ID3v2 tag)");
    const int64_t end = framesEnd(file, fileBytes, start);

    s->reader.start(file, start, end);
    if (!s->reader.findFrame(nullptr, kFirstFrameSearchBytes, s->stream)) {
        return refuse("no MPEG Layer III frame found: not an MP3 file");
    }
    s->info.firstFrameOffset = s->reader.offset();
    s->reader.markFirstFrame();
    s->info.audioEndOffset = end;
    s->info.sampleRate = s->stream.sampleRate;
    s->info.channels = s->stream.channels;
    s->info.announcedBytes = infoHeaderStreamBytes(s->reader.data(), s->stream);

    s->hip.reset(startDecoder());
    if (!s->hip) return refuse("the MP3 decoder cannot be started");

    // Decode up to the first frame of sound (past the Info frame); the codec has then read the
    // stream's header values. The frame is kept for the first readFrame.
    const int first = s->decodeNext();
    if (first < 0) return refuse(s->error);
    if (first == 0) return refuse("no complete MP3 frame of sound: the file is cut short");
    s->status = 0;
    s->pending = first;
    s->info.bitrateKbps = s->stream.bitrateKbps;
    if (s->mp3data.totalframes > 0) {
        s->info.hasInfoHeader = true;
        s->info.announcedFrames = s->mp3data.totalframes;
        s->info.encoderDelay = s->encoderDelay;
        s->info.encoderPadding = s->encoderPadding;
    }
    const int64_t leading = Mp3LeadingSamples(s->info);
    const int64_t available = end - s->info.firstFrameOffset;
    s->info.cutShort = s->info.hasInfoHeader && s->info.announcedBytes > 0 && available < s->info.announcedBytes;
    // A frame count the file's bytes cannot hold, even in frames of the lowest bit rate (32 kbit/s
    // for MPEG-1, 8 for MPEG-2 and 2.5), is a damaged or forged header: the bytes tell the length.
    const int64_t lowestBitsPerSecond = s->stream.samplesPerFrame == 1152 ? 32000 : 8000;
    const int64_t mostFrames = available * 8 * s->stream.sampleRate / (lowestBitsPerSecond * s->stream.samplesPerFrame) + 1;
    const bool believable = s->info.announcedFrames <= mostFrames;
    int64_t total;
    if (s->info.hasInfoHeader && !s->info.cutShort && believable) {
        total = s->info.announcedFrames * s->stream.samplesPerFrame;
    } else {
        // Estimate: the stream's bytes at the first frame's bit rate; a cut file's Info frame,
        // which holds no sound, does not count.
        const int64_t bytes = available - (s->info.hasInfoHeader ? s->stream.frameBytes : 0);
        const int64_t bitsPerSecond = int64_t{s->stream.bitrateKbps} * 1000;
        total = bytes * 8 * s->stream.sampleRate / bitsPerSecond;
    }
    s->info.decodedSamples = std::max<int64_t>(0, total - leading);
    state = std::move(s);
    return true;
}

int Mp3Decoder::readFrame(int16_t* left, int16_t* right) {
    if (!state) return -1;
    State& s = *state;
    if (s.status != 0) return s.status > 0 ? 0 : -1;
    int n = s.pending;
    s.pending = 0;
    if (n == 0) n = s.decodeNext();
    if (n <= 0) return n;
    if (n > kMp3FrameSamples) return s.fail("the MP3 decoder returned more than one frame");
    std::memcpy(left, s.left, sizeof(int16_t) * static_cast<std::size_t>(n));
    if (s.info.channels == 2) std::memcpy(right, s.right, sizeof(int16_t) * static_cast<std::size_t>(n));
    return n;
}

Mp3Decoder& PlaybackMp3Decoder() {
    static Mp3Decoder decoder;
    return decoder;
}

int Mp3LeadingSamples(const Mp3StreamInfo& info) {
    return (info.encoderDelay >= 0 ? info.encoderDelay : kMp3DefaultEncoderDelay) + kMp3DecoderDelaySamples;
}

Mp3ProbeResult ProbeMp3File(const char* path, SongRecord& song, Mp3StreamInfo* info, std::string* reason) {
    Mp3Decoder decoder;
    std::string why;
    if (!decoder.open(path, &why)) {
        if (reason) *reason = why;
        return Mp3ProbeResult::Unreadable;
    }
    const Mp3StreamInfo& stream = decoder.info();
    if (info) *info = stream;
    const int64_t bytes = stream.decodedSamples * stream.channels * 2;
    song.sampleRate = stream.sampleRate;
    song.channels = stream.channels;
    song.dataBytes = static_cast<uint32_t>(std::min<int64_t>(bytes, 0xFFFFFFFFLL));
    if (!playableFormat(stream.sampleRate, stream.channels)) {
        if (reason) *reason = joinText({"the stream is ", std::to_string(stream.sampleRate), " Hz: 32000, 44100 and 48000 are played"});
        return Mp3ProbeResult::Unsupported;
    }
    return Mp3ProbeResult::Ok;
}

void ThrottleMp3Frames(JobHost& host) { host.throttle(gLastThrottleMs, 50); }

bool DecodeMp3ToWav(const char* mp3Path, const char* wavPath, SongTag& tag, JobHost& host, std::string& error,
                    std::string* warning, GrowingFile* growing) {
    ReadSongTag(mp3Path, tag);
    Mp3Decoder decoder;
    std::string why;
    if (!decoder.open(mp3Path, &why)) {
        error = why;
        return false;
    }
    const Mp3StreamInfo& stream = decoder.info();
    if (!playableFormat(stream.sampleRate, stream.channels)) {
        error = "the stream is ";
        error += std::to_string(stream.sampleRate);
        error += " Hz: 32000, 44100 and 48000 are played";
        return false;
    }
    FileHandle out = OpenFile(wavPath, "wb");
    if (!out) {
        error = WriteFailureText(wavPath, errno);
        return false;
    }
    const uint32_t channels = stream.channels;
    if (!WriteWavHeader(out.get(), 0x7FFFFFFFu, stream.sampleRate, channels, 16)) {
        error = WriteFailureText(wavPath, errno);
        return false;
    }

    int64_t toDrop = Mp3LeadingSamples(stream);
    int64_t written = 0;  // samples per channel
    int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
    std::vector<uint8_t> bytes(kMp3FrameSamples * 4);
    const int64_t frameBytes = int64_t{channels} * 2;
    for (int64_t frame = 0;; ++frame) {
        if (host.cancelRequested.load(std::memory_order_relaxed)) {
            error = "cancelled";
            return false;
        }
        if (frame % 20 == 0) {
            if (growing && std::fflush(out.get()) == 0) growing->publish(kWavCanonicalHeaderBytes + written * frameBytes);
            ThrottleMp3Frames(host);
        }
        const int n = decoder.readFrame(left, right);
        if (n < 0) {
            error = decoder.error();
            return false;
        }
        if (n == 0) break;
        const int from = static_cast<int>(std::min<int64_t>(toDrop, n));
        toDrop -= from;
        std::size_t used = 0;
        for (int i = from; i < n; ++i) {
            bytes::putU16(bytes.data() + used, static_cast<uint16_t>(left[i]));
            used += 2;
            if (channels == 2) {
                bytes::putU16(bytes.data() + used, static_cast<uint16_t>(right[i]));
                used += 2;
            }
        }
        if (used > 0 && std::fwrite(bytes.data(), 1, used, out.get()) != used) {
            error = WriteFailureText(wavPath, errno);
            return false;
        }
        written += n - from;
    }

    // The real size, capped so that the RIFF size (data + 36) still fits in 32 bits.
    const uint32_t dataBytes = written > int64_t{0xFFFFFFD0u} / frameBytes ? 0xFFFFFFD0u
                                                                            : static_cast<uint32_t>(written * frameBytes);
    if (growing && std::fflush(out.get()) == 0) growing->publish(kWavCanonicalHeaderBytes + written * frameBytes);
    std::unique_lock<std::mutex> holdReaders;
    if (growing) holdReaders = growing->holdReaders();
    if (std::fseek(out.get(), 0, SEEK_SET) != 0 ||
        !WriteWavHeader(out.get(), dataBytes, stream.sampleRate, channels, 16) || std::fflush(out.get()) != 0) {
        error = WriteFailureText(wavPath, errno);
        return false;
    }
    std::FILE* raw = out.release();
    if (std::fclose(raw) != 0) {
        error = WriteFailureText(wavPath, errno);
        return false;
    }
    if (warning) *warning = Mp3SkipWarning(decoder.skipped());
    return true;
}

}  // namespace loudara
