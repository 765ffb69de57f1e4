#include "files/safe_write.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "files/wav_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

std::string folderOf(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return (ec ? fs::path(path) : absolute).lexically_normal().parent_path().string();
}

// "user NAME (uid N)", or "uid N" for an id the system has no name for.
std::string ownerText(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    const std::string id = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return "user " + std::string(found->pw_name) + " (" + id + ")";
    }
    return id;
}

// Waits until the bytes written through `fd` are on the disk: 0, or the errno. A file system that
// has nothing to sync (EINVAL) counts as synced.
int syncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        return errno == EINVAL ? 0 : errno;
    }
    return 0;
}

// A new file beside `target` under a name no one can guess, created exclusively: what another
// user planted under any name is never opened.
int createBeside(const std::string& target, std::string& temporary) {
    std::random_device random;
    for (int attempt = 0; attempt < 32; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".part-%08x%08x", static_cast<unsigned>(random()),
                      static_cast<unsigned>(random()));
        temporary = target + suffix;
        // 0666 before the umask: the permissions a plain fopen would give a new file.
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Puts `from` at `to`: 0 or the errno. KeepExisting never replaces anything that has the name.
int place(const std::string& from, const std::string& to, WriteMode mode) {
    if (mode == WriteMode::Replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the no-replace rename: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

}  // namespace

std::string WriteFailureText(const std::string& path, int error) {
    std::string text = "cannot write " + path + ": ";
    if (error == ENOSPC || error == EDQUOT) {
        text += error == ENOSPC ? "no space left on " : "the disk quota is used up on ";
        text += folderOf(path);
    } else {
        text += std::strerror(error);
    }
    return text;
}

std::string WriteTargetOf(const std::string& path, std::string& error) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) return current;  // nothing there yet: the create says the rest
        if (S_ISDIR(st.st_mode)) {
            error = WriteFailureText(path, EISDIR);
            return {};
        }
        if (!S_ISLNK(st.st_mode)) return current;
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            error = "cannot write " + path + ": " + current + " is a symbolic link that belongs to " +
                    ownerText(st.st_uid) + "; it is not followed";
            return {};
        }
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size() - 1);
        if (n < 0) {
            error = WriteFailureText(path, errno);
            return {};
        }
        std::string next(buffer.data(), static_cast<std::size_t>(n));
        if (next.empty() || next[0] != '/') {
            const std::string folder = fs::path(current).parent_path().string();
            if (!folder.empty()) next = folder + "/" + next;
        }
        current = next;
    }
    error = WriteFailureText(path, ELOOP);
    return {};
}

bool WriteFileWhole(const std::string& path, const FileFiller& fill, WriteFailure& failure, WriteMode mode) {
    const std::string target = WriteTargetOf(path, failure.text);
    if (target.empty()) {
        failure.number = EPERM;
        return false;
    }
    std::string temporary;
    const int fd = createBeside(target, temporary);
    if (fd < 0) {
        failure.number = errno;
        failure.text = WriteFailureText(path, failure.number);
        return false;
    }
    // A file that is replaced keeps its permissions (a preset kept private stays private).
    struct stat before {};
    if (mode == WriteMode::Replace && ::stat(target.c_str(), &before) == 0 && S_ISREG(before.st_mode)) {
        (void)::fchmod(fd, before.st_mode & 07777);
    }
    std::string reason;
    bool ok = fill(fd, reason);
    int number = ok ? 0 : EIO;
    if (ok) {
        number = syncDescriptor(fd);
        ok = number == 0;
    }
    if (::close(fd) != 0 && ok) {
        number = errno;
        ok = false;
    }
    if (ok) {
        number = place(temporary, target, mode);
        ok = number == 0;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        failure.number = number;
        failure.text = !reason.empty() ? reason : WriteFailureText(path, number);
    }
    return ok;
}

bool ReplaceFileContents(const std::string& path, const void* data, std::size_t size, std::string& error) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    WriteFailure failure;
    const bool ok = WriteFileWhole(
        path,
        [&](int fd, std::string& why) {
            for (std::size_t written = 0; written < size;) {
                const ssize_t n = ::write(fd, bytes + written, size - written);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    why = WriteFailureText(path, errno);
                    return false;
                }
                written += static_cast<std::size_t>(n);
            }
            return true;
        },
        failure);
    if (!ok) error = failure.text;
    return ok;
}

bool CopyDescriptor(int in, int out, const std::string& source, const std::string& outName,
                    const std::atomic<bool>* cancel, std::string& error) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (cancel && cancel->load()) {
            error = "cancelled";
            return false;
        }
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read " + source + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        for (ssize_t done = 0; done < got;) {
            const ssize_t n = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = WriteFailureText(outName, errno);
                return false;
            }
            done += n;
        }
    }
}

bool PutFileInPlace(const std::string& source, const std::string& target, WriteMode mode, WriteFailure& failure,
                    const std::atomic<bool>* cancel) {
    if (cancel != nullptr && cancel->load()) {
        failure = {"cancelled", ECANCELED};
        return false;
    }
    const std::string resolved = WriteTargetOf(target, failure.text);
    if (resolved.empty()) {
        failure.number = EPERM;
        return false;
    }
    const std::string folder = fs::path(resolved).parent_path().string();
    struct stat from {}, into {};
    const bool sameFileSystem = ::stat(source.c_str(), &from) == 0 &&
                                ::stat(folder.empty() ? "." : folder.c_str(), &into) == 0 && from.st_dev == into.st_dev;
    if (sameFileSystem) {
        const int in = OpenRegularFileForReading(source.c_str());
        int number = in < 0 ? errno : syncDescriptor(in);
        if (in >= 0) ::close(in);
        if (number == 0) number = place(source, resolved, mode);
        if (number == 0) {
            if ((into.st_mode & S_ISGID) != 0 && from.st_gid != into.st_gid) {
                // Only a group the user belongs to can be given; otherwise the file keeps the user's own.
                (void)::lchown(resolved.c_str(), static_cast<uid_t>(-1), into.st_gid);
            }
            return true;
        }
        if (number != EXDEV) {
            failure = {WriteFailureText(target, number), number};
            return false;
        }
    }
    const int in = OpenRegularFileForReading(source.c_str());
    if (in < 0) {
        failure.number = errno;
        failure.text = "cannot read " + source + ": " +
                       (failure.number == EINVAL ? std::string("not a regular file") : std::strerror(failure.number));
        return false;
    }
    const bool ok = WriteFileWhole(
        target, [&](int out, std::string& why) { return CopyDescriptor(in, out, source, target, cancel, why); },
        failure, mode);
    ::close(in);
    if (!ok && failure.text == "cancelled") failure.number = ECANCELED;
    return ok;
}

}  // namespace loudara
