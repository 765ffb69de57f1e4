// ID3 version 1 tags: read from the end of a song, and written again with the user's prefixes
// (taken from the input too) after an MP3 stream.

#include <cstring>

#include "files/id3_tag.h"
#include "fuzz_input.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input("song");
    static fuzz::MemoryFile output("tagged");
    // The first 64 bytes are the two prefixes (32 bytes each, as the parameter file holds them).
    char album[32] = {}, title[32] = {};
    const size_t prefixBytes = size < 64 ? size : 64;
    std::memcpy(album, data, prefixBytes < 32 ? prefixBytes : 32);
    if (prefixBytes > 32) std::memcpy(title, data + 32, prefixBytes - 32);
    album[31] = title[31] = '\0';

    SongTag tag;
    ReadSongTag(input.hold(data + prefixBytes, size - prefixBytes).c_str(), tag);
    if (HasId3v1Tag(tag) && std::memcmp(tag.bytes, "TAG", 3) != 0) __builtin_trap();
    // A field's text for the view: Latin-1 bytes become two UTF-8 bytes each, never more.
    for (int offset : {kTagTitleOffset, kTagArtistOffset, kTagAlbumOffset, kTagCommentOffset}) {
        if (TagFieldText(tag, offset).size() > 2 * kTagTextBytes) __builtin_trap();
    }
    const SongTag exported = ExportedSongTag(tag, album, title);
    (void)exported;
    const uint8_t frame[4] = {0xFF, 0xFB, 0x90, 0x64};
    AppendId3v1Tag(output.hold(frame, sizeof frame).c_str(), tag, album, title);
    return 0;
}
