#include "app/command_dispatch.h"

#include <cstdio>
#include <filesystem>

#include "app/export_commands.h"
#include "app/user_paths.h"
#include "base/text.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"
#include "persistence/settings_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

bool isStopped(const AppState& s) { return s.playState == PlayState::Stopped; }

bool hasValidCurrentSong(const Playlist& list) {
    return list.songCount > 0 && list.currentSong >= 0 && list.currentSong < list.songCount;
}

int onAirRate(uint16_t choice) { return choice == 0 ? 32000 : (choice == 1 ? 44100 : 48000); }

const std::pair<std::string, std::string> kAllFiles{"All files {*.*}", "*.*"};

}  // namespace

std::string UserPresetPath(const std::string& startupFolder, int number) {
    std::string path = startupFolder;
    if (path.empty() || path.back() != '/') path += '/';
    path += "users/user_preset_";
    path += std::to_string(number);
    path += ".ld3";
    return path;
}

CommandDispatcher::CommandDispatcher(AppState& state, Processor& processor, CommandHost& host)
    : state_(state), p_(processor), host_(host), settingsFile_(SettingsFilePath()) {}

bool CommandDispatcher::available(int id) const {
    switch (id) {
        case cmd::SoundDeviceSettings:
        case cmd::PeakLevel:
        case cmd::ExportCurrent:
        case cmd::ExportAll:
        case cmd::EncoderSettings:
        case cmd::About:
            return dialogs_ != nullptr;
        case cmd::Play:
        case cmd::Stop:
        case cmd::OnAir:
            return transport_ != nullptr;
        case cmd::LatestVersion:
            return !latestVersionPage_.empty();
        default:
            return true;
    }
}

void CommandDispatcher::toggle(int32_t& flag) {
    flag = 1 - flag;
    host_.repaintPanel();
}

void CommandDispatcher::dispatch(int id) {
    if (!available(id)) return;
    if (dialogs_ != nullptr && RunDialogCommand({state_, p_, host_, *dialogs_, settingsFile_}, id)) return;
    Playlist& list = state_.playlist;
    ProcessorSettings& s = p_.settings;
    switch (id) {
        case cmd::OpenPlaylist:
            if (isStopped(state_)) openPlaylist();
            return;
        case cmd::SavePlaylist: savePlaylist(); return;
        case cmd::OpenSoundFile: openSoundFiles(); return;
        case cmd::Quit: host_.closeMainWindow(); return;
        case cmd::OpenParameterFile: openParameterFile(); return;
        case cmd::SaveParameterFile: saveParameterFile(); return;
        case cmd::PresetFmSmooth:
        case cmd::PresetAmTalk:
        case cmd::PresetInternetTalkMusic:
        case cmd::PresetDigitalPunchyBass:
        case cmd::PresetDigitalClearVocal:
        case cmd::PresetDigitalBrightDense:
        case cmd::PresetDigitalWideStereo:
        case cmd::PresetFmPunchyBass:
        case cmd::PresetFmClearVocal:
        case cmd::PresetFmBrightDense:
        case cmd::PresetFmWideStereo:
            selectPresetById(p_, id);
            host_.repaintPanel();
            return;
        case cmd::UseUserPreset1: useUserPreset(1); return;
        case cmd::UseUserPreset2: useUserPreset(2); return;
        case cmd::UseUserPreset3: useUserPreset(3); return;
        case cmd::SaveUserPreset1: saveUserPreset(1); return;
        case cmd::SaveUserPreset2: saveUserPreset(2); return;
        case cmd::SaveUserPreset3: saveUserPreset(3); return;
        case cmd::Bypass: toggle(s.bypass); return;
        case cmd::BassEq: toggle(s.bassEqOff); return;
        case cmd::PhaseShifter: toggle(s.phaseShifterOn); return;
        case cmd::StereoEnhancer: toggle(s.enhancerOn); return;
        case cmd::VirtualSpeaker: toggle(s.virtualSpeakerOn); return;
        case cmd::DeEmphasis: toggle(s.deEmphasisOn); return;
        case cmd::ContinuousPlayback: toggle(state_.continuousPlayback); return;
        case cmd::InitVirtualSpeaker:
            initVirtualSpeaker(p_);
            host_.repaintPanel();
            return;
        case cmd::OnAir:
            if (!isStopped(state_)) return;
            switchOnAirMode();
            host_.repaintPanel();
            return;
        case cmd::Play:
            if (hasValidCurrentSong(list)) startCurrentSong();
            return;
        case cmd::Stop:
            if (!isStopped(state_)) requestStop();
            return;
        case cmd::ChoosePrevious:
            if (list.currentSong > 0) {
                --list.currentSong;
                host_.repaintPanel();
            }
            return;
        case cmd::ChooseNext:
            if (list.currentSong + 1 < list.songCount) {
                ++list.currentSong;
                host_.repaintPanel();
            }
            return;
        case cmd::MoveUp:
            if (MoveSongUp(list)) host_.refreshSongList();
            host_.repaintPanel();
            return;
        case cmd::MoveDown:
            if (MoveSongDown(list)) host_.refreshSongList();
            host_.repaintPanel();
            return;
        case cmd::Delete:
            if (DeleteCurrentSong(list, state_.playState)) host_.refreshSongList();
            host_.repaintPanel();
            return;
        case cmd::SortAscending:
        case cmd::SortDescending:
            if (list.songCount < 1) return;
            SortPlaylist(list, id == cmd::SortAscending);
            host_.refreshSongList();
            host_.repaintPanel();
            return;
        case cmd::RemoveAll: removeAllSongs(); return;
        case cmd::UserManual:
            if (const std::string manual = UserManualPath(); !host_.openDocument(manual)) {
                host_.showMessage("No web browser could be started to show the User's Manual.\nIt is the page " + manual +
                                      "\n(open it in a browser, or install xdg-utils and a browser).",
                                  "Loudara", MessageIcon::Information);
            }
            return;
        case cmd::LatestVersion: {
            std::string text = "The latest version of Loudara can be found on the web page\n";
            text += latestVersionPage_;
            text += "\n\nDo you want to go to the page now?";
            if (host_.askConfirmation(text, "Information", ConfirmButtons::YesNo) && !host_.openDocument(latestVersionPage_)) {
                host_.showMessage("No web browser could be started. The page is\n" + latestVersionPage_, "Loudara",
                                  MessageIcon::Information);
            }
            return;
        }
        default: return;
    }
}

void CommandDispatcher::requestStop() {
    state_.noAdvanceOnce = 1;
    state_.playState = PlayState::Draining;
}

void CommandDispatcher::startCurrentSong() {
    if (transport_ != nullptr) transport_->startPlayback(state_.playlist.currentSong);
}

void CommandDispatcher::removeAllSongs() {
    Playlist& list = state_.playlist;
    if (!isStopped(state_) && list.playingSong == list.currentSong) return;
    if (list.songCount < 1) return;
    list.songCount = 0;
    list.currentSong = 0;
    host_.refreshSongList();
    host_.repaintPanel();
}

std::string CommandDispatcher::dialogFolder(const char* key) const {
    return DialogFolderFor(ReadSetting(key, settingsFile_));
}

// Opens the dialog in the folder `key` remembers, and remembers the chosen path before it is
// used, even when what follows fails. Empty when the user cancelled.
std::string CommandDispatcher::chooseOne(FileDialogRequest request, const char* key) {
    request.folder = dialogFolder(key);
    const std::vector<std::string> chosen = host_.chooseFiles(request);
    if (chosen.empty()) return {};
    WriteSetting(key, chosen.front(), settingsFile_);
    return chosen.front();
}

void CommandDispatcher::openPlaylist() {
    FileDialogRequest request;
    request.initialName = "*.plt";
    request.filters = {{"Open PlayList file {*.plt}", "*.plt"}, kAllFiles};
    request.defaultExtension = "plt";
    const std::string path = chooseOne(request, kListFileDirKey);
    if (path.empty()) return;
    LoadPlaylist(state_.playlist, path, state_.playState);
    host_.refreshSongList();
    host_.repaintPanel();
}

void CommandDispatcher::savePlaylist() {
    FileDialogRequest request;
    request.save = true;
    request.initialName = "*.plt";
    request.filters = {{"Save PlayList file {*.plt}", "*.plt"}, kAllFiles};
    request.defaultExtension = "plt";
    const std::string path = chooseOne(request, kListFileSaveDirKey);
    if (path.empty()) return;
    std::string error;
    SavePlaylist(state_.playlist, path, error);  // a file that cannot be written is not reported
}

void CommandDispatcher::openSoundFiles() {
    FileDialogRequest request;
    request.multiple = true;
    request.filters = {{"Open WAV/MP3 file {*.wav;*.mp3}", "*.WAV;*.MP3"}, kAllFiles};
    request.defaultExtension = "wav";
    request.folder = dialogFolder(kSoundFileDirKey);
    const std::vector<std::string> chosen = host_.chooseFiles(request);
    if (chosen.empty()) return;
    // One file is remembered by its path, several by their folder.
    const std::string remembered =
        chosen.size() == 1 ? chosen.front() : fs::path(chosen.front()).parent_path().string();
    WriteSetting(kSoundFileDirKey, remembered, settingsFile_);
    state_.playlist.skipped = {};
    AddChosenSoundFiles(state_.playlist, chosen, state_.playState, host_);
    if (state_.playlist.skipped.total() > 0) host_.showStatusText(SkippedFilesText(state_.playlist.skipped));
    host_.refreshSongList();
    host_.repaintPanel();
}

void CommandDispatcher::openParameterFile() {
    FileDialogRequest request;
    request.initialName = "*.ld3";
    request.filters = {{"Open Parameter File {*.ld3}", "*.ld3"}, kAllFiles};
    request.defaultExtension = "ld3";
    const std::string path = chooseOne(request, kParamFileDirKey);
    if (path.empty()) return;
    const StoredSettings before = state_.stored;
    LoadParameterFile(p_, state_.stored, path, state_.startupFolder, host_);
    confirmExternalEncoder(path, before);
    host_.repaintPanel();
}

void CommandDispatcher::confirmExternalEncoder(const std::string& path, const StoredSettings& before) {
    StoredSettings& loaded = state_.stored;
    if (SameExternalEncoder(before, loaded)) return;
    // A parameter file is passed around like a preset: the program it names is never run
    // unless the user says so.
    auto describe = [](const StoredSettings& s) {
        std::string text = s.useExternalEncoder != 0 ? "  in use: yes\n" : "  in use: no\n";
        text += "  program: " + std::string(s.externalEncoderPath) + "\n";
        text += "  arguments: " + std::string(s.externalEncoderParams) + "\n";
        return text;
    };
    const std::string question = "The parameter file " + path +
                                 " holds other external MP3 encoding program settings:\n\n" + describe(loaded) +
                                 "\nThe settings in use now:\n\n" + describe(before) +
                                 "\nUse the file's external encoder settings? (No keeps the ones in use.)";
    if (!host_.askConfirmation(question, kConfirmationCaption, ConfirmButtons::YesNo)) {
        CopyExternalEncoder(before, loaded);
    }
}

void CommandDispatcher::saveParameterFile() {
    FileDialogRequest request;
    request.save = true;
    request.initialName = "*.ld3";
    request.filters = {{"Save Parameter File {*.ld3}", "*.ld3"}, kAllFiles};
    request.defaultExtension = "ld3";
    const std::string path = chooseOne(request, kParamFileSaveDirKey);
    if (path.empty()) return;
    std::string error;
    SaveParameterFile(p_, state_.stored, path, state_.startupFolder, error);
}

void CommandDispatcher::useUserPreset(int number) {
    const StoredSettings before = state_.stored;
    const std::string path = UserPresetPath(state_.startupFolder, number);
    LoadParameterFile(p_, state_.stored, path, state_.startupFolder, host_);
    confirmExternalEncoder(path, before);
    // A stream that runs goes on at its own rate, which a resampled song does not share with its
    // entry.
    const Playlist& list = state_.playlist;
    const uint32_t streamRate = transport_ ? transport_->streamRate() : 0;
    prepareForSong(p_, static_cast<int>(streamRate != 0 ? streamRate : list.songs[list.playingSong].sampleRate));
    host_.repaintPanel();
}

void CommandDispatcher::saveUserPreset(int number) {
    char text[80];
    std::snprintf(text, sizeof text, "Save the current settings to Preset #%d.\nAre you sure?", number);
    if (!host_.askConfirmation(text, kConfirmationCaption, ConfirmButtons::OkCancel)) return;
    const std::string path = UserPresetPath(state_.startupFolder, number);
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string error;
    SaveParameterFile(p_, state_.stored, path, state_.startupFolder, error);
    host_.repaintPanel();
}

void CommandDispatcher::switchOnAirMode() {
    Playlist& list = state_.playlist;
    list.currentSong = 0;
    state_.onAirMode = 1 - state_.onAirMode;
    list.playingSong = 0;
    if (state_.onAirMode == 1) {
        list.songCount = 1;
        SongRecord& entry = list.songs[0];
        entry = SongRecord{};
        entry.kind = SongKind::Wav;
        entry.channels = 2;
        entry.peakLevel = 0;
        entry.dataBytes = 0;
        std::snprintf(entry.path, sizeof entry.path, "%s", kOnAirEntryText);
        entry.sampleRate = static_cast<uint32_t>(onAirRate(state_.stored.onAirRateChoice));
        host_.setOnAirLock(true);
    } else {
        list.songCount = 0;
        host_.setOnAirLock(false);
    }
    host_.refreshSongList();
}

void CommandDispatcher::listKey(ListKey key, bool shift) {
    switch (key) {
        case ListKey::Space:
            if (state_.playState == PlayState::Stopped) {
                dispatch(cmd::Play);
            } else if (state_.playState == PlayState::Playing) {
                dispatch(cmd::Stop);
            }
            return;
        case ListKey::Up: dispatch(shift ? cmd::MoveUp : cmd::ChoosePrevious); return;
        case ListKey::Down: dispatch(shift ? cmd::MoveDown : cmd::ChooseNext); return;
        case ListKey::Delete: dispatch(cmd::Delete); return;
    }
}

void CommandDispatcher::listRowClick(int row, uint32_t tick) {
    if (row < 0) return;
    Playlist& list = state_.playlist;
    const uint32_t sinceLast = tick - state_.lastListClickTick;
    if (tick != state_.lastListClickTick && sinceLast < kQuickClickMs) {
        if (isStopped(state_)) {
            if (hasValidCurrentSong(list)) startCurrentSong();
        } else {
            requestStop();
        }
    } else {
        if (row < list.songCount) list.currentSong = row;
        host_.repaintPanel();
    }
    state_.lastListClickTick = tick;
}

void CommandDispatcher::listRowDoubleClick(int row) {
    if (row < 0) return;
    if (!isStopped(state_)) {
        requestStop();
    } else if (hasValidCurrentSong(state_.playlist)) {
        startCurrentSong();
    }
}

void CommandDispatcher::headerClick(int column) {
    Playlist& list = state_.playlist;
    list.sortColumn = column;
    dispatch(list.headerSortAscending == 1 ? cmd::SortAscending : cmd::SortDescending);
}

void CommandDispatcher::drop(const std::vector<std::string>& names) {
    state_.playlist.skipped = {};
    AddDroppedNames(state_.playlist, names, state_.playState, host_);
    if (state_.playlist.skipped.total() > 0) host_.showStatusText(SkippedFilesText(state_.playlist.skipped));
    host_.refreshSongList();
    host_.repaintPanel();
}

void CommandDispatcher::addNamedFiles(const std::vector<std::string>& names) {
    Playlist& list = state_.playlist;
    list.skipped = {};
    std::string unread;
    // In the order named.
    for (const std::string& name : names) {
        std::error_code ec;
        const std::string path = fs::absolute(name, ec).lexically_normal().string();
        if (!endsWithNoCase(path, ".plt")) {
            AddDroppedNames(list, {path}, state_.playState, host_);
        } else if (!AppendPlaylistFile(list, path, state_.playState)) {
            unread += (unread.empty() ? "" : ", ") + name;
        }
    }
    if (list.skipped.total() > 0) host_.showStatusText(SkippedFilesText(list.skipped));
    host_.refreshSongList();
    host_.repaintPanel();
    if (!unread.empty()) host_.showMessage("Cannot read the playlist " + unread, "Loudara", MessageIcon::Exclamation);
}

void CommandDispatcher::timer(int timerId) {
    if (timerId != kTimerNextSong && timerId != kTimerOnAirBoot) return;
    if (transport_ == nullptr) {
        host_.stopTimer(timerId);
        return;
    }
    transport_->streamTimer(timerId);
    host_.repaintPanel();
}

void CommandDispatcher::windowClosing() {
    if (state_.playState == PlayState::Playing && transport_ != nullptr) transport_->stopPlayback();
}

}  // namespace loudara
