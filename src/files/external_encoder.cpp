// The external MP3 encoder: its parameter text, its argument vector and the child process.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "files/mp3_bridge.h"

extern char** environ;

namespace loudara {

bool ExpandEncoderParams(const char* params, const std::string& wavPath, const std::string& mp3Path,
                         std::string& expanded) {
    expanded.clear();
    if (params == nullptr) return true;
    for (const char* c = params; *c != '\0'; ++c) {
        if (*c != '%') {
            expanded += *c;
        } else {
            const char next = c[1];
            if (next == '\0') break;  // a final "%" is dropped
            ++c;
            if (next == '1' || next == '2') {
                expanded += '"';
                expanded += next == '1' ? wavPath : mp3Path;
                expanded += '"';
            } else if (next == ' ') {
                expanded += ' ';
            }
        }
        if (expanded.size() > static_cast<std::size_t>(kMaxEncoderParamChars)) return false;
    }
    return true;
}

std::vector<std::string> SplitEncoderArguments(const std::string& text) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;  // "" is an empty argument
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(current);
    return arguments;
}

std::vector<std::string> ExpandEncoderArguments(const char* params, const std::string& wavPath,
                                                const std::string& mp3Path) {
    std::vector<std::string> arguments;
    if (params == nullptr) return arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char* c = params; *c != '\0'; ++c) {
        char ch = *c;
        if (ch == '%') {
            const char next = c[1];
            if (next == '\0') break;  // a final "%" is dropped
            ++c;
            if (next == '1' || next == '2') {
                current += next == '1' ? wavPath : mp3Path;
                inArgument = true;
                continue;
            }
            if (next != ' ') continue;  // any other "%x" is dropped
            ch = ' ';
        }
        if (ch == '"') {
            quoted = !quoted;
            inArgument = true;  // "" is an empty argument
        } else if (!quoted && (ch == ' ' || ch == '\t')) {
            if (inArgument) arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += ch;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(current);
    return arguments;
}

bool RunEncoderProgram(const std::string& program, const std::vector<std::string>& arguments, std::string& error,
                       const std::atomic<bool>* cancel) {
    if (program.empty()) {
        error = "no external encoder program is set";
        return false;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The encoder reads nothing from our terminal, and its chatter goes to stderr.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid = 0;
    const int started = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        error = "cannot start the external encoder ";
        error += program;
        error += ": ";
        error += std::strerror(started);
        return false;
    }
    int status = 0;
    pid_t ended;
    bool stopped = false;
    int waitsSinceStop = 0;
    for (;;) {
        ended = waitpid(pid, &status, cancel ? WNOHANG : 0);
        if (ended < 0 && errno == EINTR) continue;
        if (ended != 0) break;
        // Still running: look at the cancel flag every 20 ms. A program that ignores SIGTERM
        // gets SIGKILL two seconds later.
        if (!stopped && cancel->load()) {
            kill(pid, SIGTERM);
            stopped = true;
        } else if (stopped && ++waitsSinceStop == 100) {
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (stopped && ended > 0) {
        error = "cancelled";
        return false;
    }
    if (ended < 0) {
        error = "lost the external encoder ";
        error += program;
        error += ": ";
        error += std::strerror(errno);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = "the external encoder ";
    error += program;
    error += WIFEXITED(status) ? " exited with status " : " was ended by signal ";
    error += std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return false;
}

}  // namespace loudara
