#pragma once
// The one place where MP3 enters or leaves Loudara, through libmp3lame: the probe that admits MP3
// songs to the playlist, the frame decoder that playback reads, the decoding of a whole song into
// a temporary WAV file and the encoding of a processed WAV file into an MP3 file (by the built-in
// encoder or by an external program) for the export job.
//
// Loudara frames the MPEG stream itself and hands the codec one whole Layer III frame at a time.
// So an ID3v2 tag or junk in front of the first frame is skipped, a tag at the end is not taken for
// sound, and bytes between two frames that are not a frame (damage in the middle) are found
// before the codec sees them: they are passed over to the next frame, as players do, and counted
// so that the loss can be reported, instead of being decoded as noise.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/job_host.h"
#include "base/song_record.h"
#include "base/song_tag.h"

struct lame_global_struct;  // libmp3lame's encoder (lame_t), for SetUpMp3Encoder

namespace loudara {

class GrowingFile;

// The external-encoder options; kept in the parameter file.
struct EncoderSettings {
    int32_t useExternalEncoder = 0;       // 1 = encode with the program below
    char externalEncoderPath[260] = "";   // at most 257 characters entered
    char externalEncoderParams[260] = ""; // "%1" = the input WAV, "%2" = the output MP3
};

inline constexpr int kMp3FrameSamples = 1152;        // samples per channel of an MPEG-1 Layer III frame
inline constexpr int kMp3DecoderDelaySamples = 529;  // the decoder's own delay (its synthesis filter)
inline constexpr int kMp3DefaultEncoderDelay = 576;  // the codec's encoder delay when a file announces none
inline constexpr int kMaxEncoderParamChars = 257;
inline constexpr char kParamsTooLongText[] = "The parameter string is too long. (MAX LENGTH=260)";
inline constexpr char kParamsTooLongCaption[] = "External encoder parameter error";

// Bytes a decoder passed over between frames of its stream.
struct Mp3Skips {
    int64_t bytes = 0;         // in all
    int stretches = 0;         // places where frames were lost
    int64_t firstOffset = -1;  // file offset of the first such place
};

// One line for the user about skipped bytes (their count and where), "" when none were.
std::string Mp3SkipWarning(const Mp3Skips& skips);

// What the probe and the decoder learn of a stream from its first frames.
struct Mp3StreamInfo {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    int bitrateKbps = 0;            // of the first audio frame
    int64_t firstFrameOffset = 0;   // file offset of the first frame (past ID3v2 tags and junk)
    int64_t audioEndOffset = 0;     // end of the frames: the file less an ID3v1 or APE tag at its end
    bool hasInfoHeader = false;     // a Xing/Info header announced the frame count
    int64_t announcedFrames = 0;    // frames of sound the Info header announces
    int64_t announcedBytes = -1;    // bytes of the stream the Info header announces; -1 when it does not
    bool cutShort = false;          // the file holds fewer bytes than the Info header announces
    int encoderDelay = -1;          // samples, from the LAME header; -1 when the file announces none
    int encoderPadding = -1;
    // Samples per channel that decoding yields after dropping the encoder and decoder delays:
    // exact for a whole file with an Info header, estimated from the bytes present and the bit rate
    // otherwise (a cut file counts what it holds).
    int64_t decodedSamples = 0;
};

// Samples per channel dropped at the start of a decoded stream: its encoder delay (or the codec's
// default) plus the decoder's delay.
int Mp3LeadingSamples(const Mp3StreamInfo& info);

enum class Mp3ProbeResult : int {
    Unreadable = -1,   // not an MPEG Layer III stream, or cut short before its first audio frame ends
    Unsupported = 0,   // an MP3 stream, but not 32000/44100/48000 Hz with 1 or 2 channels
    Ok = 1,
};

// Opens the file at `path` as an MP3 stream and decodes its first audio frame. On Ok and on
// Unsupported stores sampleRate, channels and dataBytes (decodedSamples x channels x 2) in
// `song`; kind, peakLevel and path are not touched. `info` and `reason` (when given) receive the
// stream's values and, for a refusal, one line saying why.
Mp3ProbeResult ProbeMp3File(const char* path, SongRecord& song, Mp3StreamInfo* info = nullptr,
                            std::string* reason = nullptr);

// Frame-by-frame decoder. Playback uses the one instance PlaybackMp3Decoder(); the probe and the
// whole-file operations use their own.
struct Mp3Decoder {
    Mp3Decoder();
    ~Mp3Decoder();
    Mp3Decoder(const Mp3Decoder&) = delete;
    Mp3Decoder& operator=(const Mp3Decoder&) = delete;

    // Opens the file, finds its first frame and decodes up to the first audio frame (kept for the
    // first readFrame). False, with a reason in `error`, when it is no MP3 stream or has no
    // complete audio frame.
    bool open(const char* path, std::string* error = nullptr);
    // Decodes the next frame into left and right (kMp3FrameSamples each; a mono stream fills left
    // only). Returns the samples per channel, 0 at the end of the stream, -1 on an error: a frame
    // whose bit rate lies outside 32..320 kbit/s, or the codec's decoding error. Bytes between
    // frames that are not frames of the stream (damage, or frames of another rate or channel
    // count) are passed over to its next frame and counted in skipped(). A frame cut by the end of
    // the file ends the stream. After 0 or -1 it keeps returning the same.
    int readFrame(int16_t* left, int16_t* right);
    // Releases the file and the codec; safe to call at any time.
    void close();

    bool isOpen() const;
    const Mp3StreamInfo& info() const;
    const Mp3Skips& skipped() const;
    const std::string& error() const;  // why readFrame returned -1

    struct State;

private:
    std::unique_ptr<State> state;
};

Mp3Decoder& PlaybackMp3Decoder();

// Decodes the MP3 file into a new WAV file with the canonical header: ReadSongTag into `tag`
// first, the header written with the size 0x7FFFFFFF and rewritten with the real size at the end
// (capped at 0xFFFFFFD0), the first Mp3LeadingSamples samples of each channel dropped, the
// throttle before every 20th frame. Refuses streams Loudara cannot play (rate, channels). On
// failure `error` says why; the WAV file may be left behind, half written. On success `warning`
// (when given) receives Mp3SkipWarning of the bytes passed over, "" when there were none. With
// `growing`, the bytes written are published every 20 frames (flushed), so that readers can follow
// the decoding; the caller finishes it.
bool DecodeMp3ToWav(const char* mp3Path, const char* wavPath, SongTag& tag, JobHost& host, std::string& error,
                    std::string* warning = nullptr, GrowingFile* growing = nullptr);

// The MP3 name of a WAV file: the path less a final ".wav" or ".mp3" (any case, only when the path
// is longer than those 4 characters), then ".mp3".
std::string Mp3OutputPathFor(const std::string& wavPath);

// The MPEG-1 Layer III bit rates in kbit/s, lowest first: bit-rate indexes 1 to 14 of a frame
// header (0 is free format, 15 is not allowed).
inline constexpr int kMpeg1Bitrates[14] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};

// One of kMpeg1Bitrates.
bool IsMpeg1Bitrate(int kbps);

// The two uses of libmp3lame's encoder. Both encode at constant bit rate, with the output rate
// the input's (the codec would pick a lower one for low bit rates) and no ID3 tag of the codec's.
enum class Mp3EncoderUse {
    Export,  // the codec's defaults otherwise and its messages silenced; it writes its LAME/Info frame
    Stream,  // joint stereo, quality 5 and no LAME/Info frame (a stream has no start to go back to)
};

// Sets up `lame` (fresh from lame_init) for `use` and runs lame_init_params. False when the codec
// refuses the settings; the caller still closes `lame`.
bool SetUpMp3Encoder(lame_global_struct* lame, Mp3EncoderUse use, uint32_t sampleRate, uint32_t channels,
                     int bitrateKbps);

// Encodes `pcmBytes` bytes of 16-bit little-endian PCM read from `pcm` (interleaved left, right
// for two channels) into `out` at constant bitrateKbps, with the codec's defaults otherwise, and
// writes the codec's final LAME/Info frame over its placeholder at the position `out` had at the
// start. A PCM stream that ends early is encoded as far as it goes. With a host, the throttle
// applies before every 20 frames and its cancel flag stops the encoding there (error
// "cancelled"). False, with the reason, when the codec refuses the settings or reports an error,
// or a write comes up short (its errno in `writeErrno` when given).
bool EncodePcmToMp3(std::FILE* pcm, int64_t pcmBytes, uint32_t sampleRate, uint32_t channels, int bitrateKbps,
                    std::FILE* out, JobHost* host, std::string& error, int* writeErrno = nullptr);

// Encodes the 16-bit WAV file at `wavPath` into Mp3OutputPathFor(wavPath), by the built-in
// encoder at bitrateKbps (one of the MPEG-1 Layer III bit rates 32..320) or by the external
// program of `encoder`, then appends the song's ID3v1 tag with the prefixes when `tag` holds one.
// The status line says which encoder runs; a parameter text that expands beyond 257 characters is
// also shown to the user through host.showMessage. False, with the reason, on any failure.
bool EncodeWavToMp3(JobHost& host, const std::string& wavPath, int bitrateKbps, const SongTag& tag,
                    const EncoderSettings& encoder, const char* albumPrefix, const char* titlePrefix,
                    std::string& error);

// The external encoder's parameter text with "%1" and "%2" replaced by the double-quoted input
// and output paths, "% " by a space, any other "%x" and a final "%" dropped: the text whose length
// is limited. False when it would pass kMaxEncoderParamChars bytes.
bool ExpandEncoderParams(const char* params, const std::string& wavPath, const std::string& mp3Path,
                         std::string& expanded);

// Splits a parameter text into arguments as a command line is split: runs of blanks separate
// them, and double quotes group blanks into an argument (the quotes themselves are removed).
std::vector<std::string> SplitEncoderArguments(const std::string& text);

// The encoder's arguments from its parameter text: split as SplitEncoderArguments splits, with
// "%1" and "%2" then replaced by the input and output paths as they are, so each path stays
// within its one argument whatever quotes or blanks it holds; "% " is a blank, any other "%x"
// and a final "%" are dropped.
std::vector<std::string> ExpandEncoderArguments(const char* params, const std::string& wavPath,
                                                const std::string& mp3Path);

// Runs `program` with `arguments` (no shell; stdin from /dev/null, its stdout to our stderr) and
// waits for it to end. False, with the reason, when it cannot be started or ends other than with
// exit status 0. With `cancel`, a set flag ends the program (SIGTERM) within a fraction of a
// second and the run fails with "cancelled".
bool RunEncoderProgram(const std::string& program, const std::vector<std::string>& arguments, std::string& error,
                       const std::atomic<bool>* cancel = nullptr);

// The throttle of decoding and encoding, called before every 20 frames: when throttleOn is set it
// sleeps throttleLevel x d / 50 ms, d = the process clock in ms since the previous call (of any
// decode or encode), clamped to 0..100.
void ThrottleMp3Frames(JobHost& host);

}  // namespace loudara
