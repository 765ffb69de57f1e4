#include "app/app_state.h"

#include <cstring>
#include <filesystem>
#include <memory>

#include "app/user_paths.h"
#include "files/export_job.h"
#include "files/temp_folder.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

constexpr int kPanelLeft = 0;
constexpr int kPanelTop = 28;
constexpr int kPanelWidth = 745;
constexpr int kPanelBottomBeforeLayout = 314;

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
}

bool ShutdownCore(AppState& state, Processor& p, std::string& error) {
    std::error_code ec;
    for (fs::directory_iterator it(TemporaryFolder(state), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e;
        if (it->symlink_status(e).type() == fs::file_type::directory) continue;
        fs::remove(it->path(), e);  // a file that cannot be deleted is left
    }
    return SaveParameterFile(p, state.stored, "", state.startupFolder, error);
}

}  // namespace loudara
