#include "audio/portaudio_device.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace loudara {

namespace {

inline constexpr int kChannels = 2;

// stderr sent to /dev/null for the life of the object.
class SilencedStderr {
public:
    explicit SilencedStderr(bool active) {
        if (!active) return;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~SilencedStderr() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;

private:
    int saved_ = -1;
};

// The name cut to 31 bytes without splitting a UTF-8 character.
void copyName(const char* name, char (&out)[32]) {
    std::memset(out, 0, sizeof out);
    if (!name) return;
    std::size_t n = std::strlen(name);
    if (n > sizeof out - 1) {
        n = sizeof out - 1;
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(out, name, n);
}

PaStreamParameters streamParameters(int paIndex, WaveDirection direction) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paIndex);
    PaStreamParameters p{};
    p.device = paIndex;
    p.channelCount = kChannels;
    p.sampleFormat = paInt16;
    // The blocks already give 0.19 s or more of queue; the device's safer latency costs nothing.
    p.suggestedLatency = info ? (direction == WaveDirection::Output ? info->defaultHighOutputLatency
                                                                    : info->defaultHighInputLatency)
                              : 0.1;
    p.hostApiSpecificStreamInfo = nullptr;
    return p;
}

class PortAudioDevice : public QueuedWaveDevice {
public:
    PortAudioDevice(WaveDirection direction, NoticeChannel& notices) : QueuedWaveDevice(direction, notices) {}
    ~PortAudioDevice() override {
        if (!stream_) return;
        Pa_AbortStream(stream_);
        Pa_CloseStream(stream_);
    }

    WaveResult openStream(int paIndex, uint32_t sampleRate) {
        const PaStreamParameters params = streamParameters(paIndex, direction());
        const bool output = direction() == WaveDirection::Output;
        return Pa_OpenStream(&stream_, output ? nullptr : &params, output ? &params : nullptr, sampleRate,
                             paFramesPerBufferUnspecified, paNoFlag, &PortAudioDevice::callback, this);
    }

protected:
    WaveResult startStream() override { return Pa_StartStream(stream_); }
    WaveResult stopStream() override { return Pa_AbortStream(stream_); }
    WaveResult closeStream() override {
        const PaError error = Pa_CloseStream(stream_);
        stream_ = nullptr;
        return error;
    }

private:
    // The audio thread: bytes in and out of the queued blocks, nothing else.
    static int callback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user) {
        auto* device = static_cast<PortAudioDevice*>(user);
        const std::size_t bytes = frames * kChannels * sizeof(int16_t);
        if (output) {
            if (flags & paOutputUnderflow) device->noteHostUnderflow();
            device->render(static_cast<uint8_t*>(output), bytes);
        }
        if (device->direction() == WaveDirection::Input) {
            if (flags & paInputOverflow) device->noteHostOverflow();
            device->capture(static_cast<const uint8_t*>(input), bytes);
        }
        return paContinue;
    }

    PaStream* stream_ = nullptr;
};

}  // namespace

PortAudioPlatform::PortAudioPlatform(bool quietProbe) {
    SilencedStderr quiet(quietProbe);
    const PaError error = Pa_Initialize();
    if (error != paNoError) {
        initError_ = Pa_GetErrorText(error);
        return;
    }
    initialized_ = true;
    const int count = Pa_GetDeviceCount();
    for (WaveDirection direction : {WaveDirection::Output, WaveDirection::Input}) {
        const bool output = direction == WaveDirection::Output;
        auto channels = [output](int index) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
            return info ? (output ? info->maxOutputChannels : info->maxInputChannels) : 0;
        };
        std::vector<Listed>& devices = list(direction);
        const PaDeviceIndex preferred = output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
        if (preferred >= 0 && channels(preferred) > 0) devices.push_back({preferred, false, {}});
        for (int i = 0; i < count; ++i) {
            if (i != preferred && channels(i) > 0) devices.push_back({i, false, {}});
        }
        for (Listed& device : devices) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(device.paIndex);
            if (!info) continue;
            device.queried = true;
            copyName(info->name, device.caps.name);
            // Stereo 16-bit at 44.1 kHz, or at the device's own rate (streams then run at that
            // rate: deviceRate).
            const PaStreamParameters params = streamParameters(device.paIndex, direction);
            for (const double rate : {44100.0, info->defaultSampleRate}) {
                if (rate > 0 && Pa_IsFormatSupported(output ? nullptr : &params, output ? &params : nullptr, rate) ==
                                    paFormatIsSupported) {
                    device.caps.formats |= kWaveFormat4S16;
                }
            }
        }
    }
}

PortAudioPlatform::~PortAudioPlatform() {
    if (initialized_) Pa_Terminate();
}

unsigned PortAudioPlatform::deviceCount(WaveDirection direction) {
    return static_cast<unsigned>(list(direction).size());
}

bool PortAudioPlatform::deviceCaps(WaveDirection direction, unsigned id, WaveDeviceCaps& caps) {
    const std::vector<Listed>& devices = list(direction);
    if (id >= devices.size() || !devices[id].queried) return false;
    caps = devices[id].caps;
    return true;
}

WaveResult PortAudioPlatform::open(WaveDirection direction, unsigned id, uint32_t sampleRate,
                                   NoticeChannel& notices, std::unique_ptr<WaveDevice>& device) {
    device.reset();
    const std::vector<Listed>& devices = list(direction);
    if (id >= devices.size()) return kWaveBadDevice;
    auto opened = std::make_unique<PortAudioDevice>(direction, notices);
    const WaveResult error = opened->openStream(devices[id].paIndex, sampleRate);
    if (error != paNoError) return error;
    device = std::move(opened);
    return kWaveOk;
}

uint32_t PortAudioPlatform::deviceRate(WaveDirection direction, unsigned id, uint32_t wanted) {
    const std::vector<Listed>& devices = list(direction);
    if (id >= devices.size()) return wanted;
    const bool output = direction == WaveDirection::Output;
    const PaStreamParameters params = streamParameters(devices[id].paIndex, direction);
    if (Pa_IsFormatSupported(output ? nullptr : &params, output ? &params : nullptr, wanted) == paFormatIsSupported) {
        return wanted;
    }
    const PaDeviceInfo* info = Pa_GetDeviceInfo(devices[id].paIndex);
    if (!info || !(info->defaultSampleRate > 0)) return wanted;
    return static_cast<uint32_t>(std::lround(info->defaultSampleRate));
}

std::string PortAudioPlatform::errorText(WaveResult result) {
    if (result >= 0) return WaveErrorText(result);
    std::string text = Pa_GetErrorText(result);
    if (result == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host && host->errorText && host->errorText[0]) {
            text += ": ";
            text += host->errorText;
        }
    }
    return text;
}

std::string PortAudioPlatform::hostApiName(WaveDirection direction, unsigned id) const {
    const std::vector<Listed>& devices = list(direction);
    if (id >= devices.size()) return "";
    const PaDeviceInfo* info = Pa_GetDeviceInfo(devices[id].paIndex);
    const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    return api && api->name ? api->name : "";
}

}  // namespace loudara
