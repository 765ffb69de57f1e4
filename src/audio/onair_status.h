#pragma once
// What the headless ON-AIR service reports about itself: one status record, shown as a log line
// every few seconds and written as a JSON file that monitors read. The file is replaced whole
// (ReplaceFileContents: a new file of its own beside it, flushed to the disk, then renamed over
// it), so a reader never sees half a status.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/device_engine.h"
#include "audio/icecast_output.h"
#include "measure/loudness_meter.h"

namespace loudara {

struct OnAirStatus {
    std::string state = "on-air";  // "on-air" or "stopped"
    std::chrono::system_clock::time_point time{};  // when the figures were taken
    uint32_t sampleRate = 0;
    double uptimeSeconds = 0;
    // Peaks since the previous status (dBFS, -inf for silence).
    double inputPeakDbfs = 0, outputPeakDbfs = 0;
    // Loudness of the processed sound (-inf before there is enough of it).
    double momentaryLufs = 0, shortTermLufs = 0, integratedLufs = 0;
    double truePeakDbtp = 0;     // highest true peak since the previous status
    double truePeakMaxDbtp = 0;  // highest since the start
    uint64_t underflows = 0, overflows = 0, xruns = 0;
    // Periods Loudara's own JACK callback finished after their deadline (beside the server's xruns).
    uint64_t latePeriods = 0;
    // How long the input takes to reach the output (ms), and whether the chain runs in the
    // sound system's period (else the queue of blocks adds to it).
    double latencyMs = 0;
    bool chainInPeriod = false;
    long residentKb = -1;
    std::string params;  // the parameter file reloaded on SIGHUP ("" when none)
    uint64_t reloads = 0, reloadsRefused = 0;
    // The Icecast stream, when there is one.
    bool stream = false;
    StreamState streamState = StreamState::Connecting;
    std::string streamTarget; // the server and mount, without the password
    std::string streamError;  // why the last connection ended or failed
    double streamRetrySeconds = 0;
    uint64_t streamBytesSent = 0, streamBlocksDropped = 0, streamConnections = 0;
    // Dead air: the processed output below silenceThresholdDbfs for silenceAfterSeconds.
    double silenceThresholdDbfs = -50, silenceAfterSeconds = 30;
    bool silent = false;
    double silentSeconds = 0;       // the present silence so far (0 with sound)
    double silentTotalSeconds = 0;  // every silence since the start
    uint64_t silenceAlarms = 0;     // times the alarm was raised
    bool fallback = false;          // songs stand in for a silent input
    bool fallbackPlaying = false;
    std::string fallbackSong;       // the song being read for it
};

// "2026-12-10T06:37:52Z": a time as UTC in ISO 8601, to the second.
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// One line for the log: "ON-AIR 44100 Hz up 01:02:03  in -12.0 dB  out -1.0 dB  M -14.2 S ... ".
std::string StatusLineText(const OnAirStatus& status);
// The JSON text of the status file (numbers that have no value yet are null).
std::string StatusJsonText(const OnAirStatus& status);

// Replaces the file at `path` with StatusJsonText(status). False with `error` set when it could
// not; the file is then as it was.
bool WriteStatusFile(const std::string& path, const OnAirStatus& status, std::string& error);

// Measures the processed blocks (loudness, true peak) and hands them on to `next` (a stream).
class LoudnessTap : public BlockTap {
public:
    explicit LoudnessTap(BlockTap* next = nullptr) : next_(next) {}
    void processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) override;

    // The figures into `status`; the interval's true peak starts again.
    void report(OnAirStatus& status);
    // The loudness and the highest true peak since the start into `status`, nothing restarted.
    void readLoudness(OnAirStatus& status) const;
    // The highest true peak since the last call (a live meter's own interval).
    double takeMeterTruePeak();
    // Processed blocks measured so far.
    uint64_t blocks() const { return blocks_; }

private:
    BlockTap* next_;
    std::unique_ptr<LoudnessMeter> meter_;
    double intervalTruePeak_ = -std::numeric_limits<double>::infinity();
    double meterTruePeak_ = -std::numeric_limits<double>::infinity();
    uint64_t blocks_ = 0;
};

}  // namespace loudara
