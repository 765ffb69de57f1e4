#pragma once
// The export job: one song of the playlist (WAV, or MP3 decoded first) through the processing
// chain, off line, into a new 16-bit WAV file that has exactly as many frames as the song (the
// chain's delay is dropped at the start and flushed at the end), delivered as it is or encoded to
// MP3. It runs on a worker thread and talks to its owner only through a JobHost.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/job_host.h"
#include "base/song_record.h"
#include "base/song_tag.h"
#include "files/export_options.h"
#include "files/mp3_bridge.h"
#include "measure/loudness_meter.h"
#include "processor/processor.h"

namespace loudara {

// The bit rate the options dialogs store for the number entered: outside 32..320 it becomes
// 128 (batch dialog) or 192 (single-song dialog), then it is raised to the first MP3 bit rate
// that is not below it.
int32_t exportBitrateFor(int32_t entered, bool batchDialog);

// `path` with its file name's extension (from its last '.') removed and `extension` (".wav")
// appended.
std::string replaceExtension(const std::string& path, const char* extension);

// "%02d:%02d" of the processed time: processedValues 16-bit stereo values at sampleRate.
std::string formatProcessedTime(int64_t processedValues, uint32_t sampleRate);

// Frames the processed stream is dropped at its start (and run on at its end) so the output
// lines up with the input: the band paths' delay (the same for every look-ahead), plus the
// emphasis delay, the adaptive clipper's delay and the FIR's delay where those are in use, and the
// delay of the options after the last stage (the true-peak limiter's) when they are on.
int leadInFrames(const Processor& p);

inline constexpr int kExportBlockFrames = 16384;

enum class ExportStatus {
    Completed,  // the whole song was delivered
    Cancelled,  // the processed part was delivered (or nothing, when cancelled during the peak scan)
    Failed,     // nothing was delivered; `message` says why
};

inline constexpr double kDefaultTruePeakLimitDbtp = -1.0;
// Encode, decode, measure and correct the gain at most this many times to hold the true-peak limit
// and (for MP3) to bring the decoded loudness to the target.
inline constexpr int kMaxCeilingRounds = 4;
// The delivered sound reaches the target when its integrated loudness is this close to it.
inline constexpr double kTargetToleranceLu = 0.2;

// Which figure set the loudness target's gain.
enum class GainDecidedBy {
    Target,    // the output reaches the target loudness
    Ceiling,   // the true-peak limit held the gain below what the target needs
    Silence,   // the output has no integrated loudness to bring anywhere: no gain
};

// What an export measured as it went; figures in dB, -inf where there is nothing to measure.
struct ExportLoudness {
    bool measured = false;       // the song was processed (also when cancelled)
    LoudnessFigures input;       // the samples read, before normalisation (no true peak)
    LoudnessFigures output;      // the samples written: the delivered WAV, or the WAV the MP3 was made of
    bool mp3 = false;            // the delivered file is an MP3
    bool afterCodecMeasured = false;
    LoudnessFigures afterCodec;  // the delivered MP3, decoded again as Loudara decodes it
    std::string afterCodecError; // why the MP3 could not be measured
    // The loudness target, when one was given.
    bool targetSet = false;
    double targetLufs = 0.0;
    double truePeakLimitDbtp = kDefaultTruePeakLimitDbtp;
    LoudnessFigures beforeGain;  // the chain's output before the gain
    double gainDb = 0.0;         // the one constant gain applied after the chain
    GainDecidedBy decidedBy = GainDecidedBy::Target;
    bool targetReached = false;  // the delivered sound (the MP3 as decoded) is within kTargetToleranceLu of the target
    bool ceilingHeld = false;    // the delivered sound's true peak is at or under the limit
    int rounds = 0;              // gain passes made (more than 1: the codec raised the true peak)
};

struct ExportOutcome {
    ExportStatus status = ExportStatus::Failed;
    std::string message;        // one line, for Failed
    std::string warning;        // one line when something of the song was lost but the job went on
                                // (bytes of an MP3 song that are not frames), else ""
    std::string deliveredPath;  // the file written, when one was
    ExportLoudness loudness;

    static ExportOutcome failed(std::string message) {
        ExportOutcome outcome;
        outcome.message = std::move(message);
        return outcome;
    }
    // A cancel outside the processing loop: nothing is delivered, the target stays as it was.
    static ExportOutcome cancelledWithNothing() {
        ExportOutcome outcome;
        outcome.status = ExportStatus::Cancelled;
        return outcome;
    }
};

// Everything one job needs besides the processor and the host.
struct ExportRequest {
    SongRecord* song = nullptr;      // the song; its peakLevel is updated by a normalising export,
                                     // an MP3 song's format fields by its decoding
    int32_t* songStatus = nullptr;   // set to 2 when the job refuses the song or cannot decode it
    SongTag* tag = nullptr;          // the song's ID3v1 block; an MP3 song's is read again when it
                                     // is decoded. None: the song has no tag
    std::string targetPath;          // the chosen file; its extension is replaced
    ExportOptions* options = nullptr;  // exportFormat falls back to 0 (WAV) when MP3 encoding fails
    const EncoderSettings* encoder = nullptr;  // none: the built-in encoder
    std::string runStamp;            // 8 digits, names the job's temporary files
    std::string temporaryFolder;     // where the temporary files go (the system's, normally)
    // The built-in encoder encodes the processed blocks on a thread of its own as the chain
    // delivers them. Off: the whole song is processed, then encoded (the same bytes, slower).
    bool pipelined = true;
    // After the chain, one constant gain brings the output's integrated loudness to this many
    // LUFS, lowered where needed so the true peak (of the decoded MP3, for MP3 output) stays at or
    // under truePeakLimitDbtp. None: the chain's output is delivered as it is.
    std::optional<double> loudnessTargetLufs;
    double truePeakLimitDbtp = kDefaultTruePeakLimitDbtp;
    // Input and output (and the decoded MP3) are measured as the job runs, for whoever reads the
    // outcome. Off, the job reports no loudness and runs faster. A loudness target measures in any
    // case.
    bool measureLoudness = true;
    // Off, only the output is measured (the input's figures stay -inf): for a caller that shows
    // the output alone, as the command line's closing line does.
    bool measureInput = true;
};

// The job. Brings the processor to a known state, prepares it for the song's rate, sets its
// normalizeGain from the song's peak, and sends host.endNotice() exactly once, as its last act,
// on every path.
ExportOutcome RunExportJob(Processor& p, const ExportRequest& request, JobHost& host);

// The run stamp of this process: the clock's seconds since 1970 modulo 10^8, as 8 digits, mixed
// with the process id so that two exports started in the same second never share temporary files.
std::string makeRunStamp();

}  // namespace loudara
