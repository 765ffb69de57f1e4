#pragma once
// A streaming sample-rate converter for sound files read at a rate the chain does not run at:
// libsoxr at its very-high quality (28-bit, linear phase, passband to 0.913 of the lower Nyquist
// frequency), on interleaved float frames. The input is fed in blocks of any size and the output
// is taken as it comes; finish() drains the filter, so no frame at the end is lost: N input
// frames give N x outRate / inRate output frames, rounded.

#include <cstddef>
#include <string>
#include <vector>

struct soxr;

namespace loudara {

class SoundResampler {
public:
    // A converter from inRate to outRate (Hz) for `channels` interleaved channels (1 or 2).
    // Whether it could be made, and why not, is in ok() and error().
    SoundResampler(double inRate, double outRate, int channels);
    ~SoundResampler();
    SoundResampler(const SoundResampler&) = delete;
    SoundResampler& operator=(const SoundResampler&) = delete;

    bool ok() const { return converter_ != nullptr && error_.empty(); }
    const std::string& error() const { return error_; }
    int channels() const { return channels_; }

    // Converts `frames` interleaved frames at `in` and appends the frames that come out to `out`
    // (fewer than the ratio gives at first: the filter holds back its delay until finish()).
    // False, with error(), when the converter fails or finish() was called already.
    bool process(const float* in, std::size_t frames, std::vector<float>& out);
    // Ends the input and appends the frames the filter still holds to `out`. Once only.
    bool finish(std::vector<float>& out);

private:
    bool run(const float* in, std::size_t frames, std::vector<float>& out);

    soxr* converter_ = nullptr;
    int channels_ = 0;
    bool finished_ = false;
    std::string error_;
};

}  // namespace loudara
