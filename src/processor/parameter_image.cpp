#include "parameter_image.h"

#include <cmath>
#include <cstring>

#include "parameter_names.h"

namespace loudara {

namespace {

constexpr int kSpareBOffset = 896;  // older files: band 0's reduction delay in units of 5 ms
// The other numbers of the file (the bass EQ's rate and the spares): not sound parameters, but a
// file where one is no number is damaged and refused as a whole.
constexpr int kOtherNumberOffsets[] = {552, 588, kSpareBOffset, 1011};

uint32_t u32At(const uint8_t* at) { return at[0] | at[1] << 8 | at[2] << 16 | uint32_t{at[3]} << 24; }
double f64At(const uint8_t* at) {
    const uint64_t bits = u32At(at) | uint64_t{u32At(at + 4)} << 32;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

ParameterImageStatus readSoundParameterImage(const uint8_t* image, int length, SoundParameterRows& rows) {
    if (length > kParameterImageBytes) length = kParameterImageBytes;
    if (length < 8 || std::memcmp(image, kParameterImageMagic, 8) != 0) return ParameterImageStatus::WrongMagic;
    SoundParameterRows v = rows;
    auto has = [length](int offset, int size) { return offset + size <= length; };
    for (const ParameterInfo& info : soundParameters()) {
        if (info.fileOffset < 0 || info.currentSettingsOnly) continue;
        for (int b = 0; b < bandsOf(info); ++b) {
            const int at = fileOffsetOf(info, b);
            if (has(at, storedBytes(info))) {
                setParameterValue(v, info, b,
                                  info.isSwitch ? double(int32_t(u32At(image + at))) : f64At(image + at));
            } else if (info.whenAbsent) {
                setParameterValue(v, info, b, *info.whenAbsent);
            }
        }
    }
    const double spareB = has(kSpareBOffset, 8) ? f64At(image + kSpareBOffset) : 0.0;

    ProcessorParams& r = v.params;
    if (r.bandReleaseTime == 0.0) r.bandReleaseTime = 1.0;
    if (spareB != 0.0 && std::isfinite(spareB)) v.bands[0].reductionDelayMs = 5.0 * spareB;
    if (r.bandAttackTime == 0.0) r.bandAttackTime = r.bandReleaseTime;
    v.settings.channelMode = 1.0;

    for (const ParameterInfo& info : soundParameters()) {
        for (int b = 0; b < bandsOf(info); ++b) {
            const double value = parameterValue(v, info, b);
            if (!info.isSwitch && !std::isfinite(value)) return ParameterImageStatus::InvalidValue;
            if (value < info.minValue) setParameterValue(v, info, b, info.minValue);
            if (value > info.maxValue) setParameterValue(v, info, b, info.maxValue);
        }
    }
    for (const int at : kOtherNumberOffsets) {
        if (has(at, 8) && !std::isfinite(f64At(image + at))) return ParameterImageStatus::InvalidValue;
    }
    rows = v;
    return ParameterImageStatus::Loaded;
}

}  // namespace loudara
