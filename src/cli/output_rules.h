#pragma once
// What `loudara-cli process` decides about its output before it touches the song, and how it
// moves the result into place: the output's folder, format and name, existing and unwritable
// targets, and WAV streams on standard input and output ("-").

#include <string>
#include <vector>

namespace loudara::cli {

struct OutputTarget {
    bool toStdout = false;  // OUT is "-"
    bool mp3 = false;       // the output format: MP3, FLAC, or else WAV
    bool flac = false;
    std::string path;       // the file to write (empty for standard output)
};

// Decides the output from IN, OUT, --format ("" when not given) and --force:
// - OUT "-" is standard output (WAV unless --format mp3), refused when it is a terminal;
// - an existing folder means "into it, under IN's file name" with the format's extension (without
//   --format: MP3 for an MP3 song, FLAC for a FLAC song, else WAV);
// - the format is --format's or else OUT's extension (.wav, .flac or .mp3); an extension that
//   contradicts the format, or none, is refused: the output is never renamed;
// - the song's own file, an existing file without --force, and a folder that cannot be
//   written to are refused.
// Returns 0 with `target` filled, or the exit status after printing the reason on stderr
// (2 for a wrong command line, 1 for a target that cannot be written).
int ResolveOutputTarget(const std::string& in, const std::string& out, const std::string& format, bool force,
                        OutputTarget& target);

// A folder of our own for one run (mode 0700, inside the run's private temporary folder), removed
// with everything in it when this goes out of scope.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Why a WAV stream whose `header` (from "RIFF" to the data chunk's size, already written to
// `headerFile` as a WAV file of no sound) cannot be taken: neither a 16-bit WAV song nor a sound
// file SoundSource takes. The reason names "standard input" and what the stream is ("standard
// input: 16-bit PCM, 6 channels at 44100 Hz: Loudara takes mono or stereo"); empty when it is taken.
std::string WhyStreamHeaderIsRefused(const std::string& headerFile, const std::vector<unsigned char>& header);

// Reads a WAV stream from the file descriptor `fd` (a pipe: it may announce sizes it cannot know,
// 0, 0xFFFFFFFF or sox's 0x7FFFF000, and then runs to its end) into the file `path`, with the
// RIFF and data sizes set to what arrived. False with `error` for a stream that is not WAV, ends
// inside its header, one Loudara cannot take (WhyStreamHeaderIsRefused, decided before any of its
// sound is read), or is too long for a WAV file; `interrupted` stops it.
bool SpoolWavStream(int fd, const std::string& path, const volatile int& interrupted, std::string& error);

// Moves the finished file `source` (already on the disk) to `target`: renamed when both are on
// one file system, else copied beside the target, synced and renamed. Without `replace` an
// existing target is never overwritten, even one that appeared while the song was processed.
bool DeliverFile(const std::string& source, const std::string& target, bool replace, std::string& error);

// Writes the file to standard output.
bool CopyToStdout(const std::string& source, std::string& error);

}  // namespace loudara::cli
