#include "cli/onair_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_support.h"

namespace loudara::cli {

bool SplitOptionsText(const std::string& text, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else word += c;
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            inWord = true;
        } else if (quote == '"') {
            if (c == '"') quote = 0;
            else word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) {
        error = std::string("a ") + (quote == '"' ? "double" : "single") + " quote is not closed";
        return false;
    }
    if (inWord) words.push_back(word);
    return true;
}

bool ExpandOptionsTexts(const std::vector<std::string>& arguments, std::vector<std::string>& expanded,
                        std::string& error) {
    expanded.clear();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != "--options") {
            expanded.push_back(arguments[i]);
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error = "--options needs a text of options";
            return false;
        }
        std::vector<std::string> words;
        if (!SplitOptionsText(arguments[++i], words, error)) {
            error = "--options: " + error;
            return false;
        }
        std::vector<char*> pointers;
        for (std::string& word : words) pointers.push_back(word.data());
        for (std::string& argument : NormalizeArguments(static_cast<int>(pointers.size()), pointers.data())) {
            if (argument == "--options") {
                error = "--options cannot name --options again";
                return false;
            }
            expanded.push_back(std::move(argument));
        }
    }
    return true;
}

bool ReadIcecastPassword(const std::string& file, std::string& password, std::string& error) {
    const char* variable = std::getenv(kIcecastPasswordVariable);
    const std::string fromEnvironment = variable ? variable : "";
    unsetenv(kIcecastPasswordVariable);
    password.clear();
    if (file.empty()) {
        password = fromEnvironment;
        if (password.empty()) {
            error = std::string("the stream needs the server's source password: put it in a file that only you can "
                                "read and give it with --icecast-password-file FILE, or set ") +
                    kIcecastPasswordVariable;
            return false;
        }
        return true;
    }
    // Opened without waiting on whatever the name is (a FIFO is refused, never waited on).
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = "cannot read the password file " + file + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "the password file " + file + " is not a regular file";
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = "the password file " + file + " may be read or changed by other users (mode " + mode +
                "); make it its owner's alone: chmod 600 " + file;
        return false;
    }
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    if (got < 0) {
        error = "cannot read the password file " + file + ": " + std::strerror(errno);
        return false;
    }
    password.assign(buffer, static_cast<std::size_t>(got));
    password = password.substr(0, password.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        error = "the password file " + file + " holds no password on its first line";
        return false;
    }
    return true;
}

}  // namespace loudara::cli
