// loudara-cli: Loudara's processor from the command line, for scripts, servers and tests.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <signal.h>
#include <unistd.h>
#include <string>
#include <string_view>
#include <vector>

#include "base/host.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/output_rules.h"
#include "cli/process_setup.h"
#include "files/export_job.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/peak_level.h"
#include "files/safe_write.h"
#include "files/sound_source.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

namespace {

using namespace loudara;
using namespace loudara::cli;

void printUsage(std::FILE* out) {
    std::fputs(
        "Usage: loudara-cli COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  presets                 list the built-in recommended presets with their command ids\n"
        "  probe FILE...           show whether each WAV or MP3 file can be played, with its format and length\n"
        "  peak FILE...            measure the peak level of WAV files and the normalisation gain\n"
        "  loudness FILE...        measure loudness (LUFS), loudness range and true peak of WAV and MP3 files\n"
        "  process IN OUT [...]    process a WAV or MP3 song into a new WAV or MP3 file\n"
        "                          (also FLAC, Ogg, AIFF, W64, RF64 songs; WAV, FLAC output)\n"
        "  filter                  process a WAV stream from standard input to standard output as it comes\n"
        "  params show|save ...    show or write a parameter file\n"
        "  playlist show|make ...  show or build a playlist file\n"
        "  devices                 list the output and input sound devices\n"
        "  play FILE...            play songs or playlists through the processor to a sound device\n"
        "  onair                   process the sound input live to the sound output (ON-AIR)\n"
        "\n"
        "Run 'loudara-cli COMMAND --help' (or 'loudara-cli help COMMAND') for the options of a command.\n",
        out);
}

// Menu texts double '&' to show one.
std::string displayText(const char* menuText) {
    std::string text;
    for (const char* c = menuText; *c; ++c) {
        if (c[0] == '&' && c[1] == '&') ++c;
        text += *c;
    }
    return text;
}

int listPresets(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::puts("Usage: loudara-cli presets [--names]\n\nLists the eleven built-in presets, tab-separated: command id, "
                  "menu, menu text,\ndescription and name. --preset takes the id or the name. With --names, only "
                  "the\nnames, one per line.");
        return 0;
    }
    const bool namesOnly = argc == 1 && std::strcmp(argv[0], "--names") == 0;
    if (argc > 0 && !namesOnly) return usageError("presets", std::string("unexpected argument '") + argv[0] + "'");
    for (const BuiltinPreset& preset : builtinPresets()) {
        if (namesOnly) {
            std::printf("%s\n", preset.name);
            continue;
        }
        std::printf("%d\t%s\t%s\t%s\t%s\n", preset.commandId, preset.menuGroup, displayText(preset.menuText).c_str(),
                    preset.record.description, preset.name);
    }
    return 0;
}

const char* probeResultText(WavProbeResult result) {
    switch (result) {
        case WavProbeResult::Ok: return "Ok";
        case WavProbeResult::Unsupported: return "Unsupported";
        default: return "Unreadable";
    }
}

// A tag field for a tab-separated line: tabs would split it.
std::string tagField(const SongTag& tag, int offset) {
    std::string text = TagFieldText(tag, offset);
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
}

// One line of `probe` for a file the WAV probe cannot read: as an MP3 stream, if it is one.
bool probeAsMp3(const char* path, int& status) {
    SongRecord song;
    std::string reason;
    const Mp3ProbeResult result = ProbeMp3File(path, song, nullptr, &reason);
    if (result == Mp3ProbeResult::Unreadable) return false;
    if (result == Mp3ProbeResult::Unsupported) {
        std::printf("%s\tMP3\tUnsupported\t%u\t%u\t%s\n", path, song.sampleRate, song.channels, reason.c_str());
        status = 1;
        return true;
    }
    std::printf("%s\tMP3\tOk\t%u\t%u\t%u\t%s", path, song.sampleRate, song.channels, song.dataBytes,
                FormatSongLength(song).c_str());
    SongTag tag;
    ReadSongTag(path, tag);
    if (HasId3v1Tag(tag)) {
        std::printf("\t%s\t%s\t%s", tagField(tag, kTagTitleOffset).c_str(), tagField(tag, kTagArtistOffset).c_str(),
                    tagField(tag, kTagAlbumOffset).c_str());
    }
    std::printf("\n");
    return true;
}

// One line of `probe` for a sound file of another kind, read through libsndfile: false when it is
// none. A file Loudara processes shows "Ok" with its rate, channels, size decoded to 16 bits,
// length and encoding; a file it does not take shows "Unsupported", its rate and channels and why.
bool probeAsSoundFile(const char* path, int& status) {
    SoundSource source;
    const SoundOpenResult result = source.open(path);
    if (result == SoundOpenResult::Unreadable) return false;
    const SoundFileFormat& format = source.format();
    if (result == SoundOpenResult::Refused) {
        status = 1;
        std::printf("%s\t%s\tUnsupported\t%d\t%d\t%s\n", path, format.kind.c_str(), format.sampleRate,
                    format.channels, source.error().c_str());
        return true;
    }
    std::printf("%s\t%s\tOk\t%d\t%d\t%lld\t%s\t%s\n", path, format.kind.c_str(), format.sampleRate,
                format.channels, static_cast<long long>(format.frames) * format.channels * 2,
                SoundLengthText(format.frames, format.sampleRate).c_str(), format.encoding.c_str());
    return true;
}

int probeFiles(int argc, char** argv) {
    if (wantsHelp(argc, argv) || argc == 0) {
        std::puts("Usage: loudara-cli probe FILE...\n\nOne tab-separated line per file: path, kind (WAV or MP3), "
                  "Ok/Unsupported,\nsample rate, channels, sample data bytes (for MP3 the decoded size) and length "
                  "(mm:ss);\nfor an MP3 file with an ID3v1 tag also its title, artist and album. A file that is\n"
                  "neither shows only its path and Unreadable. Only Ok files can be played or exported.\n\n"
                  "Other sound files (WAV of other kinds, RF64, W64, AIFF, FLAC, Ogg Vorbis and Opus) show\n"
                  "their kind and Ok, rate, channels, size decoded to 16 bits, length and encoding\n"
                  "(\"24-bit PCM\", \"FLAC 24-bit\", \"Vorbis\"...); or Unsupported, rate, channels and why\n"
                  "Loudara does not take them. These are exported (process), not played.");
        return argc == 0 ? 2 : 0;
    }
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        SongRecord song;
        const WavProbeResult result = ProbeWavFile(argv[i], song);
        if (result == WavProbeResult::Ok) {
            std::printf("%s\tWAV\tOk\t%u\t%u\t%u\t%s\n", argv[i], song.sampleRate, song.channels, song.dataBytes,
                        FormatSongLength(song).c_str());
        } else if (result == WavProbeResult::Unsupported) {
            if (!probeAsSoundFile(argv[i], status)) {
                std::printf("%s\tWAV\t%s\n", argv[i], probeResultText(result));
                status = 1;
            }
        } else if (!probeAsMp3(argv[i], status) && !probeAsSoundFile(argv[i], status)) {
            std::printf("%s\t%s\n", argv[i], probeResultText(result));
            status = 1;
        }
    }
    return status;
}

// A host that only collects what a job reports.
class QuietHost : public JobHost {
public:
    void endNotice() override { ended = true; }
    bool ended = false;
};

// One line of `peak`: the level at the 16-bit scale and the gain, then both in dB.
void printPeak(const char* path, uint32_t level, double exactLevel, double gain) {
    char dbfs[32] = "-inf dBFS";
    if (exactLevel > 0.0) std::snprintf(dbfs, sizeof dbfs, "%.2f dBFS", 20.0 * std::log10(exactLevel / 32768.0));
    std::printf("%s\t%u\t%.4f\t%s\t%+.2f dB\n", path, level, gain, dbfs, 20.0 * std::log10(gain));
}

// The peak of an MP3 song as the export finds it: the song decoded into a WAV working copy in the
// private temporary folder, which is scanned and removed.
bool mp3Peak(const char* path, SongRecord& song, std::string& error) {
    const std::string& folder = PrivateTemporaryFolder(&error);
    if (folder.empty()) return false;
    const std::string wav = folder + "/peak-" + std::to_string(::getpid()) + ".wav";
    QuietHost host;
    SongTag tag;
    const bool decoded = DecodeMp3ToWav(path, wav.c_str(), tag, host, error);
    const bool scanned = decoded && ScanSongPeak(song, wav.c_str(), host) == PeakScanResult::Done;
    if (decoded && !scanned) error = "cannot scan the decoded song";
    std::remove(wav.c_str());
    return scanned;
}

int peakFiles(int argc, char** argv) {
    if (wantsHelp(argc, argv) || argc == 0) {
        std::puts("Usage: loudara-cli peak FILE...\n\nOne line per song, tab-separated: path, peak level (largest absolute "
                  "sample\nat the 16-bit scale, rounded; 32767 when the song passes 30000 early, 0 for\nsilence), "
                  "the normalisation gain it gives, the peak in dBFS and the gain in dB.\nMP3 songs are decoded "
                  "as the export decodes them; songs other than 16-bit WAV and\nMP3 are read as the export reads "
                  "them: at full resolution, at the rate the chain\nruns them at.");
        return argc == 0 ? 2 : 0;
    }
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        SongRecord song;
        auto refuse = [&](const std::string& why) {
            std::fprintf(stderr, "loudara-cli peak: %s\n", why.c_str());
            status = 1;
        };
        if (ProbeWavFile(argv[i], song) == WavProbeResult::Ok) {
            QuietHost host;
            if (ScanSongPeak(song, argv[i], host) != PeakScanResult::Done) {
                refuse(std::string("cannot scan ") + argv[i]);
                continue;
            }
            printPeak(argv[i], song.peakLevel, song.peakLevel, normalizeGainFor(song.peakLevel));
            continue;
        }
        if (std::string why; ProbeMp3File(argv[i], song, nullptr, &why) != Mp3ProbeResult::Unreadable) {
            std::string error;
            if (!why.empty()) {
                refuse(std::string(argv[i]) + ": " + why);
            } else if (!mp3Peak(argv[i], song, error)) {
                refuse(std::string("cannot read ") + argv[i] + ": " + error);
            } else {
                printPeak(argv[i], song.peakLevel, song.peakLevel, normalizeGainFor(song.peakLevel));
            }
            continue;
        }
        // Any other sound file: its float peak, found as the export finds it for normalising.
        QuietHost host;
        double peak = 0.0;
        std::string error;
        if (ScanSoundPeak(argv[i], host, peak, error) != PeakScanResult::Done) {
            refuse(error);
            continue;
        }
        StoreSoundPeak(song, peak);
        printPeak(argv[i], song.peakLevel, peak, normalizeGainForLevel(peak));
    }
    return status;
}

// Shows the job's progress on one updating line of stderr, when stderr is a terminal: a log file
// gets no progress bytes.
class ConsoleHost : public JobHost {
public:
    explicit ConsoleHost(bool show) : show_(show && isatty(STDERR_FILENO)) {}
    void setStatusText(const std::string& text) override {
        if (!show_ || text.empty()) return;
        std::fprintf(stderr, "%s%s\n", shown_ ? "\n" : "", text.c_str());
        shown_ = false;
    }
    void setProgressRange(int maximum) override { maximum_ = maximum; }
    void stepProgress() override { ++steps_; }
    void setProcessedTimeText(const std::string& text) override {
        if (!show_) return;
        const int percent = maximum_ > 0 ? std::min(100, steps_ * 100 / maximum_) : 0;
        std::fprintf(stderr, "\r%3d%%  Processed WAV Time : %s", percent, text.c_str());
        std::fflush(stderr);
        shown_ = true;
    }
    void showMessage(const std::string& text, const std::string& caption) override {
        std::fprintf(stderr, "%s%s: %s\n", shown_ ? "\n" : "", caption.c_str(), text.c_str());
        shown_ = false;
    }
    void endNotice() override {}
    // Ends the progress line; a whole song ends it at 100 % with the song's length.
    void finish(bool completed, const std::string& songTime) {
        if (show_ && completed) {
            std::fprintf(stderr, "\r100%%  Processed WAV Time : %s", songTime.c_str());
            shown_ = true;
        }
        if (shown_) std::fputc('\n', stderr);
        shown_ = false;
    }

private:
    bool show_;
    bool shown_ = false;
    int maximum_ = 0;
    int steps_ = 0;
};

JobHost* gCancelTarget = nullptr;
volatile int gInterrupted = 0;

extern "C" void onInterrupt(int) {
    gInterrupted = 1;
    if (gCancelTarget) gCancelTarget->cancelRequested = true;
}

// Ctrl-C and SIGTERM cancel; a blocking read of standard input is interrupted by them too.
void catchInterrupts(bool on) {
    struct sigaction action {};
    action.sa_handler = on ? onInterrupt : SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int processSong(int argc, char** argv) {
    ProcessOptions o;
    if (const int status = parseProcessOptions(argc, argv, o); status >= 0) return status;
    if (!o.outputDir.empty()) return processBatch(o);
    if (o.positional.size() != 2) return usageError("process", "needs IN and OUT, or --output-dir DIR (see --help)");
    if (o.jobs != 0) return usageError("process", "-j belongs to a batch (--output-dir)");
    std::string in = o.positional[0];
    const std::string& out = o.positional[1];
    if (o.encoderPath.empty() != !o.haveEncoderParams) {
        return usageError("process", "--external-encoder and --encoder-params go together");
    }
    // Everything about the output is settled before the song is touched.
    OutputTarget target;
    if (const int refused = ResolveOutputTarget(in, out, o.format, o.force, target)) return refused;
    const bool mp3Output = target.mp3;
    if (const std::string problem = checkProcessOptions(o, mp3Output); !problem.empty()) {
        return usageError("process", problem);
    }
    if (const std::string problem = reportFileProblem(o); !problem.empty()) {
        std::fprintf(stderr, "loudara-cli process: %s\n", problem.c_str());
        return 1;
    }
    // Ctrl-C is caught from the start of the work until the scratch folder is gone (this guard
    // is made before the folder, so it ends after it): an interrupt once the job has ended changes
    // nothing, where the default action would end the run and leave the folder behind.
    struct InterruptsCaught {
        ~InterruptsCaught() { catchInterrupts(false); }
    } interruptsCaught;
    ScratchFolder scratch;
    if (!scratch.ok()) {
        std::fprintf(stderr, "loudara-cli process: cannot make a temporary folder\n");
        return 1;
    }

    std::string error;
    int status = 0;
    auto p = makeProcessor(o, error, status);
    if (!p) {
        if (status == 2) return usageError("process", error);
        std::fprintf(stderr, "loudara-cli process: %s\n", error.c_str());
        return status;
    }

    catchInterrupts(true);
    // A reason that names the spooled copy of standard input names standard input instead.
    std::string spooledPath;
    auto named = [&spooledPath](std::string text) {
        if (spooledPath.empty()) return text;
        for (size_t at = text.find(spooledPath); at != std::string::npos; at = text.find(spooledPath, at)) {
            text.replace(at, spooledPath.size(), "standard input");
        }
        return text;
    };
    if (in == "-") {
        // A WAV stream on standard input becomes a WAV file of known size first.
        const std::string spooled = scratch.path() + "/stdin.wav";
        if (!SpoolWavStream(STDIN_FILENO, spooled, gInterrupted, error)) {
            if (gInterrupted) {
                std::fprintf(stderr, "loudara-cli process: cancelled, nothing written\n");
                return 130;
            }
            std::fprintf(stderr, "loudara-cli process: %s\n", error.c_str());
            return 1;
        }
        in = spooled;
        spooledPath = spooled;
    }

    const SoundOutputKind outputKind = mp3Output ? SoundOutputKind::Mp3 : target.flac ? SoundOutputKind::Flac
                                                                                     : SoundOutputKind::Wav;
    SongRecord song;
    SongTag tag;
    const bool probed = probeSongForExport(in, song, tag, error, status);
    const bool classic = probed && classicJobWrites(o, outputKind, song);
    const std::string probeError = probed ? std::string() : error;
    if (!probed && status == 2) {
        return usageError("process", named(error));
    }

    std::string folder = temporaryFolder(&error);
    if (folder.empty()) {
        std::fprintf(stderr, "loudara-cli process: %s\n", error.c_str());
        return 1;
    }
    // The job writes into the scratch folder; the result is moved into place (or sent to
    // standard output) afterwards, under exactly the name decided above.
    const std::string scratchTarget = scratch.path() + "/out" + extensionFor(outputKind);
    EncoderSettings soundEncoder;
    SoundExportRequest soundRequest;
    if (!classic && !prepareSoundExport(o, in, probed ? &song : nullptr, probeError, outputKind, scratchTarget, folder,
                                        soundEncoder, soundRequest, error, status)) {
        if (status == 2) return usageError("process", named(error));
        std::fprintf(stderr, "loudara-cli process: %s\n", named(error).c_str());
        return status;
    }
    SongExport job(o, mp3Output, song, tag, scratchTarget, std::move(folder));
    // The closing line and the report show the loudness; a quiet run needs none of it.
    job.request.measureLoudness = !o.quiet || !o.reportFile.empty();
    soundRequest.measureLoudness = job.request.measureLoudness;
    // The closing line shows the output alone; the input is measured for the report.
    job.request.measureInput = !o.reportFile.empty();
    soundRequest.measureInput = job.request.measureInput;

    const bool quiet = o.quiet;
    ConsoleHost host(!quiet);
    host.throttleOn = o.throttleLevel > 0 ? 1 : 0;
    host.throttleLevel = o.throttleLevel;
    host.cancelRequested = gInterrupted != 0;
    gCancelTarget = &host;
    ExportOutcome outcome = classic ? RunExportJob(*p, job.request, host) : RunSoundExportJob(*p, soundRequest, host);
    gCancelTarget = nullptr;
    std::string songTime;
    if (classic) {
        songTime = formatProcessedTime(int64_t{song.dataBytes} / (song.channels == 1 ? 1 : 2), song.sampleRate);
    } else if (SoundSource source; source.open(in) == SoundOpenResult::Ok) {
        songTime = formatProcessedTime(2 * source.chainFrames(), static_cast<uint32_t>(source.chainRate()));
    }
    host.finish(outcome.status == ExportStatus::Completed, songTime);

    const std::string shownTarget = target.toStdout ? std::string("standard output") : target.path;
    if (!outcome.deliveredPath.empty()) {
        std::string error;
        signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error, reported
        const bool delivered = target.toStdout ? CopyToStdout(outcome.deliveredPath, error)
                                               : DeliverFile(outcome.deliveredPath, target.path, o.force, error);
        if (!delivered) {
            outcome.status = ExportStatus::Failed;
            outcome.message = error;
        }
    }

    if (!outcome.warning.empty()) std::fprintf(stderr, "loudara-cli process: warning: %s\n", outcome.warning.c_str());
    // Only a delivered file is named: a cancel before anything was delivered leaves no file.
    if (outcome.status != ExportStatus::Failed && !outcome.deliveredPath.empty()) outcome.deliveredPath = shownTarget;
    if (!o.reportFile.empty() && outcome.status != ExportStatus::Failed) {
        const std::string text = exportReportJson(o.positional[0], outcome);
        std::string why;
        if (!ReplaceFileContents(o.reportFile, text.data(), text.size(), why)) {
            std::fprintf(stderr, "loudara-cli process: wrote %s, but cannot write the report %s (%s)\n",
                         shownTarget.c_str(), o.reportFile.c_str(), why.c_str());
            return 1;
        }
    }
    switch (outcome.status) {
        case ExportStatus::Completed:
            if (!quiet) {
                const std::string loudness = exportClosingText(outcome);
                std::fprintf(stderr, "wrote %s%s%s\n", shownTarget.c_str(), loudness.empty() ? "" : ": ",
                             loudness.c_str());
            }
            return 0;
        case ExportStatus::Cancelled:
            if (outcome.deliveredPath.empty()) {
                std::fprintf(stderr, "loudara-cli process: cancelled, nothing written\n");
            } else {
                std::fprintf(stderr, "loudara-cli process: cancelled, the part processed so far is in %s\n",
                             shownTarget.c_str());
            }
            return 130;
        default:
            std::fprintf(stderr, "loudara-cli process: %s\n", named(outcome.message).c_str());
            return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return 2;
    }
    std::string command = argv[1];
    std::vector<char*> given(argv + 2, argv + argc);
    if (command == "help" && argc > 2) {
        // "help COMMAND [SUBCOMMAND]" is "COMMAND [SUBCOMMAND] --help".
        command = argv[2];
        given.erase(given.begin());
        given.push_back(const_cast<char*>("--help"));
    } else if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("loudara-cli %s\n", LOUDARA_VERSION);
        return 0;
    }
    // One form of the arguments for every command's own option loop.
    std::vector<std::string> arguments = NormalizeArguments(static_cast<int>(given.size()), given.data());
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const int n = static_cast<int>(arguments.size());
    char** args = pointers.data();
    if (command == "presets") return listPresets(n, args);
    if (command == "probe") return probeFiles(n, args);
    if (command == "peak") return peakFiles(n, args);
    if (command == "process") return processSong(n, args);
    if (command == "filter") return filterCommand(n, args);
    if (command == "params") return paramsCommand(n, args);
    if (command == "playlist") return playlistCommand(n, args);
    if (command == "devices") return devicesCommand(n, args);
    if (command == "play") return playCommand(n, args);
    if (command == "onair") return onairCommand(n, args);
    if (command == "loudness") return loudnessCommand(n, args);
    constexpr std::string_view kCommands[] = {"presets", "probe",    "peak",    "process", "params",  "playlist",
                                              "devices", "play",     "onair",   "loudness"};
    const std::string_view nearest = nearestName(command, kCommands);
    std::fprintf(stderr, "loudara-cli: unknown command '%s'%s%s%s\n\n", command.c_str(),
                 nearest.empty() ? "" : "; did you mean ", std::string(nearest).c_str(), nearest.empty() ? "" : "?");
    printUsage(stderr);
    return 2;
}
