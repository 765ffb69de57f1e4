// loudara-cli: Loudara's processor from the command line, for scripts, servers and tests.

#include <cstdio>
#include <cstring>
#include <string>

#include "processor/params.h"

namespace {

void printUsage(std::FILE* out) {
    std::fputs(
        "Usage: loudara-cli COMMAND [OPTIONS]\n"
        "\n"
        "Commands:\n"
        "  presets    list the built-in recommended presets with their command ids\n"
        "\n"
        "Run 'loudara-cli COMMAND --help' for the options of a command.\n",
        out);
}

// Menu texts double '&' to show one.
std::string displayText(const char* menuText) {
    std::string text;
    for (const char* c = menuText; *c; ++c) {
        if (c[0] == '&' && c[1] == '&') ++c;
        text += *c;
    }
    return text;
}

int listPresets(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::puts("Usage: loudara-cli presets\n\nLists the eleven built-in presets: command id, menu, menu text "
                      "and description.\nCommand ids outside 334..343 select the default preset (232).");
            return 0;
        }
        std::fprintf(stderr, "loudara-cli presets: unexpected argument '%s'\n", argv[i]);
        return 2;
    }
    for (const loudara::BuiltinPreset& preset : loudara::builtinPresets()) {
        std::printf("%d\t%s\t%s\t%s\n", preset.commandId, preset.menuGroup, displayText(preset.menuText).c_str(),
                    preset.record.description);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stdout);
        return 0;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "presets") return listPresets(argc - 2, argv + 2);
    std::fprintf(stderr, "loudara-cli: unknown command '%s'\n\n", command.c_str());
    printUsage(stderr);
    return 2;
}
