// A song's tags beyond ID3v1 go into the exported file's own kind of tag: an MP3 song's ID3v2 tag,
// a FLAC or Ogg song's Vorbis comments and picture, a WAV song's RIFF INFO and ID3 chunk and an
// AIFF song's ID3 chunk, each exported to MP3, FLAC and WAV, read back here with TagLib field by
// field and byte by byte; a song with only an ID3v1 block gets no ID3v2 tag.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <aifffile.h>
#include <attachedpictureframe.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <infotag.h>
#include <mpegfile.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <xiphcomment.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "files/export_job.h"
#include "files/id3_tag.h"
#include "files/song_tags.h"
#include "files/sound_export_job.h"
#include "mp3_test_files.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using TagLib::ByteVector;
using TagLib::String;

struct Host : JobHost {
    void endNotice() override {}
};

const std::string kTitle = "Sixty characters of title, far past what ID3v1 holds: 60 ch.";
const std::vector<uint8_t> kCover = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                     0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0, 0x90, 0x77, 0x53, 0xDE, 0, 0xFF};

void setText(TagLib::Tag& tag) {
    tag.setTitle(String(kTitle, String::UTF8));
    tag.setArtist(String("Ünder the Pier", String::UTF8));
    tag.setAlbum("Harbour Songs");
    tag.setYear(2019);
    tag.setTrack(7);
    tag.setGenre("Ambient");
    tag.setComment("recorded on the night ferry");
}

ByteVector coverBytes() { return ByteVector(reinterpret_cast<const char*>(kCover.data()), kCover.size()); }

TagLib::ID3v2::AttachedPictureFrame* apic() {
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    frame->setMimeType("image/png");
    frame->setPicture(coverBytes());
    return frame;
}

// What a file's tag says, and its cover.
struct Seen {
    std::string title, artist, album, genre, comment, mime;
    unsigned year = 0, track = 0;
    std::vector<uint8_t> cover;
};

void readText(const TagLib::Tag& tag, Seen& seen) {
    seen.title = tag.title().to8Bit(true);
    seen.artist = tag.artist().to8Bit(true);
    seen.album = tag.album().to8Bit(true);
    seen.genre = tag.genre().to8Bit(true);
    seen.comment = tag.comment().to8Bit(true);
    seen.year = tag.year();
    seen.track = tag.track();
}

void readApic(const TagLib::ID3v2::Tag& tag, Seen& seen) {
    const auto frames = tag.frameList("APIC");
    ASSERT_EQ(frames.size(), 1u);
    const auto* frame = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frames.front());
    EXPECT_EQ(frame->type(), TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    seen.mime = frame->mimeType().to8Bit(true);
    const ByteVector picture = frame->picture();
    seen.cover.assign(picture.begin(), picture.end());
}

Seen readOutput(const std::string& path, SoundOutputKind kind) {
    Seen seen;
    if (kind == SoundOutputKind::Mp3) {
        TagLib::MPEG::File file(path.c_str(), false);
        EXPECT_TRUE(file.hasID3v2Tag());
        if (!file.hasID3v2Tag()) return seen;
        EXPECT_EQ(file.ID3v2Tag()->header()->majorVersion(), 4u);
        readText(*file.ID3v2Tag(), seen);
        readApic(*file.ID3v2Tag(), seen);
    } else if (kind == SoundOutputKind::Flac) {
        TagLib::FLAC::File file(path.c_str(), false);
        EXPECT_TRUE(file.hasXiphComment());
        if (!file.hasXiphComment()) return seen;
        readText(*file.xiphComment(), seen);
        const auto pictures = file.pictureList();
        EXPECT_EQ(pictures.size(), 1u);
        if (pictures.isEmpty()) return seen;
        EXPECT_EQ(pictures.front()->type(), TagLib::FLAC::Picture::FrontCover);
        seen.mime = pictures.front()->mimeType().to8Bit(true);
        const ByteVector data = pictures.front()->data();
        seen.cover.assign(data.begin(), data.end());
    } else {
        TagLib::RIFF::WAV::File file(path.c_str(), false);
        EXPECT_TRUE(file.hasInfoTag() && file.hasID3v2Tag());
        if (!file.hasInfoTag() || !file.hasID3v2Tag()) return seen;
        readText(*file.InfoTag(), seen);
        EXPECT_EQ(file.ID3v2Tag()->title().to8Bit(true), seen.title);  // the ID3 chunk holds the text too
        readApic(*file.ID3v2Tag(), seen);
    }
    return seen;
}

class SongTagsCarried : public TempFolder {
protected:
    // A 44.1 kHz stereo song of `kind` ("mp3", "flac", "wav", "ogg", "aiff") with every tag field and the cover.
    std::string taggedSong(const std::string& kind) {
        const std::string path = (folder / ("in." + kind)).string();
        const std::vector<int16_t> samples = test::musicLikeSignal(30000, 44100, 9000.0);
        if (kind == "mp3") {
            test::writeMp3(path, samples, 2, 44100, 160);
            TagLib::MPEG::File file(path.c_str(), false);
            setText(*file.ID3v2Tag(true));
            file.ID3v2Tag()->addFrame(apic());
            EXPECT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3));
        } else if (kind == "flac" || kind == "ogg" || kind == "aiff") {
            const int format = kind == "flac"  ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16
                               : kind == "ogg" ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                               : SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
            SF_INFO info{0, 44100, 2, format, 0, 0};
            SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
            EXPECT_NE(out, nullptr);
            sf_writef_short(out, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
            sf_close(out);
            auto* picture = new TagLib::FLAC::Picture;
            picture->setType(TagLib::FLAC::Picture::FrontCover);
            picture->setMimeType("image/png");
            picture->setData(coverBytes());
            if (kind == "flac") {
                TagLib::FLAC::File file(path.c_str(), false);
                setText(*file.xiphComment(true));
                file.addPicture(picture);
                EXPECT_TRUE(file.save());
            } else if (kind == "ogg") {
                TagLib::Ogg::Vorbis::File file(path.c_str(), false);
                setText(*file.tag());
                file.tag()->addPicture(picture);
                EXPECT_TRUE(file.save());
            } else {
                delete picture;
                TagLib::RIFF::AIFF::File file(path.c_str(), false);
                setText(*file.tag());
                file.tag()->addFrame(apic());
                EXPECT_TRUE(file.save());
            }
        } else {
            write("in.wav", pcmWave(samples, 2, 44100));
            TagLib::RIFF::WAV::File file(path.c_str(), false);
            setText(*file.InfoTag());
            file.ID3v2Tag()->addFrame(apic());  // the cover only: the text comes from INFO
            EXPECT_TRUE(file.save(TagLib::RIFF::WAV::File::AllTags));
        }
        return path;
    }

    // Exports `songPath` to `kind` as loudara-cli does: the 16-bit job for 16-bit WAV and MP3 of a
    // WAV or MP3 song, the sound job otherwise. Prefixes go into MP3 output.
    std::string exportSong(const std::string& songPath, SoundOutputKind kind) {
        const char* extension = kind == SoundOutputKind::Mp3 ? ".mp3" : kind == SoundOutputKind::Flac ? ".flac" : ".wav";
        const std::string target = (folder / (fs::path(songPath).stem().string() + "_out" + extension)).string();
        Host host;
        auto p = std::make_unique<Processor>();
        ExportOutcome outcome;
        const bool mp3Song = songPath.ends_with(".mp3");
        if ((mp3Song || songPath.ends_with(".wav")) && kind != SoundOutputKind::Flac) {
            SongRecord song;
            EXPECT_TRUE(mp3Song ? ProbeMp3File(songPath.c_str(), song) == Mp3ProbeResult::Ok
                                : ProbeWavFile(songPath.c_str(), song) == WavProbeResult::Ok);
            song.kind = mp3Song ? SongKind::Mp3 : SongKind::Wav;
            std::snprintf(song.path, sizeof song.path, "%s", songPath.c_str());
            SongTag tag;
            ExportOptions options;
            options.exportFormat = kind == SoundOutputKind::Mp3 ? 1 : 0;
            std::snprintf(options.albumPrefix, sizeof options.albumPrefix, "live_");
            std::snprintf(options.titlePrefix, sizeof options.titlePrefix, "qx ");
            int32_t status = 0;
            ExportRequest request;
            request.song = &song;
            request.songStatus = &status;
            request.tag = &tag;
            request.targetPath = target;
            request.options = &options;
            request.runStamp = "13572468";
            request.temporaryFolder = folder.string();
            outcome = RunExportJob(*p, request, host);
        } else {
            SoundExportRequest request;
            request.songPath = songPath;
            request.targetPath = target;
            request.output.kind = kind;
            request.runStamp = "13572468";
            request.temporaryFolder = folder.string();
            request.albumPrefix = "live_";
            request.titlePrefix = "qx ";
            outcome = RunSoundExportJob(*p, request, host);
        }
        EXPECT_EQ(outcome.status, ExportStatus::Completed) << outcome.message;
        EXPECT_EQ(outcome.warning, "");
        return target;
    }
};

TEST_F(SongTagsCarried, EveryFieldAndTheCoverReachEachOutputKind) {
    ASSERT_EQ(kTitle.size(), 60u);
    for (const std::string input : {"mp3", "flac", "wav", "ogg", "aiff"}) {
        const std::string song = taggedSong(input);
        for (SoundOutputKind kind : {SoundOutputKind::Mp3, SoundOutputKind::Flac, SoundOutputKind::Wav}) {
            if (input == "mp3" && kind == SoundOutputKind::Flac) continue;  // an MP3 song is written as WAV or MP3
            SCOPED_TRACE(input + " to " + std::to_string(static_cast<int>(kind)));
            const Seen seen = readOutput(exportSong(song, kind), kind);
            const bool mp3 = kind == SoundOutputKind::Mp3;
            EXPECT_EQ(seen.title, mp3 ? "qx " + kTitle : kTitle);
            EXPECT_EQ(seen.album, mp3 ? "live_Harbour Songs" : "Harbour Songs");
            EXPECT_EQ(seen.artist, "Ünder the Pier");
            EXPECT_EQ(seen.year, 2019u);
            EXPECT_EQ(seen.track, 7u);
            EXPECT_EQ(seen.genre, "Ambient");
            EXPECT_EQ(seen.comment, "recorded on the night ferry");
            EXPECT_EQ(seen.mime, "image/png");
            EXPECT_EQ(seen.cover, kCover);
        }
    }
}

// The ID3v2 tag is only put in front: behind it are the bytes the ID3v1-only song gives, and that
// song's own output starts with its first frame and ends with its ID3v1 block as before.
TEST_F(SongTagsCarried, AnId3v1OnlyMp3SongGetsNoId3v2Tag) {
    const std::vector<int16_t> samples = test::musicLikeSignal(30000, 44100, 9000.0);
    const std::string plain = (folder / "plain.mp3").string();
    test::writeMp3(plain, samples, 2, 44100, 160);
    SongTag v1;
    std::memcpy(v1.bytes, "TAG", 3);
    std::memcpy(v1.bytes + kTagTitleOffset, "Morning", 7);
    std::ofstream(plain, std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(v1.bytes), 128);
    const std::string both = write("both.mp3", read(plain));
    {
        TagLib::MPEG::File file(both.c_str(), false);
        setText(*file.ID3v2Tag(true));
        ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4));
    }
    EXPECT_TRUE(ReadSongTags(plain).empty());

    const auto plainOut = read(exportSong(plain, SoundOutputKind::Mp3));
    ASSERT_GT(plainOut.size(), 128u);
    EXPECT_NE(std::memcmp(plainOut.data(), "ID3", 3), 0);
    SongTag written;
    std::memcpy(written.bytes, plainOut.data() + plainOut.size() - 128, 128);
    EXPECT_EQ(TagFieldText(written, kTagTitleOffset), "qx Morning");

    const auto bothOut = read(exportSong(both, SoundOutputKind::Mp3));
    ASSERT_EQ(std::memcmp(bothOut.data(), "ID3", 3), 0);
    const size_t id3v2Bytes = 10 + ((bothOut[6] & 0x7F) << 21 | (bothOut[7] & 0x7F) << 14 | (bothOut[8] & 0x7F) << 7 |
                                    (bothOut[9] & 0x7F));
    EXPECT_EQ(std::vector<unsigned char>(bothOut.begin() + id3v2Bytes, bothOut.end()), plainOut);
    TagLib::MPEG::File out((folder / "both_out.mp3").string().c_str(), false);
    ASSERT_TRUE(out.hasID3v2Tag());
    EXPECT_EQ(out.ID3v2Tag()->title().to8Bit(true), "qx " + kTitle);
}

}  // namespace
}  // namespace loudara
