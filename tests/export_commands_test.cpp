// The dialog commands without a window: what each dialog stores for what its controls hold, the
// export target names, and whole single and batch exports through the dispatcher with real
// export jobs, the dialogs answered by a fake host that records what it was asked.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include "app/export_commands.h"
#include "files/peak_level.h"
#include "files/song_tags.h"
#include "files/wav_file.h"
#include "persistence/settings_file.h"
#include "wav_builder.h"

namespace loudara {
namespace {

TEST(ExportOptionsForm, BitRatesFollowTheRuleOfEachDialog) {
    const struct {
        const char* entered;
        int32_t single, batch;
    } cases[] = {{"31", 192, 128}, {"100", 112, 112}, {"321", 192, 128}, {"32", 32, 32},
                 {"320", 320, 320}, {"129", 160, 160}, {"", 192, 128},     {"-5", 192, 128}};
    for (const auto& c : cases) {
        for (bool batch : {false, true}) {
            ExportOptions options;
            ExportOptionsForm form = ExportOptionsFormFor(options);
            form.bitrateText = c.entered;
            StoreExportOptions(options, form, batch);
            EXPECT_EQ(options.mp3Bitrate, batch ? c.batch : c.single) << c.entered << " batch " << batch;
        }
    }
}

TEST(ExportOptionsForm, StoresEveryControlAndOnlyTheBatchDialogTheNameRules) {
    ExportOptions options;
    ExportOptionsForm form = ExportOptionsFormFor(options);
    EXPECT_FALSE(form.wavChecked);
    EXPECT_EQ(form.bitrateText, "128");
    EXPECT_TRUE(form.normalizeChecked);
    EXPECT_EQ(form.fileNameString, "qx_");
    EXPECT_TRUE(form.prefixChecked);

    form.wavChecked = true;
    form.normalizeChecked = false;
    form.albumPrefix = std::string(40, 'a');
    form.titlePrefix = "T-";
    form.fileNameString = "_x";
    form.prefixChecked = false;
    form.originalFolderChecked = true;
    StoreExportOptions(options, form, false);
    EXPECT_EQ(options.exportFormat, 0);
    EXPECT_EQ(options.normalizeOnExport, 0);
    EXPECT_EQ(std::string(options.albumPrefix), std::string(31, 'a'));
    EXPECT_STREQ(options.titlePrefix, "T-");
    EXPECT_STREQ(options.fileNameString, "qx_");  // the single-song dialog has no such fields
    EXPECT_EQ(options.fileNameStringIsPostfix, 0);
    EXPECT_EQ(options.useOriginalFolder, 0);

    StoreExportOptions(options, form, true);
    EXPECT_STREQ(options.fileNameString, "_x");
    EXPECT_EQ(options.fileNameStringIsPostfix, 1);
    EXPECT_EQ(options.useOriginalFolder, 1);

    // 31 characters of three bytes each do not fit the 32-byte prefix: whole characters only.
    std::string wide;
    for (int i = 0; i < 31; ++i) wide += "\xE3\x81\x82";
    form.albumPrefix = wide;
    form.fileNameString = wide + "\xE3\x81\x82";
    StoreExportOptions(options, form, true);
    EXPECT_EQ(std::string(options.albumPrefix), wide.substr(0, 30));
    EXPECT_EQ(std::string(options.fileNameString), wide);

    EXPECT_EQ(ExportNoteLine(true), "NOTE: An external MP3 encoding program is in use.");
    EXPECT_EQ(ExportNoteLine(false), "");
}

TEST(DeviceSettingsForm, BlockCountAndDeviceIndexRules) {
    for (const auto& [text, blocks] : std::vector<std::pair<std::string, int>>{
             {"0", 2}, {"1", 2}, {"2", 2}, {"5", 5}, {"8", 8}, {"20", 8}, {"", 2}, {"99999999999", 8}}) {
        EXPECT_EQ(BlockCountFor(text), blocks) << text;
    }

    StoredSettings stored;
    stored.selectedOutputDevice = 1;
    stored.selectedInputDevice = 2;
    stored.onAirRateChoice = 2;
    stored.blockCount = 6;
    const std::vector<std::string> outputs = {DeviceListText(0, "system"), DeviceListText(1, "pulse")};
    const std::vector<std::string> inputs = {"0: a", "1: b", "2: c"};
    EXPECT_EQ(outputs[1], "1: pulse");
    DeviceSettingsForm form = DeviceSettingsFormFor(stored, outputs, inputs);
    EXPECT_EQ(form.outputText, "1: pulse");
    EXPECT_EQ(form.inputText, "2: c");
    EXPECT_EQ(form.rateChoice, 2);
    EXPECT_EQ(form.blockCountText, "6");

    // Storing what the dialog opened with changes nothing.
    const StoredSettings before = stored;
    StoreDeviceSettings(stored, form);
    EXPECT_EQ(stored.selectedOutputDevice, before.selectedOutputDevice);
    EXPECT_EQ(stored.selectedInputDevice, before.selectedInputDevice);
    EXPECT_EQ(stored.onAirRateChoice, before.onAirRateChoice);
    EXPECT_EQ(stored.blockCount, before.blockCount);

    form.outputText = "0: system";
    form.inputText = "mic";  // not a digit: the stored index stays
    form.rateChoice = 0;
    form.startAtBootChecked = true;
    form.blockCountText = "1";
    StoreDeviceSettings(stored, form);
    EXPECT_EQ(stored.selectedOutputDevice, 0);
    EXPECT_EQ(stored.selectedInputDevice, 2);
    EXPECT_EQ(stored.onAirRateChoice, 0);
    EXPECT_EQ(stored.startOnAirAtBoot, 1);
    EXPECT_EQ(stored.blockCount, 2);

    form.inputText = "9: ninth";  // only 0 to 7 name a device
    form.outputCount = 0;         // no output devices: the output text is not read
    form.outputText = "1: pulse";
    StoreDeviceSettings(stored, form);
    EXPECT_EQ(stored.selectedInputDevice, 2);
    EXPECT_EQ(stored.selectedOutputDevice, 0);

    // A stored index beyond the list selects nothing, and OK keeps it.
    stored.selectedOutputDevice = 5;
    form = DeviceSettingsFormFor(stored, outputs, inputs);
    EXPECT_EQ(form.outputText, "");
    StoreDeviceSettings(stored, form);
    EXPECT_EQ(stored.selectedOutputDevice, 5);
}

TEST(EncoderSettingsForm, FieldsRoundTripAndAreCut) {
    StoredSettings stored;
    EncoderSettingsForm form;
    form.useChecked = true;
    form.programPath = "/usr/bin/lame";
    form.parameters = "-v -B 256 %1 %2";
    StoreEncoderSettings(stored, form);
    const EncoderSettingsForm back = EncoderSettingsFormFor(stored);
    EXPECT_TRUE(back.useChecked);
    EXPECT_EQ(back.programPath, form.programPath);
    EXPECT_EQ(back.parameters, form.parameters);
    const EncoderSettings encoder = EncoderSettingsOf(stored);
    EXPECT_EQ(encoder.useExternalEncoder, 1);
    EXPECT_STREQ(encoder.externalEncoderPath, "/usr/bin/lame");
    EXPECT_STREQ(encoder.externalEncoderParams, "-v -B 256 %1 %2");

    form.useChecked = false;
    form.parameters = std::string(300, 'p');
    StoreEncoderSettings(stored, form);
    EXPECT_EQ(stored.useExternalEncoder, 0);
    EXPECT_EQ(std::string(stored.externalEncoderParams).size(), 258u);
}

TEST(ExportTargets, NamesForPrefixPostfixAndMp3) {
    EXPECT_EQ(BatchTargetPath("/out/", "/music/a.b.wav", "_x", true), "/out/a.b_x.wav");
    EXPECT_EQ(BatchTargetPath("/out/", "/music/noext", "_x", true), "/out/noext_x");
    EXPECT_EQ(BatchTargetPath("/out/", "/music/a.b.wav", "qx_", false), "/out/qx_a.b.wav");
    EXPECT_EQ(BatchTargetPath("/music/", "/music/song.mp3", "ldr_", false), "/music/ldr_song.mp3");
    EXPECT_EQ(FolderOfPath("/music/rock/song.wav"), "/music/rock/");
    EXPECT_EQ(FolderOfPath("song.wav"), "");

    EXPECT_EQ(Mp3ExportTarget("/out/song.mp3"), "/out/song.wav");
    EXPECT_EQ(Mp3ExportTarget("/out/song.WAV"), "/out/song.wav");
    EXPECT_EQ(Mp3ExportTarget("/out/song.Mp3"), "/out/song.wav");
    EXPECT_EQ(Mp3ExportTarget("/out/song"), "/out/song.wav");
    EXPECT_EQ(Mp3ExportTarget("/out/song.ogg"), "/out/song.ogg.wav");

    EXPECT_EQ(FieldNumber("  42kbps"), 42);
    EXPECT_EQ(FieldNumber("abc"), 0);
    EXPECT_EQ(CutUtf8("\xC3\xA9t\xC3\xA9", 2, 10), "\xC3\xA9t");
    EXPECT_EQ(CutUtf8("\xC3\xA9t\xC3\xA9", 10, 4), "\xC3\xA9t");
}

// A job host that cancels the job as soon as the job shows its source (after the job has
// cleared the flag), so the job stops after its first block.
class CancellingJobHost : public JobHost {
public:
    explicit CancellingJobHost(bool cancel) : cancel_(cancel) {}
    void setFromText(const std::string&) override {
        if (cancel_) cancelRequested = true;
    }
    void endNotice() override { ++ends; }
    int ends = 0;

private:
    bool cancel_;
};

// Answers the dialogs as the test says; runs each export as a real job on this thread.
class FakeDialogs : public DialogHost {
public:
    explicit FakeDialogs(AppState& state) : state_(state) {}

    bool editExportOptions(ExportOptions& options, bool batch, bool externalEncoderInUse) override {
        asked.push_back(batch ? "batch options" : "song options");
        encoderNote = externalEncoderInUse;
        if (!optionsOk) return false;
        if (setOptions) setOptions(options);
        return true;
    }
    int runExport(Processor& p, const ExportRequest& request) override {
        asked.push_back("export");
        targets.push_back(request.targetPath);
        exportedSongs.push_back(state_.playlist.currentSong);
        runningDuringExport = runningDuringExport && state_.exportRunning == 1;
        CancellingJobHost host(static_cast<int>(targets.size()) == cancelExport);
        const ExportOutcome outcome = RunSongExport(p, request, host);
        messages.push_back(outcome.message);
        delivered.push_back(outcome.deliveredPath);
        measured.push_back(outcome.loudness.measured);
        EXPECT_EQ(host.ends, 1);
        return host.cancelRequested ? 0 : 1;
    }
    int runPeakScan(Playlist&) override {
        asked.push_back("peak");
        return 1;
    }
    ReexportChoice askReexport(const std::string& folderText) override {
        std::string line = "reexport ";
        line += folderText;
        asked.push_back(line);
        return reexport;
    }
    std::string chooseFolder(const std::string& title, const std::string& startFolder) override {
        std::string line = "folder ";
        line += title;
        asked.push_back(line);
        folderStart = startFolder;
        return folder;
    }
    bool editDeviceSettings(StoredSettings&) override {
        asked.push_back("devices");
        return true;
    }
    bool editEncoderSettings(StoredSettings&, const PlayState&, const std::string&) override {
        asked.push_back("encoder");
        return true;
    }
    void showSplash() override { asked.push_back("splash"); }
    void scrollSongIntoView(int row, bool keepBelow) override {
        scrolled.push_back(row);
        EXPECT_TRUE(keepBelow);
    }
    void invalidateWindow() override {}

    bool optionsOk = true;
    std::function<void(ExportOptions&)> setOptions;
    int cancelExport = 0;  // the export (from 1) whose job the user cancels
    ReexportChoice reexport = ReexportChoice::ExportAll;
    std::string folder;
    std::string folderStart;
    bool encoderNote = false;
    bool runningDuringExport = true;
    std::vector<std::string> asked, targets, delivered, messages;
    std::vector<int> exportedSongs, scrolled;
    std::vector<bool> measured;

private:
    AppState& state_;
};

class RecordingCommandHost : public CommandHost {
public:
    void showMessage(const std::string& text, const std::string&, MessageIcon) override { messages.push_back(text); }
    void beep() override { asked->push_back("beep"); }
    bool askConfirmation(const std::string& text, const std::string& caption, ConfirmButtons) override {
        asked->push_back("confirm");
        questions.push_back(text);
        EXPECT_EQ(caption, "Confirmation");
        return answer;
    }
    std::vector<std::string> chooseFiles(const FileDialogRequest& request) override {
        asked->push_back("save");
        requests.push_back(request);
        return chosen;
    }
    void repaintPanel() override { ++repaints; }
    void refreshSongList() override { ++refreshes; }
    void setOnAirLock(bool) override {}
    void closeMainWindow() override {}
    bool openDocument(const std::string&) override { return true; }
    void startTimer(int, int) override {}
    void stopTimer(int) override {}

    std::vector<std::string>* asked = nullptr;
    bool answer = true;
    std::vector<std::string> chosen, messages, questions;
    std::vector<FileDialogRequest> requests;
    int repaints = 0, refreshes = 0;
};

std::string reexportLine(const std::string& folderText) {
    std::string line = "reexport ";
    line += folderText;
    return line;
}

// Frames of a 16-bit WAV file.
int64_t wavFrames(const std::string& path) {
    SongRecord song;
    if (ProbeWavFile(path.c_str(), song) != WavProbeResult::Ok) return -1;
    return song.dataBytes / (2 * song.channels);
}

class DialogCommands : public TempFolder {
protected:
    void SetUp() override {
        TempFolder::SetUp();
        state->startupFolder = folder.string();
        state->runStamp = std::to_string(10000000 + std::random_device{}() % 90000000);
        host.asked = &dialogs.asked;
        dispatcher.setSettingsFile((folder / "ldrmp3.ini").string());
        dispatcher.setDialogHost(&dialogs);
        fs::create_directories(folder / "music");
        fs::create_directories(folder / "out");
        dialogs.folder = (folder / "out").string();
    }

    // Short WAV songs (a tenth of a second of a tone) in the music folder.
    void addSongs(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            std::vector<int16_t> samples(8820);
            for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i % 100) * 50 - 2500);
            const std::string path = write(std::string("music/") + name, pcmWave(samples, 2, 44100));
            ASSERT_EQ(AddSoundFile(state->playlist, path, state->playState, host), AddResult::Added);
        }
    }
    // A 24-bit FLAC song at 96 kHz (a tenth of a second of a quiet tone) in the music folder.
    void addFlacSong(const char* name, int format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24) {
        const std::string path = music(name);
        SF_INFO info{0, 96000, 2, format, 0, 0};
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        std::vector<float> frames(2 * 9600);
        for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = 0.2f * std::sin(0.01f * float(i / 2));
        sf_writef_float(file, frames.data(), 9600);
        sf_close(file);
        ASSERT_EQ(AddSoundFile(state->playlist, path, state->playState, host), AddResult::Added);
        ASSERT_EQ(state->playlist.songs[state->playlist.songCount - 1].kind, SongKind::SoundFile);
    }
    // The batch options: WAV files with this name string.
    void batchOptions(const char* nameString, bool postfix, bool originalFolder = false) {
        dialogs.setOptions = [=](ExportOptions& o) {
            o.exportFormat = 0;
            o.normalizeOnExport = 0;
            std::snprintf(o.fileNameString, sizeof o.fileNameString, "%s", nameString);
            o.fileNameStringIsPostfix = postfix ? 1 : 0;
            o.useOriginalFolder = originalFolder ? 1 : 0;
        };
    }
    std::string out(const std::string& name) const { return (folder / "out" / name).string(); }
    std::string music(const std::string& name) const { return (folder / "music" / name).string(); }
    std::vector<int> statuses() const {
        return std::vector<int>(state->playlist.songStatus, state->playlist.songStatus + state->playlist.songCount);
    }

    std::unique_ptr<AppState> state = std::make_unique<AppState>();
    std::unique_ptr<Processor> processor = std::make_unique<Processor>();
    RecordingCommandHost host;
    FakeDialogs dialogs{*state};
    CommandDispatcher dispatcher{*state, *processor, host};
};

TEST_F(DialogCommands, DialogCommandsNeedTheDialogsAndKeepTheirGuards) {
    CommandDispatcher bare(*state, *processor, host);
    for (int id : {cmd::SoundDeviceSettings, cmd::PeakLevel, cmd::ExportCurrent, cmd::ExportAll, cmd::EncoderSettings,
                   cmd::About}) {
        EXPECT_FALSE(bare.available(id)) << id;
        EXPECT_TRUE(dispatcher.available(id)) << id;
    }

    // Nothing to scan or export in an empty list.
    for (int id : {cmd::PeakLevel, cmd::ExportCurrent, cmd::ExportAll}) dispatcher.dispatch(id);
    EXPECT_TRUE(dialogs.asked.empty());

    addSongs({"a.wav"});
    state->playState = PlayState::Playing;
    for (int id : {cmd::PeakLevel, cmd::ExportCurrent, cmd::ExportAll}) dispatcher.dispatch(id);
    EXPECT_TRUE(dialogs.asked.empty());

    state->playState = PlayState::Stopped;
    state->playlist.currentSong = 1;  // beyond the list: no single export
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_TRUE(dialogs.asked.empty());

    dispatcher.dispatch(cmd::PeakLevel);
    dispatcher.dispatch(cmd::SoundDeviceSettings);
    dispatcher.dispatch(cmd::EncoderSettings);
    dispatcher.dispatch(cmd::About);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"peak", "devices", "encoder", "beep", "splash"}));
}

TEST_F(DialogCommands, SingleExportAsksInOrderAndHandsTheJobAWavNameForMp3) {
    addSongs({"a.wav", "b.wav"});
    state->playlist.currentSong = 1;
    processor->settings.channelMode = 0.0;
    state->stored.useExternalEncoder = 1;

    // Cancel in the options dialog ends the command before anything else.
    dialogs.optionsOk = false;
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.asked, std::vector<std::string>{"song options"});
    EXPECT_TRUE(dialogs.encoderNote);
    EXPECT_EQ(processor->settings.channelMode, 0.0);

    // Cancel in the save dialog.
    dialogs.optionsOk = true;
    dialogs.asked.clear();
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"song options", "save"}));
    const FileDialogRequest& request = host.requests.back();
    EXPECT_TRUE(request.save);
    EXPECT_EQ(request.initialName, "*.mp3");
    EXPECT_EQ(request.filters.front(), (std::pair<std::string, std::string>{"Output to WAV File {*.mp3}", "*.mp3"}));
    EXPECT_EQ(request.filters.back(), (std::pair<std::string, std::string>{"All files {*.*}", "*.*"}));
    EXPECT_EQ(request.defaultExtension, "mp3");

    // Cancel in the confirmation, after the folder is remembered and both channels chosen.
    host.chosen = {out("b out.mp3")};
    host.answer = false;
    dialogs.asked.clear();
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"song options", "save", "confirm"}));
    EXPECT_EQ(ReadSetting(kSoundFileExportDirKey, (folder / "ldrmp3.ini").string()), out("b out.mp3"));
    EXPECT_EQ(processor->settings.channelMode, 1.0);
    std::string question = "Create the new file [ ";
    question += out("b out.mp3");
    question += " ]\nfrom the original file [ ";
    question += music("b.wav");
    question += " ].\n\nAre you sure?";
    EXPECT_EQ(host.questions.back(), question);

    // OK: the built-in encoder makes the MP3 from the job's intermediate WAV name.
    state->stored.useExternalEncoder = 0;
    host.answer = true;
    dialogs.asked.clear();
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"song options", "save", "confirm", "export"}));
    EXPECT_EQ(dialogs.targets.back(), out("b out.wav"));
    EXPECT_EQ(dialogs.exportedSongs.back(), 1);
    EXPECT_TRUE(dialogs.runningDuringExport);
    EXPECT_EQ(state->exportRunning, 0);
    EXPECT_TRUE(fs::exists(out("b out.mp3")));
    EXPECT_EQ(state->playlist.songStatus[1], 0);  // a single export marks nothing

    // WAV: the chosen name as it is, asked with the WAV filter.
    dialogs.setOptions = [](ExportOptions& o) { o.exportFormat = 0; };
    host.chosen = {out("plain.wav")};
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(host.requests.back().initialName, "*.wav");
    EXPECT_EQ(host.requests.back().filters.front().first, "Output to WAV File {*.wav}");
    EXPECT_EQ(dialogs.targets.back(), out("plain.wav"));
    EXPECT_EQ(wavFrames(out("plain.wav")), 4410);
}

TEST_F(DialogCommands, BatchExportInPostfixAndPrefixMode) {
    addSongs({"a.b.wav", "c.wav", "d.wav"});
    state->playlist.currentSong = 2;
    batchOptions("_x", true);
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked[0], "batch options");
    EXPECT_EQ(dialogs.asked[1], "folder Specify output folder");
    EXPECT_EQ(dialogs.asked[2], "confirm");
    std::string question = "Create new files to the folder\n[ ";
    question += (folder / "out").string();
    question += " ]\n\nAre you sure?";
    EXPECT_EQ(host.questions.back(), question);
    EXPECT_EQ(ReadSetting(kSelectFolderPathKey, (folder / "ldrmp3.ini").string()), (folder / "out").string());
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{out("a.b_x.wav"), out("c_x.wav"), out("d_x.wav")}));
    EXPECT_EQ(dialogs.exportedSongs, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(dialogs.scrolled, (std::vector<int>{0, 1, 2}));
    for (const char* name : {"a.b_x.wav", "c_x.wav", "d_x.wav"}) EXPECT_EQ(wavFrames(out(name)), 4410) << name;
    EXPECT_EQ(statuses(), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(state->playlist.currentSong, 2);
    EXPECT_EQ(state->exportRunning, 0);
    EXPECT_TRUE(dialogs.runningDuringExport);

    // Prefix mode; now that songs are exported the re-export question comes instead of the
    // confirmation, with the folder.
    batchOptions("pre_", false);
    dialogs.asked.clear();
    dialogs.targets.clear();
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked[2], reexportLine((folder / "out").string()));
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{out("pre_a.b.wav"), out("pre_c.wav"), out("pre_d.wav")}));
    for (const char* name : {"pre_a.b.wav", "pre_c.wav", "pre_d.wav"}) EXPECT_TRUE(fs::exists(out(name))) << name;
}

TEST_F(DialogCommands, SongsThatProduceNothingAreMarkedFailedAndShownAtOnce) {
    // b is listed as an MP3 but cannot be decoded; c was never probed.
    addSongs({"a.wav", "b.wav", "c.wav"});
    state->playlist.songs[1].kind = SongKind::Mp3;
    state->playlist.songs[2].kind = SongKind::Mp3Pending;
    batchOptions("_x", true);
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(statuses(), (std::vector<int>{1, 2, 2}));
    EXPECT_TRUE(fs::exists(out("a_x.wav")));
    EXPECT_FALSE(fs::exists(out("b_x.wav")));
    EXPECT_FALSE(fs::exists(out("c_x.wav")));

    // A single export of the undecodable song refreshes the list as it ends, so the failed icon
    // shows; a single export that succeeds marks nothing and refreshes nothing.
    state->playlist.songStatus[1] = 0;
    dialogs.setOptions = [](ExportOptions& o) { o.exportFormat = 0; };
    host.chosen = {out("single.wav")};
    for (int song : {1, 0}) {
        state->playlist.currentSong = song;
        const int before = host.refreshes;
        dispatcher.dispatch(cmd::ExportCurrent);
        EXPECT_EQ(host.refreshes, before + (song == 1 ? 1 : 0)) << "song " << song;
    }
    EXPECT_EQ(statuses(), (std::vector<int>{1, 2, 2}));
}

TEST_F(DialogCommands, CancellingTheSecondSongEndsTheBatch) {
    addSongs({"a.wav", "b.wav", "c.wav"});
    state->playlist.currentSong = 1;
    batchOptions("_x", true);
    dialogs.cancelExport = 2;
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{out("a_x.wav"), out("b_x.wav")}));
    EXPECT_EQ(statuses(), (std::vector<int>{1, 0, 0}));
    EXPECT_FALSE(fs::exists(out("c_x.wav")));
    EXPECT_EQ(state->playlist.currentSong, 1);
    EXPECT_EQ(state->exportRunning, 0);

    // "Except exported files" takes only the songs not yet exported.
    dialogs.cancelExport = 0;
    dialogs.reexport = ReexportChoice::ExceptExported;
    dialogs.targets.clear();
    dialogs.asked.clear();
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked[2], reexportLine((folder / "out").string()));
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{out("b_x.wav"), out("c_x.wav")}));
    EXPECT_EQ(statuses(), (std::vector<int>{1, 1, 1}));

    // "Cancel" in the question exports nothing.
    dialogs.reexport = ReexportChoice::Cancel;
    dialogs.targets.clear();
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_TRUE(dialogs.targets.empty());

    // A failed song keeps its mark; "Export all" takes every song again.
    state->playlist.songStatus[0] = 2;
    dialogs.reexport = ReexportChoice::ExportAll;
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.targets.size(), 3u);
    EXPECT_EQ(statuses(), (std::vector<int>{2, 1, 1}));
}

// The export jobs keep their working files in the run's private temporary folder: a finished, a
// failed and a cancelled export all leave it as they found it.
TEST_F(DialogCommands, ExportsLeaveNothingInTheTemporaryFolder) {
    const fs::path temporary = ExportTemporaryFolder();
    ASSERT_FALSE(temporary.empty());

    addSongs({"a.wav", "b.wav", "c.wav"});
    fs::remove(music("c.wav"));  // its export fails: the song is gone
    for (int format : {0, 1}) {  // WAV, then MP3 through the encoder's own working files
        dialogs.setOptions = [=](ExportOptions& o) {
            o.exportFormat = format;
            o.normalizeOnExport = 1;
            std::snprintf(o.fileNameString, sizeof o.fileNameString, "_%d", format);
            o.fileNameStringIsPostfix = 1;
            o.useOriginalFolder = 0;
        };
        dialogs.cancelExport = 2;  // a done, b cancelled: the batch ends there
        dispatcher.dispatch(cmd::ExportAll);
        EXPECT_TRUE(fs::is_empty(temporary));
        state->playlist.currentSong = 2;
        dialogs.cancelExport = 0;
        host.chosen = {out(format == 0 ? "c.wav" : "c.mp3")};
        dispatcher.dispatch(cmd::ExportCurrent);  // c fails
        ASSERT_FALSE(dialogs.delivered.empty());
        EXPECT_EQ(dialogs.delivered.back(), "");  // nothing delivered
        EXPECT_TRUE(fs::is_empty(temporary));
        state->playlist.currentSong = 0;
    }
    EXPECT_TRUE(fs::exists(out("a_0.wav")));
    EXPECT_TRUE(fs::exists(out("a_1.mp3")));
}

TEST_F(DialogCommands, OriginalFolderWritesBesideTheSongsWithLdrPrefix) {
    addSongs({"a.wav", "b.wav"});
    fs::create_directories(folder / "music" / "sub");
    const std::string inSub = write("music/sub/c.wav", pcmWave(std::vector<int16_t>(2000, 300), 2, 44100));
    ASSERT_EQ(AddSoundFile(state->playlist, inSub, state->playState, host), AddResult::Added);
    batchOptions("", false, true);
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked[1], "confirm");  // no folder browser
    EXPECT_EQ(host.questions.back(), "Create new files to the original folder.\n\nAre you sure?");
    EXPECT_STREQ(state->stored.exportOptions.fileNameString, "ldr_");
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{music("ldr_a.wav"), music("ldr_b.wav"),
                                                         (folder / "music" / "sub" / "ldr_c.wav").string()}));
    EXPECT_EQ(wavFrames(music("ldr_a.wav")), 4410);
    EXPECT_EQ(wavFrames((folder / "music" / "sub" / "ldr_c.wav").string()), 1000);
    EXPECT_EQ(statuses(), (std::vector<int>{1, 1, 1}));

    // The re-export question names the original folder.
    dialogs.reexport = ReexportChoice::Cancel;
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked.back(), "reexport ( Original Folder )");
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(DialogCommands, SoundFileSongExportsAsSixteenBitWavOrMp3AtItsChainRate) {
    addSongs({"a.wav"});
    addFlacSong("f.flac");
    state->playlist.currentSong = 1;

    dialogs.setOptions = [](ExportOptions& o) {
        o.exportFormat = 0;
        o.normalizeOnExport = 1;
    };
    host.chosen = {out("f")};  // a name without an extension gets ".wav", as for WAV songs
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.messages.back(), "");
    EXPECT_EQ(dialogs.delivered.back(), out("f.wav"));
    SongRecord written;
    ASSERT_EQ(ProbeWavFile(out("f.wav").c_str(), written), WavProbeResult::Ok);  // 16-bit PCM
    EXPECT_EQ(written.sampleRate, 48000u);
    EXPECT_EQ(written.channels, 2u);
    EXPECT_EQ(wavFrames(out("f.wav")), 4800);
    EXPECT_TRUE(dialogs.measured.back());  // the loudness strip has figures to show
    // The song keeps the peak it was normalised from: playback normalises it alike.
    const SongRecord& flac = state->playlist.songs[1];
    EXPECT_GT(flac.soundPeak, 6000.0f);
    EXPECT_EQ(NormalizeGainOf(flac), processor->settings.normalizeGain);

    // The normalise option reaches the job: the quiet song comes out otherwise without it.
    dialogs.setOptions = [](ExportOptions& o) {
        o.exportFormat = 0;
        o.normalizeOnExport = 0;
    };
    host.chosen = {out("plain.wav")};
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(wavFrames(out("plain.wav")), 4800);
    EXPECT_NE(fileBytes(out("plain.wav")), fileBytes(out("f.wav")));

    // MP3: the job gets the WAV name as for every song, the MP3 file is delivered and no WAV; the
    // song's own title arrives in its ID3v2 tag with the dialog's title prefix.
    SongTags tags;
    tags.title = "A title longer than the thirty bytes of an ID3v1 tag";
    std::string error;
    ASSERT_TRUE(WriteSongTags(music("f.flac"), TaggedFileKind::Flac, tags, error)) << error;
    dialogs.setOptions = [](ExportOptions& o) {
        o.exportFormat = 1;
        std::snprintf(o.titlePrefix, sizeof o.titlePrefix, "ldr_");
    };
    host.chosen = {out("g.mp3")};
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_EQ(dialogs.targets.back(), out("g.wav"));
    EXPECT_EQ(dialogs.delivered.back(), out("g.mp3"));
    EXPECT_FALSE(fs::exists(out("g.wav")));
    SongRecord mp3;
    EXPECT_EQ(ProbeMp3File(out("g.mp3").c_str(), mp3), Mp3ProbeResult::Ok);
    EXPECT_EQ(mp3.sampleRate, 48000u);
    EXPECT_EQ(ReadSongTags(out("g.mp3")).title, "ldr_" + tags.title);
    EXPECT_EQ(state->playlist.songStatus[1], 0);
}

TEST_F(DialogCommands, BatchTakesSoundFileSongsAndMarksOneThatCannotBeRead) {
    addSongs({"a.wav"});
    addFlacSong("f.flac");
    addFlacSong("gone.flac");
    batchOptions("_x", true);
    fs::remove(music("gone.flac"));
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.targets, (std::vector<std::string>{out("a_x.wav"), out("f_x.flac"), out("gone_x.flac")}));
    EXPECT_EQ(wavFrames(out("a_x.wav")), 4410);
    EXPECT_EQ(wavFrames(out("f_x.wav")), 4800);
    EXPECT_FALSE(fs::exists(out("f_x.flac")));
    EXPECT_FALSE(fs::exists(out("gone_x.wav")));
    EXPECT_NE(dialogs.messages.back().find(music("gone.flac")), std::string::npos) << dialogs.messages.back();
    EXPECT_EQ(statuses(), (std::vector<int>{1, 1, 2}));

    // A 24-bit WAV song exported onto its own file is refused and left as it was.
    addFlacSong("h.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    const std::string before = fileBytes(music("h.wav"));
    state->playlist.currentSong = 3;
    dialogs.setOptions = [](ExportOptions& o) { o.exportFormat = 0; };
    host.chosen = {music("h.wav")};
    dispatcher.dispatch(cmd::ExportCurrent);
    EXPECT_NE(dialogs.messages.back().find("is the song's own file"), std::string::npos) << dialogs.messages.back();
    EXPECT_EQ(fileBytes(music("h.wav")), before);
    EXPECT_EQ(state->playlist.songStatus[3], 2);
}

TEST_F(DialogCommands, CancellingASoundFileSongEndsTheBatchWithoutMarkingIt) {
    addFlacSong("f.flac");
    addSongs({"b.wav"});
    batchOptions("_x", true);
    dialogs.cancelExport = 1;
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.targets, std::vector<std::string>{out("f_x.flac")});
    EXPECT_EQ(statuses(), (std::vector<int>{0, 0}));
    EXPECT_FALSE(fs::exists(out("b_x.wav")));
}

TEST_F(DialogCommands, BatchStopsBeforeExportingWhenAQuestionIsDeclined) {
    addSongs({"a.wav"});
    batchOptions("_x", true);
    dialogs.folder.clear();  // the folder browser cancelled
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"batch options", "folder Specify output folder"}));
    EXPECT_EQ(dialogs.folderStart, DefaultSettingValue());

    dialogs.folder = (folder / "out").string();
    host.answer = false;
    dialogs.asked.clear();
    dispatcher.dispatch(cmd::ExportAll);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"batch options", "folder Specify output folder", "confirm"}));
    EXPECT_TRUE(dialogs.targets.empty());
    EXPECT_EQ(statuses(), std::vector<int>{0});
}

}  // namespace
}  // namespace loudara
