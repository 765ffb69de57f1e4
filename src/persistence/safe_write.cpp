#include "persistence/safe_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace loudara {
namespace {

namespace fs = std::filesystem;

std::string describe(const char* what, const std::string& path, int error) {
    std::string text = what;
    text += ' ';
    text += path;
    text += ": ";
    text += std::strerror(error);
    return text;
}

// A name beside the target that no other writer in this or another process uses.
std::string temporaryNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".~%ld-%u", static_cast<long>(getpid()), counter.fetch_add(1));
    std::string name = target;
    name += suffix;
    return name;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, const void* data, std::size_t size, std::string& error) {
    std::string target = path;
    std::error_code ec;
    if (fs::is_symlink(path, ec)) {
        const fs::path resolved = fs::weakly_canonical(path, ec);
        if (!ec) target = resolved.string();
    }
    if (fs::is_directory(target, ec)) {
        error = describe("cannot write", path, EISDIR);
        return false;
    }

    const std::string temporary = temporaryNameFor(target);
    // 0666 before the umask: the same permissions a plain fopen would give a new file.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = describe("cannot write", path, errno);
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t written = 0;
    int failure = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && std::rename(temporary.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        error = describe("cannot write", path, failure);
        return false;
    }
    return true;
}

}  // namespace loudara
