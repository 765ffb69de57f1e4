#include "files/sound_resampler.h"

#include <soxr.h>

namespace loudara {
namespace {

// Output frames asked of the converter at a time.
constexpr std::size_t kOutputPieceFrames = 8192;

}  // namespace

SoundResampler::SoundResampler(double inRate, double outRate, int channels) : channels_(channels) {
    if (channels != 1 && channels != 2) {
        error_ = "the resampler takes 1 or 2 channels, not " + std::to_string(channels);
        return;
    }
    if (!(inRate > 0.0) || !(outRate > 0.0)) {
        error_ = "the resampler needs two sample rates above 0 Hz";
        return;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t failure = nullptr;
    converter_ = soxr_create(inRate, outRate, static_cast<unsigned>(channels), &failure, &io, &quality, nullptr);
    if (failure != nullptr || converter_ == nullptr) {
        error_ = std::string("cannot set up the resampler: ") + (failure ? failure : "no memory");
        if (converter_ != nullptr) soxr_delete(converter_);
        converter_ = nullptr;
    }
}

SoundResampler::~SoundResampler() {
    if (converter_ != nullptr) soxr_delete(converter_);
}

bool SoundResampler::run(const float* in, std::size_t frames, std::vector<float>& out) {
    const std::size_t width = static_cast<std::size_t>(channels_);
    const bool flushing = in == nullptr;
    std::size_t fed = 0;
    for (;;) {
        const std::size_t start = out.size();
        out.resize(start + kOutputPieceFrames * width);
        std::size_t taken = 0, given = 0;
        const soxr_error_t failure =
            soxr_process(converter_, flushing ? nullptr : in + fed * width, flushing ? 0 : frames - fed, &taken,
                         out.data() + start, kOutputPieceFrames, &given);
        out.resize(start + given * width);
        if (failure != nullptr) {
            error_ = std::string("resampling failed: ") + failure;
            return false;
        }
        fed += taken;
        // Fed in full and the output not filled: the converter has nothing more to give now.
        if ((flushing || fed == frames) && given < kOutputPieceFrames) return true;
        if (!flushing && taken == 0 && given == 0) {
            error_ = "resampling failed: the converter took no input";
            return false;
        }
    }
}

bool SoundResampler::process(const float* in, std::size_t frames, std::vector<float>& out) {
    if (!ok()) return false;
    if (finished_) {
        error_ = "resampling failed: input after the end";
        return false;
    }
    if (frames == 0) return true;
    return run(in, frames, out);
}

bool SoundResampler::finish(std::vector<float>& out) {
    if (!ok()) return false;
    if (finished_) {
        error_ = "resampling failed: ended twice";
        return false;
    }
    finished_ = true;
    return run(nullptr, 0, out);
}

}  // namespace loudara
