#pragma once
// What a front end tells about a parameter file it loaded (LoadParameterFile,
// LoadParameterFileAt), in the same words wherever the file is loaded.

#include <string>
#include <vector>

#include "persistence/parameter_file.h"

namespace loudara {

// Why the file at `path` was not loaded, empty when it was:
//   NotOpened     "cannot read PATH: REASON" (CannotRead)
//   WrongMagic    "PATH is not a Loudara parameter file"
//   InvalidValue  "PATH is damaged: FIELD holds no number"
// In full, a wrong magic adds " (it does not begin with LDR0ERSP)" and a damaged file
// "; nothing was loaded".
enum class LoadTextDetail { Short, Full };
std::string ParameterLoadProblem(const ParameterLoadOutcome& outcome, const std::string& path,
                                 LoadTextDetail detail = LoadTextDetail::Short);

// What is worth knowing about a file that was loaded: a line for each value brought to its knob's
// limit, and one for a file shorter than a whole parameter file.
std::vector<std::string> ParameterLoadNotes(const ParameterLoadOutcome& outcome, const std::string& path);

}  // namespace loudara
