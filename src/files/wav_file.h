#pragma once
// RIFF WAVE files of 16-bit PCM: deciding whether a file may be played, finding its first sample,
// copying its header in front of processed samples, writing a fresh header, and the length text.
//
// A file is a 12-byte head ("RIFF", u32 size, form type "WAVE") followed by chunks, each a 4-byte
// identifier, a u32 body size, the body and one pad byte when the size is odd. All integers are
// little-endian. The form type and the identifiers are compared without regard to letter case
// everywhere, so a file the probe accepts is also positioned, copied and scanned correctly.
// The sound is the body of the "data" chunk and nothing else: chunks after it are not samples.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/song_record.h"

namespace loudara {

inline constexpr std::size_t kWavWorkBufferBytes = 32768;
inline constexpr int kWavCanonicalHeaderBytes = 44;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// fopen that also refuses a directory (which Linux would open and then fail to read), and for
// reading ("r", "rb") anything but a regular file: a FIFO would hold the caller until somebody
// writes to it, and a device never ends. Null path or failure gives an empty handle.
FileHandle OpenFile(const char* path, const char* mode);
// A read-only descriptor (close-on-exec) of the regular file at `path`, opened without waiting on
// whatever else the name may be; -1 with errno set otherwise (EISDIR for a folder, EINVAL for a
// FIFO, socket or device).
int OpenRegularFileForReading(const char* path);

enum class WavProbeResult : int {
    Unreadable = -1,  // cannot be opened, not RIFF WAVE, or ends inside its header
    Unsupported = 0,  // a readable WAVE file, but not 16-bit mono/stereo at 32000/44100/48000
    Ok = 1,
};

// Walks the header of the file at `path`. On Ok stores sampleRate, channels and dataBytes in
// `song`; otherwise `song` is left as it was. peakLevel, kind and path are never touched.
WavProbeResult ProbeWavFile(const char* path, SongRecord& song);

// What the walk from offset 0 to the "data" chunk found.
enum class WavLayoutKind {
    Wave,              // a "data" chunk was found
    NotWave,           // the form type is not "WAVE": the whole file counts as sample data
    HeaderEndedEarly,  // the file (or a read) ended inside a chunk identifier or size
};

struct WavLayout {
    WavLayoutKind kind = WavLayoutKind::HeaderEndedEarly;
    int64_t headerBytes = 0;  // offset of the first sample, just past the data chunk's size field
    uint32_t dataBytes = 0;   // the data chunk's size field
};

// Reads the header of an open file from offset 0 (whatever its position) up to the data chunk's
// size field. The file is left somewhere inside the header.
WavLayout ReadWavLayout(std::FILE* file);

// Positions the file at the first sample of a layout ReadWavLayout found in it and returns the
// number of sample bytes from there: the data chunk's size, or the file's length for a file that
// is not WAVE (positioned at 0). -1 when the header ended early or the file cannot be positioned.
int64_t SeekToSamples(std::FILE* file, const WavLayout& layout);

// ReadWavLayout followed by SeekToSamples: positions an open file at its first sample.
int64_t SeekWavData(std::FILE* file);

struct WavHeaderCopy {
    bool ok = false;          // false: header ended early, or a read, write or seek failed
    int64_t headerBytes = 0;  // bytes copied: file offset 0 up to the first sample (0 if not WAVE)
    int64_t dataBytes = 0;    // as SeekWavData returns it
};

// SeekWavData that also appends every header byte before the first sample to `out`, so the
// output becomes the source's header followed by whatever samples the caller writes.
WavHeaderCopy CopyWavHeader(std::FILE* in, std::FILE* out);

// Writes the 44-byte canonical PCM header at the current position of `out`. False when the
// stream reports an error after the writes.
bool WriteWavHeader(std::FILE* out, uint32_t dataBytes, uint32_t sampleRate, uint32_t channels,
                    uint32_t bitsPerSample);

// "mm:ss" of the song's sample data ("--:--" when the rate or channel count is 0). Minutes are
// not limited to two digits.
std::string FormatSongLength(const SongRecord& song);

}  // namespace loudara
