#pragma once
// What the core shows the user besides its data: message boxes and beeps. The GUI shows them with
// Qt; the command-line tool prints them; the tests record them (tests/recording_host.h).

#include <cstdio>
#include <string>

namespace loudara {

// None: a plain box with the platform's default caption (the sound devices' own error texts).
enum class MessageIcon { None, Information, Exclamation, Question, Error };

class Host {
public:
    virtual ~Host() = default;
    // A modal message box with an OK button.
    virtual void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
    // The platform's default beep.
    virtual void beep() = 0;
};

// Prints messages as "caption: text" on a stream and counts beeps (which it does not sound).
class TextHost : public Host {
public:
    explicit TextHost(std::FILE* out = stderr) : out_(out) {}
    void showMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        std::string line = caption;
        if (!caption.empty()) line += ": ";
        for (char c : text) line += c == '\n' ? ' ' : c;
        std::fprintf(out_, "%s\n", line.c_str());
        ++messages;
    }
    void beep() override { ++beeps; }

    int messages = 0;
    int beeps = 0;

private:
    std::FILE* out_;
};

}  // namespace loudara
