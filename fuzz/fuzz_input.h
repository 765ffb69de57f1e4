#pragma once
// The fuzz targets hand each input to the code under test as a file, since every reader here
// takes a path. The input lives in memory (a memfd) and is reached through /proc/self/fd, so an
// iteration costs no disk work.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace loudara::fuzz {

class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(memfd_create(name, 0)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }

    // Replaces the contents with `size` bytes of `data`; returns the path to open.
    const std::string& hold(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        return path_;
    }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// A private folder for the targets whose code replaces files by renaming (the settings file).
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string name = std::string(base && *base ? base : "/tmp") + "/loudara-fuzz-XXXXXX";
        if (!mkdtemp(name.data())) std::abort();
        return name;
    }();
    return folder;
}

}  // namespace loudara::fuzz
