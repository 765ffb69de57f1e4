#include "files/loudness_scan.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "files/sound_source.h"
#include "files/wav_file.h"

namespace loudara {

namespace {

bool measurableFormat(uint32_t rate, uint32_t channels) {
    return (rate == 32000 || rate == 44100 || rate == 48000) && (channels == 1 || channels == 2);
}

std::unique_ptr<LoudnessMeter> makeMeter(uint32_t rate, uint32_t channels, std::string& error) {
    try {
        return std::make_unique<LoudnessMeter>(rate, channels);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

void measureWav(const char* path, LoudnessScan& scan) {
    SongRecord song;
    const WavProbeResult probe = ProbeWavFile(path, song);
    if (probe == WavProbeResult::Unsupported) {
        scan.error = "not 16-bit mono or stereo PCM at 32000, 44100 or 48000 Hz";
        return;
    }
    FileHandle file = OpenFile(path, "rb");
    const int64_t dataBytes = file ? SeekWavData(file.get()) : -1;
    if (probe != WavProbeResult::Ok || dataBytes < 0) {
        scan.error = "cannot read the WAV header";
        return;
    }
    auto meter = makeMeter(song.sampleRate, song.channels, scan.error);
    if (!meter) return;
    scan.sampleRate = song.sampleRate;
    scan.channels = song.channels;
    // Whole frames of the data chunk, as far as the file holds them.
    const size_t frameBytes = 2 * song.channels;
    std::vector<int16_t> buffer(16384 * song.channels);
    int64_t remaining = dataBytes / static_cast<int64_t>(frameBytes);
    while (remaining > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(remaining, 16384));
        const size_t got = std::fread(buffer.data(), frameBytes, want, file.get());
        if (got == 0) break;
        meter->addFrames(buffer.data(), got);
        remaining -= static_cast<int64_t>(got);
    }
    scan.figures = meter->figures();
    scan.ok = true;
}

// The MP3 as the decoder's float output gives it (libsndfile's MPEG decoding): a decoded signal
// that goes over full scale keeps its overs, which 16-bit output would clip away (reading the
// true peak up to dB low). The decoder drops the encoder's delay and padding itself. False when
// the file is not an MPEG stream libsndfile reads; the scan is untouched then.
bool measureMp3Unclipped(const char* path, LoudnessScan& scan) {
    const int descriptor = OpenRegularFileForReading(path);
    if (descriptor < 0) return false;
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(descriptor, SFM_READ, &info, SF_FALSE);
    struct Closer {
        SNDFILE* file;
        int descriptor;
        ~Closer() {
            if (file) sf_close(file);
            ::close(descriptor);
        }
    } closer{file, descriptor};
    if (!file || (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG ||
        !measurableFormat(static_cast<uint32_t>(info.samplerate), static_cast<uint32_t>(info.channels))) {
        return false;
    }
    LoudnessScan result;
    result.mp3 = true;
    auto meter = makeMeter(static_cast<uint32_t>(info.samplerate), static_cast<uint32_t>(info.channels), result.error);
    if (!meter) return false;
    result.sampleRate = static_cast<uint32_t>(info.samplerate);
    result.channels = static_cast<uint32_t>(info.channels);
    constexpr sf_count_t kFrames = 4096;
    std::vector<float> buffer(static_cast<std::size_t>(kFrames) * info.channels);
    sf_count_t got;
    while ((got = sf_readf_float(file, buffer.data(), kFrames)) > 0) meter->addFrames(buffer.data(), static_cast<std::size_t>(got));
    if (sf_error(file) != SF_ERR_NO_ERROR) {
        result.error = sf_strerror(file);
        scan = result;
        return true;
    }
    result.figures = meter->figures();
    result.ok = true;
    scan = result;
    return true;
}

void measureMp3(const char* path, LoudnessScan& scan) {
    if (measureMp3Unclipped(path, scan)) return;
    Mp3Decoder decoder;
    std::string why;
    if (!decoder.open(path, &why)) {
        scan.error = "neither a WAV file nor an MP3 stream Loudara can read";
        if (!why.empty()) scan.error += " (" + why + ")";
        return;
    }
    scan.mp3 = true;
    const Mp3StreamInfo& info = decoder.info();
    if (!measurableFormat(info.sampleRate, info.channels)) {
        scan.error = "an MP3 stream at " + std::to_string(info.sampleRate) + " Hz: 32000, 44100 and 48000 are read";
        return;
    }
    auto meter = makeMeter(info.sampleRate, info.channels, scan.error);
    if (!meter) return;
    scan.sampleRate = info.sampleRate;
    scan.channels = info.channels;
    if (!MeasureMp3Stream(decoder, *meter, scan.error)) return;
    scan.figures = meter->figures();
    scan.ok = true;
}

// A file libsndfile reads (FLAC, Ogg, AIFF, WAV of other depths and rates...), measured at its own
// rate and in its own channels: a mono file as one channel, as a mono WAV song is measured.
void measureSoundFile(SoundSource& source, LoudnessScan& scan) {
    const SoundFileFormat format = source.format();
    const unsigned channels = static_cast<unsigned>(format.channels);
    auto meter = makeMeter(static_cast<uint32_t>(format.sampleRate), channels, scan.error);
    if (!meter) return;
    scan.sampleRate = static_cast<uint32_t>(format.sampleRate);
    scan.channels = channels;
    constexpr int64_t kFrames = SoundSource::kBlockFrames;
    std::vector<float> stereo(2 * kFrames);
    while (true) {
        const int64_t n = source.read(stereo.data(), kFrames);
        if (n < 0) {
            scan.error = source.error();
            return;
        }
        if (n == 0) break;
        if (channels == 1) {
            for (int64_t i = 0; i < n; ++i) stereo[i] = stereo[2 * i];
        }
        meter->addFrames(stereo.data(), static_cast<size_t>(n));
    }
    scan.figures = meter->figures();
    scan.ok = true;
}

}  // namespace

bool MeasureMp3Stream(Mp3Decoder& decoder, LoudnessMeter& meter, std::string& error) {
    const unsigned channels = meter.channels();
    int64_t toDrop = Mp3LeadingSamples(decoder.info());
    int16_t left[kMp3FrameSamples], right[kMp3FrameSamples];
    int16_t frames[2 * kMp3FrameSamples];
    while (true) {
        const int n = decoder.readFrame(left, right);
        if (n < 0) {
            error = decoder.error();
            return false;
        }
        if (n == 0) return true;
        const int from = static_cast<int>(std::min<int64_t>(toDrop, n));
        toDrop -= from;
        for (int i = from; i < n; ++i) {
            frames[(i - from) * channels] = left[i];
            if (channels == 2) frames[(i - from) * 2 + 1] = right[i];
        }
        if (n > from) meter.addFrames(frames, static_cast<size_t>(n - from));
    }
}

LoudnessScan MeasureSoundFile(const char* path) {
    LoudnessScan scan;
    SongRecord song;
    const WavProbeResult wav = ProbeWavFile(path, song);
    if (wav == WavProbeResult::Ok) {
        measureWav(path, scan);
        return scan;
    }
    // Any other sound file libsndfile takes, read at its own rate (MP3 is never among them).
    SoundSource source;
    SoundOpenResult opened = source.open(path);
    if (opened == SoundOpenResult::Ok && source.chainRate() != source.format().sampleRate) {
        opened = source.open(path, source.format().sampleRate);
    }
    if (opened == SoundOpenResult::Ok) {
        measureSoundFile(source, scan);
    } else if (opened == SoundOpenResult::Refused) {
        scan.error = source.error();
    } else if (wav != WavProbeResult::Unreadable) {
        measureWav(path, scan);
    } else {
        measureMp3(path, scan);
    }
    return scan;
}

nlohmann::ordered_json LoudnessFigureJson(double figure) {
    if (!hasValue(figure) || !std::isfinite(figure)) return nullptr;
    return std::round(figure * 100.0) / 100.0 + 0.0;  // + 0.0: never "-0.0"
}

nlohmann::ordered_json LoudnessFiguresJson(const LoudnessFigures& figures, bool withTruePeak) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["integratedLufs"] = LoudnessFigureJson(figures.integratedLufs);
    out["loudnessRangeLu"] = LoudnessFigureJson(figures.loudnessRangeLu);
    out["maxMomentaryLufs"] = LoudnessFigureJson(figures.maxMomentaryLufs);
    out["maxShortTermLufs"] = LoudnessFigureJson(figures.maxShortTermLufs);
    out["samplePeakDbfs"] = LoudnessFigureJson(figures.samplePeakDbfs);
    if (withTruePeak) out["truePeakDbtp"] = LoudnessFigureJson(figures.truePeakDbtp);
    return out;
}

std::string FormatLoudnessFigure(double figure) {
    if (!hasValue(figure) || !std::isfinite(figure)) return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", figure);
    // Rounded to 0.00 from below shows as "-0.00": the same figure as 0.00.
    return std::string(text) == "-0.00" ? "0.00" : text;
}

}  // namespace loudara
