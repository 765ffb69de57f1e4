#pragma once
// The sound devices of the program: PortAudio's, as WavePlatform.
//
// Devices of a direction are those with channels in it: the host's default device of that
// direction first, then the others in PortAudio's order; the position in that order is the
// identifier. A device takes "44.1 kHz stereo 16-bit" when PortAudio says it supports stereo
// 16-bit at 44.1 kHz or at the device's default rate (a stream it does not take at the song's
// rate runs at that default rate, see deviceRate). Each open device is one PortAudio stream of its own, stopped until the first block is
// queued (output) or start() (input); its callback only moves bytes between the stream and the
// queued blocks (QueuedWaveDevice::render/capture).

#include <string>
#include <vector>

#include "audio/wave_device.h"

namespace loudara {

class PortAudioPlatform : public WavePlatform {
public:
    // Initialises PortAudio and queries every device once. The sound systems' own complaints
    // while they look for hardware go to stderr unless `quietProbe`.
    explicit PortAudioPlatform(bool quietProbe = true);
    ~PortAudioPlatform() override;
    PortAudioPlatform(const PortAudioPlatform&) = delete;
    PortAudioPlatform& operator=(const PortAudioPlatform&) = delete;

    // False when PortAudio could not start; initError() says why. There are no devices then.
    bool initialized() const { return initialized_; }
    const std::string& initError() const { return initError_; }

    unsigned deviceCount(WaveDirection direction) override;
    bool deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) override;
    WaveResult open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                    std::unique_ptr<WaveDevice>& device) override;
    std::string errorText(WaveResult result) override;
    // `wanted` when PortAudio says the device takes 16-bit stereo at that rate, else the device's
    // default rate (rounded to whole Hz).
    uint32_t deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) override;

    // The host API's name of a device ("ALSA", "JACK Audio Connection Kit"), "" for a bad id.
    std::string hostApiName(WaveDirection direction, unsigned id) const;

private:
    struct Listed {
        int paIndex;
        bool queried;
        WaveDeviceCaps caps;
    };
    std::vector<Listed>& list(WaveDirection direction) {
        return direction == WaveDirection::Output ? outputs_ : inputs_;
    }
    const std::vector<Listed>& list(WaveDirection direction) const {
        return direction == WaveDirection::Output ? outputs_ : inputs_;
    }

    bool initialized_ = false;
    std::string initError_;
    std::vector<Listed> outputs_, inputs_;
};

}  // namespace loudara
