#pragma once
// Loudness of whole sound files, as Loudara reads them: a WAV file's "data" chunk, an MP3 file as
// its decoder's float output (not rounded or clipped to 16 bits: an MP3 whose decoded signal goes
// over full scale reads its true peak), with the encoder and decoder delays dropped; our own
// 16-bit decoder where that output cannot be had. And the JSON form of the figures that the CLI
// and the export report share.

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "files/mp3_bridge.h"
#include "measure/loudness_meter.h"

namespace loudara {

struct LoudnessScan {
    bool ok = false;
    std::string error;  // one line, when not ok
    bool mp3 = false;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    LoudnessFigures figures;
};

// Measures the file at `path`: a 16-bit WAV file at 32000, 44100 or 48000 Hz by its header; any
// other sound file libsndfile reads (FLAC, Ogg, AIFF, WAV of other depths and rates) at its own
// rate and channels; anything else as an MP3 stream. A file that is none of these, or has more
// than two channels, is not ok. An MP3 cut short is measured as far as it decodes; a decoding
// error in the middle, or a sound file cut short, is an error.
LoudnessScan MeasureSoundFile(const char* path);

// Feeds the decoded sound of an open decoder (from its first frame) into `meter`, dropping the
// leading samples as DecodeMp3ToWav does. False, with the reason, on a decoding error.
bool MeasureMp3Stream(Mp3Decoder& decoder, LoudnessMeter& meter, std::string& error);

// One figure for a report: a number of dB rounded to 0.01, or null for -inf.
nlohmann::ordered_json LoudnessFigureJson(double figure);
// The figures as {"integratedLufs", "loudnessRangeLu", "maxMomentaryLufs", "maxShortTermLufs",
// "samplePeakDbfs", "truePeakDbtp"}; the true peak is left out when `withTruePeak` is false.
nlohmann::ordered_json LoudnessFiguresJson(const LoudnessFigures& figures, bool withTruePeak = true);

// "-14.03" (two decimals) or "-inf".
std::string FormatLoudnessFigure(double figure);

}  // namespace loudara
