// The now-playing title as a playout program writes it: the two forms of the file, titles cut
// without splitting a character, and the file read again only when it changes (a FIFO or a huge
// file in its place never stops the service).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "audio/now_playing.h"
#include "wav_builder.h"

namespace loudara {
namespace {

ByteVector bytesOf(const std::string& s) { return ByteVector(s.begin(), s.end()); }

TEST(NowPlayingText, KeyedLinesOrTheFirstLineAndCleanTitles) {
    NowPlaying p;
    std::string error;
    ASSERT_TRUE(ParseNowPlayingText("artist=Nina Simone\r\ntitle=Feeling Good\n", p, error));
    EXPECT_EQ(p, (NowPlaying{"Feeling Good", "Nina Simone"}));
    EXPECT_EQ(StreamTitleText(p), "Nina Simone - Feeling Good");
    ASSERT_TRUE(ParseNowPlayingText("\nThe News at Six\nsecond line\n", p, error));
    EXPECT_EQ(p, (NowPlaying{"The News at Six", ""}));
    EXPECT_EQ(StreamTitleText(p), "The News at Six");
    EXPECT_FALSE(ParseNowPlayingText(" \n\n", p, error));
    EXPECT_FALSE(ParseNowPlayingText("title=\nartist=\n", p, error));
    EXPECT_NE(error.find("no title"), std::string::npos);

    EXPECT_EQ(CleanTitleText("  a\tb\x1b[31mc  "), "a b [31mc");
    // "é" is two bytes: a cut through it keeps neither.
    EXPECT_EQ(CleanTitleText("abc\xc3\xa9", 4), "abc");
    EXPECT_EQ(CleanTitleText("abc\xc3\xa9", 5), "abc\xc3\xa9");
    EXPECT_EQ(CleanTitleText(std::string(1000, 'x')).size(), kNowPlayingMaxBytes);
}

class NowPlayingFileWatch : public TempFolder {};

TEST_F(NowPlayingFileWatch, ReadOncePerChangeAndNothingForMissingHugeOrFifo) {
    const std::string path = (folder / "nowplaying.txt").string();
    NowPlayingFile watch(path);
    std::string error;
    EXPECT_FALSE(watch.check(error));  // not there yet
    write("nowplaying.txt", bytesOf("title=One\n"));
    std::optional<NowPlaying> seen = watch.check(error);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->title, "One");
    EXPECT_FALSE(watch.check(error)) << "unchanged: nothing new";

    // A playout program writes a new file and renames it over the old one.
    write("next.txt", bytesOf("title=Two\nartist=B\n"));
    fs::rename(folder / "next.txt", path);
    seen = watch.check(error);
    ASSERT_TRUE(seen);
    EXPECT_EQ(StreamTitleText(*seen), "B - Two");

    write("nowplaying.txt", ByteVector(5000, 'x'));
    EXPECT_FALSE(watch.check(error));
    EXPECT_EQ(error, "larger than 4 kB");

    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(watch.check(error));
    EXPECT_EQ(error, "not a regular file");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

}  // namespace
}  // namespace loudara
