#pragma once
// Every file the program writes under a name the user chose goes through here, so that nothing
// another user plants in a shared folder can redirect, freeze or half-write it:
//  - the bytes go to a new file of an unpredictable name beside the target, created exclusively
//    (O_EXCL|O_NOFOLLOW: a link or a FIFO planted there is refused, never followed or opened),
//    are flushed to the disk, and only then renamed over the target, so a failed write never
//    costs the old contents (a replaced file keeps its permissions);
//  - a target that is itself a symbolic link is followed only when the link belongs to the user
//    running the program or to root (a preset of one's own kept elsewhere goes on working); a
//    link that belongs to anyone else is refused with a message that names it and its owner;
//  - the reason of a failure is the first error met, never one a clean-up left behind.

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

namespace loudara {

// Where a write to `path` lands: `path` itself, or where the links of this user (or root) at
// `path` lead, link after link. Empty, with the reason in `error`, when one of those links belongs
// to another user, the links go round, or the target is a folder.
std::string WriteTargetOf(const std::string& path, std::string& error);

// Writes the new contents into the open descriptor `fd`; false with the reason in `error`
// ("cancelled" when a cancel flag stopped it).
using FileFiller = std::function<bool(int fd, std::string& error)>;

// Replace: an existing target is replaced whole. KeepExisting: the file is put in place only when
// nothing has the target's name by then (error number EEXIST otherwise).
enum class WriteMode { Replace, KeepExisting };

struct WriteFailure {
    std::string text;  // "cannot write PATH: ..." or the filler's own reason
    int number = 0;    // the errno behind it, when there is one
};

// Writes the file `path` whole through `fill` as described above. True when `path` now holds what
// `fill` wrote; otherwise nothing is left behind and whatever `path` held is untouched.
bool WriteFileWhole(const std::string& path, const FileFiller& fill, WriteFailure& failure,
                    WriteMode mode = WriteMode::Replace);

// WriteFileWhole with `data` as the contents.
bool ReplaceFileContents(const std::string& path, const void* data, std::size_t size, std::string& error);

// Puts `source`, a file of the program's own in its private folder that is not needed afterwards,
// in place of `target`: synced to the disk and renamed over it when both lie on one file system,
// otherwise copied through WriteFileWhole (the source then stays for its owner to remove); links
// at `target` are judged as WriteTargetOf does. In
// a folder with the set-group-ID bit the file takes the folder's group, as a file made there does.
// With `cancel`, a copy stops when the flag is set (the target stays as it was; "cancelled").
bool PutFileInPlace(const std::string& source, const std::string& target, WriteMode mode, WriteFailure& failure,
                    const std::atomic<bool>* cancel = nullptr);

// Copies everything the open descriptor `in` holds to `out`, looking at `cancel` between the
// 1 MB pieces; read failures name `source`, write failures `outName`.
bool CopyDescriptor(int in, int out, const std::string& source, const std::string& outName,
                    const std::atomic<bool>* cancel, std::string& error);

// The reason a write to `path` failed with errno `error`: "cannot write <path>: <system text>",
// or for a full disk "cannot write <path>: no space left on <the folder that holds it>".
std::string WriteFailureText(const std::string& path, int error);

}  // namespace loudara
