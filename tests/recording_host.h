#pragma once
// A Host that keeps every message so a test can look at it.

#include <string>
#include <vector>

#include "base/host.h"

namespace loudara {

// Keeps every message so a test can look at it.
class RecordingHost : public Host {
public:
    struct Message {
        std::string text;
        std::string caption;
        MessageIcon icon;
    };
    void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    void beep() override { ++beeps; }

    std::vector<Message> messages;
    int beeps = 0;
};

}  // namespace loudara
