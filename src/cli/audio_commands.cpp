// loudara-cli devices, play and onair: the sound devices as the settings dialog lists them, songs
// played through the processor, and the live ON-AIR path without a window.

#include <fcntl.h>
#include <unistd.h>

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
#include <vector>

#include "audio/poll_event_loop.h"
#include "audio/portaudio_device.h"
#include "audio/streaming.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "core/app_state.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"

namespace loudara {
namespace {

using cli::endsWithNoCase;
using cli::firstStartProcessor;
using cli::parseInteger;
using cli::usageError;
using cli::wantsHelp;

const char* kDevicesHelp =
    "Usage: loudara-cli devices\n"
    "\n"
    "Lists the output and the input sound devices as the sound device settings list them: at most\n"
    "eight of each, the system's default device first, each as 'N: name'. N is what --output and\n"
    "--input of 'play' and 'onair' take.\n";

const char* kPlayHelp =
    "Usage: loudara-cli play FILE_OR_PLAYLIST... [OPTIONS]\n"
    "\n"
    "Plays WAV and MP3 songs (and the songs of .plt playlists) one after the other through the\n"
    "processor to a sound device, showing the song, the elapsed time and the input and output\n"
    "peak levels on one line. Ctrl-C stops as the Stop button does: the queued blocks play out;\n"
    "a second Ctrl-C stops at once.\n"
    "\n"
    "Options:\n"
    "  --output N      output device N of 'loudara-cli devices' (default 0)\n"
    "  --blocks N      sound blocks of 4096 frames kept queued, 2..8 (default 4)\n"
    "  --params FILE   load a parameter file (.ld3) first\n"
    "  --preset ID     apply built-in preset ID (232, 334..343; see 'loudara-cli presets')\n";

const char* kOnAirHelp =
    "Usage: loudara-cli onair [OPTIONS]\n"
    "\n"
    "Processes the input device's sound live and plays it on the output device, showing the input\n"
    "and output peak levels and the device counters, until Ctrl-C or the given time. At the end it\n"
    "prints the blocks played, underflows, overflows and the process's memory at start and end.\n"
    "\n"
    "Options:\n"
    "  --input N       input device N of 'loudara-cli devices' (default 0)\n"
    "  --output N      output device N (default 0)\n"
    "  --rate HZ       32000, 44100 or 48000 (default 44100)\n"
    "  --blocks N      sound blocks of 4096 frames per direction, 2..8 (default 4)\n"
    "  --params FILE   load a parameter file (.ld3) first\n"
    "  --seconds S     stop after S seconds\n";

// Resident memory of this process in kB, from /proc/self/status; -1 when unknown.
long residentKb() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(f);
    return kb;
}

// Ctrl-C and SIGTERM arrive through a pipe the loop waits on.
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
    void drain() const {
        char buffer[16];
        while (read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
        }
    }
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
    std::string params;
};

// Everything one run of play or onair needs, with the sound system started.
struct Session {
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = firstStartProcessor();
    TextHost host{stderr};
    PollEventLoop loop;
    StreamView view;
    std::unique_ptr<PortAudioPlatform> platform;
    std::unique_ptr<DeviceEngine> engine;
    std::unique_ptr<Streaming> s;

    // Loads the parameters, lists the devices and applies the device options; 0 or an exit status.
    int start(const char* command, const StreamOptions& o, bool needInput) {
        if (!o.params.empty()) {
            const ParameterLoadOutcome loaded = LoadParameterFileAt(*p, app->stored, o.params, false, host);
            if (loaded.status == ParameterLoadStatus::NotOpened) {
                std::fprintf(stderr, "loudara-cli %s: cannot read %s\n", command, o.params.c_str());
                return 1;
            }
            if (loaded.status == ParameterLoadStatus::WrongMagic) {
                std::fprintf(stderr, "loudara-cli %s: %s is not a Loudara parameter file\n", command, o.params.c_str());
                return 1;
            }
            if (loaded.status == ParameterLoadStatus::InvalidValue) {
                std::fprintf(stderr, "loudara-cli %s: %s is damaged: %s holds no number\n", command, o.params.c_str(),
                             loaded.invalidField.c_str());
                return 1;
            }
        }
        if (o.preset != 0) selectPresetById(*p, o.preset);
        platform = std::make_unique<PortAudioPlatform>();
        if (!platform->initialized()) {
            std::fprintf(stderr, "loudara-cli %s: the sound system cannot start: %s\n", command,
                         platform->initError().c_str());
            return 1;
        }
        engine = std::make_unique<DeviceEngine>(*platform);
        s = std::make_unique<Streaming>(Streaming{*app, *p, *engine, loop, view, host, PlaybackMp3Decoder()});
        if (o.output >= 0) app->stored.selectedOutputDevice = static_cast<uint16_t>(o.output);
        if (o.input >= 0) app->stored.selectedInputDevice = static_cast<uint16_t>(o.input);
        if (o.blocks >= 0) app->stored.blockCount = o.blocks;
        StoredSettings listed = app->stored;
        StartDeviceEngine(*engine, listed, host);
        if (engine->outputCount == 0) return 1;  // the message said so
        if (o.output >= engine->outputCount) {
            std::fprintf(stderr, "loudara-cli %s: there is no output device %d (0..%d; see 'loudara-cli devices')\n",
                         command, o.output, engine->outputCount - 1);
            return 2;
        }
        if (needInput && engine->inputCount == 0) return 1;
        if (needInput && o.input >= engine->inputCount) {
            std::fprintf(stderr, "loudara-cli %s: there is no input device %d (0..%d; see 'loudara-cli devices')\n",
                         command, o.input, engine->inputCount - 1);
            return 2;
        }
        app->stored.selectedOutputDevice = listed.selectedOutputDevice;
        app->stored.selectedInputDevice = listed.selectedInputDevice;
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
        if (arg == "--output") {
            if (!number(o.output, 0, kMaxListedDevices - 1)) return usageError(command, "--output needs a device number 0..7");
        } else if (onAir && arg == "--input") {
            if (!number(o.input, 0, kMaxListedDevices - 1)) return usageError(command, "--input needs a device number 0..7");
        } else if (arg == "--blocks") {
            if (!number(o.blocks, 2, 8)) return usageError(command, "--blocks needs a number from 2 to 8");
        } else if (arg == "--params") {
            if (i + 1 >= argc) return usageError(command, "--params needs a file");
            o.params = argv[++i];
        } else if (!onAir && arg == "--preset") {
            if (!number(o.preset, 232, 343) || (o.preset != 232 && o.preset < 334)) {
                return usageError(command, "--preset needs a command id: 232 or 334..343");
            }
        } else if (onAir && arg == "--rate") {
            if (!number(o.rate, 32000, 48000) || (o.rate != 32000 && o.rate != 44100 && o.rate != 48000)) {
                return usageError(command, "--rate needs 32000, 44100 or 48000");
            }
        } else if (onAir && arg == "--seconds") {
            if (!number(o.seconds, 1, 1000000000)) return usageError(command, "--seconds needs a whole number above 0");
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::string message = "unknown option '";
            message += arg;
            message += "'";
            return usageError(command, message);
        } else {
            rest.emplace_back(arg);
        }
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
            auto loaded = std::make_unique<Playlist>();
            loaded->probeMp3 = list.probeMp3;
            if (LoadPlaylist(*loaded, path, PlayState::Stopped) == PlaylistLoadStatus::NotOpened) {
                std::fprintf(stderr, "loudara-cli play: cannot read the playlist %s\n", name.c_str());
                return 1;
            }
            for (int i = 0; i < loaded->songCount && list.songCount < kMaxSongs; ++i) {
                list.songs[list.songCount] = loaded->songs[i];
                list.tags[list.songCount] = loaded->tags[i];
                ++list.songCount;
            }
            continue;
        }
        const AddResult added = AddSoundFile(list, path, PlayState::Stopped, host);
        if (added == AddResult::Added) continue;
        const char* why = added == AddResult::NotSoundFile  ? "its name ends neither in .wav nor in .mp3"
                          : added == AddResult::PathTooLong ? "its path is longer than 255 bytes"
                          : added == AddResult::ListFull    ? "the list already holds 2000 songs"
                                                            : "it is not 16-bit PCM or MP3 at 32000, 44100 or 48000 Hz";
        std::fprintf(stderr, "loudara-cli play: cannot play %s: %s\n", name.c_str(), why);
        return 1;
    }
    if (list.songCount == 0) {
        std::fprintf(stderr, "loudara-cli play: no songs to play\n");
        return 1;
    }
    return 0;
}

// One updating status line on stderr.
class StatusLine {
public:
    void show(const std::string& text) {
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
    if (argc > 0) return usageError("devices", std::string("unexpected argument '") + argv[0] + "'");
    PortAudioPlatform platform;
    if (!platform.initialized()) {
        std::fprintf(stderr, "loudara-cli devices: the sound system cannot start: %s\n", platform.initError().c_str());
        return 1;
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
        if (app.playState != PlayState::Stopped) {
            const int index = app.playlist.playingSong;
            std::string line = "[";
            line += std::to_string(index + 1) + "/" + std::to_string(app.playlist.songCount) + "] ";
            line += SongFileName(app.playlist.songs[index].path);
            line += " ";
            line += FormatPlayTime(s);
            line += "  ";
            line += levelsText(*session.p);
            if (app.playState == PlayState::Draining) line += "  (ending)";
            status.show(line);
        }
    }
    status.end();
    if (underflows > 0) std::fprintf(stderr, "loudara-cli play: the output ran dry %llu times\n",
                                     static_cast<unsigned long long>(underflows));
    return exitStatus;
}

int onairCommand(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kOnAirHelp, stdout);
        return 0;
    }
    StreamOptions o;
    std::vector<std::string> rest;
    if (const int status = parseStreamOptions("onair", argc, argv, true, o, rest)) return status;
    if (!rest.empty()) return usageError("onair", "unexpected argument '" + rest[0] + "'");
    Session session;
    if (const int status = session.start("onair", o, true)) return status;
    Streaming& s = *session.s;
    AppState& app = *session.app;
    app.stored.onAirRateChoice = o.rate == 32000 ? 0 : (o.rate == 44100 ? 1 : 2);
    ToggleOnAirMode(s);

    SignalPipe signals;
    StatusLine status;
    StartResult started = StartResult::NotStopped;
    PlayCommand(s, &started);
    if (started != StartResult::Started) {
        std::fprintf(stderr, "loudara-cli onair: cannot start: %s\n", StartResultText(started));
        return 1;
    }
    const long memoryAtStart = residentKb();
    const auto begin = std::chrono::steady_clock::now();
    int exitStatus = 0;
    int interrupts = 0;
    WaveCounters out, in;
    long memoryAtEnd = memoryAtStart;
    while (app.playState != PlayState::Stopped) {
        const bool interrupted = session.loop.runOnce(s, 250, signals.fd());
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (interrupted) signals.drain();
        const bool timeUp = o.seconds > 0 && elapsed >= o.seconds;
        if ((interrupted || timeUp) && app.playState == PlayState::Playing) {
            out = session.engine->output->counters();
            in = session.engine->input ? session.engine->input->counters() : WaveCounters{};
            memoryAtEnd = residentKb();
            StopCommand(s);
            if (interrupted) exitStatus = 130;
        } else if (interrupted && ++interrupts > 1) {
            StopPlayback(s);
        }
        if (app.playState == PlayState::Playing && session.engine->output) {
            const WaveCounters now = session.engine->output->counters();
            const WaveCounters capture = session.engine->input ? session.engine->input->counters() : WaveCounters{};
            const long seconds = static_cast<long>(elapsed);
            char line[256];
            std::snprintf(line, sizeof line, "ON-AIR %d Hz %02ld:%02ld:%02ld  %s  underflows %llu  overflows %llu",
                          o.rate, seconds / 3600, seconds / 60 % 60, seconds % 60, levelsText(*session.p).c_str(),
                          static_cast<unsigned long long>(now.underflows + now.hostUnderflows),
                          static_cast<unsigned long long>(capture.overflows + capture.hostOverflows));
            status.show(line);
        }
    }
    status.end();
    std::printf("played %llu bytes, captured %llu bytes; underflows %llu (sound system %llu), overflows %llu "
                "(sound system %llu); memory %ld kB at start, %ld kB at end\n",
                static_cast<unsigned long long>(out.bytesPlayed), static_cast<unsigned long long>(in.bytesCaptured),
                static_cast<unsigned long long>(out.underflows), static_cast<unsigned long long>(out.hostUnderflows),
                static_cast<unsigned long long>(in.overflows), static_cast<unsigned long long>(in.hostOverflows),
                memoryAtStart, memoryAtEnd);
    return exitStatus;
}

}  // namespace loudara
