#pragma once
// loudara-cli commands that live outside main.cpp. Each takes the arguments after its command word
// and returns the process's exit status: 0 done, 1 failed (with a reason on stderr), 2 usage error.

#include <nlohmann/json.hpp>
#include <string>

namespace loudara {

struct ExportOutcome;

// params show FILE | params save FILE [--settings FILE] [--preset ID] [--set NAME=VALUE]...
int paramsCommand(int argc, char** argv);

// playlist show FILE.plt | playlist make OUT.plt FILE_OR_FOLDER... [--force]
int playlistCommand(int argc, char** argv);

// devices: the output and input sound devices, "N: name"
int devicesCommand(int argc, char** argv);

// play FILE_OR_PLAYLIST... [--output N] [--blocks N] [--params FILE] [--preset ID]
int playCommand(int argc, char** argv);

// onair [--input N] [--output N] [--rate 32000|44100|48000] [--blocks N] [--params FILE] [--seconds S]
int onairCommand(int argc, char** argv);

// The JSON report of an export (`process --report`): the input's and output's loudness, the
// decoded MP3's, and the loudness target's gain.
std::string exportReportJson(const std::string& songPath, const ExportOutcome& outcome);
nlohmann::ordered_json exportReport(const std::string& songPath, const ExportOutcome& outcome);
// "-9.31 LUFS, true peak -0.52 dBTP ..." of what was delivered; empty when nothing was measured.
std::string exportClosingText(const ExportOutcome& outcome);

// filter [--preset ID] [--params FILE] [--set NAME=VALUE]... [--raw FORM:RATE:CHANNELS]: a WAV stream
// (or raw PCM) from standard input to standard output through the chain, as it arrives
int filterCommand(int argc, char** argv);

// loudness FILE... [--json]: loudness and peaks of WAV and MP3 files
int loudnessCommand(int argc, char** argv);

}  // namespace loudara
