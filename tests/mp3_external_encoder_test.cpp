// The external encoder: the parameter text, its split into arguments, and a small script standing
// in for the encoder program, which records the arguments it was given.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "files/export_job.h"
#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "wav_builder.h"

namespace loudara {
namespace {

TEST(EncoderParams, ExpandedCharacterByCharacter) {
    std::string out;
    ASSERT_TRUE(ExpandEncoderParams("-b 192 %1 %2", "/t/in.wav", "/t/out.mp3", out));
    EXPECT_EQ(out, "-b 192 \"/t/in.wav\" \"/t/out.mp3\"");
    ASSERT_TRUE(ExpandEncoderParams("%3 -v %1 %2", "i", "o", out));
    EXPECT_EQ(out, " -v \"i\" \"o\"");
    ASSERT_TRUE(ExpandEncoderParams("-q 2 %", "i", "o", out));
    EXPECT_EQ(out, "-q 2 ");
    ASSERT_TRUE(ExpandEncoderParams("a% b%%c%2", "i", "o", out));
    EXPECT_EQ(out, "a bc\"o\"");
    ASSERT_TRUE(ExpandEncoderParams("", "i", "o", out));
    EXPECT_EQ(out, "");

    // 257 characters are accepted, 258 are not, counted after the expansion.
    const std::string in(200, 'w');  // "%1" becomes 202 characters
    ASSERT_TRUE(ExpandEncoderParams(("%1" + std::string(55, 'x')).c_str(), in, "o", out));
    EXPECT_EQ(out.size(), 257u);
    EXPECT_FALSE(ExpandEncoderParams(("%1" + std::string(56, 'x')).c_str(), in, "o", out));
    EXPECT_TRUE(ExpandEncoderParams(std::string(257, 'y').c_str(), in, "o", out));
    EXPECT_FALSE(ExpandEncoderParams(std::string(258, 'y').c_str(), in, "o", out));
    EXPECT_TRUE(ExpandEncoderParams((std::string(257, 'y') + "%").c_str(), in, "o", out));  // the % is dropped
}

TEST(EncoderParams, SplitLikeACommandLine) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitEncoderArguments("-b 192 \"/my songs/in.wav\"  \"o.mp3\""), (V{"-b", "192", "/my songs/in.wav", "o.mp3"}));
    EXPECT_EQ(SplitEncoderArguments("  --out=\"a b\"\tx \"\" "), (V{"--out=a b", "x", ""}));
    EXPECT_EQ(SplitEncoderArguments(""), V{});
    EXPECT_EQ(SplitEncoderArguments("\"unclosed quote"), V{"unclosed quote"});
}

TEST(EncoderParams, EachPathIsOneWholeArgument) {
    using V = std::vector<std::string>;
    // Quotes and blanks in a path never split it or end a quoted group.
    const std::string in = "/t/it's \"the\" song.wav", out = "/t/a b\"c.mp3";
    EXPECT_EQ(ExpandEncoderArguments("-b 192 %1 %2", in, out), (V{"-b", "192", in, out}));
    EXPECT_EQ(ExpandEncoderArguments("\"%1\" -o%2", in, out), (V{in, "-o" + out}));
    EXPECT_EQ(ExpandEncoderArguments("\"--in=%1 x\"", in, out), (V{"--in=" + in + " x"}));
    // The rest is read as before: other "%x" and a final "%" dropped, "% " a blank.
    EXPECT_EQ(ExpandEncoderArguments("%3-V 2 %1 %2 %", "i", "o"), (V{"-V", "2", "i", "o"}));
    EXPECT_EQ(ExpandEncoderArguments("a% b%%c%2", "i", "o"), (V{"a", "bco"}));
    EXPECT_EQ(ExpandEncoderArguments("  \"x y\"\t\"\" ", "i", "o"), (V{"x y", ""}));
    EXPECT_EQ(ExpandEncoderArguments("", "i", "o"), V{});
}

struct MessageHost : JobHost {
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<std::string> status;
    int ends = 0;
    void showMessage(const std::string& text, const std::string& caption) override { messages.emplace_back(text, caption); }
    void setStatusText(const std::string& text) override { status.push_back(text); }
    void endNotice() override { ++ends; }
};

class ExternalEncoder : public TempFolder {
protected:
    fs::path work;
    std::string script;
    std::string wav;

    void SetUp() override {
        TempFolder::SetUp();
        work = folder / "with space";
        fs::create_directories(work);
        wav = write("with space/song.wav", pcmWave(std::vector<int16_t>(4000, 100), 2, 44100));
    }

    // An "encoder" that writes its arguments one per line to args.txt, then writes `output` to
    // its last argument and exits with `status`.
    void makeEncoder(const std::string& output, int status) {
        script = (folder / "fake encoder.sh").string();
        std::ofstream(script) << "#!/bin/sh\n"
                              << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << (folder / "args.txt").string() << "'\n"
                              << "for a in \"$@\"; do last=\"$a\"; done\n"
                              << (output.empty() ? "" : "printf '" + output + "' > \"$last\"\n")
                              << "exit " << status << "\n";
        fs::permissions(script, fs::perms::owner_all);
    }

    std::vector<std::string> recordedArguments() const {
        std::ifstream in(folder / "args.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    EncoderSettings settings(const std::string& params) const {
        EncoderSettings s;
        s.useExternalEncoder = 1;
        std::snprintf(s.externalEncoderPath, sizeof s.externalEncoderPath, "%s", script.c_str());
        std::snprintf(s.externalEncoderParams, sizeof s.externalEncoderParams, "%s", params.c_str());
        return s;
    }
};

TEST_F(ExternalEncoder, RunsTheProgramWithTheArgumentVectorAndTagsItsOutput) {
    makeEncoder("fake mp3 data", 0);
    SongTag tag;
    std::memcpy(tag.bytes, "TAGTitle", 8);
    MessageHost host;
    std::string error;
    ASSERT_TRUE(EncodeWavToMp3(host, wav, 128, tag, settings("%3-V 2 %1 %2 %"), "", "", error)) << error;
    const std::string mp3 = (work / "song.mp3").string();
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{"-V", "2", wav, mp3}));
    const ByteVector out = read(mp3);
    ASSERT_EQ(out.size(), 13u + 128u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 13), "fake mp3 data");
    EXPECT_EQ(std::string(out.begin() + 13, out.begin() + 21), "TAGTitle");
    EXPECT_EQ(host.status, (std::vector<std::string>{"Converting to MP3 format with EXT encoder.."}));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(ExternalEncoder, APathWithQuotesReachesTheProgramWhole) {
    makeEncoder("fake mp3 data", 0);
    fs::create_directories(folder / "say \"hi\" it's");
    const std::string quoted = write("say \"hi\" it's/a \"b\".wav", pcmWave(std::vector<int16_t>(4000, 100), 2, 44100));
    MessageHost host;
    std::string error;
    ASSERT_TRUE(EncodeWavToMp3(host, quoted, 128, SongTag{}, settings("-V 2 \"%1\" %2"), "", "", error)) << error;
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{"-V", "2", quoted, Mp3OutputPathFor(quoted)}));
}

TEST_F(ExternalEncoder, CancelEndsTheProgramAndLeavesNoFile) {
    script = (folder / "slow encoder.sh").string();
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do last=\"$a\"; done\nprintf 'partial' > \"$last\"\nexec sleep 60\n";
    fs::permissions(script, fs::perms::owner_all);
    MessageHost host;
    std::thread canceller([&host] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        host.cancelRequested = true;
    });
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_FALSE(EncodeWavToMp3(host, wav, 128, SongTag{}, settings("%1 %2"), "", "", error));
    canceller.join();
    EXPECT_EQ(error, "cancelled");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "the program was not ended";
    EXPECT_FALSE(fs::exists(work / "song.mp3"));
}

TEST_F(ExternalEncoder, FailuresAreReportedAndLeaveNoFile) {
    const std::string mp3 = (work / "song.mp3").string();
    MessageHost host;
    std::string error;

    makeEncoder("half an mp3", 3);  // writes something, then fails
    EXPECT_FALSE(EncodeWavToMp3(host, wav, 128, SongTag{}, settings("%1 %2"), "", "", error));
    EXPECT_NE(error.find("status 3"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(mp3));

    makeEncoder("", 0);  // succeeds without writing anything
    std::ofstream(mp3) << "an old file";
    EXPECT_FALSE(EncodeWavToMp3(host, wav, 128, SongTag{}, settings("%1 %2"), "", "", error));
    EXPECT_NE(error.find("no MP3 file"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(mp3));

    script = (folder / "no such encoder").string();
    EXPECT_FALSE(EncodeWavToMp3(host, wav, 128, SongTag{}, settings("%1 %2"), "", "", error));
    EXPECT_NE(error.find("cannot start"), std::string::npos) << error;
    EXPECT_TRUE(host.messages.empty());  // a failed launch shows nothing

    // Too long: the message box, and the program is not started.
    makeEncoder("x", 0);
    fs::remove(folder / "args.txt");
    EXPECT_FALSE(EncodeWavToMp3(host, wav, 128, SongTag{}, settings(std::string(250, 'v') + " %1"), "", "", error));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].first, "The parameter string is too long. (MAX LENGTH=260)");
    EXPECT_EQ(host.messages[0].second, "External encoder parameter error");
    EXPECT_FALSE(fs::exists(folder / "args.txt"));
}

TEST_F(ExternalEncoder, ExportFallsBackToWavWhenTheEncoderFails) {
    makeEncoder("", 1);
    SongRecord song;
    ASSERT_EQ(ProbeWavFile(wav.c_str(), song), WavProbeResult::Ok);
    std::snprintf(song.path, sizeof song.path, "%s", wav.c_str());
    ExportOptions options;
    options.exportFormat = 1;
    options.normalizeOnExport = 0;
    const EncoderSettings encoder = settings("%1 %2");
    int32_t status = 0;
    ExportRequest request;
    request.song = &song;
    request.songStatus = &status;
    request.targetPath = (folder / "out.wav").string();
    request.options = &options;
    request.encoder = &encoder;
    request.runStamp = "87654321";
    request.temporaryFolder = folder.string();
    auto p = std::make_unique<Processor>();
    MessageHost host;
    const ExportOutcome outcome = RunExportJob(*p, request, host);
    EXPECT_EQ(outcome.status, ExportStatus::Failed);
    EXPECT_NE(outcome.message.find("later exports are WAV"), std::string::npos) << outcome.message;
    EXPECT_EQ(options.exportFormat, 0);
    EXPECT_EQ(status, 0);  // the song itself is fine
    EXPECT_EQ(host.ends, 1);
    EXPECT_FALSE(fs::exists(folder / "out.mp3"));
    EXPECT_FALSE(fs::exists(folder / "out.wav"));
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find("$$temp_ldr"), std::string::npos) << entry.path();
    }
}

}  // namespace
}  // namespace loudara
