// loudara-cli params: parameter files shown field by field and written from the command line.

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "persistence/parameter_file.h"
#include "persistence/parameter_load_text.h"
#include "processor/parameter_names.h"

namespace loudara {
namespace {

using cli::parseNumber;
using cli::wantsHelp;

const char* kParamsHelp =
    "Usage: loudara-cli params show FILE\n"
    "       loudara-cli params save FILE [--settings FILE] [--preset ID] [--set NAME=VALUE]...\n"
    "\n"
    "Parameter files (.ld3, and the program's current-settings file ldmp3.prf) hold the sound\n"
    "parameters with the device, ON-AIR, export and external-encoder options.\n"
    "Run 'loudara-cli params show --help' or 'loudara-cli params save --help' for details.\n";

const char* kShowHelp =
    "Usage: loudara-cli params show FILE\n"
    "\n"
    "Prints every field of the parameter file FILE as 'name = value', in the order of the file,\n"
    "after the corrections the program applies when it loads one (an out-of-range bit rate becomes\n"
    "192, an old reduction delay is converted, and so on). Fields a shorter, older file does not\n"
    "hold show the values the program gives them. fileNameString, gateOn and gateDb[0..5] are\n"
    "shown as stored, although the program takes them only from its current-settings file.\n"
    "Texts are shown in double quotes with \\\" \\\\ and \\xNN escapes.\n";

const char* kSaveHelp =
    "Usage: loudara-cli params save FILE [--force] [--settings FILE] [--preset ID] [--set NAME=VALUE]...\n"
    "\n"
    "Writes the parameter file FILE. An existing FILE is replaced only with --force (a failed write\n"
    "leaves it as it was). It starts from the state of a first start of\n"
    "the program (preset 232, gates at -36 dB, the virtual speaker initialised, default options),\n"
    "then, in this order:\n"
    "  --settings FILE     loads the parameter file FILE, all of its fields\n"
    "  --preset ID         applies built-in preset ID or NAME (232, 334..343, fm-wide-stereo, ...;\n"
    "                      see 'loudara-cli presets')\n"
    "  --set NAME=VALUE    sets one field (repeatable). Sound parameters by the names of\n"
    "                      'loudara-cli process --list-parameters', e.g. driveDb[2]=18; the other\n"
    "                      fields by the names 'params show' prints, e.g. mp3Bitrate=320,\n"
    "                      albumPrefix=[FM] , blockCount=6, externalEncoderPath=/usr/bin/lame\n";

int usageError(const std::string& message) { return cli::usageError("params", message); }

// The shortest text that reads back as the same double.
std::string numberText(double value) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("?");
}

std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* c = text; *c; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (*c == '"' || *c == '\\') {
            out += '\\';
            out += *c;
        } else if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += *c;
        }
    }
    out += '"';
    return out;
}

struct State {
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    StoredSettings stored;
};

bool setField(State& s, std::string_view name, std::string_view value, std::string& error) {
    StoredParts parts{s.p->params, s.p->settings, s.stored};
    for (const StoredField& f : storedFields()) {
        if (!f.settable || name != f.name) continue;
        void* place = f.place(parts);
        if (f.type == StoredType::Text) {
            const int most = static_cast<int>(f.maxValue);
            if (value.size() > static_cast<size_t>(most)) {
                char message[160];
                std::snprintf(message, sizeof message, "'%s' holds at most %d bytes", f.name, most);
                error = message;
                return false;
            }
            std::memset(place, 0, most + 1);
            std::memcpy(place, value.data(), value.size());
            return true;
        }
        double number = 0;
        const bool whole = f.type != StoredType::F64;
        const bool rate = place == &s.p->settings.bassEqSampleRate;
        if (!parseNumber(value, number) || !(number >= f.minValue && number <= f.maxValue) ||
            (whole && number != std::floor(number)) ||
            (rate && number != 32000 && number != 44100 && number != 48000)) {
            char message[200];
            if (rate) {
                std::snprintf(message, sizeof message, "value of '%s' must be 32000, 44100 or 48000", f.name);
            } else {
                std::snprintf(message, sizeof message, "value of '%s' must be %s %g to %g", f.name,
                              whole ? "a whole number from" : "a number from", f.minValue, f.maxValue);
            }
            error = message;
            return false;
        }
        switch (f.type) {
            case StoredType::I32: *static_cast<int32_t*>(place) = static_cast<int32_t>(number); break;
            case StoredType::U16InSlot: *static_cast<uint16_t*>(place) = static_cast<uint16_t>(number); break;
            default: *static_cast<double*>(place) = number; break;
        }
        return true;
    }
    double number = 0;
    if (!parseNumber(value, number)) {
        // Let the sound parameter table name an unknown parameter first.
        double ignored = 0;
        if (!getSoundParameter(*s.p, name, ignored, error)) return false;
        error = "--set needs NAME=VALUE with a number for '";
        error += name;
        error += "'";
        return false;
    }
    return setSoundParameter(*s.p, name, number, error);
}

// Reads `path` as the current-settings file (every field), with a clear reason when it is none.
bool loadForCli(State& s, const char* path, bool& shortFile) {
    TextHost host;
    const ParameterLoadOutcome outcome = LoadParameterFileAt(*s.p, s.stored, path, true, host);
    if (outcome.status != ParameterLoadStatus::Loaded) {
        const std::string problem = ParameterLoadProblem(outcome, path, LoadTextDetail::Full);
        std::fprintf(stderr, "loudara-cli params: %s\n", problem.c_str());
        return false;
    }
    for (const std::string& note : ParameterLoadNotes(outcome, path)) {
        std::fprintf(stderr, "loudara-cli params: %s\n", note.c_str());
    }
    shortFile = outcome.fileBytes < kParameterFileBytes;
    return true;
}

void line(const std::string& name, const std::string& value) { std::printf("%s = %s\n", name.c_str(), value.c_str()); }
void line(const std::string& name, double value) { line(name, numberText(value)); }
void line(const std::string& name, long value) { line(name, std::to_string(value)); }

void printFields(State& s) {
    StoredParts parts{s.p->params, s.p->settings, s.stored};
    for (const FileField& field : fieldsInFileOrder()) {
        if (field.parameter) {
            const ParameterInfo& info = *field.parameter;
            const double value = parameterValue(*s.p, info, field.band);
            if (info.isSwitch) {
                line(parameterName(info, field.band), static_cast<long>(value));
            } else {
                line(parameterName(info, field.band), value);
            }
            continue;
        }
        const StoredField& f = *field.stored;
        const void* place = f.place(parts);
        switch (f.type) {
            case StoredType::F64: line(f.name, *static_cast<const double*>(place)); break;
            case StoredType::I32: line(f.name, static_cast<long>(*static_cast<const int32_t*>(place))); break;
            case StoredType::U16InSlot: line(f.name, static_cast<long>(*static_cast<const uint16_t*>(place))); break;
            case StoredType::Text: line(f.name, quoted(static_cast<const char*>(place))); break;
        }
    }
}

int showParams(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kShowHelp, stdout);
        return 0;
    }
    if (argc != 1) return usageError("show needs exactly one FILE (see 'loudara-cli params show --help')");
    if (argv[0][0] == '-') return usageError(cli::UnknownOptionText(argv[0], kShowHelp));
    State s;
    applyFirstStart(*s.p);
    bool shortFile = false;
    if (!loadForCli(s, argv[0], shortFile)) return 1;
    printFields(s);
    return 0;
}

int saveParams(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kSaveHelp, stdout);
        return 0;
    }
    std::string target, settings;
    bool force = false;
    int preset = 0;
    std::vector<std::pair<std::string, std::string>> sets;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--force") {
            force = true;
        } else if (arg == "--settings") {
            if (!value) return usageError("--settings needs a parameter FILE");
            settings = value;
            ++i;
        } else if (arg == "--preset") {
            if (!value) return usageError("--preset needs a preset's id or name");
            std::string error;
            if ((preset = cli::PresetFromOption(value, error)) == 0) return usageError(error);
            ++i;
        } else if (arg == "--set") {
            const std::string_view text = value ? value : "";
            const size_t eq = text.find('=');
            if (!value || eq == std::string_view::npos || eq == 0) {
                return usageError("--set needs NAME=VALUE, e.g. driveDb[2]=18 or mp3Bitrate=320");
            }
            sets.emplace_back(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(cli::UnknownOptionText(arg, kSaveHelp));
        } else if (target.empty()) {
            target = arg;
        } else {
            return usageError("save takes one FILE (see 'loudara-cli params save --help')");
        }
    }
    if (target.empty()) return usageError("save needs the FILE to write (see 'loudara-cli params save --help')");
    if (struct stat st; !force && ::lstat(target.c_str(), &st) == 0) {
        std::fprintf(stderr, "loudara-cli params: %s exists: add --force to replace it\n", target.c_str());
        return 1;
    }

    State s;
    applyFirstStart(*s.p);
    bool shortFile = false;
    if (!settings.empty() && !loadForCli(s, settings.c_str(), shortFile)) return 1;
    if (preset != 0) selectPresetById(*s.p, preset);
    for (const auto& [name, value] : sets) {
        std::string error;
        if (!setField(s, name, value, error)) return usageError(error);
        // A setting the file has no place for is said, not dropped in silence.
        const ParameterInfo* info = findSoundParameter(name.substr(0, name.find('[')));
        if (info && info->fileOffset < 0) {
            std::fprintf(stderr, "loudara-cli params: %s is not kept in parameter files; the file is written without it\n",
                         name.c_str());
        }
    }
    applyParameterChanges(*s.p);

    std::string error;
    if (!SaveParameterFile(*s.p, s.stored, target, "", error)) {
        std::fprintf(stderr, "loudara-cli params: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "wrote %s\n", target.c_str());
    return 0;
}

}  // namespace

int paramsCommand(int argc, char** argv) {
    if (argc == 0 || std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0) {
        std::fputs(kParamsHelp, argc == 0 ? stderr : stdout);
        return argc == 0 ? 2 : 0;
    }
    const std::string_view sub = argv[0];
    if (sub == "show") return showParams(argc - 1, argv + 1);
    if (sub == "save") return saveParams(argc - 1, argv + 1);
    std::string message = "unknown subcommand '";
    message += sub;
    message += "' (show or save)";
    return usageError(message);
}

}  // namespace loudara
