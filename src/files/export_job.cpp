#include "files/export_job.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/peak_level.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"

namespace loudara {
namespace fs = std::filesystem;

int32_t exportBitrateFor(int32_t entered, bool batchDialog) {
    static constexpr int32_t kBitrates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    int32_t rate = entered;
    if (rate < 32 || rate > 320) rate = batchDialog ? 128 : 192;
    for (int32_t allowed : kBitrates) {
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

int leadInFrames(const Processor& p) {
    // 893 = the longest look-ahead (880) + 13: the band paths delay by the same 898 samples
    // whatever the look-ahead, so a shorter look-ahead must not shorten the lead-in.
    int frames = 880 + 13;
    if (adaptiveClipper(p.params.clipType)) frames += 3;
    if (emphasisActive(p.params.preEmphasis)) frames += 66;
    const int lowpass = truncated(p.settings.finalLowpass);
    if (lowpass == 1 || lowpass == 2) frames += 12;
    return frames;
}

std::string makeRunStamp() {
    const long long seconds = static_cast<long long>(std::time(nullptr));
    char text[16];
    std::snprintf(text, sizeof text, "%08lld", (seconds + static_cast<long long>(getpid())) % 100000000LL);
    return text;
}

namespace {

constexpr int kBlockValues = 2 * kExportBlockFrames;  // 16-bit values per processed block

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
    ExportOutcome fail(std::string message) {
        ExportOutcome outcome;
        outcome.status = ExportStatus::Failed;
        outcome.message = std::move(message);
        return outcome;
    }
    // A cancel outside the processing loop: nothing is delivered, the target stays as it was.
    static ExportOutcome cancelledWithNothing() {
        ExportOutcome outcome;
        outcome.status = ExportStatus::Cancelled;
        return outcome;
    }
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

    Processor& p_;
    const ExportRequest& request_;
    SongRecord& song_;
    ExportOptions& options_;
    JobHost& host_;
    SongTag& tag_;
    SongTag noTag_;
    bool endNoticeSent_ = false;

    std::string workPath_, processedPath_, finalPath_, mp3CopyPath_, mp3OutPath_;
    FileHandle input_, output_;
    std::vector<int16_t> stereoIn_, stereoOut_, mono_;
    bool stereo_ = true;
    bool wave_ = true;
    int64_t headerBytes_ = 0;
    int64_t dataBytes_ = 0;
    int64_t remainingBytes_ = 0;
    int64_t writtenBytes_ = 0;
    std::clock_t lastClock_ = 0;
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
void ExportJob::throttle() {
    if (!host_.throttleOn.load()) return;
    const std::clock_t now = std::clock();
    long long elapsedMs = static_cast<long long>(now - lastClock_) * 1000 / CLOCKS_PER_SEC;
    elapsedMs = elapsedMs < 0 ? 0 : (elapsedMs > 100 ? 100 : elapsedMs);
    lastClock_ = now;
    const long long restMs = host_.throttleLevel.load() * elapsedMs / 10;
    if (restMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(restMs));
}

// Reads the next block into stereoIn (mono duplicated into both channels, the rest silence) and
// returns the number of 16-bit stereo values read. The sound ends with the data chunk.
int ExportJob::readBlock() {
    std::fill(stereoIn_.begin(), stereoIn_.end(), 0);
    const int64_t wantSamples = stereo_ ? kBlockValues : kExportBlockFrames;
    const size_t count = static_cast<size_t>(std::min<int64_t>(wantSamples, remainingBytes_ / 2));
    if (stereo_) {
        const size_t got = std::fread(stereoIn_.data(), 2, count, input_.get());
        remainingBytes_ -= static_cast<int64_t>(got) * 2;
        return static_cast<int>(got);
    }
    std::fill(mono_.begin(), mono_.end(), 0);
    const size_t got = std::fread(mono_.data(), 2, count, input_.get());
    remainingBytes_ -= static_cast<int64_t>(got) * 2;
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
    } else {
        for (int i = from; i < to; ++i) mono_[i - from] = block[2 * i];
        written = std::fwrite(mono_.data(), 2, static_cast<size_t>(to - from), output_.get());
    }
    writtenBytes_ += static_cast<int64_t>(written) * (stereo_ ? 4 : 2);
    if (written == static_cast<size_t>(to - from)) return true;
    writeErrno_ = errno;
    return false;
}

// A cancelled or short song leaves fewer samples than the copied header announces: the RIFF and
// data sizes are set to what was written, so the delivered file is a valid WAV file.
bool ExportJob::patchSizes() {
    if (!wave_ || writtenBytes_ == dataBytes_) return true;
    auto putU32 = [this](long offset, uint32_t value) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16),
                                        static_cast<unsigned char>(value >> 24)};
        return std::fseek(output_.get(), offset, SEEK_SET) == 0 && std::fwrite(bytes, 1, 4, output_.get()) == 4;
    };
    const int64_t fileBytes = headerBytes_ + writtenBytes_;
    return putU32(4, static_cast<uint32_t>(fileBytes - 8)) &&
           putU32(static_cast<long>(headerBytes_ - 4), static_cast<uint32_t>(writtenBytes_));
}

// Copies the finished file beside the target (to a new file no link can redirect) and renames it
// over the target, so an existing file is replaced only by a complete new one.
bool ExportJob::deliver(const std::string& source, std::string& error) {
    return ReplaceFileWithCopy(source, finalPath_, error, &host_.cancelRequested);
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
    if (!DecodeMp3ToWav(mp3CopyPath_.c_str(), workPath_.c_str(), tag_, host_, why) ||
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

ExportOutcome ExportJob::run() {
    host_.cancelRequested = false;
    clearEnhancerDelay(p_);
    clearBandMemory(p_);
    resetProcessor(p_);
    clearProcessorState(p_);
    stereoIn_.assign(kBlockValues, 0);
    stereoOut_.assign(kBlockValues, 0);
    mono_.assign(kExportBlockFrames, 0);

    host_.setFromText(song_.path);
    std::string target = request_.targetPath;
    const bool mp3Output = options_.exportFormat != 0;
    if (!mp3Output) target = replaceExtension(target, ".wav");
    host_.setToText(target);

    if (song_.kind != SongKind::Wav && song_.kind != SongKind::Mp3) return fail("the song has not been probed yet");
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
    {
        std::string error;
        const bool ready = song_.kind == SongKind::Mp3 ? prepareMp3Song(error)
                                                       : CopyToNewFile(song_.path, workPath_, error, &host_.cancelRequested);
        if (!ready) return cancelRequested() ? cancelledWithNothing() : fail(error);
    }
    if (options_.normalizeOnExport) {
        host_.setStatusText("Searching max level for normalization..");
        const PeakScanResult scan = ScanSongPeak(song_, workPath_.c_str(), host_);
        if (peakScanSentEndNotice(scan)) {
            endNoticeSent_ = true;
            ExportOutcome outcome;
            if (scan == PeakScanResult::Cancelled) {
                outcome.status = ExportStatus::Cancelled;
            } else {
                outcome.message = "the song's WAV header ends early";
            }
            return outcome;
        }
    }
    host_.setStatusText("");
    if (cancelRequested()) return cancelledWithNothing();
    processedPath_ = temporaryPath("$$temp_ldr_dst_", ".wav");

    input_ = OpenFile(workPath_.c_str(), "rb");
    output_ = OpenFile(processedPath_.c_str(), "w+b");
    if (!input_) return fail("cannot read the working copy " + workPath_);
    if (!output_) return fail("cannot create " + processedPath_);

    p_.settings.normalizeGain = normalizeGainFor(song_.peakLevel);

    const WavHeaderCopy header = CopyWavHeader(input_.get(), output_.get());
    if (!header.ok) return fail("the song's WAV header ends early or cannot be copied");
    headerBytes_ = header.headerBytes;
    dataBytes_ = header.dataBytes;
    wave_ = header.headerBytes > 0;
    remainingBytes_ = dataBytes_;
    stereo_ = song_.channels == 2;

    const int64_t steps = dataBytes_ == 0 ? 100 : (dataBytes_ / (int64_t{song_.channels == 0 ? 1 : song_.channels} * 32768)) & 0xFFFF;
    host_.setProgressRange(static_cast<int>(steps));
    host_.setFromText(song_.path);
    host_.setToText(finalPath_);

    prepareForSong(p_, static_cast<int>(song_.sampleRate));
    const int lead = leadInFrames(p_);
    int64_t processedValues = 0;
    bool firstBlock = true;
    bool cancelled = false;
    constexpr int B = kExportBlockFrames;
    bool writeOk = true;

    while (true) {
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
        if (!writeOk || n < kBlockValues) break;

        processedValues += n;
        host_.setProcessedTimeText(formatProcessedTime(processedValues, song_.sampleRate));
        host_.stepProgress();
        host_.refreshPanel();
        if (host_.cancelRequested.load()) {
            cancelled = true;
            break;
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

    std::string error;
    if (mp3Output) {
        // The MP3 is written next to the processed file, then delivered like a WAV file.
        static const EncoderSettings kBuiltInEncoder;
        const EncoderSettings& encoder = request_.encoder ? *request_.encoder : kBuiltInEncoder;
        mp3OutPath_ = Mp3OutputPathFor(processedPath_);
        if (!EncodeWavToMp3(host_, processedPath_, options_.mp3Bitrate, tag_, encoder, options_.albumPrefix,
                            options_.titlePrefix, error)) {
            if (cancelRequested()) return cancelledWithNothing();
            options_.exportFormat = 0;
            std::string message = "MP3 encoding failed: ";
            message += error;
            message += "; nothing was written, and later exports are WAV";
            return fail(message);
        }
        host_.setStatusText("");
        if (!deliver(mp3OutPath_, error)) return cancelRequested() ? cancelledWithNothing() : fail(error);
    } else if (!deliver(processedPath_, error)) {
        return cancelRequested() ? cancelledWithNothing() : fail(error);
    }
    ExportOutcome outcome;
    outcome.status = cancelled ? ExportStatus::Cancelled : ExportStatus::Completed;
    outcome.deliveredPath = finalPath_;
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
