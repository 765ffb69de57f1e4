// loudara-cli devices, play and onair: the sound devices as the settings dialog lists them, songs
// played through the processor, and the live ON-AIR path without a window.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/user_paths.h"
#include "audio/icecast_output.h"
#include "audio/onair_service.h"
#include "audio/poll_event_loop.h"
#include "audio/sound_platform.h"
#include "audio/streaming.h"
#include "base/text.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "audio/control_access.h"
#include "audio/control_server.h"
#include "cli/onair_options.h"
#include "files/sound_source.h"
#include "persistence/parameter_file.h"
#include "persistence/parameter_load_text.h"
#include "persistence/playlist.h"

namespace loudara {
namespace {

using cli::ReadIcecastPassword;
using cli::firstStartProcessor;
using cli::parseInteger;
using cli::usageError;
using cli::wantsHelp;

const char* kDevicesHelp =
    "Usage: loudara-cli devices [--jack-name NAME]\n"
    "\n"
    "Lists the output and the input sound devices as the sound device settings list them: at most\n"
    "eight of each, the system's default device first, each as 'N: name'. N is what --output and\n"
    "--input of 'play' and 'onair' take. When a JACK server is running, Loudara's own JACK client\n"
    "is listed last as 'JACK (loudara)' (--jack-name changes the client's name).\n";

// The JACK options play and onair share.
#define LOUDARA_JACK_OPTIONS_HELP \
    "  --device jack   Loudara's own JACK client for input and output (the same as\n" \
    "                  --input jack --output jack); it runs at the JACK server's rate\n" \
    "  --jack-name NAME  the JACK client's name (default loudara); its ports are in_1,\n" \
    "                  in_2, out_1 and out_2\n" \
    "  --connect-output PORT  connect out_1, out_2, out_1, ... to PORT in turn (repeatable)\n"

const char* kPlayHelp =
    "Usage: loudara-cli play FILE_OR_PLAYLIST... [OPTIONS]\n"
    "\n"
    "Plays WAV and MP3 songs (and the songs of .plt playlists) one after the other through the\n"
    "processor to a sound device, showing the song, the elapsed time and the input and output\n"
    "peak levels on one line. Ctrl-C stops as the Stop button does: the queued blocks play out;\n"
    "a second Ctrl-C stops at once.\n"
    "FLAC, Ogg Vorbis/Opus, AIFF, W64, RF64 and WAV files that are not 16-bit PCM play too, and\n"
    "a song at another rate than the device's (a JACK server's) is resampled to the device's.\n"
    "\n"
    "Options:\n"
    "  --output N      output device N of 'loudara-cli devices' (default 0), or 'jack'\n"
    "  --blocks N      sound blocks of 4096 frames kept queued, 2..8 (default 4); to the\n"
    "                  JACK client they only read the song ahead: it is processed in the\n"
    "                  JACK period and heard after the processor's own delay\n"
    "  --params FILE   load a parameter file (.ld3) first\n"
    "  --preset ID     apply built-in preset ID or NAME (232, 334..343, fm-wide-stereo, ...;\n"
    "                  see 'loudara-cli presets')\n"
    LOUDARA_JACK_OPTIONS_HELP
    "                  (without it, the JACK client plays to the first two physical\n"
    "                  playback ports)\n";

const char* kOnAirHelp =
    "Usage: loudara-cli onair [OPTIONS]\n"
    "\n"
    "Processes the input device's sound live and plays it on the output device (and/or sends it\n"
    "to an Icecast server) until stopped: Ctrl-C, SIGINT or SIGTERM stop it cleanly, SIGHUP\n"
    "loads the --params file again and applies it between two blocks (a file that is not a\n"
    "parameter file is refused with a log line and the running settings are kept). At the end it\n"
    "prints the bytes played, underflows, overflows and the process's memory at start and end.\n"
    "\n"
    "Options:\n"
    "  --input N       input device N of 'loudara-cli devices' (default 0), or 'jack'\n"
    "  --output N      output device N (default 0), 'jack', or 'none' (no local output: the\n"
    "                  sound goes to the stream alone; needs the JACK input)\n"
    "  --rate HZ       32000, 44100 or 48000 (default 44100; with JACK, the server's rate)\n"
    "  --blocks N      sound blocks of 4096 frames per direction, 2..8 (default 4); with\n"
    "                  the JACK client as input and output, none: the sound is processed in\n"
    "                  the JACK period, delayed only by the processor (its latency is\n"
    "                  reported on the ports and in the status)\n"
    "  --params FILE   load a parameter file (.ld3) first, and again on SIGHUP\n"
    "  --seconds S     stop after S seconds\n"
    LOUDARA_JACK_OPTIONS_HELP
    "  --connect-input PORT  connect PORT to in_1, in_2, in_1, ... in turn (repeatable);\n"
    "                  a port that appears later (a playout program started after Loudara)\n"
    "                  is connected when it appears\n"
    "  --status-interval S  a status line every S seconds on stderr: peak levels, momentary,\n"
    "                  short-term and integrated loudness, true peak, underflows, overflows,\n"
    "                  xruns, uptime and the stream's state\n"
    "  --status-file FILE.json  the same status as JSON, replaced whole every status interval\n"
    "                  (every 5 s without --status-interval)\n"
    "  --icecast icecast://HOST:PORT/MOUNT  send the processed sound as MP3 to an Icecast server\n"
    "                  (http://HOST:PORT/MOUNT too; the user is 'source' unless the address\n"
    "                  says USER@HOST); when the server goes away ON-AIR goes on and the stream\n"
    "                  connects again after 1, 2, 4, ... 60 s. A run whose stream never\n"
    "                  connected ends with status 1\n"
    "  --icecast-password-file FILE  the server's source password: the first line of FILE, a\n"
    "                  file only its owner may read (chmod 600). Without it, the password is\n"
    "                  taken from the environment variable LOUDARA_ICECAST_PASSWORD; never\n"
    "                  from the address, where every user could read it\n"
    "  --bitrate KBPS  the stream's MP3 bit rate (32..320, default 128)\n"
    "  --stream-name TEXT, --stream-description TEXT  what the server shows about the stream\n"
    "  --metadata-file FILE  the now-playing title for the stream, read again whenever FILE\n"
    "                  changes: lines \"title=...\" and \"artist=...\", or the title as its first line\n"
    "  --http [ADDRESS:]PORT  a web page, an HTTP API and Prometheus metrics at this address\n"
    "                  (127.0.0.1 when only a port is given; put a reverse proxy in front for TLS)\n"
    "  --http-token-file FILE  the token every request but the page needs (Authorization:\n"
    "                  Bearer TOKEN); FILE must be readable by its owner alone\n"
    "  --silence-threshold DBFS, --silence-seconds S  dead air is processed output whose peak\n"
    "                  stays below DBFS (default -50) for S seconds (1..86400, default 30):\n"
    "                  it is logged and shown in the status until the sound is back (half a\n"
    "                  second of sound within a second)\n"
    "  --on-silence COMMAND  run COMMAND when dead air begins: no shell, the words split at\n"
    "                  blanks (double quotes group), the event in the environment:\n"
    "                  LOUDARA_EVENT (silence or silence-end), LOUDARA_EVENT_TIME,\n"
    "                  LOUDARA_SILENCE_SECONDS, LOUDARA_SILENCE_THRESHOLD_DBFS,\n"
    "                  LOUDARA_SILENCE_AFTER_SECONDS, LOUDARA_FALLBACK, LOUDARA_STREAM\n"
    "  --on-silence-end COMMAND  run COMMAND when the sound is back\n"
    "  --silence-fallback FILE_OR_PLAYLIST  songs (a sound file, a .plt playlist or an .m3u\n"
    "                  list, round and round) played through the chain while the input is\n"
    "                  silent; they fade out under the input when its sound is back\n"
    "  --options TEXT  more options in one text, split as a shell splits them (quotes keep\n"
    "                  blanks: --options '--stream-name \"Loudara FM\"'); the service's\n"
    "                  environment file passes its options this way\n";

// Ctrl-C and SIGTERM arrive through a pipe the play loop waits on.
int gSignalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[1], &c, 1);
}

class SignalPipe {
public:
    SignalPipe() {
        if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) gSignalPipe[0] = gSignalPipe[1] = -1;
        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);
    }
    ~SignalPipe() {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        for (int& fd : gSignalPipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    int fd() const { return gSignalPipe[0]; }
    // Reads what the signals wrote.
    void drain() const {
        char buffer[16];
        while (read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
        }
    }
};

// ON-AIR's signals are passed on to the service: Ctrl-C and SIGTERM stop it, SIGHUP reloads the
// parameter file; a lost stream connection never kills the process. The handlers are in place
// before anything else starts: a SIGHUP that comes while the service is still being set up (a
// service manager's reload right after the start, or during the wait for a JACK server) is kept
// and applied once the service runs; a stop before there is a service ends the process as it
// always did.
std::atomic<OnAirService*> gOnAir{nullptr};
volatile std::sig_atomic_t gReloadBeforeStart = 0;

extern "C" void onAirStopSignal(int signal) {
    if (OnAirService* service = gOnAir.load()) {
        service->requestStop();
    } else {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
extern "C" void onAirReloadSignal(int) {
    gReloadBeforeStart = 1;
    if (OnAirService* service = gOnAir.load()) service->requestReload();
}

class OnAirSignals {
public:
    OnAirSignals() {
        std::signal(SIGINT, onAirStopSignal);
        std::signal(SIGTERM, onAirStopSignal);
        std::signal(SIGHUP, onAirReloadSignal);
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~OnAirSignals() {
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal, SIG_DFL);
        gOnAir = nullptr;
        gReloadBeforeStart = 0;
    }
    // From now on the signals reach `service`; a reload asked for before is passed on. Until the
    // returned guard goes, which must be before the service does.
    struct Delivery {
        ~Delivery() {
            for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_IGN);
            gOnAir = nullptr;
        }
    };
    [[nodiscard]] Delivery deliverTo(OnAirService& service) {
        gOnAir = &service;
        if (gReloadBeforeStart) service.requestReload();
        return {};
    }
    OnAirSignals(const OnAirSignals&) = delete;
    OnAirSignals& operator=(const OnAirSignals&) = delete;
};

// Peak since the last look, in dBFS ("-inf" for silence); the meter restarts.
std::string peakText(double& left, double& right) {
    const double peak = std::max(left, right);
    left = right = 0;
    if (peak < 1) return "  -inf";
    char text[16];
    std::snprintf(text, sizeof text, "%6.1f", 20.0 * std::log10(peak / 32768.0));
    return text;
}

// The options both streaming commands share.
struct StreamOptions {
    int output = -1, input = -1, blocks = -1, preset = 0, rate = 44100, seconds = -1;
    bool rateGiven = false;
    bool outputJack = false, inputJack = false, outputNone = false;
    std::string params;
    JackOptions jack;
    // onair only
    int statusInterval = 0;
    std::string statusFile;
    std::string icecastUrl;
    IcecastSettings icecast;
    bool bitrateGiven = false;
    std::string metadataFile;
    std::string http, httpTokenFile;
    std::string icecastPasswordFile;
    SilenceSettings silence;
    std::string onSilence, onSilenceEnd, silenceFallback;
};

// Everything one run of play or onair needs, with the sound system started.
struct Session {
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = firstStartProcessor();
    TextHost host{stderr};
    PollEventLoop loop;
    StreamView view;
    std::unique_ptr<SoundPlatform> platform;
    std::unique_ptr<DeviceEngine> engine;
    std::unique_ptr<Streaming> s;

    // The list index of the JACK device in `direction`, -1 when none is listed.
    int jackIndex(WaveDirection direction) const {
        const int id = platform->jackId(direction);
        const DeviceEntry* entries = direction == WaveDirection::Output ? engine->outputDevices : engine->inputDevices;
        const int count = direction == WaveDirection::Output ? engine->outputCount : engine->inputCount;
        for (int i = 0; i < count && id >= 0; ++i) {
            if (entries[i].id == static_cast<uint32_t>(id)) return i;
        }
        return -1;
    }

    // Loads the parameters, lists the devices and applies the device options; 0 or an exit status.
    int start(const char* command, const StreamOptions& o, bool needInput) {
        if (!o.params.empty()) {
            const ParameterLoadOutcome loaded = LoadParameterFileAt(*p, app->stored, o.params, false, host);
            if (loaded.status != ParameterLoadStatus::Loaded) {
                std::fprintf(stderr, "loudara-cli %s: %s\n", command, ParameterLoadProblem(loaded, o.params).c_str());
                return 1;
            }
        }
        if (o.preset != 0) selectPresetById(*p, o.preset);
        platform = std::make_unique<SoundPlatform>(o.jack);
        const bool wantsJack = o.outputJack || o.outputNone || (needInput && o.inputJack);
        if (!platform->portAudio().initialized() && !wantsJack) {
            std::fprintf(stderr, "loudara-cli %s: the sound system cannot start: %s\n", command,
                         platform->portAudio().initError().c_str());
            return 1;
        }
        // A server started together with this command (a service manager starting both at once)
        // can turn clients away for its first moments, so it is asked again for up to 5 s.
        for (int tries = 0; wantsJack && !platform->jack().serverFound() && tries < 20; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            platform->jack().probeServer();
        }
        if (wantsJack && !platform->jack().serverFound()) {
            const char* server = std::getenv("JACK_DEFAULT_SERVER");
            std::fprintf(stderr, "loudara-cli %s: no JACK server is running (server '%s')\n", command,
                         server && *server ? server : "default");
            return 1;
        }
        engine = std::make_unique<DeviceEngine>(*platform);
        s = std::make_unique<Streaming>(Streaming{*app, app->playlist, app->stored, *p, *engine, loop, view, host, PlaybackMp3Decoder()});
        if (o.blocks >= 0) app->stored.blockCount = o.blocks;
        StoredSettings listed = app->stored;
        StartDeviceEngine(*engine, listed, host);
        int output = o.output;
        int input = o.input;
        if (o.outputJack || o.outputNone) output = jackIndex(WaveDirection::Output);
        if (needInput && o.inputJack) input = jackIndex(WaveDirection::Input);
        if (engine->outputCount == 0) return 1;  // the message said so
        if (output >= engine->outputCount) {
            std::fprintf(stderr, "loudara-cli %s: there is no output device %d (0..%d; see 'loudara-cli devices')\n",
                         command, output, engine->outputCount - 1);
            return 2;
        }
        if (needInput && engine->inputCount == 0) return 1;
        if (needInput && input >= engine->inputCount) {
            std::fprintf(stderr, "loudara-cli %s: there is no input device %d (0..%d; see 'loudara-cli devices')\n",
                         command, input, engine->inputCount - 1);
            return 2;
        }
        app->stored.selectedOutputDevice = output >= 0 ? static_cast<uint16_t>(output) : listed.selectedOutputDevice;
        app->stored.selectedInputDevice = input >= 0 ? static_cast<uint16_t>(input) : listed.selectedInputDevice;
        return 0;
    }
};

// Parses the options of play/onair; the others are left in `rest`. 0 or an exit status.
int parseStreamOptions(const char* command, int argc, char** argv, bool onAir, StreamOptions& o,
                       std::vector<std::string>& rest) {
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto number = [&](int& out, int lo, int hi) -> bool {
            return i + 1 < argc && parseInteger(argv[++i], out) && out >= lo && out <= hi;
        };
        auto text = [&](std::string& out) -> bool {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        auto device = [&](int& out, bool& jack, bool* none) -> bool {
            if (i + 1 >= argc) return false;
            const std::string_view value = argv[++i];
            if (value == "jack") return jack = true;
            if (none && value == "none") return *none = true;
            return parseInteger(value, out) && out >= 0 && out < kMaxListedDevices;
        };
        if (arg == "--output") {
            if (!device(o.output, o.outputJack, onAir ? &o.outputNone : nullptr)) {
                return usageError(command, onAir ? "--output needs a device number 0..7, 'jack' or 'none'"
                                                 : "--output needs a device number 0..7 or 'jack'");
            }
        } else if (onAir && arg == "--input") {
            if (!device(o.input, o.inputJack, nullptr)) return usageError(command, "--input needs a device number 0..7 or 'jack'");
        } else if (arg == "--device") {
            std::string value;
            if (!text(value) || value != "jack") return usageError(command, "--device takes 'jack'");
            o.outputJack = o.inputJack = true;
        } else if (arg == "--jack-name") {
            if (!text(o.jack.clientName) || o.jack.clientName.empty() || o.jack.clientName.size() > 60) {
                return usageError(command, "--jack-name needs a name of 1 to 60 characters");
            }
        } else if (arg == "--connect-output") {
            std::string port;
            if (!text(port) || port.empty()) return usageError(command, "--connect-output needs a JACK port name");
            o.jack.connectOutputs.push_back(port);
        } else if (onAir && arg == "--connect-input") {
            std::string port;
            if (!text(port) || port.empty()) return usageError(command, "--connect-input needs a JACK port name");
            o.jack.connectInputs.push_back(port);
        } else if (arg == "--blocks") {
            if (!number(o.blocks, 2, 8)) return usageError(command, "--blocks needs a number from 2 to 8");
        } else if (arg == "--params") {
            if (!text(o.params)) return usageError(command, "--params needs a file");
        } else if (!onAir && arg == "--preset") {
            std::string value, error;
            if (!text(value)) return usageError(command, "--preset needs a preset's id or name");
            if ((o.preset = cli::PresetFromOption(value, error)) == 0) return usageError(command, error);
        } else if (onAir && arg == "--rate") {
            if (!number(o.rate, 32000, 48000) || (o.rate != 32000 && o.rate != 44100 && o.rate != 48000)) {
                return usageError(command, "--rate needs 32000, 44100 or 48000");
            }
            o.rateGiven = true;
        } else if (onAir && arg == "--seconds") {
            if (!number(o.seconds, 1, 1000000000)) return usageError(command, "--seconds needs a whole number above 0");
        } else if (onAir && arg == "--status-interval") {
            if (!number(o.statusInterval, 1, 86400)) return usageError(command, "--status-interval needs 1..86400 seconds");
        } else if (onAir && arg == "--status-file") {
            if (!text(o.statusFile) || o.statusFile.empty()) return usageError(command, "--status-file needs a file");
        } else if (onAir && arg == "--icecast") {
            std::string error;
            if (!text(o.icecastUrl) || !ParseIcecastUrl(o.icecastUrl, o.icecast.target, error)) {
                return usageError(command, "--icecast: " + (error.empty() ? std::string("needs an address") : error));
            }
        } else if (onAir && arg == "--bitrate") {
            if (!number(o.icecast.bitrateKbps, 32, 320) || !IcecastBitrateSupported(o.icecast.bitrateKbps)) {
                return usageError(command, cli::kBitrateNeeded);
            }
            o.bitrateGiven = true;
        } else if (onAir && arg == "--stream-name") {
            if (!text(o.icecast.name)) return usageError(command, "--stream-name needs a text");
        } else if (onAir && arg == "--metadata-file") {
            if (!text(o.metadataFile) || o.metadataFile.empty()) return usageError(command, "--metadata-file needs a file");
        } else if (onAir && arg == "--http") {
            if (!text(o.http) || o.http.empty()) return usageError(command, "--http needs [ADDRESS:]PORT");
        } else if (onAir && arg == "--http-token-file") {
            if (!text(o.httpTokenFile) || o.httpTokenFile.empty()) return usageError(command, "--http-token-file needs a file");
        } else if (onAir && arg == "--stream-description") {
            if (!text(o.icecast.description)) return usageError(command, "--stream-description needs a text");
        } else if (onAir && arg == "--icecast-password-file") {
            if (!text(o.icecastPasswordFile) || o.icecastPasswordFile.empty()) {
                return usageError(command, "--icecast-password-file needs a file");
            }
        } else if (onAir && arg == "--silence-threshold") {
            if (i + 1 >= argc || !cli::parseNumber(argv[++i], o.silence.thresholdDbfs) ||
                !(o.silence.thresholdDbfs >= -100 && o.silence.thresholdDbfs <= -1)) {
                return usageError(command, "--silence-threshold needs a level from -100 to -1 dBFS");
            }
        } else if (onAir && arg == "--silence-seconds") {
            int seconds = 0;
            if (!number(seconds, 1, 86400)) return usageError(command, "--silence-seconds needs 1..86400 seconds");
            o.silence.seconds = seconds;
        } else if (onAir && (arg == "--on-silence" || arg == "--on-silence-end")) {
            std::string& commandText = arg == "--on-silence" ? o.onSilence : o.onSilenceEnd;
            std::string error;
            if (!text(commandText)) return usageError(command, std::string(arg) + " needs a command");
            if (!CheckEventCommand(commandText, error)) return usageError(command, std::string(arg) + ": " + error);
        } else if (onAir && arg == "--silence-fallback") {
            if (!text(o.silenceFallback) || o.silenceFallback.empty()) {
                return usageError(command, "--silence-fallback needs a song or a playlist");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(command, cli::UnknownOptionText(arg, onAir ? kOnAirHelp : kPlayHelp));
        } else {
            rest.emplace_back(arg);
        }
    }
    if (o.outputNone && !o.jack.connectOutputs.empty()) {
        return usageError(command, "--output none makes no output connections (--connect-output)");
    }
    if (o.outputNone && !o.inputJack) {
        return usageError(command, "--output none needs the JACK input (--input jack), whose clock paces the stream");
    }
    if (o.outputNone && o.icecastUrl.empty()) {
        return usageError(command, "--output none needs a stream (--icecast)");
    }
    if (o.icecastUrl.empty() && !o.metadataFile.empty()) {
        return usageError(command, "--metadata-file goes with --icecast (the title is sent with the stream)");
    }
    if (o.http.empty() != o.httpTokenFile.empty()) {
        return usageError(command, "--http and --http-token-file go together (every request needs the token)");
    }
    if (o.icecastUrl.empty() && (o.bitrateGiven || o.icecast.name != "Loudara" || !o.icecast.description.empty() ||
                                 !o.icecastPasswordFile.empty())) {
        return usageError(command,
                          "--bitrate, --stream-name, --stream-description and --icecast-password-file go with --icecast");
    }
    return 0;
}

// The playlist of the songs named on the command line. 0 or an exit status.
int collectSongs(const std::vector<std::string>& names, Playlist& list, Host& host) {
    namespace fs = std::filesystem;
    list.probeMp3 = programMp3Probe();
    for (const std::string& name : names) {
        std::error_code ec;
        const std::string path = fs::absolute(name, ec).lexically_normal().string();
        if (!fs::is_regular_file(path, ec)) {
            std::fprintf(stderr, "loudara-cli play: %s is not a file\n", name.c_str());
            return 1;
        }
        if (endsWithNoCase(name, ".plt")) {
            if (!AppendPlaylistFile(list, path, PlayState::Stopped)) {
                std::fprintf(stderr, "loudara-cli play: cannot read the playlist %s\n", name.c_str());
                return 1;
            }
            continue;
        }
        const AddResult added = AddSoundFile(list, path, PlayState::Stopped, host);
        if (added == AddResult::Added) continue;
        if (added == AddResult::ProbeFailed && !endsWithNoCase(name, ".mp3")) {
            // The reader says what the file is and why it is refused.
            SoundSource source;
            if (source.open(path) != SoundOpenResult::Ok) {
                std::fprintf(stderr, "loudara-cli play: %s\n", source.error().c_str());
                return 1;
            }
        }
        const std::string why = added == AddResult::NotSoundFile  ? "its name ends in none of " + SoundFileEndingsText()
                                : added == AddResult::PathTooLong ? "its path is longer than 255 bytes"
                                : added == AddResult::ListFull    ? "the list already holds 2000 songs"
                                                                  : "it cannot be read as a song";
        std::fprintf(stderr, "loudara-cli play: cannot play %s: %s\n", name.c_str(), why.c_str());
        return 1;
    }
    if (list.songCount == 0) {
        std::fprintf(stderr, "loudara-cli play: no songs to play\n");
        return 1;
    }
    return 0;
}

// One updating status line on stderr, on a terminal only: in a log its carriage returns would pile
// up into one endless line.
class StatusLine {
public:
    bool terminal() const { return terminal_; }
    void show(const std::string& text) {
        if (!terminal_) return;
        std::string line = "\r";
        line += text;
        if (text.size() < width_) line.append(width_ - text.size(), ' ');
        width_ = text.size();
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        shown_ = true;
    }
    void end() {
        if (shown_) std::fputc('\n', stderr);
        shown_ = false;
        width_ = 0;
    }

private:
    bool terminal_ = isatty(STDERR_FILENO) == 1;
    std::size_t width_ = 0;
    bool shown_ = false;
};

std::string levelsText(Processor& p) {
    std::string text = "in ";
    text += peakText(p.params.inputPeakL, p.params.inputPeakR);
    text += " dB  out ";
    text += peakText(p.params.outputPeakL, p.params.outputPeakR);
    text += " dB";
    return text;
}

}  // namespace

int devicesCommand(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kDevicesHelp, stdout);
        return 0;
    }
    JackOptions jack;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--jack-name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            jack.clientName = argv[++i];
        } else {
            return usageError("devices", std::string("unexpected argument '") + argv[i] + "'");
        }
    }
    SoundPlatform platform(jack);
    if (!platform.portAudio().initialized()) {
        std::fprintf(stderr, "loudara-cli devices: the sound system cannot start: %s\n",
                     platform.portAudio().initError().c_str());
        if (!platform.jack().serverFound()) return 1;
    }
    DeviceEngine* engine = new DeviceEngine(platform);
    std::unique_ptr<DeviceEngine> owner(engine);
    StoredSettings stored;
    TextHost host(stderr);
    StartDeviceEngine(*engine, stored, host);
    std::printf("Output devices:\n");
    for (int i = 0; i < engine->outputCount; ++i) std::printf("%d: %s\n", i, engine->outputDevices[i].name);
    std::printf("Input devices:\n");
    for (int i = 0; i < engine->inputCount; ++i) std::printf("%d: %s\n", i, engine->inputDevices[i].name);
    return 0;
}

int playCommand(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kPlayHelp, stdout);
        return 0;
    }
    StreamOptions o;
    std::vector<std::string> names;
    if (const int status = parseStreamOptions("play", argc, argv, false, o, names)) return status;
    if (names.empty()) return usageError("play", "name at least one WAV or MP3 file or .plt playlist");
    Session session;
    if (const int status = collectSongs(names, session.app->playlist, session.host)) return status;
    if (const int status = session.start("play", o, false)) return status;
    Streaming& s = *session.s;
    AppState& app = *session.app;
    app.continuousPlayback = 1;
    app.playlist.currentSong = 0;

    SignalPipe signals;
    StatusLine status;
    StartResult started = StartResult::NotStopped;
    PlayCommand(s, &started);
    int exitStatus = 0;
    int interrupts = 0;
    uint64_t underflows = 0;
    PlayState previous = app.playState;
    bool announced = false;  // the playing song's line is in the log
    while (true) {
        if (previous == PlayState::Stopped && app.playState == PlayState::Stopped &&
            !session.loop.timerActive(kNextSongTimer)) {
            const StartResult result = session.loop.timerStarts > 0 && started == StartResult::Started
                                           ? static_cast<StartResult>(session.loop.lastTimerResult)
                                           : started;
            if (result != StartResult::Started && result != StartResult::NotStopped) {
                status.end();
                const SongRecord& song = app.playlist.songs[app.playlist.currentSong];
                std::fprintf(stderr, "loudara-cli play: cannot play %s: %s\n", song.path, StartResultText(result));
                exitStatus = 1;
            }
            break;
        }
        if (session.loop.runOnce(s, 100, signals.fd())) {
            signals.drain();
            if (++interrupts == 1) {
                StopCommand(s);
                session.loop.stopTimer(kNextSongTimer);
            } else {
                StopPlayback(s);
            }
            exitStatus = 130;
        }
        if (previous != PlayState::Stopped && app.playState == PlayState::Stopped && session.engine->drainCountersTaken) {
            underflows += session.engine->outputCountersAtDrain.underflows;
        }
        previous = app.playState;
        if (app.playState == PlayState::Stopped) announced = false;
        if (app.playState != PlayState::Stopped) {
            const int index = app.playlist.playingSong;
            std::string line = "[";
            line += std::to_string(index + 1) + "/" + std::to_string(app.playlist.songCount) + "] ";
            line += SongFileName(app.playlist.songs[index].path);
            if (!status.terminal()) {
                // In a log: one line per song, as it starts.
                if (!announced) std::fprintf(stderr, "loudara-cli play: %s\n", line.c_str());
                announced = true;
                continue;
            }
            line += " ";
            line += FormatPlayTime(s);
            line += "  ";
            line += levelsText(*session.p);
            const std::string figures = OnAirFiguresText(s);
            if (!figures.empty()) line += "  " + figures;
            if (app.playState == PlayState::Draining) line += "  (ending)";
            status.show(line);
        }
    }
    status.end();
    if (underflows > 0) std::fprintf(stderr, "loudara-cli play: the output ran dry %llu times\n",
                                     static_cast<unsigned long long>(underflows));
    return exitStatus;
}

namespace {

// The service's lines on stderr; without status lines, file or stream, one line shown in place.
class OnAirOutput : public OnAirListener {
public:
    explicit OnAirOutput(Processor& p) : p_(p) {}
    void logLine(const std::string& line) override {
        std::fprintf(stderr, "loudara-cli onair: %s\n", line.c_str());
        std::fflush(stderr);
    }
    void showProgress(const OnAirProgress& progress) override {
        const long seconds = static_cast<long>(progress.elapsedSeconds);
        char line[256];
        std::snprintf(line, sizeof line,
                      "ON-AIR %d Hz %02ld:%02ld:%02ld  %s  underflows %llu  overflows %llu  xruns %llu  late %llu  "
                      "latency %.1f ms",
                      progress.rate, seconds / 3600, seconds / 60 % 60, seconds % 60, levelsText(p_).c_str(),
                      static_cast<unsigned long long>(progress.underflows),
                      static_cast<unsigned long long>(progress.overflows),
                      static_cast<unsigned long long>(progress.xruns),
                      static_cast<unsigned long long>(progress.latePeriods), progress.latencyMs);
        status.show(line);
    }
    StatusLine status;

private:
    Processor& p_;
};

}  // namespace

int onairCommand(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kOnAirHelp, stdout);
        return 0;
    }
    std::vector<std::string> expanded;
    {
        std::string error;
        if (!cli::ExpandOptionsTexts(std::vector<std::string>(argv, argv + argc), expanded, error)) {
            return usageError("onair", error);
        }
    }
    std::vector<char*> pointers;
    for (std::string& argument : expanded) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    if (wantsHelp(static_cast<int>(expanded.size()), pointers.data())) {
        std::fputs(kOnAirHelp, stdout);
        return 0;
    }
    StreamOptions o;
    std::vector<std::string> rest;
    if (const int status = parseStreamOptions("onair", static_cast<int>(expanded.size()), pointers.data(), true, o, rest)) {
        return status;
    }
    if (!rest.empty()) return usageError("onair", "unexpected argument '" + rest[0] + "'");
    std::vector<std::string> fallbackSongs;
    {
        std::string error;
        if (!o.silenceFallback.empty() && !FallbackSongs(o.silenceFallback, fallbackSongs, error)) {
            std::fprintf(stderr, "loudara-cli onair: --silence-fallback: %s\n", error.c_str());
            return 1;
        }
        // Taken from the environment even without a stream, so no program the service starts
        // inherits it.
        std::string password;
        const bool havePassword = ReadIcecastPassword(o.icecastPasswordFile, password, error);
        if (!o.icecastUrl.empty()) {
            if (!havePassword) {
                std::fprintf(stderr, "loudara-cli onair: %s\n", error.c_str());
                return o.icecastPasswordFile.empty() ? 2 : 1;
            }
            o.icecast.target.password = password;
        }
    }
    ControlOptions control;
    if (!o.http.empty()) {
        std::string error;
        if (!ParseListenAddress(o.http, control.host, control.port, error)) return usageError("onair", "--http: " + error);
        if (!ReadTokenFile(o.httpTokenFile, control.token, error)) {
            std::fprintf(stderr, "loudara-cli onair: --http-token-file: %s\n", error.c_str());
            return 1;
        }
        control.userFolder = UserDataFolder() + "/users";
    }
    OnAirSignals signals;
    Session session;
    if (const int status = session.start("onair", o, true)) return status;

    OnAirOptions options;
    options.rate = o.rate;
    options.rateGiven = o.rateGiven;
    options.jackUsed = o.inputJack || o.outputJack || o.outputNone;
    options.outputNone = o.outputNone;
    options.params = o.params;
    options.seconds = o.seconds;
    options.statusInterval = o.statusInterval;
    options.statusFile = o.statusFile;
    if (!o.icecastUrl.empty()) options.icecast = o.icecast;
    options.metadataFile = o.metadataFile;
    options.silence = o.silence;
    options.onSilence = o.onSilence;
    options.onSilenceEnd = o.onSilenceEnd;
    options.fallbackSongs = fallbackSongs;
    OnAirOutput output(*session.p);
    OnAirService service({*session.s, session.app->stored, session.loop, session.platform->jack()}, options, output);
    const OnAirSignals::Delivery delivery = signals.deliverTo(service);
    std::unique_ptr<ControlServer> remote;
    if (!o.http.empty()) {
        remote = std::make_unique<ControlServer>(service, control, [&output](const std::string& line) { output.logLine(line); });
        std::string error;
        if (!remote->start(error)) {
            std::fprintf(stderr, "loudara-cli onair: --http: %s\n", error.c_str());
            return 1;
        }
        service.setMeterSink(remote.get());
        output.logLine("remote control at http://" + (control.host.find(':') != std::string::npos ? "[" + control.host + "]" : control.host) +
                       ":" + std::to_string(remote->port()) + "/");
        if (control.host.rfind("127.", 0) != 0 && control.host != "::1" && control.host != "localhost") {
            output.logLine("the remote control is open to other machines without TLS: the token and the session travel "
                           "in clear; put a reverse proxy with TLS in front and listen on 127.0.0.1");
        }
    }
    if (const StartResult started = service.start(); started != StartResult::Started) {
        std::fprintf(stderr, "loudara-cli onair: cannot start: %s\n", StartResultText(started));
        return 1;
    }
    service.run();
    if (remote) remote->stop();
    output.status.end();
    const OnAirSummary end = service.finish();
    const WaveCounters& out = end.output;
    const WaveCounters& in = end.input;
    std::printf("played %llu bytes, captured %llu bytes; underflows %llu (sound system %llu), overflows %llu "
                "(sound system %llu), xruns %llu, late periods %llu; memory %ld kB at start, %ld kB at end\n",
                static_cast<unsigned long long>(out.bytesPlayed), static_cast<unsigned long long>(in.bytesCaptured),
                static_cast<unsigned long long>(out.underflows), static_cast<unsigned long long>(out.hostUnderflows),
                static_cast<unsigned long long>(in.overflows), static_cast<unsigned long long>(in.hostOverflows),
                static_cast<unsigned long long>(std::max(out.xruns, in.xruns)),
                static_cast<unsigned long long>(std::max(out.latePeriods, in.latePeriods)), end.memoryAtStartKb,
                end.memoryAtEndKb);
    if (end.stream) {
        const IcecastOutput::Report& r = end.streamReport;
        std::printf("stream: %llu bytes sent in %llu connections, %llu blocks dropped\n",
                    static_cast<unsigned long long>(r.bytesSent), static_cast<unsigned long long>(r.connections),
                    static_cast<unsigned long long>(r.blocksDropped));
    }
    int exitStatus = end.ending == OnAirEnding::Requested ? 130 : (end.ending == OnAirEnding::ServerGone ? 1 : 0);
    if (end.stream && end.streamReport.connections == 0) {
        // A stream that never reached its server is a failed run, however it ended.
        const std::string& why = end.streamReport.error;
        std::fprintf(stderr, "loudara-cli onair: the stream to %s never connected%s%s\n",
                     o.icecast.target.display().c_str(), why.empty() ? "" : ": ", why.c_str());
        exitStatus = 1;
    }
    if (end.ending == OnAirEnding::ServerGone) {
        // PortAudio's own JACK support aborts when it shuts down without its server; everything
        // of ours is closed and written, so leave without it (a service manager restarts us).
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(exitStatus);
    }
    return exitStatus;
}

}  // namespace loudara
