#include "cli/process_setup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/host.h"
#include "base/text.h"
#include "cli/cli_support.h"
#include "files/id3_tag.h"
#include "files/sound_source.h"
#include "files/temp_folder.h"
#include "files/unreadable_file.h"
#include "files/wav_file.h"
#include "persistence/parameter_file.h"
#include "persistence/parameter_load_text.h"
#include "processor/parameter_names.h"

namespace loudara::cli {

namespace {

const char* kProcessHelp =
    "Usage: loudara-cli process IN OUT [OPTIONS]\n"
    "       loudara-cli process IN... --output-dir DIR [-j N] [--force] [OPTIONS]\n"
    "\n"
    "Processes the song IN (WAV, or MP3 decoded first) into the new file OUT, exactly as the\n"
    "program's single-song export does: same chain, same length as the input. A WAV output keeps\n"
    "the input's header; an MP3 output is encoded at constant bit rate, and an MP3 song's ID3v1\n"
    "tag goes with it. The title, artist, album, year, track, genre, comment and front cover of the\n"
    "song's ID3v2 tag, Vorbis comments or RIFF INFO go into the output's own kind of tag (ID3v2.4\n"
    "for MP3, Vorbis comments and a picture for FLAC, RIFF INFO and an ID3 chunk for WAV).\n"
    "Ctrl-C cancels: the part processed so far is delivered.\n"
    "\n"
    "OUT is checked before the song is processed: an existing folder takes the output under IN's\n"
    "file name; otherwise OUT's extension (.wav or .mp3) must agree with the format, and an\n"
    "existing file is replaced only with --force. '-' as IN reads a WAV stream from standard\n"
    "input, '-' as OUT writes the output to standard output:\n"
    "  sox song.flac -t wav - | loudara-cli process - - | lame - song.mp3\n"
    "\n"
    "Options:\n"
    "  --format wav|mp3    the output format (default: OUT's extension; WAV for standard output)\n"
    "  --format flac       FLAC output (OUT.flac)\n"
    "  --bits 16|24|32f    the depth of WAV output (32f: 32-bit float) or FLAC output (16 or 24);\n"
    "                      default: the song's own, 24 at most for integer samples\n"
    "  --rate HZ           write the output at HZ (8000..384000), resampled after the chain\n"
    "                      (default: the rate the chain runs the song at)\n"
    "  --force             replace an existing OUT\n"
    "  --bitrate N         MP3 bit rate in kbit/s: 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192,\n"
    "                      224, 256 or 320 (default 128)\n"
    "  --album-prefix TEXT put TEXT (at most 31 bytes) in front of the album of the MP3's tags\n"
    "  --title-prefix TEXT put TEXT (at most 31 bytes) in front of the title of the MP3's tags\n"
    "  --external-encoder PATH --encoder-params TEXT\n"
    "                      encode with the program PATH instead of the built-in encoder; in TEXT\n"
    "                      %1 is the WAV file to encode and %2 the MP3 file to write (each quoted)\n"
    "  --settings FILE     start from a current-settings file (ldmp3.prf) instead of a first start\n"
    "  --params FILE       load a parameter file (.ld3) over the starting state\n"
    "  --preset ID         apply built-in preset ID or NAME (232, 334..343, fm-wide-stereo, ...;\n"
    "                      see 'loudara-cli presets')\n"
    "  --set NAME=VALUE    set a sound parameter by its name, e.g. driveDb[2]=18, preEmphasis=0,\n"
    "                      bypass=1 (repeatable; see --list-parameters)\n"
    "  --normalize         raise the song so its peak reaches full scale first (default)\n"
    "  --no-normalize      process the song at its own level\n"
    "  --throttle LEVEL    rest between blocks, LEVEL 1..40 (10 rests about as long as it works)\n"
    "  --loudness-target LUFS\n"
    "                      after the chain, one constant gain brings the output's integrated\n"
    "                      loudness to LUFS (e.g. -14 for streaming, -23 for broadcast), lowered\n"
    "                      where needed to keep the true peak at or under --true-peak-limit\n"
    "  --true-peak-limit DBTP\n"
    "                      the true-peak ceiling of --loudness-target, -9..0 (default -1.0); for MP3\n"
    "                      output it holds for the MP3 as decoded\n"
    "  --report FILE.json  write the loudness of input and output (and of the decoded MP3, and the\n"
    "                      target's gain) as JSON; the last line shows the LUFS and true peak anyway\n"
    "                      (for a batch: one document with every song)\n"
    "  -q, --quiet         no progress line and no closing line (the progress line shows only\n"
    "                      when stderr is a terminal)\n"
    "  --list-parameters   list the sound parameters with their ranges and exit\n"
    "\n"
    "A batch (--output-dir): each IN may be a song, a folder (its WAV and MP3 songs, sub-folders\n"
    "kept below DIR) or a playlist file (.plt). Every song goes through its own job into DIR,\n"
    "named after it with the output format's extension (the song's own format unless --format);\n"
    "-j N runs N songs at a time (default: one per core). A song whose output exists is skipped\n"
    "unless --force, so running the same command again resumes an interrupted batch; an output\n"
    "the batch made with other settings (kept in DIR/.loudara_batch) is made again. An output\n"
    "appears only when its whole song is done. Ctrl-C cancels every running song. The exit status\n"
    "is 0 only when no song failed.\n"
    "\n"
    "Other sound files (FLAC, Ogg Vorbis and Opus, AIFF/AIFC, W64, RF64, WAV of 8/24/32-bit or\n"
    "float samples or at other rates) are read at full resolution, processed at the chain rate of\n"
    "their rate (32000, 44100 or 48000 Hz) and written at --bits and --rate; a WAV output that would\n"
    "pass 4 GB becomes RF64. A batch takes them by extension (.flac .ogg .oga .opus .aif .aiff .aifc\n"
    ".w64 .rf64 .wav) and writes FLAC songs as FLAC, the others as WAV, unless --format.\n"
    "  --output-dir DIR    the batch's output folder (created when missing)\n"
    "  -j, --jobs N        songs processed at the same time\n";

}  // namespace

int parseProcessOptions(int argc, char** argv, ProcessOptions& o) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kProcessHelp, stdout);
        return 0;
    }
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)option;
            return argv[++i];
        };
        if (arg == "--list-parameters") {
            for (const ParameterInfo& info : soundParameters()) {
                std::printf("%s%s\t%g\t%g%s\n", info.name, info.perBand ? "[0..5]" : "", info.minValue, info.maxValue,
                            info.isSwitch ? "\tswitch" : "");
            }
            return 0;
        } else if (arg == "--settings" || arg == "--params") {
            const char* v = value(arg.data());
            if (!v) return usageError("process", std::string(arg) + " needs a file");
            (arg == "--settings" ? o.settingsFile : o.paramsFile) = v;
        } else if (arg == "--preset") {
            const char* v = value("--preset");
            if (!v) return usageError("process", "--preset needs a preset's id or name");
            std::string error;
            if ((o.preset = PresetFromOption(v, error)) == 0) return usageError("process", error);
        } else if (arg == "--set") {
            if (!ParseSetOption(value("--set"), o.sets)) {
                return usageError("process", "--set needs NAME=VALUE with a number, e.g. driveDb[2]=18");
            }
        } else if (arg == "--normalize") {
            o.normalize = 1;
        } else if (arg == "--no-normalize") {
            o.normalize = 0;
        } else if (arg == "--throttle") {
            const char* v = value("--throttle");
            if (!v || !parseInteger(v, o.throttleLevel) || o.throttleLevel < 1 || o.throttleLevel > 40) {
                return usageError("process", "--throttle needs a level from 1 to 40");
            }
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--loudness-target") {
            const char* v = value("--loudness-target");
            double lufs = 0;
            if (!v || !parseNumber(v, lufs) || lufs < -70.0 || lufs > 0.0) {
                return usageError("process", "--loudness-target needs a loudness in LUFS from -70 to 0");
            }
            o.loudnessTarget = lufs;
        } else if (arg == "--true-peak-limit") {
            const char* v = value("--true-peak-limit");
            if (!v || !parseNumber(v, o.truePeakLimit) || o.truePeakLimit < -9.0 || o.truePeakLimit > 0.0) {
                return usageError("process", "--true-peak-limit needs a level in dBTP from -9 to 0");
            }
            o.haveTruePeakLimit = true;
        } else if (arg == "--report") {
            const char* v = value("--report");
            if (!v || v[0] == '\0') return usageError("process", "--report needs a file");
            o.reportFile = v;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--format") {
            const char* v = value("--format");
            o.format = v ? v : "";
            if (o.format != "wav" && o.format != "mp3" && o.format != "flac") {
                return usageError("process", "--format needs flac, wav or mp3");
            }
        } else if (arg == "--bits") {
            const char* v = value("--bits");
            o.bits = v ? v : "";
            if (o.bits != "16" && o.bits != "24" && o.bits != "32f") return usageError("process", "--bits needs 16, 24 or 32f");
        } else if (arg == "--rate") {
            const char* v = value("--rate");
            if (!v || !parseInteger(v, o.rate) || o.rate < 8000 || o.rate > 384000) {
                return usageError("process", "--rate needs a rate in Hz from 8000 to 384000");
            }
        } else if (arg == "--bitrate") {
            const char* v = value("--bitrate");
            int entered = 0;
            if (!v || !parseInteger(v, entered) || !IsMpeg1Bitrate(entered)) {
                return usageError("process", kBitrateNeeded);
            }
            o.bitrate = entered;
        } else if (arg == "--album-prefix" || arg == "--title-prefix") {
            const char* v = value("--album-prefix");
            if (!v || std::strlen(v) > 31) {
                std::string message(arg);
                message += " needs a text of at most 31 bytes";
                return usageError("process", message);
            }
            (arg == "--album-prefix" ? o.albumPrefix : o.titlePrefix) = v;
        } else if (arg == "--external-encoder") {
            const char* v = value("--external-encoder");
            if (!v || v[0] == '\0' || std::strlen(v) > 257) {
                return usageError("process", "--external-encoder needs a program path of at most 257 bytes");
            }
            o.encoderPath = v;
        } else if (arg == "--encoder-params") {
            const char* v = value("--encoder-params");
            if (!v || std::strlen(v) > 257) return usageError("process", "--encoder-params needs a text of at most 257 bytes");
            o.encoderParams = v;
            o.haveEncoderParams = true;
        } else if (arg == "--output-dir") {
            const char* v = value("--output-dir");
            if (!v || v[0] == '\0') return usageError("process", "--output-dir needs a folder");
            o.outputDir = v;
        } else if (arg == "-j" || arg == "--jobs") {
            const char* v = value("--jobs");
            if (!v || !parseInteger(v, o.jobs) || o.jobs < 1 || o.jobs > 256) {
                return usageError("process", "-j needs a number of songs at a time from 1 to 256");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("process", UnknownOptionText(arg, kProcessHelp));
        } else {
            o.positional.emplace_back(arg);
        }
    }
    if (o.haveTruePeakLimit && !o.loudnessTarget) {
        return usageError("process", "--true-peak-limit goes with --loudness-target");
    }
    return -1;
}

std::string checkProcessOptions(const ProcessOptions& o, bool mp3Output) {
    if (o.encoderPath.empty() != !o.haveEncoderParams) return "--external-encoder and --encoder-params go together";
    if (mp3Output && !o.bits.empty()) return "--bits goes with WAV or FLAC output";
    if (o.format == "flac" && o.bits == "32f") return "FLAC holds 16 or 24 bits: --bits 16 or 24";
    if (!mp3Output && (!o.encoderPath.empty() || !o.albumPrefix.empty() || !o.titlePrefix.empty())) {
        return "the encoder and tag options need MP3 output (--format mp3 or OUT.mp3)";
    }
    return {};
}

std::string reportFileProblem(const ProcessOptions& o) {
    if (o.reportFile.empty()) return {};
    namespace fs = std::filesystem;
    const std::string start = "cannot write the report " + o.reportFile + ": ";
    std::error_code ec;
    const fs::path report(o.reportFile);
    if (fs::is_directory(report, ec)) return start + "it is a folder";
    if (fs::exists(report, ec)) return access(o.reportFile.c_str(), W_OK) == 0 ? "" : start + std::strerror(errno);
    const fs::path folder = report.has_parent_path() ? report.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec)) return start + "there is no folder " + folder.string();
    if (access(folder.c_str(), W_OK) != 0) return start + std::strerror(errno);
    return {};
}

std::unique_ptr<Processor> makeProcessor(const ProcessOptions& o, std::string& error, int& status) {
    status = 1;
    auto p = firstStartProcessor();
    StoredSettings stored;
    TextHost messages;
    for (const auto& [path, currentSettings] : {std::pair{o.settingsFile, true}, std::pair{o.paramsFile, false}}) {
        if (path.empty()) continue;
        const ParameterLoadOutcome loaded = LoadParameterFileAt(*p, stored, path, currentSettings, messages);
        error = ParameterLoadProblem(loaded, path);
        if (!error.empty()) return nullptr;
    }
    if (o.preset != 0) selectPresetById(*p, o.preset);
    for (const auto& [name, number] : o.sets) {
        if (!setSoundParameter(*p, name, number, error)) {
            status = 2;
            return nullptr;
        }
    }
    applyParameterChanges(*p);
    return p;
}

bool probeSongForExport(const std::string& in, SongRecord& song, SongTag& tag, std::string& error, int& status) {
    song = SongRecord{};
    tag = SongTag{};
    status = 1;
    if (in.size() >= sizeof song.path) {
        error = "the input path is too long";
        status = 2;
        return false;
    }
    const bool mp3Name = endsWithNoCase(in, ".mp3");
    WavProbeResult wavProbe = WavProbeResult::Unreadable;
    Mp3ProbeResult mp3Probe = Mp3ProbeResult::Unreadable;
    std::string mp3Reason;
    if (!mp3Name) wavProbe = ProbeWavFile(in.c_str(), song);
    if (wavProbe == WavProbeResult::Unreadable) mp3Probe = ProbeMp3File(in.c_str(), song, nullptr, &mp3Reason);
    if (mp3Name && mp3Probe == Mp3ProbeResult::Unreadable) wavProbe = ProbeWavFile(in.c_str(), song);
    if (wavProbe == WavProbeResult::Ok) {
        song.kind = SongKind::Wav;
    } else if (mp3Probe == Mp3ProbeResult::Ok) {
        song.kind = SongKind::Mp3;
        ReadSongTag(in.c_str(), tag);
    } else if (wavProbe == WavProbeResult::Unsupported) {
        error = in + " is not 16-bit mono or stereo PCM at 32000, 44100 or 48000 Hz";
        return false;
    } else if (mp3Probe == Mp3ProbeResult::Unsupported) {
        error = in + ": " + mp3Reason;
        return false;
    } else {
        if (const std::string why = WhyUnopenable(in); !why.empty()) {
            error = "cannot read " + in + ": " + why;
            if (why == "it is a folder") error += " (a folder is processed with --output-dir DIR)";
            return false;
        }
        error = "cannot read " + in + " as a WAV or MP3 file";
        if (mp3Name && !mp3Reason.empty()) error += ": " + mp3Reason;
        return false;
    }
    std::snprintf(song.path, sizeof song.path, "%s", in.c_str());
    return true;
}

namespace {

void fillEncoder(const ProcessOptions& o, EncoderSettings& encoder) {
    encoder.useExternalEncoder = o.encoderPath.empty() ? 0 : 1;
    std::snprintf(encoder.externalEncoderPath, sizeof encoder.externalEncoderPath, "%s", o.encoderPath.c_str());
    std::snprintf(encoder.externalEncoderParams, sizeof encoder.externalEncoderParams, "%s", o.encoderParams.c_str());
}

// The extensions of the sound files only the sound job reads.
bool soundFileName(const std::string& path) {
    for (const char* ext : {".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff", ".aifc", ".w64", ".rf64"}) {
        if (endsWithNoCase(path, ext)) return true;
    }
    return false;
}

}  // namespace

bool outputKindForExtension(const std::string& extension, SoundOutputKind& kind) {
    if (endsWithNoCase(extension, ".wav") && extension.size() == 4) {
        kind = SoundOutputKind::Wav;
    } else if (endsWithNoCase(extension, ".mp3") && extension.size() == 4) {
        kind = SoundOutputKind::Mp3;
    } else if (endsWithNoCase(extension, ".flac") && extension.size() == 5) {
        kind = SoundOutputKind::Flac;
    } else {
        return false;
    }
    return true;
}

const char* extensionFor(SoundOutputKind kind) {
    switch (kind) {
        case SoundOutputKind::Mp3: return ".mp3";
        case SoundOutputKind::Flac: return ".flac";
        default: return ".wav";
    }
}

bool classicJobWrites(const ProcessOptions& o, SoundOutputKind output, const SongRecord& song) {
    return output != SoundOutputKind::Flac && (o.bits.empty() || o.bits == "16") &&
           (o.rate == 0 || o.rate == static_cast<int>(song.sampleRate));
}

bool prepareSoundExport(const ProcessOptions& o, const std::string& in, const SongRecord* classicSong,
                        const std::string& classicError, SoundOutputKind output, std::string targetPath,
                        std::string temporaryFolder, EncoderSettings& encoder, SoundExportRequest& request,
                        std::string& error, int& status) {
    status = 1;
    if (classicSong && classicSong->kind == SongKind::Mp3) {
        error = in + ": an MP3 song is written as 16-bit WAV or MP3 at its own rate (no --bits 24|32f, --rate or FLAC)";
        return false;
    }
    SoundSource source;
    const SoundOpenResult opened = source.open(in);
    if (opened != SoundOpenResult::Ok) {
        // A file named as a WAV or MP3 song (or as nothing Loudara knows) keeps the reason its probe gave.
        error = opened == SoundOpenResult::Refused || soundFileName(in) || classicError.empty() ? source.error()
                                                                                                : classicError;
        return false;
    }
    SoundOutputFormat format;
    format.kind = output;
    format.rate = o.rate;
    if (o.bits == "16") {
        format.depth = SoundOutputDepth::Pcm16;
    } else if (o.bits == "24") {
        format.depth = SoundOutputDepth::Pcm24;
    } else if (o.bits == "32f") {
        format.depth = SoundOutputDepth::Float32;
    } else {
        format.depth = DefaultOutputDepth(source.format());
        // FLAC holds no float: a float song becomes 24-bit FLAC.
        if (output == SoundOutputKind::Flac && format.depth == SoundOutputDepth::Float32) {
            format.depth = SoundOutputDepth::Pcm24;
        }
    }
    if (output == SoundOutputKind::Flac && format.depth == SoundOutputDepth::Float32) {
        error = "FLAC holds 16 or 24 bits: --bits 16 or 24";
        status = 2;
        return false;
    }
    fillEncoder(o, encoder);
    request.songPath = in;
    request.targetPath = std::move(targetPath);
    request.output = format;
    request.normalize = o.normalize != 0;
    request.mp3Bitrate = o.bitrate;
    request.encoder = &encoder;
    request.runStamp = makeRunStamp();
    request.temporaryFolder = std::move(temporaryFolder);
    request.loudnessTargetLufs = o.loudnessTarget;
    request.truePeakLimitDbtp = o.truePeakLimit;
    request.albumPrefix = o.albumPrefix;
    request.titlePrefix = o.titlePrefix;
    return true;
}

SongExport::SongExport(const ProcessOptions& o, bool mp3Output, SongRecord& song, SongTag& tag, std::string targetPath,
                       std::string temporaryFolder) {
    options.exportFormat = mp3Output ? 1 : 0;
    options.mp3Bitrate = o.bitrate;
    std::snprintf(options.albumPrefix, sizeof options.albumPrefix, "%s", o.albumPrefix.c_str());
    std::snprintf(options.titlePrefix, sizeof options.titlePrefix, "%s", o.titlePrefix.c_str());
    options.normalizeOnExport = o.normalize;
    fillEncoder(o, encoder);
    request.song = &song;
    request.songStatus = &songStatus;
    request.tag = &tag;
    request.targetPath = std::move(targetPath);
    request.options = &options;
    request.encoder = &encoder;
    request.runStamp = makeRunStamp();
    request.temporaryFolder = std::move(temporaryFolder);
    request.loudnessTargetLufs = o.loudnessTarget;
    request.truePeakLimitDbtp = o.truePeakLimit;
}

std::string temporaryFolder(std::string* error) { return PrivateTemporaryFolder(error); }

}  // namespace loudara::cli
