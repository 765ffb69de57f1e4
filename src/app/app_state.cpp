#include "app/app_state.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/user_paths.h"
#include "files/export_job.h"
#include "files/temp_folder.h"
#include "persistence/settings_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

constexpr int kPanelLeft = 0;
constexpr int kPanelTop = 28;
constexpr int kPanelWidth = 745;
constexpr int kPanelBottomBeforeLayout = 314;

// The output options kept in the application settings, as their text there. A key that is missing
// or holds something else leaves the option as it is (a missing key reads as the home folder).
void readOutputOptions(ProcessorSettings& s, const std::string& settingsFile) {
    const std::string limiter = ReadSetting(kTruePeakLimiterKey, settingsFile);
    if (limiter == "0" || limiter == "1") s.truePeakLimiter = limiter == "1";
    const std::string ceiling = ReadSetting(kTruePeakCeilingKey, settingsFile);
    char* end = nullptr;
    const double value = std::strtod(ceiling.c_str(), &end);
    const ParameterInfo* info = findSoundParameter("truePeakCeilingDb");
    if (!ceiling.empty() && *end == '\0' && value >= info->minValue && value <= info->maxValue) {
        s.truePeakCeilingDb = value;
    }
}

// Written only when they differ from what the file gives, so a user who never touched them finds
// no settings file made for them.
void writeOutputOptions(const Processor& p, const std::string& settingsFile) {
    ProcessorSettings stored;
    readOutputOptions(stored, settingsFile);
    if (stored.truePeakLimiter != p.settings.truePeakLimiter) {
        WriteSetting(kTruePeakLimiterKey, p.settings.truePeakLimiter == 1 ? "1" : "0", settingsFile);
    }
    if (std::fabs(stored.truePeakCeilingDb - p.settings.truePeakCeilingDb) > 1e-9) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", p.settings.truePeakCeilingDb);
        WriteSetting(kTruePeakCeilingKey, text, settingsFile);
    }
}

}  // namespace

AppState& theAppState() {
    static const std::unique_ptr<AppState> state = std::make_unique<AppState>();
    return *state;
}

std::string TemporaryFolder(const AppState& state) {
    std::string folder = state.startupFolder;
    if (folder.empty() || folder.back() != '/') folder += '/';
    folder += "tempwav/";
    return folder;
}

void StartCore(AppState& state, Processor& p, Host& host, const CoreStartOptions& options) {
    state.panelRect = {kPanelLeft, kPanelTop, kPanelWidth + 2 * options.sizingFrameWidth, kPanelBottomBeforeLayout};
    state.runStamp = makeRunStamp();
    // Working files that runs which were killed left behind (their private folders) go now.
    RemoveStaleTemporaryFolders(SystemTemporaryFolder());
    // The start-up folder is the user's data folder, whatever folder the program was started
    // from; it is made at the first start. One that cannot be made leaves the files unsaved.
    state.startupFolder = options.startupFolder.empty() ? UserDataFolder() : options.startupFolder;
    {
        std::string ignored;
        MakeUserDataFolder(TemporaryFolder(state), ignored);
    }
    std::memset(p.settings.presetDescription, 0, sizeof p.settings.presetDescription);
    ClearPlaylistTables(state.playlist);
    applyFirstStart(p);
    // The current-settings file over that (a missing file keeps it), then its envelope times.
    LoadParameterFile(p, state.stored, "", state.startupFolder, host);
    selectEnvelopeTimes(p);
    state.settingsFile = options.settingsFile.empty() ? SettingsFilePath() : options.settingsFile;
    readOutputOptions(p.settings, state.settingsFile);
}

bool ShutdownCore(AppState& state, Processor& p, std::string& error) {
    std::error_code ec;
    for (fs::directory_iterator it(TemporaryFolder(state), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e;
        if (it->symlink_status(e).type() == fs::file_type::directory) continue;
        fs::remove(it->path(), e);  // a file that cannot be deleted is left
    }
    writeOutputOptions(p, state.settingsFile);
    return SaveParameterFile(p, state.stored, "", state.startupFolder, error);
}

}  // namespace loudara
