#include "persistence/parameter_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/byte_io.h"
#include "files/wav_file.h"
#include "persistence/safe_write.h"
#include "processor/parameter_names.h"

namespace loudara {
namespace {

// Byte offsets of the fields. The file is a plain sequence of fields with no padding; older,
// shorter files simply end early.
namespace at {
constexpr int kMagic = 0;                  // 8 bytes "LDR0ERSP"
constexpr int kBandTable = 8;              // 6 bands x 5 f64: depth, drive, output, threshold, clip
constexpr int kBandStride = 40;
constexpr int kAgcThresholdDb = 248;
constexpr int kAgcDepthDb = 256;
constexpr int kEnhancerDepthDb = 264;
constexpr int kReservedA = 272;            // 256 bytes
constexpr int kEnhancerDelayFirstCopy = 528;
constexpr int kBassEqGainDb = 536;
constexpr int kBassEqFreqHz = 544;
constexpr int kBassEqSampleRate = 552;
constexpr int kBassEqQ = 560;
constexpr int kFinalClipDb = 568;
constexpr int kReservedB = 576;            // i32
constexpr int kBandReleaseTime = 580;
constexpr int kSpareA = 588;
constexpr int kPhaseShifterOn = 596;
constexpr int kBassEqOff = 600;
constexpr int kEnhancerOn = 604;
constexpr int kEnhancerMode = 608;
constexpr int kBassClipMode = 616;
constexpr int kSelectedOutputDevice = 624; // u16 in a 4-byte slot
constexpr int kReservedC = 628;            // 256 bytes
constexpr int kSelectedInputDevice = 884;  // u16 in a 4-byte slot
constexpr int kOnAirRateChoice = 888;      // u16 in a 4-byte slot
constexpr int kReservedD = 892;            // i32
constexpr int kSpareB = 896;
constexpr int kPresetDescription = 904;    // 63 bytes
constexpr int kFinalLowpass = 967;
constexpr int kEnhancerDelayMs = 975;
constexpr int kDeEmphasisOn = 983;
constexpr int kPreEmphasis = 987;
constexpr int kHfLimitThresholdDb = 995;
constexpr int kHfLimitDepthDb = 1003;
constexpr int kSpareC = 1011;
constexpr int kPostClipDb = 1019;
constexpr int kAgcSpeed = 1027;
constexpr int kStartOnAirAtBoot = 1035;
constexpr int kBlockCount = 1039;
constexpr int kReductionDelayMs = 1043;    // band 0
constexpr int kExportFormat = 1051;
constexpr int kMp3Bitrate = 1055;
constexpr int kAlbumPrefix = 1059;         // 32 bytes
constexpr int kTitlePrefix = 1091;         // 32 bytes
constexpr int kNormalizeOnExport = 1123;
constexpr int kFileNameString = 1127;      // 136 bytes, current-settings file only
constexpr int kThrottleOn = 1263;
constexpr int kThrottleLevel = 1267;
constexpr int kUseExternalEncoder = 1271;
constexpr int kExternalEncoderPath = 1275;    // 260 bytes
constexpr int kExternalEncoderParams = 1535;  // 260 bytes
constexpr int kBandAttackTime = 1795;
constexpr int kClipType = 1803;
constexpr int kVirtualSpeakerOn = 1811;
constexpr int kSpeakerSpacingCm = 1815;
constexpr int kRoomDistanceM = 1823;
constexpr int kReflectionPercent = 1831;
constexpr int kUseOriginalFolder = 1839;
constexpr int kFileNameStringIsPostfix = 1843;
constexpr int kGateOn = 1847;              // current-settings file only
constexpr int kGateDb = 1851;              // 6 x f64, current-settings file only
constexpr int kEnd = 1899;
}  // namespace at

static_assert(at::kEnd == kParameterFileBytes);
static_assert(at::kGateDb + 6 * 8 == at::kEnd);
static_assert(at::kBandTable + kBandCount * at::kBandStride == at::kAgcThresholdDb);

constexpr int kDescriptionBytes = 63;
constexpr int kPrefixBytes = 32;
constexpr int kFileNameStringBytes = 136;
static_assert(sizeof(ExportOptions::albumPrefix) == kPrefixBytes);
static_assert(sizeof(ExportOptions::titlePrefix) == kPrefixBytes);
static_assert(sizeof(ExportOptions::fileNameString) == kFileNameStringBytes);
static_assert(sizeof(ProcessorSettings::presetDescription) == kDescriptionBytes + 1);

// A field is taken only when the file holds all of its bytes; otherwise the live value stays,
// as a read at the end of the file leaves its target alone.
struct FieldReader {
    const uint8_t* image;
    int length;

    bool has(int offset, int size) const { return offset + size <= length; }
    void f64(int offset, double& value) const {
        if (has(offset, 8)) value = bytes::getF64(image + offset);
    }
    void i32(int offset, int32_t& value) const {
        if (has(offset, 4)) value = bytes::getI32(image + offset);
    }
    // A 16-bit value in the low half of a 4-byte slot.
    void u16InSlot(int offset, uint16_t& value) const {
        if (has(offset, 4)) value = bytes::getU16(image + offset);
    }
    // A text field of `size` bytes into a buffer of at least `size` bytes. The buffer's last byte
    // is kept a NUL so that a field filled to its end still reads as a terminated text.
    void text(int offset, char* buffer, int size, int bufferSize) const {
        if (!has(offset, size)) return;
        std::memcpy(buffer, image + offset, size);
        buffer[bufferSize - 1] = '\0';
    }
};

// The sound parameters a file is decoded into before any of them reaches the live values.
struct ParameterValues {
    BandSettings bands[kBandCount];
    ProcessorParams params;
    ProcessorSettings settings;
};

double* fieldOf(ParameterValues& v, const ParameterInfo& info, int band) {
    if (info.bandField) return &(v.bands[band].*info.bandField);
    if (info.paramField) return &(v.params.*info.paramField);
    if (info.settingField) return &(v.settings.*info.settingField);
    return &v.bands[0].reductionDelayMs;
}

std::string fieldName(const ParameterInfo& info, int band) {
    return info.perBand ? std::string(info.name) + "[" + std::to_string(band) + "]" : std::string(info.name);
}

// Checks the decoded values against their knobs. A value that is not a number (NaN or infinite)
// makes the whole file invalid: its name is returned and nothing may be applied. A finite value
// outside its knob's range is brought to the nearest limit and named in `clamped`.
std::string checkRanges(ParameterValues& v, StoredSettings& s, std::vector<std::string>& clamped) {
    for (const ParameterInfo& info : soundParameters()) {
        if (info.isSwitch) continue;
        for (int b = 0; b < (info.perBand ? kBandCount : 1); ++b) {
            if (!std::isfinite(*fieldOf(v, info, b))) return fieldName(info, b);
        }
    }
    if (!std::isfinite(v.settings.bassEqSampleRate)) return "bassEqSampleRate";
    if (!std::isfinite(v.params.spareC)) return "spareC";

    auto clamp = [&](auto& value, auto lo, auto hi, const std::string& name) {
        if (value >= lo && value <= hi) return;
        value = value < lo ? lo : hi;
        clamped.push_back(name);
    };
    for (const ParameterInfo& info : soundParameters()) {
        if (info.isSwitch) {
            clamp(v.settings.*info.switchField, 0, 1, info.name);
            continue;
        }
        for (int b = 0; b < (info.perBand ? kBandCount : 1); ++b) {
            clamp(*fieldOf(v, info, b), info.minValue, info.maxValue, fieldName(info, b));
        }
    }
    clamp(v.settings.bassEqSampleRate, 32000.0, 48000.0, "bassEqSampleRate");
    clamp(s.onAirRateChoice, uint16_t{0}, uint16_t{2}, "onAirRateChoice");
    clamp(s.exportOptions.throttleLevel, 0, 40, "throttleLevel");
    return {};
}

void writeText(uint8_t* image, int offset, const char* buffer, int size) { std::memcpy(image + offset, buffer, size); }

void refreshProcessor(Processor& p) {
    selectEnvelopeTimes(p);
    designBassEq(p);  // installs the same coefficients in both channels
    selectFinalLowpass(p);
}

// The defaults an older, shorter file yields for the fields it does not hold.
void storeDefaults(ParameterValues& p, StoredSettings& s) {
    ProcessorParams& r = p.params;
    ProcessorSettings& ps = p.settings;
    ExportOptions& e = s.exportOptions;
    ps.phaseShifterOn = 1;
    ps.bassEqOff = 0;
    ps.enhancerOn = 1;
    r.enhancerMode = 2.0;
    r.bassClipMode = 2.0;
    s.selectedOutputDevice = 0;
    s.selectedInputDevice = 0;
    s.onAirRateChoice = 1;
    ps.finalLowpass = 1.0;
    r.enhancerDelayMs = 10.0;
    ps.deEmphasisOn = 0;
    r.preEmphasis = 0.0;
    r.hfLimitThresholdDb = -15.0;
    r.hfLimitDepthDb = 24.0;
    r.spareC = -3.0;
    r.postClipDb = -0.5;
    r.agcSpeed = 4.0;
    p.bands[0].reductionDelayMs = 0.0;
    std::memset(e.albumPrefix, 0, sizeof e.albumPrefix);
    std::memset(e.titlePrefix, 0, sizeof e.titlePrefix);
    e.normalizeOnExport = 1;
    e.throttleOn = 0;
    e.throttleLevel = 10;
    s.useExternalEncoder = 0;
    std::memset(s.externalEncoderPath, 0, sizeof s.externalEncoderPath);
    std::memset(s.externalEncoderParams, 0, sizeof s.externalEncoderParams);
    r.bandAttackTime = 0.0;
    r.clipType = 0.0;
    ps.virtualSpeakerOn = 0;
    ps.speakerSpacingCm = 21.5;
    ps.roomDistanceM = 10.0;
    ps.reflectionPercent = 35.0;
    e.useOriginalFolder = 0;
    e.fileNameStringIsPostfix = 0;
    r.spareB = 0.0;
    std::memset(ps.presetDescription, 0, sizeof ps.presetDescription);
}

// Reads the fields of a file whose magic has been checked, in file order, with the corrections
// at the points where they fall.
void decodeFields(const FieldReader& in, ParameterValues& p, StoredSettings& s, bool currentSettingsFile) {
    ProcessorParams& r = p.params;
    ProcessorSettings& ps = p.settings;
    ExportOptions& e = s.exportOptions;

    for (int b = 0; b < kBandCount; ++b) {
        const int band = at::kBandTable + b * at::kBandStride;
        in.f64(band + 0, p.bands[b].depthDb);
        in.f64(band + 8, p.bands[b].driveDb);
        in.f64(band + 16, p.bands[b].outputDb);
        in.f64(band + 24, p.bands[b].thresholdDb);
        in.f64(band + 32, p.bands[b].clipDb);
    }
    in.f64(at::kAgcThresholdDb, r.agcThresholdDb);
    in.f64(at::kAgcDepthDb, r.agcDepthDb);
    in.f64(at::kEnhancerDepthDb, r.enhancerDepthDb);
    // kReservedA and the first enhancerDelayMs copy are not read.
    in.f64(at::kBassEqGainDb, ps.bassEqGainDb);
    in.f64(at::kBassEqFreqHz, ps.bassEqFreqHz);
    in.f64(at::kBassEqSampleRate, ps.bassEqSampleRate);
    in.f64(at::kBassEqQ, ps.bassEqQ);
    in.f64(at::kFinalClipDb, r.finalClipDb);
    in.f64(at::kBandReleaseTime, r.bandReleaseTime);
    if (r.bandReleaseTime == 0.0) r.bandReleaseTime = 1.0;
    in.f64(at::kSpareA, r.spareA);
    r.spareA = 0.0;
    in.i32(at::kPhaseShifterOn, ps.phaseShifterOn);
    in.i32(at::kBassEqOff, ps.bassEqOff);
    in.i32(at::kEnhancerOn, ps.enhancerOn);
    in.f64(at::kEnhancerMode, r.enhancerMode);
    in.f64(at::kBassClipMode, r.bassClipMode);
    in.u16InSlot(at::kSelectedOutputDevice, s.selectedOutputDevice);
    in.u16InSlot(at::kSelectedInputDevice, s.selectedInputDevice);
    in.u16InSlot(at::kOnAirRateChoice, s.onAirRateChoice);
    in.f64(at::kSpareB, r.spareB);
    in.text(at::kPresetDescription, ps.presetDescription, kDescriptionBytes, sizeof ps.presetDescription);
    in.f64(at::kFinalLowpass, ps.finalLowpass);
    in.f64(at::kEnhancerDelayMs, r.enhancerDelayMs);
    in.i32(at::kDeEmphasisOn, ps.deEmphasisOn);
    in.f64(at::kPreEmphasis, r.preEmphasis);
    in.f64(at::kHfLimitThresholdDb, r.hfLimitThresholdDb);
    in.f64(at::kHfLimitDepthDb, r.hfLimitDepthDb);
    in.f64(at::kSpareC, r.spareC);
    in.f64(at::kPostClipDb, r.postClipDb);
    in.f64(at::kAgcSpeed, r.agcSpeed);
    in.i32(at::kStartOnAirAtBoot, s.startOnAirAtBoot);
    in.i32(at::kBlockCount, s.blockCount);
    // The device engine keeps 8 block headers; a damaged count must not reach it.
    if (s.blockCount < 2 || s.blockCount > 8) s.blockCount = 4;
    in.f64(at::kReductionDelayMs, p.bands[0].reductionDelayMs);
    // Older files kept band 0's reduction delay at offset 896 in units of 5 ms; that value wins.
    if (r.spareB != 0.0) {
        p.bands[0].reductionDelayMs = 5.0 * r.spareB;
        r.spareB = 0.0;
    }
    in.i32(at::kExportFormat, e.exportFormat);
    in.i32(at::kMp3Bitrate, e.mp3Bitrate);
    if (e.mp3Bitrate < 1 || e.mp3Bitrate > 320) e.mp3Bitrate = 192;
    in.text(at::kAlbumPrefix, e.albumPrefix, kPrefixBytes, sizeof e.albumPrefix);
    in.text(at::kTitlePrefix, e.titlePrefix, kPrefixBytes, sizeof e.titlePrefix);
    in.i32(at::kNormalizeOnExport, e.normalizeOnExport);
    if (currentSettingsFile) {
        in.text(at::kFileNameString, e.fileNameString, kFileNameStringBytes, sizeof e.fileNameString);
    }
    in.i32(at::kThrottleOn, e.throttleOn);
    in.i32(at::kThrottleLevel, e.throttleLevel);
    in.i32(at::kUseExternalEncoder, s.useExternalEncoder);
    in.text(at::kExternalEncoderPath, s.externalEncoderPath, kEncoderTextBytes, sizeof s.externalEncoderPath);
    in.text(at::kExternalEncoderParams, s.externalEncoderParams, kEncoderTextBytes, sizeof s.externalEncoderParams);
    in.f64(at::kBandAttackTime, r.bandAttackTime);
    // Files from before the attack setting use the release time for both.
    if (r.bandAttackTime == 0.0) r.bandAttackTime = r.bandReleaseTime;
    in.f64(at::kClipType, r.clipType);
    in.i32(at::kVirtualSpeakerOn, ps.virtualSpeakerOn);
    in.f64(at::kSpeakerSpacingCm, ps.speakerSpacingCm);
    in.f64(at::kRoomDistanceM, ps.roomDistanceM);
    in.f64(at::kReflectionPercent, ps.reflectionPercent);
    in.i32(at::kUseOriginalFolder, e.useOriginalFolder);
    in.i32(at::kFileNameStringIsPostfix, e.fileNameStringIsPostfix);
    ps.channelMode = 1.0;
    if (currentSettingsFile) {
        in.i32(at::kGateOn, ps.gateOn);
        for (int b = 0; b < kBandCount; ++b) in.f64(at::kGateDb + 8 * b, p.bands[b].gateDb);
    }
}

}  // namespace

std::string ParameterFilePath(const std::string& fileName, const std::string& startupFolder) {
    if (!fileName.empty()) return fileName;
    std::string path = startupFolder;
    if (path.empty() || path.back() != '/') path += '/';
    path += kCurrentSettingsFileName;
    return path;
}

ParameterLoadOutcome LoadParameterFileAt(Processor& p, StoredSettings& stored, const std::string& path,
                                         bool currentSettingsFile, Host& host) {
    ParameterLoadOutcome outcome;
    uint8_t image[kParameterFileBytes] = {};
    int length = 0;
    {
        const FileHandle file = OpenFile(path.c_str(), "rb");
        if (!file) {
            refreshProcessor(p);
            return outcome;
        }
        while (length < kParameterFileBytes) {
            const std::size_t n = std::fread(image + length, 1, kParameterFileBytes - length, file.get());
            if (n == 0) break;
            length += static_cast<int>(n);
        }
    }
    if (length < 8 || std::memcmp(image + at::kMagic, kParameterFileMagic, 8) != 0) {
        host.beep();
        outcome.status = ParameterLoadStatus::WrongMagic;
        return outcome;
    }
    ParameterValues values;
    std::copy(std::begin(p.bands), std::end(p.bands), values.bands);
    values.params = p.params;
    values.settings = p.settings;
    StoredSettings decoded = stored;
    storeDefaults(values, decoded);
    decodeFields(FieldReader{image, length}, values, decoded, currentSettingsFile);
    outcome.invalidField = checkRanges(values, decoded, outcome.clampedFields);
    if (!outcome.invalidField.empty()) {
        host.beep();
        outcome.status = ParameterLoadStatus::InvalidValue;
        outcome.clampedFields.clear();
        return outcome;
    }
    std::copy(std::begin(values.bands), std::end(values.bands), p.bands);
    p.params = values.params;
    p.settings = values.settings;
    stored = decoded;
    refreshProcessor(p);
    outcome.status = ParameterLoadStatus::Loaded;
    outcome.fileBytes = length;
    return outcome;
}

ParameterLoadOutcome LoadParameterFile(Processor& p, StoredSettings& stored, const std::string& fileName,
                                       const std::string& startupFolder, Host& host) {
    return LoadParameterFileAt(p, stored, ParameterFilePath(fileName, startupFolder), fileName.empty(), host);
}

void EncodeParameterFile(Processor& p, const StoredSettings& s, uint8_t (&image)[kParameterFileBytes]) {
    ProcessorParams& r = p.params;
    const ProcessorSettings& ps = p.settings;
    const ExportOptions& e = s.exportOptions;
    r.spareB = 0.0;

    std::memset(image, 0, sizeof image);  // the reserved slots and the high halves of the u16 slots
    std::memcpy(image + at::kMagic, kParameterFileMagic, 8);
    for (int b = 0; b < kBandCount; ++b) {
        uint8_t* band = image + at::kBandTable + b * at::kBandStride;
        bytes::putF64(band + 0, p.bands[b].depthDb);
        bytes::putF64(band + 8, p.bands[b].driveDb);
        bytes::putF64(band + 16, p.bands[b].outputDb);
        bytes::putF64(band + 24, p.bands[b].thresholdDb);
        bytes::putF64(band + 32, p.bands[b].clipDb);
    }
    bytes::putF64(image + at::kAgcThresholdDb, r.agcThresholdDb);
    bytes::putF64(image + at::kAgcDepthDb, r.agcDepthDb);
    bytes::putF64(image + at::kEnhancerDepthDb, r.enhancerDepthDb);
    bytes::putF64(image + at::kEnhancerDelayFirstCopy, r.enhancerDelayMs);
    bytes::putF64(image + at::kBassEqGainDb, ps.bassEqGainDb);
    bytes::putF64(image + at::kBassEqFreqHz, ps.bassEqFreqHz);
    bytes::putF64(image + at::kBassEqSampleRate, ps.bassEqSampleRate);
    bytes::putF64(image + at::kBassEqQ, ps.bassEqQ);
    bytes::putF64(image + at::kFinalClipDb, r.finalClipDb);
    bytes::putI32(image + at::kReservedB, 0);
    bytes::putF64(image + at::kBandReleaseTime, r.bandReleaseTime);
    bytes::putF64(image + at::kSpareA, r.spareA);
    bytes::putI32(image + at::kPhaseShifterOn, ps.phaseShifterOn);
    bytes::putI32(image + at::kBassEqOff, ps.bassEqOff);
    bytes::putI32(image + at::kEnhancerOn, ps.enhancerOn);
    bytes::putF64(image + at::kEnhancerMode, r.enhancerMode);
    bytes::putF64(image + at::kBassClipMode, r.bassClipMode);
    bytes::putU16(image + at::kSelectedOutputDevice, s.selectedOutputDevice);
    bytes::putU16(image + at::kSelectedInputDevice, s.selectedInputDevice);
    bytes::putU16(image + at::kOnAirRateChoice, s.onAirRateChoice);
    bytes::putI32(image + at::kReservedD, 0);
    bytes::putF64(image + at::kSpareB, r.spareB);
    writeText(image, at::kPresetDescription, ps.presetDescription, kDescriptionBytes);
    bytes::putF64(image + at::kFinalLowpass, ps.finalLowpass);
    bytes::putF64(image + at::kEnhancerDelayMs, r.enhancerDelayMs);
    bytes::putI32(image + at::kDeEmphasisOn, ps.deEmphasisOn);
    bytes::putF64(image + at::kPreEmphasis, r.preEmphasis);
    bytes::putF64(image + at::kHfLimitThresholdDb, r.hfLimitThresholdDb);
    bytes::putF64(image + at::kHfLimitDepthDb, r.hfLimitDepthDb);
    bytes::putF64(image + at::kSpareC, r.spareC);
    bytes::putF64(image + at::kPostClipDb, r.postClipDb);
    bytes::putF64(image + at::kAgcSpeed, r.agcSpeed);
    bytes::putI32(image + at::kStartOnAirAtBoot, s.startOnAirAtBoot);
    bytes::putI32(image + at::kBlockCount, s.blockCount);
    bytes::putF64(image + at::kReductionDelayMs, p.bands[0].reductionDelayMs);
    bytes::putI32(image + at::kExportFormat, e.exportFormat);
    bytes::putI32(image + at::kMp3Bitrate, e.mp3Bitrate);
    writeText(image, at::kAlbumPrefix, e.albumPrefix, kPrefixBytes);
    writeText(image, at::kTitlePrefix, e.titlePrefix, kPrefixBytes);
    bytes::putI32(image + at::kNormalizeOnExport, e.normalizeOnExport);
    writeText(image, at::kFileNameString, e.fileNameString, kFileNameStringBytes);
    bytes::putI32(image + at::kThrottleOn, e.throttleOn);
    bytes::putI32(image + at::kThrottleLevel, e.throttleLevel);
    bytes::putI32(image + at::kUseExternalEncoder, s.useExternalEncoder);
    writeText(image, at::kExternalEncoderPath, s.externalEncoderPath, kEncoderTextBytes);
    writeText(image, at::kExternalEncoderParams, s.externalEncoderParams, kEncoderTextBytes);
    bytes::putF64(image + at::kBandAttackTime, r.bandAttackTime);
    bytes::putF64(image + at::kClipType, r.clipType);
    bytes::putI32(image + at::kVirtualSpeakerOn, ps.virtualSpeakerOn);
    bytes::putF64(image + at::kSpeakerSpacingCm, ps.speakerSpacingCm);
    bytes::putF64(image + at::kRoomDistanceM, ps.roomDistanceM);
    bytes::putF64(image + at::kReflectionPercent, ps.reflectionPercent);
    bytes::putI32(image + at::kUseOriginalFolder, e.useOriginalFolder);
    bytes::putI32(image + at::kFileNameStringIsPostfix, e.fileNameStringIsPostfix);
    bytes::putI32(image + at::kGateOn, ps.gateOn);
    for (int b = 0; b < kBandCount; ++b) bytes::putF64(image + at::kGateDb + 8 * b, p.bands[b].gateDb);
}

bool SaveParameterFile(Processor& p, const StoredSettings& stored, const std::string& fileName,
                       const std::string& startupFolder, std::string& error) {
    uint8_t image[kParameterFileBytes];
    EncodeParameterFile(p, stored, image);
    return ReplaceFileContents(ParameterFilePath(fileName, startupFolder), image, sizeof image, error);
}

}  // namespace loudara
