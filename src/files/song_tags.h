#pragma once
// The tags a song carries besides its ID3v1 block, read and written with TagLib: title, artist,
// album, year, track, genre, comment and the front cover picture. They are read from the song's
// ID3v2 tag (MP3, and the ID3 chunk of AIFF and WAV), its Vorbis comments (FLAC, Ogg) or its RIFF
// INFO list (WAV), and written into the exported file's own kind of tag. The ID3v1 block is never
// read or written here: id3_tag.h keeps it.

#include <cstdint>
#include <string>
#include <vector>

namespace loudara {

struct CoverPicture {
    std::string mimeType;  // "image/jpeg", "image/png", ...
    std::string description;
    std::vector<uint8_t> bytes;  // empty: no cover
};

struct SongTags {
    std::string title, artist, album, genre, comment;  // UTF-8
    unsigned year = 0;   // 0: none
    unsigned track = 0;  // 0: none
    CoverPicture cover;
    // Nothing to carry over: every text empty, no year, no track, no cover.
    bool empty() const;
};

// The song's tags: of an MP3 file its ID3v2 tag (the ID3v1 block is not read); of FLAC its Vorbis
// comments and its front cover from the PICTURE blocks (or from the comments); of Ogg its comments
// and the pictures they hold; of WAV its ID3 chunk, with the fields that chunk leaves empty taken
// from its RIFF INFO list; of AIFF its ID3 chunk. The front cover is the picture of that type, or
// else the first picture. A file TagLib does not read, or that holds none of these, gives empty
// tags.
SongTags ReadSongTags(const std::string& path);

enum class TaggedFileKind { Mp3, Flac, Wav };

// `tags` with `albumPrefix` in front of the album and `titlePrefix` in front of the title, as the
// ID3v1 block gets them, but without its 30-byte limit. Empty tags stay empty.
SongTags PrefixedSongTags(const SongTags& tags, const char* albumPrefix, const char* titlePrefix);

// Writes `tags` into the file at `path`, which must be the caller's own file: an MP3 file gets an
// ID3v2.4 tag at its start (any ID3v1 block at its end is left as it is), a FLAC file Vorbis
// comments and a PICTURE block for the cover, a WAV file a RIFF INFO list and an ID3 chunk (the
// only place a WAV file holds a cover, and its text is UTF-8 where INFO holds Latin-1). Empty tags
// leave the file untouched. False, with `error` set, when the file cannot be read or written as
// that kind (an RF64 file among them).
bool WriteSongTags(const std::string& path, TaggedFileKind kind, const SongTags& tags, std::string& error);

}  // namespace loudara
