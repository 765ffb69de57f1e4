#include "files/export_job.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/byte_io.h"
#include "files/byte_pipe.h"
#include "files/growing_file.h"
#include "files/id3_tag.h"
#include "files/loudness_scan.h"
#include "files/loudness_target.h"
#include "files/mp3_bridge.h"
#include "files/peak_level.h"
#include "files/song_tags.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"
#include "measure/background_meter.h"

namespace loudara {
namespace fs = std::filesystem;

int32_t exportBitrateFor(int32_t entered, bool batchDialog) {
    int32_t rate = entered;
    if (rate < 32 || rate > 320) rate = batchDialog ? 128 : 192;
    for (int32_t allowed : kMpeg1Bitrates) {
        if (allowed >= rate) return allowed;
    }
    return 320;
}

std::string replaceExtension(const std::string& path, const char* extension) {
    // Only a '.' in the file name counts: one in a folder name must not cut the path short.
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? path.substr(0, dot) : path) + extension;
}

std::string formatProcessedTime(int64_t processedValues, uint32_t sampleRate) {
    const int64_t seconds = sampleRate == 0 ? 0 : processedValues / (2 * int64_t{sampleRate});
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

int leadInFrames(const Processor& p) { return chainLatencyFrames(p); }

std::string makeRunStamp() {
    const long long seconds = static_cast<long long>(std::time(nullptr));
    char text[16];
    std::snprintf(text, sizeof text, "%08lld", (seconds + static_cast<long long>(getpid())) % 100000000LL);
    return text;
}

namespace {

constexpr int kBlockValues = 2 * kExportBlockFrames;  // 16-bit values per processed block

// Processed sound held between the chain and the encoder: about 6 s of 44.1 kHz stereo. The
// encoder takes 92160 bytes at a time and the chain gives 65536, so this lets each run on while
// the other takes its turn, and bounds the job's memory whatever the song's length.
constexpr std::size_t kEncoderPipeBytes = 1 << 20;

// What the encoder thread sees of the job: the throttle only. The job copies the owner's throttle
// into it once per block, and cancels it only when a cancel must stop the encoding itself.
class EncoderStageHost : public JobHost {
public:
    void endNotice() override {}
};

// The job's files, buffers and temporary names; whatever is left open or on disk when the job
// ends is closed and removed.
class ExportJob {
public:
    ExportJob(Processor& p, const ExportRequest& request, JobHost& host)
        : p_(p),
          request_(request),
          song_(*request.song),
          options_(*request.options),
          host_(host),
          tag_(request.tag ? *request.tag : noTag_) {}

    ~ExportJob() {
        if (decodeThread_.joinable()) decodeThread_.join();
        stopEncoderStage();
        input_.reset();
        output_.reset();
        removeQuietly(workPath_);
        removeQuietly(processedPath_);
        removeQuietly(mp3CopyPath_);
        removeQuietly(mp3OutPath_);
        if (!endNoticeSent_) host_.endNotice();
    }

    ExportOutcome run();

private:
    static ExportOutcome fail(std::string message) { return ExportOutcome::failed(std::move(message)); }
    static ExportOutcome cancelledWithNothing() { return ExportOutcome::cancelledWithNothing(); }
    bool cancelRequested() const { return host_.cancelRequested.load(); }

    static void removeQuietly(const std::string& path) {
        if (path.empty()) return;
        std::error_code ignored;
        fs::remove(path, ignored);
    }

    std::string temporaryPath(const char* prefix, const char* extension) const {
        return (fs::path(request_.temporaryFolder) / (std::string(prefix) + request_.runStamp + extension)).string();
    }

    bool isSongsOwnFile(const std::string& target) const;
    void throttle();
    int readBlock();
    void processBlockInto(std::vector<int16_t>& out);
    bool writeFrames(const std::vector<int16_t>& block, int from, int to);
    bool patchSizes();
    bool deliver(const std::string& source, std::string& error);
    bool prepareMp3Song(std::string& error);
    bool startDecodeStage(std::string& error);
    bool finishDecodeStage(std::string& error);
    bool startEncoderStage();
    void runEncoderStage(std::FILE* pcm);
    void stopEncoderStage();
    bool finishEncoderStage(std::string& error);
    void startMeters();
    bool gainPass(double gainDb, LoudnessFigures& figures);
    bool encodeMp3(const std::string& wavPath, std::string& error);
    void measureMp3();
    bool reachTarget(std::string& deliverable, std::string& error);

    Processor& p_;
    const ExportRequest& request_;
    SongRecord& song_;
    ExportOptions& options_;
    JobHost& host_;
    SongTag& tag_;
    SongTag noTag_;
    bool endNoticeSent_ = false;
    std::string warning_;
    SongTags carried_;  // the song's tags besides its ID3v1 block, for the delivered file

    std::string workPath_, processedPath_, finalPath_, mp3CopyPath_, mp3OutPath_;
    FileHandle input_, output_;
    std::vector<int16_t> stereoIn_, stereoOut_, mono_;
    bool stereo_ = true;
    bool wave_ = true;
    int64_t headerBytes_ = 0;
    int64_t dataBytes_ = 0;
    int64_t remainingBytes_ = 0;
    int64_t writtenBytes_ = 0;
    std::atomic<long long> lastClockMs_{0};

    // The decoder stage: an MP3 song is decoded into the working file on its own thread while
    // the peak scan and the chain read that file behind it.
    std::unique_ptr<GrowingFile> decoded_;
    std::thread decodeThread_;
    bool decodeOk_ = false;
    std::string decodeError_;

    // The encoder stage: with the built-in encoder, the MP3 is encoded on its own thread from the
    // processed blocks as they are written, instead of from the finished file afterwards.
    std::unique_ptr<BytePipe> pipe_;
    std::thread encoderThread_;
    EncoderStageHost encoderHost_;
    bool encoderOk_ = false;
    bool encoderDone_ = false;  // under encoderMutex_; encoderEnded_ tells the job
    std::mutex encoderMutex_;
    std::condition_variable encoderEnded_;
    std::string encoderError_;
    // Input and output are measured as they pass; none when the song's format cannot be measured.
    std::unique_ptr<LoudnessMeter> inMeter_, outMeter_;
    std::unique_ptr<BackgroundMeter> outFeed_;  // feeds outMeter_ beside the processing
    ExportLoudness loudness_;
    int writeErrno_ = 0;  // errno of the write that failed
};

bool ExportJob::isSongsOwnFile(const std::string& target) const {
    std::error_code ec;
    if (fs::exists(target, ec) && fs::equivalent(target, song_.path, ec)) return true;
    const fs::path a = fs::weakly_canonical(target, ec);
    const fs::path b = fs::weakly_canonical(song_.path, ec);
    return !ec && a == b;
}

// Rests after each block in proportion to the processor time the block took (at most 100 ms
// counted): throttleLevel 10 rests about as long as it worked.
void ExportJob::throttle() { host_.throttle(lastClockMs_, 10); }

// Reads the next block into stereoIn (mono duplicated into both channels, the rest silence) and
// returns the number of 16-bit stereo values read. The sound ends with the data chunk.
int ExportJob::readBlock() {
    std::fill(stereoIn_.begin(), stereoIn_.end(), 0);
    const int64_t wantSamples = stereo_ ? kBlockValues : kExportBlockFrames;
    const size_t count = static_cast<size_t>(std::min<int64_t>(wantSamples, remainingBytes_ / 2));
    if (stereo_) {
        const size_t got = std::fread(stereoIn_.data(), 2, count, input_.get());
        remainingBytes_ -= static_cast<int64_t>(got) * 2;
        if (inMeter_) inMeter_->addFrames(stereoIn_.data(), got / 2);
        return static_cast<int>(got);
    }
    std::fill(mono_.begin(), mono_.end(), 0);
    const size_t got = std::fread(mono_.data(), 2, count, input_.get());
    remainingBytes_ -= static_cast<int64_t>(got) * 2;
    if (inMeter_) inMeter_->addFrames(mono_.data(), got);
    for (size_t i = 0; i < got; ++i) {
        stereoIn_[2 * i] = mono_[i];
        stereoIn_[2 * i + 1] = mono_[i];
    }
    return static_cast<int>(2 * got);
}

void ExportJob::processBlockInto(std::vector<int16_t>& out) {
    processBlock(p_, kBlockValues, stereoIn_.data(), out.data());
}

// Writes frames [from, to) of a processed block: both channels for a stereo song, the left one
// for a mono song.
bool ExportJob::writeFrames(const std::vector<int16_t>& block, int from, int to) {
    if (to <= from) return true;
    size_t written;
    if (stereo_) {
        written = std::fwrite(block.data() + 2 * from, 2, static_cast<size_t>(2 * (to - from)), output_.get()) / 2;
        if (outFeed_) outFeed_->addFrames(block.data() + 2 * from, written);
    } else {
        for (int i = from; i < to; ++i) mono_[i - from] = block[2 * i];
        written = std::fwrite(mono_.data(), 2, static_cast<size_t>(to - from), output_.get());
        if (outFeed_) outFeed_->addFrames(mono_.data(), written);
    }
    writtenBytes_ += static_cast<int64_t>(written) * (stereo_ ? 4 : 2);
    if (pipe_ && written > 0) {
        // An encoder that stopped (it failed) takes nothing more; the loop ends when it sees that.
        const int16_t* samples = stereo_ ? block.data() + 2 * from : mono_.data();
        pipe_->write(samples, written * (stereo_ ? 4 : 2));
    }
    if (written == static_cast<size_t>(to - from)) return true;
    writeErrno_ = errno;
    return false;
}

// The built-in encoder encodes whatever the chain delivers through the pipe, in the same pieces
// as it would read them from the finished file, so the MP3 file is the same byte for byte.
bool ExportJob::startEncoderStage() {
    pipe_ = std::make_unique<BytePipe>(kEncoderPipeBytes);
    std::FILE* pcm = pipe_->openReadStream();
    if (!pcm) {
        pipe_.reset();
        return false;
    }
    mp3OutPath_ = Mp3OutputPathFor(processedPath_);
    encoderThread_ = std::thread([this, pcm] { runEncoderStage(pcm); });
    return true;
}

void ExportJob::runEncoderStage(std::FILE* pcm) {
    FileHandle out = OpenFile(mp3OutPath_.c_str(), "wb");
    if (!out) {
        encoderError_ = "cannot create " + mp3OutPath_;
    } else {
        encoderOk_ = EncodePcmToMp3(pcm, std::numeric_limits<int64_t>::max(), song_.sampleRate, song_.channels,
                                    options_.mp3Bitrate, out.get(), &encoderHost_, encoderError_);
        if (encoderOk_ && std::fclose(out.release()) != 0) {
            encoderOk_ = false;
            encoderError_ = "cannot write " + mp3OutPath_ + " (disk full?)";
        }
    }
    std::fclose(pcm);  // the writer learns that nothing more is read
    std::lock_guard<std::mutex> lock(encoderMutex_);
    encoderDone_ = true;
    encoderEnded_.notify_all();
}

// Ends the encoder stage on any path: the encoder sees the end of the sound and finishes.
void ExportJob::stopEncoderStage() {
    if (!pipe_) return;
    pipe_->closeWrite();
    if (encoderThread_.joinable()) encoderThread_.join();
}

// Waits for the encoder, then appends the tag as the file encoder does. A cancel while it finishes
// reaches the encoder: it stops, and nothing is delivered.
bool ExportJob::finishEncoderStage(std::string& error) {
    host_.setStatusText("Converting to MP3 format..");
    if (pipe_) pipe_->closeWrite();
    {
        // The job goes on the moment the encoder ends; a cancel is passed on within 20 ms.
        std::unique_lock<std::mutex> lock(encoderMutex_);
        while (!encoderEnded_.wait_for(lock, std::chrono::milliseconds(20), [this] { return encoderDone_; })) {
            if (cancelRequested()) encoderHost_.cancelRequested = true;
        }
    }
    stopEncoderStage();
    bool ok = encoderOk_;
    error = encoderError_;
    if (ok && HasId3v1Tag(tag_) && !AppendId3v1Tag(mp3OutPath_.c_str(), tag_, options_.albumPrefix, options_.titlePrefix)) {
        error = "cannot append the ID3 tag to " + mp3OutPath_;
        ok = false;
    }
    if (!ok) removeQuietly(mp3OutPath_);
    return ok;
}

// The RIFF size always becomes the delivered file's own: a chunk after "data" in the source is
// not written. A cancelled or short song also leaves fewer samples than the copied header
// announces, so the data size is set to what was written. The reader never looks at the first
// four bytes of a song, so the copy may hold anything there: the delivered file says "RIFF".
bool ExportJob::patchSizes() {
    if (!wave_) return true;
    auto putU32 = [this](long offset, uint32_t value) {
        uint8_t field[4];
        bytes::putU32(field, value);
        return std::fseek(output_.get(), offset, SEEK_SET) == 0 && std::fwrite(field, 1, 4, output_.get()) == 4;
    };
    const int64_t fileBytes = headerBytes_ + writtenBytes_;
    const bool riff = std::fseek(output_.get(), 0, SEEK_SET) == 0 && std::fwrite("RIFF", 1, 4, output_.get()) == 4;
    return riff && putU32(4, static_cast<uint32_t>(fileBytes - 8)) &&
           putU32(static_cast<long>(headerBytes_ - 4), static_cast<uint32_t>(writtenBytes_));
}

// Puts the finished file in place of the target: moved when both share a file system, otherwise
// copied beside it (to a new file no link can redirect) and renamed over it; either way an
// existing file is replaced only by a complete new one.
bool ExportJob::deliver(const std::string& source, std::string& error) {
    return MoveFileOver(source, finalPath_, error, &host_.cancelRequested);
}

// An MP3 song is copied and decoded into the working WAV file; its format fields and its tag are
// taken from the file again. A song that cannot be decoded is marked failed.
bool ExportJob::prepareMp3Song(std::string& error) {
    mp3CopyPath_ = temporaryPath("$$temp_ldr_src_", ".mp3");
    removeQuietly(mp3CopyPath_);
    if (!CopyToNewFile(song_.path, mp3CopyPath_, error, &host_.cancelRequested)) return false;
    host_.setStatusText("Converting to WAV format..");
    SongRecord decoded;
    std::string why;
    if (!DecodeMp3ToWav(mp3CopyPath_.c_str(), workPath_.c_str(), tag_, host_, why, &warning_) ||
        ProbeWavFile(workPath_.c_str(), decoded) != WavProbeResult::Ok) {
        if (cancelRequested()) return false;  // not the song's fault
        error = "cannot decode ";
        error += song_.path;
        error += ": ";
        error += why.empty() ? "the decoded song cannot be read back" : why;
        if (request_.songStatus) *request_.songStatus = 2;
        return false;
    }
    song_.sampleRate = decoded.sampleRate;
    song_.channels = decoded.channels;
    song_.dataBytes = decoded.dataBytes;
    removeQuietly(mp3CopyPath_);
    mp3CopyPath_.clear();
    return true;
}

// Copies the MP3 song and starts decoding it into the working file; the song's rate and channels
// are those its probe found in the same stream.
bool ExportJob::startDecodeStage(std::string& error) {
    mp3CopyPath_ = temporaryPath("$$temp_ldr_src_", ".mp3");
    removeQuietly(mp3CopyPath_);
    if (!CopyToNewFile(song_.path, mp3CopyPath_, error, &host_.cancelRequested)) return false;
    host_.setStatusText("Converting to WAV format..");
    decoded_ = std::make_unique<GrowingFile>(workPath_);
    decodeThread_ = std::thread([this] {
        decodeOk_ = DecodeMp3ToWav(mp3CopyPath_.c_str(), workPath_.c_str(), tag_, host_, decodeError_, &warning_,
                                   decoded_.get());
        std::error_code sizeError;
        const auto bytes = fs::file_size(workPath_, sizeError);
        decoded_->finish(sizeError ? 0 : static_cast<int64_t>(bytes), decodeOk_);
    });
    return true;
}

// Waits for the decoding; as after decoding first, the song takes the decoded file's format
// fields, and a song that cannot be decoded is marked failed.
bool ExportJob::finishDecodeStage(std::string& error) {
    if (decodeThread_.joinable()) decodeThread_.join();
    SongRecord decoded;
    if (!decodeOk_ || ProbeWavFile(workPath_.c_str(), decoded) != WavProbeResult::Ok) {
        error = "cannot decode ";
        error += song_.path;
        error += ": ";
        error += decodeError_.empty() ? "the decoded song cannot be read back" : decodeError_;
        if (request_.songStatus) *request_.songStatus = 2;
        return false;
    }
    song_.sampleRate = decoded.sampleRate;
    song_.channels = decoded.channels;
    song_.dataBytes = decoded.dataBytes;
    return true;
}

// The input is measured without its true peak (the report shows none), and only when asked for.
void ExportJob::startMeters() {
    try {
        const unsigned channels = stereo_ ? 2 : 1;
        if (request_.measureInput || request_.loudnessTargetLufs) {
            inMeter_ = std::make_unique<LoudnessMeter>(song_.sampleRate, channels, LoudnessMeter::History::Exact,
                                                       LoudnessMeter::Peaks::SampleOnly);
        }
        outMeter_ = std::make_unique<LoudnessMeter>(song_.sampleRate, channels);
        outFeed_ = std::make_unique<BackgroundMeter>(*outMeter_);
    } catch (const std::exception&) {
        outFeed_.reset();
        inMeter_.reset();
        outMeter_.reset();
    }
}

// Writes the processed file again into the working file (no longer needed as input) with every
// sample multiplied by one constant gain, rounded and held to 16 bits, and measures what it writes.
bool ExportJob::gainPass(double gainDb, LoudnessFigures& figures) {
    FileHandle in = OpenFile(processedPath_.c_str(), "rb");
    FileHandle out = OpenFile(workPath_.c_str(), "wb");
    if (!in || !out) return false;
    std::vector<int16_t> buffer(kBlockValues);
    int64_t headerLeft = headerBytes_;
    while (headerLeft > 0) {
        const size_t piece = static_cast<size_t>(std::min<int64_t>(headerLeft, kBlockValues * 2));
        if (std::fread(buffer.data(), 1, piece, in.get()) != piece ||
            std::fwrite(buffer.data(), 1, piece, out.get()) != piece) {
            return false;
        }
        headerLeft -= static_cast<int64_t>(piece);
    }
    const unsigned channels = stereo_ ? 2 : 1;
    LoudnessMeter meter(song_.sampleRate, channels);
    const double factor = std::pow(10.0, gainDb / 20.0);
    int64_t valuesLeft = writtenBytes_ / 2;
    while (valuesLeft > 0) {
        throttle();
        // Whole frames per piece, so the meter is fed frames.
        const size_t want = static_cast<size_t>(std::min<int64_t>(valuesLeft, kBlockValues));
        const size_t got = std::fread(buffer.data(), 2, want, in.get());
        if (got != want) return false;
        for (size_t i = 0; i < got; ++i) {
            const double value = std::nearbyint(buffer[i] * factor);
            buffer[i] = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
        }
        if (std::fwrite(buffer.data(), 2, got, out.get()) != got) return false;
        meter.addFrames(buffer.data(), got / channels);
        valuesLeft -= static_cast<int64_t>(got);
        host_.refreshPanel();
    }
    if (std::fflush(out.get()) != 0) return false;
    figures = meter.figures();
    return true;
}

bool ExportJob::encodeMp3(const std::string& wavPath, std::string& error) {
    static const EncoderSettings kBuiltInEncoder;
    const EncoderSettings& encoder = request_.encoder ? *request_.encoder : kBuiltInEncoder;
    mp3OutPath_ = Mp3OutputPathFor(wavPath);
    std::string why;
    if (!EncodeWavToMp3(host_, wavPath, options_.mp3Bitrate, tag_, encoder, options_.albumPrefix,
                        options_.titlePrefix, why)) {
        if (cancelRequested()) return false;  // not the encoder's fault
        options_.exportFormat = 0;
        error = "MP3 encoding failed: " + why + "; nothing was written, and later exports are WAV";
        return false;
    }
    host_.setStatusText("");
    return true;
}

// The MP3 as it will be heard: decoded again by our decoder and measured (the codec raises the
// true peak above that of the WAV it was made of).
void ExportJob::measureMp3() {
    const LoudnessScan scan = MeasureSoundFile(mp3OutPath_.c_str());
    loudness_.afterCodecMeasured = scan.ok;
    loudness_.afterCodec = scan.ok ? scan.figures : LoudnessFigures{};
    loudness_.afterCodecError = scan.ok ? std::string() : scan.error;
}

// One constant gain takes the processed output to the target loudness (ReachLoudnessTarget), its
// passes writing the working file, no longer needed as input. `deliverable` becomes the file to
// encode or deliver.
bool ExportJob::reachTarget(std::string& deliverable, std::string& error) {
    class Passes : public LoudnessTargetPasses {
    public:
        Passes(ExportJob& job, const std::string& processed) : job_(job), processed_(processed) {}
        bool gainPass(double gainDb, LoudnessFigures& figures, std::string& error) override {
            if (job_.gainPass(gainDb, figures)) return true;
            error = "cannot write " + job_.workPath_ + " (disk full?)";
            return false;
        }
        bool encode(bool gained, std::string& error) override {
            if (!job_.encodeMp3(gained ? job_.workPath_ : processed_, error)) return false;
            job_.measureMp3();
            return true;
        }

    private:
        ExportJob& job_;
        const std::string processed_;
    } passes(*this, deliverable);
    if (!ReachLoudnessTarget(loudness_, *request_.loudnessTargetLufs, request_.truePeakLimitDbtp, host_, passes,
                             error)) {
        return false;
    }
    if (loudness_.rounds > 0) deliverable = workPath_;
    return true;
}

ExportOutcome ExportJob::run() {
    host_.cancelRequested = false;
    reset(p_);
    stereoIn_.assign(kBlockValues, 0);
    stereoOut_.assign(kBlockValues, 0);
    mono_.assign(kExportBlockFrames, 0);

    host_.setFromText(song_.path);
    carried_ = ReadSongTags(song_.path);
    std::string target = request_.targetPath;
    const bool mp3Output = options_.exportFormat != 0;
    if (!mp3Output) target = replaceExtension(target, ".wav");
    host_.setToText(target);

    if (song_.kind != SongKind::Wav && song_.kind != SongKind::Mp3) {
        // Nothing is produced, so the song must not count as exported.
        if (request_.songStatus) *request_.songStatus = 2;
        return fail("the song has not been probed yet");
    }
    // The file the job will deliver must not be the song itself, whatever the format.
    finalPath_ = mp3Output ? replaceExtension(target, ".mp3") : target;
    if (isSongsOwnFile(finalPath_)) {
        if (request_.songStatus) *request_.songStatus = 2;
        std::string message = "the target ";
        message += finalPath_;
        message += " is the song's own file";
        return fail(message);
    }

    if (request_.temporaryFolder.empty()) return fail("no private temporary folder could be made");
    workPath_ = temporaryPath("$$temp_ldr_", ".wav");
    removeQuietly(workPath_);
    const bool decodeStage = request_.pipelined && song_.kind == SongKind::Mp3;
    {
        std::string error;
        bool ready;
        if (song_.kind == SongKind::Mp3) {
            ready = decodeStage ? startDecodeStage(error) : prepareMp3Song(error);
        } else {
            ready = CopyToNewFile(song_.path, workPath_, error, &host_.cancelRequested);
        }
        if (!ready) return cancelRequested() ? cancelledWithNothing() : fail(error);
    }
    if (options_.normalizeOnExport) {
        host_.setStatusText("Searching max level for normalization..");
        const PeakScanResult scan = decodeStage ? ScanSongPeakIn(song_, FileHandle(decoded_->openReader()), host_)
                                                : ScanSongPeak(song_, workPath_.c_str(), host_);
        if (peakScanSentEndNotice(scan)) {
            endNoticeSent_ = true;
            ExportOutcome outcome;
            if (scan == PeakScanResult::Cancelled) {
                outcome.status = ExportStatus::Cancelled;
            } else if (std::string error; decodeStage && !finishDecodeStage(error)) {
                outcome.message = error;
            } else {
                outcome.message = "the song's WAV header ends early";
            }
            return outcome;
        }
    }
    host_.setStatusText("");
    if (cancelRequested()) return cancelledWithNothing();
    processedPath_ = temporaryPath("$$temp_ldr_dst_", ".wav");

    input_ = decodeStage ? FileHandle(decoded_->openReader()) : OpenFile(workPath_.c_str(), "rb");
    output_ = OpenFile(processedPath_.c_str(), "w+b");
    if (!input_) return fail("cannot read the working copy " + workPath_);
    if (!output_) return fail("cannot create " + processedPath_);

    p_.settings.normalizeGain = normalizeGainFor(song_.peakLevel);

    const WavHeaderCopy header = CopyWavHeader(input_.get(), output_.get());
    if (!header.ok) {
        if (std::string error; decodeStage && !finishDecodeStage(error)) return fail(error);
        return fail("the song's WAV header ends early or cannot be copied");
    }
    headerBytes_ = header.headerBytes;
    dataBytes_ = header.dataBytes;
    wave_ = header.headerBytes > 0;
    remainingBytes_ = dataBytes_;
    stereo_ = song_.channels == 2;

    // While the song is still being decoded its header holds a placeholder size: the probe's
    // decoded size stands in for it.
    const int64_t sizeForSteps = decodeStage ? int64_t{song_.dataBytes} : dataBytes_;
    const int64_t steps = sizeForSteps == 0 ? 100 : (sizeForSteps / (int64_t{song_.channels == 0 ? 1 : song_.channels} * 32768)) & 0xFFFF;
    host_.setProgressRange(static_cast<int>(steps));
    host_.setFromText(song_.path);
    host_.setToText(finalPath_);

    prepare(p_, static_cast<int>(song_.sampleRate));
    if (request_.measureLoudness || request_.loudnessTargetLufs) startMeters();
    const int lead = leadInFrames(p_);
    int64_t processedValues = 0;
    bool firstBlock = true;
    bool cancelled = false;
    constexpr int B = kExportBlockFrames;
    bool writeOk = true;

    // With the built-in encoder the MP3 is encoded while the song is processed, unless a loudness
    // target puts a gain pass between the two.
    static const EncoderSettings kBuiltInEncoder;
    const EncoderSettings& encoder = request_.encoder ? *request_.encoder : kBuiltInEncoder;
    const bool pipelined = request_.pipelined && mp3Output && wave_ && !encoder.useExternalEncoder &&
                           !request_.loudnessTargetLufs && IsMpeg1Bitrate(options_.mp3Bitrate) &&
                           startEncoderStage();

    while (true) {
        encoderHost_.throttleOn = host_.throttleOn.load();
        encoderHost_.throttleLevel = host_.throttleLevel.load();
        throttle();
        const int n = readBlock();
        processBlockInto(stereoOut_);
        const int f = n / 2;
        if (f == B) {
            writeOk = writeFrames(stereoOut_, firstBlock ? lead : 0, B);
        } else {
            // The last block: the output runs on to L frames past the song's last input frame,
            // through one more block of silence when they do not fit in this one.
            const int from = firstBlock ? lead : 0;
            const int end = lead + f;
            writeOk = writeFrames(stereoOut_, from, end < B ? end : B);
            if (writeOk && end > B) {
                std::fill(stereoIn_.begin(), stereoIn_.end(), 0);
                processBlockInto(stereoOut_);
                writeOk = writeFrames(stereoOut_, 0, end - B);
            }
        }
        firstBlock = false;
        if (!writeOk || n < kBlockValues || (pipe_ && pipe_->readerGone())) break;

        processedValues += n;
        host_.setProcessedTimeText(formatProcessedTime(processedValues, song_.sampleRate));
        host_.stepProgress();
        host_.refreshPanel();
        if (host_.cancelRequested.load()) {
            cancelled = true;
            break;
        }
    }
    if (decodeStage) {
        // A song whose decoding failed part way is not delivered, as when it is decoded first;
        // a cancelled one (the decoder stops for the cancel too) delivers what was processed.
        if (!cancelled && cancelRequested()) cancelled = true;
        if (cancelled) {
            if (decodeThread_.joinable()) decodeThread_.join();
        } else if (std::string error; !finishDecodeStage(error)) {
            return fail(error);
        }
    }
    if (!writeOk) return fail(WriteFailureText(processedPath_, writeErrno_));

    const bool patched = patchSizes();
    const bool flushed = patched && std::fflush(output_.get()) == 0;
    const int flushErrno = errno;
    input_.reset();
    output_.reset();
    if (!patched || !flushed) return fail(WriteFailureText(processedPath_, flushErrno));

    // A cancel inside the loop was answered by ending the processing there: the processed part is
    // delivered. From here on a (further) cancel abandons the delivery, so the flag is cleared for
    // the encoding and the delivery and set again when the job returns (its owner reads it then).
    struct CancelKept {
        std::atomic<bool>& flag;
        bool cancelled;
        ~CancelKept() {
            if (cancelled) flag = true;
        }
    } kept{host_.cancelRequested, cancelled};
    host_.cancelRequested = false;

    loudness_.measured = outMeter_ != nullptr;
    if (outFeed_) outFeed_->finish();
    if (loudness_.measured) {
        loudness_.input = inMeter_ ? inMeter_->figures() : LoudnessFigures{};
        loudness_.output = outMeter_->figures();
    }
    loudness_.mp3 = mp3Output;

    std::string error;
    std::string deliverable = processedPath_;
    if (pipelined) {
        // The MP3 was encoded as the song was processed.
        if (!finishEncoderStage(error)) {
            if (cancelRequested()) return cancelledWithNothing();
            options_.exportFormat = 0;
            return fail("MP3 encoding failed: " + error + "; nothing was written, and later exports are WAV");
        }
        host_.setStatusText("");
        if (loudness_.measured) measureMp3();
    } else if (request_.loudnessTargetLufs && loudness_.measured) {
        if (!reachTarget(deliverable, error)) return cancelRequested() ? cancelledWithNothing() : fail(error);
    } else if (mp3Output) {
        // The MP3 is written next to the processed file, then delivered like a WAV file.
        if (!encodeMp3(processedPath_, error)) return cancelRequested() ? cancelledWithNothing() : fail(error);
        if (loudness_.measured) measureMp3();
    }
    // The song's tags go into the job's own file before it is delivered; a song without them (or
    // with only an ID3v1 block) gets nothing more. Tags that cannot be written do not cost the sound.
    if (mp3Output) deliverable = mp3OutPath_;
    const SongTags carried =
        mp3Output ? PrefixedSongTags(carried_, options_.albumPrefix, options_.titlePrefix) : carried_;
    if (std::string why; !WriteSongTags(deliverable, mp3Output ? TaggedFileKind::Mp3 : TaggedFileKind::Wav, carried, why)) {
        warning_ += (warning_.empty() ? "" : "; ") + ("the song's tags were not carried over: " + why);
    }
    if (!deliver(deliverable, error)) {
        return cancelRequested() ? cancelledWithNothing() : fail(error);
    }
    ExportOutcome outcome;
    outcome.status = cancelled ? ExportStatus::Cancelled : ExportStatus::Completed;
    outcome.deliveredPath = finalPath_;
    outcome.warning = warning_;
    outcome.loudness = loudness_;
    return outcome;
}

}  // namespace

ExportOutcome RunExportJob(Processor& p, const ExportRequest& request, JobHost& host) {
    if (!request.song || !request.options) {
        host.endNotice();
        ExportOutcome outcome;
        outcome.message = "no song to export";
        return outcome;
    }
    ExportOutcome outcome;
    {
        ExportJob job(p, request, host);
        outcome = job.run();
    }  // the job's destructor cleans up and sends the end notice
    return outcome;
}

}  // namespace loudara
