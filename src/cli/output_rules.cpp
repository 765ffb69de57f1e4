#include "cli/output_rules.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "base/byte_io.h"
#include "cli/cli_support.h"
#include "files/sound_source.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"

namespace loudara::cli {
namespace {

namespace fs = std::filesystem;

int refuse(int status, const std::string& message) {
    std::fprintf(stderr, "loudara-cli process: %s\n", message.c_str());
    return status;
}

// The extension of a path's file name in lower case, with its dot; empty when it has none.
std::string lowerExtension(const fs::path& path) {
    std::string ext = path.filename().extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec)) return true;
    const fs::path ca = fs::weakly_canonical(a, ec);
    if (ec) return false;
    const fs::path cb = fs::weakly_canonical(b, ec);
    return !ec && ca == cb;
}

// Can a new file be made in `folder`? Tried by making one, so that permissions, read-only file
// systems and special folders all answer the same way.
bool canCreateIn(const fs::path& folder, std::string& why) {
    std::string probe = (folder / ".loudara-cli-XXXXXX").string();
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool sameIdNoCase(const unsigned char* id, const char* text) {
    for (int i = 0; i < 4; ++i) {
        if (std::tolower(id[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// Reads up to `count` bytes; fewer only at the end of the stream. -1 on an error or interruption.
ssize_t readFully(int fd, unsigned char* buffer, size_t count, const volatile int& interrupted) {
    size_t got = 0;
    while (got < count) {
        if (interrupted) return -1;
        const ssize_t n = read(fd, buffer + got, count - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool writeAll(std::FILE* f, const void* data, size_t count) { return std::fwrite(data, 1, count, f) == count; }

// A data size a writer that could not seek back put in its header.
bool sizeUnknown(uint32_t size) { return size == 0 || size >= 0x7FFFF000u; }

constexpr size_t kMaxHeaderBytes = 1 << 20;

}  // namespace

int ResolveOutputTarget(const std::string& in, const std::string& out, const std::string& format, bool force,
                        OutputTarget& target) {
    target = OutputTarget{};
    if (out == "-") {
        target.toStdout = true;
        target.mp3 = format == "mp3";
        target.flac = format == "flac";
        if (isatty(STDOUT_FILENO)) {
            return refuse(2, "standard output is a terminal: send it to a file or a pipe, or give OUT a file name");
        }
        return 0;
    }
    std::error_code ec;
    fs::path path = out;
    if (fs::is_directory(path, ec)) {
        if (in == "-") return refuse(2, "OUT " + out + " is a folder: give the output a file name (IN is standard input)");
        fs::path name = fs::path(in).filename();
        const std::string inExt = lowerExtension(name);
        const std::string chosen = format.empty() ? inExt : "." + format;
        target.mp3 = chosen == ".mp3";
        target.flac = chosen == ".flac";
        const char* wanted = target.mp3 ? ".mp3" : target.flac ? ".flac" : ".wav";
        if (inExt != wanted) name.replace_extension(wanted);
        path /= name;
    } else {
        const std::string ext = lowerExtension(path);
        if (!format.empty()) {
            target.mp3 = format == "mp3";
            target.flac = format == "flac";
            const std::string wanted = "." + format;
            if (ext != wanted) {
                fs::path suggestion = path;
                suggestion.replace_extension(wanted);
                return refuse(2, "the format is " + format + " but OUT " + out +
                                     (ext.empty() ? " has no extension" : " ends in " + path.extension().string()) +
                                     ": name it " + suggestion.string() + " (the output is never renamed)");
            }
        } else if (ext == ".mp3" || ext == ".wav" || ext == ".flac") {
            target.mp3 = ext == ".mp3";
            target.flac = ext == ".flac";
        } else {
            return refuse(2, "cannot tell the output format from " + out +
                                 ": Loudara writes .wav, .flac and .mp3 files (name OUT so, or give --format wav|flac|mp3)");
        }
    }
    target.path = path.string();
    if (in != "-" && sameFile(path, in)) return refuse(1, "the target " + target.path + " is the song's own file");
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) return refuse(1, "cannot write " + target.path + ": it is a folder");
    if (fs::exists(status) && !force) {
        return refuse(1, target.path + " exists: add --force to replace it");
    }
    fs::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    std::string why;
    if (!fs::is_directory(folder, ec)) return refuse(1, "cannot write " + target.path + ": no folder " + folder.string());
    if (!canCreateIn(folder, why)) return refuse(1, "cannot write " + target.path + ": " + why);
    return 0;
}

// Inside the run's private folder, so a run that is killed leaves nothing that the next start
// does not remove.
ScratchFolder::ScratchFolder() {
    const std::string& base = PrivateTemporaryFolder();
    if (base.empty()) return;
    std::string pattern = (fs::path(base) / "scratch-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string WhyStreamHeaderIsRefused(const std::string& headerFile, const std::vector<unsigned char>& header) {
    SongRecord song;
    if (ProbeWavFile(headerFile.c_str(), song) == WavProbeResult::Ok) return "";
    SoundSource source;
    const SoundOpenResult opened = source.open(headerFile);
    if (opened == SoundOpenResult::Ok) return "";
    // The reason names the file; the stream is named instead.
    std::string why = source.error();
    for (const std::string& named : {"cannot read " + headerFile + ": ", headerFile + ": "}) {
        if (why.compare(0, named.size(), named) == 0) {
            why.erase(0, named.size());
            break;
        }
    }
    if (opened == SoundOpenResult::Refused) return "standard input: " + why;
    // Unreadable: what its "fmt " chunk says it is, when it has one.
    std::string what = "a WAV stream";
    for (size_t at = 12; at + 8 <= header.size();) {
        const uint32_t size = bytes::getU32(header.data() + at + 4);
        if (sameIdNoCase(header.data() + at, "fmt ") && size >= 16 && at + 8 + 16 <= header.size()) {
            const unsigned char* fmt = header.data() + at + 8;
            char text[128];
            const unsigned channels = bytes::getU16(fmt + 2);
            std::snprintf(text, sizeof text, "a WAV stream of format 0x%04X, %u-bit, %u channel%s at %u Hz",
                          bytes::getU16(fmt), bytes::getU16(fmt + 14), channels, channels == 1 ? "" : "s",
                          bytes::getU32(fmt + 4));
            what = text;
            break;
        }
        at += 8 + size + (size & 1);
    }
    return "standard input: " + what + " that Loudara cannot read (" + why + ")";
}

bool SpoolWavStream(int fd, const std::string& path, const volatile int& interrupted, std::string& error) {
    std::vector<unsigned char> header(12);
    if (readFully(fd, header.data(), 12, interrupted) != 12 || !sameIdNoCase(header.data(), "RIFF") ||
        !sameIdNoCase(header.data() + 8, "WAVE")) {
        error = interrupted ? "interrupted" : "standard input is not a WAV stream";
        return false;
    }
    // The chunks before the sound are kept as they are.
    uint32_t declared = 0;
    while (true) {
        unsigned char chunk[8];
        if (readFully(fd, chunk, 8, interrupted) != 8) {
            error = interrupted ? "interrupted" : "the WAV stream on standard input ends before its sound";
            return false;
        }
        header.insert(header.end(), chunk, chunk + 8);
        if (sameIdNoCase(chunk, "data")) {
            declared = bytes::getU32(chunk + 4);
            break;
        }
        const size_t size = bytes::getU32(chunk + 4) + (bytes::getU32(chunk + 4) & 1);
        if (header.size() + size > kMaxHeaderBytes) {
            error = "the WAV stream on standard input has a header of more than 1 MiB";
            return false;
        }
        const size_t at = header.size();
        header.resize(at + size);
        if (readFully(fd, header.data() + at, size, interrupted) != static_cast<ssize_t>(size)) {
            error = interrupted ? "interrupted" : "the WAV stream on standard input ends inside its header";
            return false;
        }
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The header first, as a WAV file of no sound, so that a stream Loudara cannot take is refused
    // before its sound is read.
    std::vector<unsigned char> empty = header;
    bytes::putU32(empty.data() + 4, static_cast<uint32_t>(empty.size() - 8));
    bytes::putU32(empty.data() + empty.size() - 4, 0);
    bool ok = writeAll(f, empty.data(), empty.size()) && std::fflush(f) == 0;
    if (!ok) {
        std::fclose(f);
        error = "cannot write " + path + " (disk full?)";
        return false;
    }
    if (const std::string why = WhyStreamHeaderIsRefused(path, header); !why.empty()) {
        std::fclose(f);
        error = why;
        return false;
    }
    const uint64_t limit = sizeUnknown(declared) ? UINT64_MAX : declared;
    const uint64_t maxData = 0xFFFFFFFFull - (header.size() - 8);
    uint64_t data = 0;
    std::vector<unsigned char> buffer(1 << 16);
    while (ok && data < limit) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), limit - data));
        const ssize_t n = readFully(fd, buffer.data(), want, interrupted);
        if (n < 0) {
            error = interrupted ? "interrupted" : std::string("cannot read standard input: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        data += static_cast<uint64_t>(n);
        if (data > maxData) {
            error = "the WAV stream on standard input holds more sound than a WAV file can (4 GiB)";
            ok = false;
            break;
        }
        ok = writeAll(f, buffer.data(), static_cast<size_t>(n));
        if (!ok) error = "cannot write " + path + " (disk full?)";
    }
    if (ok) {
        unsigned char size[4];
        bytes::putU32(size, static_cast<uint32_t>(header.size() - 8 + data));
        ok = std::fseek(f, 4, SEEK_SET) == 0 && writeAll(f, size, 4);
        bytes::putU32(size, static_cast<uint32_t>(data));
        ok = ok && std::fseek(f, static_cast<long>(header.size() - 4), SEEK_SET) == 0 && writeAll(f, size, 4);
        if (!ok) error = "cannot write " + path;
    }
    if (std::fclose(f) != 0 && ok) {
        error = "cannot write " + path + " (disk full?)";
        ok = false;
    }
    return ok;
}

bool DeliverFile(const std::string& source, const std::string& target, bool replace, std::string& error) {
    WriteFailure failure;
    if (PutFileInPlace(source, target, replace ? WriteMode::Replace : WriteMode::KeepExisting, failure)) return true;
    if (failure.number == EEXIST) {
        error = target + " appeared while the song was processed: not replaced (add --force to replace it)";
    } else {
        error = failure.text;
    }
    return false;
}

bool CopyToStdout(const std::string& source, std::string& error) {
    std::FILE* in = std::fopen(source.c_str(), "rb");
    if (!in) {
        error = "cannot read " + source;
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    size_t n;
    while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        ok = std::fwrite(buffer.data(), 1, n, stdout) == n;
    }
    std::fclose(in);
    ok = ok && std::fflush(stdout) == 0;
    if (!ok) error = std::string("cannot write to standard output: ") + std::strerror(errno);
    return ok;
}

}  // namespace loudara::cli
