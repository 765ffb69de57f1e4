#pragma once
// Programs the ON-AIR service starts when something happens (dead air, sound back): the command
// text is split as a command line is split (blanks separate, double quotes group) and the program
// is started directly, without a shell, so nothing in the text is interpreted. It gets this
// process's environment plus the event's variables, standard input from /dev/null and its output
// on our standard error (the service's log), and none of our other open files. The service does
// not wait for it: finished() collects the programs that have ended, for the log.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace loudara {

using EventVariables = std::vector<std::pair<std::string, std::string>>;

// The program of `command`, found as the command would find it (a name without '/' through PATH),
// or the reason it cannot be started: empty text, no such program, not executable.
bool CheckEventCommand(const std::string& command, std::string& error);

class EventCommands {
public:
    // Starts `command`; its process id, or -1 with `error`.
    pid_t start(const std::string& command, const EventVariables& variables, std::string& error);
    // One line for each program started here that has ended since the last call, with how it
    // ended ("... ended with status 3"); a program that ended with status 0 gives none.
    std::vector<std::string> finished();
    // Programs started here that have not been seen to end.
    std::size_t running() const { return children_.size(); }

private:
    std::vector<std::pair<pid_t, std::string>> children_;  // process id, its program
};

}  // namespace loudara
