// Names that are no regular file. A FIFO that nobody writes to holds a plain open() for ever (and
// a CLI that ignores its Ctrl-C while it waits); a device never ends. Every reader refuses both at
// once, and writing still goes wherever the user points it.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>

#include "base/host.h"
#include "files/id3_tag.h"
#include "files/loudness_scan.h"
#include "files/mp3_bridge.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"
#include "persistence/settings_file.h"
#include "processor/processor.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

class NamesThatAreNoFiles : public TempFolder {
protected:
    // Each reader on `path` in a thread of its own: true when it refused, a failure when it is
    // still waiting after two seconds (then writers come and go until the thread ends).
    void expectRefusedAtOnce(const std::string& path) {
        const std::vector<std::pair<const char*, std::function<bool()>>> readers = {
            {"OpenFile", [&] { return !OpenFile(path.c_str(), "rb"); }},
            {"ProbeWavFile",
             [&] {
                 SongRecord song{};
                 return ProbeWavFile(path.c_str(), song) == WavProbeResult::Unreadable;
             }},
            {"ProbeMp3File",
             [&] {
                 SongRecord song{};
                 return ProbeMp3File(path.c_str(), song) == Mp3ProbeResult::Unreadable;
             }},
            {"MeasureSoundFile", [&] { return !MeasureSoundFile(path.c_str()).ok; }},
            {"ReadSongTag",
             [&] {
                 SongTag tag{};
                 ReadSongTag(path.c_str(), tag);
                 return !HasId3v1Tag(tag);
             }},
            {"LoadPlaylist",
             [&] {
                 auto list = std::make_unique<Playlist>();
                 return LoadPlaylist(*list, path, PlayState::Stopped) == PlaylistLoadStatus::NotOpened;
             }},
            {"LoadParameterFileAt",
             [&] {
                 auto p = std::make_unique<Processor>();
                 StoredSettings stored{};
                 RecordingHost host;
                 return LoadParameterFileAt(*p, stored, path, false, host).status == ParameterLoadStatus::NotOpened;
             }},
            {"ReadSetting", [&] { return ReadSetting("MP3ENCODER", path) == DefaultSettingValue(); }},
            {"CopyToNewFile",
             [&] {
                 std::string error;
                 const std::string copy = (folder / "copy").string();
                 const bool refused = !CopyToNewFile(path, copy, error) && !error.empty();
                 return refused && !fs::exists(copy);
             }},
        };
        for (const auto& [name, read] : readers) {
            auto refused = std::async(std::launch::async, read);
            if (refused.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
                ADD_FAILURE() << name << " waits on " << path;
                for (int round = 0; round < 100 && refused.wait_for(std::chrono::milliseconds(50)) !=
                                                       std::future_status::ready; ++round) {
                    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                    if (writer >= 0) ::close(writer);
                }
            }
            EXPECT_TRUE(refused.get()) << name << " on " << path;
        }
    }
};

TEST_F(NamesThatAreNoFiles, EveryReaderRefusesAFifoOrADeviceAtOnce) {
    const std::string fifo = (folder / "song.wav").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    expectRefusedAtOnce(fifo);
    expectRefusedAtOnce("/dev/zero");

    errno = 0;
    EXPECT_EQ(OpenRegularFileForReading(fifo.c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(OpenRegularFileForReading(folder.c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(NamesThatAreNoFiles, RegularFilesStillOpenAndWritingIsUnchanged) {
    const std::string path = write("song.wav", ByteVector{'R', 'I', 'F', 'F'});
    const FileHandle in = OpenFile(path.c_str(), "rb");
    ASSERT_TRUE(in);
    char head[4] = {};
    EXPECT_EQ(std::fread(head, 1, 4, in.get()), 4u);
    // Blocking reads again after the open: a whole read is a whole read.
    EXPECT_EQ(::fcntl(fileno(in.get()), F_GETFL) & O_NONBLOCK, 0);
    // Close-on-exec, so an external encoder does not inherit the song.
    EXPECT_NE(::fcntl(fileno(in.get()), F_GETFD) & FD_CLOEXEC, 0);
    // A link to a regular file is that file.
    fs::create_symlink(path, folder / "link.wav");
    EXPECT_TRUE(OpenFile((folder / "link.wav").c_str(), "rb"));

    // Writing may go to a device or a FIFO a reader holds (a report to /dev/stdout, say).
    EXPECT_TRUE(OpenFile("/dev/null", "wb"));
}

}  // namespace
}  // namespace loudara
