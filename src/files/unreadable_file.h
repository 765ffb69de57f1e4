#pragma once
// Why a file cannot be read, in the words every front end shows.

#include <string>

namespace loudara {

// Why the file `path` cannot be opened for reading: "no such file", "it is a folder", "not a
// regular file" (a pipe, a device) or the system's text; empty when it can be.
std::string WhyUnopenable(const std::string& path);
// "cannot read PATH", with that reason when there is one.
std::string CannotRead(const std::string& path);

}  // namespace loudara
