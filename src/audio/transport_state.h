#pragma once
// The transport's own state: what the streaming logic reads and moves, and what the window's
// commands and the panel look at.

#include <cstdint>

#include "base/play_state.h"

namespace loudara {

struct TransportState {
    PlayState playState = PlayState::Stopped;
    int32_t continuousPlayback = 1;
    int32_t noAdvanceOnce = 0;  // the next song does not follow the one that ends (Stop)
    int32_t onAirMode = 0;
    int32_t seekSteps = 5;
    int32_t seekActive = 0;
};

}  // namespace loudara
