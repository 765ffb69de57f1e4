#pragma once
// The values the whole program shares, and the order in which its own state comes up at start
// (StartCore) and goes down at exit (ShutdownCore). The window, its controls and the sound devices
// come up after StartCore and go down before ShutdownCore.

#include <cstdint>
#include <string>

#include "audio/transport_state.h"
#include "base/host.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"
#include "processor/processor.h"

namespace loudara {

struct PanelRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// One per process (theAppState()). The processor switches live in the processor's settings; the
// playlist holds songCount, currentSong, playingSong, sortColumn and headerSortAscending with its
// tables; `stored` holds the device, ON-AIR, export and encoder options of the parameter file.
// Large (the playlist tables): create it on the heap.
// The transport's fields (TransportState) are the base part, which the streaming logic takes.
struct AppState : TransportState {
    std::string startupFolder;  // the per-user data folder (UserDataFolder())
    std::string settingsFile;   // the application settings (SettingsFilePath())
    std::string runStamp;       // 8 digits, names the export job's temporary files
    int32_t exportRunning = 0;
    int32_t mouseHeld = 0;
    int32_t lastClickX = 0, lastClickY = 0;
    uint32_t lastListClickTick = 0;
    PanelRect panelRect;
    Playlist playlist;
    StoredSettings stored;
};

AppState& theAppState();

// The folder of temporary sound files under the start-up folder, with its trailing "/".
std::string TemporaryFolder(const AppState& state);

struct CoreStartOptions {
    std::string startupFolder;  // empty: the per-user data folder, made when missing
    int sizingFrameWidth = 0;   // the window system's sizing-frame width, for panelRect
    std::string settingsFile;   // empty: SettingsFilePath()
};

// Brings the program's own state up, in this order: panelRect; runStamp; the start-up folder;
// presetDescription cleared; the playlist tables zeroed; the processor's first start
// (applyFirstStart: every band's gate at -36 dB, the processor reset, preset 232 applied, the
// virtual speaker initialised); the current-settings file loaded (a missing file keeps all of
// that); the envelope times installed; the output options the parameter file has no room for
// (the true-peak limiter and its ceiling) read from the application settings.
void StartCore(AppState& state, Processor& p, Host& host, const CoreStartOptions& options = {});

// Takes it down again: every file (not folder) directly inside the temporary folder deleted, the
// output options written to the application settings when they changed, then the
// current-settings file saved. False when the settings could not be saved (`error` says why);
// the program itself reports nothing.
bool ShutdownCore(AppState& state, Processor& p, std::string& error);

}  // namespace loudara
