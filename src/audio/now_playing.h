#pragma once
// The title of what is on air, as a playout program or the remote control gives it, and the file
// a playout program writes it to: read again whenever it changes.

#include <cstdint>
#include <optional>
#include <string>

namespace loudara {

struct NowPlaying {
    std::string title;
    std::string artist;
    bool operator==(const NowPlaying&) const = default;
};

// The longest title or artist kept, in bytes (a longer one is cut at a character boundary).
inline constexpr std::size_t kNowPlayingMaxBytes = 256;

// "Artist - Title", or the title alone when there is no artist.
std::string StreamTitleText(const NowPlaying& playing);

// `text` cut to at most `maxBytes` without splitting a UTF-8 character, with control characters
// (line breaks, tabs, ...) replaced by spaces and outer spaces removed.
std::string CleanTitleText(const std::string& text, std::size_t maxBytes = kNowPlayingMaxBytes);

// The text of a now-playing file: lines "title=..." and "artist=..." (either may be left out),
// or else its first non-empty line as the whole title. False (with `error`) when there is
// neither a title nor an artist.
bool ParseNowPlayingText(const std::string& text, NowPlaying& playing, std::string& error);

// A now-playing file looked at again and again: check() gives its contents when the file has
// changed since the last look (or is seen for the first time), and nothing otherwise. A file that
// is missing, not a regular file, larger than 4 kB or empty gives nothing; it is read again once
// it changes.
class NowPlayingFile {
public:
    explicit NowPlayingFile(std::string path) : path_(std::move(path)) {}
    std::optional<NowPlaying> check(std::string& error);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    struct Stamp {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t modifiedNs = -1;
        bool operator==(const Stamp&) const = default;
    };
    std::optional<Stamp> seen_;
};

}  // namespace loudara
