#include "files/sound_source.h"

#include <sndfile.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "files/unreadable_file.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

constexpr char kMpegReason[] = "MPEG audio, which Loudara reads with its own MP3 decoder";

// libsndfile's name of a major format or an encoding, "" when it has none.
std::string libraryName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return {};
    return info.name;
}

std::string kindName(int major, bool aifc) {
    switch (major) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX: return "WAV";
        case SF_FORMAT_RF64: return "RF64";
        case SF_FORMAT_W64: return "W64";
        case SF_FORMAT_AIFF: return aifc ? "AIFC" : "AIFF";
        case SF_FORMAT_FLAC: return "FLAC";
        case SF_FORMAT_OGG: return "Ogg";
        case SF_FORMAT_MPEG: return "MP3";
        default: break;
    }
    const std::string name = libraryName(major);
    // "AU (Sun/NeXT)" -> "AU": the part before any bracket.
    const std::string shortName = name.substr(0, name.find(" ("));
    return shortName.empty() ? "unknown kind" : shortName;
}

std::string encodingName(int major, int subtype) {
    if (major == SF_FORMAT_FLAC) {
        switch (subtype) {
            case SF_FORMAT_PCM_S8: return "FLAC 8-bit";
            case SF_FORMAT_PCM_16: return "FLAC 16-bit";
            case SF_FORMAT_PCM_24: return "FLAC 24-bit";
            default: break;
        }
    }
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return "8-bit PCM";
        case SF_FORMAT_PCM_16: return "16-bit PCM";
        case SF_FORMAT_PCM_24: return "24-bit PCM";
        case SF_FORMAT_PCM_32: return "32-bit PCM";
        case SF_FORMAT_FLOAT: return "32-bit float";
        case SF_FORMAT_DOUBLE: return "64-bit float";
        case SF_FORMAT_VORBIS: return "Vorbis";
        case SF_FORMAT_OPUS: return "Opus";
        case SF_FORMAT_ULAW: return "u-law";
        case SF_FORMAT_ALAW: return "A-law";
        case SF_FORMAT_ALAC_16: return "ALAC 16-bit";
        case SF_FORMAT_ALAC_20: return "ALAC 20-bit";
        case SF_FORMAT_ALAC_24: return "ALAC 24-bit";
        case SF_FORMAT_ALAC_32: return "ALAC 32-bit";
        case SF_FORMAT_MPEG_LAYER_I: return "MPEG Layer I";
        case SF_FORMAT_MPEG_LAYER_II: return "MPEG Layer II";
        case SF_FORMAT_MPEG_LAYER_III: return "MP3";
        default: break;
    }
    const std::string name = libraryName(subtype);
    return name.empty() ? "unknown encoding" : name;
}

bool isMpeg(int major, int subtype) {
    return major == SF_FORMAT_MPEG || subtype == SF_FORMAT_MPEG_LAYER_I || subtype == SF_FORMAT_MPEG_LAYER_II ||
           subtype == SF_FORMAT_MPEG_LAYER_III;
}

// A file that begins (after any ID3v2 tags) with an MPEG audio frame header: libsndfile would hand
// it to its MPEG decoder, which writes its warnings about a damaged stream to stderr. MPEG audio is
// read by Loudara's own decoder, so such a file is not given to libsndfile at all.
bool startsAsMpegAudio(int descriptor) {
    int64_t at = 0;
    for (int tags = 0; tags < 16; ++tags) {
        unsigned char head[10] = {};
        const ssize_t got = ::pread(descriptor, head, sizeof head, static_cast<off_t>(at));
        if (got < 2) return false;
        if (got == static_cast<ssize_t>(sizeof head) && std::memcmp(head, "ID3", 3) == 0) {
            // A tag of 10 header bytes, a "syncsafe" size of 7 bits a byte, and a footer when flagged.
            const int64_t size = (int64_t{head[6] & 0x7F} << 21) | (int64_t{head[7] & 0x7F} << 14) |
                                 (int64_t{head[8] & 0x7F} << 7) | int64_t{head[9] & 0x7F};
            at += 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0);
            continue;
        }
        // 11 bits of frame sync and a layer (I, II or III; 0 is no MPEG audio layer, as in AAC).
        return head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && ((head[1] >> 1) & 0x03) != 0;
    }
    return false;
}

// An AIFF file whose form type is "AIFC" (libsndfile reads both as one major format).
bool formTypeIsAifc(int descriptor) {
    unsigned char head[12] = {};
    return ::pread(descriptor, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           std::memcmp(head, "FORM", 4) == 0 && std::memcmp(head + 8, "AIFC", 4) == 0;
}

// libsndfile's text for a failure, as the tail of "cannot read PATH: ...": without its "Error : "
// in front, its first letter lower case and no closing full stop.
std::string libraryReason(SNDFILE* file) {
    std::string text = sf_strerror(file);
    if (text.size() > 8 && strncasecmp(text.c_str(), "error : ", 8) == 0) text.erase(0, 8);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        !std::isupper(static_cast<unsigned char>(text[1]))) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text.empty() ? "not a sound file Loudara can read" : text;
}

}  // namespace

std::string DescribeSoundFormat(const SoundFileFormat& format) {
    return format.encoding + ", " + std::to_string(format.channels) + (format.channels == 1 ? " channel" : " channels") +
           " at " + std::to_string(format.sampleRate) + " Hz";
}

std::string SoundLengthText(int64_t frames, int rate) {
    if (rate <= 0 || frames < 0) return "--:--";
    const int64_t seconds = frames / rate;
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

int ChainRateFor(int rate) {
    switch (rate) {
        case 32000:
        case 44100:
        case 48000: return rate;
        case 11025:
        case 22050:
        case 88200:
        case 176400: return 44100;
        case 8000:
        case 16000:
        case 24000:
        case 96000:
        case 192000: return 48000;
        default: break;
    }
    if (rate <= 0) return 0;
    return std::abs(rate - 44100) <= std::abs(rate - 48000) ? 44100 : 48000;
}

SoundSource::SoundSource() = default;

SoundSource::~SoundSource() { close(); }

void SoundSource::close() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    path_.clear();
    format_ = {};
    chainRate_ = 0;
    resampler_.reset();
    block_.clear();
    pending_.clear();
    pendingFrom_ = 0;
    framesRead_ = 0;
    fileEnded_ = false;
    failed_ = false;
    error_.clear();
}

SoundOpenResult SoundSource::open(const std::string& path, int outputRate) {
    close();
    path_ = path;
    descriptor_ = OpenRegularFileForReading(path.c_str());
    if (descriptor_ < 0) {
        error_ = CannotRead(path);
        failed_ = true;
        return SoundOpenResult::Unreadable;
    }
    if (startsAsMpegAudio(descriptor_)) {
        close();
        error_ = "cannot read " + path + ": " + kMpegReason;
        failed_ = true;
        return SoundOpenResult::Unreadable;
    }
    SF_INFO info{};
    // The descriptor stays ours: libsndfile neither closes it on failure nor at sf_close.
    file_ = sf_open_fd(descriptor_, SFM_READ, &info, SF_FALSE);
    if (file_ == nullptr) {
        const std::string why = libraryReason(nullptr);
        close();
        error_ = "cannot read " + path + ": " + why;
        failed_ = true;
        return SoundOpenResult::Unreadable;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    format_.kind = kindName(major, major == SF_FORMAT_AIFF && formTypeIsAifc(descriptor_));
    format_.encoding = encodingName(major, subtype);
    format_.sampleRate = info.samplerate;
    format_.channels = info.channels;
    format_.frames = info.frames;

    auto refuse = [&](SoundOpenResult result, const std::string& why) {
        const SoundFileFormat described = format_;
        close();
        format_ = described;
        path_ = path;
        error_ = why;
        failed_ = true;
        return result;
    };
    if (isMpeg(major, subtype)) {
        return refuse(SoundOpenResult::Unreadable, "cannot read " + path + ": " + kMpegReason);
    }
    if (info.channels != 1 && info.channels != 2) {
        return refuse(SoundOpenResult::Refused,
                      path + ": " + DescribeSoundFormat(format_) + ": Loudara takes mono or stereo");
    }
    if (info.samplerate < kLowestSourceRate || info.samplerate > kHighestSourceRate) {
        return refuse(SoundOpenResult::Refused, path + ": " + DescribeSoundFormat(format_) + ": Loudara takes " +
                                                    std::to_string(kLowestSourceRate) + " to " +
                                                    std::to_string(kHighestSourceRate) + " Hz");
    }
    // libsndfile gives the largest count when it cannot find the end (a damaged last Ogg page).
    if (info.frames < 0 || info.frames == SF_COUNT_MAX) {
        return refuse(SoundOpenResult::Unreadable, "cannot read " + path + ": its length cannot be found (a damaged end?)");
    }
    chainRate_ = outputRate > 0 ? outputRate : ChainRateFor(info.samplerate);
    return SoundOpenResult::Ok;
}

int64_t SoundSource::chainFrames() const {
    if (format_.sampleRate <= 0 || chainRate_ <= 0) return 0;
    if (chainRate_ == format_.sampleRate) return format_.frames;
    return std::llround(static_cast<double>(format_.frames) * chainRate_ / format_.sampleRate);
}

// Puts the next frames at the chain rate in pending_: one block of the file, or at its end what
// the resampler still holds. False on failure (error_ set); at the end pending_ stays empty.
bool SoundSource::refill() {
    pending_.clear();
    pendingFrom_ = 0;
    if (fileEnded_) return true;
    const int channels = format_.channels;
    if (chainRate_ != format_.sampleRate && !resampler_) {
        resampler_ = std::make_unique<SoundResampler>(format_.sampleRate, chainRate_, channels);
        if (!resampler_->ok()) {
            error_ = "cannot read " + path_ + ": " + resampler_->error();
            return false;
        }
    }
    block_.resize(static_cast<std::size_t>(kBlockFrames) * channels);
    const sf_count_t got = sf_readf_float(file_, block_.data(), kBlockFrames);
    if (sf_error(file_) != SF_ERR_NO_ERROR) {
        error_ = "cannot read " + path_ + ": " + libraryReason(file_);
        return false;
    }
    if (got > 0) {
        framesRead_ += got;
        if (!resampler_) {
            pending_.assign(block_.begin(), block_.begin() + got * channels);
            return true;
        }
        if (!resampler_->process(block_.data(), static_cast<std::size_t>(got), pending_)) {
            error_ = "cannot read " + path_ + ": " + resampler_->error();
            return false;
        }
        return true;
    }
    // The end of the file: it must hold what its header announced.
    fileEnded_ = true;
    if (framesRead_ < format_.frames) {
        error_ = "cannot read " + path_ + ": it ends after " + std::to_string(framesRead_) + " of its " +
                 std::to_string(format_.frames) + " frames (cut short or damaged)";
        return false;
    }
    if (resampler_ && !resampler_->finish(pending_)) {
        error_ = "cannot read " + path_ + ": " + resampler_->error();
        return false;
    }
    return true;
}

bool SoundSource::seek(int64_t frame) {
    if (file_ == nullptr || failed_) {
        if (error_.empty()) error_ = "no sound file is open";
        return false;
    }
    frame = std::clamp<int64_t>(frame, 0, chainFrames());
    int64_t fileFrame = frame;
    if (chainRate_ != format_.sampleRate) {
        fileFrame = std::llround(static_cast<double>(frame) * format_.sampleRate / chainRate_);
    }
    fileFrame = std::min(fileFrame, format_.frames);
    if (sf_seek(file_, fileFrame, SEEK_SET) != fileFrame) {
        error_ = "cannot read " + path_ + ": " + libraryReason(file_);
        failed_ = true;
        return false;
    }
    resampler_.reset();
    pending_.clear();
    pendingFrom_ = 0;
    framesRead_ = fileFrame;
    fileEnded_ = false;
    return true;
}

int64_t SoundSource::read(float* stereo, int64_t maxFrames) {
    if (file_ == nullptr || failed_) {
        if (error_.empty()) error_ = "no sound file is open";
        return -1;
    }
    const std::size_t channels = static_cast<std::size_t>(format_.channels);
    int64_t done = 0;
    while (done < maxFrames) {
        if (pendingFrom_ * channels >= pending_.size()) {
            if (!refill()) {
                failed_ = true;
                return -1;
            }
            // The resampler may give nothing for a first block (its delay); the end gives nothing.
            if (pending_.empty()) {
                if (fileEnded_) break;
                continue;
            }
        }
        const std::size_t available = pending_.size() / channels - pendingFrom_;
        const std::size_t take = static_cast<std::size_t>(std::min<int64_t>(maxFrames - done, static_cast<int64_t>(available)));
        const float* from = pending_.data() + pendingFrom_ * channels;
        float* into = stereo + 2 * done;
        if (channels == 2) {
            std::copy(from, from + 2 * take, into);
        } else {
            for (std::size_t i = 0; i < take; ++i) into[2 * i] = into[2 * i + 1] = from[i];
        }
        pendingFrom_ += take;
        done += static_cast<int64_t>(take);
    }
    return done;
}

}  // namespace loudara
