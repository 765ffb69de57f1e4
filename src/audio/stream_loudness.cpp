#include "audio/stream_loudness.h"

#include <stdexcept>

namespace loudara {

void StreamLoudness::start(uint32_t rate) {
    ++starts_;
    if (meter_ && meter_->rate() == rate) {
        meter_->reset();
        return;
    }
    try {
        meter_ = std::make_unique<LoudnessMeter>(rate, 2, LoudnessMeter::History::Bounded);
    } catch (const std::exception&) {
        meter_.reset();  // a rate the meter cannot weigh (under 3.4 kHz): nothing is shown
    }
}

void StreamLoudness::reset() {
    if (meter_) meter_->reset();
}

void StreamLoudness::addStereoFrames(const int16_t* frames, std::size_t count) {
    if (meter_ && count > 0) meter_->addFrames(frames, count);
}

StreamLoudnessReading StreamLoudness::reading() const {
    StreamLoudnessReading r;
    if (!meter_) return r;
    r.momentaryLufs = meter_->momentaryLufs();
    r.shortTermLufs = meter_->shortTermLufs();
    r.integratedLufs = meter_->integratedLufs();
    r.truePeakDbtp = meter_->truePeakDbtp();
    r.seconds = static_cast<double>(meter_->frames()) / meter_->rate();
    return r;
}

}  // namespace loudara
