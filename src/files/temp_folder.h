#pragma once
// The process's private temporary folder and the safe creation of files beside a target.
//
// Every run keeps its working files in one folder of its own, "loudara-<pid>-XXXXXX" inside the
// system's temporary folder, made by mkdtemp (mode 0700, a name no one can guess or plant in
// advance). The run holds a lock on it for as long as it lives, so a later run can tell a folder
// left by a killed run (its owner gone, its lock free) and remove it; the folder itself is
// removed at exit.

#include <atomic>
#include <string>

#include "files/safe_write.h"  // WriteFailureText

namespace loudara {

// The system's temporary folder ($TMPDIR, else /tmp).
std::string SystemTemporaryFolder();

// The folder, made at the first call (after removing the folders that killed runs left); the
// same path for the rest of the run. Empty, with the reason in `error`, when it cannot be made.
const std::string& PrivateTemporaryFolder(std::string* error = nullptr);

// Removes the private folder with everything in it (at exit; the next call makes a new one).
void RemovePrivateTemporaryFolder();

// Removes the folders in `parent` named "loudara-<pid>-XXXXXX" that belong to this user and
// whose run has ended: its process is gone and no one holds the folder's lock. Returns how many
// were removed. Called before the folder is made; tests call it on a folder of their own.
int RemoveStaleTemporaryFolders(const std::string& parent);

// Creates `path` for writing only if nothing (not even a dangling link) has that name, with the
// permissions a new file normally gets. The open descriptor, or -1 with errno set.
int CreateFileExclusively(const std::string& path);

// Waits until the bytes of the file `path` are on the disk: 0, or the errno of the failure.
// Whatever is renamed over a target is synced first, so after a power cut the name holds either
// what it held before or the whole new file, never a name over bytes that were not yet written
// (a batch that resumes would otherwise take such a file as done).
int SyncFileToDisk(const std::string& path);

// Copies the file `source` to a new file beside `target` created exclusively, syncs it to the
// disk and renames it over `target`, so an existing target is replaced only by a complete copy
// and never through a link planted under the copy's name. False, with the reason, otherwise; nothing is left behind. With
// `cancel`, the copy stops when the flag is set (the target stays as it was; error "cancelled").
bool ReplaceFileWithCopy(const std::string& source, const std::string& target, std::string& error,
                         const std::atomic<bool>* cancel = nullptr);

// Puts `source`, a file of the program's own that is not needed afterwards, in place of `target`:
// synced to the disk and renamed over it when both lie on one file system (an existing target is replaced whole, and a
// link under its name is replaced, not followed), otherwise as ReplaceFileWithCopy does. In a
// folder with the set-group-ID bit the file takes the folder's group, as a file made there does.
// The same reasons and the same cancel as ReplaceFileWithCopy.
bool MoveFileOver(const std::string& source, const std::string& target, std::string& error,
                  const std::atomic<bool>* cancel = nullptr);

// Copies the file `source` to `dest`, which must not exist yet (created exclusively). The same
// reasons and the same cancel as ReplaceFileWithCopy; a partial copy is removed.
bool CopyToNewFile(const std::string& source, const std::string& dest, std::string& error,
                   const std::atomic<bool>* cancel = nullptr);

}  // namespace loudara
