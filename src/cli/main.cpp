// loudara-cli: Loudara's processor from the command line, for scripts, servers and tests.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "core/host.h"
#include "files/export_job.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/peak_level.h"
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
        "  process IN OUT [...]    process a WAV or MP3 song into a new WAV or MP3 file\n"
        "  params show|save ...    show or write a parameter file\n"
        "  playlist show|make ...  show or build a playlist file\n"
        "  devices                 list the output and input sound devices\n"
        "  play FILE...            play songs or playlists through the processor to a sound device\n"
        "  onair                   process the sound input live to the sound output (ON-AIR)\n"
        "\n"
        "Run 'loudara-cli COMMAND --help' for the options of a command.\n",
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
        std::puts("Usage: loudara-cli presets\n\nLists the eleven built-in presets: command id, menu, menu text "
                  "and description.\nCommand ids outside 334..343 select the default preset (232).");
        return 0;
    }
    if (argc > 0) return usageError("presets", std::string("unexpected argument '") + argv[0] + "'");
    for (const BuiltinPreset& preset : builtinPresets()) {
        std::printf("%d\t%s\t%s\t%s\n", preset.commandId, preset.menuGroup, displayText(preset.menuText).c_str(),
                    preset.record.description);
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

int probeFiles(int argc, char** argv) {
    if (wantsHelp(argc, argv) || argc == 0) {
        std::puts("Usage: loudara-cli probe FILE...\n\nOne tab-separated line per file: path, kind (WAV or MP3), "
                  "Ok/Unsupported,\nsample rate, channels, sample data bytes (for MP3 the decoded size) and length "
                  "(mm:ss);\nfor an MP3 file with an ID3v1 tag also its title, artist and album. A file that is\n"
                  "neither shows only its path and Unreadable. Only Ok files can be played or exported.");
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
            std::printf("%s\tWAV\t%s\n", argv[i], probeResultText(result));
            status = 1;
        } else if (!probeAsMp3(argv[i], status)) {
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

int peakFiles(int argc, char** argv) {
    if (wantsHelp(argc, argv) || argc == 0) {
        std::puts("Usage: loudara-cli peak FILE...\n\nOne line per WAV file: path, peak level (largest absolute "
                  "sample; 32767 when the\nsong passes 30000 early, 0 for silence) and the normalisation gain "
                  "it gives.");
        return argc == 0 ? 2 : 0;
    }
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        SongRecord song;
        if (ProbeWavFile(argv[i], song) != WavProbeResult::Ok) {
            std::fprintf(stderr, "loudara-cli peak: %s is not a WAV song Loudara can read\n", argv[i]);
            status = 1;
            continue;
        }
        QuietHost host;
        const PeakScanResult result = ScanSongPeak(song, argv[i], host);
        if (result != PeakScanResult::Done) {
            std::fprintf(stderr, "loudara-cli peak: cannot scan %s\n", argv[i]);
            status = 1;
            continue;
        }
        std::printf("%s\t%u\t%.4f\n", argv[i], song.peakLevel, normalizeGainFor(song.peakLevel));
    }
    return status;
}

// Shows the job's progress on one updating line of stderr.
class ConsoleHost : public JobHost {
public:
    explicit ConsoleHost(bool show) : show_(show) {}
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
    void endNotice() override {
        if (shown_) std::fputc('\n', stderr);
    }

private:
    bool show_;
    bool shown_ = false;
    int maximum_ = 0;
    int steps_ = 0;
};

JobHost* gCancelTarget = nullptr;

extern "C" void onInterrupt(int) {
    if (gCancelTarget) gCancelTarget->cancelRequested = true;
}

const char* kProcessHelp =
    "Usage: loudara-cli process IN OUT [OPTIONS]\n"
    "\n"
    "Processes the song IN (WAV, or MP3 decoded first) into the new file OUT, exactly as the\n"
    "program's single-song export does: same chain, same length as the input. A WAV output keeps\n"
    "the input's header and OUT's extension becomes .wav; an MP3 output is encoded at constant bit\n"
    "rate, OUT's extension becomes .mp3, and an MP3 song's ID3v1 tag goes with it. Ctrl-C cancels:\n"
    "the part processed so far is delivered.\n"
    "\n"
    "Options:\n"
    "  --format wav|mp3    the output format (default: mp3 when OUT ends in .mp3, else wav)\n"
    "  --bitrate N         MP3 bit rate in kbit/s, raised to the next of 32, 40, 48, 56, 64, 80, 96,\n"
    "                      112, 128, 160, 192, 224, 256, 320; outside 32..320 it is 192 (default 128)\n"
    "  --album-prefix TEXT put TEXT (at most 31 bytes) in front of the album of the MP3's tag\n"
    "  --title-prefix TEXT put TEXT (at most 31 bytes) in front of the title of the MP3's tag\n"
    "  --external-encoder PATH --encoder-params TEXT\n"
    "                      encode with the program PATH instead of the built-in encoder; in TEXT\n"
    "                      %1 is the WAV file to encode and %2 the MP3 file to write (each quoted)\n"
    "  --settings FILE     start from a current-settings file (ldmp3.prf) instead of a first start\n"
    "  --params FILE       load a parameter file (.ld3) over the starting state\n"
    "  --preset ID         apply built-in preset ID (232, 334..343; see 'loudara-cli presets')\n"
    "  --set NAME=VALUE    set a sound parameter by its name, e.g. driveDb[2]=18, preEmphasis=0,\n"
    "                      bypass=1 (repeatable; see --list-parameters)\n"
    "  --normalize         raise the song so its peak reaches full scale first (default)\n"
    "  --no-normalize      process the song at its own level\n"
    "  --throttle LEVEL    rest between blocks, LEVEL 1..40 (10 rests about as long as it works)\n"
    "  --quiet             no progress line\n"
    "  --list-parameters   list the sound parameters with their ranges and exit\n";

int processSong(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kProcessHelp, stdout);
        return 0;
    }
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, double>> sets;
    int preset = 0;
    std::string settingsFile, paramsFile;
    int normalize = 1;
    int throttleLevel = 0;
    bool quiet = false;
    std::string format;
    int bitrate = 128;
    std::string albumPrefix, titlePrefix, encoderPath, encoderParams;
    bool haveEncoderParams = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)option;
            return argv[++i];
        };
        if (arg == "--list-parameters") {
            for (const ParameterInfo& info : soundParameters()) {
                std::printf("%s%s\t%g\t%g%s\n", info.name, info.perBand ? "[0..5]" : "", info.minValue, info.maxValue,
                            info.isSwitch ? "\tswitch" : "");
            }
            return 0;
        } else if (arg == "--settings" || arg == "--params") {
            const char* v = value(arg.data());
            if (!v) return usageError("process", std::string(arg) + " needs a file");
            (arg == "--settings" ? settingsFile : paramsFile) = v;
        } else if (arg == "--preset") {
            const char* v = value("--preset");
            if (!v || !parseInteger(v, preset)) return usageError("process", "--preset needs a command id");
            if (preset != 232 && (preset < 334 || preset > 343)) {
                return usageError("process", "unknown preset " + std::string(v) + " (232 or 334..343)");
            }
        } else if (arg == "--set") {
            const char* v = value("--set");
            const std::string_view text = v ? v : "";
            const size_t eq = text.find('=');
            double number = 0;
            if (eq == std::string_view::npos || !parseNumber(text.substr(eq + 1), number)) {
                return usageError("process", "--set needs NAME=VALUE with a number, e.g. driveDb[2]=18");
            }
            sets.emplace_back(std::string(text.substr(0, eq)), number);
        } else if (arg == "--normalize") {
            normalize = 1;
        } else if (arg == "--no-normalize") {
            normalize = 0;
        } else if (arg == "--throttle") {
            const char* v = value("--throttle");
            if (!v || !parseInteger(v, throttleLevel) || throttleLevel < 1 || throttleLevel > 40) {
                return usageError("process", "--throttle needs a level from 1 to 40");
            }
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--format") {
            const char* v = value("--format");
            format = v ? v : "";
            if (format != "wav" && format != "mp3") return usageError("process", "--format needs wav or mp3");
        } else if (arg == "--bitrate") {
            const char* v = value("--bitrate");
            int entered = 0;
            if (!v || !parseInteger(v, entered)) return usageError("process", "--bitrate needs a number of kbit/s");
            bitrate = exportBitrateFor(entered, false);
        } else if (arg == "--album-prefix" || arg == "--title-prefix") {
            const char* v = value("--album-prefix");
            if (!v || std::strlen(v) > 31) {
                std::string message(arg);
                message += " needs a text of at most 31 bytes";
                return usageError("process", message);
            }
            (arg == "--album-prefix" ? albumPrefix : titlePrefix) = v;
        } else if (arg == "--external-encoder") {
            const char* v = value("--external-encoder");
            if (!v || v[0] == '\0' || std::strlen(v) > 257) {
                return usageError("process", "--external-encoder needs a program path of at most 257 bytes");
            }
            encoderPath = v;
        } else if (arg == "--encoder-params") {
            const char* v = value("--encoder-params");
            if (!v || std::strlen(v) > 257) return usageError("process", "--encoder-params needs a text of at most 257 bytes");
            encoderParams = v;
            haveEncoderParams = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("process", "unknown option '" + std::string(arg) + "'");
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) return usageError("process", "needs IN and OUT (see --help)");
    const std::string& in = positional[0];
    const std::string& out = positional[1];

    // The starting state: a first start, then the settings file and the parameter file if given,
    // then the preset, then single parameters.
    auto p = firstStartProcessor();
    StoredSettings stored;
    TextHost messages;
    for (const auto& [path, currentSettings] : {std::pair{settingsFile, true}, std::pair{paramsFile, false}}) {
        if (path.empty()) continue;
        const ParameterLoadOutcome loaded = LoadParameterFileAt(*p, stored, path, currentSettings, messages);
        if (loaded.status == ParameterLoadStatus::NotOpened) {
            std::fprintf(stderr, "loudara-cli process: cannot read %s\n", path.c_str());
            return 1;
        }
        if (loaded.status == ParameterLoadStatus::WrongMagic) {
            std::fprintf(stderr, "loudara-cli process: %s is not a Loudara parameter file\n", path.c_str());
            return 1;
        }
        if (loaded.status == ParameterLoadStatus::InvalidValue) {
            std::fprintf(stderr, "loudara-cli process: %s is damaged: %s holds no number\n", path.c_str(),
                         loaded.invalidField.c_str());
            return 1;
        }
    }
    if (preset != 0) selectPresetById(*p, preset);
    for (const auto& [name, number] : sets) {
        std::string error;
        if (!setSoundParameter(*p, name, number, error)) return usageError("process", error);
    }
    applyParameterChanges(*p);

    if (encoderPath.empty() != !haveEncoderParams) {
        return usageError("process", "--external-encoder and --encoder-params go together");
    }
    const bool mp3Output = format.empty() ? endsWithNoCase(out, ".mp3") : format == "mp3";
    if (!mp3Output && (!encoderPath.empty() || !albumPrefix.empty() || !titlePrefix.empty())) {
        return usageError("process", "the encoder and tag options need MP3 output (--format mp3 or OUT.mp3)");
    }

    SongRecord song;
    SongTag tag;
    if (in.size() >= sizeof song.path) return usageError("process", "the input path is too long");
    // The playlist goes by the extension; a file that is not what its name says is tried as the other kind.
    const bool mp3Name = endsWithNoCase(in, ".mp3");
    WavProbeResult wavProbe = WavProbeResult::Unreadable;
    Mp3ProbeResult mp3Probe = Mp3ProbeResult::Unreadable;
    std::string mp3Reason;
    if (!mp3Name) wavProbe = ProbeWavFile(in.c_str(), song);
    if (wavProbe == WavProbeResult::Unreadable) mp3Probe = ProbeMp3File(in.c_str(), song, nullptr, &mp3Reason);
    if (mp3Name && mp3Probe == Mp3ProbeResult::Unreadable) wavProbe = ProbeWavFile(in.c_str(), song);
    if (wavProbe == WavProbeResult::Ok) {
        song.kind = SongKind::Wav;
    } else if (mp3Probe == Mp3ProbeResult::Ok) {
        song.kind = SongKind::Mp3;
        ReadSongTag(in.c_str(), tag);
    } else if (wavProbe == WavProbeResult::Unsupported) {
        std::fprintf(stderr,
                     "loudara-cli process: %s is not 16-bit mono or stereo PCM at 32000, 44100 or 48000 Hz\n",
                     in.c_str());
        return 1;
    } else if (mp3Probe == Mp3ProbeResult::Unsupported) {
        std::fprintf(stderr, "loudara-cli process: %s: %s\n", in.c_str(), mp3Reason.c_str());
        return 1;
    } else {
        std::fprintf(stderr, "loudara-cli process: cannot read %s as a WAV or MP3 file%s%s\n", in.c_str(),
                     mp3Reason.empty() || !mp3Name ? "" : ": ", mp3Name ? mp3Reason.c_str() : "");
        return 1;
    }
    std::snprintf(song.path, sizeof song.path, "%s", in.c_str());

    ExportOptions options;
    options.exportFormat = mp3Output ? 1 : 0;
    options.mp3Bitrate = bitrate;
    std::snprintf(options.albumPrefix, sizeof options.albumPrefix, "%s", albumPrefix.c_str());
    std::snprintf(options.titlePrefix, sizeof options.titlePrefix, "%s", titlePrefix.c_str());
    options.normalizeOnExport = normalize;
    EncoderSettings encoder;
    encoder.useExternalEncoder = encoderPath.empty() ? 0 : 1;
    std::snprintf(encoder.externalEncoderPath, sizeof encoder.externalEncoderPath, "%s", encoderPath.c_str());
    std::snprintf(encoder.externalEncoderParams, sizeof encoder.externalEncoderParams, "%s", encoderParams.c_str());
    int32_t songStatus = 0;
    ExportRequest request;
    request.song = &song;
    request.songStatus = &songStatus;
    request.tag = &tag;
    request.targetPath = out;
    request.options = &options;
    request.encoder = &encoder;
    request.runStamp = makeRunStamp();
    std::string folderError;
    request.temporaryFolder = PrivateTemporaryFolder(&folderError);
    if (request.temporaryFolder.empty()) {
        std::fprintf(stderr, "loudara-cli process: %s\n", folderError.c_str());
        return 1;
    }

    ConsoleHost host(!quiet);
    host.throttleOn = throttleLevel > 0 ? 1 : 0;
    host.throttleLevel = throttleLevel;
    gCancelTarget = &host;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const ExportOutcome outcome = RunExportJob(*p, request, host);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    gCancelTarget = nullptr;

    switch (outcome.status) {
        case ExportStatus::Completed:
            if (!quiet) std::fprintf(stderr, "wrote %s\n", outcome.deliveredPath.c_str());
            return 0;
        case ExportStatus::Cancelled:
            if (outcome.deliveredPath.empty()) {
                std::fprintf(stderr, "loudara-cli process: cancelled, nothing written\n");
            } else {
                std::fprintf(stderr, "loudara-cli process: cancelled, the part processed so far is in %s\n",
                             outcome.deliveredPath.c_str());
            }
            return 130;
        default:
            std::fprintf(stderr, "loudara-cli process: %s\n", outcome.message.c_str());
            return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stdout);
        return 0;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "presets") return listPresets(argc - 2, argv + 2);
    if (command == "probe") return probeFiles(argc - 2, argv + 2);
    if (command == "peak") return peakFiles(argc - 2, argv + 2);
    if (command == "process") return processSong(argc - 2, argv + 2);
    if (command == "params") return paramsCommand(argc - 2, argv + 2);
    if (command == "playlist") return playlistCommand(argc - 2, argv + 2);
    if (command == "devices") return devicesCommand(argc - 2, argv + 2);
    if (command == "play") return playCommand(argc - 2, argv + 2);
    if (command == "onair") return onairCommand(argc - 2, argv + 2);
    std::fprintf(stderr, "loudara-cli: unknown command '%s'\n\n", command.c_str());
    printUsage(stderr);
    return 2;
}
