#include "persistence/settings_file.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "files/safe_write.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

std::string_view trimmed(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The file as lines without their line ends ("\n" or "\r\n"). False when it cannot be read.
bool readLines(const std::string& path, std::vector<std::string>& lines) {
    const FileHandle file = OpenFile(path.c_str(), "rb");
    if (!file) return false;
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, got);
    if (std::ferror(file.get())) return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return true;
}

// "[name]" gives name; anything else is not a section header.
bool sectionName(std::string_view line, std::string_view& name) {
    line = trimmed(line);
    if (line.size() < 2 || line.front() != '[') return false;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = trimmed(line.substr(1, close - 1));
    return true;
}

// "key=value" gives key and value, both trimmed. Comment lines (";" or "#") are not entries.
bool entry(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view t = trimmed(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return false;
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    key = trimmed(t.substr(0, eq));
    value = trimmed(t.substr(eq + 1));
    return true;
}

// A value in double quotes is read without them, as the profile functions do.
std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
    return value;
}

// At most `limit` bytes, never ending inside a multi-byte UTF-8 character.
std::string cutToBuffer(std::string_view value, size_t limit) {
    if (value.size() <= limit) return std::string(value);
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
    return std::string(value.substr(0, end));
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

}  // namespace

std::string SettingsFilePath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        base = homeDirectory();
        if (base.empty() || base.back() != '/') base += '/';
        base += ".config";
    }
    if (base.back() != '/') base += '/';
    base += "loudara/ldrmp3.ini";
    return base;
}

std::string DefaultSettingValue() { return homeDirectory(); }

std::string ReadSetting(std::string_view key, const std::string& settingsFile) {
    std::vector<std::string> lines;
    if (readLines(settingsFile, lines)) {
        bool inSection = false;
        for (const std::string& line : lines) {
            std::string_view name, k, v;
            if (sectionName(line, name)) {
                inSection = sameNoCase(name, kSettingsSection);
            } else if (inSection && entry(line, k, v) && sameNoCase(k, trimmed(key))) {
                return cutToBuffer(unquoted(v), kSettingValueBuffer - 1);
            }
        }
    }
    return cutToBuffer(DefaultSettingValue(), kSettingValueBuffer - 1);
}

bool WriteSetting(std::string_view key, std::string_view value, const std::string& settingsFile) {
    key = trimmed(key);
    if (key.empty() || key.find_first_of("=[]\r\n") != std::string_view::npos) return false;
    if (value.find_first_of("\r\n") != std::string_view::npos) return false;

    std::vector<std::string> lines;
    std::error_code ec;
    const bool exists = fs::exists(settingsFile, ec);
    if (exists && !readLines(settingsFile, lines)) return false;  // never replace what we cannot read

    std::string newLine(key);
    newLine += '=';
    newLine += value;

    // Find the section, the key in it, and the last entry line of the section.
    int sectionLine = -1, keyLine = -1, lastInSection = -1;
    bool inSection = false;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        std::string_view name, k, v;
        if (sectionName(lines[i], name)) {
            inSection = sectionLine < 0 && sameNoCase(name, kSettingsSection);
            if (inSection) sectionLine = lastInSection = i;
        } else if (inSection) {
            if (!trimmed(lines[i]).empty()) lastInSection = i;
            if (keyLine < 0 && entry(lines[i], k, v) && sameNoCase(k, key)) keyLine = i;
        }
    }
    if (keyLine >= 0) {
        lines[keyLine] = newLine;
    } else if (sectionLine >= 0) {
        lines.insert(lines.begin() + lastInSection + 1, newLine);
    } else {
        if (!lines.empty() && !trimmed(lines.back()).empty()) lines.emplace_back();
        std::string header = "[";
        header += kSettingsSection;
        header += ']';
        lines.push_back(header);
        lines.push_back(newLine);
    }

    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    const fs::path folder = fs::path(settingsFile).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    std::string error;
    return ReplaceFileContents(settingsFile, text.data(), text.size(), error);
}

std::string DialogFolderFor(const std::string& storedValue) {
    std::error_code ec;
    if (!storedValue.empty() && fs::is_directory(storedValue, ec)) return storedValue;
    const fs::path parent = fs::path(storedValue).parent_path();
    if (!parent.empty() && fs::is_directory(parent, ec)) return parent.string();
    return DefaultSettingValue();
}

}  // namespace loudara
