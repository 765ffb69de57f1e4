#include "cli/cli_support.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "processor/parameter_names.h"

namespace loudara::cli {

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

std::string UnknownOptionText(std::string_view option, std::string_view help) {
    std::string text = "unknown option '" + std::string(option) + "'";
    // The options the help text names (without their dashes): every "--" followed by letters,
    // digits and dashes.
    std::vector<std::string_view> named;
    for (std::size_t at = help.find("--"); at != std::string_view::npos; at = help.find("--", at + 2)) {
        std::size_t end = at + 2;
        while (end < help.size() && (std::isalnum(static_cast<unsigned char>(help[end])) || help[end] == '-')) ++end;
        if (end > at + 2) named.push_back(help.substr(at + 2, end - at - 2));
        at = end - 2;
    }
    if (!option.starts_with("--")) return text;
    if (const std::string_view nearest = nearestName(option.substr(2), named); !nearest.empty()) {
        text += "; did you mean --" + std::string(nearest) + "?";
    }
    return text;
}

int PresetFromOption(std::string_view text, std::string& error) {
    if (const int id = builtinPresetId(text)) return id;
    error = "unknown preset '" + std::string(text) + "': give its id (232, 334..343) or its name, as 'loudara-cli presets' lists them";
    std::vector<std::string_view> names;
    for (const BuiltinPreset& preset : builtinPresets()) names.emplace_back(preset.name);
    if (const std::string_view nearest = nearestName(text, names); !nearest.empty()) {
        error += "; did you mean " + std::string(nearest) + "?";
    }
    return 0;
}

bool ParseSetOption(const char* text, std::vector<std::pair<std::string, double>>& sets) {
    const std::string_view set = text ? text : "";
    const size_t eq = set.find('=');
    double number = 0;
    if (eq == std::string_view::npos || !parseNumber(set.substr(eq + 1), number)) return false;
    sets.emplace_back(std::string(set.substr(0, eq)), number);
    return true;
}

bool parseNumber(std::string_view text, double& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseInteger(std::string_view text, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    return p;
}

}  // namespace loudara::cli

namespace loudara::cli {
namespace {

// Options of any command that take the next argument as their value.
constexpr std::string_view kValueOptions[] = {
    "--settings", "--params", "--preset", "--set", "--throttle", "--format", "--bitrate",
    "--album-prefix", "--title-prefix", "--external-encoder", "--encoder-params", "--output", "--input",
    "--rate", "--blocks", "--seconds", "--output-dir", "--jobs", "-j", "--device", "--jack-name",
    "--connect-input", "--connect-output", "--status-interval", "--status-file", "--icecast", "--stream-name",
    "--stream-description", "--loudness-target", "--true-peak-limit", "--report", "--silence-threshold",
    "--silence-seconds", "--on-silence", "--on-silence-end", "--silence-fallback", "--icecast-password-file",
    "--options",
};

bool takesValue(std::string_view option) {
    for (std::string_view known : kValueOptions) {
        if (option == known) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> NormalizeArguments(int argc, char** argv) {
    std::vector<std::string> out;
    bool operands = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (operands) {
            out.emplace_back(arg.size() > 1 && arg[0] == '-' ? "./" + std::string(arg) : std::string(arg));
        } else if (arg == "--") {
            operands = true;
        } else if (arg == "-q") {
            out.emplace_back("--quiet");
        } else if (arg.size() > 2 && arg.substr(0, 2) == "--" && arg.find('=') != std::string_view::npos) {
            const size_t eq = arg.find('=');
            out.emplace_back(arg.substr(0, eq));
            out.emplace_back(arg.substr(eq + 1));
        } else {
            out.emplace_back(arg);
            if (takesValue(arg) && i + 1 < argc) out.emplace_back(argv[++i]);
        }
    }
    return out;
}

}  // namespace loudara::cli
