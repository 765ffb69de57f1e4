#include "app/user_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace loudara {
namespace {

namespace fs = std::filesystem;

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

// The manual's place relative to the folder of the installed programs.
constexpr const char* kInstalledManual = "../share/doc/loudara/help/index.html";

}  // namespace

std::string UserDataFolder() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        base = fs::path(homeDirectory()) / ".local" / "share";
    }
    return (base / "loudara").lexically_normal().string();
}

bool MakeUserDataFolder(const std::string& folder, std::string& error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!ec && fs::is_directory(folder, ec)) return true;
    error = "cannot make the folder " + folder + (ec ? ": " + ec.message() : "");
    return false;
}

std::string UserManualPath() {
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    const fs::path installed = ec ? fs::path("/usr/share/doc/loudara/help/index.html")
                                  : (program.parent_path() / kInstalledManual).lexically_normal();
    if (fs::is_regular_file(installed, ec)) return installed.string();
#ifdef LOUDARA_SOURCE_DIR
    const fs::path source = fs::path(LOUDARA_SOURCE_DIR) / "help" / "index.html";
    if (fs::is_regular_file(source, ec)) return source.string();
#endif
    return installed.string();
}

}  // namespace loudara
