#include "audio/event_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "files/mp3_bridge.h"

extern char** environ;

namespace loudara {

namespace {

bool executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

bool CheckEventCommand(const std::string& command, std::string& error) {
    const std::vector<std::string> words = SplitEncoderArguments(command);
    if (words.empty() || words[0].empty()) {
        error = "the command is empty";
        return false;
    }
    const std::string& program = words[0];
    if (program.find('/') != std::string::npos) {
        if (executable(program)) return true;
        error = program + (access(program.c_str(), F_OK) == 0 ? " is not an executable file" : " does not exist");
        return false;
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (executable((folder.empty() ? std::string(".") : folder) + "/" + program)) return true;
    }
    error = "no program " + program + " on the PATH";
    return false;
}

pid_t EventCommands::start(const std::string& command, const EventVariables& variables, std::string& error) {
    std::vector<std::string> words = SplitEncoderArguments(command);
    if (words.empty() || words[0].empty()) {
        error = "the command is empty";
        return -1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    // Our environment with the event's variables set (replacing any of the same name).
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : variables) {
            if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
        }
        if (!replaced) entries.push_back(entry);
    }
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    // Sound-system sockets, the stream's connection, the service's pipes stay ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The signals the service ignores or catches are the program's own again, and none is blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigemptyset(&all);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&all, signal);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int started = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        error = "cannot start " + words[0] + ": " + std::strerror(started);
        return -1;
    }
    children_.emplace_back(pid, words[0]);
    return pid;
}

std::vector<std::string> EventCommands::finished() {
    std::vector<std::string> lines;
    for (auto it = children_.begin(); it != children_.end();) {
        int status = 0;
        const pid_t done = waitpid(it->first, &status, WNOHANG);
        if (done == 0) {
            ++it;
            continue;
        }
        if (done == it->first) {
            if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
                lines.push_back(it->second + " ended with status " + std::to_string(WEXITSTATUS(status)));
            } else if (WIFSIGNALED(status)) {
                lines.push_back(it->second + " ended by signal " + std::to_string(WTERMSIG(status)));
            }
        }
        it = children_.erase(it);
    }
    return lines;
}

}  // namespace loudara
