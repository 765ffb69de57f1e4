#pragma once
// The sound parameters of a user parameter file (".ld3"), read from its bytes: what the plugins
// load without the persistence floor. The rules are the parameter file's (see
// src/persistence/parameter_file.h): the magic first; each sound parameter at its offset, one the
// file is too short for taking its stated value or keeping the current one; the corrections of
// older files; a value that is no number refuses the whole file, one outside its knob's range is
// brought to the nearest limit. The current-settings file's own fields (gates) are not read.

#include <cstdint>

#include "params.h"

namespace loudara {

inline constexpr int kParameterImageBytes = 1899;
inline constexpr char kParameterImageMagic[9] = "LDR0ERSP";

// The rows a parameter file sets; parameterValue and setParameterValue work on it.
struct SoundParameterRows {
    BandSettings bands[kBandCount];
    ProcessorParams params;
    ProcessorSettings settings;
};

enum class ParameterImageStatus { Loaded, WrongMagic, InvalidValue };

// Reads the first `length` bytes of a file (at most kParameterImageBytes are looked at) into
// `rows`, which hold the current values. `rows` changes only when the result is Loaded.
ParameterImageStatus readSoundParameterImage(const uint8_t* image, int length, SoundParameterRows& rows);

}  // namespace loudara
