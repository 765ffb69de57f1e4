// The plugins' reading of a parameter file's bytes gives every sound parameter exactly as the
// program's own parameter-file loader does: for a saved file, files cut short at many lengths,
// an older file's reduction delay, values beyond their knobs, damaged and foreign files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_image.h"
#include "recording_host.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

class ParameterImage : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("loudara_image_" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // A file saved by the program after preset 340 and a few parameters moved.
    std::vector<uint8_t> savedFile() {
        auto p = std::make_unique<Processor>();
        applyFirstStart(*p);
        selectPresetById(*p, 340);
        std::string error;
        for (auto [name, value] : {std::pair{"driveDb[2]", 21.5}, {"bandReleaseTime", 4.0}, {"speakerSpacingCm", 7.5},
                                   {"phaseShifterOn", 0.0}, {"postClipDb", 2.25}, {"reductionDelayMs", 35.0}}) {
            EXPECT_TRUE(setSoundParameter(*p, name, value, error)) << error;
        }
        StoredSettings stored;
        const std::string path = (folder_ / "saved.ld3").string();
        EXPECT_TRUE(SaveParameterFile(*p, stored, path, folder_.string(), error)) << error;
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Both readers on the same bytes, from a first start: the same outcome and, when loaded, every
    // sound parameter the same.
    void expectSameReading(const std::vector<uint8_t>& bytes, ParameterImageStatus expected) {
        const std::string path = (folder_ / "file.ld3").string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        auto loaded = std::make_unique<Processor>();
        applyFirstStart(*loaded);
        StoredSettings stored;
        RecordingHost host;
        const ParameterLoadOutcome outcome = LoadParameterFileAt(*loaded, stored, path, false, host);

        auto first = std::make_unique<Processor>();
        applyFirstStart(*first);
        SoundParameterRows rows;
        std::copy(std::begin(first->bands), std::end(first->bands), rows.bands);
        rows.params = first->params;
        rows.settings = first->settings;
        const ParameterImageStatus status = readSoundParameterImage(bytes.data(), int(bytes.size()), rows);
        ASSERT_EQ(status, expected);
        ASSERT_EQ(outcome.status == ParameterLoadStatus::Loaded, status == ParameterImageStatus::Loaded);
        for (const ParameterInfo& info : soundParameters()) {
            for (int b = 0; b < bandsOf(info); ++b) {
                EXPECT_EQ(parameterValue(rows, info, b), parameterValue(*loaded, info, b))
                    << parameterName(info, b) << " from " << bytes.size() << " bytes";
            }
        }
    }

    fs::path folder_;
};

TEST_F(ParameterImage, SavedFileReadsAsTheProgramReadsIt) {
    const std::vector<uint8_t> file = savedFile();
    ASSERT_EQ(file.size(), size_t(kParameterImageBytes));
    expectSameReading(file, ParameterImageStatus::Loaded);
}

TEST_F(ParameterImage, FilesCutShortTakeTheSameValues) {
    const std::vector<uint8_t> file = savedFile();
    for (int length : {8, 16, 100, 257, 540, 600, 900, 980, 1000, 1030, 1500, 1800, 1820, 1898}) {
        expectSameReading(std::vector<uint8_t>(file.begin(), file.begin() + length), ParameterImageStatus::Loaded);
    }
}

TEST_F(ParameterImage, OlderFilesAndValuesBeyondTheKnobsAreCorrectedAlike) {
    std::vector<uint8_t> file = savedFile();
    bytes::putF64(file.data() + 896, 7.0);    // an older file's reduction delay, 35 ms
    bytes::putF64(file.data() + 580, 0.0);    // no release time
    bytes::putF64(file.data() + 1795, 0.0);   // no attack time
    bytes::putF64(file.data() + 16, 99.0);    // band 0's drive beyond its knob
    bytes::putF64(file.data() + 1019, -80.0); // post clip below its knob
    bytes::putI32(file.data() + 596, 7);      // a switch that is neither 0 nor 1
    expectSameReading(file, ParameterImageStatus::Loaded);
}

TEST_F(ParameterImage, DamagedAndForeignFilesAreRefusedAlike) {
    std::vector<uint8_t> file = savedFile();
    std::vector<uint8_t> damaged = file;
    bytes::putF64(damaged.data() + 32, std::numeric_limits<double>::quiet_NaN());
    expectSameReading(damaged, ParameterImageStatus::InvalidValue);
    damaged = file;
    bytes::putF64(damaged.data() + 1011, std::numeric_limits<double>::infinity());
    expectSameReading(damaged, ParameterImageStatus::InvalidValue);
    std::vector<uint8_t> foreign = file;
    foreign[3] = 'X';
    expectSameReading(foreign, ParameterImageStatus::WrongMagic);
    expectSameReading(std::vector<uint8_t>(file.begin(), file.begin() + 7), ParameterImageStatus::WrongMagic);
}

}  // namespace
}  // namespace loudara
