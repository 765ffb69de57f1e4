#include "audio/sound_platform.h"

#include <algorithm>

namespace loudara {

namespace {
inline constexpr unsigned kListedPlaces = 8;
}

// The JACK client is made after PortAudio has started, so PortAudio's own JACK probe and ours
// never race for the server.
SoundPlatform::SoundPlatform(JackOptions jack) : portAudio_(true), jack_(std::move(jack)) {}

int SoundPlatform::jackId(WaveDirection direction) {
    if (jack_.deviceCount(direction) == 0) return -1;
    return static_cast<int>(std::min(portAudio_.deviceCount(direction), kListedPlaces - 1));
}

unsigned SoundPlatform::deviceCount(WaveDirection direction) {
    return portAudio_.deviceCount(direction) + jack_.deviceCount(direction);
}

bool SoundPlatform::deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) {
    const int jackAt = jackId(direction);
    if (jackAt < 0 || static_cast<int>(id) < jackAt) return portAudio_.deviceCaps(direction, id, caps);
    if (static_cast<int>(id) == jackAt) return jack_.deviceCaps(direction, 0, caps);
    return portAudio_.deviceCaps(direction, id - 1, caps);
}

WaveResult SoundPlatform::open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                               std::unique_ptr<WaveDevice>& device) {
    const int jackAt = jackId(direction);
    WaveResult result = kWaveOk;
    if (jackAt >= 0 && static_cast<int>(id) == jackAt) {
        result = jack_.open(direction, 0, sampleRate, notices, device);
    } else {
        const unsigned paId = jackAt >= 0 && static_cast<int>(id) > jackAt ? id - 1 : id;
        result = portAudio_.open(direction, paId, sampleRate, notices, device);
        if (result == kWaveOk && direction == WaveDirection::Input) jack_.noteInputOpened();
    }
    return result;
}

uint32_t SoundPlatform::deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) {
    const int jackAt = jackId(direction);
    if (jackAt >= 0 && static_cast<int>(id) == jackAt) return jack_.deviceRate(direction, 0, wanted);
    const unsigned paId = jackAt >= 0 && static_cast<int>(id) > jackAt ? id - 1 : id;
    return portAudio_.deviceRate(direction, paId, wanted);
}

std::string SoundPlatform::errorText(WaveResult result) {
    if (result >= kWaveJackFirst && result <= kWaveJackLast) return jack_.errorText(result);
    return portAudio_.errorText(result);
}

}  // namespace loudara
