#pragma once
// The application settings: the last file or folder chosen in each file dialog and the window's
// output options that the parameter file has no room for, kept as text values of the section
// "Loudara" in $XDG_CONFIG_HOME/loudara/ldrmp3.ini (by default ~/.config/loudara/ldrmp3.ini). The file is read and written by a small reader/writer of our own
// that leaves every other line, key and section as it found them.

#include <string>
#include <string_view>

namespace loudara {

inline constexpr const char* kSettingsSection = "Loudara";
// The keys the dialogs use.
inline constexpr const char* kListFileDirKey = "ListFileDir";
inline constexpr const char* kListFileSaveDirKey = "ListFileSaveDir";
inline constexpr const char* kParamFileDirKey = "ParamFileDir";
inline constexpr const char* kParamFileSaveDirKey = "ParamFileSaveDir";
inline constexpr const char* kSoundFileDirKey = "SoundFileDir";
inline constexpr const char* kSoundFileExportDirKey = "SoundFileExportDir";
inline constexpr const char* kEncToolDirKey = "EncToolDir";
inline constexpr const char* kSelectFolderPathKey = "SelectFolderPath";
// The window's output options that the parameter file has no room for.
inline constexpr const char* kTruePeakLimiterKey = "TruePeakLimiter";
inline constexpr const char* kTruePeakCeilingKey = "TruePeakCeilingDb";

// A value is read into a buffer of this many bytes with its terminating NUL: values come back
// with at most 258 bytes, cut at a UTF-8 character boundary.
inline constexpr int kSettingValueBuffer = 259;

// $XDG_CONFIG_HOME/loudara/ldrmp3.ini when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/loudara/ldrmp3.ini.
std::string SettingsFilePath();

// The value every key has while the file, the section or the key is missing: the user's home
// directory.
std::string DefaultSettingValue();

// The stored text of `key` in the section "Loudara" (keys and section names match without regard
// to letter case), or DefaultSettingValue().
std::string ReadSetting(std::string_view key, const std::string& settingsFile = SettingsFilePath());

// Stores `value` under `key`, creating the file, its folder and the section when needed. False
// when the value holds a line break (it could not be read back) or the file cannot be written;
// the old file then stays as it was.
bool WriteSetting(std::string_view key, std::string_view value, const std::string& settingsFile = SettingsFilePath());

// The folder a dialog opens in for a stored value that may name a file: the value itself when it
// is a folder, else the folder part of it when that exists, else the home directory.
std::string DialogFolderFor(const std::string& storedValue);

}  // namespace loudara
