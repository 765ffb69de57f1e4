// Start-up and shutdown: the first start's state, settings that survive a restart, and the
// temporary folder emptied at exit only.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "persistence/settings_file.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

class AppStateTest : public TempFolder {
protected:
    std::unique_ptr<AppState> state = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    RecordingHost host;

    void start() { StartCore(*state, *p, host, CoreStartOptions{folder.string(), 4, settingsFile()}); }
    std::string settingsFile() const { return (folder / "ldrmp3.ini").string(); }
    void restart() {
        state = std::make_unique<AppState>();
        p = std::make_unique<Processor>();
        start();
    }
};

TEST_F(AppStateTest, FirstRunWithoutCurrentSettingsFile) {
    // Leftovers that start-up must replace.
    for (BandSettings& band : p->bands) band.gateDb = -50;
    p->settings.speakerSpacingCm = 3;
    p->settings.channelMode = 0;
    p->bands[2].driveDb = 1;
    std::snprintf(p->settings.presetDescription, 64, "old");
    state->playlist.songs[7].sampleRate = 44100;
    state->playlist.songStatus[3] = 2;
    state->playlist.tags[1].bytes[0] = 'T';

    start();
    EXPECT_EQ(state->startupFolder, folder.string());
    EXPECT_EQ(TemporaryFolder(*state), folder.string() + "/tempwav/");
    ASSERT_EQ(state->runStamp.size(), 8u);
    for (char c : state->runStamp) EXPECT_TRUE(c >= '0' && c <= '9');
    EXPECT_EQ(state->panelRect.left, 0);
    EXPECT_EQ(state->panelRect.top, 28);
    EXPECT_EQ(state->panelRect.right, 753);
    EXPECT_EQ(state->panelRect.bottom, 314);

    // Preset 232 with the first start's additions.
    EXPECT_STREQ(p->settings.presetDescription, "Simlutates MegaHit FM Radio Station");
    EXPECT_EQ(p->params.preEmphasis, 2.0);
    EXPECT_EQ(p->settings.deEmphasisOn, 1);
    EXPECT_EQ(p->bands[2].driveDb, 16.0);
    EXPECT_EQ(p->bands[0].reductionDelayMs, 40.0);
    for (const BandSettings& band : p->bands) EXPECT_EQ(band.gateDb, -36.0);
    EXPECT_EQ(p->settings.gateOn, 0);
    EXPECT_EQ(p->settings.speakerSpacingCm, 18.0);
    EXPECT_EQ(p->settings.roomDistanceM, 10.0);
    EXPECT_EQ(p->settings.reflectionPercent, 40.0);
    EXPECT_EQ(p->settings.channelMode, 1.0);
    EXPECT_EQ(p->settings.virtualSpeakerOn, 0);

    // The other shared values.
    EXPECT_EQ(state->playState, PlayState::Stopped);
    EXPECT_EQ(state->playlist.songCount, 0);
    EXPECT_EQ(state->playlist.sortColumn, 4);
    EXPECT_EQ(state->playlist.headerSortAscending, 0);
    EXPECT_EQ(state->continuousPlayback, 1);
    EXPECT_EQ(state->seekSteps, 5);
    EXPECT_EQ(state->playlist.songs[7].sampleRate, 0u);
    EXPECT_EQ(state->playlist.songStatus[3], 0);
    EXPECT_EQ(state->playlist.tags[1].bytes[0], 0);
    EXPECT_EQ(state->stored.blockCount, 4);
    EXPECT_EQ(state->stored.onAirRateChoice, 1);
    EXPECT_EQ(host.beeps, 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_FALSE(fs::exists(folder / "ldmp3.prf")) << "start-up writes nothing";
}

TEST_F(AppStateTest, SavedSettingsComeBackAtTheNextStart) {
    start();
    p->bands[2].driveDb = 20.5;
    p->bands[3].gateDb = -48;
    p->settings.gateOn = 1;
    p->settings.virtualSpeakerOn = 1;
    p->settings.speakerSpacingCm = 25;
    p->params.bandReleaseTime = 3;
    p->params.bandAttackTime = 5;
    std::snprintf(p->settings.presetDescription, 64, "Evening");
    state->stored.exportOptions.mp3Bitrate = 320;
    std::snprintf(state->stored.exportOptions.fileNameString, 136, "_x");
    state->stored.selectedOutputDevice = 2;
    state->stored.blockCount = 6;
    std::snprintf(state->stored.externalEncoderParams, 260, "-V2 %%1 %%2");
    std::string error;
    ASSERT_TRUE(ShutdownCore(*state, *p, error)) << error;
    EXPECT_EQ(fs::file_size(folder / "ldmp3.prf"), 1899u);

    restart();
    EXPECT_EQ(p->bands[2].driveDb, 20.5);
    EXPECT_EQ(p->bands[3].gateDb, -48.0);
    EXPECT_EQ(p->bands[2].gateDb, -36.0);
    EXPECT_EQ(p->settings.gateOn, 1);
    EXPECT_EQ(p->settings.virtualSpeakerOn, 1);
    EXPECT_EQ(p->settings.speakerSpacingCm, 25.0);
    EXPECT_EQ(p->params.bandReleaseTime, 3.0);
    EXPECT_EQ(p->params.bandAttackTime, 5.0);
    EXPECT_EQ(p->bands[1].lookAheadLength, 220) << "envelope times installed for the loaded release time";
    EXPECT_STREQ(p->settings.presetDescription, "Evening");
    EXPECT_EQ(state->stored.exportOptions.mp3Bitrate, 320);
    EXPECT_STREQ(state->stored.exportOptions.fileNameString, "_x");
    EXPECT_EQ(state->stored.selectedOutputDevice, 2);
    EXPECT_EQ(state->stored.blockCount, 6);
    EXPECT_STREQ(state->stored.externalEncoderParams, "-V2 %1 %2");
    EXPECT_EQ(p->settings.channelMode, 1.0);

    // A damaged current-settings file beeps and leaves the first start's values.
    write("ldmp3.prf", ByteVector(1899, 'x'));
    restart();
    EXPECT_EQ(host.beeps, 1);
    EXPECT_EQ(p->bands[2].driveDb, 16.0);
    EXPECT_EQ(state->stored.blockCount, 4);
}

// The true-peak limiter has no room in the parameter file: the window keeps it in the
// application settings, written only once it differs from what they hold.
TEST_F(AppStateTest, TruePeakLimiterSurvivesARestartOutsideTheParameterFile) {
    start();
    std::string error;
    ASSERT_TRUE(ShutdownCore(*state, *p, error)) << error;
    EXPECT_FALSE(fs::exists(settingsFile())) << "untouched options write no settings";
    const ByteVector untouched = read((folder / "ldmp3.prf").string());

    restart();
    p->settings.truePeakLimiter = 1;
    p->settings.truePeakCeilingDb = -1.0 - 0.1 - 0.1 - 0.1;  // as three knob steps leave it
    ASSERT_TRUE(ShutdownCore(*state, *p, error)) << error;
    EXPECT_EQ(read((folder / "ldmp3.prf").string()), untouched) << "the parameter file's bytes do not carry the limiter";
    EXPECT_EQ(ReadSetting(kTruePeakCeilingKey, settingsFile()), "-1.3");

    restart();
    EXPECT_EQ(p->settings.truePeakLimiter, 1);
    EXPECT_DOUBLE_EQ(p->settings.truePeakCeilingDb, -1.3);

    // Values another hand broke leave the defaults.
    WriteSetting(kTruePeakLimiterKey, "yes", settingsFile());
    WriteSetting(kTruePeakCeilingKey, "+4", settingsFile());
    restart();
    EXPECT_EQ(p->settings.truePeakLimiter, 0);
    EXPECT_EQ(p->settings.truePeakCeilingDb, -1.0);
}

TEST_F(AppStateTest, TemporaryFilesGoAtShutdownNotAtStart) {
    const fs::path temp = folder / "tempwav";
    fs::create_directories(temp / "keep");
    write("tempwav/a.wav", ByteVector(10, 1));
    write("tempwav/$$temp_ldr_12345678", ByteVector(10, 2));
    write("tempwav/keep/inner.wav", ByteVector(10, 3));

    start();
    EXPECT_TRUE(fs::exists(temp / "a.wav"));
    EXPECT_TRUE(fs::exists(temp / "$$temp_ldr_12345678"));

    std::string error;
    ASSERT_TRUE(ShutdownCore(*state, *p, error)) << error;
    EXPECT_FALSE(fs::exists(temp / "a.wav"));
    EXPECT_FALSE(fs::exists(temp / "$$temp_ldr_12345678"));
    EXPECT_TRUE(fs::exists(temp / "keep" / "inner.wav")) << "sub-folders are left";
    EXPECT_TRUE(fs::is_directory(temp)) << "the folder itself stays";
    EXPECT_TRUE(fs::exists(folder / "ldmp3.prf"));
}

TEST_F(AppStateTest, ShutdownReportsASettingsFileThatCannotBeWritten) {
    write("gone", ByteVector(4, 0));  // a file where the folder should be
    CoreStartOptions options{(folder / "gone").string(), 0, settingsFile()};
    StartCore(*state, *p, host, options);
    std::string error;
    EXPECT_FALSE(ShutdownCore(*state, *p, error));
    EXPECT_NE(error.find("ldmp3.prf"), std::string::npos);
}

}  // namespace
}  // namespace loudara
