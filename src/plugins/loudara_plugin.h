#pragma once
// One running instance of the plugin: its own processor at the host's rate, fed through the
// chain's float entry. The host's control values are read at the start of each run and applied
// as the program applies a knob: the preset control applies its preset; a parameter control
// takes effect once it leaves the value the host started it at (so a preset is not overwritten
// by controls nobody touched), and from then on at every change.

#include <memory>
#include <vector>

#include "plugins/plugin_controls.h"
#include "processor/parameter_image.h"
#include "processor/processor.h"

namespace loudara::plugin {

class LoudaraPlugin {
public:
    // The most frames the chain takes in one call; a longer run is split.
    static constexpr int kChunkFrames = 4096;

    // `startValues` holds, per control, the value a host gives a control nobody touched (LADSPA
    // hosts compute it from a hint and cannot give every default exactly).
    LoudaraPlugin(int sampleRate, std::vector<float> startValues);

    // Connects the audio and control ports (kInputLeft ... kFirstControlPort + n).
    void connect(uint32_t port, float* data);
    // Before a stream: the next run starts it from silence.
    void activate();
    void run(uint32_t frames);

    Processor& processor() { return *p_; }
    int latencyFrames() const { return chainLatencyFrames(*p_); }
    int sampleRate() const { return rate_; }

    // The instance's sound parameters now, as a parameter file's reading starts from them.
    SoundParameterRows settings() const;
    // Takes a parameter file's values (in the audio thread, between runs, or when no run can
    // happen): the controls that were moved stay on top of them, as on top of a preset.
    void replaceSettings(const SoundParameterRows& loaded);

private:
    void applyControls();
    void applyParameter(const Control& c, float value);

    std::unique_ptr<Processor> p_;
    int rate_;
    std::vector<float> startValues_;
    std::vector<float> applied_;  // the value each control had at the last run
    std::vector<float*> ports_;
    std::vector<float> interleaved_;
    bool starting_ = true;  // no run since activate
    bool ranBefore_ = false;
};

}  // namespace loudara::plugin
