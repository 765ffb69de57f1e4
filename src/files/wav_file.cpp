// RIFF WAVE header walking, copying and writing. Every integer is assembled from its bytes, so
// the code does not depend on the machine's byte order.

#include "files/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "base/byte_io.h"

namespace loudara {
namespace {

// The 4 bytes, with ASCII capitals lowered, equal `lower` exactly. A short read leaves zeros in
// the field, which never match, so "fmt" or "dat" can never pass for a longer identifier.
bool idIs(const unsigned char* id, const char* lower) {
    for (int i = 0; i < 4; ++i) {
        unsigned char c = id[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
        if (c != static_cast<unsigned char>(lower[i])) return false;
    }
    return true;
}

bool readExactly(std::FILE* file, void* into, std::size_t bytes) {
    return std::fread(into, 1, bytes, file) == bytes;
}

// Moves forward from the current position. Seeking past the end succeeds; the next read then
// comes up short, which is how a chunk that claims more than the file holds is noticed.
// Pieces of at most 1 GiB keep every step within a 32-bit long.
bool skipBytes(std::FILE* file, int64_t bytes) {
    constexpr int64_t kPiece = int64_t{1} << 30;
    while (bytes > 0) {
        const int64_t step = std::min(bytes, kPiece);
        if (std::fseek(file, static_cast<long>(step), SEEK_CUR) != 0) return false;
        bytes -= step;
    }
    return true;
}

bool seekTo(std::FILE* file, int64_t offset) {
    return std::fseek(file, 0, SEEK_SET) == 0 && skipBytes(file, offset);
}

int64_t fileLength(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    return std::ftell(file);
}

int64_t chunkSpan(uint32_t size) { return int64_t{size} + (size & 1u); }

// Reads a "fmt " body of `size` bytes. The fields looked at are all in its first 16 bytes; a body
// larger than the work buffer is read on in buffer-sized pieces past those 16 bytes, so the
// "body ends early" check holds for every size and nothing is read past the buffer.
bool readFormatBody(std::FILE* file, uint32_t size, unsigned char* buffer) {
    std::memset(buffer, 0, 16);
    const std::size_t first = std::min<std::size_t>(size, kWavWorkBufferBytes);
    if (!readExactly(file, buffer, first)) return false;
    int64_t left = int64_t{size} - static_cast<int64_t>(first);
    while (left > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<int64_t>(left, kWavWorkBufferBytes - 16));
        if (!readExactly(file, buffer + 16, piece)) return false;
        left -= static_cast<int64_t>(piece);
    }
    return (size & 1u) == 0 || skipBytes(file, 1);
}

bool acceptedRate(uint32_t rate) { return rate == 44100 || rate == 48000 || rate == 32000; }

}  // namespace

int64_t SeekToSamples(std::FILE* file, const WavLayout& layout) {
    if (file == nullptr) return -1;
    switch (layout.kind) {
        case WavLayoutKind::Wave:
            return seekTo(file, layout.headerBytes) ? int64_t{layout.dataBytes} : -1;
        case WavLayoutKind::NotWave: {
            const int64_t length = fileLength(file);
            return length >= 0 && seekTo(file, 0) ? length : -1;
        }
        case WavLayoutKind::HeaderEndedEarly:
            break;
    }
    return -1;
}

int OpenRegularFileForReading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int failure = 0;
    if (::fstat(fd, &st) != 0) {
        failure = errno;
    } else if (!S_ISREG(st.st_mode)) {
        failure = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) failure = errno;
    }
    if (failure != 0) {
        ::close(fd);
        errno = failure;
        return -1;
    }
    return fd;
}

FileHandle OpenFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || path[0] == '\0') return {};
    if (mode[0] == 'r' && std::strchr(mode, '+') == nullptr) {
        const int fd = OpenRegularFileForReading(path);
        if (fd < 0) return {};
        std::FILE* file = ::fdopen(fd, mode);
        if (file == nullptr) ::close(fd);
        return FileHandle(file);
    }
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return {};
    return FileHandle(std::fopen(path, mode));
}

WavProbeResult ProbeWavFile(const char* path, SongRecord& song) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kWavWorkBufferBytes]);
    if (!buffer) return WavProbeResult::Unreadable;
    FileHandle file = OpenFile(path, "rb");
    if (!file) return WavProbeResult::Unreadable;

    unsigned char head[12] = {};
    if (std::fread(head, 1, sizeof head, file.get()) != sizeof head || !idIs(head + 8, "wave"))
        return WavProbeResult::Unreadable;

    bool formatAccepted = false;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    for (;;) {
        unsigned char chunk[8];  // identifier, then u32 size
        if (!readExactly(file.get(), chunk, sizeof chunk)) return WavProbeResult::Unreadable;
        const uint32_t size = bytes::getU32(chunk + 4);
        if (idIs(chunk, "fmt ")) {
            if (!readFormatBody(file.get(), size, buffer.get())) return WavProbeResult::Unreadable;
            // Only these three fields matter: the format tag, byte rate and block alignment are
            // not looked at. A body under 16 bytes leaves zeros and so fails here. Each "fmt "
            // chunk is tested; the last one before "data" stands.
            const uint32_t bits = bytes::getU16(buffer.get() + 14);
            const uint32_t fmtChannels = bytes::getU16(buffer.get() + 2);
            const uint32_t fmtRate = bytes::getU32(buffer.get() + 4);
            if (bits != 16 || (fmtChannels != 1 && fmtChannels != 2) || !acceptedRate(fmtRate))
                return WavProbeResult::Unsupported;
            formatAccepted = true;
            channels = fmtChannels;
            sampleRate = fmtRate;
        } else if (idIs(chunk, "data")) {
            if (!formatAccepted) return WavProbeResult::Unsupported;
            song.sampleRate = sampleRate;
            song.channels = channels;
            song.dataBytes = size;  // not compared with the file's length
            return WavProbeResult::Ok;
        } else if (!skipBytes(file.get(), chunkSpan(size))) {
            return WavProbeResult::Unreadable;
        }
    }
}

WavLayout ReadWavLayout(std::FILE* file) {
    WavLayout layout;
    if (file == nullptr || std::fseek(file, 0, SEEK_SET) != 0) return layout;

    unsigned char head[12] = {};
    std::fread(head, 1, sizeof head, file);
    if (std::ferror(file)) return layout;
    // Fewer than 12 bytes leave zeros in the form type, so a tiny file is "not WAVE" too.
    if (!idIs(head + 8, "wave")) {
        layout.kind = WavLayoutKind::NotWave;
        return layout;
    }
    int64_t offset = sizeof head;
    for (;;) {
        unsigned char chunk[8];
        if (!readExactly(file, chunk, sizeof chunk)) return layout;
        offset += sizeof chunk;
        const uint32_t size = bytes::getU32(chunk + 4);
        if (idIs(chunk, "data")) {
            layout.kind = WavLayoutKind::Wave;
            layout.headerBytes = offset;
            layout.dataBytes = size;
            return layout;
        }
        if (!skipBytes(file, chunkSpan(size))) return layout;
        offset += chunkSpan(size);
    }
}

int64_t SeekWavData(std::FILE* file) { return SeekToSamples(file, ReadWavLayout(file)); }

WavHeaderCopy CopyWavHeader(std::FILE* in, std::FILE* out) {
    WavHeaderCopy copy;
    if (out == nullptr) return copy;
    const WavLayout layout = ReadWavLayout(in);
    if (layout.kind == WavLayoutKind::HeaderEndedEarly) return copy;
    if (layout.kind == WavLayoutKind::NotWave) {
        copy.dataBytes = SeekToSamples(in, layout);
        copy.ok = copy.dataBytes >= 0;
        return copy;
    }
    // Read the header again from the start; the file then ends at the first sample.
    if (std::fseek(in, 0, SEEK_SET) != 0) return copy;
    std::array<unsigned char, kWavWorkBufferBytes> piece;
    for (int64_t left = layout.headerBytes; left > 0;) {
        const std::size_t bytes = static_cast<std::size_t>(std::min<int64_t>(left, piece.size()));
        if (!readExactly(in, piece.data(), bytes)) return copy;
        if (std::fwrite(piece.data(), 1, bytes, out) != bytes) return copy;
        left -= static_cast<int64_t>(bytes);
    }
    copy.ok = !std::ferror(out);
    copy.headerBytes = layout.headerBytes;
    copy.dataBytes = layout.dataBytes;
    return copy;
}

bool WriteWavHeader(std::FILE* out, uint32_t dataBytes, uint32_t sampleRate, uint32_t channels,
                    uint32_t bitsPerSample) {
    if (out == nullptr) return false;
    const uint32_t bytesPerSample = (bitsPerSample + 7) / 8;
    unsigned char h[kWavCanonicalHeaderBytes];
    std::memcpy(h, "RIFF", 4);
    bytes::putU32(h + 4, dataBytes + 36u);  // wraps modulo 2^32 like the field itself
    std::memcpy(h + 8, "WAVEfmt ", 8);
    bytes::putU32(h + 16, 16);
    bytes::putU16(h + 20, 1);  // PCM
    bytes::putU16(h + 22, static_cast<uint16_t>(channels));
    bytes::putU32(h + 24, sampleRate);
    bytes::putU32(h + 28, bytesPerSample * sampleRate * channels);
    bytes::putU16(h + 32, static_cast<uint16_t>(bytesPerSample * channels));
    bytes::putU16(h + 34, static_cast<uint16_t>(bitsPerSample));
    std::memcpy(h + 36, "data", 4);
    bytes::putU32(h + 40, dataBytes);
    const bool written = std::fwrite(h, 1, sizeof h, out) == sizeof h;
    return written && !std::ferror(out);
}

std::string FormatSongLength(const SongRecord& song) {
    if (song.channels == 0 || song.sampleRate == 0) return "--:--";
    // Truncating divisions, unsigned so that songs of 2 GiB and more do not show a negative length.
    const uint32_t seconds = song.dataBytes / 2 / song.channels / song.sampleRate;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u", seconds / 60, seconds % 60);
    return text;
}

}  // namespace loudara
