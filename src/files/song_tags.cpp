#include "files/song_tags.h"

#include <aifffile.h>
#include <attachedpictureframe.h>
#include <fileref.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <infotag.h>
#include <mpegfile.h>
#include <oggfile.h>
#include <tag.h>
#include <wavfile.h>
#include <xiphcomment.h>

#include <cstdio>
#include <cstring>

#include "files/wav_file.h"

namespace loudara {

namespace {

std::string Utf8(const TagLib::String& text) { return text.to8Bit(true); }
TagLib::String FromUtf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

// The fields of `tag` that `tags` does not have yet.
void FillFrom(const TagLib::Tag& tag, SongTags& tags) {
    auto fill = [](std::string& field, const TagLib::String& text) {
        if (field.empty()) field = Utf8(text);
    };
    fill(tags.title, tag.title());
    fill(tags.artist, tag.artist());
    fill(tags.album, tag.album());
    fill(tags.genre, tag.genre());
    fill(tags.comment, tag.comment());
    if (tags.year == 0) tags.year = tag.year();
    if (tags.track == 0) tags.track = tag.track();
}

CoverPicture Cover(const TagLib::ByteVector& data, const TagLib::String& mimeType, const TagLib::String& description) {
    CoverPicture cover;
    cover.mimeType = Utf8(mimeType);
    cover.description = Utf8(description);
    cover.bytes.assign(data.begin(), data.end());
    return cover;
}

void FillFromId3v2(const TagLib::ID3v2::Tag& tag, SongTags& tags) {
    FillFrom(tag, tags);
    if (!tags.cover.bytes.empty()) return;
    const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
    for (const TagLib::ID3v2::Frame* frame : tag.frameList("APIC")) {
        const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (!picture || picture->picture().isEmpty()) continue;
        if (picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
            chosen = picture;
            break;
        }
        if (!chosen) chosen = picture;
    }
    if (chosen) tags.cover = Cover(chosen->picture(), chosen->mimeType(), chosen->description());
}

void FillFromPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, SongTags& tags) {
    if (!tags.cover.bytes.empty()) return;
    const TagLib::FLAC::Picture* chosen = nullptr;
    for (const TagLib::FLAC::Picture* picture : pictures) {
        if (!picture || picture->data().isEmpty()) continue;
        if (picture->type() == TagLib::FLAC::Picture::FrontCover) {
            chosen = picture;
            break;
        }
        if (!chosen) chosen = picture;
    }
    if (chosen) tags.cover = Cover(chosen->data(), chosen->mimeType(), chosen->description());
}

// Sets the fields of `tag` that `tags` has.
void SetFields(TagLib::Tag& tag, const SongTags& tags) {
    if (!tags.title.empty()) tag.setTitle(FromUtf8(tags.title));
    if (!tags.artist.empty()) tag.setArtist(FromUtf8(tags.artist));
    if (!tags.album.empty()) tag.setAlbum(FromUtf8(tags.album));
    if (!tags.genre.empty()) tag.setGenre(FromUtf8(tags.genre));
    if (!tags.comment.empty()) tag.setComment(FromUtf8(tags.comment));
    if (tags.year != 0) tag.setYear(tags.year);
    if (tags.track != 0) tag.setTrack(tags.track);
}

TagLib::ByteVector Bytes(const std::vector<uint8_t>& bytes) {
    return TagLib::ByteVector(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
}

void SetId3v2(TagLib::ID3v2::Tag& tag, const SongTags& tags) {
    SetFields(tag, tags);
    if (tags.cover.bytes.empty()) return;
    tag.removeFrames("APIC");
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setTextEncoding(TagLib::String::UTF8);
    frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    frame->setMimeType(FromUtf8(tags.cover.mimeType));
    frame->setDescription(FromUtf8(tags.cover.description));
    frame->setPicture(Bytes(tags.cover.bytes));
    tag.addFrame(frame);  // the tag owns it
}

// The first four bytes of the file, "" when it has fewer.
std::string Magic(const std::string& path) {
    char bytes[4] = {};
    const FileHandle f = OpenFile(path.c_str(), "rb");
    if (!f) return "";
    const size_t got = std::fread(bytes, 1, 4, f.get());
    return got == 4 ? std::string(bytes, 4) : std::string();
}

bool WriteMp3(const std::string& path, const SongTags& tags, std::string& error) {
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid()) {
        error = "TagLib cannot read " + path + " as MP3";
        return false;
    }
    SetId3v2(*file.ID3v2Tag(true), tags);
    // Only the ID3v2 tag is written: the ID3v1 block (or its absence) stays as the encoder left it.
    if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4,
                   TagLib::File::DoNotDuplicate)) {
        error = "cannot write the ID3v2 tag into " + path;
        return false;
    }
    return true;
}

bool WriteFlac(const std::string& path, const SongTags& tags, std::string& error) {
    TagLib::FLAC::File file(path.c_str(), false);
    if (!file.isValid()) {
        error = "TagLib cannot read " + path + " as FLAC";
        return false;
    }
    SetFields(*file.xiphComment(true), tags);
    if (!tags.cover.bytes.empty()) {
        file.removePictures();
        auto* picture = new TagLib::FLAC::Picture;
        picture->setType(TagLib::FLAC::Picture::FrontCover);
        picture->setMimeType(FromUtf8(tags.cover.mimeType));
        picture->setDescription(FromUtf8(tags.cover.description));
        picture->setData(Bytes(tags.cover.bytes));
        file.addPicture(picture);  // the file owns it
    }
    if (!file.save()) {
        error = "cannot write the Vorbis comments into " + path;
        return false;
    }
    return true;
}

bool WriteWav(const std::string& path, const SongTags& tags, std::string& error) {
    if (Magic(path) != "RIFF") {
        error = "tags are not written into " + path + ": it is not a RIFF file (RF64 passes 4 GB)";
        return false;
    }
    TagLib::RIFF::WAV::File file(path.c_str(), false);
    if (!file.isValid()) {
        error = "TagLib cannot read " + path + " as WAV";
        return false;
    }
    SetFields(*file.InfoTag(), tags);
    SetId3v2(*file.ID3v2Tag(), tags);
    if (!file.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripNone, TagLib::ID3v2::v4)) {
        error = "cannot write the INFO list and ID3 chunk into " + path;
        return false;
    }
    return true;
}

}  // namespace

bool SongTags::empty() const {
    return title.empty() && artist.empty() && album.empty() && genre.empty() && comment.empty() && year == 0 &&
           track == 0 && cover.bytes.empty();
}

SongTags ReadSongTags(const std::string& path) {
    SongTags tags;
    // TagLib opens by name and would wait on a FIFO: only a regular file is given to it.
    if (!OpenFile(path.c_str(), "rb")) return tags;
    TagLib::FileRef ref(path.c_str(), false);
    if (ref.isNull()) return tags;
    TagLib::File* file = ref.file();
    if (auto* mp3 = dynamic_cast<TagLib::MPEG::File*>(file)) {
        if (mp3->hasID3v2Tag()) FillFromId3v2(*mp3->ID3v2Tag(), tags);
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        if (flac->hasXiphComment()) FillFrom(*flac->xiphComment(), tags);
        FillFromPictures(flac->pictureList(), tags);
        if (flac->hasXiphComment()) FillFromPictures(flac->xiphComment()->pictureList(), tags);
    } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        if (wav->hasID3v2Tag()) FillFromId3v2(*wav->ID3v2Tag(), tags);
        if (wav->hasInfoTag()) FillFrom(*wav->InfoTag(), tags);
    } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
        if (aiff->hasID3v2Tag()) FillFromId3v2(*aiff->tag(), tags);
    } else if (dynamic_cast<TagLib::Ogg::File*>(file)) {
        if (auto* comment = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag())) {
            FillFrom(*comment, tags);
            FillFromPictures(comment->pictureList(), tags);
        }
    }
    return tags;
}

SongTags PrefixedSongTags(const SongTags& tags, const char* albumPrefix, const char* titlePrefix) {
    SongTags prefixed = tags;
    if (tags.empty()) return prefixed;
    if (albumPrefix && *albumPrefix) prefixed.album = albumPrefix + tags.album;
    if (titlePrefix && *titlePrefix) prefixed.title = titlePrefix + tags.title;
    return prefixed;
}

bool WriteSongTags(const std::string& path, TaggedFileKind kind, const SongTags& tags, std::string& error) {
    if (tags.empty()) return true;
    switch (kind) {
        case TaggedFileKind::Mp3: return WriteMp3(path, tags, error);
        case TaggedFileKind::Flac: return WriteFlac(path, tags, error);
        case TaggedFileKind::Wav: return WriteWav(path, tags, error);
    }
    return false;
}

}  // namespace loudara
