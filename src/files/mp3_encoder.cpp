// MP3 output: the built-in encoder (libmp3lame at constant bit rate) and the encoding of a
// processed WAV file into the MP3 file the export job delivers.

#include <lame/lame.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/byte_io.h"
#include "base/text.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/temp_folder.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

void quietReport(const char*, va_list) {}

struct LameCloser {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};

constexpr int kChunkFrames = 20 * kMp3FrameSamples;  // the throttle rests between such chunks

// Pieces of a message joined with += (GCC 12 at -O3 warns falsely about some chains of +).
std::string joinText(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

}  // namespace

bool IsMpeg1Bitrate(int kbps) {
    return std::find(std::begin(kMpeg1Bitrates), std::end(kMpeg1Bitrates), kbps) != std::end(kMpeg1Bitrates);
}

bool SetUpMp3Encoder(lame_global_flags* lame, Mp3EncoderUse use, uint32_t sampleRate, uint32_t channels,
                     int bitrateKbps) {
    const bool stream = use == Mp3EncoderUse::Stream;
    if (!stream) {
        lame_set_errorf(lame, quietReport);
        lame_set_debugf(lame, quietReport);
        lame_set_msgf(lame, quietReport);
    }
    lame_set_in_samplerate(lame, static_cast<int>(sampleRate));
    lame_set_out_samplerate(lame, static_cast<int>(sampleRate));
    lame_set_num_channels(lame, static_cast<int>(channels));
    if (stream) lame_set_mode(lame, JOINT_STEREO);
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, bitrateKbps);
    if (stream) {
        lame_set_quality(lame, 5);
        lame_set_bWriteVbrTag(lame, 0);
    }
    lame_set_write_id3tag_automatic(lame, 0);
    return lame_init_params(lame) >= 0;
}

std::string Mp3OutputPathFor(const std::string& wavPath) {
    std::string path = wavPath;
    if (path.size() > 4 && (endsWithNoCase(path, ".wav") || endsWithNoCase(path, ".mp3"))) path.resize(path.size() - 4);
    path += ".mp3";
    return path;
}

bool EncodePcmToMp3(std::FILE* pcm, int64_t pcmBytes, uint32_t sampleRate, uint32_t channels, int bitrateKbps,
                    std::FILE* out, JobHost* host, std::string& error, int* writeErrno) {
    if (pcm == nullptr || out == nullptr || (channels != 1 && channels != 2)) {
        error = "nothing to encode";
        return false;
    }
    std::unique_ptr<lame_global_flags, LameCloser> lame(lame_init());
    if (!lame) {
        error = "the MP3 encoder cannot be started";
        return false;
    }
    lame_global_flags* gf = lame.get();
    if (!SetUpMp3Encoder(gf, Mp3EncoderUse::Export, sampleRate, channels, bitrateKbps) ||
        lame_get_brate(gf) != bitrateKbps ||
        lame_get_out_samplerate(gf) != static_cast<int>(sampleRate)) {
        error = joinText({"the MP3 encoder cannot encode ", std::to_string(sampleRate), " Hz at ",
                          std::to_string(bitrateKbps), " kbit/s"});
        return false;
    }

    const long start = std::ftell(out);
    const std::size_t frameBytes = channels * 2;
    std::vector<uint8_t> raw(kChunkFrames * frameBytes);
    std::vector<short> left(kChunkFrames), right(kChunkFrames);
    // The codec's bound for one call: 1.25 x samples + 7200 bytes.
    std::vector<uint8_t> mp3(kChunkFrames + kChunkFrames / 4 + 7200);
    auto write = [&](int bytes) {
        return bytes == 0 || std::fwrite(mp3.data(), 1, static_cast<std::size_t>(bytes), out) == static_cast<std::size_t>(bytes);
    };

    int64_t left_bytes = std::max<int64_t>(pcmBytes, 0);
    while (left_bytes >= static_cast<int64_t>(frameBytes)) {
        if (host && host->cancelRequested.load(std::memory_order_relaxed)) {
            error = "cancelled";
            return false;
        }
        if (host) ThrottleMp3Frames(*host);
        const std::size_t want = static_cast<std::size_t>(std::min<int64_t>(left_bytes, static_cast<int64_t>(raw.size())));
        const std::size_t got = std::fread(raw.data(), 1, want, pcm);
        const int frames = static_cast<int>(got / frameBytes);
        if (frames == 0) break;
        for (int i = 0; i < frames; ++i) {
            const uint8_t* p = raw.data() + static_cast<std::size_t>(i) * frameBytes;
            left[i] = static_cast<short>(bytes::getU16(p));
            if (channels == 2) right[i] = static_cast<short>(bytes::getU16(p + 2));
        }
        const int bytes = lame_encode_buffer(gf, left.data(), channels == 2 ? right.data() : left.data(), frames,
                                             mp3.data(), static_cast<int>(mp3.size()));
        if (bytes < 0) {
            error = joinText({"the MP3 encoder reports error ", std::to_string(bytes)});
            return false;
        }
        if (!write(bytes)) {
            error = "cannot write the MP3 file";
        if (writeErrno) *writeErrno = errno;
            return false;
        }
        left_bytes -= static_cast<int64_t>(got);
        if (got < want) break;  // the sound ends early: encode what there is
    }
    if (std::ferror(pcm)) {
        error = "cannot read the WAV file";
        return false;
    }
    const int flushed = lame_encode_flush(gf, mp3.data(), static_cast<int>(mp3.size()));
    if (flushed < 0) {
        error = joinText({"the MP3 encoder reports error ", std::to_string(flushed)});
        return false;
    }
    if (!write(flushed)) {
        error = "cannot write the MP3 file";
        if (writeErrno) *writeErrno = errno;
        return false;
    }
    // The LAME/Info frame (frame count, encoder delay and padding) goes over the placeholder the
    // codec wrote as the stream's first frame.
    const std::size_t tagBytes = lame_get_lametag_frame(gf, mp3.data(), mp3.size());
    if (tagBytes > mp3.size()) {
        error = "the MP3 encoder's header frame does not fit";
        return false;
    }
    if (tagBytes > 0) {
        if (start < 0 || std::fseek(out, start, SEEK_SET) != 0 || !write(static_cast<int>(tagBytes)) ||
            std::fseek(out, 0, SEEK_END) != 0) {
            error = "cannot write the MP3 file's header frame";
            return false;
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        error = "cannot write the MP3 file";
        if (writeErrno) *writeErrno = errno;
        return false;
    }
    return true;
}

namespace {

bool encodeBuiltIn(JobHost& host, const std::string& wavPath, const std::string& mp3Path, int bitrateKbps,
                   std::string& error) {
    host.setStatusText("Converting to MP3 format..");
    if (!IsMpeg1Bitrate(bitrateKbps)) {
        error = joinText({std::to_string(bitrateKbps), " kbit/s is not an MP3 bit rate (32, 40, 48, 56, 64, 80, 96, "
                                                       "112, 128, 160, 192, 224, 256 or 320)"});
        return false;
    }
    SongRecord wav;
    if (ProbeWavFile(wavPath.c_str(), wav) != WavProbeResult::Ok) {
        error = wavPath;
        error += " is not a 16-bit WAV file at 32000, 44100 or 48000 Hz";
        return false;
    }
    FileHandle in = OpenFile(wavPath.c_str(), "rb");
    const int64_t dataBytes = in ? SeekWavData(in.get()) : -1;
    if (dataBytes < 0) {
        error = joinText({"cannot read ", wavPath});
        return false;
    }
    FileHandle out = OpenFile(mp3Path.c_str(), "wb");
    if (!out) {
        error = joinText({"cannot create ", mp3Path});
        return false;
    }
    int writeErrno = 0;
    if (!EncodePcmToMp3(in.get(), dataBytes, wav.sampleRate, wav.channels, bitrateKbps, out.get(), &host, error,
                        &writeErrno)) {
        if (writeErrno != 0) error = WriteFailureText(mp3Path, writeErrno);
        return false;
    }
    if (std::fclose(out.release()) != 0) {
        error = WriteFailureText(mp3Path, errno);
        return false;
    }
    return true;
}

bool encodeExternal(JobHost& host, const std::string& wavPath, const std::string& mp3Path,
                    const EncoderSettings& encoder, std::string& error) {
    host.setStatusText("Converting to MP3 format with EXT encoder..");
    std::string arguments;
    if (!ExpandEncoderParams(encoder.externalEncoderParams, wavPath, mp3Path, arguments)) {
        host.showMessage(kParamsTooLongText, kParamsTooLongCaption);
        error = kParamsTooLongText;
        return false;
    }
    std::error_code ignored;
    std::filesystem::remove(mp3Path, ignored);  // so that a file found afterwards is the encoder's
    // Each file name is one whole argument, whatever characters (quotes, blanks) it holds.
    if (!RunEncoderProgram(encoder.externalEncoderPath,
                           ExpandEncoderArguments(encoder.externalEncoderParams, wavPath, mp3Path), error,
                           &host.cancelRequested)) {
        return false;
    }
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(mp3Path, ec);
    if (ec || bytes == 0) {
        error = joinText({"the external encoder left no MP3 file at ", mp3Path});
        return false;
    }
    return true;
}

}  // namespace

bool EncodeWavToMp3(JobHost& host, const std::string& wavPath, int bitrateKbps, const SongTag& tag,
                    const EncoderSettings& encoder, const char* albumPrefix, const char* titlePrefix,
                    std::string& error) {
    const std::string mp3Path = Mp3OutputPathFor(wavPath);
    bool ok = encoder.useExternalEncoder ? encodeExternal(host, wavPath, mp3Path, encoder, error)
                                         : encodeBuiltIn(host, wavPath, mp3Path, bitrateKbps, error);
    if (ok && HasId3v1Tag(tag) && !AppendId3v1Tag(mp3Path.c_str(), tag, albumPrefix, titlePrefix)) {
        error = joinText({"cannot append the ID3 tag to ", mp3Path});
        ok = false;
    }
    if (!ok) {
        // A failed encoding leaves no MP3 file that could pass for a finished one.
        std::error_code ignored;
        std::filesystem::remove(mp3Path, ignored);
    }
    return ok;
}

}  // namespace loudara
