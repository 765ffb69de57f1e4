// The LV2 plugin loaded as a host loads it: refused at a rate without tables with the reason in
// the host's log, and a parameter file set through a patch message (read by the host's worker)
// or restored from the plugin's state sounds exactly as the program's own loading of that file.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/host.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

namespace loudara {
namespace {

constexpr int kRate = 48000;
constexpr const char* kUri = "http://loudara.example.org/plugins/loudara";
constexpr const char* kParameterFile = "http://loudara.example.org/plugins/loudara#parameterFile";

const LV2_Descriptor* descriptor() {
    static const LV2_Descriptor* d = [] {
        void* library = dlopen(LOUDARA_LV2_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (!library) return static_cast<const LV2_Descriptor*>(nullptr);
        auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(library, "lv2_descriptor"));
        return entry ? entry(0) : nullptr;
    }();
    return d;
}

// The host's side: URIDs, a log that keeps what it is told, and a worker that does the work at
// once and hands the response back after the run, as hosts do.
struct FakeHost {
    std::vector<std::string> uris;
    std::string logged;
    std::vector<std::vector<uint8_t>> responses;
    LV2_Handle instance = nullptr;

    static LV2_URID map(LV2_URID_Map_Handle h, const char* uri) {
        auto* self = static_cast<FakeHost*>(h);
        for (size_t i = 0; i < self->uris.size(); ++i) {
            if (self->uris[i] == uri) return LV2_URID(i + 1);
        }
        self->uris.push_back(uri);
        return LV2_URID(self->uris.size());
    }
    static int vprintf(LV2_Log_Handle h, LV2_URID, const char* format, va_list args) {
        char text[512];
        const int n = std::vsnprintf(text, sizeof text, format, args);
        static_cast<FakeHost*>(h)->logged += text;
        return n;
    }
    static int printf(LV2_Log_Handle h, LV2_URID type, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = vprintf(h, type, format, args);
        va_end(args);
        return n;
    }
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
        auto* bytes = static_cast<const uint8_t*>(data);
        static_cast<FakeHost*>(h)->responses.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status schedule(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
        auto* self = static_cast<FakeHost*>(h);
        auto* worker = static_cast<const LV2_Worker_Interface*>(descriptor()->extension_data(LV2_WORKER__interface));
        return worker->work(self->instance, respond, self, size, data);
    }
    void deliverResponses() {
        auto* worker = static_cast<const LV2_Worker_Interface*>(descriptor()->extension_data(LV2_WORKER__interface));
        for (const auto& r : responses) worker->work_response(instance, uint32_t(r.size()), r.data());
        responses.clear();
    }

    LV2_URID_Map mapFeature{this, map};
    LV2_Log_Log logFeature{this, printf, vprintf};
    LV2_Worker_Schedule scheduleFeature{this, schedule};
    LV2_Feature features[3] = {{LV2_URID__map, &mapFeature}, {LV2_LOG__log, &logFeature},
                               {LV2_WORKER__schedule, &scheduleFeature}};
    const LV2_Feature* featureList[4] = {&features[0], &features[1], &features[2], nullptr};
};

// One instance with every control at its default, run over a song in 4096-frame blocks.
class Lv2Host {
public:
    explicit Lv2Host(double rate = kRate) : d_(descriptor()) {
        handle_ = d_->instantiate(d_, rate, "", host_.featureList);
        host_.instance = handle_;
        if (!handle_) return;
        // The defaults as lv2info gives them: the chain's first start and preset 232.
        controls_.push_back(232.0f);
        auto p = std::make_unique<Processor>();
        applyFirstStart(*p);
        for (const ParameterInfo& info : soundParameters()) {
            for (int b = 0; b < bandsOf(info); ++b) controls_.push_back(float(defaultValue(info, b)));
        }
        d_->connect_port(handle_, 4, &latency_);
        for (size_t i = 0; i < controls_.size(); ++i) d_->connect_port(handle_, uint32_t(5 + i), &controls_[i]);
        std::memset(atoms_, 0, sizeof atoms_);
        d_->connect_port(handle_, uint32_t(5 + controls_.size()), atoms_);
        d_->activate(handle_);
    }
    ~Lv2Host() {
        if (handle_) d_->cleanup(handle_);
    }
    bool ok() const { return handle_ != nullptr; }
    FakeHost& host() { return host_; }
    LV2_Handle handle() { return handle_; }

    // The song through the plugin (16-bit values in, the 16-bit scale out); before block
    // `atBlock`, a patch:Set of the parameter file to `path`.
    std::vector<double> run(const std::vector<int16_t>& x, int atBlock = -1, const std::string& path = "") {
        const size_t frames = x.size() / 2;
        std::vector<float> l(frames), r(frames);
        for (size_t n = 0; n < frames; ++n) {
            l[n] = float(x[2 * n] / 32768.0);
            r[n] = float(x[2 * n + 1] / 32768.0);
        }
        for (size_t at = 0, block = 0; at < frames; at += 4096, ++block) {
            const uint32_t n = uint32_t(std::min<size_t>(4096, frames - at));
            if (int(block) == atBlock) writePatchSet(path);
            d_->connect_port(handle_, 0, l.data() + at);
            d_->connect_port(handle_, 1, r.data() + at);
            d_->connect_port(handle_, 2, l.data() + at);
            d_->connect_port(handle_, 3, r.data() + at);
            d_->run(handle_, n);
            clearAtoms();
            host_.deliverResponses();
        }
        std::vector<double> y(x.size());
        for (size_t n = 0; n < frames; ++n) {
            y[2 * n] = l[n] * 32768.0;
            y[2 * n + 1] = r[n] * 32768.0;
        }
        return y;
    }

private:
    void clearAtoms() {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &host_.mapFeature);
        lv2_atom_forge_set_buffer(&forge, atoms_, sizeof atoms_);
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_sequence_head(&forge, &frame, 0);
        lv2_atom_forge_pop(&forge, &frame);
    }
    void writePatchSet(const std::string& path) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &host_.mapFeature);
        lv2_atom_forge_set_buffer(&forge, atoms_, sizeof atoms_);
        LV2_Atom_Forge_Frame sequence, object;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, FakeHost::map(&host_, LV2_PATCH__Set));
        lv2_atom_forge_key(&forge, FakeHost::map(&host_, LV2_PATCH__property));
        lv2_atom_forge_urid(&forge, FakeHost::map(&host_, kParameterFile));
        lv2_atom_forge_key(&forge, FakeHost::map(&host_, LV2_PATCH__value));
        lv2_atom_forge_path(&forge, path.c_str(), uint32_t(path.size() + 1));
        lv2_atom_forge_pop(&forge, &object);
        lv2_atom_forge_pop(&forge, &sequence);
    }

    const LV2_Descriptor* d_;
    FakeHost host_;
    LV2_Handle handle_ = nullptr;
    std::vector<float> controls_;
    float latency_ = 0;
    alignas(8) uint8_t atoms_[8192];
};

std::vector<int16_t> song(int frames) {
    std::vector<int16_t> x(2 * frames);
    uint32_t seed = 777;
    for (int n = 0; n < frames; ++n) {
        seed = seed * 1664525u + 1013904223u;
        const double tone = 8000.0 * std::sin(2 * 3.14159265358979 * 180.0 * n / kRate);
        x[2 * n] = int16_t(tone + (int32_t(seed) >> 20));
        x[2 * n + 1] = int16_t(tone * 0.5 - (int32_t(seed) >> 20));
    }
    return x;
}

class QuietHost : public Host {
public:
    void showMessage(const std::string&, const std::string&, MessageIcon) override {}
    void beep() override {}
};

// A parameter file as the window saves it: preset 341 with a few knobs moved.
std::string savedParameterFile() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    selectPresetById(*p, 341);
    std::string error;
    EXPECT_TRUE(setSoundParameter(*p, "driveDb[4]", 23.0, error));
    EXPECT_TRUE(setSoundParameter(*p, "enhancerMode", 4.0, error));
    EXPECT_TRUE(setSoundParameter(*p, "bassEqGainDb", 7.5, error));
    const std::string path =
        (std::filesystem::temp_directory_path() / ("loudara_lv2_" + std::to_string(getpid()) + ".ld3")).string();
    StoredSettings stored;
    EXPECT_TRUE(SaveParameterFile(*p, stored, path, "/", error)) << error;
    return path;
}

// processBlock over the song in 4096-frame blocks, the file loaded by the program's own loader
// before block `atBlock` (0: before the stream is prepared, as `process --params` does).
std::vector<int16_t> reference(std::vector<int16_t> x, int atBlock, const std::string& path) {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    StoredSettings stored;
    QuietHost host;
    if (atBlock == 0) {
        EXPECT_EQ(LoadParameterFileAt(*p, stored, path, false, host).status, ParameterLoadStatus::Loaded);
    }
    applyParameterChanges(*p);
    p->settings.normalizeGain = 1.0;
    prepare(*p, kRate);
    for (size_t at = 0, block = 0; at < x.size(); at += 8192, ++block) {
        if (atBlock > 0 && int(block) == atBlock) {
            // The file also holds the rate the bass EQ was last designed for, which the program's
            // loader takes over until the next song is prepared; the plugin goes on designing it
            // for the rate it runs at.
            LoadParameterFileAt(*p, stored, path, false, host);
            p->settings.bassEqSampleRate = kRate;
            designBassEq(*p);
        }
        processBlock(*p, int(std::min<size_t>(8192, x.size() - at)), x.data() + at, x.data() + at);
    }
    return x;
}

void expectSameSamples(const std::vector<double>& plugin, const std::vector<int16_t>& ref) {
    ASSERT_EQ(plugin.size(), ref.size());
    size_t roundedUp = 0;
    for (size_t i = 0; i < plugin.size(); ++i) {
        if (int(plugin[i]) == ref[i]) continue;
        ++roundedUp;
        ASSERT_TRUE(plugin[i] == std::round(plugin[i]) && std::abs(int(plugin[i])) == std::abs(ref[i]) + 1)
            << "sample " << i << ": " << plugin[i] << " against " << ref[i];
    }
    EXPECT_LT(roundedUp, plugin.size() / 1000);
}

TEST(Lv2Plugin, RefusesRatesWithoutTablesInTheHostsLog) {
    ASSERT_NE(descriptor(), nullptr) << dlerror();
    EXPECT_STREQ(descriptor()->URI, kUri);
    Lv2Host refused(96000);
    EXPECT_FALSE(refused.ok());
    EXPECT_NE(refused.host().logged.find("Loudara runs at 32000, 44100 or 48000 Hz, not 96000 Hz"), std::string::npos);
}

TEST(Lv2Plugin, ParameterFileSetByPatchMessageSoundsAsTheProgramLoadsIt) {
    const std::string path = savedParameterFile();
    const std::vector<int16_t> x = song(3 * kRate);
    Lv2Host host;
    ASSERT_TRUE(host.ok());
    const std::vector<double> y = host.run(x, 5, path);
    expectSameSamples(y, reference(x, 6, path));  // read during block 5's run, in use from block 6
    std::filesystem::remove(path);
}

TEST(Lv2Plugin, ParameterFileKeptInTheStateLoadsAgain) {
    const std::string path = savedParameterFile();
    const std::vector<int16_t> x = song(2 * kRate);
    std::string storedPath;
    {
        Lv2Host first;
        first.run(x, 0, path);
        auto* state = static_cast<const LV2_State_Interface*>(descriptor()->extension_data(LV2_STATE__interface));
        auto store = [](LV2_State_Handle h, uint32_t, const void* value, size_t size, uint32_t, uint32_t) {
            static_cast<std::string*>(h)->assign(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));
            return LV2_STATE_SUCCESS;
        };
        ASSERT_EQ(state->save(first.handle(), store, &storedPath, 0, nullptr), LV2_STATE_SUCCESS);
    }
    EXPECT_EQ(storedPath, path);

    Lv2Host second;
    auto* state = static_cast<const LV2_State_Interface*>(descriptor()->extension_data(LV2_STATE__interface));
    struct Stored {
        std::string path;
        uint32_t type;
    } stored{storedPath, FakeHost::map(&second.host(), "http://lv2plug.in/ns/ext/atom#Path")};
    auto retrieve = [](LV2_State_Handle h, uint32_t, size_t* size, uint32_t* type, uint32_t* flags) -> const void* {
        auto* s = static_cast<Stored*>(h);
        *size = s->path.size() + 1;
        *type = s->type;
        *flags = LV2_STATE_IS_POD;
        return s->path.c_str();
    };
    ASSERT_EQ(state->restore(second.handle(), retrieve, &stored, 0, nullptr), LV2_STATE_SUCCESS);
    expectSameSamples(second.run(x), reference(x, 0, path));
    std::filesystem::remove(path);
}

TEST(Lv2Plugin, UnusableParameterFileIsLoggedAndChangesNothing) {
    const std::vector<int16_t> x = song(kRate);
    Lv2Host host;
    const std::vector<double> y = host.run(x, 2, "/nonexistent/station.ld3");
    EXPECT_NE(host.host().logged.find("cannot read the parameter file /nonexistent/station.ld3"), std::string::npos);
    expectSameSamples(y, reference(x, -1, ""));
}

}  // namespace
}  // namespace loudara
