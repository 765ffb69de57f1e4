// The settings file: every key read from whatever the file holds, then one written and read back.

#include <string>

#include "fuzz_input.h"
#include "persistence/settings_file.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::scratchFolder() + "/ldrmp3.ini";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    for (const char* key : {kListFileDirKey, kParamFileDirKey, kSoundFileDirKey, kEncToolDirKey, kSelectFolderPathKey}) {
        if (ReadSetting(key, path).size() >= static_cast<size_t>(kSettingValueBuffer)) __builtin_trap();
    }
    // A value written is read back as it was, whatever else the file holds.
    const std::string value = "/home/someone/Music/a [b] = c;.plt";
    if (WriteSetting(kSoundFileDirKey, value, path) && ReadSetting(kSoundFileDirKey, path) != value) __builtin_trap();
    return 0;
}
