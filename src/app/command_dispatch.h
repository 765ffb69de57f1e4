#pragma once
// Every user command, playlist key, click on the playlist view, drop and main-window timer turns
// into an action on the core state here. Qt-free: the window hands each event in and answers the
// questions a command asks (confirmations, file dialogs) through a CommandHost; the sound layer
// joins in through a Transport once it exists.

#include <cstdint>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/host.h"
#include "processor/processor.h"

namespace loudara {

// The numbers of the user commands; menu items, toolbar buttons, keys and panel buttons all
// send these.
namespace cmd {
inline constexpr int DeEmphasis = 182;
inline constexpr int PresetFmSmooth = 232;  // the default preset
inline constexpr int EncoderSettings = 269;
inline constexpr int About = 301;
inline constexpr int ContinuousPlayback = 302;
inline constexpr int BassEq = 303;
inline constexpr int Bypass = 307;
inline constexpr int UseUserPreset1 = 315, UseUserPreset2 = 316, UseUserPreset3 = 317;
inline constexpr int ChooseNext = 318;
inline constexpr int PeakLevel = 320;
inline constexpr int OpenPlaylist = 321;
inline constexpr int OpenParameterFile = 322;
inline constexpr int ExportCurrent = 323;
inline constexpr int ExportAll = 324;
inline constexpr int MoveDown = 325;
inline constexpr int MoveUp = 326;
inline constexpr int OnAir = 328;
inline constexpr int OpenSoundFile = 331;
inline constexpr int PhaseShifter = 332;
inline constexpr int Play = 333;
inline constexpr int PresetAmTalk = 334;
inline constexpr int PresetInternetTalkMusic = 335;
inline constexpr int PresetDigitalPunchyBass = 336;
inline constexpr int PresetDigitalClearVocal = 337;
inline constexpr int PresetDigitalBrightDense = 338;
inline constexpr int PresetDigitalWideStereo = 339;
inline constexpr int PresetFmPunchyBass = 340;
inline constexpr int PresetFmClearVocal = 341;
inline constexpr int PresetFmBrightDense = 342;
inline constexpr int PresetFmWideStereo = 343;
inline constexpr int Quit = 345;
inline constexpr int UserManual = 346;
inline constexpr int SaveUserPreset1 = 348, SaveUserPreset2 = 349, SaveUserPreset3 = 350;
inline constexpr int Delete = 352;
inline constexpr int SavePlaylist = 354;
inline constexpr int SaveParameterFile = 355;
inline constexpr int SoundDeviceSettings = 358;
inline constexpr int SortAscending = 359;
inline constexpr int SortDescending = 360;
inline constexpr int StereoEnhancer = 363;
inline constexpr int Stop = 364;
inline constexpr int LatestVersion = 365;
inline constexpr int ChoosePrevious = 366;
inline constexpr int VirtualSpeaker = 40118;
inline constexpr int InitVirtualSpeaker = 40120;
inline constexpr int RemoveAll = 40125;
}  // namespace cmd

// The main window's timers: 1 starts the next song, 2 repeats a held knob arrow, 3 switches
// ON-AIR mode on after start-up. 1 and 3 belong to the streaming logic.
inline constexpr int kTimerNextSong = 1;
inline constexpr int kTimerRepeat = 2, kRepeatFirstMs = 500, kRepeatNextMs = 100;
inline constexpr int kTimerOnAirBoot = 3, kTimerOnAirBootMs = 1500;

// The items SetOnAirLock greys while ON-AIR mode is on.
inline constexpr int kOnAirLockedCommands[] = {321, 354, 331, 358, 366, 318, 302, 326,
                                               325, 352, 359, 360, 320, 323, 324, 40125};

// Two clicks on playlist rows closer than this are a quick second click.
inline constexpr uint32_t kQuickClickMs = 500;

inline constexpr const char* kKeyHelpText =
    "[SPACE]:Play/Stop | [UP/DOWN]:Choose Song | [Shift + UP/DOWN]:Move Song | [DEL]:Delete Song";
inline constexpr const char* kOnAirEntryText = "On-Air mode in process..";
inline constexpr const char* kConfirmationCaption = "Confirmation";

enum class ConfirmButtons { OkCancel, YesNo };

// One open or save dialog. A filter is a text with its pattern ("Open Parameter File {*.ld3}",
// "*.ld3").
struct FileDialogRequest {
    bool save = false;            // a save dialog, asking before it overwrites
    bool multiple = false;        // several files may be chosen
    std::string initialName;      // the name field, "*.ld3"
    std::vector<std::pair<std::string, std::string>> filters;
    std::string defaultExtension;  // without the dot
    std::string folder;           // where the dialog opens
};

// What the dispatcher needs from the window besides messages and beeps.
class CommandHost : public Host {
public:
    // A question with a question icon; true for OK or Yes.
    virtual bool askConfirmation(const std::string& text, const std::string& caption, ConfirmButtons buttons) = 0;
    // The chosen files as full paths; empty when the user cancelled.
    virtual std::vector<std::string> chooseFiles(const FileDialogRequest& request) = 0;
    // Invalidates the panel rectangle; it is redrawn from the state.
    virtual void repaintPanel() = 0;
    // RefreshSongList into the playlist view, and the song count into the status bar.
    virtual void refreshSongList() = 0;
    // Greys or enables the menu items and toolbar buttons of kOnAirLockedCommands.
    virtual void setOnAirLock(bool locked) = 0;
    virtual void closeMainWindow() = 0;
    // Asks the desktop to open a document or a web page; false when nothing could show it (no
    // web browser or handler could be started).
    virtual bool openDocument(const std::string& target) = 0;
    // A passing notice in the status bar (for instance, files that could not be added).
    virtual void showStatusText(const std::string&) {}
    virtual void startTimer(int timerId, int periodMs) = 0;
    virtual void stopTimer(int timerId) = 0;
};

// The streaming operations the dispatcher calls, provided by the sound layer.
class Transport {
public:
    virtual ~Transport() = default;
    // StartPlayback of a playlist entry (does nothing unless Stopped).
    virtual void startPlayback(int song) = 0;
    // Stops playback at once (closing the window while Playing).
    virtual void stopPlayback() = 0;
    // Timer 1 (the next song) or timer 3 (ON-AIR mode at start-up) expired.
    virtual void streamTimer(int timerId) = 0;
    // The rate the processor runs the stream at (the device's, which a resampled song or ON-AIR
    // on a JACK server may not share with the playlist entry); 0 while Stopped.
    virtual uint32_t streamRate() const { return 0; }
};

enum class ListKey { Space, Up, Down, Delete };

class DialogHost;

class CommandDispatcher {
public:
    CommandDispatcher(AppState& state, Processor& processor, CommandHost& host);

    // Until a transport is installed, play, stop, ON-AIR and the timers that start playback are
    // unavailable.
    void setTransport(Transport* transport) { transport_ = transport; }
    Transport* transport() const { return transport_; }
    // The settings file the file dialogs remember their folders in.
    void setSettingsFile(std::string path) { settingsFile_ = std::move(path); }
    // The page "Get the latest version..." offers; the command is unavailable without one.
    void setLatestVersionPage(std::string url) { latestVersionPage_ = std::move(url); }
    // The window's dialogs (export, peak scan, settings, splash); their commands are unavailable
    // without them.
    void setDialogHost(DialogHost* dialogs) { dialogs_ = dialogs; }

    // Whether this program has the action of a command at all (menus disable the others).
    bool available(int commandId) const;
    // Runs a command: its guard, its confirmation, its action, the repaint. An unavailable or
    // unknown command does nothing.
    void dispatch(int commandId);

    void listKey(ListKey key, bool shift);
    // Button down on a playlist row; `tick` is the system's millisecond clock. row < 0: no row.
    void listRowClick(int row, uint32_t tick);
    void listRowDoubleClick(int row);
    void headerClick(int column);
    void drop(const std::vector<std::string>& names);
    // The files named on the program's command line (relative to the current folder): playlist
    // files (.plt) have their songs appended, songs and folders are added as a drop adds them.
    void addNamedFiles(const std::vector<std::string>& names);
    // Expiry of timer 1 or 3, handed to the streaming logic (timer 2 belongs to the control
    // panel).
    void timer(int timerId);
    // Command 328's action without its guard: timer 3 switches ON-AIR mode on through it too.
    void switchOnAirMode();
    // The window is being destroyed: a song that plays is stopped before the core shuts down.
    void windowClosing();

private:
    void requestStop();
    void startCurrentSong();
    void toggle(int32_t& flag);
    std::string dialogFolder(const char* key) const;
    std::string chooseOne(FileDialogRequest request, const char* key);
    void openPlaylist();
    void savePlaylist();
    void openSoundFiles();
    void openParameterFile();
    void saveParameterFile();
    void useUserPreset(int number);
    // After a parameter file was loaded over `before`: its external encoder is kept only when the
    // user accepts it, having seen the program and its arguments in full.
    void confirmExternalEncoder(const std::string& path, const StoredSettings& before);
    void saveUserPreset(int number);
    void removeAllSongs();

    AppState& state_;
    Processor& p_;
    CommandHost& host_;
    Transport* transport_ = nullptr;
    std::string settingsFile_;
    std::string latestVersionPage_;
    DialogHost* dialogs_ = nullptr;
};

// "users/user_preset_N.ld3" under the start-up folder.
std::string UserPresetPath(const std::string& startupFolder, int number);

}  // namespace loudara
