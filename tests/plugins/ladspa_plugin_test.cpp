// The LADSPA plugin as a host loads it (dlopen of the built shared object): its ports come from
// the parameter table, it refuses rates the chain has no tables for, its output is processBlock's
// samples for every preset and for controls moved between blocks, whatever the host's block
// size, and `run` allocates nothing over a whole song.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ladspa.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "processor/parameter_names.h"
#include "processor/processor.h"

// Every allocation of the process while `gCounting` is set is counted: malloc and its relatives
// are replaced for the whole test program (operator new reaches them too). A sanitizer build
// keeps the sanitizer's own allocator, and counts nothing.
namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
}  // namespace
#if defined(__SANITIZE_ADDRESS__)
#define LOUDARA_COUNTS_ALLOCATIONS 0
#else
#define LOUDARA_COUNTS_ALLOCATIONS 1
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t n) {
    if (gCounting) ++gAllocations;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    if (gCounting) ++gAllocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    if (gCounting) ++gAllocations;
    return __libc_realloc(p, n);
}
void* memalign(size_t alignment, size_t n) {
    if (gCounting) ++gAllocations;
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    if (gCounting) ++gAllocations;
    *out = __libc_memalign(alignment, n);
    return *out ? 0 : ENOMEM;
}
void* aligned_alloc(size_t alignment, size_t n) {
    if (gCounting) ++gAllocations;
    return __libc_memalign(alignment, n);
}
}
#endif

namespace loudara {
namespace {

constexpr int kRate = 44100;
constexpr unsigned long kFirstControl = 5;

const LADSPA_Descriptor* descriptor() {
    static const LADSPA_Descriptor* d = [] {
        void* library = dlopen(LOUDARA_LADSPA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (!library) return static_cast<const LADSPA_Descriptor*>(nullptr);
        auto entry = reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(library, "ladspa_descriptor"));
        return entry ? entry(0) : nullptr;
    }();
    return d;
}

// The port of the control called `name` ("preset", "driveDb_2").
unsigned long portOf(const std::string& name) {
    const LADSPA_Descriptor* d = descriptor();
    for (unsigned long i = 0; i < d->PortCount; ++i) {
        if (name == d->PortNames[i]) return i;
    }
    ADD_FAILURE() << "no port " << name;
    return 0;
}

// A tone with noise, loud enough to work every stage: interleaved 16-bit stereo.
std::vector<int16_t> song(int frames) {
    std::vector<int16_t> x(2 * frames);
    uint32_t seed = 12345;
    for (int n = 0; n < frames; ++n) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = (int32_t(seed) / 2147483648.0) * 3000.0;
        const double tone = 9000.0 * std::sin(2 * 3.14159265358979 * 110.0 * n / kRate) *
                            (0.5 + 0.5 * std::sin(2 * 3.14159265358979 * 0.7 * n / kRate));
        x[2 * n] = int16_t(tone + noise);
        x[2 * n + 1] = int16_t(0.6 * tone - noise);
    }
    return x;
}

// A host: one instance with every control at its hinted start value, run in blocks of the given
// sizes (cycled), with `between(blockIndex, controls)` called before each block.
class Host {
public:
    explicit Host(unsigned long rate = kRate) : d_(descriptor()) {
        controls_.assign(d_->PortCount, 0.0f);
        for (unsigned long i = kFirstControl; i < d_->PortCount; ++i) controls_[i] = startValue(i);
        handle_ = d_->instantiate(d_, rate);
        if (!handle_) return;
        for (unsigned long i = 4; i < d_->PortCount; ++i) d_->connect_port(handle_, i, &controls_[i]);
        d_->activate(handle_);
    }
    ~Host() {
        if (handle_) d_->cleanup(handle_);
    }
    bool ok() const { return handle_ != nullptr; }
    float& control(const std::string& name) { return controls_[portOf(name)]; }
    float latency() const { return controls_[4]; }
    bool countAllocations = false;  // count what run() allocates

    // The song through the plugin; the output at the 16-bit scale, interleaved.
    template <class Between>
    std::vector<double> run(const std::vector<int16_t>& x, const std::vector<int>& blocks, Between between) {
        const size_t frames = x.size() / 2;
        std::vector<float> inL(frames), inR(frames), outL(frames), outR(frames);
        for (size_t n = 0; n < frames; ++n) {
            inL[n] = float(x[2 * n] / 32768.0);
            inR[n] = float(x[2 * n + 1] / 32768.0);
        }
        size_t at = 0;
        for (int block = 0; at < frames; ++block) {
            const size_t n = std::min<size_t>(blocks[block % blocks.size()], frames - at);
            between(block, *this);
            d_->connect_port(handle_, 0, inL.data() + at);
            d_->connect_port(handle_, 1, inR.data() + at);
            d_->connect_port(handle_, 2, outL.data() + at);
            d_->connect_port(handle_, 3, outR.data() + at);
            gCounting = countAllocations;
            d_->run(handle_, n);
            gCounting = false;
            at += n;
        }
        std::vector<double> y(2 * frames);
        for (size_t n = 0; n < frames; ++n) {
            y[2 * n] = outL[n] * 32768.0;
            y[2 * n + 1] = outR[n] * 32768.0;
        }
        return y;
    }
    std::vector<double> run(const std::vector<int16_t>& x, const std::vector<int>& blocks) {
        return run(x, blocks, [](int, Host&) {});
    }

private:
    float startValue(unsigned long port) const {
        const LADSPA_PortRangeHint& h = d_->PortRangeHints[port];
        const double lo = h.LowerBound, hi = h.UpperBound;
        switch (h.HintDescriptor & LADSPA_HINT_DEFAULT_MASK) {
            case LADSPA_HINT_DEFAULT_MINIMUM: return lo;
            case LADSPA_HINT_DEFAULT_LOW: return lo * 0.75 + hi * 0.25;
            case LADSPA_HINT_DEFAULT_MIDDLE: return lo * 0.5 + hi * 0.5;
            case LADSPA_HINT_DEFAULT_HIGH: return lo * 0.25 + hi * 0.75;
            case LADSPA_HINT_DEFAULT_MAXIMUM: return hi;
            case LADSPA_HINT_DEFAULT_1: return 1;
            case LADSPA_HINT_DEFAULT_100: return 100;
            case LADSPA_HINT_DEFAULT_440: return 440;
            default: return 0;
        }
    }

    const LADSPA_Descriptor* d_;
    LADSPA_Handle handle_ = nullptr;
    std::vector<float> controls_;
};

// The command line's processor: a first start, a preset, single parameters; then prepared.
std::unique_ptr<Processor> cliProcessor(int preset) {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    if (preset) selectPresetById(*p, preset);
    applyParameterChanges(*p);
    p->settings.normalizeGain = 1.0;
    prepare(*p, kRate);
    return p;
}

// processBlock over the song in blocks of `frames`, `between(blockIndex, p)` before each.
template <class Between>
std::vector<int16_t> chain(Processor& p, std::vector<int16_t> x, int frames, Between between) {
    for (size_t at = 0, block = 0; at < x.size(); at += 2 * size_t(frames), ++block) {
        between(int(block), p);
        const int n = int(std::min<size_t>(2 * size_t(frames), x.size() - at));
        processBlock(p, n, x.data() + at, x.data() + at);
    }
    return x;
}

// The plugin's float output against processBlock's samples: truncated toward zero it is the
// sample, unless the float rounding reached the next whole step (then it is that step).
void expectSameSamples(const std::vector<double>& plugin, const std::vector<int16_t>& reference) {
    ASSERT_EQ(plugin.size(), reference.size());
    size_t roundedUp = 0;
    for (size_t i = 0; i < plugin.size(); ++i) {
        const int truncatedValue = int(plugin[i]);
        if (truncatedValue == reference[i]) continue;
        ++roundedUp;
        ASSERT_TRUE(plugin[i] == std::round(plugin[i]) && std::abs(truncatedValue) == std::abs(reference[i]) + 1)
            << "sample " << i << ": " << plugin[i] << " against " << reference[i];
    }
    EXPECT_LT(roundedUp, plugin.size() / 1000);
}

TEST(LadspaPlugin, PortsComeFromTheParameterTable) {
    const LADSPA_Descriptor* d = descriptor();
    ASSERT_NE(d, nullptr) << dlerror();
    EXPECT_STREQ(d->Label, "loudara");
    size_t parameters = 0;
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < bandsOf(info); ++band) {
            ++parameters;
            std::string symbol = info.perBand ? std::string(info.name) + "_" + std::to_string(band) : info.name;
            const unsigned long port = portOf(symbol);
            ASSERT_TRUE(LADSPA_IS_PORT_INPUT(d->PortDescriptors[port]) && LADSPA_IS_PORT_CONTROL(d->PortDescriptors[port]));
            const LADSPA_PortRangeHint& h = d->PortRangeHints[port];
            if (info.isSwitch) {
                EXPECT_TRUE(LADSPA_IS_HINT_TOGGLED(h.HintDescriptor)) << symbol;
            } else {
                EXPECT_EQ(h.LowerBound, float(info.minValue)) << symbol;
                EXPECT_EQ(h.UpperBound, float(info.maxValue)) << symbol;
            }
        }
    }
    EXPECT_EQ(d->PortCount, kFirstControl + 1 + parameters);
    EXPECT_STREQ(d->PortNames[kFirstControl], "preset");
    EXPECT_TRUE(LADSPA_IS_PORT_OUTPUT(d->PortDescriptors[4]) && LADSPA_IS_PORT_CONTROL(d->PortDescriptors[4]));
}

TEST(LadspaPlugin, RefusesRatesWithoutTablesAndSaysWhy) {
    testing::internal::CaptureStderr();
    Host refused(22050);
    EXPECT_FALSE(refused.ok());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Loudara runs at 32000, 44100 or 48000 Hz, not 22050 Hz"),
              std::string::npos);
    for (unsigned long rate : {32000ul, 44100ul, 48000ul}) EXPECT_TRUE(Host(rate).ok()) << rate;
}

// Every preset chosen by the preset control sounds as the command line's --preset; the latency
// output is the chain's delay with that preset, which an impulse shows.
TEST(LadspaPlugin, PresetControlGivesTheCommandLinesSamples) {
    const std::vector<int16_t> x = song(3 * kRate);
    std::vector<int16_t> defaultSound;
    for (const BuiltinPreset& preset : builtinPresets()) {
        SCOPED_TRACE(preset.commandId);
        Host host;
        host.control("preset") = float(preset.commandId);
        const std::vector<double> y = host.run(x, {1024});
        auto p = cliProcessor(preset.commandId);
        const std::vector<int16_t> reference = chain(*p, x, 16384, [](int, Processor&) {});
        expectSameSamples(y, reference);
        EXPECT_EQ(host.latency(), float(chainLatencyFrames(*p)));
        if (preset.commandId == 232) defaultSound = reference;
        if (preset.commandId != 232) {
            EXPECT_NE(reference, defaultSound);
        }
    }
}

// The latency output against the chain measured: a click after silence leaves the chain that
// many frames later, give or take the few frames the final filters ring ahead of it or take to
// rise.
TEST(LadspaPlugin, LatencyIsTheDelayOfAClick) {
    for (int preset : {232, 334, 338, 343}) {
        std::vector<int16_t> x(2 * kRate / 2, 0);
        const int at = 20000;
        for (int k = 0; k < 8; ++k) x[2 * (at + k)] = x[2 * (at + k) + 1] = int16_t(k % 2 ? -16000 : 16000);
        Host host;
        host.control("preset") = float(preset);
        const std::vector<double> y = host.run(x, {512});
        size_t first = 0;
        while (first < y.size() / 2 && std::abs(y[2 * first]) < 64) ++first;
        EXPECT_NEAR(double(first - at), host.latency(), 8.0) << "preset " << preset;
    }
}

TEST(LadspaPlugin, HostBlockSizeDoesNotChangeTheSound) {
    const std::vector<int16_t> x = song(2 * kRate);
    Host a, b;
    a.control("preset") = b.control("preset") = 340;
    EXPECT_EQ(a.run(x, {64}), b.run(x, {5000, 1, 333, 4096, 4097}));
}

// Controls moved between blocks take effect at the next block, exactly as --set would there; the
// preset control moved later keeps the moved controls on top of the new preset.
TEST(LadspaPlugin, ControlsMovedBetweenBlocksApplyAtTheNextBlock) {
    const std::vector<int16_t> x = song(4 * kRate);
    constexpr int kBlock = 4096;
    auto moves = [](int block, auto set) {
        if (block == 5) set("driveDb[2]", "driveDb_2", 22.0);
        if (block == 9) set("bandReleaseTime", "bandReleaseTime", 3.0);
        if (block == 13) set("finalLowpass", "finalLowpass", 4.0);
        if (block == 17) set("bassEqGainDb", "bassEqGainDb", 6.5);
        if (block == 21) set("bypass", "bypass", 1.0);
        if (block == 23) set("bypass", "bypass", 0.0);
    };
    Host host;
    const std::vector<double> y = host.run(x, {kBlock}, [&](int block, Host& h) {
        moves(block, [&](const char*, const char* symbol, double v) { h.control(symbol) = float(v); });
        if (block == 30) h.control("preset") = 337;
    });
    auto p = cliProcessor(0);
    const std::vector<int16_t> reference = chain(*p, x, kBlock, [&](int block, Processor& q) {
        std::string error;
        moves(block, [&](const char* name, const char*, double v) { ASSERT_TRUE(setSoundParameter(q, name, v, error)); });
        // Moved while the sound runs: retuned, the filters keep their state.
        if (block == 9) retuneEnvelopeTimes(q);
        if (block == 13) retuneFinalLowpass(q);
        if (block == 17) retuneBassEq(q);
        if (block == 30) {
            selectPresetById(q, 337);
            applyParameterChanges(q);
            for (auto [name, v] : {std::pair{"driveDb[2]", 22.0}, {"bandReleaseTime", 3.0}, {"finalLowpass", 4.0},
                                   {"bassEqGainDb", 6.5}}) {
                ASSERT_TRUE(setSoundParameter(q, name, v, error));
            }
            retuneEnvelopeTimes(q);
            retuneFinalLowpass(q);
            retuneBassEq(q);
        }
    });
    expectSameSamples(y, reference);
}

// The real-time promise: over a whole song, with controls and presets changed between blocks
// and blocks of many sizes, run() asks for no memory at all.
TEST(LadspaPlugin, RunNeverAllocates) {
    if (!LOUDARA_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator is not counted";
    const std::vector<int16_t> x = song(60 * kRate);
    Host host;
    gCounting = true;
    std::free(std::malloc(16));
    delete new std::string(100, 'x');
    gCounting = false;
    ASSERT_GE(gAllocations.load(), 2) << "the counter does not see allocations";
    int presetIndex = 0;
    gAllocations = 0;
    host.countAllocations = true;
    host.run(x, {64, 512, 1000, 4096, 8192}, [&](int block, Host& h) {
        const float drive = float(6 + block % 18);
        h.control("driveDb_3") = drive;
        h.control("agcDepthDb") = float(block % 24);
        h.control("bandAttackTime") = float(1 + block % 5);
        h.control("finalLowpass") = float(block % 7);
        if (block % 50 == 0) h.control("preset") = float(builtinPresets()[presetIndex++ % kPresetCount].commandId);
    });
    EXPECT_EQ(gAllocations.load(), 0);
}

}  // namespace
}  // namespace loudara
