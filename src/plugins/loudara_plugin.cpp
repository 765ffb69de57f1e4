#include "plugins/loudara_plugin.h"

#include <algorithm>
#include <cmath>

namespace loudara::plugin {

namespace {

// The recomputation a parameter needs after a change, as the panel does after a knob.
enum class Recompute { None, Envelopes, BassEq, FinalLowpass };

Recompute recomputeFor(const ParameterInfo& info) {
    if (info.paramField == &ProcessorParams::bandReleaseTime || info.paramField == &ProcessorParams::bandAttackTime) {
        return Recompute::Envelopes;
    }
    if (info.settingField == &ProcessorSettings::bassEqFreqHz || info.settingField == &ProcessorSettings::bassEqGainDb ||
        info.settingField == &ProcessorSettings::bassEqQ) {
        return Recompute::BassEq;
    }
    if (info.settingField == &ProcessorSettings::finalLowpass) return Recompute::FinalLowpass;
    return Recompute::None;
}

// While the sound runs, new tables are retuned into the filters, keeping their state, so that a
// control moved in the host does not click; before the first run they are installed afresh.
void recompute(Processor& p, Recompute what, bool running) {
    switch (what) {
        case Recompute::Envelopes: running ? retuneEnvelopeTimes(p) : selectEnvelopeTimes(p); break;
        case Recompute::BassEq: running ? retuneBassEq(p) : designBassEq(p); break;
        case Recompute::FinalLowpass: running ? retuneFinalLowpass(p) : selectFinalLowpass(p); break;
        case Recompute::None: break;
    }
}

// Hosts compute a hinted start value in single or double precision: a control within a
// millionth of it is untouched.
bool untouched(float value, float start) {
    return std::fabs(value - start) <= 1e-6f * std::max(1.0f, std::fabs(start));
}

}  // namespace

LoudaraPlugin::LoudaraPlugin(int sampleRate, std::vector<float> startValues)
    : p_(std::make_unique<Processor>()),
      rate_(sampleRate),
      startValues_(std::move(startValues)),
      applied_(startValues_),
      ports_(portCount(), nullptr),
      interleaved_(2 * kChunkFrames) {
    applyFirstStart(*p_);
    applyParameterChanges(*p_);
}

void LoudaraPlugin::connect(uint32_t port, float* data) {
    if (port < ports_.size()) ports_[port] = data;
}

void LoudaraPlugin::activate() {
    if (ranBefore_) reset(*p_);
    starting_ = true;
}

SoundParameterRows LoudaraPlugin::settings() const {
    SoundParameterRows rows;
    std::copy(std::begin(p_->bands), std::end(p_->bands), std::begin(rows.bands));
    rows.params = p_->params;
    rows.settings = p_->settings;
    return rows;
}

void LoudaraPlugin::replaceSettings(const SoundParameterRows& loaded) {
    std::copy(std::begin(loaded.bands), std::end(loaded.bands), std::begin(p_->bands));
    p_->params = loaded.params;
    p_->settings = loaded.settings;
    applyParameterChanges(*p_);
    // Controls that were moved keep their values over the file's.
    const auto list = controls();
    for (size_t i = 1; i < list.size(); ++i) {
        if (!untouched(applied_[i], startValues_[i])) applyParameter(list[i], applied_[i]);
    }
}

void LoudaraPlugin::applyParameter(const Control& c, float value) {
    double v = std::clamp(static_cast<double>(value), c.minValue, c.maxValue);
    if (c.isInteger) v = std::round(v);
    setParameterValue(*p_, *c.parameter, c.band, v);
    recompute(*p_, recomputeFor(*c.parameter), ranBefore_ && !starting_);
}

void LoudaraPlugin::applyControls() {
    const auto list = controls();
    // The preset first: it rewrites the parameters, and the controls that were moved stay on top.
    const float* presetPort = ports_[kFirstControlPort];
    const float preset = presetPort && std::isfinite(*presetPort) ? *presetPort : startValues_[0];
    const bool newPreset = preset != applied_[0];
    if (newPreset) {
        selectPresetById(*p_, static_cast<int>(std::lround(preset)));
        applyParameterChanges(*p_);
        applied_[0] = preset;
    }
    for (size_t i = 1; i < list.size(); ++i) {
        const float* port = ports_[kFirstControlPort + i];
        const float value = port && std::isfinite(*port) ? *port : startValues_[i];
        if (value != applied_[i] || (newPreset && !untouched(value, startValues_[i]))) {
            applyParameter(list[i], value);
            applied_[i] = value;
        }
    }
}

void LoudaraPlugin::run(uint32_t frames) {
    applyControls();
    if (starting_) {
        // A stream starts as an export starts: the settings in place, then the chain prepared.
        p_->settings.normalizeGain = 1.0;
        prepare(*p_, rate_);
        starting_ = false;
        ranBefore_ = true;
    }
    if (float* latency = ports_[kLatencyPort]) *latency = static_cast<float>(chainLatencyFrames(*p_));
    const float* inL = ports_[kInputLeft];
    const float* inR = ports_[kInputRight];
    float* outL = ports_[kOutputLeft];
    float* outR = ports_[kOutputRight];
    if (!inL || !inR || !outL || !outR) return;
    float* buffer = interleaved_.data();
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min<uint32_t>(frames - done, kChunkFrames);
        for (uint32_t i = 0; i < n; ++i) {
            buffer[2 * i] = inL[done + i];
            buffer[2 * i + 1] = inR[done + i];
        }
        processBlockFloat(*p_, static_cast<int32_t>(2 * n), buffer, buffer);
        for (uint32_t i = 0; i < n; ++i) {
            outL[done + i] = buffer[2 * i];
            outR[done + i] = buffer[2 * i + 1];
        }
        done += n;
    }
}

}  // namespace loudara::plugin
