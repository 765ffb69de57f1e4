#include "files/unreadable_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/wav_file.h"

namespace loudara {

std::string WhyUnopenable(const std::string& path) {
    const int fd = OpenRegularFileForReading(path.c_str());
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    switch (errno) {
        case ENOENT: return "no such file";
        case EISDIR: return "it is a folder";
        case EINVAL: return "not a regular file";
        default: return std::strerror(errno);
    }
}

std::string CannotRead(const std::string& path) {
    const std::string why = WhyUnopenable(path);
    return "cannot read " + path + (why.empty() ? "" : ": " + why);
}

}  // namespace loudara
