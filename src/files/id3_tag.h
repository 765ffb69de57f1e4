#pragma once
// ID3 version 1 tags: the 128-byte block at the very end of an MP3 file, beginning with "TAG".
// Loudara reads it when a song enters the playlist or is decoded for export, and writes it back,
// with the user's album and title prefixes and its own version in the comment, at the end of
// every exported MP3 file of a song that had one.

#include <cstdint>
#include <string>

#include "base/song_tag.h"

namespace loudara {

// Field offsets in the block; the text fields are 30 bytes, NUL-padded (or full without a NUL).
inline constexpr int kTagTitleOffset = 3;
inline constexpr int kTagArtistOffset = 33;
inline constexpr int kTagAlbumOffset = 63;
inline constexpr int kTagCommentOffset = 97;
inline constexpr int kTagTextBytes = 30;

// Written over the start of the comment of every exported tag, with its terminating NUL.
inline constexpr char kLoudaraTagVersion[] = "LDR_V3.04.03";

// True when the block holds a tag (begins with "TAG").
bool HasId3v1Tag(const SongTag& tag);

// Reads the last 128 bytes of the file at `path` into `tag` when they begin with "TAG"; any other
// file (shorter than 128 bytes included) sets the tag to zeros. A file that cannot be opened
// leaves the tag as it was.
void ReadSongTag(const char* path, SongTag& tag);

// Sets the 30-byte text field at `field` to `prefix` followed by the field's old text (up to its
// first NUL), cut to 30 bytes without splitting a UTF-8 character: a character of k bytes is
// copied only while at most 30 - k bytes precede it, and the copy stops at the first that does
// not fit. Bytes that do not form a valid UTF-8 sequence count as characters of one byte. An
// empty prefix leaves the field untouched.
void PrefixTagText(uint8_t* field, const char* prefix);

// The tag of an exported file: `tag` with the prefixes put in front of its album and title and
// "LDR_V3.04.03" and a NUL over the first 13 bytes of its comment (the rest of the comment kept).
SongTag ExportedSongTag(const SongTag& tag, const char* albumPrefix, const char* titlePrefix);

// Appends ExportedSongTag(...) to the end of the file at `mp3Path`. False when the file cannot be
// opened for appending or the 128 bytes cannot all be written.
bool AppendId3v1Tag(const char* mp3Path, const SongTag& tag, const char* albumPrefix, const char* titlePrefix);

// The text of a 30-byte field for showing: up to its first NUL, trailing spaces removed, as UTF-8
// when it is valid UTF-8 and read as Latin-1 otherwise; control characters become spaces.
std::string TagFieldText(const SongTag& tag, int offset);

}  // namespace loudara
