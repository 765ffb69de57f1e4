#pragma once
// What an export does besides the sound: format, bit rate, tags, names, normalising, throttle.

#include <cstdint>

namespace loudara {

// Export options; kept in the parameter file.
struct ExportOptions {
    int32_t exportFormat = 1;  // 0 WAV, 1 MP3
    int32_t mp3Bitrate = 128;  // kbit/s
    char albumPrefix[32] = "";
    char titlePrefix[32] = "";
    int32_t normalizeOnExport = 1;
    char fileNameString[136] = "qx_";
    int32_t fileNameStringIsPostfix = 0;
    int32_t useOriginalFolder = 0;
    int32_t throttleOn = 0;
    int32_t throttleLevel = 10;  // 1..40
};

}  // namespace loudara
