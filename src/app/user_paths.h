#pragma once
// Where the program's own files are, whatever folder it was started from.

#include <string>

namespace loudara {

// The per-user data folder: $XDG_DATA_HOME/loudara when XDG_DATA_HOME is an absolute path, else
// ~/.local/share/loudara. It holds the current-settings file "ldmp3.prf", the user presets under
// "users/" and the temporary folder "tempwav/". Without a trailing "/".
std::string UserDataFolder();

// Makes the data folder (and its parents) when it is missing. False when it cannot be made;
// `error` says why.
bool MakeUserDataFolder(const std::string& folder, std::string& error);

// The user's manual: the installed copy beside the running program
// (<prefix>/bin/../share/doc/loudara/help/index.html) when it exists, else the copy in the source
// tree of an uninstalled build, else the installed place (which then cannot be opened).
std::string UserManualPath();

}  // namespace loudara
