#pragma once
// Replacing a file so that a failed write never costs the old contents: the new bytes go to a
// fresh file beside the target, are flushed to the disk, and only then renamed over the target.

#include <cstddef>
#include <string>

namespace loudara {

// True when `path` now holds exactly `data`. On false, `error` says why and any file that was at
// `path` is untouched. A symbolic link at `path` keeps pointing where it did: its target is
// replaced.
bool ReplaceFileContents(const std::string& path, const void* data, std::size_t size, std::string& error);

}  // namespace loudara
