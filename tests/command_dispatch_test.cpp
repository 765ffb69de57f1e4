// The command dispatcher without a window: commands by id on the core state, with a host that
// answers confirmations and file dialogs as the test says and records what it was asked.

#include <gtest/gtest.h>

#include <memory>

#include "app/command_dispatch.h"
#include "app/user_paths.h"
#include "persistence/settings_file.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {
namespace fs = std::filesystem;

class FakeHost : public CommandHost {
public:
    void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    void beep() override { ++beeps; }
    bool askConfirmation(const std::string& text, const std::string& caption, ConfirmButtons buttons) override {
        questions.push_back({text, caption, MessageIcon::Question});
        lastButtons = buttons;
        return answer;
    }
    std::vector<std::string> chooseFiles(const FileDialogRequest& request) override {
        dialogs.push_back(request);
        return chosen;
    }
    void repaintPanel() override { ++repaints; }
    void refreshSongList() override { ++refreshes; }
    void setOnAirLock(bool locked) override { lockCalls.push_back(locked); }
    void closeMainWindow() override { ++closes; }
    bool openDocument(const std::string& target) override {
        opened.push_back(target);
        return browser;
    }
    void startTimer(int timerId, int periodMs) override { started.push_back({timerId, periodMs}); }
    void stopTimer(int timerId) override { stopped.push_back(timerId); }

    bool answer = true;
    bool browser = true;  // openDocument finds something to show the document
    ConfirmButtons lastButtons = ConfirmButtons::OkCancel;
    std::vector<std::string> chosen;
    std::vector<RecordingHost::Message> messages, questions;
    std::vector<FileDialogRequest> dialogs;
    std::vector<bool> lockCalls;
    std::vector<std::string> opened;
    std::vector<std::pair<int, int>> started;
    std::vector<int> stopped;
    int beeps = 0, repaints = 0, refreshes = 0, closes = 0;
};

class FakeTransport : public Transport {
public:
    void startPlayback(int song) override { startedSongs.push_back(song); }
    void stopPlayback() override { ++stops; }
    void streamTimer(int timerId) override { timers.push_back(timerId); }
    std::vector<int> startedSongs, timers;
    int stops = 0;
};

class DispatchTest : public TempFolder {
protected:
    void SetUp() override {
        TempFolder::SetUp();
        state->startupFolder = folder.string();
        dispatcher.setSettingsFile((folder / "ldrmp3.ini").string());
    }

    std::string settingsFile() const { return (folder / "ldrmp3.ini").string(); }

    // Songs with these names enter the playlist as one-second WAV files.
    void addSongs(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const std::string path = write(name, pcmWave(std::vector<int16_t>(88200, 100), 2, 44100));
            ASSERT_EQ(AddSoundFile(state->playlist, path, state->playState, host), AddResult::Added);
        }
    }
    std::string songName(int i) const { return SongFileName(state->playlist.songs[i].path); }

    std::unique_ptr<AppState> state = std::make_unique<AppState>();
    std::unique_ptr<Processor> processor = std::make_unique<Processor>();
    FakeHost host;
    CommandDispatcher dispatcher{*state, *processor, host};
};

TEST_F(DispatchTest, SwitchesFlipAndRepaint) {
    ProcessorSettings& s = processor->settings;
    const struct {
        int id;
        int32_t* flag;
    } switches[] = {{cmd::Bypass, &s.bypass},           {cmd::BassEq, &s.bassEqOff},
                    {cmd::PhaseShifter, &s.phaseShifterOn}, {cmd::StereoEnhancer, &s.enhancerOn},
                    {cmd::VirtualSpeaker, &s.virtualSpeakerOn}, {cmd::DeEmphasis, &s.deEmphasisOn},
                    {cmd::ContinuousPlayback, &state->continuousPlayback}};
    for (const auto& sw : switches) {
        const int32_t before = *sw.flag;
        const int repaints = host.repaints;
        dispatcher.dispatch(sw.id);
        EXPECT_EQ(*sw.flag, 1 - before) << sw.id;
        EXPECT_EQ(host.repaints, repaints + 1) << sw.id;
        dispatcher.dispatch(sw.id);
        EXPECT_EQ(*sw.flag, before) << sw.id;
    }

    s.speakerSpacingCm = 3.0;
    s.roomDistanceM = 30.0;
    s.reflectionPercent = 0.0;
    s.channelMode = 0.0;
    dispatcher.dispatch(cmd::InitVirtualSpeaker);
    EXPECT_EQ(s.speakerSpacingCm, 18.0);
    EXPECT_EQ(s.roomDistanceM, 10.0);
    EXPECT_EQ(s.reflectionPercent, 40.0);
    EXPECT_EQ(s.channelMode, 1.0);
}

TEST_F(DispatchTest, PresetCommandsApplyTheirRecords) {
    for (const BuiltinPreset& preset : builtinPresets()) {
        for (BandSettings& band : processor->bands) band.driveDb = 99.0;
        processor->params.agcDepthDb = 99.0;
        dispatcher.dispatch(preset.commandId);
        EXPECT_EQ(processor->bands[3].driveDb, preset.record.driveDb[3]) << preset.commandId;
        EXPECT_EQ(processor->params.agcDepthDb, preset.record.agcDepthDb) << preset.commandId;
    }
}

TEST_F(DispatchTest, UserPresetIsSavedOnlyAfterConfirmationAndLoadsBack) {
    processor->params.agcThresholdDb = -12.5;
    host.answer = false;
    dispatcher.dispatch(cmd::SaveUserPreset2);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].text, "Save the current settings to Preset #2.\nAre you sure?");
    EXPECT_EQ(host.questions[0].caption, "Confirmation");
    EXPECT_EQ(host.lastButtons, ConfirmButtons::OkCancel);
    EXPECT_FALSE(fs::exists(folder / "users"));

    host.answer = true;
    dispatcher.dispatch(cmd::SaveUserPreset2);
    const fs::path file = folder / "users" / "user_preset_2.ld3";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), static_cast<uintmax_t>(kParameterFileBytes));

    processor->params.agcThresholdDb = -30.0;
    dispatcher.dispatch(cmd::UseUserPreset2);
    EXPECT_EQ(processor->params.agcThresholdDb, -12.5);
    EXPECT_EQ(host.questions.size(), 2u);  // loading asks nothing
}

TEST_F(DispatchTest, ParameterFileDialogsUseAndRememberTheirFolders) {
    WriteSetting(kParamFileDirKey, folder.string(), settingsFile());
    host.chosen = {};
    dispatcher.dispatch(cmd::OpenParameterFile);
    ASSERT_EQ(host.dialogs.size(), 1u);
    const FileDialogRequest& open = host.dialogs[0];
    EXPECT_FALSE(open.save);
    EXPECT_EQ(open.folder, folder.string());
    EXPECT_EQ(open.initialName, "*.ld3");
    EXPECT_EQ(open.defaultExtension, "ld3");
    ASSERT_EQ(open.filters.size(), 2u);
    EXPECT_EQ(open.filters[0].first, "Open Parameter File {*.ld3}");
    EXPECT_EQ(open.filters[0].second, "*.ld3");
    EXPECT_EQ(open.filters[1].first, "All files {*.*}");
    EXPECT_EQ(ReadSetting(kParamFileDirKey, settingsFile()), folder.string());  // a cancel writes nothing

    const std::string path = (folder / "mine.ld3").string();
    processor->params.finalClipDb = -4.0;
    host.chosen = {path};
    dispatcher.dispatch(cmd::SaveParameterFile);
    EXPECT_TRUE(host.dialogs.back().save);
    EXPECT_EQ(host.dialogs.back().filters[0].first, "Save Parameter File {*.ld3}");
    EXPECT_EQ(ReadSetting(kParamFileSaveDirKey, settingsFile()), path);
    ASSERT_TRUE(fs::exists(path));

    processor->params.finalClipDb = -1.0;
    dispatcher.dispatch(cmd::OpenParameterFile);
    EXPECT_EQ(ReadSetting(kParamFileDirKey, settingsFile()), path);
    EXPECT_EQ(processor->params.finalClipDb, -4.0);
}

TEST_F(DispatchTest, SoundFilesAreAddedAndTheirFolderOrPathRemembered) {
    const std::string a = write("a.wav", pcmWave(std::vector<int16_t>(400, 1), 2, 48000));
    const std::string b = write("b.wav", pcmWave(std::vector<int16_t>(400, 1), 1, 32000));
    host.chosen = {a, b};
    dispatcher.dispatch(cmd::OpenSoundFile);
    EXPECT_EQ(host.dialogs[0].filters[0].first, "Open WAV/MP3 file {*.wav;*.mp3}");
    EXPECT_EQ(host.dialogs[0].filters[0].second, "*.WAV;*.MP3");
    EXPECT_TRUE(host.dialogs[0].multiple);
    EXPECT_EQ(state->playlist.songCount, 2);
    EXPECT_EQ(ReadSetting(kSoundFileDirKey, settingsFile()), folder.string());
    EXPECT_GE(host.refreshes, 1);

    host.chosen = {a};
    dispatcher.dispatch(cmd::OpenSoundFile);
    EXPECT_EQ(state->playlist.songCount, 3);
    EXPECT_EQ(ReadSetting(kSoundFileDirKey, settingsFile()), a);
}

TEST_F(DispatchTest, PlaylistRoundTripThroughTheDialogs) {
    addSongs({"one.wav", "two.wav"});
    const std::string path = (folder / "list.plt").string();
    host.chosen = {path};
    dispatcher.dispatch(cmd::SavePlaylist);
    EXPECT_EQ(host.dialogs[0].filters[0].first, "Save PlayList file {*.plt}");
    ASSERT_TRUE(fs::exists(path));

    dispatcher.dispatch(cmd::RemoveAll);
    EXPECT_EQ(state->playlist.songCount, 0);

    state->playState = PlayState::Playing;
    dispatcher.dispatch(cmd::OpenPlaylist);  // only while stopped
    EXPECT_EQ(host.dialogs.size(), 1u);
    state->playState = PlayState::Stopped;
    dispatcher.dispatch(cmd::OpenPlaylist);
    EXPECT_EQ(host.dialogs.back().filters[0].first, "Open PlayList file {*.plt}");
    EXPECT_EQ(state->playlist.songCount, 2);
    EXPECT_EQ(songName(1), "two.wav");
    EXPECT_EQ(ReadSetting(kListFileDirKey, settingsFile()), path);
}

TEST_F(DispatchTest, ChooseMoveDeleteAndRemoveAllKeepTheirGuards) {
    addSongs({"a.wav", "b.wav", "c.wav"});
    Playlist& list = state->playlist;
    dispatcher.dispatch(cmd::ChoosePrevious);
    EXPECT_EQ(list.currentSong, 0);
    dispatcher.dispatch(cmd::ChooseNext);
    dispatcher.dispatch(cmd::ChooseNext);
    dispatcher.dispatch(cmd::ChooseNext);
    EXPECT_EQ(list.currentSong, 2);

    dispatcher.dispatch(cmd::MoveUp);
    EXPECT_EQ(list.currentSong, 1);
    EXPECT_EQ(songName(1), "c.wav");

    // The song that plays cannot be deleted, nor the list emptied while it is the current one.
    state->playState = PlayState::Playing;
    list.playingSong = 1;
    dispatcher.dispatch(cmd::Delete);
    EXPECT_EQ(list.songCount, 3);
    dispatcher.dispatch(cmd::RemoveAll);
    EXPECT_EQ(list.songCount, 3);
    list.playingSong = 0;
    dispatcher.dispatch(cmd::Delete);
    EXPECT_EQ(list.songCount, 2);
    dispatcher.dispatch(cmd::RemoveAll);
    EXPECT_EQ(list.songCount, 0);
    EXPECT_EQ(list.currentSong, 0);
}

TEST_F(DispatchTest, HeaderClicksSortDescendingFirstThenAscending) {
    addSongs({"b.wav", "a.wav", "c.wav"});
    dispatcher.headerClick(3);  // file name
    EXPECT_EQ(songName(0), "c.wav");
    EXPECT_EQ(songName(2), "a.wav");
    dispatcher.headerClick(3);
    EXPECT_EQ(songName(0), "a.wav");
    EXPECT_EQ(songName(2), "c.wav");
}

TEST_F(DispatchTest, TransportCommandsNeedTheSoundLayer) {
    addSongs({"a.wav", "b.wav"});
    for (int id : {cmd::Play, cmd::Stop, cmd::OnAir}) EXPECT_FALSE(dispatcher.available(id)) << id;
    dispatcher.dispatch(cmd::OnAir);
    EXPECT_EQ(state->onAirMode, 0);

    FakeTransport transport;
    dispatcher.setTransport(&transport);
    state->playlist.currentSong = 1;
    dispatcher.dispatch(cmd::Play);
    EXPECT_EQ(transport.startedSongs, std::vector<int>{1});
    state->playlist.currentSong = 2;  // not a valid song
    dispatcher.dispatch(cmd::Play);
    EXPECT_EQ(transport.startedSongs.size(), 1u);

    dispatcher.dispatch(cmd::Stop);  // refused while stopped
    EXPECT_EQ(state->noAdvanceOnce, 0);
    state->playState = PlayState::Playing;
    dispatcher.dispatch(cmd::Stop);
    EXPECT_EQ(state->playState, PlayState::Draining);
    EXPECT_EQ(state->noAdvanceOnce, 1);
}

TEST_F(DispatchTest, PlaylistKeys) {
    addSongs({"a.wav", "b.wav"});
    FakeTransport transport;
    dispatcher.setTransport(&transport);
    dispatcher.listKey(ListKey::Down, false);
    EXPECT_EQ(state->playlist.currentSong, 1);
    dispatcher.listKey(ListKey::Up, true);  // moves the song up
    EXPECT_EQ(state->playlist.currentSong, 0);
    EXPECT_EQ(songName(0), "b.wav");

    state->playState = PlayState::Draining;
    dispatcher.listKey(ListKey::Space, false);
    EXPECT_EQ(state->playState, PlayState::Draining);
    EXPECT_TRUE(transport.startedSongs.empty());
    state->playState = PlayState::Stopped;
    dispatcher.listKey(ListKey::Space, false);
    EXPECT_EQ(transport.startedSongs, std::vector<int>{0});
    state->playState = PlayState::Playing;
    dispatcher.listKey(ListKey::Space, true);
    EXPECT_EQ(state->playState, PlayState::Draining);
}

TEST_F(DispatchTest, QuickSecondClickOnARow) {
    addSongs({"a.wav", "b.wav", "c.wav"});
    FakeTransport transport;
    dispatcher.setTransport(&transport);
    dispatcher.listRowClick(2, 10000);
    EXPECT_EQ(state->playlist.currentSong, 2);
    dispatcher.listRowClick(1, 10000);  // the same tick is no second click
    EXPECT_EQ(state->playlist.currentSong, 1);
    dispatcher.listRowClick(2, 10499);  // stopped: plays the current song, not the clicked one
    EXPECT_EQ(transport.startedSongs, std::vector<int>{1});
    EXPECT_EQ(state->playlist.currentSong, 1);

    dispatcher.listRowClick(2, 20000);
    EXPECT_EQ(state->playlist.currentSong, 2);
    state->playState = PlayState::Playing;
    dispatcher.listRowClick(0, 20100);  // while playing it stops instead
    EXPECT_EQ(state->playState, PlayState::Draining);
    EXPECT_EQ(state->noAdvanceOnce, 1);
    EXPECT_EQ(transport.startedSongs.size(), 1u);
    EXPECT_EQ(state->lastListClickTick, 20100u);

    dispatcher.listRowClick(-1, 30000);  // below the rows
    EXPECT_EQ(state->lastListClickTick, 20100u);
}

TEST_F(DispatchTest, DropOnAFullListShowsTheLimitOnce) {
    state->playlist.songCount = kMaxSongs;
    const std::string a = write("a.wav", pcmWave(std::vector<int16_t>(400, 1), 2, 44100));
    dispatcher.drop({a, folder.string()});
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "More than 2000 sound files cannot be placed on the list.\nThe exceeded files has been canceled.");
    EXPECT_EQ(host.messages[0].caption, "Loudara");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(state->playlist.songCount, kMaxSongs);

    state->playlist.songCount = 0;
    dispatcher.drop({a});
    EXPECT_EQ(state->playlist.songCount, 1);
}

// `loudara song.wav list.plt music/`: a playlist's songs are appended in its order, songs and
// folders enter as a drop; a name relative to the current folder is taken from there, and a
// playlist that cannot be read is named in a message.
TEST_F(DispatchTest, FilesNamedOnTheCommandLineEnterThePlaylist) {
    addSongs({"one.wav", "two.wav"});
    const std::string list = (folder / "list.plt").string();
    std::string error;
    ASSERT_TRUE(SavePlaylist(state->playlist, list, error)) << error;
    state->playlist.songCount = 0;
    fs::create_directories(folder / "music");
    write("music/three.wav", pcmWave(std::vector<int16_t>(400, 1), 2, 48000));
    write("four.wav", pcmWave(std::vector<int16_t>(400, 1), 1, 32000));

    const fs::path before = fs::current_path();
    fs::current_path(folder);
    dispatcher.addNamedFiles({"four.wav", "list.plt", (folder / "music").string(), "missing.plt"});
    fs::current_path(before);

    ASSERT_EQ(state->playlist.songCount, 4);
    EXPECT_EQ(state->playlist.songs[0].path, (folder / "four.wav").string());
    EXPECT_EQ(songName(1), "one.wav");
    EXPECT_EQ(songName(2), "two.wav");
    EXPECT_EQ(songName(3), "three.wav");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Cannot read the playlist missing.plt");
}

TEST_F(DispatchTest, OnAirModeReplacesAndThenEmptiesThePlaylist) {
    addSongs({"a.wav", "b.wav"});
    state->stored.onAirRateChoice = 2;
    FakeTransport transport;
    dispatcher.setTransport(&transport);
    dispatcher.dispatch(cmd::OnAir);
    EXPECT_EQ(state->onAirMode, 1);
    EXPECT_EQ(state->playlist.songCount, 1);
    EXPECT_STREQ(state->playlist.songs[0].path, "On-Air mode in process..");
    EXPECT_EQ(state->playlist.songs[0].sampleRate, 48000u);
    EXPECT_EQ(state->playlist.songs[0].channels, 2u);
    EXPECT_EQ(host.lockCalls, std::vector<bool>{true});

    dispatcher.dispatch(cmd::OnAir);
    EXPECT_EQ(state->onAirMode, 0);
    EXPECT_EQ(state->playlist.songCount, 0);
    EXPECT_EQ(host.lockCalls, (std::vector<bool>{true, false}));
}

TEST_F(DispatchTest, StreamTimersGoToTheSoundLayer) {
    dispatcher.timer(kTimerOnAirBoot);  // without one the timer just stops
    EXPECT_EQ(host.stopped, std::vector<int>{kTimerOnAirBoot});

    FakeTransport transport;
    dispatcher.setTransport(&transport);
    dispatcher.timer(kTimerNextSong);
    dispatcher.timer(kTimerRepeat);  // the control panel's
    dispatcher.timer(kTimerOnAirBoot);
    EXPECT_EQ(transport.timers, (std::vector<int>{kTimerNextSong, kTimerOnAirBoot}));
}

TEST_F(DispatchTest, HelpAndQuit) {
    dispatcher.dispatch(cmd::UserManual);
    // An uninstalled build opens the source tree's manual, never one relative to the current folder.
    ASSERT_EQ(host.opened.size(), 1u);
    EXPECT_EQ(host.opened[0], UserManualPath());
    EXPECT_EQ(host.opened[0].front(), '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(host.opened[0])) << host.opened[0];
    EXPECT_TRUE(host.messages.empty());
    // Without a browser the manual's place is told, never nothing.
    host.browser = false;
    dispatcher.dispatch(cmd::UserManual);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].text.find(UserManualPath()), std::string::npos) << host.messages[0].text;
    host.browser = true;
    host.messages.clear();
    EXPECT_FALSE(dispatcher.available(cmd::LatestVersion));

    dispatcher.setLatestVersionPage("https://loudara.invalid/");
    host.answer = false;
    dispatcher.dispatch(cmd::LatestVersion);
    EXPECT_EQ(host.questions.back().caption, "Information");
    EXPECT_EQ(host.lastButtons, ConfirmButtons::YesNo);
    EXPECT_EQ(host.opened.size(), 2u) << "a declined question opens nothing";
    host.answer = true;
    dispatcher.dispatch(cmd::LatestVersion);
    EXPECT_EQ(host.opened.back(), "https://loudara.invalid/");

    dispatcher.dispatch(cmd::Quit);
    EXPECT_EQ(host.closes, 1);
}

}  // namespace
}  // namespace loudara
