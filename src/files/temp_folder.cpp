#include "files/temp_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#include "files/safe_write.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

constexpr char kFolderPrefix[] = "loudara-";

std::mutex gFolderMutex;
std::string gFolder;   // empty until made
int gFolderLock = -1;  // an open descriptor of the folder holding its lock
bool gExitHookSet = false;


// "loudara-<pid>-XXXXXX": the pid, or 0 for any other name.
pid_t ownerOf(const char* name) {
    const std::size_t prefix = sizeof kFolderPrefix - 1;
    if (std::strncmp(name, kFolderPrefix, prefix) != 0) return 0;
    const char* digits = name + prefix;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (errno != 0 || end == digits || *end != '-' || pid <= 0 || pid > 0x3fffffff) return 0;
    if (std::strlen(end + 1) != 6) return 0;
    return static_cast<pid_t>(pid);
}

// Opens a folder without following a link, for its lock.
int openFolder(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

void removeFolderLocked() {
    if (gFolder.empty()) return;
    std::error_code ignored;
    fs::remove_all(gFolder, ignored);
    if (gFolderLock >= 0) ::close(gFolderLock);
    gFolderLock = -1;
    gFolder.clear();
}

void removeAtExit() {
    std::lock_guard<std::mutex> lock(gFolderMutex);
    removeFolderLocked();
}

}  // namespace

std::string SystemTemporaryFolder() {
    std::error_code ec;
    const fs::path folder = fs::temp_directory_path(ec);
    return ec ? std::string("/tmp") : folder.string();
}

int RemoveStaleTemporaryFolders(const std::string& parent) {
    DIR* dir = ::opendir(parent.c_str());
    if (!dir) return 0;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (ownerOf(entry->d_name) != 0) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);

    int removed = 0;
    for (const std::string& name : names) {
        // Its process must be gone (a pid in use, even by another user, keeps it)...
        const pid_t owner = ownerOf(name.c_str());
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        // ...it must be a folder of ours, not a link...
        const std::string path = (fs::path(parent) / name).string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        // ...and no run may hold its lock: a run in another pid namespace can have a pid that
        // is free in ours, but its lock is seen by everyone.
        const int fd = openFolder(path);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ec;
            fs::remove_all(path, ec);
            if (!ec) ++removed;
        }
        ::close(fd);
    }
    return removed;
}

const std::string& PrivateTemporaryFolder(std::string* error) {
    std::lock_guard<std::mutex> lock(gFolderMutex);
    if (!gFolder.empty()) return gFolder;
    const std::string parent = SystemTemporaryFolder();
    RemoveStaleTemporaryFolders(parent);

    std::string pattern = (fs::path(parent) / (kFolderPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        if (error) *error = "cannot create a temporary folder in " + parent + ": " + std::strerror(errno);
        return gFolder;
    }
    const int fd = openFolder(name.data());
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (error) *error = "cannot lock the temporary folder " + std::string(name.data()) + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::rmdir(name.data());
        return gFolder;
    }
    gFolder = name.data();
    gFolderLock = fd;
    if (!gExitHookSet) {
        gExitHookSet = true;
        std::atexit(removeAtExit);
    }
    return gFolder;
}

void RemovePrivateTemporaryFolder() { removeAtExit(); }

int CreateFileExclusively(const std::string& path) {
    // 0666 before the umask: the permissions a plain fopen would give a new file.
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

namespace {

// Copies `source` into the new file `dest` (descriptor `out`, closed here); the copy is removed
// on failure.
bool copyAndClose(const std::string& source, int out, const std::string& dest, const std::atomic<bool>* cancel,
                  std::string& error) {
    const int in = OpenRegularFileForReading(source.c_str());
    bool ok = in >= 0;
    if (!ok) error = "cannot read " + source + ": " + (errno == EINVAL ? "not a regular file" : std::strerror(errno));
    if (ok) ok = CopyDescriptor(in, out, source, dest, cancel, error);
    if (in >= 0) ::close(in);
    if (::close(out) != 0 && ok) {
        error = WriteFailureText(dest, errno);
        ok = false;
    }
    if (!ok) ::unlink(dest.c_str());
    return ok;
}

}  // namespace

bool CopyToNewFile(const std::string& source, const std::string& dest, std::string& error,
                   const std::atomic<bool>* cancel) {
    const int out = CreateFileExclusively(dest);
    if (out < 0) {
        error = WriteFailureText(dest, errno);
        return false;
    }
    return copyAndClose(source, out, dest, cancel, error);
}

int SyncFileToDisk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    int failure = 0;
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        if (errno != EINVAL) failure = errno;  // nothing to sync counts as synced
        break;
    }
    ::close(fd);
    return failure;
}

bool ReplaceFileWithCopy(const std::string& source, const std::string& target, std::string& error,
                         const std::atomic<bool>* cancel) {
    const int in = OpenRegularFileForReading(source.c_str());
    if (in < 0) {
        error = "cannot read " + source + ": " + (errno == EINVAL ? "not a regular file" : std::strerror(errno));
        return false;
    }
    WriteFailure failure;
    const bool ok = WriteFileWhole(
        target, [&](int out, std::string& why) { return CopyDescriptor(in, out, source, target, cancel, why); }, failure);
    ::close(in);
    if (!ok) error = failure.text;
    return ok;
}

bool MoveFileOver(const std::string& source, const std::string& target, std::string& error,
                  const std::atomic<bool>* cancel) {
    WriteFailure failure;
    const bool ok = PutFileInPlace(source, target, WriteMode::Replace, failure, cancel);
    if (!ok) error = failure.text;
    return ok;
}

}  // namespace loudara
