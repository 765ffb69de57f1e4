#pragma once
// The sound devices the user chose and how ON-AIR runs on them; kept in the parameter file,
// used by the device engine.

#include <cstdint>

namespace loudara {

struct DeviceChoice {
    uint16_t selectedOutputDevice = 0;
    uint16_t selectedInputDevice = 0;
    uint16_t onAirRateChoice = 1;  // 0 = 32000, 1 = 44100, 2 = 48000 samples per second
    int32_t startOnAirAtBoot = 0;
    int32_t blockCount = 4;        // sound buffer blocks, 2..8
};

}  // namespace loudara
