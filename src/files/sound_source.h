#pragma once
// Sound files read through libsndfile: WAV (8/16/24/32-bit integer, 32/64-bit float, also
// WAVE_FORMAT_EXTENSIBLE), RF64, W64, AIFF/AIFC, FLAC, Ogg Vorbis and Opus, and the other kinds
// libsndfile knows. MP3 is not read here: it has Loudara's own decoder.
//
// A source describes its file (kind, encoding, rate, channels, length) and reads it as
// interleaved stereo float frames at the chain rate of its family (ChainRateFor), a block at a
// time: a mono file comes out with its channel in both, as the export job and playback treat a
// mono WAV song, and a file at another rate goes through a streaming SoundResampler. Only mono and
// stereo files are taken; a file with more channels is refused with a message that names what it
// is. The file is opened as the program's other readers open theirs: only a regular file, so a
// FIFO or a device never holds the caller.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/sound_resampler.h"

struct sf_private_tag;

namespace loudara {

// What a sound file is, as its header tells.
struct SoundFileFormat {
    std::string kind;      // "WAV", "RF64", "W64", "AIFF", "AIFC", "FLAC", "Ogg", or libsndfile's name
    std::string encoding;  // "16-bit PCM", "24-bit PCM", "32-bit float", "FLAC 24-bit", "Vorbis", "Opus", ...
    int sampleRate = 0;    // Hz, the file's own
    int channels = 0;
    int64_t frames = 0;    // at the file's own rate
};

// "24-bit PCM, 6 channels at 96000 Hz" ("1 channel" for mono).
std::string DescribeSoundFormat(const SoundFileFormat& format);
// "mm:ss" of `frames` at `rate` Hz, truncated; minutes are not limited to two digits. "--:--" for
// a rate of 0.
std::string SoundLengthText(int64_t frames, int rate);

// The rate the chain runs a file of `rate` Hz at: 32000, 44100 and 48000 stay; 11025, 22050,
// 88200 and 176400 go to 44100; 8000, 16000, 24000, 96000 and 192000 to 48000; any other rate to
// the nearer of 44100 and 48000 (44100 when both are as near). 0 for a rate of 0 or less.
int ChainRateFor(int rate);

// The lowest and highest file rates a source takes.
inline constexpr int kLowestSourceRate = 1000;
inline constexpr int kHighestSourceRate = 768000;

enum class SoundOpenResult {
    Ok,          // open; format() describes the file and read() gives its frames
    Unreadable,  // not a regular file, not a sound file libsndfile knows, damaged, or MP3
    Refused,     // a sound file, but not one Loudara takes (its channel count, its rate)
};

class SoundSource {
public:
    // Frames read from the file at a time.
    static constexpr int kBlockFrames = 4096;

    SoundSource();
    ~SoundSource();
    SoundSource(const SoundSource&) = delete;
    SoundSource& operator=(const SoundSource&) = delete;

    // Opens the file at `path` (closing any file open before). On Unreadable and Refused the
    // reason is in error(): "cannot read PATH: WHY", or for a refused file
    // "PATH: 24-bit PCM, 6 channels at 96000 Hz: Loudara takes mono or stereo". format() is
    // filled in whenever the header was read (so also for a refused file).
    //
    // `outputRate` chooses the rate read() gives (e.g. a sound device's); 0 leaves it at
    // ChainRateFor(format().sampleRate).
    SoundOpenResult open(const std::string& path, int outputRate = 0);
    void close();

    const SoundFileFormat& format() const { return format_; }
    const std::string& error() const { return error_; }
    // The rate read() gives frames at: the one open() was asked for, or ChainRateFor(format().sampleRate).
    int chainRate() const { return chainRate_; }
    // The frames read() gives in all: format().frames at the chain rate, rounded.
    int64_t chainFrames() const;

    // Reads up to `maxFrames` frames of the file as interleaved stereo at chainRate() into
    // `stereo` (2 x maxFrames floats, full scale +-1.0). The number of frames, fewer only at the
    // end; 0 at the end; -1 on failure, with the reason in error(): a read or decoding error, or a
    // file that ends before the frames its header announces (cut short).
    int64_t read(float* stereo, int64_t maxFrames);
    // Moves the read point to frame `frame` at chainRate() (held to 0 .. chainFrames()); the
    // resampler starts again from there. False, with error(), when the file cannot seek.
    bool seek(int64_t frame);

private:
    bool refill();

    sf_private_tag* file_ = nullptr;
    int descriptor_ = -1;
    std::string path_;
    SoundFileFormat format_;
    int chainRate_ = 0;
    std::unique_ptr<SoundResampler> resampler_;
    std::vector<float> block_;    // one block as the file gives it
    std::vector<float> pending_;  // frames at the chain rate, in the file's channels, not yet read
    std::size_t pendingFrom_ = 0; // the first frame of pending_ not yet read
    int64_t framesRead_ = 0;      // from the file, at its own rate
    bool fileEnded_ = false;
    bool failed_ = false;
    std::string error_;
};

}  // namespace loudara
