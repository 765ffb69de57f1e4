#pragma once
// The program's sound devices: PortAudio's, as it lists them, followed by Loudara's own JACK
// client when a JACK server answers. The engine lists the first eight identifiers, so when
// PortAudio alone has eight or more devices the JACK device takes the eighth place.

#include <memory>

#include "audio/jack_device.h"
#include "audio/portaudio_device.h"

namespace loudara {

class SoundPlatform : public WavePlatform {
public:
    // Starts PortAudio (quietly) and looks for a JACK server.
    explicit SoundPlatform(JackOptions jack = {});

    PortAudioPlatform& portAudio() { return portAudio_; }
    JackPlatform& jack() { return jack_; }

    // The platform identifier of the JACK device in `direction`, or -1 when there is none.
    int jackId(WaveDirection direction);

    unsigned deviceCount(WaveDirection direction) override;
    bool deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) override;
    WaveResult open(WaveDirection direction, unsigned id, uint32_t sampleRate, NoticeChannel& notices,
                    std::unique_ptr<WaveDevice>& device) override;
    std::string errorText(WaveResult result) override;
    uint32_t deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) override;

private:
    PortAudioPlatform portAudio_;
    JackPlatform jack_;
};

}  // namespace loudara
