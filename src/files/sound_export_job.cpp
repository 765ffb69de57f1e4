#include "files/sound_export_job.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "files/loudness_scan.h"
#include "files/loudness_target.h"
#include "files/peak_level.h"
#include "files/song_tags.h"
#include "files/sound_resampler.h"
#include "files/temp_folder.h"

namespace loudara {
namespace fs = std::filesystem;

SoundOutputDepth DefaultOutputDepth(const SoundFileFormat& format) {
    const std::string& e = format.encoding;
    if (e.find("float") != std::string::npos) return SoundOutputDepth::Float32;
    if (e.find("8-bit") != std::string::npos || e.find("16-bit") != std::string::npos) return SoundOutputDepth::Pcm16;
    return SoundOutputDepth::Pcm24;
}

int16_t RoundAsChain16(float sample) {
    const double value = std::trunc(double(sample) * 32768.0);
    return static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
}

namespace {

constexpr int kBlock = kExportBlockFrames;

// Where the processed frames go: libsndfile on a file the job created exclusively, through a
// resampler when the output rate is not the chain rate. Frames come in as stereo at the chain
// rate; a mono song is written from the left channel.
class SoundSink {
public:
    ~SoundSink() {
        if (file_) sf_close(file_);
    }

    bool open(const std::string& path, int major, SoundOutputDepth depth, int channels, int chainRate, int rate,
              std::string& error) {
        depth_ = depth;
        channels_ = channels;
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        const int subtype = depth == SoundOutputDepth::Pcm16   ? SF_FORMAT_PCM_16
                            : depth == SoundOutputDepth::Pcm24 ? SF_FORMAT_PCM_24
                                                               : SF_FORMAT_FLOAT;
        info.format = major | subtype;
        if (!sf_format_check(&info)) {
            error = "libsndfile cannot write this output format";
            return false;
        }
        const int fd = CreateFileExclusively(path);
        if (fd < 0) {
            error = WriteFailureText(path, errno);
            return false;
        }
        file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        if (!file_) {
            ::close(fd);
            error = "cannot write " + path + ": " + sf_strerror(nullptr);
            return false;
        }
        path_ = path;
        // An RF64 output that ends up under 4 GB after all (a song shorter than its header said) is
        // written as WAV.
        if (major == SF_FORMAT_RF64) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
        if (rate != chainRate) {
            resampler_ = std::make_unique<SoundResampler>(chainRate, rate, channels);
            if (!resampler_->ok()) {
                error = "cannot resample to " + std::to_string(rate) + " Hz: " + resampler_->error();
                return false;
            }
        }
        return true;
    }

    // 16-bit samples rounded to the nearest step (a gain pass), not truncated as the chain rounds.
    void roundToNearest() { nearest16_ = true; }
    // Measures every frame written from here on.
    void measureWith(LoudnessMeter* meter) { meter_ = meter; }

    // Frames [from, to) of a processed stereo block.
    bool write(const float* stereo, int from, int to) {
        if (to <= from) return true;
        const std::size_t frames = static_cast<std::size_t>(to - from);
        frames_.resize(frames * channels_);
        for (std::size_t i = 0; i < frames; ++i) {
            for (int c = 0; c < channels_; ++c) frames_[i * channels_ + c] = stereo[2 * (from + i) + c];
        }
        if (!resampler_) return put(frames_.data(), frames);
        resampled_.clear();
        return resampler_->process(frames_.data(), frames, resampled_) && put(resampled_.data(), resampled_.size() / channels_);
    }

    // Drains the resampler and closes the file. The error, or empty.
    std::string finish() {
        std::string error;
        if (resampler_) {
            resampled_.clear();
            if (!resampler_->finish(resampled_)) error = resampler_->error();
            if (error.empty() && !put(resampled_.data(), resampled_.size() / channels_)) error = writeError();
        }
        const int closed = sf_close(file_);
        file_ = nullptr;
        if (error.empty() && closed != 0) error = "cannot write " + path_ + ": " + sf_error_number(closed);
        return error;
    }

    std::string writeError() const { return "cannot write " + path_ + ": " + sf_strerror(file_); }

private:
    bool put(const float* frames, std::size_t count) {
        if (count == 0) return true;
        const std::size_t values = count * channels_;
        sf_count_t written = 0;
        if (depth_ == SoundOutputDepth::Float32) {
            written = sf_writef_float(file_, frames, static_cast<sf_count_t>(count));
            if (meter_) meter_->addFrames(frames, count);
        } else if (depth_ == SoundOutputDepth::Pcm16) {
            shorts_.resize(values);
            for (std::size_t i = 0; i < values; ++i) {
                shorts_[i] = nearest16_ ? static_cast<short>(std::clamp(std::nearbyint(double(frames[i]) * 32768.0),
                                                                        -32768.0, 32767.0))
                                        : RoundAsChain16(frames[i]);
            }
            written = sf_writef_short(file_, shorts_.data(), static_cast<sf_count_t>(count));
            if (meter_) meter_->addFrames(shorts_.data(), count);
        } else {
            if (meter_) meter_->addFrames(frames, count);
            // Rounded to 24 bits here and handed over in the top 24 bits of an int, which
            // libsndfile writes as they are.
            ints_.resize(values);
            for (std::size_t i = 0; i < values; ++i) {
                const double v = std::clamp(std::nearbyint(double(frames[i]) * 8388608.0), -8388608.0, 8388607.0);
                ints_[i] = static_cast<int>(v) * 256;
            }
            written = sf_writef_int(file_, ints_.data(), static_cast<sf_count_t>(count));
        }
        return written == static_cast<sf_count_t>(count);
    }

    SNDFILE* file_ = nullptr;
    bool nearest16_ = false;
    LoudnessMeter* meter_ = nullptr;
    std::string path_;
    SoundOutputDepth depth_ = SoundOutputDepth::Pcm16;
    int channels_ = 2;
    std::unique_ptr<SoundResampler> resampler_;
    std::vector<float> frames_, resampled_;
    std::vector<short> shorts_;
    std::vector<int> ints_;
};

// Hands the processed blocks to a sink on a thread of its own, so that encoding (FLAC above all)
// runs beside the chain rather than after it. At most a few blocks wait; once a write fails the
// rest are dropped, and write() and finish() say so.
class SinkWriter {
public:
    explicit SinkWriter(SoundSink& sink) : sink_(sink), thread_([this] { loop(); }) {}
    ~SinkWriter() { stop(); }

    // Queues frames [from, to) of a processed stereo block; false once a write has failed.
    bool write(const float* stereo, int from, int to) {
        if (to <= from) return !failed();
        std::unique_lock<std::mutex> lock(mutex_);
        roomFree_.wait(lock, [this] { return queued_.size() < kQueuedBlocks || failed_; });
        if (failed_) return false;
        Block block;
        if (!spare_.empty()) {
            block = std::move(spare_.back());
            spare_.pop_back();
        }
        block.frames.assign(stereo + 2 * from, stereo + 2 * to);
        queued_.push_back(std::move(block));
        blockReady_.notify_one();
        return true;
    }

    // Waits until every queued block is written; false when a write failed.
    bool finish() {
        stop();
        return !failed_;
    }

private:
    static constexpr std::size_t kQueuedBlocks = 4;
    struct Block {
        std::vector<float> frames;  // stereo pairs
    };

    bool failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        blockReady_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            blockReady_.wait(lock, [this] { return !queued_.empty() || ending_; });
            if (queued_.empty()) return;
            Block block = std::move(queued_.front());
            queued_.pop_front();
            lock.unlock();
            const bool ok = !failed_ && sink_.write(block.frames.data(), 0, static_cast<int>(block.frames.size() / 2));
            lock.lock();
            if (!ok) failed_ = true;
            spare_.push_back(std::move(block));
            roomFree_.notify_one();
        }
    }

    SoundSink& sink_;
    std::mutex mutex_;
    std::condition_variable blockReady_, roomFree_;
    std::deque<Block> queued_;
    std::vector<Block> spare_;
    bool ending_ = false;
    bool failed_ = false;  // set by the writing thread only
    std::thread thread_;   // last: starts once the members above exist
};

// Reads the song's blocks ahead on a thread of its own, so that decoding (FLAC above all) runs
// beside the chain. At most a few blocks wait. The reading ends after the song's last block (one
// shorter than a whole block) or a failure, which next() then reports.
class SourceReader {
public:
    using ReadBlock = std::function<bool(float* stereo, int& frames, std::string& error)>;
    explicit SourceReader(ReadBlock read) : read_(std::move(read)), thread_([this] { loop(); }) {}
    ~SourceReader() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        roomFree_.notify_one();
        thread_.join();
    }

    // The next block into `stereo` (kBlock frames); false, with the reason, when the reading failed.
    bool next(float* stereo, int& frames, std::string& error) {
        std::unique_lock<std::mutex> lock(mutex_);
        blockReady_.wait(lock, [this] { return !queued_.empty(); });
        Block block = std::move(queued_.front());
        queued_.pop_front();
        roomFree_.notify_one();
        if (!block.ok) {
            error = block.error;
            return false;
        }
        std::copy(block.samples.begin(), block.samples.end(), stereo);
        frames = block.frames;
        spare_.push_back(std::move(block));
        return true;
    }

private:
    static constexpr std::size_t kQueuedBlocks = 3;
    struct Block {
        std::vector<float> samples;  // kBlock stereo frames
        int frames = 0;
        bool ok = true;
        std::string error;
    };

    void loop() {
        for (;;) {
            Block block;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                roomFree_.wait(lock, [this] { return queued_.size() < kQueuedBlocks || stopping_; });
                if (stopping_) return;
                if (!spare_.empty()) {
                    block = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            block.samples.resize(static_cast<std::size_t>(2 * kBlock));
            block.ok = read_(block.samples.data(), block.frames, block.error);
            const bool last = !block.ok || block.frames < kBlock;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queued_.push_back(std::move(block));
            }
            blockReady_.notify_one();
            if (last) return;
        }
    }

    ReadBlock read_;
    std::mutex mutex_;
    std::condition_variable blockReady_, roomFree_;
    std::deque<Block> queued_;
    std::vector<Block> spare_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

class SoundExportJob {
public:
    SoundExportJob(Processor& p, const SoundExportRequest& request, JobHost& host)
        : p_(p), request_(request), host_(host) {}
    ~SoundExportJob() {
        sink_.reset();
        for (const std::string& path : {written_, gained_, mp3Path_}) {
            std::error_code ignored;
            if (!path.empty()) fs::remove(path, ignored);
        }
        host_.endNotice();
    }

    ExportOutcome run();

private:
    static ExportOutcome fail(std::string message) { return ExportOutcome::failed(std::move(message)); }
    static ExportOutcome cancelledWithNothing() { return ExportOutcome::cancelledWithNothing(); }
    bool cancelRequested() const { return host_.cancelRequested.load(); }
    bool scanPeak(double& gain, std::string& error);
    bool readBlock(float* stereo, int& frames, std::string& error);
    void startMeters(int channels, int chainRate, int rate);
    bool gainPass(double gainDb, LoudnessFigures& figures, std::string& error);
    bool encodeMp3(const std::string& wavPath, ExportLoudness& loudness, std::string& error);

    Processor& p_;
    const SoundExportRequest& request_;
    JobHost& host_;
    SoundSource source_;
    std::unique_ptr<SoundSink> sink_;
    std::vector<float> in_, out_, mono_;
    std::unique_ptr<LoudnessMeter> inMeter_, outMeter_;
    std::string written_, gained_, mp3Path_;
    SongTags carried_;  // the song's tags, for the delivered file
    // The written file's format, for the gain passes.
    int major_ = 0, channels_ = 2, rate_ = 0;
    SoundOutputDepth depth_ = SoundOutputDepth::Pcm16;
    std::atomic<long long> lastClockMs_{0};
};

// Writes the written file again into gained_ with every sample multiplied by one constant gain,
// rounded to the output's depth (16 bits to the nearest step, as the 16-bit job's gain pass), and
// measures what it writes.
bool SoundExportJob::gainPass(double gainDb, LoudnessFigures& figures, std::string& error) {
    std::error_code ignored;
    fs::remove(gained_, ignored);
    SF_INFO info{};
    SNDFILE* in = sf_open(written_.c_str(), SFM_READ, &info);
    if (!in) {
        error = "cannot read " + written_ + ": " + sf_strerror(nullptr);
        return false;
    }
    LoudnessMeter meter(static_cast<unsigned>(rate_), static_cast<unsigned>(channels_));
    SoundSink out;
    out.roundToNearest();
    out.measureWith(&meter);
    bool ok = out.open(gained_, major_, depth_, channels_, rate_, rate_, error);
    const double factor = std::pow(10.0, gainDb / 20.0);
    std::vector<float> block(static_cast<std::size_t>(2 * kBlock));
    while (ok) {
        host_.throttle(lastClockMs_, 10);
        const sf_count_t got = sf_readf_float(in, block.data(), kBlock / 2);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got * channels_; ++i) block[i] = float(double(block[i]) * factor);
        // Frames as stereo pairs for the sink: a mono file's are put in both channels.
        std::vector<float> stereo(static_cast<std::size_t>(2 * got));
        for (sf_count_t i = 0; i < got; ++i) {
            stereo[2 * i] = block[i * channels_];
            stereo[2 * i + 1] = block[i * channels_ + channels_ - 1];
        }
        ok = out.write(stereo.data(), 0, static_cast<int>(got));
        if (!ok) error = out.writeError();
        host_.refreshPanel();
    }
    sf_close(in);
    if (!ok) return false;
    if (error = out.finish(); !error.empty()) return false;
    figures = meter.figures();
    return true;
}

// Encodes a 16-bit WAV file as the 16-bit job does and measures the MP3 as decoded.
bool SoundExportJob::encodeMp3(const std::string& wavPath, ExportLoudness& loudness, std::string& error) {
    static const EncoderSettings kBuiltInEncoder;
    const SongTag noTag;
    mp3Path_ = Mp3OutputPathFor(wavPath);
    std::string why;
    if (!EncodeWavToMp3(host_, wavPath, request_.mp3Bitrate, noTag, request_.encoder ? *request_.encoder : kBuiltInEncoder,
                        "", "", why)) {
        error = "MP3 encoding failed: " + why;
        return false;
    }
    host_.setStatusText("");
    if (loudness.measured) {
        const LoudnessScan scan = MeasureSoundFile(mp3Path_.c_str());
        loudness.afterCodecMeasured = scan.ok;
        loudness.afterCodec = scan.ok ? scan.figures : LoudnessFigures{};
        loudness.afterCodecError = scan.ok ? std::string() : scan.error;
    }
    return true;
}

// One part of the peak scan: the reads [firstRead, endRead) of the whole song's read grid,
// `readFrames` frames each, the last one possibly shorter. `complete` is the largest sample (at
// the 16-bit scale) of its complete reads, `last` that of a shorter read at the song's end. A
// complete read past 30000 sets `loud` (the scan's answer is then full scale, and every part
// stops); a cancel after a complete read stops the part.
struct PeakPart {
    double complete = 0.0, last = 0.0;
    bool cancelled = false;
    std::string error;
};

PeakPart scanPeakPart(const std::string& path, int64_t firstRead, int64_t endRead, int64_t readFrames,
                      std::atomic<bool>& loud, const std::atomic<bool>& cancel) {
    PeakPart part;
    SoundSource source;
    if (source.open(path) != SoundOpenResult::Ok || (firstRead > 0 && !source.seek(firstRead * readFrames))) {
        part.error = source.error();
        return part;
    }
    std::vector<float> block(static_cast<std::size_t>(2 * readFrames));
    for (int64_t read = firstRead; read < endRead && !loud; ++read) {
        const int64_t got = source.read(block.data(), readFrames);
        if (got < 0) {
            part.error = source.error();
            return part;
        }
        double peak = 0.0;
        for (int64_t i = 0; i < 2 * got; ++i) peak = std::max(peak, std::abs(double(block[i])) * 32768.0);
        if (got < readFrames) {
            part.last = peak;
            return part;
        }
        part.complete = std::max(part.complete, peak);
        if (part.complete > kPeakLoudEnough) {
            loud = true;
            return part;
        }
        if (cancel.load()) {
            part.cancelled = true;
            return part;
        }
    }
    return part;
}

// The largest absolute sample of the song at the 16-bit scale, read as the 16-bit scan reads:
// 32768 samples of the song at a time, and a song that passes 30000 within a complete read is
// taken as full scale. False on a cancel (gain untouched, error empty) or a read failure.
// A song read at its own rate (no resampling, so any read of the grid can be sought) is scanned
// in two halves on two threads: the answer is the same, since it is full scale when any complete
// read passes 30000 and the largest sample otherwise.
bool SoundExportJob::scanPeak(double& gain, std::string& error) {
    SoundSource probe;
    if (probe.open(request_.songPath) != SoundOpenResult::Ok) {
        error = probe.error();
        return false;
    }
    const int64_t readFrames = probe.format().channels == 2 ? kPeakReadSamples / 2 : kPeakReadSamples;
    const int64_t completeReads = probe.chainFrames() / readFrames;
    const bool halves = probe.chainRate() == probe.format().sampleRate && completeReads >= 8;
    probe.close();
    std::atomic<bool> loud{false};
    constexpr int64_t kToTheEnd = INT64_MAX;
    PeakPart first, second;
    if (halves) {
        const int64_t middle = completeReads / 2;
        std::thread other([&] {
            second = scanPeakPart(request_.songPath, middle, kToTheEnd, readFrames, loud, host_.cancelRequested);
        });
        first = scanPeakPart(request_.songPath, 0, middle, readFrames, loud, host_.cancelRequested);
        other.join();
    } else {
        first = scanPeakPart(request_.songPath, 0, kToTheEnd, readFrames, loud, host_.cancelRequested);
    }
    if (!loud) {
        for (const PeakPart* part : {&first, &second}) {
            if (!part->error.empty()) {
                error = part->error;
                return false;
            }
        }
        if (first.cancelled || second.cancelled) return false;
    }
    const double peak = loud ? 32767.0 : std::max({first.complete, first.last, second.complete, second.last});
    gain = normalizeGainForLevel(peak);
    return true;
}

// The next block of the song into `stereo` (kBlock frames, silence after its end): `frames` read,
// fewer than a block only at the end. Runs on the reading thread (SourceReader).
bool SoundExportJob::readBlock(float* stereo, int& frames, std::string& error) {
    std::fill(stereo, stereo + 2 * kBlock, 0.0f);
    int64_t got = 0;
    while (got < kBlock) {
        const int64_t n = source_.read(stereo + 2 * got, kBlock - got);
        if (n < 0) {
            error = source_.error();
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    frames = static_cast<int>(got);
    if (inMeter_ && inMeter_->channels() == 1) {
        for (int64_t i = 0; i < got; ++i) mono_[i] = stereo[2 * i];
        inMeter_->addFrames(mono_.data(), static_cast<std::size_t>(got));
    } else if (inMeter_) {
        inMeter_->addFrames(stereo, static_cast<std::size_t>(got));
    }
    return true;
}

// As the 16-bit job measures: the input without its true peak, which would cost more than the
// rest of both measurements. A format the meter refuses is not measured.
void SoundExportJob::startMeters(int channels, int chainRate, int rate) {
    try {
        if (request_.measureInput || request_.loudnessTargetLufs) {
            inMeter_ = std::make_unique<LoudnessMeter>(chainRate, channels, LoudnessMeter::History::Exact,
                                                       LoudnessMeter::Peaks::SampleOnly);
        }
        outMeter_ = std::make_unique<LoudnessMeter>(rate, channels);
        sink_->measureWith(outMeter_.get());
    } catch (const std::exception&) {
        inMeter_.reset();
        outMeter_.reset();
    }
}

ExportOutcome SoundExportJob::run() {
    host_.cancelRequested = false;
    reset(p_);
    host_.setFromText(request_.songPath);
    host_.setToText(request_.targetPath);
    if (source_.open(request_.songPath) != SoundOpenResult::Ok) return fail(source_.error());
    carried_ = ReadSongTags(request_.songPath);
    const SoundOutputFormat& output = request_.output;
    const int chainRate = source_.chainRate();
    const int rate = output.rate > 0 ? output.rate : chainRate;
    const bool mp3 = output.kind == SoundOutputKind::Mp3;
    if (mp3 && rate != 32000 && rate != 44100 && rate != 48000) {
        return fail("MP3 output is written at 32000, 44100 or 48000 Hz, not " + std::to_string(rate));
    }
    if (output.kind == SoundOutputKind::Flac && output.depth == SoundOutputDepth::Float32) {
        return fail("FLAC holds 16 or 24 bits, not 32-bit float");
    }
    if (request_.temporaryFolder.empty()) return fail("no private temporary folder could be made");

    double gain = 1.0;
    if (request_.normalize) {
        host_.setStatusText("Searching max level for normalization..");
        std::string error;
        if (!scanPeak(gain, error)) return error.empty() ? cancelledWithNothing() : fail(error);
    }
    host_.setStatusText("");
    if (cancelRequested()) return cancelledWithNothing();

    const SoundOutputDepth depth = mp3 ? SoundOutputDepth::Pcm16 : output.depth;
    const int channels = source_.format().channels == 1 ? 1 : 2;
    // A WAV output whose sound passes 4 GB (with room for its header) is RF64 from the start.
    const int64_t frameBytes = channels * (depth == SoundOutputDepth::Pcm16 ? 2 : depth == SoundOutputDepth::Pcm24 ? 3 : 4);
    const double outputBytes = double(source_.chainFrames()) * rate / chainRate * double(frameBytes);
    const bool rf64 = !mp3 && outputBytes > double(0xFFFFFFFFu - (1u << 20));
    const int major = output.kind == SoundOutputKind::Flac ? SF_FORMAT_FLAC : rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV;
    written_ = (fs::path(request_.temporaryFolder) /
                ("$$temp_ldr_dst_" + request_.runStamp + (output.kind == SoundOutputKind::Flac ? ".flac" : ".wav")))
                   .string();
    major_ = major;
    depth_ = depth;
    channels_ = channels;
    rate_ = rate;
    gained_ = (fs::path(request_.temporaryFolder) / ("$$temp_ldr_gain_" + request_.runStamp + fs::path(written_).extension().string()))
                  .string();
    sink_ = std::make_unique<SoundSink>();
    if (std::string error; !sink_->open(written_, major, depth, channels, chainRate, rate, error)) return fail(error);

    const int64_t frames = source_.chainFrames();
    host_.setProgressRange(frames == 0 ? 100 : static_cast<int>((frames / kBlock) & 0xFFFF));
    p_.settings.normalizeGain = gain;
    prepare(p_, chainRate);
    in_.assign(2 * kBlock, 0.0f);
    out_.assign(2 * kBlock, 0.0f);
    mono_.assign(kBlock, 0.0f);
    if (request_.measureLoudness || request_.loudnessTargetLufs) startMeters(channels, chainRate, rate);
    const int lead = leadInFrames(p_);
    SinkWriter writer(*sink_);
    auto reader = std::make_unique<SourceReader>(
        [this](float* stereo, int& frames, std::string& error) { return readBlock(stereo, frames, error); });
    int64_t processedFrames = 0;
    bool firstBlock = true;
    bool cancelled = false;
    while (true) {
        host_.throttle(lastClockMs_, 10);
        int f = 0;
        if (std::string error; !reader->next(in_.data(), f, error)) return fail(error);
        processBlockFloat(p_, 2 * kBlock, in_.data(), out_.data());
        bool ok;
        const int from = firstBlock ? lead : 0;
        if (f == kBlock) {
            ok = writer.write(out_.data(), from, kBlock);
        } else {
            // The last block: the output runs on to `lead` frames past the song's last frame,
            // through one more block of silence when they do not fit in this one.
            const int end = lead + f;
            ok = writer.write(out_.data(), from, std::min(end, kBlock));
            if (ok && end > kBlock) {
                std::fill(in_.begin(), in_.end(), 0.0f);
                processBlockFloat(p_, 2 * kBlock, in_.data(), out_.data());
                ok = writer.write(out_.data(), 0, end - kBlock);
            }
        }
        if (!ok) {
            writer.finish();
            return fail(sink_->writeError());
        }
        firstBlock = false;
        if (f < kBlock) break;
        processedFrames += f;
        host_.setProcessedTimeText(formatProcessedTime(2 * processedFrames, static_cast<uint32_t>(chainRate)));
        host_.stepProgress();
        host_.refreshPanel();
        if (cancelRequested()) {
            cancelled = true;
            break;
        }
    }
    // The reading thread ends before the input meter it feeds is read (a cancel leaves it mid-song).
    reader.reset();
    if (!writer.finish()) return fail(sink_->writeError());
    if (const std::string error = sink_->finish(); !error.empty()) return fail(error);
    sink_.reset();

    // As in the 16-bit job: a cancel in the loop delivers the processed part; from here on a
    // further cancel abandons the encoding and the delivery, and the flag is set again at the end.
    host_.cancelRequested = false;
    ExportOutcome outcome;
    ExportLoudness loudness;
    loudness.measured = outMeter_ != nullptr;
    if (loudness.measured) {
        loudness.input = inMeter_ ? inMeter_->figures() : LoudnessFigures{};
        loudness.output = outMeter_->figures();
    }
    loudness.mp3 = mp3;
    std::string deliverable = written_;
    std::string error;
    bool ready = true;
    if (request_.loudnessTargetLufs && loudness.measured) {
        class Passes : public LoudnessTargetPasses {
        public:
            Passes(SoundExportJob& job, ExportLoudness& loudness) : job_(job), loudness_(loudness) {}
            bool gainPass(double gainDb, LoudnessFigures& figures, std::string& error) override {
                return job_.gainPass(gainDb, figures, error);
            }
            bool encode(bool gained, std::string& error) override {
                return job_.encodeMp3(gained ? job_.gained_ : job_.written_, loudness_, error);
            }

        private:
            SoundExportJob& job_;
            ExportLoudness& loudness_;
        } passes(*this, loudness);
        ready = ReachLoudnessTarget(loudness, *request_.loudnessTargetLufs, request_.truePeakLimitDbtp, host_, passes,
                                    error);
        if (loudness.rounds > 0) deliverable = gained_;
    } else if (mp3) {
        ready = encodeMp3(written_, loudness, error);
    }
    if (ready && mp3) deliverable = mp3Path_;
    if (!ready) {
        outcome = cancelRequested() ? cancelledWithNothing() : fail(error);
        if (cancelled) host_.cancelRequested = true;
        return outcome;
    }
    // The song's tags go into the job's own file before it is delivered, in the output's kind of tag.
    const TaggedFileKind tagKind = mp3 ? TaggedFileKind::Mp3
                                       : output.kind == SoundOutputKind::Flac ? TaggedFileKind::Flac : TaggedFileKind::Wav;
    const SongTags carried =
        mp3 ? PrefixedSongTags(carried_, request_.albumPrefix.c_str(), request_.titlePrefix.c_str()) : carried_;
    std::string tagWarning;
    if (std::string why; !WriteSongTags(deliverable, tagKind, carried, why)) {
        tagWarning = "the song's tags were not carried over: " + why;
    }
    if (!MoveFileOver(deliverable, request_.targetPath, error, &host_.cancelRequested)) {
        outcome = cancelRequested() ? cancelledWithNothing() : fail(error);
    } else {
        outcome.status = cancelled ? ExportStatus::Cancelled : ExportStatus::Completed;
        outcome.deliveredPath = request_.targetPath;
        outcome.loudness = loudness;
        outcome.warning = tagWarning;
    }
    if (cancelled) host_.cancelRequested = true;
    return outcome;
}

}  // namespace

ExportOutcome RunSoundExportJob(Processor& p, const SoundExportRequest& request, JobHost& host) {
    ExportOutcome outcome;
    {
        SoundExportJob job(p, request, host);
        outcome = job.run();
    }  // the job's destructor removes its files and sends the end notice
    return outcome;
}

}  // namespace loudara
