#include "audio/now_playing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace loudara {

std::string StreamTitleText(const NowPlaying& playing) {
    if (playing.artist.empty()) return playing.title;
    if (playing.title.empty()) return playing.artist;
    return playing.artist + " - " + playing.title;
}

std::string CleanTitleText(const std::string& text, std::size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7f ? ' ' : c;
    }
    if (out.size() > maxBytes) {
        std::size_t cut = maxBytes;
        // Back to the first byte of the character that would be split.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80) --cut;
        out.resize(cut);
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

bool ParseNowPlayingText(const std::string& text, NowPlaying& playing, std::string& error) {
    std::istringstream lines(text);
    std::string line, firstLine;
    NowPlaying found;
    bool keyed = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("title=", 0) == 0) {
            found.title = CleanTitleText(line.substr(6));
            keyed = true;
        } else if (line.rfind("artist=", 0) == 0) {
            found.artist = CleanTitleText(line.substr(7));
            keyed = true;
        } else if (firstLine.empty()) {
            firstLine = CleanTitleText(line);
        }
    }
    if (!keyed) found.title = firstLine;
    if (found.title.empty() && found.artist.empty()) {
        error = "it holds no title (a line \"title=...\", or the title as its first line)";
        return false;
    }
    playing = found;
    return true;
}

std::optional<NowPlaying> NowPlayingFile::check(std::string& error) {
    error.clear();
    struct stat st{};
    if (stat(path_.c_str(), &st) != 0) {
        seen_.reset();
        return std::nullopt;
    }
    const Stamp stamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (seen_ && *seen_ == stamp) return std::nullopt;
    seen_ = stamp;
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    if (st.st_size > 4096) {
        error = "larger than 4 kB";
        return std::nullopt;
    }
    // Without waiting: a FIFO put in its place between the look and the read is never waited on.
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    char buffer[4097];
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof buffer && (n = read(fd, buffer + got, sizeof buffer - got)) > 0) got += static_cast<std::size_t>(n);
    close(fd);
    if (got == 0) return std::nullopt;  // being written: the next change brings the text
    NowPlaying playing;
    if (!ParseNowPlayingText(std::string(buffer, std::min<std::size_t>(got, 4096)), playing, error)) return std::nullopt;
    return playing;
}

}  // namespace loudara
