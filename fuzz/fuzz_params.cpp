// Parameter files, read as the current-settings file and as a user file. Whatever a file holds,
// a loaded parameter set stays within its knobs and the chain keeps producing sound.

#include <cmath>
#include <memory>

#include "base/host.h"
#include "fuzz_input.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_names.h"
#include "recording_host.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input("ld3");
    static const std::unique_ptr<Processor> fresh = [] {
        auto p = std::make_unique<Processor>();
        selectPresetById(*p, 232);
        prepareForSong(*p, 44100);
        return p;
    }();
    static auto p = std::make_unique<Processor>();
    const std::string& path = input.hold(data, size);
    RecordingHost host;
    for (bool currentSettings : {true, false}) {
        *p = *fresh;
        StoredSettings stored;
        const ParameterLoadOutcome outcome = LoadParameterFileAt(*p, stored, path, currentSettings, host);
        if (outcome.status != ParameterLoadStatus::Loaded) continue;
        for (const ParameterInfo& info : soundParameters()) {
            for (int b = 0; b < (info.perBand ? kBandCount : 1); ++b) {
                const double v = parameterValue(*p, info, b);
                if (!(v >= info.minValue && v <= info.maxValue)) __builtin_trap();
            }
        }
        if (stored.blockCount < 2 || stored.blockCount > 8 || stored.onAirRateChoice > 2) __builtin_trap();
        if (stored.exportOptions.mp3Bitrate < 1 || stored.exportOptions.mp3Bitrate > 320) __builtin_trap();
    }
    // One short block through the chain with the last set: a value the loader let through must
    // not stop the sound (full scale on every sample).
    int16_t block[512];
    for (int i = 0; i < 512; ++i) block[i] = static_cast<int16_t>((i * 2654435761u) >> 20);
    processBlock(*p, 512, block, block);
    return 0;
}
