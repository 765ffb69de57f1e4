#include "cli/cli_support.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace loudara::cli {

bool wantsHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "loudara-cli %s: %s\n", command, message.c_str());
    return 2;
}

bool parseNumber(std::string_view text, double& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseInteger(std::string_view text, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) != suffix[i]) return false;
    }
    return true;
}

void applyFirstStartState(Processor& p) {
    for (BandSettings& band : p.bands) band.gateDb = -36;
    resetProcessor(p);
    selectPresetById(p, 232);
    initVirtualSpeaker(p);
    selectEnvelopeTimes(p);
}

std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStartState(*p);
    return p;
}

}  // namespace loudara::cli
