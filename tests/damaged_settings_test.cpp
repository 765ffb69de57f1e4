// No setting, however it arrives (a parameter file, --set, or written straight into the live
// values), holds the chain's output at full scale: each level at both ends of its knob, NaN,
// infinite and huge, each through the file loader and past it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "measure.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_names.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

constexpr int kFrames = 11025;  // 0.25 s at 44.1 kHz

// A stuck chain gives one value (about +-32760) in every sample; a working one follows the music.
void expectLiveOutput(const std::vector<int16_t>& out, const std::string& what) {
    const size_t half = out.size() / 2;  // after the chain's start-up
    double sum = 0.0;
    int lo = 32767, hi = -32768;
    for (size_t i = half; i < out.size(); ++i) {
        sum += out[i];
        lo = std::min<int>(lo, out[i]);
        hi = std::max<int>(hi, out[i]);
    }
    const double mean = sum / static_cast<double>(out.size() - half);
    EXPECT_LT(std::fabs(mean), 8000.0) << what << ": the output sits at one level";
    EXPECT_GT(hi - lo, 1000) << what << ": the output does not follow the music";
}

std::vector<int16_t> processMusic(Processor& p) {
    static const std::vector<int16_t> music = test::musicLikeSignal(kFrames, 44100.0);
    std::vector<int16_t> out(music.size());
    for (size_t at = 0; at < music.size(); at += 8192) {
        const int32_t n = static_cast<int32_t>(std::min<size_t>(8192, music.size() - at));
        processBlock(p, n, music.data() + at, out.data() + at);
    }
    return out;
}

std::unique_ptr<Processor> preparedProcessor() {
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, 232);
    prepareForSong(*p, 44100);
    return p;
}

class DamagedSettings : public TempFolder {};

TEST_F(DamagedSettings, NoValueOfAnyLevelHoldsTheOutputAtFullScale) {
    const double bad[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e308, -1e308};
    for (const ParameterInfo& info : soundParameters()) {
        if (info.isSwitch) continue;
        for (int band = 0; band < (info.perBand ? kBandCount : 1); ++band) {
            const std::string name = info.perBand ? std::string(info.name) + "[" + std::to_string(band) + "]" : info.name;
            std::vector<double> values(std::begin(bad), std::end(bad));
            values.push_back(info.minValue);
            values.push_back(info.maxValue);
            for (double value : values) {
                char shown[32];
                std::snprintf(shown, sizeof shown, "%g", value);
                const std::string what = name + " = " + shown;

                // Through --set: only values within the knob are taken.
                auto viaSet = preparedProcessor();
                std::string error;
                const bool taken = setSoundParameter(*viaSet, name, value, error);
                EXPECT_EQ(taken, value >= info.minValue && value <= info.maxValue) << what;
                applyParameterChanges(*viaSet);
                expectLiveOutput(processMusic(*viaSet), what + " (set)");

                // Through a parameter file holding it (as the current-settings file, so every
                // field is read): refused or brought to the limit.
                auto source = preparedProcessor();
                setParameterValue(*source, info, band, value);
                StoredSettings stored;
                std::string saveError;
                ASSERT_TRUE(SaveParameterFile(*source, stored, "", folder.string(), saveError)) << saveError;
                auto loaded = preparedProcessor();
                RecordingHost host;
                const ParameterLoadOutcome outcome = LoadParameterFile(*loaded, stored, "", folder.string(), host);
                if (std::isfinite(value)) {
                    EXPECT_EQ(outcome.status, ParameterLoadStatus::Loaded) << what;
                    const double held = parameterValue(*loaded, info, band);
                    EXPECT_TRUE(held >= info.minValue && held <= info.maxValue) << what;
                } else if (info.fileOffset >= 0) {  // a value the file does not hold leaves it clean
                    EXPECT_EQ(outcome.status, ParameterLoadStatus::InvalidValue) << what;
                }
                expectLiveOutput(processMusic(*loaded), what + " (file)");

                // Written straight into the live values, past every check: the chain's own guard.
                auto direct = preparedProcessor();
                setParameterValue(*direct, info, band, value);
                expectLiveOutput(processMusic(*direct), what + " (direct)");
            }
        }
    }
}

TEST_F(DamagedSettings, ChainGuardLeavesValidSettingsAlone) {
    auto p = preparedProcessor();
    EXPECT_FALSE(keepLevelsInRange(*p));
    for (const ParameterInfo& info : soundParameters()) {
        if (info.isSwitch) continue;
        setParameterValue(*p, info, 0, info.maxValue);
        EXPECT_FALSE(keepLevelsInRange(*p)) << info.name;
        setParameterValue(*p, info, 0, info.minValue);
        EXPECT_FALSE(keepLevelsInRange(*p)) << info.name;
    }
    p->bands[2].outputDb = std::nan("");
    p->settings.bassEqGainDb = 1e300;
    EXPECT_TRUE(keepLevelsInRange(*p));
    EXPECT_EQ(p->bands[2].outputDb, -96.0);
    EXPECT_EQ(p->settings.bassEqGainDb, 12.0);
}

}  // namespace
}  // namespace loudara
