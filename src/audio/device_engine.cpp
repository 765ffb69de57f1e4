#include "audio/device_engine.h"

#include <cstring>
#include <new>
#include <string>

namespace loudara {

namespace {

int enumerate(DeviceEngine& engine, WaveDirection direction, DeviceEntry (&entries)[kMaxListedDevices],
              uint16_t& count, uint16_t& selection) {
    const unsigned available = engine.platform->deviceCount(direction);
    count = 0;
    for (unsigned id = 0; id < available && id < kMaxListedDevices; ++id) {
        WaveDeviceCaps caps;
        if (!engine.platform->deviceCaps(direction, id, caps)) continue;
        DeviceEntry& entry = entries[count++];
        std::memset(entry.name, 0, sizeof entry.name);
        std::memcpy(entry.name, caps.name, sizeof entry.name - 1);
        entry.id = id;
    }
    if (selection >= count) selection = 0;
    return count;
}

SoundBlock* newBlock() {
    SoundBlock* block = new (std::nothrow) SoundBlock;
    if (!block) return nullptr;
    block->data = new (std::nothrow) uint8_t[kSoundBlockBytes]();
    if (!block->data) {
        delete block;
        return nullptr;
    }
    block->bufferLength = kSoundBlockBytes;
    return block;
}

void deleteBlock(SoundBlock*& block) {
    if (!block) return;
    delete[] block->data;
    delete block;
    block = nullptr;
}

// The device of list entry `selection`, opened when its query succeeds and it takes 44.1 kHz
// stereo 16-bit (whatever the stream's rate).
enum class OpenOutcome { Opened, Refused, Failed };

OpenOutcome openListed(DeviceEngine& engine, WaveDirection direction, const DeviceEntry* entries, uint16_t count,
                       uint16_t selection, std::unique_ptr<WaveDevice>& device, WaveResult& error) {
    device.reset();
    if (selection >= count) return OpenOutcome::Refused;
    WaveDeviceCaps caps;
    const uint32_t id = entries[selection].id;
    if (!engine.platform->deviceCaps(direction, id, caps) || (caps.formats & kWaveFormat4S16) == 0) {
        return OpenOutcome::Refused;
    }
    error = engine.platform->open(direction, id, engine.sampleRate, engine.notices, device);
    if (error != kWaveOk || !device) {
        device.reset();
        if (error == kWaveOk) error = kWaveNoMemory;
        return OpenOutcome::Failed;
    }
    return OpenOutcome::Opened;
}

}  // namespace

DeviceEngine::~DeviceEngine() { CloseDevices(*this); }

void InitDeviceEngine(DeviceEngine& engine) {
    engine.sampleRate = 44100;
    engine.bitsPerSample = 16;
    engine.channels = 2;
    for (int i = 0; i < kMaxSoundBlocks; ++i) {
        if (i >= engine.allocatedBlocks) engine.inputBlocks[i] = engine.outputBlocks[i] = nullptr;
    }
    engine.input.reset();
    engine.output.reset();
    engine.playPosition = 0;
    engine.songPath[0] = '\0';
    engine.songFile.reset();
    engine.mp3Open = false;
    engine.sound.reset();
    engine.soundOpen = false;
}

int EnumerateOutputDevices(DeviceEngine& engine, DeviceChoice& devices) {
    return enumerate(engine, WaveDirection::Output, engine.outputDevices, engine.outputCount,
                     devices.selectedOutputDevice);
}

int EnumerateInputDevices(DeviceEngine& engine, DeviceChoice& devices) {
    return enumerate(engine, WaveDirection::Input, engine.inputDevices, engine.inputCount, devices.selectedInputDevice);
}

void StartDeviceEngine(DeviceEngine& engine, DeviceChoice& devices, Host& host) {
    InitDeviceEngine(engine);
    engine.sampleRate = 44100;
    engine.outputCount = engine.inputCount = 0;
    if (EnumerateOutputDevices(engine, devices) == 0) {
        host.showMessage(kNoOutputDeviceText, "Loudara", MessageIcon::Exclamation);
    }
    if (EnumerateInputDevices(engine, devices) == 0) {
        host.showMessage(kNoInputDeviceText, "Loudara", MessageIcon::Exclamation);
    }
}

uint32_t StreamRateFor(const DeviceEngine& engine, const DeviceChoice& devices, uint32_t wanted) {
    if (devices.selectedOutputDevice >= engine.outputCount) return wanted;
    const uint32_t id = engine.outputDevices[devices.selectedOutputDevice].id;
    const uint32_t rate = engine.platform->deviceRate(WaveDirection::Output, id, wanted);
    return rate == 32000 || rate == 44100 || rate == 48000 ? rate : wanted;
}

bool OpenDevices(DeviceEngine& engine, const DeviceChoice& devices, bool onAirMode, Host& host) {
    WaveResult error = kWaveOk;
    if (onAirMode) {
        const OpenOutcome in = openListed(engine, WaveDirection::Input, engine.inputDevices, engine.inputCount,
                                          devices.selectedInputDevice, engine.input, error);
        if (in == OpenOutcome::Failed) {
            // The platform's text alone, in a box of no caption and no icon.
            host.showMessage(engine.platform->errorText(error), "", MessageIcon::None);
        }
        if (in != OpenOutcome::Opened) return false;
    }
    ClearInputRing(engine, devices.blockCount, onAirMode);
    const OpenOutcome out = openListed(engine, WaveDirection::Output, engine.outputDevices, engine.outputCount,
                                       devices.selectedOutputDevice, engine.output, error);
    if (out == OpenOutcome::Failed) {
        std::string text = engine.platform->errorText(error);
        text += '\n';
        text += engine.outputDevices[devices.selectedOutputDevice].name;
        host.showMessage(text, "", MessageIcon::None);
    }
    return out == OpenOutcome::Opened;
}

bool AllocateBlocks(DeviceEngine& engine, int32_t blockCount, bool onAirMode) {
    FreeBlocks(engine);
    const int count = clampBlockCount(blockCount);
    engine.allocatedInputBlocks = onAirMode;
    for (int i = 0; i < count; ++i) {
        if (onAirMode) {
            engine.inputBlocks[i] = newBlock();
            if (!engine.inputBlocks[i]) return false;
        }
        engine.allocatedBlocks = i + 1;
        engine.outputBlocks[i] = newBlock();
        if (!engine.outputBlocks[i]) return false;
    }
    return true;
}

void FreeBlocks(DeviceEngine& engine) {
    for (int i = 0; i < engine.allocatedBlocks; ++i) {
        deleteBlock(engine.inputBlocks[i]);
        deleteBlock(engine.outputBlocks[i]);
    }
    engine.allocatedBlocks = 0;
    engine.allocatedInputBlocks = false;
}

void ClearInputRing(DeviceEngine& engine, int32_t blockCount, bool onAirMode) {
    if (!onAirMode) return;
    for (int i = 0; i < clampBlockCount(blockCount); ++i) std::memset(engine.inputRing[i], 0, kInputRingSlotBytes);
}

void CloseDevices(DeviceEngine& engine) {
    if (engine.realtime) {
        if (engine.output) engine.output->runChain(nullptr);
        engine.realtime.reset();
    }
    if (engine.input) {
        engine.closedInputCounters = engine.input->counters();
        engine.input->stop();
        engine.input->reset();
        for (int i = 0; i < engine.allocatedBlocks; ++i) {
            if (engine.inputBlocks[i]) engine.input->unprepare(*engine.inputBlocks[i]);
        }
        engine.input->close();
        engine.input.reset();
        engine.notices.discard(WaveDirection::Input);
    }
    if (engine.output) {
        engine.closedOutputCounters = engine.output->counters();
        engine.output->reset();
        for (int i = 0; i < engine.allocatedBlocks; ++i) {
            if (!engine.outputBlocks[i]) continue;
            engine.output->unprepare(*engine.outputBlocks[i]);
            engine.outputBlocks[i]->flags.store(0, std::memory_order_relaxed);
        }
        engine.output->close();
        engine.output.reset();
        engine.notices.discard(WaveDirection::Output);
    }
    FreeBlocks(engine);
}

}  // namespace loudara
