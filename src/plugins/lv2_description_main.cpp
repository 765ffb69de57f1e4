// loudara-lv2-description FOLDER: writes the bundle's manifest.ttl and loudara.ttl into FOLDER.

#include <cstdio>
#include <string>

#include "plugins/lv2_description.h"

namespace {

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: loudara-lv2-description FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (!writeFile(folder + "/manifest.ttl", loudara::plugin::lv2Manifest("loudara.so")) ||
        !writeFile(folder + "/loudara.ttl", loudara::plugin::lv2PluginDescription())) {
        std::fprintf(stderr, "loudara-lv2-description: cannot write into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
