// loudara-cli loudness: integrated loudness, loudness range, maximum momentary and short-term
// loudness, sample peak and true peak of WAV and MP3 files.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "files/export_job.h"
#include "files/loudness_scan.h"

namespace loudara {

namespace {

const char* kLoudnessHelp =
    "Usage: loudara-cli loudness FILE... [--json]\n"
    "\n"
    "Measures each WAV or MP3 file (MP3 through Loudara's own decoder, as an export decodes it):\n"
    "integrated loudness (LUFS), loudness range (LU), the highest momentary (400 ms) and short-term\n"
    "(3 s) loudness (LUFS), the sample peak (dBFS) and the true peak (dBTP, 4x oversampled).\n"
    "FLAC, Ogg Vorbis/Opus, AIFF, W64, RF64 and WAV files of other depths and rates are measured\n"
    "at full resolution, at their own rate.\n"
    "One tab-separated line per file:\n"
    "  FILE  I -14.02 LUFS  LRA 4.10 LU  M -11.30 LUFS  S -12.75 LUFS  peak -0.51 dBFS  TP -0.12 dBTP\n"
    "Silence, or a file shorter than one 400 ms gating block, shows -inf where there is nothing to\n"
    "measure. A file that cannot be read shows FILE and the reason, and the status is 1.\n"
    "\n"
    "Options:\n"
    "  --json   one JSON array instead: per file an object with \"file\" and the figures\n"
    "           (integratedLufs, loudnessRangeLu, maxMomentaryLufs, maxShortTermLufs,\n"
    "           samplePeakDbfs, truePeakDbtp; null for -inf), or \"file\" and \"error\"\n";

}  // namespace

int loudnessCommand(int argc, char** argv) {
    if (cli::wantsHelp(argc, argv)) {
        std::fputs(kLoudnessHelp, stdout);
        return 0;
    }
    bool json = false;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return cli::usageError("loudness", cli::UnknownOptionText(arg, kLoudnessHelp));
        } else {
            files.emplace_back(arg);
        }
    }
    if (files.empty()) return cli::usageError("loudness", "needs at least one FILE (see --help)");

    int status = 0;
    nlohmann::ordered_json report = nlohmann::ordered_json::array();
    for (const std::string& file : files) {
        const LoudnessScan scan = MeasureSoundFile(file.c_str());
        if (!scan.ok) status = 1;
        if (json) {
            nlohmann::ordered_json entry = {{"file", file}};
            if (scan.ok) {
                entry.update(LoudnessFiguresJson(scan.figures));
            } else {
                entry["error"] = scan.error;
            }
            report.push_back(std::move(entry));
            continue;
        }
        if (!scan.ok) {
            std::printf("%s\t%s\n", file.c_str(), scan.error.c_str());
            continue;
        }
        const LoudnessFigures& f = scan.figures;
        std::printf("%s\tI %s LUFS\tLRA %s LU\tM %s LUFS\tS %s LUFS\tpeak %s dBFS\tTP %s dBTP\n", file.c_str(),
                    FormatLoudnessFigure(f.integratedLufs).c_str(), FormatLoudnessFigure(f.loudnessRangeLu).c_str(),
                    FormatLoudnessFigure(f.maxMomentaryLufs).c_str(), FormatLoudnessFigure(f.maxShortTermLufs).c_str(),
                    FormatLoudnessFigure(f.samplePeakDbfs).c_str(), FormatLoudnessFigure(f.truePeakDbtp).c_str());
    }
    if (json) std::printf("%s\n", report.dump(2).c_str());
    return status;
}

const char* gainDecidedByText(GainDecidedBy by) {
    switch (by) {
        case GainDecidedBy::Target: return "target";
        case GainDecidedBy::Ceiling: return "ceiling";
        case GainDecidedBy::Silence: return "silence";
    }
    return "?";
}

std::string exportReportJson(const std::string& songPath, const ExportOutcome& outcome) {
    return exportReport(songPath, outcome).dump(2) + "\n";
}

nlohmann::ordered_json exportReport(const std::string& songPath, const ExportOutcome& outcome) {
    const ExportLoudness& l = outcome.loudness;
    nlohmann::ordered_json report = {
        {"song", songPath},
        {"delivered", outcome.deliveredPath},
        {"status", outcome.status == ExportStatus::Completed ? "completed" : "cancelled"},
        {"input", LoudnessFiguresJson(l.input, false)},
        {"output", LoudnessFiguresJson(l.output)},
    };
    if (l.mp3) {
        report["afterCodec"] = l.afterCodecMeasured ? LoudnessFiguresJson(l.afterCodec)
                                                    : nlohmann::ordered_json{{"error", l.afterCodecError}};
    }
    if (l.targetSet) {
        report["target"] = {
            {"loudnessTargetLufs", l.targetLufs},
            {"truePeakLimitDbtp", l.truePeakLimitDbtp},
            {"beforeGain", LoudnessFiguresJson(l.beforeGain)},
            {"gainDb", LoudnessFigureJson(l.gainDb)},
            {"decidedBy", gainDecidedByText(l.decidedBy)},
            {"targetReached", l.targetReached},
            {"ceilingHeld", l.ceilingHeld},
            {"rounds", l.rounds},
        };
    }
    return report;
}

std::string exportClosingText(const ExportOutcome& outcome) {
    const ExportLoudness& l = outcome.loudness;
    if (!l.measured) return {};
    const LoudnessFigures& heard = l.mp3 && l.afterCodecMeasured ? l.afterCodec : l.output;
    std::string text = FormatLoudnessFigure(heard.integratedLufs) + " LUFS, true peak " +
                       FormatLoudnessFigure(heard.truePeakDbtp) + " dBTP";
    if (l.mp3) text += l.afterCodecMeasured ? " (decoded MP3)" : " (before encoding)";
    if (l.targetSet) {
        text += ", gain " + FormatLoudnessFigure(l.gainDb) + " dB (" + gainDecidedByText(l.decidedBy) + ")";
        if (l.decidedBy == GainDecidedBy::Ceiling) {
            text += ": the target is not reached under the true-peak limit";
        } else if (!l.targetReached) {
            text += ": the target is missed";
        }
        if (!l.ceilingHeld) text += "; the true peak is over the limit";
    }
    return text;
}

}  // namespace loudara
