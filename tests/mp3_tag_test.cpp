// ID3 version 1 tags: reading the song's block, the prefixes cut to 30 bytes without splitting a
// UTF-8 character, the version in the comment, and the tag at the end of an exported MP3.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

SongTag makeTag(const std::string& title, const std::string& artist, const std::string& album) {
    SongTag tag;
    std::memcpy(tag.bytes, "TAG", 3);
    std::memcpy(tag.bytes + kTagTitleOffset, title.data(), std::min<size_t>(title.size(), 30));
    std::memcpy(tag.bytes + kTagArtistOffset, artist.data(), std::min<size_t>(artist.size(), 30));
    std::memcpy(tag.bytes + kTagAlbumOffset, album.data(), std::min<size_t>(album.size(), 30));
    for (int i = 0; i < 30; ++i) tag.bytes[kTagCommentOffset + i] = static_cast<uint8_t>('A' + i % 26);
    tag.bytes[126] = 7;   // track
    tag.bytes[127] = 13;  // genre
    return tag;
}

std::string field(const SongTag& tag, int offset) {
    return std::string(reinterpret_cast<const char*>(tag.bytes + offset), 30);
}

std::string padded(const std::string& text) { return text + std::string(30 - text.size(), '\0'); }

using Id3Tags = TempFolder;

TEST_F(Id3Tags, ReadSongTagTakesTheLast128BytesOnlyWhenTheyAreATag) {
    const SongTag original = makeTag("Title", "Artist", "Album");
    Bytes file;
    file.add(ByteVector(5000, 0x55)).add(ByteVector(original.bytes, original.bytes + 128));
    const std::string tagged = write("tagged.mp3", file.data);
    SongTag tag;
    ReadSongTag(tagged.c_str(), tag);
    EXPECT_EQ(std::memcmp(tag.bytes, original.bytes, 128), 0);

    // "TAG" that is not at length - 128, a file shorter than a tag: zeros.
    const std::string untagged = write("untagged.mp3", Bytes{}.text("TAG").add(ByteVector(200, 1)).data);
    const std::string tiny = write("tiny.mp3", Bytes{}.text("TAGxyz").data);
    for (const std::string& path : {untagged, tiny}) {
        SongTag t = original;
        ReadSongTag(path.c_str(), t);
        EXPECT_EQ(t.bytes[0], 0);
        EXPECT_FALSE(HasId3v1Tag(t));
        EXPECT_TRUE(std::all_of(std::begin(t.bytes), std::end(t.bytes), [](uint8_t b) { return b == 0; }));
    }
    // A file that cannot be opened leaves the tag as it was.
    SongTag kept = original;
    ReadSongTag((folder / "missing.mp3").string().c_str(), kept);
    EXPECT_EQ(std::memcmp(kept.bytes, original.bytes, 128), 0);
}

TEST_F(Id3Tags, PrefixesAreCutTo30BytesWithoutSplittingACharacter) {
    SongTag tag = makeTag("Song", "Artist", "Best of");
    SongTag out = ExportedSongTag(tag, "live_", "");
    EXPECT_EQ(field(out, kTagAlbumOffset), padded("live_Best of"));
    EXPECT_EQ(field(out, kTagTitleOffset), field(tag, kTagTitleOffset));  // no prefix: untouched
    EXPECT_EQ(field(out, kTagArtistOffset), field(tag, kTagArtistOffset));

    // 40 single-byte characters keep their first 30 (no room left for a NUL).
    tag = makeTag("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", "", "x");
    out = ExportedSongTag(tag, "", "0123456789");
    EXPECT_EQ(field(out, kTagTitleOffset), "0123456789ABCDEFGHIJKLMNOPQRST");

    // "é" is two bytes: with 28 bytes before it it fits, with 29 it is dropped whole.
    const std::string e = "\xC3\xA9";
    tag = makeTag(e + "t" + e, "", "");
    out = ExportedSongTag(tag, "", std::string(28, 'p').c_str());
    EXPECT_EQ(field(out, kTagTitleOffset), std::string(28, 'p') + e);
    out = ExportedSongTag(tag, "", std::string(29, 'p').c_str());
    EXPECT_EQ(field(out, kTagTitleOffset), padded(std::string(29, 'p')));
    // "€" is three bytes: 27 may precede it, 28 may not; the copy stops there even if a shorter
    // character follows.
    const std::string euro = "\xE2\x82\xAC";
    tag = makeTag(euro + "a", "", euro + "a");
    out = ExportedSongTag(tag, std::string(27, 'q').c_str(), std::string(28, 'p').c_str());
    EXPECT_EQ(field(out, kTagAlbumOffset), std::string(27, 'q') + euro);
    EXPECT_EQ(field(out, kTagTitleOffset), padded(std::string(28, 'p')));
    // A Latin-1 byte is one character of its own and is never dropped for want of room for two.
    tag = makeTag("\xE9t", "", "");
    out = ExportedSongTag(tag, "", std::string(29, 'p').c_str());
    EXPECT_EQ(field(out, kTagTitleOffset), std::string(29, 'p') + "\xE9");
}

TEST_F(Id3Tags, CommentStartsWithTheVersionAndKeepsTheRest) {
    const SongTag tag = makeTag("t", "a", "b");
    const SongTag out = ExportedSongTag(tag, "", "");
    const std::string comment = field(out, kTagCommentOffset);
    EXPECT_EQ(comment.substr(0, 13), std::string("LDR_V3.04.03", 13));  // with its NUL
    EXPECT_EQ(comment.substr(13), field(tag, kTagCommentOffset).substr(13));
    EXPECT_EQ(out.bytes[126], 7);
    EXPECT_EQ(out.bytes[127], 13);
    EXPECT_EQ(std::memcmp(out.bytes, "TAG", 3), 0);
}

TEST_F(Id3Tags, EncodedSongGetsItsTagAtTheEndOnlyWhenItHadOne) {
    const std::string wav = write("song.wav", pcmWave(test::musicLikeSignal(20000, 44100, 8000.0), 2, 44100));
    struct Silent : JobHost {
        void endNotice() override {}
    } job;
    std::string error;
    ASSERT_TRUE(EncodeWavToMp3(job, wav, 128, SongTag{}, EncoderSettings{}, "live_", "x", error)) << error;
    const ByteVector plain = read((folder / "song.mp3").string());
    size_t rest = 0;
    test::walkMpeg1Frames(plain, rest);
    EXPECT_EQ(rest, 0u);  // no tag for a song without one

    const SongTag tag = makeTag("Morning", "The Band", "Best of");
    ASSERT_TRUE(EncodeWavToMp3(job, wav, 128, tag, EncoderSettings{}, "live_", "new ", error)) << error;
    const ByteVector tagged = read((folder / "song.mp3").string());
    ASSERT_EQ(tagged.size(), plain.size() + 128);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), tagged.begin()));
    const SongTag expected = ExportedSongTag(tag, "live_", "new ");
    EXPECT_EQ(std::memcmp(tagged.data() + plain.size(), expected.bytes, 128), 0);

    // Read back as a song would be: the tag, the same sound.
    SongTag readBack;
    ReadSongTag((folder / "song.mp3").string().c_str(), readBack);
    EXPECT_EQ(TagFieldText(readBack, kTagTitleOffset), "new Morning");
    EXPECT_EQ(TagFieldText(readBack, kTagArtistOffset), "The Band");
    EXPECT_EQ(TagFieldText(readBack, kTagAlbumOffset), "live_Best of");
    SongRecord a, b;
    const std::string plainPath = write("plain.mp3", plain);
    ASSERT_EQ(ProbeMp3File(plainPath.c_str(), a), Mp3ProbeResult::Ok);
    ASSERT_EQ(ProbeMp3File((folder / "song.mp3").string().c_str(), b), Mp3ProbeResult::Ok);
    EXPECT_EQ(a.dataBytes, b.dataBytes);

    // A file that cannot be appended to.
    EXPECT_FALSE(AppendId3v1Tag((folder / "no" / "such.mp3").string().c_str(), tag, "", ""));
}

TEST(Id3TagText, ShownAsUtf8WhenValidElseAsLatin1) {
    SongTag tag = makeTag("Caf\xC3\xA9  ", "Caf\xE9", "a\tb");
    EXPECT_EQ(TagFieldText(tag, kTagTitleOffset), "Caf\xC3\xA9");
    EXPECT_EQ(TagFieldText(tag, kTagArtistOffset), "Caf\xC3\xA9");
    EXPECT_EQ(TagFieldText(tag, kTagAlbumOffset), "a b");
}

}  // namespace
}  // namespace loudara
