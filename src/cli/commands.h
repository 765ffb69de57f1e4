#pragma once
// loudara-cli commands that live outside main.cpp. Each takes the arguments after its command word
// and returns the process's exit status: 0 done, 1 failed (with a reason on stderr), 2 usage error.

namespace loudara {

// params show FILE | params save FILE [--settings FILE] [--preset ID] [--set NAME=VALUE]...
int paramsCommand(int argc, char** argv);

// playlist show FILE.plt | playlist make OUT.plt FILE_OR_FOLDER... [--force]
int playlistCommand(int argc, char** argv);

}  // namespace loudara
