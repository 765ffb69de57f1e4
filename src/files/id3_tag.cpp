// ID3 version 1 tag reading, prefixing and appending.

#include "files/id3_tag.h"

#include <cstring>

#include "files/wav_file.h"

namespace loudara {
namespace {

// Length of the UTF-8 character that starts at text[0] (text holds `left` bytes): 2 to 4 for a
// lead byte followed by its continuation bytes, 1 for anything else, so stray bytes of another
// encoding are never merged with their neighbours.
int utf8CharacterBytes(const uint8_t* text, std::size_t left) {
    const uint8_t lead = text[0];
    int bytes = 1;
    if (lead >= 0xC2 && lead <= 0xDF) bytes = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) bytes = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) bytes = 4;
    if (static_cast<std::size_t>(bytes) > left) return 1;
    for (int i = 1; i < bytes; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 1;
    }
    return bytes;
}

std::size_t fieldLength(const uint8_t* field) {
    std::size_t n = 0;
    while (n < kTagTextBytes && field[n] != 0) ++n;
    return n;
}

bool validUtf8(const uint8_t* text, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes;) {
        if (text[i] < 0x80) {
            ++i;
            continue;
        }
        const int n = utf8CharacterBytes(text + i, bytes - i);
        if (n == 1) return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool HasId3v1Tag(const SongTag& tag) { return std::memcmp(tag.bytes, "TAG", 3) == 0; }

void ReadSongTag(const char* path, SongTag& tag) {
    FileHandle file = OpenFile(path, "rb");
    if (!file) return;
    SongTag read;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long length = std::ftell(file.get());
        if (length >= kSongTagBytes && std::fseek(file.get(), length - kSongTagBytes, SEEK_SET) == 0 &&
            std::fread(read.bytes, 1, kSongTagBytes, file.get()) == static_cast<std::size_t>(kSongTagBytes) &&
            HasId3v1Tag(read)) {
            tag = read;
            return;
        }
    }
    tag = SongTag{};
}

void PrefixTagText(uint8_t* field, const char* prefix) {
    if (prefix == nullptr || prefix[0] == '\0') return;
    std::string combined = prefix;
    combined.append(reinterpret_cast<const char*>(field), fieldLength(field));
    std::memset(field, 0, kTagTextBytes);
    const auto* text = reinterpret_cast<const uint8_t*>(combined.data());
    std::size_t used = 0;
    while (used < combined.size()) {
        const int bytes = utf8CharacterBytes(text + used, combined.size() - used);
        if (used + static_cast<std::size_t>(bytes) > static_cast<std::size_t>(kTagTextBytes)) break;
        std::memcpy(field + used, text + used, static_cast<std::size_t>(bytes));
        used += static_cast<std::size_t>(bytes);
    }
}

SongTag ExportedSongTag(const SongTag& tag, const char* albumPrefix, const char* titlePrefix) {
    SongTag out = tag;
    PrefixTagText(out.bytes + kTagAlbumOffset, albumPrefix);
    PrefixTagText(out.bytes + kTagTitleOffset, titlePrefix);
    std::memcpy(out.bytes + kTagCommentOffset, kLoudaraTagVersion, sizeof kLoudaraTagVersion);
    return out;
}

bool AppendId3v1Tag(const char* mp3Path, const SongTag& tag, const char* albumPrefix, const char* titlePrefix) {
    const SongTag exported = ExportedSongTag(tag, albumPrefix, titlePrefix);
    FileHandle file = OpenFile(mp3Path, "ab");
    if (!file) return false;
    const bool written = std::fwrite(exported.bytes, 1, kSongTagBytes, file.get()) == static_cast<std::size_t>(kSongTagBytes);
    return written && std::fflush(file.get()) == 0;
}

std::string TagFieldText(const SongTag& tag, int offset) {
    const uint8_t* field = tag.bytes + offset;
    std::size_t length = fieldLength(field);
    while (length > 0 && field[length - 1] == ' ') --length;
    std::string text;
    const bool utf8 = validUtf8(field, length);
    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t c = field[i];
        if (c < 0x20 || c == 0x7F) {
            text += ' ';
        } else if (c < 0x80 || utf8) {
            text += static_cast<char>(c);
        } else {
            // Latin-1 code point c as two UTF-8 bytes.
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

}  // namespace loudara
