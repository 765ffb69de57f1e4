#pragma once
// What the remote control's requests and answers hold, apart from the server that carries them:
// the parameters by their script names with their ranges, a set of changes checked as a whole
// before any is applied, the presets, the names a user file may have, the live meters and the
// Prometheus text.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio/onair_service.h"
#include "audio/onair_status.h"
#include "processor/processor.h"

namespace loudara {

// The panel's group a parameter belongs to ("Bands", "AGC", "Stereo", "Clippers", "EQ and
// filters", "Virtual speaker", "Switches").
const char* ParameterGroup(std::string_view name);

// Every parameter: name (name[band] for the bands' own), title, group, unit, min, max, step,
// kind ("number", "choice" or "switch") and value.
nlohmann::json ParametersJson(const Processor& p);

// Checks every "name": value of `changes` against the parameter table (a known name and band, a
// number, within the knob's range, a whole number for a choice and 0/1 or true/false for a
// switch); when all pass, applies them together and brings the chain up to date. False with
// `error` naming the first that fails, and nothing changed. `applied` gets a line for each
// change ("driveDb[2] 4 -> 6").
bool ApplyParameterChanges(Processor& p, const nlohmann::json& changes, std::vector<std::string>& applied,
                           std::string& error);

// The built-in presets (id, name, group, title) and the user's parameter files in `userFolder`
// (the names without ".ld3").
nlohmann::json PresetsJson(const std::string& userFolder);

// A name a user parameter file may have: 1 to 64 letters, digits, spaces, '-', '_' or '.',
// neither starting with '.' nor ending in a space. False with `error` otherwise.
bool ValidUserFileName(const std::string& name, std::string& error);

// The meters as the page's events carry them (numbers without value are null).
std::string MetersJson(const OnAirMeters& meters);

// Everything the service counts and measures, in the Prometheus text format.
struct MetricsExtras {
    uint64_t remoteChanges = 0;  // changes made through the remote control
    uint64_t eventClients = 0;   // pages following the live meters now
};
std::string MetricsText(const OnAirStatus& status, const MetricsExtras& extras);

}  // namespace loudara
