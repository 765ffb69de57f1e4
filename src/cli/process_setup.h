#pragma once
// What `loudara-cli process` reads from its options and builds from them, shared by the one-song
// run and the batch: the processor's starting state, the song as the playlist would add it, and
// the export options.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/song_record.h"
#include "base/song_tag.h"
#include "files/export_job.h"
#include "files/sound_export_job.h"
#include "files/mp3_bridge.h"
#include "processor/processor.h"

namespace loudara::cli {

struct ProcessOptions {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, double>> sets;
    int preset = 0;
    std::string settingsFile, paramsFile;
    int normalize = 1;
    int throttleLevel = 0;
    bool quiet = false;
    std::string format;  // "wav", "mp3", "flac" or empty (from the output's name)
    std::string bits;    // "16", "24", "32f" or empty (the song's own depth)
    int rate = 0;        // the output's rate in Hz; 0: the chain rate
    int bitrate = 128;
    std::string albumPrefix, titlePrefix, encoderPath, encoderParams;
    bool haveEncoderParams = false;
    // A loudness target on the output, with its true-peak ceiling; the loudness report's file.
    std::optional<double> loudnessTarget;
    double truePeakLimit = kDefaultTruePeakLimitDbtp;
    bool haveTruePeakLimit = false;
    std::string reportFile;
    // The batch: every input into this folder, `jobs` songs at a time (0: one per core).
    std::string outputDir;
    int jobs = 0;
    bool force = false;
};

// Reads the options of `process`. Returns -1 when the command should go on, else the exit status
// (0 after --help or --list-parameters, 2 after a usage error, which it has printed).
int parseProcessOptions(int argc, char** argv, ProcessOptions& options);

// Checks the options that go together; a usage error's message, or empty.
std::string checkProcessOptions(const ProcessOptions& options, bool mp3Output);

// Why the --report file could not be written at the end, found before any song is processed (a
// folder, a folder that does not exist, no permission); empty when it can be, or none is asked.
std::string reportFileProblem(const ProcessOptions& options);

// The starting state: a first start, then the settings file and the parameter file if given,
// then the preset, then single parameters. Null, with the reason and the exit status it calls for
// (1: a file cannot be used, 2: a usage error), otherwise.
std::unique_ptr<Processor> makeProcessor(const ProcessOptions& options, std::string& error, int& status);

// The song at `path` as the playlist would add it (the extension first; a file that is not what
// its name says is tried as the other kind), with an MP3 song's tag. False, with the reason and the
// exit status it calls for (1, or 2 for a path too long for the song list).
bool probeSongForExport(const std::string& path, SongRecord& song, SongTag& tag, std::string& error, int& status);

// One song's export as `process` runs it: the options the job may change, and the request that
// points at them, the song and its tag. Measuring loudness is left to the caller to decide.
struct SongExport {
    SongExport(const ProcessOptions& options, bool mp3Output, SongRecord& song, SongTag& tag, std::string targetPath,
               std::string temporaryFolder);
    SongExport(const SongExport&) = delete;
    SongExport& operator=(const SongExport&) = delete;

    ExportOptions options;
    EncoderSettings encoder;
    int32_t songStatus = 0;
    ExportRequest request;
};

// Whether the 16-bit job writes what is asked of `song` (a song probeSongForExport took): WAV or
// MP3 of 16 bits at the song's own rate. Otherwise the song goes through the sound job.
bool classicJobWrites(const ProcessOptions& options, SoundOutputKind output, const SongRecord& song);

// The sound job's request for the song at `in` into `targetPath`: a song the 16-bit job does not
// read (`classicError` says why) or one it read but cannot write as asked (`classicSong`). False,
// with the reason and the exit status (1, or 2 for options that do not go together), for a song
// no job takes: an MP3 song asked for more than 16 bits or another rate, or a sound file Loudara
// refuses or cannot read.
bool prepareSoundExport(const ProcessOptions& options, const std::string& in, const SongRecord* classicSong,
                        const std::string& classicError, SoundOutputKind output, std::string targetPath,
                        std::string temporaryFolder, EncoderSettings& encoder, SoundExportRequest& request,
                        std::string& error, int& status);

// The output kind of an extension (".wav", ".flac", ".mp3", any case); false for any other.
bool outputKindForExtension(const std::string& extension, SoundOutputKind& kind);
// The extension of an output kind, with its dot.
const char* extensionFor(SoundOutputKind kind);

// process IN... --output-dir DIR: every song through its own job; the exit status.
int processBatch(const ProcessOptions& options);

// The run's private temporary folder (where the jobs' temporary files go); empty, with the reason,
// when it cannot be made.
std::string temporaryFolder(std::string* error = nullptr);

}  // namespace loudara::cli
