// The LV2 face of the plugin (bundle loudara.lv2, described by lv2_description): the same ports
// as the LADSPA plugin with exact defaults, then an atom port through which the host sets the
// parameter file (a patch:Set of loudara#parameterFile to an atom:Path). The file is read by
// the host's worker thread, never in run(), and taken over between two runs; its path is kept in
// the plugin's state, so a saved session loads it again.

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "plugins/loudara_plugin.h"
#include "plugins/lv2_description.h"
#include "plugins/plugin_controls.h"

namespace loudara::plugin {

namespace {

constexpr size_t kPathBytes = 4096;

struct Uris {
    LV2_URID atomPath = 0, atomObject = 0, patchSet = 0, patchProperty = 0, patchValue = 0, parameterFile = 0;
};

// What the worker hands back: the file's bytes, read outside the audio thread.
struct LoadedImage {
    int length = 0;
    uint8_t bytes[kParameterImageBytes];
};

struct Lv2Plugin {
    Lv2Plugin(int rate) : plugin(rate, startValues()) {}

    static std::vector<float> startValues() {
        std::vector<float> values;
        for (const Control& c : controls()) values.push_back(static_cast<float>(c.defaultValue));
        return values;
    }

    LoudaraPlugin plugin;
    Uris uris;
    LV2_URID_Map* map = nullptr;
    LV2_Worker_Schedule* schedule = nullptr;
    LV2_Log_Logger logger{};
    const LV2_Atom_Sequence* control = nullptr;
    char pendingPath[kPathBytes] = "";  // asked for, being read
    char loadedPath[kPathBytes] = "";   // the file in use, for the state
};

// Reads a parameter file in a normal thread; false, with the reason logged, when it cannot be used.
bool readImage(Lv2Plugin& self, const char* path, LoadedImage& image) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        lv2_log_error(&self.logger, "loudara: cannot read the parameter file %s: %s\n", path, std::strerror(errno));
        return false;
    }
    image.length = static_cast<int>(std::fread(image.bytes, 1, sizeof image.bytes, f));
    std::fclose(f);
    SoundParameterRows check;
    const ParameterImageStatus status = readSoundParameterImage(image.bytes, image.length, check);
    if (status == ParameterImageStatus::WrongMagic) {
        lv2_log_error(&self.logger, "loudara: %s is not a Loudara parameter file\n", path);
        return false;
    }
    if (status == ParameterImageStatus::InvalidValue) {
        lv2_log_error(&self.logger, "loudara: the parameter file %s is damaged (a value is no number)\n", path);
        return false;
    }
    return true;
}

void applyImage(Lv2Plugin& self, const LoadedImage& image) {
    SoundParameterRows rows = self.plugin.settings();
    if (readSoundParameterImage(image.bytes, image.length, rows) == ParameterImageStatus::Loaded) {
        self.plugin.replaceSettings(rows);
    }
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Worker_Schedule* schedule = nullptr;
    LV2_Log_Log* log = nullptr;
    for (int i = 0; features && features[i]; ++i) {
        if (!std::strcmp(features[i]->URI, LV2_URID__map)) map = static_cast<LV2_URID_Map*>(features[i]->data);
        if (!std::strcmp(features[i]->URI, LV2_WORKER__schedule)) {
            schedule = static_cast<LV2_Worker_Schedule*>(features[i]->data);
        }
        if (!std::strcmp(features[i]->URI, LV2_LOG__log)) log = static_cast<LV2_Log_Log*>(features[i]->data);
    }
    LV2_Log_Logger logger{};
    lv2_log_logger_init(&logger, map, log);
    if (!rateSupported(rate)) {
        lv2_log_error(&logger, "loudara: %s\n", rateRefusal(rate).c_str());
        return nullptr;
    }
    auto* self = new (std::nothrow) Lv2Plugin(static_cast<int>(rate));
    if (!self) return nullptr;
    self->map = map;
    self->schedule = schedule;
    self->logger = logger;
    if (map) {
        self->uris.atomPath = map->map(map->handle, LV2_ATOM__Path);
        self->uris.atomObject = map->map(map->handle, LV2_ATOM__Object);
        self->uris.patchSet = map->map(map->handle, LV2_PATCH__Set);
        self->uris.patchProperty = map->map(map->handle, LV2_PATCH__property);
        self->uris.patchValue = map->map(map->handle, LV2_PATCH__value);
        self->uris.parameterFile = map->map(map->handle, kLv2ParameterFileUri);
    }
    return self;
}

void connectPort(LV2_Handle h, uint32_t port, void* data) {
    auto* self = static_cast<Lv2Plugin*>(h);
    if (port == portCount()) {
        self->control = static_cast<const LV2_Atom_Sequence*>(data);
    } else {
        self->plugin.connect(port, static_cast<float*>(data));
    }
}

void activate(LV2_Handle h) { static_cast<Lv2Plugin*>(h)->plugin.activate(); }

// A patch:Set of the parameter file: the path goes to the worker (copied, no allocation).
void readMessages(Lv2Plugin& self) {
    if (!self.control || !self.map) return;
    LV2_ATOM_SEQUENCE_FOREACH(self.control, event) {
        if (event->body.type != self.uris.atomObject) continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype != self.uris.patchSet) continue;
        const LV2_Atom* property = nullptr;
        const LV2_Atom* value = nullptr;
        lv2_atom_object_get(object, self.uris.patchProperty, &property, self.uris.patchValue, &value, 0);
        if (!property || !value || reinterpret_cast<const LV2_Atom_URID*>(property)->body != self.uris.parameterFile ||
            value->type != self.uris.atomPath || value->size == 0 || value->size > kPathBytes || !self.schedule) {
            continue;
        }
        std::memcpy(self.pendingPath, LV2_ATOM_BODY_CONST(value), value->size);
        self.pendingPath[kPathBytes - 1] = '\0';
        self.schedule->schedule_work(self.schedule->handle, sizeof self.pendingPath, self.pendingPath);
    }
}

void run(LV2_Handle h, uint32_t frames) {
    auto* self = static_cast<Lv2Plugin*>(h);
    readMessages(*self);
    self->plugin.run(frames);
}

void cleanup(LV2_Handle h) { delete static_cast<Lv2Plugin*>(h); }

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
    auto* self = static_cast<Lv2Plugin*>(h);
    if (size == 0) return LV2_WORKER_ERR_UNKNOWN;
    std::string path(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), size));
    auto image = std::make_unique<LoadedImage>();
    if (!readImage(*self, path.c_str(), *image)) return LV2_WORKER_SUCCESS;
    return respond(handle, sizeof(LoadedImage), image.get());
}

LV2_Worker_Status workResponse(LV2_Handle h, uint32_t size, const void* data) {
    auto* self = static_cast<Lv2Plugin*>(h);
    if (size != sizeof(LoadedImage)) return LV2_WORKER_ERR_UNKNOWN;
    applyImage(*self, *static_cast<const LoadedImage*>(data));
    std::memcpy(self->loadedPath, self->pendingPath, kPathBytes);
    return LV2_WORKER_SUCCESS;
}

const LV2_Feature* feature(const LV2_Feature* const* features, const char* uri) {
    for (int i = 0; features && features[i]; ++i) {
        if (!std::strcmp(features[i]->URI, uri)) return features[i];
    }
    return nullptr;
}

LV2_State_Status save(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                      const LV2_Feature* const* features) {
    auto* self = static_cast<Lv2Plugin*>(h);
    if (!self->map || self->loadedPath[0] == '\0') return LV2_STATE_SUCCESS;
    const LV2_Feature* mapPath = feature(features, LV2_STATE__mapPath);
    std::string stored = self->loadedPath;
    if (mapPath) {
        auto* m = static_cast<LV2_State_Map_Path*>(mapPath->data);
        char* abstract = m->abstract_path(m->handle, self->loadedPath);
        if (abstract) {
            stored = abstract;
            std::free(abstract);
        }
    }
    return store(handle, self->uris.parameterFile, stored.c_str(), stored.size() + 1, self->uris.atomPath,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status restore(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                         const LV2_Feature* const* features) {
    auto* self = static_cast<Lv2Plugin*>(h);
    if (!self->map) return LV2_STATE_SUCCESS;
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(handle, self->uris.parameterFile, &size, &type, &flags);
    if (!value || type != self->uris.atomPath || size == 0) return LV2_STATE_SUCCESS;
    std::string path(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));
    if (const LV2_Feature* mapPath = feature(features, LV2_STATE__mapPath)) {
        auto* m = static_cast<LV2_State_Map_Path*>(mapPath->data);
        if (char* absolute = m->absolute_path(m->handle, path.c_str())) {
            path = absolute;
            std::free(absolute);
        }
    }
    // Restoring never runs beside run(): the file is read and taken over here.
    auto image = std::make_unique<LoadedImage>();
    if (path.size() >= kPathBytes || !readImage(*self, path.c_str(), *image)) return LV2_STATE_ERR_UNKNOWN;
    applyImage(*self, *image);
    std::memcpy(self->loadedPath, path.c_str(), path.size() + 1);
    return LV2_STATE_SUCCESS;
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    static const LV2_State_Interface state = {save, restore};
    if (!std::strcmp(uri, LV2_WORKER__interface)) return &worker;
    if (!std::strcmp(uri, LV2_STATE__interface)) return &state;
    return nullptr;
}

const LV2_Descriptor kDescriptor = {kLv2PluginUri, instantiate, connectPort, activate, run, nullptr, cleanup,
                                    extensionData};

}  // namespace

}  // namespace loudara::plugin

extern "C" __attribute__((visibility("default"))) const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &loudara::plugin::kDescriptor : nullptr;
}
