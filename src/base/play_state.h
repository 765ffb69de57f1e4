#pragma once
// The transport state of the one sound stream.

#include <cstdint>

namespace loudara {

enum class PlayState : uint16_t { Stopped = 0, Playing = 1, Draining = 3, Finished = 4 };

}  // namespace loudara
