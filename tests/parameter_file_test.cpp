// Parameter files: every byte against the layout, the corrections, short and foreign files.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <bit>
#include <csignal>
#include <cstring>
#include <memory>

#include "persistence/parameter_file.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

// One value for every field the file carries, all different, so a swapped or shifted field shows.
struct FieldValues {
    double depth[6] = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5};
    double drive[6] = {10.1, 11.1, 12.1, 13.1, 14.1, 15.1};
    double output[6] = {-0.25, -1.25, -2.25, -3.25, -4.25, 1.75};
    double threshold[6] = {-20.5, -21.5, -22.5, -23.5, -24.5, -25.5};
    double clip[6] = {-1.1, -2.2, -3.3, -4.4, -5.5, 0.6};
    double agcThresholdDb = -27.3, agcDepthDb = 19.7, enhancerDepthDb = -33.1, enhancerDelayMs = 23;
    double bassEqGainDb = 7.5, bassEqFreqHz = 115, bassEqSampleRate = 48000, bassEqQ = 0.7;
    double finalClipDb = -2.9, bandReleaseTime = 3, spareA = 0;
    int32_t phaseShifterOn = 0, bassEqOff = 1, enhancerOn = 0;
    double enhancerMode = 5, bassClipMode = 1;
    uint16_t outputDevice = 5, inputDevice = 6, onAirRate = 2;
    const char* description = "A description of the stored sound";
    double finalLowpass = 4;
    int32_t deEmphasisOn = 1;
    double preEmphasis = 1, hfLimitThresholdDb = -11.5, hfLimitDepthDb = 31.5, spareC = -7.25, postClipDb = 2.5,
           agcSpeed = 2;
    int32_t startOnAirAtBoot = 1, blockCount = 7;
    double reductionDelayMs = 66;
    int32_t exportFormat = 0, mp3Bitrate = 256;
    const char* albumPrefix = "[LDR] ";
    const char* titlePrefix = "(processed) ";
    int32_t normalizeOnExport = 0;
    const char* fileNameString = "_loud";
    int32_t throttleOn = 1, throttleLevel = 33, useExternalEncoder = 1;
    const char* encoderPath = "/usr/bin/lame";
    const char* encoderParams = "-b 320 %1 %2";
    double bandAttackTime = 5, clipType = 1;
    int32_t virtualSpeakerOn = 1;
    double speakerSpacingCm = 12.5, roomDistanceM = 21.5, reflectionPercent = 64;
    int32_t useOriginalFolder = 1, fileNameStringIsPostfix = 1, gateOn = 1;
    double gate[6] = {-40.5, -41.5, -42.5, -43.5, -44.5, -58};
};

void apply(const FieldValues& v, Processor& p, StoredSettings& s) {
    for (int b = 0; b < 6; ++b) {
        p.bands[b].depthDb = v.depth[b];
        p.bands[b].driveDb = v.drive[b];
        p.bands[b].outputDb = v.output[b];
        p.bands[b].thresholdDb = v.threshold[b];
        p.bands[b].clipDb = v.clip[b];
        p.bands[b].gateDb = v.gate[b];
    }
    ProcessorParams& r = p.params;
    ProcessorSettings& ps = p.settings;
    ExportOptions& e = s.exportOptions;
    r.agcThresholdDb = v.agcThresholdDb;
    r.agcDepthDb = v.agcDepthDb;
    r.enhancerDepthDb = v.enhancerDepthDb;
    r.enhancerDelayMs = v.enhancerDelayMs;
    ps.bassEqGainDb = v.bassEqGainDb;
    ps.bassEqFreqHz = v.bassEqFreqHz;
    ps.bassEqSampleRate = v.bassEqSampleRate;
    ps.bassEqQ = v.bassEqQ;
    r.finalClipDb = v.finalClipDb;
    r.bandReleaseTime = v.bandReleaseTime;
    r.spareA = v.spareA;
    ps.phaseShifterOn = v.phaseShifterOn;
    ps.bassEqOff = v.bassEqOff;
    ps.enhancerOn = v.enhancerOn;
    r.enhancerMode = v.enhancerMode;
    r.bassClipMode = v.bassClipMode;
    s.selectedOutputDevice = v.outputDevice;
    s.selectedInputDevice = v.inputDevice;
    s.onAirRateChoice = v.onAirRate;
    r.spareB = 9;  // the writer stores 0.0 whatever this holds
    // Text buffers are written whole, bytes after the NUL included: start them clean.
    std::memset(ps.presetDescription, 0, sizeof ps.presetDescription);
    std::snprintf(ps.presetDescription, sizeof ps.presetDescription, "%s", v.description);
    ps.finalLowpass = v.finalLowpass;
    ps.deEmphasisOn = v.deEmphasisOn;
    r.preEmphasis = v.preEmphasis;
    r.hfLimitThresholdDb = v.hfLimitThresholdDb;
    r.hfLimitDepthDb = v.hfLimitDepthDb;
    r.spareC = v.spareC;
    r.postClipDb = v.postClipDb;
    r.agcSpeed = v.agcSpeed;
    s.startOnAirAtBoot = v.startOnAirAtBoot;
    s.blockCount = v.blockCount;
    p.bands[0].reductionDelayMs = v.reductionDelayMs;
    e.exportFormat = v.exportFormat;
    e.mp3Bitrate = v.mp3Bitrate;
    std::snprintf(e.albumPrefix, sizeof e.albumPrefix, "%s", v.albumPrefix);
    std::snprintf(e.titlePrefix, sizeof e.titlePrefix, "%s", v.titlePrefix);
    e.normalizeOnExport = v.normalizeOnExport;
    std::memset(e.fileNameString, 0, sizeof e.fileNameString);
    std::snprintf(e.fileNameString, sizeof e.fileNameString, "%s", v.fileNameString);
    e.throttleOn = v.throttleOn;
    e.throttleLevel = v.throttleLevel;
    s.useExternalEncoder = v.useExternalEncoder;
    std::snprintf(s.externalEncoderPath, sizeof s.externalEncoderPath, "%s", v.encoderPath);
    std::snprintf(s.externalEncoderParams, sizeof s.externalEncoderParams, "%s", v.encoderParams);
    r.bandAttackTime = v.bandAttackTime;
    r.clipType = v.clipType;
    ps.virtualSpeakerOn = v.virtualSpeakerOn;
    ps.speakerSpacingCm = v.speakerSpacingCm;
    ps.roomDistanceM = v.roomDistanceM;
    ps.reflectionPercent = v.reflectionPercent;
    e.useOriginalFolder = v.useOriginalFolder;
    e.fileNameStringIsPostfix = v.fileNameStringIsPostfix;
    ps.gateOn = v.gateOn;
}

// The file, appended field after field in the order of the layout table.
struct Layout {
    ByteVector data;
    Layout& u16(uint32_t v) {
        data.push_back(v & 0xFF);
        data.push_back((v >> 8) & 0xFF);
        return *this;
    }
    Layout& i32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        return u16(u & 0xFFFF).u16(u >> 16);
    }
    Layout& f64(double v) {
        const uint64_t bits = std::bit_cast<uint64_t>(v);
        return i32(static_cast<int32_t>(bits)).i32(static_cast<int32_t>(bits >> 32));
    }
    Layout& zeros(size_t n) {
        data.insert(data.end(), n, 0);
        return *this;
    }
    Layout& text(std::string_view s) {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    // A NUL-terminated text in a field of `size` bytes, zeros after it.
    Layout& field(const char* s, size_t size) {
        const size_t n = std::strlen(s);
        text(std::string_view(s, n));
        return zeros(size - n);
    }
};

ByteVector layoutOf(const FieldValues& v) {
    Layout l;
    l.text("LDR0ERSP");
    for (int b = 0; b < 6; ++b) l.f64(v.depth[b]).f64(v.drive[b]).f64(v.output[b]).f64(v.threshold[b]).f64(v.clip[b]);
    l.f64(v.agcThresholdDb).f64(v.agcDepthDb).f64(v.enhancerDepthDb);
    l.zeros(256);
    l.f64(v.enhancerDelayMs);
    l.f64(v.bassEqGainDb).f64(v.bassEqFreqHz).f64(v.bassEqSampleRate).f64(v.bassEqQ);
    l.f64(v.finalClipDb).i32(0).f64(v.bandReleaseTime).f64(v.spareA);
    l.i32(v.phaseShifterOn).i32(v.bassEqOff).i32(v.enhancerOn).f64(v.enhancerMode).f64(v.bassClipMode);
    l.u16(v.outputDevice).u16(0).zeros(256).u16(v.inputDevice).u16(0).u16(v.onAirRate).u16(0).i32(0);
    l.f64(0.0).field(v.description, 63);
    l.f64(v.finalLowpass).f64(v.enhancerDelayMs).i32(v.deEmphasisOn).f64(v.preEmphasis);
    l.f64(v.hfLimitThresholdDb).f64(v.hfLimitDepthDb).f64(v.spareC).f64(v.postClipDb).f64(v.agcSpeed);
    l.i32(v.startOnAirAtBoot).i32(v.blockCount).f64(v.reductionDelayMs);
    l.i32(v.exportFormat).i32(v.mp3Bitrate).field(v.albumPrefix, 32).field(v.titlePrefix, 32);
    l.i32(v.normalizeOnExport).field(v.fileNameString, 136).i32(v.throttleOn).i32(v.throttleLevel);
    l.i32(v.useExternalEncoder).field(v.encoderPath, 260).field(v.encoderParams, 260);
    l.f64(v.bandAttackTime).f64(v.clipType).i32(v.virtualSpeakerOn);
    l.f64(v.speakerSpacingCm).f64(v.roomDistanceM).f64(v.reflectionPercent);
    l.i32(v.useOriginalFolder).i32(v.fileNameStringIsPostfix).i32(v.gateOn);
    for (double g : v.gate) l.f64(g);
    return l.data;
}

// Little-endian patches of a file image.
void putF64(ByteVector& file, size_t offset, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) file[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
}
void putI32(ByteVector& file, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}
double getF64(const ByteVector& file, size_t offset) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | file[offset + i];
    return std::bit_cast<double>(bits);
}

class ParameterFileTest : public TempFolder {
protected:
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    StoredSettings stored;
    RecordingHost host;

    ParameterLoadOutcome load(const std::string& path) {
        return LoadParameterFile(*p, stored, path, folder.string(), host);
    }
    void save(const std::string& path) {
        std::string error;
        ASSERT_TRUE(SaveParameterFile(*p, stored, path, folder.string(), error)) << error;
    }
};

TEST_F(ParameterFileTest, SavedFileMatchesTheLayoutByteForByte) {
    const FieldValues values;
    const ByteVector expected = layoutOf(values);
    ASSERT_EQ(expected.size(), 1899u);
    apply(values, *p, stored);
    const std::string path = (folder / "user.ld3").string();
    save(path);
    const ByteVector written = read(path);
    ASSERT_EQ(written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(written[i], expected[i]) << "byte " << i;
    EXPECT_EQ(p->params.spareB, 0.0);  // cleared before writing

    // The empty name is the current-settings file in the start-up folder, same bytes.
    save("");
    EXPECT_EQ(read((folder / "ldmp3.prf").string()), expected);
}

TEST_F(ParameterFileTest, UserFileRestoresEverySharedFieldButNotGatesOrFileNameString) {
    const FieldValues values;
    apply(values, *p, stored);
    const std::string path = write("user.ld3", layoutOf(values));

    // A different live state: the first start's.
    p = std::make_unique<Processor>();
    stored = StoredSettings{};
    for (BandSettings& band : p->bands) band.gateDb = -36;
    std::snprintf(stored.exportOptions.fileNameString, 136, "keep_");
    p->settings.gateOn = 0;
    p->settings.channelMode = 2;
    p->params.spareA = 5;

    const ParameterLoadOutcome outcome = load(path);
    ASSERT_EQ(outcome.status, ParameterLoadStatus::Loaded);
    EXPECT_EQ(outcome.fileBytes, 1899);

    for (int b = 0; b < 6; ++b) {
        EXPECT_EQ(p->bands[b].depthDb, values.depth[b]);
        EXPECT_EQ(p->bands[b].driveDb, values.drive[b]);
        EXPECT_EQ(p->bands[b].outputDb, values.output[b]);
        EXPECT_EQ(p->bands[b].thresholdDb, values.threshold[b]);
        EXPECT_EQ(p->bands[b].clipDb, values.clip[b]);
        EXPECT_EQ(p->bands[b].gateDb, -36.0) << "gates come only from the current-settings file";
    }
    const ProcessorParams& r = p->params;
    const ProcessorSettings& ps = p->settings;
    const ExportOptions& e = stored.exportOptions;
    EXPECT_EQ(r.agcThresholdDb, values.agcThresholdDb);
    EXPECT_EQ(r.agcDepthDb, values.agcDepthDb);
    EXPECT_EQ(r.enhancerDepthDb, values.enhancerDepthDb);
    EXPECT_EQ(r.enhancerDelayMs, values.enhancerDelayMs);
    EXPECT_EQ(ps.bassEqGainDb, values.bassEqGainDb);
    EXPECT_EQ(ps.bassEqFreqHz, values.bassEqFreqHz);
    EXPECT_EQ(ps.bassEqSampleRate, values.bassEqSampleRate);
    EXPECT_EQ(ps.bassEqQ, values.bassEqQ);
    EXPECT_EQ(r.finalClipDb, values.finalClipDb);
    EXPECT_EQ(r.bandReleaseTime, values.bandReleaseTime);
    EXPECT_EQ(r.spareA, 0.0);
    EXPECT_EQ(ps.phaseShifterOn, values.phaseShifterOn);
    EXPECT_EQ(ps.bassEqOff, values.bassEqOff);
    EXPECT_EQ(ps.enhancerOn, values.enhancerOn);
    EXPECT_EQ(r.enhancerMode, values.enhancerMode);
    EXPECT_EQ(r.bassClipMode, values.bassClipMode);
    EXPECT_EQ(stored.selectedOutputDevice, values.outputDevice);
    EXPECT_EQ(stored.selectedInputDevice, values.inputDevice);
    EXPECT_EQ(stored.onAirRateChoice, values.onAirRate);
    EXPECT_EQ(r.spareB, 0.0);
    EXPECT_STREQ(ps.presetDescription, values.description);
    EXPECT_EQ(ps.finalLowpass, values.finalLowpass);
    EXPECT_EQ(ps.deEmphasisOn, values.deEmphasisOn);
    EXPECT_EQ(r.preEmphasis, values.preEmphasis);
    EXPECT_EQ(r.hfLimitThresholdDb, values.hfLimitThresholdDb);
    EXPECT_EQ(r.hfLimitDepthDb, values.hfLimitDepthDb);
    EXPECT_EQ(r.spareC, values.spareC);
    EXPECT_EQ(r.postClipDb, values.postClipDb);
    EXPECT_EQ(r.agcSpeed, values.agcSpeed);
    EXPECT_EQ(stored.startOnAirAtBoot, values.startOnAirAtBoot);
    EXPECT_EQ(stored.blockCount, values.blockCount);
    EXPECT_EQ(p->bands[0].reductionDelayMs, values.reductionDelayMs);
    EXPECT_EQ(e.exportFormat, values.exportFormat);
    EXPECT_EQ(e.mp3Bitrate, values.mp3Bitrate);
    EXPECT_STREQ(e.albumPrefix, values.albumPrefix);
    EXPECT_STREQ(e.titlePrefix, values.titlePrefix);
    EXPECT_EQ(e.normalizeOnExport, values.normalizeOnExport);
    EXPECT_STREQ(e.fileNameString, "keep_") << "read only from the current-settings file";
    EXPECT_EQ(e.throttleOn, values.throttleOn);
    EXPECT_EQ(e.throttleLevel, values.throttleLevel);
    EXPECT_EQ(stored.useExternalEncoder, values.useExternalEncoder);
    EXPECT_STREQ(stored.externalEncoderPath, values.encoderPath);
    EXPECT_STREQ(stored.externalEncoderParams, values.encoderParams);
    EXPECT_EQ(r.bandAttackTime, values.bandAttackTime);
    EXPECT_EQ(r.clipType, values.clipType);
    EXPECT_EQ(ps.virtualSpeakerOn, values.virtualSpeakerOn);
    EXPECT_EQ(ps.speakerSpacingCm, values.speakerSpacingCm);
    EXPECT_EQ(ps.roomDistanceM, values.roomDistanceM);
    EXPECT_EQ(ps.reflectionPercent, values.reflectionPercent);
    EXPECT_EQ(e.useOriginalFolder, values.useOriginalFolder);
    EXPECT_EQ(e.fileNameStringIsPostfix, values.fileNameStringIsPostfix);
    EXPECT_EQ(ps.gateOn, 0) << "read only from the current-settings file";
    EXPECT_EQ(ps.channelMode, 1.0);
}

TEST_F(ParameterFileTest, CurrentSettingsFileAlsoRestoresGatesAndFileNameString) {
    const FieldValues values;
    write("ldmp3.prf", layoutOf(values));
    ASSERT_EQ(load("").status, ParameterLoadStatus::Loaded);
    EXPECT_STREQ(stored.exportOptions.fileNameString, values.fileNameString);
    EXPECT_EQ(p->settings.gateOn, values.gateOn);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(p->bands[b].gateDb, values.gate[b]);
}

TEST_F(ParameterFileTest, CorrectionsOfStoredValues) {
    const FieldValues values;
    const ByteVector base = layoutOf(values);
    const std::string path = (folder / "x.ld3").string();
    auto loadPatched = [&](auto patch) {
        ByteVector file = base;
        patch(file);
        write("x.ld3", file);
        ASSERT_EQ(load(path).status, ParameterLoadStatus::Loaded);
    };

    // mp3Bitrate outside 1..320 becomes 192.
    using Case = std::pair<uint32_t, int32_t>;
    for (const auto& [stored_, expected] :
         std::initializer_list<Case>{{0u, 192}, {400u, 192}, {320u, 320}, {1u, 1}, {0xFFFFFFFFu, 192}}) {
        loadPatched([&](ByteVector& f) { putI32(f, 1055, stored_); });
        EXPECT_EQ(stored.exportOptions.mp3Bitrate, expected) << "stored " << stored_;
    }

    // 3.0 at offset 896: band 0's reduction delay 15 ms, written back at 1043 with 0.0 at 896.
    loadPatched([](ByteVector& f) { putF64(f, 896, 3.0); });
    EXPECT_EQ(p->bands[0].reductionDelayMs, 15.0);
    EXPECT_EQ(p->params.spareB, 0.0);
    save(path);
    const ByteVector again = read(path);
    EXPECT_EQ(getF64(again, 896), 0.0);
    EXPECT_EQ(getF64(again, 1043), 15.0);

    // Release time 0.0 reads as 1.0; attack time 0.0 takes the release time.
    loadPatched([](ByteVector& f) { putF64(f, 580, 0.0); });
    EXPECT_EQ(p->params.bandReleaseTime, 1.0);
    loadPatched([](ByteVector& f) { putF64(f, 1795, 0.0); });
    EXPECT_EQ(p->params.bandAttackTime, values.bandReleaseTime);

    // spareA is always cleared; the first enhancerDelayMs copy and the reserved slots are ignored.
    loadPatched([](ByteVector& f) {
        putF64(f, 588, 7.0);
        putF64(f, 528, 49.0);
        f[272] = f[700] = f[576] = f[892] = 0x5A;
    });
    EXPECT_EQ(p->params.spareA, 0.0);
    EXPECT_EQ(p->params.enhancerDelayMs, values.enhancerDelayMs);

    // The high halves of the 16-bit slots are ignored.
    loadPatched([](ByteVector& f) {
        putI32(f, 624, 0xABCD0003);
        putI32(f, 884, 0x00010004);
        putI32(f, 888, 0xFFFF0000);
    });
    EXPECT_EQ(stored.selectedOutputDevice, 3);
    EXPECT_EQ(stored.selectedInputDevice, 4);
    EXPECT_EQ(stored.onAirRateChoice, 0);

    // A block count the device engine cannot hold falls back to 4.
    for (const auto& [count, expected] :
         std::initializer_list<Case>{{9u, 4}, {1u, 4}, {0x80000000u, 4}, {2u, 2}, {8u, 8}}) {
        loadPatched([&](ByteVector& f) { putI32(f, 1039, count); });
        EXPECT_EQ(stored.blockCount, expected) << "stored " << count;
    }
}

TEST_F(ParameterFileTest, TextFieldsFilledToTheirEndAreStillTerminated) {
    ByteVector file = layoutOf(FieldValues{});
    std::fill(file.begin() + 904, file.begin() + 904 + 63, 'D');
    std::fill(file.begin() + 1059, file.begin() + 1059 + 32, 'A');
    std::fill(file.begin() + 1275, file.begin() + 1275 + 260, 'E');
    write("ldmp3.prf", file);
    ASSERT_EQ(load("").status, ParameterLoadStatus::Loaded);
    EXPECT_EQ(std::string(p->settings.presetDescription), std::string(63, 'D'));
    EXPECT_EQ(std::string(stored.exportOptions.albumPrefix), std::string(31, 'A'));
    EXPECT_EQ(std::string(stored.externalEncoderPath), std::string(259, 'E'));
    EXPECT_STREQ(stored.exportOptions.titlePrefix, FieldValues{}.titlePrefix);
}

TEST_F(ParameterFileTest, FileEndingAfterOffset596YieldsTheDefaults) {
    const FieldValues values;
    ByteVector file = layoutOf(values);
    file.resize(596);
    write("old.ld3", file);
    // Live values opposite to the defaults, so the defaults must come from the reader.
    p->settings.phaseShifterOn = 0;
    p->settings.bassEqOff = 1;
    p->settings.enhancerOn = 0;
    stored.exportOptions.normalizeOnExport = 0;
    stored.exportOptions.throttleLevel = 3;
    stored.startOnAirAtBoot = 1;
    stored.exportOptions.mp3Bitrate = 999;

    const ParameterLoadOutcome outcome = load((folder / "old.ld3").string());
    ASSERT_EQ(outcome.status, ParameterLoadStatus::Loaded);
    EXPECT_EQ(outcome.fileBytes, 596);
    EXPECT_EQ(p->settings.phaseShifterOn, 1);
    EXPECT_EQ(p->settings.bassEqOff, 0);
    EXPECT_EQ(p->settings.enhancerOn, 1);
    EXPECT_EQ(stored.exportOptions.normalizeOnExport, 1);
    EXPECT_EQ(stored.exportOptions.throttleLevel, 10);
    EXPECT_EQ(p->params.enhancerMode, 2.0);
    EXPECT_EQ(p->params.hfLimitThresholdDb, -15.0);
    EXPECT_EQ(p->params.postClipDb, -0.5);
    EXPECT_EQ(p->settings.speakerSpacingCm, 21.5);
    EXPECT_EQ(p->settings.reflectionPercent, 35.0);
    EXPECT_EQ(p->bands[0].reductionDelayMs, 0.0);
    EXPECT_STREQ(p->settings.presetDescription, "");
    // Fields without a default keep their live value (the bit rate then corrected).
    EXPECT_EQ(stored.startOnAirAtBoot, 1);
    EXPECT_EQ(stored.exportOptions.mp3Bitrate, 192);
    // What the file held is taken; the attack time follows the release time.
    EXPECT_EQ(p->bands[5].clipDb, values.clip[5]);
    EXPECT_EQ(p->params.bandReleaseTime, values.bandReleaseTime);
    EXPECT_EQ(p->params.bandAttackTime, values.bandReleaseTime);

    // A field cut in the middle is not taken either.
    file = layoutOf(values);
    file.resize(1043 + 5);
    write("cut.ld3", file);
    p->bands[0].reductionDelayMs = 77;
    ASSERT_EQ(load((folder / "cut.ld3").string()).status, ParameterLoadStatus::Loaded);
    EXPECT_EQ(p->bands[0].reductionDelayMs, 0.0);
    EXPECT_EQ(stored.blockCount, values.blockCount);
}

TEST_F(ParameterFileTest, WrongMagicInAnyByteBeepsAndChangesNothing) {
    const ByteVector good = layoutOf(FieldValues{});
    // Change the live bass EQ without redesigning it: a refresh would redesign the filter.
    p->settings.bassEqGainDb = 11;
    const StereoBiquad eqBefore = p->bassEq;
    uint8_t before[kParameterFileBytes];
    EncodeParameterFile(*p, stored, before);
    for (int i = 0; i < 8; ++i) {
        ByteVector file = good;
        const char c = static_cast<char>(file[i]);
        file[i] = std::isalpha(static_cast<unsigned char>(c)) ? static_cast<unsigned char>(std::tolower(c))
                                                              : static_cast<unsigned char>(c + 1);
        write("bad.ld3", file);
        EXPECT_EQ(load((folder / "bad.ld3").string()).status, ParameterLoadStatus::WrongMagic) << "byte " << i;
        EXPECT_EQ(host.beeps, i + 1);
    }
    write("tiny.ld3", ByteVector{'L', 'D', 'R'});
    EXPECT_EQ(load((folder / "tiny.ld3").string()).status, ParameterLoadStatus::WrongMagic);
    EXPECT_EQ(host.beeps, 9);

    uint8_t after[kParameterFileBytes];
    EncodeParameterFile(*p, stored, after);
    EXPECT_EQ(std::memcmp(before, after, sizeof before), 0);
    EXPECT_EQ(std::memcmp(&eqBefore, &p->bassEq, sizeof eqBefore), 0) << "the processor must not be touched";
}

TEST_F(ParameterFileTest, MissingFileRefreshesTheProcessorAndKeepsTheValues) {
    p->settings.bassEqGainDb = 11;
    const StereoBiquad eqBefore = p->bassEq;
    uint8_t before[kParameterFileBytes];
    EncodeParameterFile(*p, stored, before);
    EXPECT_EQ(load((folder / "nothere.ld3").string()).status, ParameterLoadStatus::NotOpened);
    EXPECT_EQ(load(folder.string()).status, ParameterLoadStatus::NotOpened) << "a folder is not a file";
    EXPECT_EQ(host.beeps, 0);
    uint8_t after[kParameterFileBytes];
    EncodeParameterFile(*p, stored, after);
    EXPECT_EQ(std::memcmp(before, after, sizeof before), 0);
    EXPECT_NE(std::memcmp(&eqBefore, &p->bassEq, sizeof eqBefore), 0) << "the bass EQ is redesigned";
}

TEST_F(ParameterFileTest, FailedSaveLeavesTheOldFileIntact) {
    const std::string path = write("keep.ld3", layoutOf(FieldValues{}));
    const ByteVector old = read(path);

    std::string error;
    EXPECT_FALSE(SaveParameterFile(*p, stored, (folder / "no" / "such.ld3").string(), folder.string(), error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    EXPECT_FALSE(SaveParameterFile(*p, stored, folder.string(), folder.string(), error));

    // A disk that fills up in the middle of the write: the file size limit stops it at 1000 bytes.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ = SaveParameterFile(*p, stored, path, folder.string(), error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved_);
    EXPECT_EQ(read(path), old);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

// Offsets of every f64 the reader takes (spareA at 588 is read and then set to 0.0).
std::vector<size_t> readDoubleOffsets() {
    std::vector<size_t> offsets;
    for (size_t at = 8; at < 272; at += 8) offsets.push_back(at);  // band table, AGC, enhancer depth
    for (size_t at : {536, 544, 552, 560, 568, 580, 608, 616, 896, 967, 975, 987, 995, 1003, 1011, 1019, 1027, 1043,
                      1795, 1803, 1815, 1823, 1831}) {
        offsets.push_back(at);
    }
    for (size_t at = 1851; at < 1899; at += 8) offsets.push_back(at);  // gateDb, current-settings file
    return offsets;
}

TEST_F(ParameterFileTest, ValueThatIsNoNumberRefusesTheWholeFile) {
    const ByteVector good = layoutOf(FieldValues{});
    p->settings.bassEqGainDb = 11;  // not redesigned: a refresh would show in the filter
    const StereoBiquad eqBefore = p->bassEq;
    uint8_t before[kParameterFileBytes];
    EncodeParameterFile(*p, stored, before);
    int beeps = 0;
    for (size_t at : readDoubleOffsets()) {
        for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
            ByteVector file = good;
            putF64(file, at, bad);
            write("ldmp3.prf", file);
            const ParameterLoadOutcome outcome = load("");
            EXPECT_EQ(outcome.status, ParameterLoadStatus::InvalidValue) << "offset " << at << " " << bad;
            EXPECT_FALSE(outcome.invalidField.empty());
            EXPECT_EQ(host.beeps, ++beeps);
        }
    }
    ByteVector file = good;
    putF64(file, 8 + 40 + 8, std::nan(""));  // driveDb[1]
    write("ldmp3.prf", file);
    EXPECT_EQ(load("").invalidField, "driveDb[1]");
    uint8_t after[kParameterFileBytes];
    EncodeParameterFile(*p, stored, after);
    EXPECT_EQ(std::memcmp(before, after, sizeof before), 0) << "nothing of a damaged file is applied";
    EXPECT_EQ(std::memcmp(&eqBefore, &p->bassEq, sizeof eqBefore), 0) << "the processor must not be touched";

    file = good;
    putF64(file, 1851, std::nan(""));
    write("user.ld3", file);
    EXPECT_EQ(load((folder / "user.ld3").string()).status, ParameterLoadStatus::Loaded)
        << "a user file's gate levels are not read, so they cannot spoil it";
}

TEST_F(ParameterFileTest, FiniteValuesOutsideTheirKnobsAreBroughtToTheLimits) {
    ByteVector file = layoutOf(FieldValues{});
    putF64(file, 8 + 40 + 8, 1e308);   // driveDb[1]
    putF64(file, 248, -1e308);         // agcThresholdDb
    putF64(file, 608, 9);              // enhancerMode
    putF64(file, 552, 1e9);            // bassEqSampleRate
    putF64(file, 1043, 250);           // reductionDelayMs
    putI32(file, 596, 7);              // phaseShifterOn
    putI32(file, 888, 9);              // onAirRateChoice
    putI32(file, 1267, 0x7fffffff);    // throttleLevel
    write("wild.ld3", file);
    const ParameterLoadOutcome outcome = load((folder / "wild.ld3").string());
    ASSERT_EQ(outcome.status, ParameterLoadStatus::Loaded);
    EXPECT_EQ(p->bands[1].driveDb, 24.0);
    EXPECT_EQ(p->params.agcThresholdDb, -36.0);
    EXPECT_EQ(p->params.enhancerMode, 5.0);
    EXPECT_EQ(p->settings.bassEqSampleRate, 48000.0);
    EXPECT_EQ(p->bands[0].reductionDelayMs, 100.0);
    EXPECT_EQ(p->settings.phaseShifterOn, 1);
    EXPECT_EQ(stored.onAirRateChoice, 2);
    EXPECT_EQ(stored.exportOptions.throttleLevel, 40);
    const std::vector<std::string> expected = {"driveDb[1]",      "agcThresholdDb",   "enhancerMode",
                                               "reductionDelayMs", "phaseShifterOn",   "bassEqSampleRate",
                                               "onAirRateChoice",  "throttleLevel"};
    EXPECT_EQ(outcome.clampedFields, expected);
    EXPECT_EQ(host.beeps, 0);

    // Every value of a file saved from valid settings stays exactly as it was.
    write("good.ld3", layoutOf(FieldValues{}));
    EXPECT_TRUE(load((folder / "good.ld3").string()).clampedFields.empty());
}

}  // namespace
}  // namespace loudara
