// loudara-cli params: parameter files shown field by field and written from the command line.

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
    "Usage: loudara-cli params save FILE [--settings FILE] [--preset ID] [--set NAME=VALUE]...\n"
    "\n"
    "Writes the parameter file FILE (replacing it, as the program's Save Parameter File does; a\n"
    "failed write leaves an existing FILE as it was). It starts from the state of a first start of\n"
    "the program (preset 232, gates at -36 dB, the virtual speaker initialised, default options),\n"
    "then, in this order:\n"
    "  --settings FILE     loads the parameter file FILE, all of its fields\n"
    "  --preset ID         applies built-in preset ID (232, 334..343; see 'loudara-cli presets')\n"
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

// The fields of the file that are not sound parameters by name, or need a text or an integer.
enum class FieldType { Integer, Number, Text };

struct StoredField {
    const char* name;
    FieldType type;
    double minValue = 0, maxValue = 0;  // Integer and Number
    int textBytes = 0;                  // Text: room including the NUL
    int32_t* integer = nullptr;
    uint16_t* shortInteger = nullptr;
    double* number = nullptr;
    char* text = nullptr;
};

struct State {
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    StoredSettings stored;
};

std::vector<StoredField> storedFields(State& s) {
    ExportOptions& e = s.stored.exportOptions;
    ProcessorSettings& ps = s.p->settings;
    auto integer = [](const char* name, int32_t& v, double lo, double hi) {
        StoredField f{name, FieldType::Integer, lo, hi};
        f.integer = &v;
        return f;
    };
    auto shortInteger = [](const char* name, uint16_t& v, double lo, double hi) {
        StoredField f{name, FieldType::Integer, lo, hi};
        f.shortInteger = &v;
        return f;
    };
    auto text = [](const char* name, char* buffer, int bytes) {
        StoredField f{name, FieldType::Text};
        f.text = buffer;
        f.textBytes = bytes;
        return f;
    };
    StoredField rate{"bassEqSampleRate", FieldType::Number, 32000, 48000};
    rate.number = &ps.bassEqSampleRate;
    StoredField spareC{"spareC", FieldType::Number, -1e9, 1e9};
    spareC.number = &s.p->params.spareC;
    return {
        shortInteger("selectedOutputDevice", s.stored.selectedOutputDevice, 0, 7),
        shortInteger("selectedInputDevice", s.stored.selectedInputDevice, 0, 7),
        shortInteger("onAirRateChoice", s.stored.onAirRateChoice, 0, 2),
        integer("startOnAirAtBoot", s.stored.startOnAirAtBoot, 0, 1),
        integer("blockCount", s.stored.blockCount, 2, 8),
        integer("exportFormat", e.exportFormat, 0, 1),
        integer("mp3Bitrate", e.mp3Bitrate, 1, 320),
        integer("normalizeOnExport", e.normalizeOnExport, 0, 1),
        integer("throttleOn", e.throttleOn, 0, 1),
        integer("throttleLevel", e.throttleLevel, 1, 40),
        integer("useExternalEncoder", s.stored.useExternalEncoder, 0, 1),
        integer("useOriginalFolder", e.useOriginalFolder, 0, 1),
        integer("fileNameStringIsPostfix", e.fileNameStringIsPostfix, 0, 1),
        text("presetDescription", ps.presetDescription, 64),
        text("albumPrefix", e.albumPrefix, sizeof e.albumPrefix),
        text("titlePrefix", e.titlePrefix, sizeof e.titlePrefix),
        text("fileNameString", e.fileNameString, sizeof e.fileNameString),
        // The encoder dialog takes at most 257 characters.
        text("externalEncoderPath", s.stored.externalEncoderPath, 258),
        text("externalEncoderParams", s.stored.externalEncoderParams, 258),
        rate,
        spareC,
    };
}

bool setField(State& s, std::string_view name, std::string_view value, std::string& error) {
    for (StoredField& f : storedFields(s)) {
        if (name != f.name) continue;
        if (f.type == FieldType::Text) {
            if (value.size() >= static_cast<size_t>(f.textBytes)) {
                char message[160];
                std::snprintf(message, sizeof message, "'%s' holds at most %d bytes", f.name, f.textBytes - 1);
                error = message;
                return false;
            }
            std::memset(f.text, 0, f.textBytes);
            std::memcpy(f.text, value.data(), value.size());
            return true;
        }
        double number = 0;
        const bool whole = f.type == FieldType::Integer;
        if (!parseNumber(value, number) || !(number >= f.minValue && number <= f.maxValue) ||
            (whole && number != std::floor(number)) ||
            (f.number == &s.p->settings.bassEqSampleRate && number != 32000 && number != 44100 && number != 48000)) {
            char message[200];
            if (f.number == &s.p->settings.bassEqSampleRate) {
                std::snprintf(message, sizeof message, "value of '%s' must be 32000, 44100 or 48000", f.name);
            } else {
                std::snprintf(message, sizeof message, "value of '%s' must be %s %g to %g", f.name,
                              whole ? "a whole number from" : "a number from", f.minValue, f.maxValue);
            }
            error = message;
            return false;
        }
        if (f.integer) *f.integer = static_cast<int32_t>(number);
        if (f.shortInteger) *f.shortInteger = static_cast<uint16_t>(number);
        if (f.number) *f.number = number;
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

void line(const char* name, const std::string& value) { std::printf("%s = %s\n", name, value.c_str()); }
void line(const char* name, double value) { line(name, numberText(value)); }
void line(const char* name, long value) { line(name, std::to_string(value)); }
void bandLine(const char* name, int band, double value) {
    char full[48];
    std::snprintf(full, sizeof full, "%s[%d]", name, band);
    line(full, value);
}

void printFields(State& s) {
    const Processor& p = *s.p;
    const ProcessorParams& r = p.params;
    const ProcessorSettings& ps = p.settings;
    const StoredSettings& st = s.stored;
    const ExportOptions& e = st.exportOptions;
    for (int b = 0; b < kBandCount; ++b) {
        bandLine("depthDb", b, p.bands[b].depthDb);
        bandLine("driveDb", b, p.bands[b].driveDb);
        bandLine("outputDb", b, p.bands[b].outputDb);
        bandLine("thresholdDb", b, p.bands[b].thresholdDb);
        bandLine("clipDb", b, p.bands[b].clipDb);
    }
    line("agcThresholdDb", r.agcThresholdDb);
    line("agcDepthDb", r.agcDepthDb);
    line("enhancerDepthDb", r.enhancerDepthDb);
    line("bassEqGainDb", ps.bassEqGainDb);
    line("bassEqFreqHz", ps.bassEqFreqHz);
    line("bassEqSampleRate", ps.bassEqSampleRate);
    line("bassEqQ", ps.bassEqQ);
    line("finalClipDb", r.finalClipDb);
    line("bandReleaseTime", r.bandReleaseTime);
    line("spareA", r.spareA);
    line("phaseShifterOn", static_cast<long>(ps.phaseShifterOn));
    line("bassEqOff", static_cast<long>(ps.bassEqOff));
    line("enhancerOn", static_cast<long>(ps.enhancerOn));
    line("enhancerMode", r.enhancerMode);
    line("bassClipMode", r.bassClipMode);
    line("selectedOutputDevice", static_cast<long>(st.selectedOutputDevice));
    line("selectedInputDevice", static_cast<long>(st.selectedInputDevice));
    line("onAirRateChoice", static_cast<long>(st.onAirRateChoice));
    line("spareB", r.spareB);
    line("presetDescription", quoted(ps.presetDescription));
    line("finalLowpass", ps.finalLowpass);
    line("enhancerDelayMs", r.enhancerDelayMs);
    line("deEmphasisOn", static_cast<long>(ps.deEmphasisOn));
    line("preEmphasis", r.preEmphasis);
    line("hfLimitThresholdDb", r.hfLimitThresholdDb);
    line("hfLimitDepthDb", r.hfLimitDepthDb);
    line("spareC", r.spareC);
    line("postClipDb", r.postClipDb);
    line("agcSpeed", r.agcSpeed);
    line("startOnAirAtBoot", static_cast<long>(st.startOnAirAtBoot));
    line("blockCount", static_cast<long>(st.blockCount));
    line("reductionDelayMs", p.bands[0].reductionDelayMs);
    line("exportFormat", static_cast<long>(e.exportFormat));
    line("mp3Bitrate", static_cast<long>(e.mp3Bitrate));
    line("albumPrefix", quoted(e.albumPrefix));
    line("titlePrefix", quoted(e.titlePrefix));
    line("normalizeOnExport", static_cast<long>(e.normalizeOnExport));
    line("fileNameString", quoted(e.fileNameString));
    line("throttleOn", static_cast<long>(e.throttleOn));
    line("throttleLevel", static_cast<long>(e.throttleLevel));
    line("useExternalEncoder", static_cast<long>(st.useExternalEncoder));
    line("externalEncoderPath", quoted(st.externalEncoderPath));
    line("externalEncoderParams", quoted(st.externalEncoderParams));
    line("bandAttackTime", r.bandAttackTime);
    line("clipType", r.clipType);
    line("virtualSpeakerOn", static_cast<long>(ps.virtualSpeakerOn));
    line("speakerSpacingCm", ps.speakerSpacingCm);
    line("roomDistanceM", ps.roomDistanceM);
    line("reflectionPercent", ps.reflectionPercent);
    line("useOriginalFolder", static_cast<long>(e.useOriginalFolder));
    line("fileNameStringIsPostfix", static_cast<long>(e.fileNameStringIsPostfix));
    line("gateOn", static_cast<long>(ps.gateOn));
    for (int b = 0; b < kBandCount; ++b) bandLine("gateDb", b, p.bands[b].gateDb);
}

int showParams(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kShowHelp, stdout);
        return 0;
    }
    if (argc != 1) return usageError("show needs exactly one FILE (see 'loudara-cli params show --help')");
    if (argv[0][0] == '-') return usageError(std::string("unknown option '") + argv[0] + "'");
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
    int preset = 0;
    std::vector<std::pair<std::string, std::string>> sets;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--settings") {
            if (!value) return usageError("--settings needs a parameter FILE");
            settings = value;
            ++i;
        } else if (arg == "--preset") {
            if (!value) return usageError("--preset needs a command id");
            const std::string_view text = value;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), preset);
            if (ec != std::errc() || end != text.data() + text.size() ||
                (preset != 232 && (preset < 334 || preset > 343))) {
                std::string message = "unknown preset ";
                message += text;
                message += " (232 or 334..343)";
                return usageError(message);
            }
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
            std::string message = "unknown option '";
            message += arg;
            message += "'";
            return usageError(message);
        } else if (target.empty()) {
            target = arg;
        } else {
            return usageError("save takes one FILE (see 'loudara-cli params save --help')");
        }
    }
    if (target.empty()) return usageError("save needs the FILE to write (see 'loudara-cli params save --help')");

    State s;
    applyFirstStart(*s.p);
    bool shortFile = false;
    if (!settings.empty() && !loadForCli(s, settings.c_str(), shortFile)) return 1;
    if (preset != 0) selectPresetById(*s.p, preset);
    for (const auto& [name, value] : sets) {
        std::string error;
        if (!setField(s, name, value, error)) return usageError(error);
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
