#pragma once
// What every loudara-cli command shares: option reading, usage errors and the starting state.

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "processor/processor.h"

namespace loudara::cli {

// True when --help or -h is among the arguments.
bool wantsHelp(int argc, char** argv);

// Prints "loudara-cli COMMAND: MESSAGE" on stderr and returns the usage-error status, 2.
int usageError(const char* command, const std::string& message);

// "unknown option 'OPTION'", with "; did you mean --NAME?" when one of the options that the
// command's help text names is near it.
std::string UnknownOptionText(std::string_view option, std::string_view help);

// The command id of --preset's value, an id or a name; 0 with `error` saying why for any other.
int PresetFromOption(std::string_view text, std::string& error);

// The refusal of a --bitrate that MPEG-1 Layer III does not have.
inline constexpr const char* kBitrateNeeded =
    "--bitrate needs an MP3 bit rate: 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256 or 320";

// --set's NAME=VALUE with a number for VALUE; false (nothing stored) for any other text.
bool ParseSetOption(const char* text, std::vector<std::pair<std::string, double>>& sets);

// Whole-text numbers: trailing characters or an empty text are refused.
bool parseNumber(std::string_view text, double& value);
bool parseInteger(std::string_view text, int& value);

// A processor as a first start of the program leaves it before its current-settings file is read
// (applyFirstStart).
std::unique_ptr<Processor> firstStartProcessor();

}  // namespace loudara::cli

namespace loudara::cli {

// The arguments after the command word, rewritten into the one form the commands' own option
// loops read: "--name=value" becomes "--name" "value"; "-q" becomes "--quiet"; "--" ends the
// options: it is dropped, and a later argument that starts with '-' (other than "-" itself) gets
// "./" in front, so it is read as the file it names. The values of options that take one are
// left as they are.
std::vector<std::string> NormalizeArguments(int argc, char** argv);

}  // namespace loudara::cli
