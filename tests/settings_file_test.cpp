// The settings file: defaults, written keys, and everything else in the file left alone.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "persistence/settings_file.h"
#include "wav_builder.h"

namespace loudara {
namespace {

class SettingsFileTest : public TempFolder {
protected:
    std::string ini() const { return (folder / "cfg" / "loudara" / "ldrmp3.ini").string(); }
    std::string text(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void put(const std::string& path, const std::string& contents) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << contents;
    }
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) setenv(name, value, 1); else unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST_F(SettingsFileTest, MissingFileSectionOrKeyGivesTheHomeDirectory) {
    ScopedEnv home("HOME", "/home/somebody");
    EXPECT_EQ(DefaultSettingValue(), "/home/somebody");
    EXPECT_EQ(ReadSetting(kListFileDirKey, ini()), "/home/somebody");
    EXPECT_FALSE(fs::exists(ini())) << "reading creates nothing";

    put(ini(), "[Other]\nListFileDir=/elsewhere\n");
    EXPECT_EQ(ReadSetting(kListFileDirKey, ini()), "/home/somebody");
    put(ini(), "[Loudara]\nParamFileDir=/music/a.ld3\n");
    EXPECT_EQ(ReadSetting(kListFileDirKey, ini()), "/home/somebody");
    EXPECT_EQ(ReadSetting(kParamFileDirKey, ini()), "/music/a.ld3");
}

TEST_F(SettingsFileTest, WrittenKeyReadsBackFromANewFile) {
    ASSERT_TRUE(WriteSetting(kListFileDirKey, "/music/lists/evening show.plt", ini()));
    EXPECT_EQ(text(ini()), "[Loudara]\nListFileDir=/music/lists/evening show.plt\n");
    EXPECT_EQ(ReadSetting(kListFileDirKey, ini()), "/music/lists/evening show.plt");

    ASSERT_TRUE(WriteSetting(kListFileDirKey, "/other.plt", ini()));
    ASSERT_TRUE(WriteSetting(kSoundFileDirKey, "/music/ünïcode", ini()));
    EXPECT_EQ(ReadSetting(kListFileDirKey, ini()), "/other.plt");
    EXPECT_EQ(ReadSetting(kSoundFileDirKey, ini()), "/music/ünïcode");
    EXPECT_EQ(text(ini()), "[Loudara]\nListFileDir=/other.plt\nSoundFileDir=/music/ünïcode\n");
}

TEST_F(SettingsFileTest, OtherKeysSectionsAndCommentsSurviveAWrite) {
    const std::string before =
        "; written by hand\n"
        "[Display]\n"
        "ListFileDir=/not/ours\n"
        "\n"
        "[loudara]\n"
        "  SoundFileDir = /music/in  \n"
        "listfiledir=/old.plt\n"
        "EncToolDir=/usr/bin/lame\n"
        "\n"
        "[Later]\n"
        "x=1\n";
    put(ini(), before);
    ASSERT_TRUE(WriteSetting(kListFileDirKey, "/new.plt", ini()));
    ASSERT_TRUE(WriteSetting(kSelectFolderPathKey, "/export", ini()));
    EXPECT_EQ(text(ini()),
              "; written by hand\n"
              "[Display]\n"
              "ListFileDir=/not/ours\n"
              "\n"
              "[loudara]\n"
              "  SoundFileDir = /music/in  \n"
              "ListFileDir=/new.plt\n"
              "EncToolDir=/usr/bin/lame\n"
              "SelectFolderPath=/export\n"
              "\n"
              "[Later]\n"
              "x=1\n");
    EXPECT_EQ(ReadSetting(kSoundFileDirKey, ini()), "/music/in");
    EXPECT_EQ(ReadSetting("soundfiledir", ini()), "/music/in");

    // A file without our section gets it appended after a blank line.
    put(ini(), "[Other]\nk=v");
    ASSERT_TRUE(WriteSetting(kEncToolDirKey, "/opt/enc", ini()));
    EXPECT_EQ(text(ini()), "[Other]\nk=v\n\n[Loudara]\nEncToolDir=/opt/enc\n");
}

TEST_F(SettingsFileTest, LongValuesAreCutAtTheBufferAndLineBreaksAreRefused) {
    const std::string longValue = "/" + std::string(300, 'a');
    ASSERT_TRUE(WriteSetting(kSoundFileExportDirKey, longValue, ini()));
    EXPECT_EQ(ReadSetting(kSoundFileExportDirKey, ini()), longValue.substr(0, 258));

    // A two-byte character across the cut is dropped whole.
    const std::string wide = "/" + std::string(255, 'b') + "é";  // bytes 257 and 258
    ASSERT_TRUE(WriteSetting(kSoundFileExportDirKey, wide, ini()));
    EXPECT_EQ(ReadSetting(kSoundFileExportDirKey, ini()), wide);
    const std::string over = "/" + std::string(256, 'b') + "é";  // bytes 258 and 259
    ASSERT_TRUE(WriteSetting(kSoundFileExportDirKey, over, ini()));
    EXPECT_EQ(ReadSetting(kSoundFileExportDirKey, ini()), over.substr(0, 257));

    const std::string before = text(ini());
    EXPECT_FALSE(WriteSetting(kSoundFileExportDirKey, "/a\nb", ini()));
    EXPECT_EQ(text(ini()), before);
}

TEST_F(SettingsFileTest, FileLivesInTheConfigurationFolder) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg/x");
        EXPECT_EQ(SettingsFilePath(), "/cfg/x/loudara/ldrmp3.ini");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(SettingsFilePath(), "/home/u/.config/loudara/ldrmp3.ini");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative");
        ScopedEnv home("HOME", "/home/v");
        EXPECT_EQ(SettingsFilePath(), "/home/v/.config/loudara/ldrmp3.ini");
    }
}

TEST_F(SettingsFileTest, DialogFolderOfAStoredFilePath) {
    ScopedEnv home("HOME", "/home/w");
    fs::create_directories(folder / "lists");
    EXPECT_EQ(DialogFolderFor((folder / "lists").string()), (folder / "lists").string());
    EXPECT_EQ(DialogFolderFor((folder / "lists" / "a.plt").string()), (folder / "lists").string());
    EXPECT_EQ(DialogFolderFor("/no/such/place/a.plt"), "/home/w");
}

}  // namespace
}  // namespace loudara
