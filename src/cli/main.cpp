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

#include "files/export_job.h"
#include "files/peak_level.h"
#include "files/wav_file.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

namespace {

using namespace loudara;

void printUsage(std::FILE* out) {
    std::fputs(
        "Usage: loudara-cli COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  presets                 list the built-in recommended presets with their command ids\n"
        "  probe FILE...           show whether each file can be played, with its format and length\n"
        "  peak FILE...            measure the peak level of WAV files and the normalisation gain\n"
        "  process IN OUT [...]    process a WAV song into a new WAV file\n"
        "\n"
        "Run 'loudara-cli COMMAND --help' for the options of a command.\n",
        out);
}

bool wantsHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "loudara-cli %s: %s\n", command, message.c_str());
    return 2;
}

bool parseNumber(std::string_view text, double& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseInteger(std::string_view text, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char a = text[text.size() - suffix.size() + i];
        if (std::tolower(static_cast<unsigned char>(a)) != suffix[i]) return false;
    }
    return true;
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

int probeFiles(int argc, char** argv) {
    if (wantsHelp(argc, argv) || argc == 0) {
        std::puts("Usage: loudara-cli probe FILE...\n\nOne line per file: path, Ok/Unsupported/Unreadable, sample rate, "
                  "channels,\nsample data bytes and length (mm:ss). Only Ok files can be played or exported.");
        return argc == 0 ? 2 : 0;
    }
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        SongRecord song;
        const WavProbeResult result = ProbeWavFile(argv[i], song);
        if (result == WavProbeResult::Ok) {
            std::printf("%s\tOk\t%u\t%u\t%u\t%s\n", argv[i], song.sampleRate, song.channels, song.dataBytes,
                        FormatSongLength(song).c_str());
        } else {
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
        if (show_ && !text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
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

// The state of a first start of the program: gates at -36 dB, the default preset, the virtual
// speaker initialised.
std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    for (BandSettings& band : p->bands) band.gateDb = -36;
    resetProcessor(*p);
    selectPresetById(*p, 232);
    initVirtualSpeaker(*p);
    selectEnvelopeTimes(*p);
    return p;
}

const char* kProcessHelp =
    "Usage: loudara-cli process IN OUT [OPTIONS]\n"
    "\n"
    "Processes the WAV song IN into the new WAV file OUT, exactly as the program's single-song\n"
    "export does: same chain, same length as the input, the input's header kept. OUT's extension\n"
    "becomes .wav. Ctrl-C cancels: the part processed so far is delivered.\n"
    "\n"
    "Options:\n"
    "  --preset ID         start from built-in preset ID (232, 334..343; see 'loudara-cli presets')\n"
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
    int preset = 232;
    int normalize = 1;
    int throttleLevel = 0;
    bool quiet = false;
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
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("process", "unknown option '" + std::string(arg) + "'");
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) return usageError("process", "needs IN and OUT (see --help)");
    const std::string& in = positional[0];
    const std::string& out = positional[1];

    auto p = firstStartProcessor();
    selectPresetById(*p, preset);
    for (const auto& [name, number] : sets) {
        std::string error;
        if (!setSoundParameter(*p, name, number, error)) return usageError("process", error);
    }
    applyParameterChanges(*p);

    if (endsWithNoCase(out, ".mp3")) {
        return usageError("process", "MP3 output is not available in this build; give OUT a .wav name");
    }
    SongRecord song;
    if (in.size() >= sizeof song.path) return usageError("process", "the input path is too long");
    const WavProbeResult probe = ProbeWavFile(in.c_str(), song);
    if (probe == WavProbeResult::Unreadable) {
        std::fprintf(stderr, "loudara-cli process: cannot read %s as a WAV file\n", in.c_str());
        return 1;
    }
    if (probe == WavProbeResult::Unsupported) {
        std::fprintf(stderr,
                     "loudara-cli process: %s is not 16-bit mono or stereo PCM at 32000, 44100 or 48000 Hz\n",
                     in.c_str());
        return 1;
    }
    std::snprintf(song.path, sizeof song.path, "%s", in.c_str());
    song.kind = SongKind::Wav;

    ExportOptions options;
    options.exportFormat = 0;
    options.normalizeOnExport = normalize;
    int32_t songStatus = 0;
    ExportRequest request;
    request.song = &song;
    request.songStatus = &songStatus;
    request.targetPath = out;
    request.options = &options;
    request.runStamp = makeRunStamp();
    std::error_code ec;
    request.temporaryFolder = std::filesystem::temp_directory_path(ec).string();
    if (ec) request.temporaryFolder = "/tmp";

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
    std::fprintf(stderr, "loudara-cli: unknown command '%s'\n\n", command.c_str());
    printUsage(stderr);
    return 2;
}
