#include "persistence/parameter_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/byte_io.h"
#include "files/safe_write.h"
#include "files/wav_file.h"
#include "processor/parameter_names.h"

namespace loudara {
namespace {

// The file is a plain sequence of fields with no padding; older, shorter files simply end early.
// Besides the named fields (the sound parameters' and storedFields()) it holds the magic, a
// first copy of enhancerDelayMs that is written but never read, and reserved slots of zeros
// (272: 256 bytes, 576: 4 bytes, 628: 256 bytes, 892: 4 bytes).
constexpr int kMagicOffset = 0;
constexpr int kEnhancerDelayFirstCopy = 528;

constexpr int kDescriptionBytes = 63;
constexpr int kPrefixBytes = 32;
constexpr int kFileNameStringBytes = 136;
static_assert(sizeof(ExportOptions::albumPrefix) == kPrefixBytes);
static_assert(sizeof(ExportOptions::titlePrefix) == kPrefixBytes);
static_assert(sizeof(ExportOptions::fileNameString) == kFileNameStringBytes);
static_assert(sizeof(ProcessorSettings::presetDescription) == kDescriptionBytes + 1);

constexpr std::optional<double> kKeep;  // a file too short to hold the value leaves it as it was

using Place = void* (*)(StoredParts&);
constexpr StoredField number(const char* name, int offset, StoredType type, Place place,
                             std::optional<double> whenAbsent, double lo, double hi) {
    return {name, offset, type, place, 0, 0, false, whenAbsent, true, lo, hi};
}
constexpr StoredField f64(const char* name, int offset, Place place, std::optional<double> whenAbsent, double lo,
                          double hi) {
    return number(name, offset, StoredType::F64, place, whenAbsent, lo, hi);
}
constexpr StoredField i32(const char* name, int offset, Place place, std::optional<double> whenAbsent, double lo,
                          double hi) {
    return number(name, offset, StoredType::I32, place, whenAbsent, lo, hi);
}
constexpr StoredField u16(const char* name, int offset, Place place, std::optional<double> whenAbsent, double lo,
                          double hi) {
    return number(name, offset, StoredType::U16InSlot, place, whenAbsent, lo, hi);
}
// A spare value: stored, but not set by name.
constexpr StoredField spare(const char* name, int offset, Place place, std::optional<double> whenAbsent) {
    StoredField f = f64(name, offset, place, whenAbsent, 0, 0);
    f.settable = false;
    return f;
}
// A text that a file too short to hold it empties; set by name with at most `longest` bytes.
constexpr StoredField text(const char* name, int offset, Place place, int textBytes, int room, int longest) {
    return {name, offset, StoredType::Text, place, textBytes, room, false, 0, true, 0, double(longest)};
}
constexpr StoredField currentSettingsOnly(StoredField f) {
    f.currentSettingsOnly = true;
    f.whenAbsent = kKeep;
    return f;
}

#define LOUDARA_AT(member) [](StoredParts& x) -> void* { return &x.member; }
#define LOUDARA_EXPORT(member) [](StoredParts& x) -> void* { return &x.stored.exportOptions.member; }
constexpr StoredField kStoredFields[] = {
    //  name                       offset  place                                        absent  by name
    f64("bassEqSampleRate",           552, LOUDARA_AT(settings.bassEqSampleRate),       kKeep, 32000, 48000),
    spare("spareA",                   588, LOUDARA_AT(params.spareA),                   kKeep),
    u16("selectedOutputDevice",       624, LOUDARA_AT(stored.selectedOutputDevice),         0, 0, 7),
    u16("selectedInputDevice",        884, LOUDARA_AT(stored.selectedInputDevice),          0, 0, 7),
    u16("onAirRateChoice",            888, LOUDARA_AT(stored.onAirRateChoice),              1, 0, 2),
    spare("spareB",                   896, LOUDARA_AT(params.spareB),                       0),
    text("presetDescription",         904, LOUDARA_AT(settings.presetDescription),
         kDescriptionBytes, kDescriptionBytes + 1, kDescriptionBytes),
    f64("spareC",                    1011, LOUDARA_AT(params.spareC),                      -3, -1e9, 1e9),
    i32("startOnAirAtBoot",          1035, LOUDARA_AT(stored.startOnAirAtBoot),         kKeep, 0, 1),
    i32("blockCount",                1039, LOUDARA_AT(stored.blockCount),               kKeep, 2, 8),
    i32("exportFormat",              1051, LOUDARA_EXPORT(exportFormat),                kKeep, 0, 1),
    i32("mp3Bitrate",                1055, LOUDARA_EXPORT(mp3Bitrate),                  kKeep, 1, 320),
    text("albumPrefix",              1059, LOUDARA_EXPORT(albumPrefix), kPrefixBytes, kPrefixBytes, kPrefixBytes - 1),
    text("titlePrefix",              1091, LOUDARA_EXPORT(titlePrefix), kPrefixBytes, kPrefixBytes, kPrefixBytes - 1),
    i32("normalizeOnExport",         1123, LOUDARA_EXPORT(normalizeOnExport),               1, 0, 1),
    currentSettingsOnly(
    text("fileNameString",           1127, LOUDARA_EXPORT(fileNameString),
         kFileNameStringBytes, kFileNameStringBytes, kFileNameStringBytes - 1)),
    i32("throttleOn",                1263, LOUDARA_EXPORT(throttleOn),                      0, 0, 1),
    i32("throttleLevel",             1267, LOUDARA_EXPORT(throttleLevel),                  10, 1, 40),
    i32("useExternalEncoder",        1271, LOUDARA_AT(stored.useExternalEncoder),           0, 0, 1),
    // The encoder dialog takes at most 257 characters.
    text("externalEncoderPath",      1275, LOUDARA_AT(stored.externalEncoderPath),
         kEncoderTextBytes, kEncoderTextBytes, 257),
    text("externalEncoderParams",    1535, LOUDARA_AT(stored.externalEncoderParams),
         kEncoderTextBytes, kEncoderTextBytes, 257),
    i32("useOriginalFolder",         1839, LOUDARA_EXPORT(useOriginalFolder),               0, 0, 1),
    i32("fileNameStringIsPostfix",   1843, LOUDARA_EXPORT(fileNameStringIsPostfix),         0, 0, 1),
};
#undef LOUDARA_AT
#undef LOUDARA_EXPORT

constexpr int bytesOf(const StoredField& f) {
    return f.type == StoredType::Text ? f.textBytes : f.type == StoredType::F64 ? 8 : 4;
}

// In file order, apart from each other and within the file.
constexpr bool storedFieldsInOrder() {
    int end = 8 + kBandCount * 40;  // the magic and the band table
    for (const StoredField& f : kStoredFields) {
        if (f.offset < end) return false;
        end = f.offset + bytesOf(f);
    }
    return end <= kParameterFileBytes;
}
static_assert(storedFieldsInOrder());

// A field is taken only when the file holds all of its bytes; otherwise it takes the value a
// short file gives it where it has one, or the live value stays.
struct FieldReader {
    const uint8_t* image;
    int length;

    bool has(int offset, int size) const { return offset + size <= length; }
};

// The sound parameters a file is decoded into before any of them reaches the live values.
struct ParameterValues {
    BandSettings bands[kBandCount];
    ProcessorParams params;
    ProcessorSettings settings;
};

// Checks the decoded values against their knobs. A value that is not a number (NaN or infinite)
// makes the whole file invalid: its name is returned and nothing may be applied. A finite value
// outside its knob's range is brought to the nearest limit and named in `clamped`.
std::string checkRanges(ParameterValues& v, StoredSettings& s, std::vector<std::string>& clamped) {
    for (const ParameterInfo& info : soundParameters()) {
        if (info.isSwitch) continue;
        for (int b = 0; b < bandsOf(info); ++b) {
            if (!std::isfinite(parameterValue(v, info, b))) return parameterName(info, b);
        }
    }
    StoredParts parts{v.params, v.settings, s};
    for (const StoredField& f : kStoredFields) {
        if (f.type == StoredType::F64 && !std::isfinite(*static_cast<double*>(f.place(parts)))) return f.name;
    }

    auto clamp = [&](auto& value, auto lo, auto hi, const std::string& name) {
        if (value >= lo && value <= hi) return;
        value = value < lo ? lo : hi;
        clamped.push_back(name);
    };
    for (const ParameterInfo& info : soundParameters()) {
        for (int b = 0; b < bandsOf(info); ++b) {
            double value = parameterValue(v, info, b);
            clamp(value, info.minValue, info.maxValue, parameterName(info, b));
            setParameterValue(v, info, b, value);
        }
    }
    clamp(v.settings.bassEqSampleRate, 32000.0, 48000.0, "bassEqSampleRate");
    clamp(s.onAirRateChoice, uint16_t{0}, uint16_t{2}, "onAirRateChoice");
    clamp(s.exportOptions.throttleLevel, 0, 40, "throttleLevel");
    return {};
}

void refreshProcessor(Processor& p) {
    selectEnvelopeTimes(p);
    designBassEq(p);  // installs the same coefficients in both channels
    selectFinalLowpass(p);
}

void readStoredField(const FieldReader& in, const StoredField& f, void* place) {
    if (!in.has(f.offset, bytesOf(f))) {
        if (!f.whenAbsent) return;
        switch (f.type) {
            case StoredType::F64: *static_cast<double*>(place) = *f.whenAbsent; break;
            case StoredType::I32: *static_cast<int32_t*>(place) = static_cast<int32_t>(*f.whenAbsent); break;
            case StoredType::U16InSlot: *static_cast<uint16_t*>(place) = static_cast<uint16_t>(*f.whenAbsent); break;
            case StoredType::Text: std::memset(place, 0, f.room); break;
        }
        return;
    }
    const uint8_t* at = in.image + f.offset;
    switch (f.type) {
        case StoredType::F64: *static_cast<double*>(place) = bytes::getF64(at); break;
        case StoredType::I32: *static_cast<int32_t*>(place) = bytes::getI32(at); break;
        case StoredType::U16InSlot: *static_cast<uint16_t*>(place) = bytes::getU16(at); break;
        case StoredType::Text:
            std::memcpy(place, at, f.textBytes);
            static_cast<char*>(place)[f.room - 1] = '\0';  // a text filled to its end still ends
            break;
    }
}

void writeStoredField(uint8_t* image, const StoredField& f, const void* place) {
    uint8_t* at = image + f.offset;
    switch (f.type) {
        case StoredType::F64: bytes::putF64(at, *static_cast<const double*>(place)); break;
        case StoredType::I32: bytes::putI32(at, *static_cast<const int32_t*>(place)); break;
        case StoredType::U16InSlot: bytes::putU16(at, *static_cast<const uint16_t*>(place)); break;
        case StoredType::Text: std::memcpy(at, place, f.textBytes); break;
    }
}

// Reads the fields of a file whose magic has been checked; a field the file is too short for
// takes its default where it has one. Then the corrections of stored values.
void decodeFields(const FieldReader& in, ParameterValues& v, StoredSettings& s, bool currentSettingsFile) {
    for (const ParameterInfo& info : soundParameters()) {
        if (info.fileOffset < 0 || (info.currentSettingsOnly && !currentSettingsFile)) continue;
        for (int b = 0; b < bandsOf(info); ++b) {
            const int at = fileOffsetOf(info, b);
            if (in.has(at, storedBytes(info))) {
                const uint8_t* data = in.image + at;
                setParameterValue(v, info, b, info.isSwitch ? bytes::getI32(data) : bytes::getF64(data));
            } else if (info.whenAbsent) {
                setParameterValue(v, info, b, *info.whenAbsent);
            }
        }
    }
    StoredParts parts{v.params, v.settings, s};
    for (const StoredField& f : kStoredFields) {
        if (!f.currentSettingsOnly || currentSettingsFile) readStoredField(in, f, f.place(parts));
    }

    ProcessorParams& r = v.params;
    ExportOptions& e = s.exportOptions;
    if (r.bandReleaseTime == 0.0) r.bandReleaseTime = 1.0;
    r.spareA = 0.0;
    // The device engine keeps 8 block headers; a damaged count must not reach it.
    if (s.blockCount < 2 || s.blockCount > 8) s.blockCount = 4;
    // Older files kept band 0's reduction delay at offset 896 in units of 5 ms; that value wins.
    if (r.spareB != 0.0) {
        v.bands[0].reductionDelayMs = 5.0 * r.spareB;
        r.spareB = 0.0;
    }
    if (e.mp3Bitrate < 1 || e.mp3Bitrate > 320) e.mp3Bitrate = 192;
    // Files from before the attack setting use the release time for both.
    if (r.bandAttackTime == 0.0) r.bandAttackTime = r.bandReleaseTime;
    v.settings.channelMode = 1.0;
}

}  // namespace

bool SameExternalEncoder(const StoredSettings& a, const StoredSettings& b) {
    return a.useExternalEncoder == b.useExternalEncoder &&
           std::strncmp(a.externalEncoderPath, b.externalEncoderPath, kEncoderTextBytes) == 0 &&
           std::strncmp(a.externalEncoderParams, b.externalEncoderParams, kEncoderTextBytes) == 0;
}

void CopyExternalEncoder(const StoredSettings& from, StoredSettings& to) {
    to.useExternalEncoder = from.useExternalEncoder;
    std::memcpy(to.externalEncoderPath, from.externalEncoderPath, kEncoderTextBytes);
    std::memcpy(to.externalEncoderParams, from.externalEncoderParams, kEncoderTextBytes);
}

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
    if (length < 8 || std::memcmp(image + kMagicOffset, kParameterFileMagic, 8) != 0) {
        host.beep();
        outcome.status = ParameterLoadStatus::WrongMagic;
        return outcome;
    }
    ParameterValues values;
    std::copy(std::begin(p.bands), std::end(p.bands), values.bands);
    values.params = p.params;
    values.settings = p.settings;
    StoredSettings decoded = stored;
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

std::span<const StoredField> storedFields() { return kStoredFields; }

std::vector<FileField> fieldsInFileOrder() {
    std::vector<FileField> fields;
    for (const ParameterInfo& info : soundParameters()) {
        if (info.fileOffset < 0) continue;
        for (int b = 0; b < bandsOf(info); ++b) fields.push_back({fileOffsetOf(info, b), &info, b, nullptr});
    }
    for (const StoredField& f : kStoredFields) fields.push_back({f.offset, nullptr, 0, &f});
    std::sort(fields.begin(), fields.end(), [](const FileField& a, const FileField& b) { return a.offset < b.offset; });
    return fields;
}

void EncodeParameterFile(Processor& p, const StoredSettings& s, uint8_t (&image)[kParameterFileBytes]) {
    p.params.spareB = 0.0;
    std::memset(image, 0, sizeof image);  // the reserved slots and the high halves of the u16 slots
    std::memcpy(image + kMagicOffset, kParameterFileMagic, 8);
    for (const ParameterInfo& info : soundParameters()) {
        if (info.fileOffset < 0) continue;
        for (int b = 0; b < bandsOf(info); ++b) {
            uint8_t* at = image + fileOffsetOf(info, b);
            const double value = parameterValue(p, info, b);
            if (info.isSwitch) {
                bytes::putI32(at, static_cast<int32_t>(value));
            } else {
                bytes::putF64(at, value);
            }
        }
    }
    bytes::putF64(image + kEnhancerDelayFirstCopy, p.params.enhancerDelayMs);
    StoredSettings stored = s;
    StoredParts parts{p.params, p.settings, stored};
    for (const StoredField& f : kStoredFields) writeStoredField(image, f, f.place(parts));
}

bool SaveParameterFile(Processor& p, const StoredSettings& stored, const std::string& fileName,
                       const std::string& startupFolder, std::string& error) {
    uint8_t image[kParameterFileBytes];
    EncodeParameterFile(p, stored, image);
    return ReplaceFileContents(ParameterFilePath(fileName, startupFolder), image, sizeof image, error);
}

}  // namespace loudara
