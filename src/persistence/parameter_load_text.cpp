#include "persistence/parameter_load_text.h"

#include "files/unreadable_file.h"

namespace loudara {

std::string ParameterLoadProblem(const ParameterLoadOutcome& outcome, const std::string& path, LoadTextDetail detail) {
    const bool full = detail == LoadTextDetail::Full;
    switch (outcome.status) {
        case ParameterLoadStatus::Loaded: return {};
        case ParameterLoadStatus::NotOpened: return CannotRead(path);
        case ParameterLoadStatus::WrongMagic:
            return path + " is not a Loudara parameter file" +
                   (full ? std::string(" (it does not begin with ") + kParameterFileMagic + ")" : "");
        case ParameterLoadStatus::InvalidValue:
            return path + " is damaged: " + outcome.invalidField + " holds no number" +
                   (full ? "; nothing was loaded" : "");
    }
    return {};
}

std::vector<std::string> ParameterLoadNotes(const ParameterLoadOutcome& outcome, const std::string& path) {
    std::vector<std::string> notes;
    if (outcome.status != ParameterLoadStatus::Loaded) return notes;
    for (const std::string& field : outcome.clampedFields) {
        notes.push_back(path + ": " + field + " was out of range and was brought to its limit");
    }
    if (outcome.fileBytes < kParameterFileBytes) {
        notes.push_back(path + " ends after " + std::to_string(outcome.fileBytes) + " of " +
                        std::to_string(kParameterFileBytes) +
                        " bytes (an older file); the fields past its end take the program's defaults");
    }
    return notes;
}

}  // namespace loudara
