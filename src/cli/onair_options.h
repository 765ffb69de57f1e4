#pragma once
// What `loudara-cli onair` reads besides its plain options: options given as one text (the form a
// systemd environment file can hold, with quoted values that keep their blanks) and the Icecast
// source password, which never comes from the command line.

#include <string>
#include <vector>

namespace loudara::cli {

inline constexpr const char* kIcecastPasswordVariable = "LOUDARA_ICECAST_PASSWORD";

// Splits `text` into arguments as a shell splits a simple command line: blanks separate them,
// double or single quotes group blanks into one (the quotes are removed), and a backslash outside
// single quotes takes the next character as it is. False with `error` for a quote left open.
bool SplitOptionsText(const std::string& text, std::vector<std::string>& words, std::string& error);

// The arguments with every "--options TEXT" replaced by the arguments TEXT holds (in the form the
// option loops read, as NormalizeArguments gives it). False with `error` when a text cannot be
// split or names --options again.
bool ExpandOptionsTexts(const std::vector<std::string>& arguments, std::vector<std::string>& expanded,
                        std::string& error);

// The Icecast source password: the first line of `file` when one is given (a regular file that only
// its owner may read or write), else the variable LOUDARA_ICECAST_PASSWORD. The variable is taken
// out of the environment either way, so that no program the service starts inherits it. False with
// `error` when there is none, or the file is refused.
bool ReadIcecastPassword(const std::string& file, std::string& password, std::string& error);

}  // namespace loudara::cli
