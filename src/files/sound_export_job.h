#pragma once
// The export job for the sound files the 16-bit job does not take: every file a SoundSource reads
// (FLAC, Ogg, AIFF, W64, RF64, WAV of any depth or rate), at full resolution. The song is read as
// stereo float at its chain rate a block at a time (never whole), normalised from its float peak
// by the rule of the 16-bit job, processed with processBlockFloat with the chain's delay dropped at
// the start and run out at the end (leadInFrames), and written through libsndfile as WAV (RF64 when
// it passes 4 GB) or FLAC of 16 or 24 bits or 32-bit float, at the chain rate or at another rate
// (resampled at the end); or rounded to 16 bits and encoded to MP3 as the 16-bit job encodes.
// Cancel, progress, throttle, the loudness target and delivery are those of the 16-bit job; the
// outcome is its outcome.

#include <cstdint>
#include <optional>
#include <string>

#include "base/job_host.h"
#include "files/export_job.h"
#include "files/mp3_bridge.h"
#include "files/sound_source.h"
#include "processor/processor.h"

namespace loudara {

enum class SoundOutputKind { Wav, Flac, Mp3 };
enum class SoundOutputDepth { Pcm16, Pcm24, Float32 };

struct SoundOutputFormat {
    SoundOutputKind kind = SoundOutputKind::Wav;
    SoundOutputDepth depth = SoundOutputDepth::Pcm16;  // 16 for MP3; FLAC holds 16 or 24
    int rate = 0;                                      // Hz; 0: the chain rate of the song
};

// The depth a song is written at when none is asked: its own, 24 at most for integer samples
// (8-bit songs get 16), float for float songs, 24 for songs of a lossy codec.
SoundOutputDepth DefaultOutputDepth(const SoundFileFormat& format);

// A processed float sample held to 16 bits as processBlock rounds its chain value: the value at
// the 16-bit scale (1.0 = 32768) truncated toward zero, then held to -32768..32767.
int16_t RoundAsChain16(float sample);

struct SoundExportRequest {
    std::string songPath;
    std::string targetPath;  // the file delivered, as it is named
    SoundOutputFormat output;
    bool normalize = true;
    int mp3Bitrate = 128;                      // for MP3 output, one of kMpeg1Bitrates
    const EncoderSettings* encoder = nullptr;  // none: the built-in encoder
    std::string runStamp;                      // names the job's temporary files
    std::string temporaryFolder;               // where they go
    // Input (before normalisation, at the chain rate) and output (as written, at its rate; and the
    // MP3 decoded again) are measured for the outcome's loudness, as the 16-bit job measures them.
    bool measureLoudness = false;
    bool measureInput = true;  // off: the output alone (the input's figures stay -inf)
    // After the chain, one constant gain brings the output's integrated loudness to this many LUFS,
    // lowered where needed so the true peak (of the decoded MP3, for MP3 output) stays at or under
    // truePeakLimitDbtp, as the 16-bit job does (ReachLoudnessTarget). It measures in any case.
    std::optional<double> loudnessTargetLufs;
    double truePeakLimitDbtp = kDefaultTruePeakLimitDbtp;
    // Put in front of the album and the title of an MP3 output's ID3v2 tag, as the 16-bit job puts
    // them in its tags. The song's tags (song_tags.h) go into every output in its own kind of tag.
    std::string albumPrefix, titlePrefix;
};

// The job: sends host.endNotice() exactly once, as its last act, on every path. A cancel while
// processing delivers the part processed so far (status Cancelled, deliveredPath set); a cancel
// during the peak scan or a failure delivers nothing.
ExportOutcome RunSoundExportJob(Processor& p, const SoundExportRequest& request, JobHost& host);

}  // namespace loudara
