// The playlist: adding rules, the file, re-probe and compaction, edits, sort and the view's rows.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "persistence/playlist.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

// Stands in for the MP3 probe: a file beginning with "MP3!" is a 44.1 kHz stereo stream whose
// decoded size is given by its byte 4 (in units of 4 kB).
int stubMp3Probe(const char* path, SongRecord& song) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    unsigned char head[5] = {};
    const size_t n = std::fread(head, 1, 5, f);
    std::fclose(f);
    if (n < 5 || std::memcmp(head, "MP3!", 4) != 0) return 0;
    song.sampleRate = 44100;
    song.channels = 2;
    song.dataBytes = head[4] * 4096u;
    return 1;
}

// A fake MP3 file with an ID3v1 tag block at its end.
ByteVector mp3With(const char* title, const char* artist, const char* album, uint8_t track, uint8_t size = 1) {
    ByteVector file = {'M', 'P', '3', '!', size};
    file.resize(400, 0x55);
    ByteVector tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, title, std::strlen(title));
    std::memcpy(tag.data() + 33, artist, std::strlen(artist));
    std::memcpy(tag.data() + 63, album, std::strlen(album));
    tag[126] = track;
    file.insert(file.end(), tag.begin(), tag.end());
    return file;
}

// A short 16-bit WAV song of `frames` stereo frames.
ByteVector wavSong(uint32_t rate = 44100, uint32_t channels = 2, size_t frames = 4) {
    return pcmWave(std::vector<int16_t>(frames * channels, 100), channels, rate);
}

class PlaylistTest : public TempFolder {
protected:
    std::unique_ptr<Playlist> list = std::make_unique<Playlist>();
    RecordingHost host;

    void SetUp() override {
        TempFolder::SetUp();
        list->probeMp3 = stubMp3Probe;
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (int i = 0; i < list->songCount; ++i) out.emplace_back(list->songs[i].path);
        return out;
    }
    AddResult add(const std::string& path, PlayState state = PlayState::Stopped) {
        return AddSoundFile(*list, path, state, host);
    }
};

// ---- adding --------------------------------------------------------------------------------

TEST_F(PlaylistTest, AddingRulesByExtensionAndProbe) {
    const std::string wav = write("a.WAV", wavSong(48000, 1, 10));
    const std::string mp3 = write("b.Mp3", mp3With("Title", "Artist", "Album", 7, 3));
    const std::string mp3b = write("c.mP3", mp3With("T2", "A2", "B2", 1));
    const std::string other = write("d.wave", wavSong());
    const std::string notMp3 = write("e.mp3", ByteVector(200, 1));
    const std::string badWav = write("f.wav", ByteVector(10, 0));

    EXPECT_EQ(add(wav), AddResult::Added);
    EXPECT_EQ(add(mp3), AddResult::Added);
    EXPECT_EQ(add(mp3b), AddResult::Added);
    EXPECT_EQ(add(other), AddResult::NotSoundFile);
    EXPECT_EQ(add(notMp3), AddResult::ProbeFailed);
    EXPECT_EQ(add(badWav), AddResult::ProbeFailed);
    EXPECT_EQ(add((folder / "missing.wav").string()), AddResult::ProbeFailed);
    ASSERT_EQ(list->songCount, 3);
    EXPECT_TRUE(host.messages.empty());

    const SongRecord& w = list->songs[0];
    EXPECT_EQ(w.sampleRate, 48000u);
    EXPECT_EQ(w.channels, 1u);
    EXPECT_EQ(w.dataBytes, 20u);
    EXPECT_EQ(w.kind, SongKind::Wav);
    EXPECT_STREQ(w.path, wav.c_str());
    EXPECT_EQ(list->tags[0].bytes[0], 0);

    const SongRecord& m = list->songs[1];
    EXPECT_EQ(m.kind, SongKind::Mp3);
    EXPECT_EQ(m.sampleRate, 44100u);
    EXPECT_EQ(m.dataBytes, 3u * 4096);
    EXPECT_EQ(std::memcmp(list->tags[1].bytes, "TAGTitle", 8), 0);
    EXPECT_EQ(list->tags[1].bytes[126], 7);

    // While a song plays, an MP3 file enters unprobed and is probed at the next refresh when stopped.
    EXPECT_EQ(add(mp3, PlayState::Playing), AddResult::AddedPending);
    EXPECT_EQ(list->songs[3].kind, SongKind::Mp3Pending);
    EXPECT_EQ(list->songs[3].sampleRate, 0u);
    RefreshSongList(*list, PlayState::Playing);
    EXPECT_EQ(list->songs[3].kind, SongKind::Mp3Pending);
    RefreshSongList(*list, PlayState::Stopped);
    EXPECT_EQ(list->songs[3].kind, SongKind::Mp3);
    EXPECT_EQ(list->songs[3].dataBytes, 3u * 4096);
    EXPECT_EQ(list->tags[3].bytes[126], 7);

    // Without an MP3 probe a readable MP3 file waits as pending; an unreadable one is refused.
    list->probeMp3 = nullptr;
    EXPECT_EQ(add(mp3b), AddResult::AddedPending);
    EXPECT_EQ(add((folder / "none.mp3").string()), AddResult::ProbeFailed);
    RefreshSongList(*list, PlayState::Stopped);
    EXPECT_EQ(list->songs[4].kind, SongKind::Mp3Pending);
}

TEST_F(PlaylistTest, PathsLongerThan255BytesAreRefusedNotCut) {
    fs::path deep = folder;
    for (int i = 0; i < 4; ++i) deep /= std::string(60, static_cast<char>('k' + i));
    fs::create_directories(deep);
    const std::string longPath = (deep / "song.wav").string();
    ASSERT_GT(longPath.size(), 255u);
    std::ofstream(longPath, std::ios::binary).write(reinterpret_cast<const char*>(wavSong().data()), wavSong().size());
    const std::string fits = write("ok.wav", wavSong());

    EXPECT_EQ(add(longPath), AddResult::PathTooLong);
    EXPECT_EQ(AddSoundFolder(*list, folder.string(), PlayState::Stopped, host), 1);
    EXPECT_EQ(paths(), std::vector<std::string>{fits});
    EXPECT_TRUE(host.messages.empty());

    AddChosenSoundFiles(*list, {longPath}, PlayState::Stopped, host);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].text.find("longer than 255 bytes"), std::string::npos);
    EXPECT_EQ(list->songCount, 1);
}

TEST_F(PlaylistTest, FolderTreeOf2500SongsAdds2000AndShowsTheLimitOnce) {
    const ByteVector song = wavSong(32000, 1, 1);
    for (int d = 0; d < 5; ++d) {
        char disc[16];
        std::snprintf(disc, sizeof disc, "disc%d", d);
        const fs::path sub = folder / disc / "tracks";
        fs::create_directories(sub);
        for (int i = 0; i < 500; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "t%d.wav", i);
            std::ofstream(sub / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(song.data()), song.size());
        }
    }
    write("notes.txt", ByteVector{'x'});

    EXPECT_EQ(AddSoundFolder(*list, folder.string(), PlayState::Stopped, host), 2000);
    EXPECT_EQ(list->songCount, 2000);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "More than 2000 sound files cannot be placed on the list.\nThe exceeded files has been canceled.");
    EXPECT_EQ(host.messages[0].caption, "Loudara");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Exclamation);

    // Later adds at 2000 are silent; a drop on a full list shows the message once more.
    EXPECT_EQ(add(write("late.wav", song)), AddResult::ListFull);
    EXPECT_EQ(AddSoundFolder(*list, folder.string(), PlayState::Stopped, host), 0);
    EXPECT_EQ(host.messages.size(), 1u);
    AddDroppedNames(*list, {folder.string()}, PlayState::Stopped, host);
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(PlaylistTest, OpenDialogRules) {
    const std::string good = write("good.wav", wavSong());
    const std::string bad = write("bad.wav", wavSong(48000, 6));
    const std::string badMp3 = write("bad.mp3", ByteVector(10, 0));

    EXPECT_EQ(AddChosenSoundFiles(*list, {bad}, PlayState::Stopped, host), bad);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "WAVE Format Error");
    EXPECT_EQ(host.messages[0].text,
              "This WAV file format is not supported.\nSupported Format\xEF\xBC\x9A" "48k/44.1k/32k, 1ch/2ch, 16bit");
    AddChosenSoundFiles(*list, {badMp3}, PlayState::Stopped, host);
    EXPECT_EQ(host.messages.size(), 1u) << "an MP3 file that fails is dropped silently";

    EXPECT_EQ(AddChosenSoundFiles(*list, {good, bad, badMp3, good}, PlayState::Stopped, host), folder.string());
    EXPECT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(paths(), (std::vector<std::string>{good, good}));

    // At the limit the dialog drops files without the message.
    list->songCount = kMaxSongs - 1;
    AddChosenSoundFiles(*list, {good}, PlayState::Stopped, host);
    AddChosenSoundFiles(*list, {good}, PlayState::Stopped, host);
    EXPECT_EQ(list->songCount, kMaxSongs);
    EXPECT_EQ(host.messages.size(), 1u);
}

// ---- the playlist file ---------------------------------------------------------------------

TEST_F(PlaylistTest, SavedFileMatchesTheLayout) {
    // An empty playlist: 640008 zero bytes, loaded back as empty.
    const std::string empty = (folder / "empty.plt").string();
    std::string error;
    ASSERT_TRUE(SavePlaylist(*list, empty, error)) << error;
    EXPECT_EQ(read(empty), ByteVector(640008, 0));
    list->songCount = 5;
    EXPECT_EQ(LoadPlaylist(*list, empty, PlayState::Stopped), PlaylistLoadStatus::Loaded);
    EXPECT_EQ(list->songCount, 0);

    // 150 entries around the split at entry 100.
    for (int i = 0; i < 150; ++i) {
        SongRecord& s = list->songs[i];
        s.sampleRate = 32000 + i;
        s.channels = 1 + i % 2;
        s.peakLevel = 1000 + i;
        s.kind = static_cast<SongKind>(i % 3);
        s.dataBytes = 0x01020304u * (i + 1);
        std::snprintf(s.path, sizeof s.path, "/music/song %03d.wav", i);
    }
    list->songCount = 150;
    list->currentSong = 0x11223344;
    const std::string path = (folder / "list.plt").string();
    ASSERT_TRUE(SavePlaylist(*list, path, error)) << error;

    Bytes expected;
    auto entry = [&](int i) {
        char name[256] = {};
        if (i < 150) std::snprintf(name, sizeof name, "/music/song %03d.wav", i);
        const bool used = i < 150;
        expected.u32(used ? 32000 + i : 0).u32(used ? 1 + i % 2 : 0).u32(used ? 1000 + i : 0);
        expected.u32(used ? i % 3 : 0).u32(used ? 0x01020304u * (i + 1) : 0);
        expected.add({}, 44).add(ByteVector(name, name + 256));
    };
    for (int i = 0; i < 100; ++i) entry(i);
    expected.u32(0x11223344).u32(150);
    for (int i = 100; i < 2000; ++i) entry(i);
    ASSERT_EQ(expected.data.size(), 640008u);
    const ByteVector written = read(path);
    ASSERT_EQ(written.size(), expected.data.size());
    for (size_t i = 0; i < written.size(); ++i) ASSERT_EQ(written[i], expected.data[i]) << "byte " << i;
}

TEST_F(PlaylistTest, LoadDropsEntriesWhoseFilesAreGoneAndKeepsTheOrder) {
    std::vector<std::string> files;
    for (int i = 0; i < 7; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, i % 2 ? "s%d.mp3" : "s%d.wav", i);
        files.push_back(i % 2 ? write(name, mp3With("t", "a", "b", i, i)) : write(name, wavSong(44100, 2, 10 + i)));
        ASSERT_EQ(add(files.back()), AddResult::Added);
    }
    list->songs[0].peakLevel = 30000;
    list->songStatus[6] = kSongStatusExported;
    list->currentSong = 6;
    const std::string path = (folder / "seven.plt").string();
    std::string error;
    ASSERT_TRUE(SavePlaylist(*list, path, error));
    // Gone, a FIFO (opening it for reading would wait for a writer for ever) and a device: all skipped.
    fs::remove(files[3]);
    fs::remove(files[5]);
    ASSERT_EQ(mkfifo(files[5].c_str(), 0600), 0);
    fs::remove(files[2]);
    fs::create_symlink("/dev/zero", files[2]);
    EXPECT_EQ(add(files[5]), AddResult::ProbeFailed);
    EXPECT_EQ(add(files[5], PlayState::Playing), AddResult::ProbeFailed);
    list->probeMp3 = nullptr;
    EXPECT_EQ(add(files[2]), AddResult::ProbeFailed) << "a device is not a song";

    auto loaded = std::make_unique<Playlist>();
    loaded->probeMp3 = stubMp3Probe;
    EXPECT_EQ(LoadPlaylist(*loaded, path, PlayState::Stopped), PlaylistLoadStatus::Loaded);
    ASSERT_EQ(loaded->songCount, 4);
    const std::vector<int> kept = {0, 1, 4, 6};
    for (int j = 0; j < 4; ++j) {
        EXPECT_STREQ(loaded->songs[j].path, files[kept[j]].c_str());
        EXPECT_EQ(loaded->songs[j].peakLevel, 0u) << "a re-probed song is not scanned";
        EXPECT_EQ(loaded->songStatus[j], 0);
    }
    EXPECT_EQ(loaded->songs[3].dataBytes, (10u + 6) * 4);
    EXPECT_EQ(loaded->songs[2].kind, SongKind::Wav);
    EXPECT_EQ(loaded->songs[1].kind, SongKind::Mp3);
    EXPECT_EQ(loaded->tags[1].bytes[126], 1) << "the tag is read again";
    EXPECT_EQ(loaded->currentSong, 6) << "kept as stored";
}

TEST_F(PlaylistTest, ShortDamagedOrUnreadableFiles) {
    const std::string a = write("a.wav", wavSong());
    const std::string b = write("b.wav", wavSong(32000));
    const std::string c = write("c.wav", wavSong(48000));
    add(a);
    add(b);
    add(c);
    std::string error;
    const std::string full = (folder / "full.plt").string();
    ASSERT_TRUE(SavePlaylist(*list, full, error));

    // A file that ends inside entry 1: entry 0 is taken, the rest (and the counts) stay.
    auto other = std::make_unique<Playlist>();
    other->probeMp3 = stubMp3Probe;
    AddSoundFile(*other, c, PlayState::Stopped, host);
    AddSoundFile(*other, c, PlayState::Stopped, host);
    ByteVector bytes = read(full);
    bytes[0] = 0x7F;  // a sample rate the re-probe replaces
    bytes.resize(320 + 100);
    const std::string shortFile = write("short.plt", bytes);
    EXPECT_EQ(LoadPlaylist(*other, shortFile, PlayState::Stopped), PlaylistLoadStatus::Short);
    EXPECT_EQ(other->songCount, 2);
    EXPECT_STREQ(other->songs[0].path, a.c_str());
    EXPECT_EQ(other->songs[0].sampleRate, 44100u);
    EXPECT_STREQ(other->songs[1].path, c.c_str());

    // An unreadable file reads nothing, but the list is checked again all the same.
    fs::remove(b);
    EXPECT_EQ(LoadPlaylist(*list, (folder / "nothere.plt").string(), PlayState::Stopped),
              PlaylistLoadStatus::NotOpened);
    EXPECT_EQ(paths(), (std::vector<std::string>{a, c}));
    EXPECT_EQ(LoadPlaylist(*list, folder.string(), PlayState::Stopped), PlaylistLoadStatus::NotOpened);

    // Counts out of range are clamped; a path without its NUL does not run into the next entry.
    bytes = read(full);
    std::memset(bytes.data() + 64, 'x', 256);
    auto putI32 = [&](size_t at, int32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(static_cast<uint32_t>(v) >> (8 * i));
    };
    putI32(32000, -5);
    putI32(32004, 3000);
    write("damaged.plt", bytes);
    EXPECT_EQ(LoadPlaylist(*list, (folder / "damaged.plt").string(), PlayState::Stopped), PlaylistLoadStatus::Loaded);
    EXPECT_EQ(list->currentSong, 0);
    EXPECT_EQ(paths(), std::vector<std::string>{c}) << "entries past the third have empty paths and drop out";
    putI32(32000, 5000);
    putI32(32004, -1);
    write("damaged.plt", bytes);
    LoadPlaylist(*list, (folder / "damaged.plt").string(), PlayState::Stopped);
    EXPECT_EQ(list->currentSong, 1999);
    EXPECT_EQ(list->songCount, 0);
}

TEST_F(PlaylistTest, FailedSaveLeavesTheOldFileIntact) {
    const std::string path = write("keep.plt", ByteVector(640008, 7));
    std::string error;
    EXPECT_FALSE(SavePlaylist(*list, (folder / "no" / "x.plt").string(), error));
    EXPECT_FALSE(SavePlaylist(*list, folder.string(), error));
    EXPECT_EQ(read(path), ByteVector(640008, 7));
}

// ---- edits and sort ------------------------------------------------------------------------

class PlaylistEditTest : public ::testing::Test {
protected:
    std::unique_ptr<Playlist> list = std::make_unique<Playlist>();

    // Songs named by single letters, with numbers for the numeric columns.
    void fill(const std::vector<const char*>& names) {
        list->songCount = static_cast<int>(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            SongRecord& s = list->songs[i];
            s = SongRecord{};
            s.sampleRate = 44100;
            s.channels = 2;
            s.dataBytes = 1000;
            std::snprintf(s.path, sizeof s.path, "/m/%s.wav", names[i]);
            list->tags[i] = SongTag{};
            list->songStatus[i] = 0;
        }
    }
    std::string names() const {
        std::string out;
        for (int i = 0; i < list->songCount; ++i) out += SongFileName(list->songs[i].path).substr(0, 1);
        return out;
    }
    void makeMp3(int i, const char* title, uint8_t track) {
        list->songs[i].kind = SongKind::Mp3;
        std::memcpy(list->tags[i].bytes, "TAG", 3);
        std::memcpy(list->tags[i].bytes + 3, title, std::strlen(title));
        list->tags[i].bytes[126] = track;
    }
};

TEST_F(PlaylistEditTest, MovingThePlayingSongKeepsThePlayingMark) {
    fill({"a", "b", "c", "d"});
    list->playingSong = 2;
    list->currentSong = 2;
    list->songStatus[2] = kSongStatusExported;
    EXPECT_TRUE(MoveSongUp(*list));
    EXPECT_EQ(names(), "acbd");
    EXPECT_EQ(list->currentSong, 1);
    EXPECT_EQ(list->playingSong, 1);
    EXPECT_EQ(list->songStatus[1], kSongStatusExported) << "the status moves with its song";
    EXPECT_EQ(RefreshSongList(*list, PlayState::Playing)[1].icon, kIconPlaying);

    // Moving a neighbour past the playing song moves the mark the other way.
    list->currentSong = 0;
    EXPECT_TRUE(MoveSongDown(*list));
    EXPECT_EQ(names(), "cabd");
    EXPECT_EQ(list->playingSong, 0);
    EXPECT_EQ(list->currentSong, 1);

    list->currentSong = 0;
    EXPECT_FALSE(MoveSongUp(*list));
    list->currentSong = 3;
    EXPECT_FALSE(MoveSongDown(*list));
    EXPECT_EQ(names(), "cabd");
}

TEST_F(PlaylistEditTest, DeleteRules) {
    fill({"a", "b", "c", "d"});
    list->currentSong = 1;
    list->playingSong = 1;
    EXPECT_FALSE(DeleteCurrentSong(*list, PlayState::Playing)) << "the song being played stays";
    EXPECT_TRUE(DeleteCurrentSong(*list, PlayState::Stopped));
    EXPECT_EQ(names(), "acd");

    list->currentSong = 0;
    list->playingSong = 2;
    EXPECT_TRUE(DeleteCurrentSong(*list, PlayState::Playing));
    EXPECT_EQ(names(), "cd");
    EXPECT_EQ(list->playingSong, 1) << "follows its entry";
    EXPECT_EQ(list->currentSong, 0);

    list->currentSong = 1;
    EXPECT_TRUE(DeleteCurrentSong(*list, PlayState::Stopped));
    EXPECT_EQ(names(), "c");
    EXPECT_EQ(list->currentSong, 0) << "the last song was deleted";

    list->currentSong = 7;  // beyond the list: the last entry goes
    list->playingSong = 3;
    EXPECT_TRUE(DeleteCurrentSong(*list, PlayState::Stopped));
    EXPECT_EQ(list->songCount, 0);
    EXPECT_EQ(list->currentSong, 7);
    EXPECT_FALSE(DeleteCurrentSong(*list, PlayState::Stopped));
}

TEST_F(PlaylistEditTest, SortByTitlePutsWavSongsFirstInTheirOrder) {
    fill({"a", "b", "c", "d", "e", "f"});
    makeMp3(0, "Zulu", 1);
    makeMp3(2, "Alpha", 2);
    makeMp3(4, "Mike", 3);
    list->songs[5].kind = SongKind::Mp3Pending;  // no tag yet: an empty key
    list->playingSong = 2;
    list->sortColumn = 5;
    SortPlaylist(*list, true);
    EXPECT_EQ(names(), "bdfcea");
    EXPECT_EQ(list->playingSong, 3) << "follows its entry";
    EXPECT_EQ(list->headerSortAscending, 0);
    EXPECT_EQ(list->sortColumn, 4);

    list->sortColumn = 5;
    SortPlaylist(*list, false);
    EXPECT_EQ(names(), "aecbdf");
    EXPECT_EQ(list->playingSong, 2);
    EXPECT_EQ(list->headerSortAscending, 1);
}

TEST_F(PlaylistEditTest, SortKeysOfEveryColumn) {
    auto sortedBy = [&](int column, bool ascending) {
        list->sortColumn = column;
        SortPlaylist(*list, ascending);
        return names();
    };
    fill({"c", "a", "b"});
    list->songs[0].kind = SongKind::Mp3Pending;
    list->songs[1].kind = SongKind::Mp3;
    EXPECT_EQ(sortedBy(0, true), "bac");

    fill({"c", "a", "b"});
    list->songs[0].sampleRate = 32000;
    list->songs[2].sampleRate = 48000;
    EXPECT_EQ(sortedBy(1, true), "cab");
    list->songs[0].channels = 1;  // now "c"
    EXPECT_EQ(sortedBy(2, false), "abc");

    fill({"c", "a", "B"});
    EXPECT_EQ(sortedBy(3, true), "Bac") << "byte order: capitals first";
    std::snprintf(list->songs[0].path, sizeof list->songs[0].path, "/z/B.wav");
    std::snprintf(list->songs[1].path, sizeof list->songs[1].path, "/a/a.wav");
    EXPECT_EQ(sortedBy(9, true), "acB") << "whole path";
    EXPECT_EQ(sortedBy(-1, true), "acB");

    fill({"c", "a", "b"});
    list->songs[0].dataBytes = 3000;
    list->songs[1].dataBytes = 1000;
    list->songs[2].dataBytes = 2000;
    EXPECT_EQ(sortedBy(4, true), "abc");
    // The difference of two sizes is taken as a signed 32-bit number.
    list->songs[0].dataBytes = 0x90000000u;
    list->songs[1].dataBytes = 0x10000000u;
    list->songs[2].dataBytes = 0x10000000u;
    EXPECT_EQ(sortedBy(4, true), "abc") << "0x90000000 - 0x10000000 is negative";

    fill({"c", "a", "b", "d"});
    makeMp3(0, "", 9);
    makeMp3(1, "", 2);
    makeMp3(3, "", 255);
    EXPECT_EQ(sortedBy(8, true), "acbd") << "a WAV song's track is 255";
    fill({"c", "a", "b"});
    makeMp3(0, "x", 1);
    std::memcpy(list->tags[0].bytes + 33, "Bb", 2);
    std::memcpy(list->tags[0].bytes + 63, "A", 1);
    makeMp3(1, "x", 1);
    std::memcpy(list->tags[1].bytes + 33, "Ba", 2);
    std::memcpy(list->tags[1].bytes + 63, "\xC3\xA9", 2);
    EXPECT_EQ(sortedBy(6, true), "bac");
    EXPECT_EQ(sortedBy(7, true), "bca") << "bytes compare unsigned";
}

TEST_F(PlaylistEditTest, RowsOfTheView) {
    fill({"wave", "mp3", "pending", "failed"});
    std::snprintf(list->songs[0].path, 256, "/music/set/wave.wav");
    list->songs[0].sampleRate = 32000;
    list->songs[0].channels = 1;
    list->songs[0].dataBytes = 32000 * 2 * 75;
    makeMp3(1, "Caf\xE9", 12);  // Latin-1 é
    std::memcpy(list->tags[1].bytes + 33, "Someone", 7);
    std::memcpy(list->tags[1].bytes + 63, "Album", 5);
    list->songStatus[1] = kSongStatusExported;
    list->songs[2] = SongRecord{};
    list->songs[2].kind = SongKind::Mp3Pending;
    std::snprintf(list->songs[2].path, 256, "/m/pending.mp3");
    list->songs[3].kind = SongKind::Mp3;
    list->songStatus[3] = kSongStatusFailed;
    list->songStatus[0] = kSongStatusFailed;

    const std::vector<SongRow> rows = RefreshSongList(*list, PlayState::Stopped);
    ASSERT_EQ(rows.size(), 4u);
    const std::vector<std::string> wav(std::begin(rows[0].cells), std::end(rows[0].cells));
    EXPECT_EQ(wav, (std::vector<std::string>{"00", "32", "1", "wave.wav", "01:15", "--", "--", "--", "--",
                                             "/music/set/wave.wav"}));
    EXPECT_EQ(rows[0].icon, kIconWavMarked);
    EXPECT_EQ(rows[1].cells[0], "01");
    EXPECT_EQ(rows[1].cells[1], "44");
    EXPECT_EQ(rows[1].cells[5], "Caf\xC3\xA9");
    EXPECT_EQ(rows[1].cells[6], "Someone");
    EXPECT_EQ(rows[1].cells[7], "Album");
    EXPECT_EQ(rows[1].cells[8], "12");
    EXPECT_EQ(rows[1].icon, kIconMp3Exported);
    EXPECT_EQ(rows[2].cells[1], "00");
    EXPECT_EQ(rows[2].cells[4], "--:--");
    EXPECT_EQ(rows[2].cells[5], "(Loading..)");
    EXPECT_EQ(rows[2].cells[8], "##");
    EXPECT_EQ(rows[2].icon, kIconMp3);
    EXPECT_EQ(rows[3].icon, kIconMp3Failed);
    EXPECT_EQ(SongCountText(*list), "4 songs in list");

    list->playingSong = 0;
    EXPECT_EQ(RefreshSongList(*list, PlayState::Draining)[0].icon, kIconWavMarked) << "only while Playing";
    EXPECT_EQ(RefreshSongList(*list, PlayState::Playing)[0].icon, kIconPlaying);
}

TEST(PlaylistView, ScrollPositions) {
    EXPECT_EQ(RestoredScrollRows(100, 20, 30), 30);
    EXPECT_EQ(RestoredScrollRows(100, 20, 90), 80);  // fewer than a page below the top: the last page
    EXPECT_EQ(RestoredScrollRows(10, 20, 0), 0);
    EXPECT_EQ(RestoredScrollRows(10, 20, 5), 0);
    EXPECT_EQ(ScrollTopRowFor(50, false, 20), 50);
    EXPECT_EQ(ScrollTopRowFor(50, true, 20), 32);
    EXPECT_EQ(ScrollTopRowFor(5, true, 20), 0);
}

}  // namespace
}  // namespace loudara
