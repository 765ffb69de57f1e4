// Files another local user plants where Loudara writes: links at the target's name and at the
// names a temporary file could have, FIFOs, in a sticky world-writable folder (like /tmp) and in a
// group-writable station folder (where the kernel's own link protection does not apply). The
// planting runs as "nobody" through runuser, so these tests need root (as CI has) and skip
// otherwise.

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/onair_status.h"
#include "files/safe_write.h"
#include "files/temp_folder.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"
#include "persistence/settings_file.h"
#include "processor/processor.h"
#include "wav_builder.h"

namespace loudara {
namespace {

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class PlantedFiles : public TempFolder {
protected:
    fs::path sticky, group, victim;
    passwd* nobody = nullptr;

    void SetUp() override {
        // Under /tmp whatever TMPDIR says: nobody must reach the shared folders.
        folder = fs::path("/tmp") / folder.filename();
        TempFolder::SetUp();
        nobody = getpwnam("nobody");
        if (geteuid() != 0 || nobody == nullptr || std::system("command -v runuser >/dev/null") != 0) {
            GTEST_SKIP() << "needs root, the user nobody and runuser to plant files as another user";
        }
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
        sticky = folder / "sticky";
        group = folder / "station";
        fs::create_directories(sticky);
        fs::create_directories(group);
        ::chmod(sticky.c_str(), 01777);
        // A station folder shared through a group that nobody belongs to (its own).
        ASSERT_EQ(::chown(group.c_str(), 0, nobody->pw_gid), 0);
        ::chmod(group.c_str(), 02775);
        victim = folder / "victim.conf";
        writeText(victim, "the victim's own bytes\n");
    }

    // Runs `command` with sh as the user nobody.
    static void asNobody(const std::string& command) {
        const std::string line = "runuser -u nobody -- sh -c '" + command + "'";
        ASSERT_EQ(std::system(line.c_str()), 0) << line;
    }
    void plantLink(const fs::path& at, const fs::path& to) { asNobody("ln -s " + to.string() + " " + at.string()); }
    std::vector<fs::path> sharedFolders() const { return {sticky, group}; }

    // The victim is untouched and the planted link is still there, still nobody's.
    void expectUntouched(const fs::path& link) {
        EXPECT_EQ(readAll(victim), "the victim's own bytes\n");
        struct stat st {};
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(st.st_uid, nobody->pw_uid);
    }
    // Nothing but `names` in `where`: no temporary file left behind.
    static void expectOnly(const fs::path& where, std::vector<std::string> names) {
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(where)) left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(left, names);
    }
};

TEST_F(PlantedFiles, EverySaveRefusesALinkOfAnotherUserAndNamesItsOwner) {
    auto p = std::make_unique<Processor>();
    resetProcessor(*p);
    StoredSettings stored;
    auto list = std::make_unique<Playlist>();
    for (const fs::path& shared : sharedFolders()) {
        SCOPED_TRACE(shared.string());
        std::string error;
        const fs::path params = shared / "station.ld3";
        plantLink(params, victim);
        EXPECT_FALSE(SaveParameterFile(*p, stored, params.string(), "", error));
        EXPECT_NE(error.find(params.string() + " is a symbolic link that belongs to user nobody"), std::string::npos)
            << error;
        expectUntouched(params);

        const fs::path playlist = shared / "list.plt";
        plantLink(playlist, victim);
        EXPECT_FALSE(SavePlaylist(*list, playlist.string(), error));
        EXPECT_NE(error.find("belongs to user nobody"), std::string::npos) << error;
        expectUntouched(playlist);

        const fs::path settings = shared / "ldrmp3.ini";
        plantLink(settings, victim);
        EXPECT_FALSE(WriteSetting("ParamFileDir", "/srv", settings.string()));
        expectUntouched(settings);

        const fs::path status = shared / "onair.json";
        plantLink(status, victim);
        EXPECT_FALSE(WriteStatusFile(status.string(), OnAirStatus{}, error));
        expectUntouched(status);

        // A link in the middle of a chain counts the same: one of this user's leading to one of nobody's.
        const fs::path chained = shared / "chained.ld3";
        fs::create_symlink(params, chained);
        EXPECT_FALSE(SaveParameterFile(*p, stored, chained.string(), "", error));
        EXPECT_NE(error.find(params.string() + " is a symbolic link that belongs to user nobody"), std::string::npos)
            << error;
        expectUntouched(params);
        expectOnly(shared, {"station.ld3", "list.plt", "ldrmp3.ini", "onair.json", "chained.ld3"});
    }
}

TEST_F(PlantedFiles, OwnLinksAreFollowedAndNothingPlantedUnderOtherNamesIsOpened) {
    auto p = std::make_unique<Processor>();
    resetProcessor(*p);
    StoredSettings stored;
    for (const fs::path& shared : sharedFolders()) {
        SCOPED_TRACE(shared.string());
        // A preset kept elsewhere behind a link of the user's own: the file is replaced, the link stays.
        const fs::path kept = folder / ("kept-" + shared.filename().string() + ".ld3");
        writeText(kept, "old");
        ::chmod(kept.c_str(), 0600);
        const fs::path link = shared / "preset.ld3";
        fs::create_symlink(kept, link);
        std::string error;
        ASSERT_TRUE(SaveParameterFile(*p, stored, link.string(), "", error)) << error;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::file_size(kept), static_cast<uintmax_t>(kParameterFileBytes));
        EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << "a replaced file keeps its permissions";

        // FIFOs and links at the names a writer beside the target might pick: none of them is
        // opened (a FIFO would block the writer, a link would redirect it).
        const fs::path status = shared / "onair.json";
        asNobody("mkfifo " + (status.string() + ".tmp") + " " + (status.string() + ".part-" + std::to_string(getpid())));
        plantLink(shared / ("onair.json.~" + std::to_string(getpid()) + "-0"), victim);
        OnAirStatus record;
        record.state = "on-air";
        ASSERT_TRUE(WriteStatusFile(status.string(), record, error)) << error;
        EXPECT_NE(readAll(status).find("\"state\": \"on-air\""), std::string::npos);
        EXPECT_EQ(readAll(victim), "the victim's own bytes\n");
        EXPECT_TRUE(fs::is_fifo(status.string() + ".tmp"));
    }
}

// A delivery across file systems copies into the target's folder; a tmpfs mounted for the test is
// the other file system (or /dev/shm where mounting is not allowed).
class PlantedDelivery : public PlantedFiles {
protected:
    fs::path other;
    bool mounted = false;

    void SetUp() override {
        PlantedFiles::SetUp();
        if (IsSkipped()) return;
        other = folder / "tmpfs";
        fs::create_directories(other);
        mounted = ::mount("tmpfs", other.c_str(), "tmpfs", 0, "size=256k,mode=1777") == 0;
        if (!mounted) {
            other = fs::path("/dev/shm") / folder.filename();
            fs::create_directories(other);
            ::chmod(other.c_str(), 01777);
        }
        struct stat here {}, there {};
        ASSERT_EQ(::stat(folder.c_str(), &here), 0);
        ASSERT_EQ(::stat(other.c_str(), &there), 0);
        if (here.st_dev == there.st_dev) GTEST_SKIP() << "no second file system to deliver to";
    }
    void TearDown() override {
        if (mounted) ::umount2(other.c_str(), MNT_DETACH);
        else if (!other.empty()) fs::remove_all(other);
        PlantedFiles::TearDown();
    }
};

TEST_F(PlantedDelivery, ACopyAcrossFileSystemsRefusesPlantedLinksAndReportsTheFirstError) {
    const fs::path song = folder / "song.wav";
    writeText(song, std::string(20000, 's'));
    WriteFailure failure;

    // A link planted at the target: refused, named with its owner; the victim keeps its bytes.
    const fs::path target = other / "out.wav";
    plantLink(target, victim);
    EXPECT_FALSE(PutFileInPlace(song.string(), target.string(), WriteMode::Replace, failure));
    EXPECT_NE(failure.text.find("belongs to user nobody"), std::string::npos) << failure.text;
    expectUntouched(target);
    ASSERT_TRUE(fs::exists(song));

    // Links planted at the copy's old predictable names do not redirect it.
    const fs::path second = other / "second.wav";
    plantLink(other / ("second.wav.part-" + std::to_string(getpid())), victim);
    ASSERT_TRUE(PutFileInPlace(song.string(), second.string(), WriteMode::KeepExisting, failure)) << failure.text;
    EXPECT_EQ(readAll(second), std::string(20000, 's'));
    EXPECT_EQ(readAll(victim), "the victim's own bytes\n");

    if (!mounted) return;  // /dev/shm is too big to fill
    // A full disk: the reason is the full disk (never "Success"), the earlier file stays whole and
    // no part is left behind. The same for a report replaced on a full disk.
    writeText(other / "report.json", "{\"earlier\": true}\n");
    const fs::path big = folder / "big.wav";
    writeText(big, std::string(400 * 1024, 'b'));
    EXPECT_FALSE(PutFileInPlace(big.string(), second.string(), WriteMode::Replace, failure));
    EXPECT_EQ(failure.text, "cannot write " + second.string() + ": no space left on " + other.string());
    EXPECT_EQ(readAll(second), std::string(20000, 's'));
    const std::string report(400 * 1024, 'r');
    std::string error;
    EXPECT_FALSE(ReplaceFileContents((other / "report.json").string(), report.data(), report.size(), error));
    EXPECT_EQ(error, "cannot write " + (other / "report.json").string() + ": no space left on " + other.string());
    EXPECT_EQ(readAll(other / "report.json"), "{\"earlier\": true}\n");
    expectOnly(other, {"out.wav", "second.wav", "second.wav.part-" + std::to_string(getpid()), "report.json"});
}

}  // namespace
}  // namespace loudara
