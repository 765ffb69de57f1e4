// loudara-cli process IN... --output-dir DIR: a whole library through the chain, several songs at
// a time, each through its own job and processor, resumable, with one progress display.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/text.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/process_setup.h"
#include "files/export_job.h"
#include "files/safe_write.h"
#include "files/unreadable_file.h"
#include "files/wav_file.h"
#include "persistence/playlist.h"
#include "processor/parameter_names.h"

namespace loudara::cli {

namespace fs = std::filesystem;

namespace {

// One song of the batch and what became of it.
struct BatchSong {
    std::string input;
    fs::path output;
    enum class Result { Pending, Done, Failed, Skipped, Cancelled } result = Result::Pending;
    std::string reason;  // why it failed or was skipped
    nlohmann::ordered_json report;  // the export's loudness report, for --report
    std::string settings;           // what its output is made with (settingsKey)
    bool redo = false;              // its output exists, made with other settings
};

// The file beside a batch's outputs that keeps what each was made with: one line per output,
// "KEY<tab>PATH" (the path below the output folder).
constexpr const char* kBatchSettingsFile = ".loudara_batch";

// What an output is made with, as a short key: the sound parameters the songs start from (every
// one, by name) and every option that changes the output's bytes.
std::string settingsKey(const ProcessOptions& o, const Processor& p, SoundOutputKind kind) {
    char number[64];
    auto add = [](std::string& text, const std::string& name, const std::string& value) {
        text += name + "=" + value + ";";
    };
    std::string text;
    add(text, "kind", std::to_string(static_cast<int>(kind)));
    add(text, "bits", o.bits);
    add(text, "rate", std::to_string(o.rate));
    add(text, "normalize", std::to_string(o.normalize));
    if (kind == SoundOutputKind::Mp3) {
        add(text, "bitrate", std::to_string(o.bitrate));
        add(text, "prefixes", o.albumPrefix + "\t" + o.titlePrefix);
        add(text, "encoder", o.encoderPath + "\t" + o.encoderParams);
    }
    if (o.loudnessTarget) {
        std::snprintf(number, sizeof number, "%.17g/%.17g", *o.loudnessTarget, o.truePeakLimit);
        add(text, "target", number);
    }
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < (info.perBand ? kBandCount : 1); ++band) {
            double value = 0;
            std::string ignored;
            const std::string name = parameterName(info, band);
            if (!getSoundParameter(p, name, value, ignored)) continue;
            std::snprintf(number, sizeof number, "%.17g", value);
            add(text, name, number);
        }
    }
    // FNV-1a, 64 bits: the same key for the same text on every machine and every run.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    std::snprintf(number, sizeof number, "%016llx", static_cast<unsigned long long>(hash));
    return number;
}

std::atomic<bool> gBatchInterrupted{false};

extern "C" void onBatchInterrupt(int) { gBatchInterrupted = true; }

bool isSoundFileName(const std::string& name) {
    for (const char* ext : {".wav", ".mp3", ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff", ".aifc", ".w64", ".rf64"}) {
        if (endsWithNoCase(name, ext)) return true;
    }
    return false;
}

// The output format of one song: --format when given, otherwise the song's own (MP3 or FLAC),
// WAV for every other song.
SoundOutputKind outputKindFor(const ProcessOptions& o, const std::string& input) {
    if (!o.format.empty()) {
        return o.format == "mp3" ? SoundOutputKind::Mp3 : o.format == "flac" ? SoundOutputKind::Flac : SoundOutputKind::Wav;
    }
    if (endsWithNoCase(input, ".mp3")) return SoundOutputKind::Mp3;
    return endsWithNoCase(input, ".flac") ? SoundOutputKind::Flac : SoundOutputKind::Wav;
}

fs::path outputFor(const ProcessOptions& o, const std::string& input, const fs::path& relative) {
    return fs::path(o.outputDir) / replaceExtension(relative.string(), extensionFor(outputKindFor(o, input)));
}

// Every song the inputs name, in order: a folder's sound files sorted by path (its sub-folders
// kept below the output folder), a playlist's songs in its order, a file as it is.
// A field of the batch log's line: a backslash, a tab, a newline, a carriage return and the other
// control characters are written as C escapes ("\\", "\t", "\n", "\r", "\x1b").
std::string logField(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::vector<BatchSong> collectSongs(const ProcessOptions& o) {
    std::vector<BatchSong> songs;
    auto add = [&](const std::string& input, const fs::path& relative) {
        BatchSong song;
        song.input = input;
        song.output = outputFor(o, input, relative);
        songs.push_back(std::move(song));
    };
    auto fail = [&](const std::string& input, std::string reason) {
        BatchSong song;
        song.input = input;
        song.result = BatchSong::Result::Failed;
        song.reason = std::move(reason);
        songs.push_back(std::move(song));
    };
    for (const std::string& input : o.positional) {
        std::error_code ec;
        const fs::file_status status = fs::status(input, ec);
        if (ec || !fs::exists(status)) {
            fail(input, "no such file or folder");
        } else if (fs::is_directory(status)) {
            // Every folder below is read; one that cannot be (no permission) is reported as a
            // failure of its own, never passed over without a word.
            std::vector<fs::path> found;
            std::vector<fs::path> folders{input};
            while (!folders.empty()) {
                const fs::path folder = folders.back();
                folders.pop_back();
                std::error_code failure;
                fs::directory_iterator it(folder, failure), end;
                for (; !failure && it != end; it.increment(failure)) {
                    std::error_code ignored;
                    if (it->is_directory(ignored)) {
                        // An output folder inside the input holds this batch's own results: walking
                        // it would process them again, one level deeper on every run. Links to
                        // folders are not walked.
                        if (!it->is_symlink(ignored) && !fs::equivalent(it->path(), o.outputDir, ignored)) {
                            folders.push_back(it->path());
                        }
                        continue;
                    }
                    if (it->is_regular_file(ignored) && isSoundFileName(it->path().filename().string())) {
                        found.push_back(it->path());
                    }
                }
                if (failure) fail(folder.string(), "cannot read the folder: " + failure.message());
            }
            std::sort(found.begin(), found.end());
            for (const fs::path& path : found) add(path.string(), path.lexically_relative(input));
        } else if (endsWithNoCase(input, ".plt")) {
            auto list = std::make_unique<Playlist>();
            list->probeMp3 = programMp3Probe();
            if (LoadPlaylist(*list, input, PlayState::Stopped) == PlaylistLoadStatus::NotOpened) {
                fail(input, CannotRead(input));
                continue;
            }
            for (int i = 0; i < list->songCount; ++i) {
                const std::string path = list->songs[i].path;
                add(path, fs::path(path).filename());
            }
        } else if (!fs::is_regular_file(status)) {
            fail(input, "not a regular file");
        } else {
            add(input, fs::path(input).filename());
        }
    }
    // Two songs must never write the same file, and no song its own file. A song named twice (a
    // folder and a playlist that lists it) is done once.
    std::map<std::string, std::string> claimed;
    for (BatchSong& song : songs) {
        if (song.result != BatchSong::Result::Pending) continue;
        const std::string key = fs::weakly_canonical(song.output).string();
        std::error_code ec;
        if (fs::exists(song.output, ec) && fs::equivalent(song.output, song.input, ec)) {
            song.result = BatchSong::Result::Failed;
            song.reason = "its output would replace the song itself";
        } else if (const auto [it, fresh] = claimed.emplace(key, song.input); !fresh) {
            const bool sameSong = fs::equivalent(song.input, it->second, ec);
            song.result = sameSong ? BatchSong::Result::Skipped : BatchSong::Result::Failed;
            song.reason = (sameSong ? "named before as " : "the same output as ") + it->second;
        }
    }
    return songs;
}

// A job's progress as the batch display reads it from another thread.
class BatchJobHost : public JobHost {
public:
    void setProgressRange(int maximum) override { maximum_ = maximum; }
    void stepProgress() override { ++steps_; }
    void showMessage(const std::string& text, const std::string& caption) override {
        std::lock_guard lock(mutex_);
        messages_ += caption + ": " + text + "\n";
    }
    void endNotice() override {}
    double fraction() const {
        const int maximum = maximum_.load();
        return maximum > 0 ? std::min(1.0, static_cast<double>(steps_.load()) / maximum) : 0.0;
    }
    std::string messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    std::atomic<int> maximum_{0}, steps_{0};
    mutable std::mutex mutex_;
    std::string messages_;
};

class Batch {
public:
    Batch(const ProcessOptions& o, std::vector<BatchSong> songs, int jobs)
        : o_(o), songs_(std::move(songs)), hosts_(songs_.size()), jobs_(jobs) {}

    void run();
    int summarise() const;

private:
    void worker();
    void runSong(std::size_t index, BatchJobHost& host);
    void finish(std::size_t index, BatchSong::Result result, std::string reason);
    void showProgress(bool last);
    // The settings of the outputs made before, and keeping them as the songs are done.
    void readMadeSettings();
    void keepMadeSettings();  // with mutex_ held

public:
    bool writeReport(std::string& error) const;

private:

    const ProcessOptions& o_;
    std::vector<BatchSong> songs_;
    std::vector<std::atomic<BatchJobHost*>> hosts_;  // the running songs' hosts
    int jobs_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> cancelled_{false};
    int activeWorkers_ = 0;  // guarded by workersMutex_
    std::mutex workersMutex_;
    std::condition_variable workerEnded_;
    std::mutex mutex_;  // songs_' results and the console
    int finished_ = 0;
    const bool terminal_ = isatty(STDERR_FILENO) == 1;
    bool lineShown_ = false;
    std::map<std::string, std::string> made_;  // output below the folder -> its settings key
};

std::string belowOutputFolder(const ProcessOptions& o, const fs::path& output) {
    return output.lexically_relative(o.outputDir).string();
}

void Batch::readMadeSettings() {
    const int fd = OpenRegularFileForReading((fs::path(o_.outputDir) / kBatchSettingsFile).c_str());
    if (fd < 0) return;
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (16u << 20);) text.append(buffer, got);
    ::close(fd);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) made_[line.substr(tab + 1)] = line.substr(0, tab);
    }
}

void Batch::keepMadeSettings() {
    std::string text;
    for (const auto& [output, key] : made_) {
        if (output.find('\n') == std::string::npos) text += key + "\t" + output + "\n";
    }
    // Only a memory: a folder it cannot be written into costs the next run a skip, nothing more.
    std::string ignored;
    ReplaceFileContents((fs::path(o_.outputDir) / kBatchSettingsFile).string(), text.data(), text.size(), ignored);
}

void Batch::finish(std::size_t index, BatchSong::Result result, std::string reason) {
    std::lock_guard lock(mutex_);
    BatchSong& song = songs_[index];
    song.result = result;
    // The song is named beside its reason wherever the batch shows one: a reason that begins with
    // the song's own name (a refused sound file's) loses it, and "cannot read NAME: WHY" becomes
    // "unreadable: WHY".
    const std::string named = song.input + ": ";
    const std::string unreadable = "cannot read " + named;
    if (reason.starts_with(named)) reason.erase(0, named.size());
    if (reason.starts_with(unreadable)) reason.replace(0, unreadable.size(), "unreadable: ");
    song.reason = std::move(reason);
    ++finished_;
    if (result == BatchSong::Result::Done && !song.settings.empty()) {
        made_[belowOutputFolder(o_, song.output)] = song.settings;
        keepMadeSettings();
    }
    if (o_.quiet || terminal_) return;
    // Not a terminal (a log file): one line per song as it ends, its fields escaped so that a tab
    // or a newline in a song's name cannot split it.
    const std::string input = logField(song.input), output = logField(song.output.string()),
                      why = logField(song.reason);
    switch (result) {
        case BatchSong::Result::Done:
            std::fprintf(stderr, "done\t%s\t%s%s%s\n", input.c_str(), output.c_str(), why.empty() ? "" : "\t",
                         why.c_str());
            break;
        case BatchSong::Result::Skipped: std::fprintf(stderr, "skipped\t%s\t%s\n", input.c_str(), why.c_str()); break;
        case BatchSong::Result::Cancelled: std::fprintf(stderr, "cancelled\t%s\n", input.c_str()); break;
        default: std::fprintf(stderr, "failed\t%s\t%s\n", input.c_str(), why.c_str()); break;
    }
}

// The job writes a hidden file beside the output, renamed over the output only when the whole
// song was delivered: an interrupted batch never leaves a part that a later run would skip as done.
void Batch::runSong(std::size_t index, BatchJobHost& host) {
    BatchSong& song = songs_[index];
    const SoundOutputKind outputKind = outputKindFor(o_, song.input);
    const bool mp3Output = outputKind == SoundOutputKind::Mp3;
    std::string error;
    int status = 0;
    auto p = makeProcessor(o_, error, status);
    if (!p) return finish(index, BatchSong::Result::Failed, error);
    if (std::string problem = checkProcessOptions(o_, mp3Output); !problem.empty()) {
        return finish(index, BatchSong::Result::Failed, problem);
    }
    SongRecord record;
    SongTag tag;
    const bool probed = probeSongForExport(song.input, record, tag, error, status);
    if (!probed && status == 2) return finish(index, BatchSong::Result::Failed, error);
    const bool classic = probed && classicJobWrites(o_, outputKind, record);
    // A song the 16-bit job does not take is looked at closer before anything is made for it.
    EncoderSettings soundEncoder;
    SoundExportRequest soundRequest;
    if (!classic && !prepareSoundExport(o_, song.input, probed ? &record : nullptr, probed ? std::string() : error,
                                        outputKind, {}, {}, soundEncoder, soundRequest, error, status)) {
        return finish(index, BatchSong::Result::Failed, error);
    }

    std::error_code ec;
    fs::create_directories(song.output.parent_path(), ec);
    if (ec) return finish(index, BatchSong::Result::Failed, "cannot create " + song.output.parent_path().string() + ": " + ec.message());
    const fs::path working = song.output.parent_path() /
                             ("." + song.output.stem().string() + ".loudara-" + std::to_string(getpid()) + "-" +
                              std::to_string(index) + song.output.extension().string());
    // Each job keeps its temporary files apart, since every job of this process has the same stamp.
    const std::string folder = temporaryFolder(&error);
    if (folder.empty()) return finish(index, BatchSong::Result::Failed, error);
    std::string temporary = (fs::path(folder) / "job-XXXXXX").string();
    if (!mkdtemp(temporary.data())) return finish(index, BatchSong::Result::Failed, "cannot make a temporary folder");

    SongExport job(o_, mp3Output, record, tag, working.string(), temporary);
    job.request.measureLoudness = !o_.reportFile.empty();
    soundRequest.targetPath = working.string();
    soundRequest.measureLoudness = !o_.reportFile.empty();
    soundRequest.temporaryFolder = temporary;
    host.throttleOn = o_.throttleLevel > 0 ? 1 : 0;
    host.throttleLevel = o_.throttleLevel;
    ExportOutcome outcome = classic ? RunExportJob(*p, job.request, host) : RunSoundExportJob(*p, soundRequest, host);
    fs::remove_all(temporary, ec);
    if (outcome.status == ExportStatus::Completed && !o_.reportFile.empty()) {
        ExportOutcome reported = outcome;
        reported.deliveredPath = song.output.string();
        song.report = exportReport(song.input, reported);
    }

    if (outcome.status == ExportStatus::Completed) {
        fs::rename(outcome.deliveredPath, song.output, ec);
        if (ec) {
            fs::remove(outcome.deliveredPath, ec);
            return finish(index, BatchSong::Result::Failed, "cannot write " + song.output.string());
        }
        std::string notes = host.messages();
        if (!outcome.warning.empty()) notes += "warning: " + outcome.warning;
        return finish(index, BatchSong::Result::Done, notes);
    }
    if (!outcome.deliveredPath.empty()) fs::remove(outcome.deliveredPath, ec);
    if (outcome.status == ExportStatus::Cancelled) return finish(index, BatchSong::Result::Cancelled, "cancelled");
    finish(index, BatchSong::Result::Failed, outcome.message);
}

void Batch::worker() {
    while (!cancelled_) {
        const std::size_t index = next_++;
        if (index >= songs_.size()) return;
        if (songs_[index].result != BatchSong::Result::Pending) continue;
        BatchJobHost host;
        hosts_[index] = &host;
        if (cancelled_) host.cancelRequested = true;
        runSong(index, host);
        hosts_[index] = nullptr;
    }
}

void Batch::showProgress(bool last) {
    if (o_.quiet || !terminal_) return;
    std::lock_guard lock(mutex_);
    double done = finished_;
    std::size_t running = 0;
    for (const auto& slot : hosts_) {
        if (const BatchJobHost* host = slot.load()) {
            done += host->fraction();
            ++running;
        }
    }
    const std::size_t total = songs_.size();
    if (last && cancelled_) {
        // Not "100 %": what was finished when the cancel came, and no more.
        std::fprintf(stderr, "\rcancelled  %d of %zu songs finished%*s\n", finished_, total, 12, "");
        std::fflush(stderr);
        lineShown_ = true;
        return;
    }
    const int percent = total == 0 ? 100 : static_cast<int>(100.0 * done / static_cast<double>(total));
    std::fprintf(stderr, "\r%3d%%  %d of %zu songs finished, %zu running ", last ? 100 : std::min(percent, 99),
                 finished_, total, running);
    if (last) std::fputc('\n', stderr);
    std::fflush(stderr);
    lineShown_ = true;
}

// A batch that was killed leaves its hidden working files behind: they are removed when the
// process that wrote them is gone.
void removeStaleWorkingFiles(const std::vector<BatchSong>& songs) {
    std::vector<fs::path> folders;
    for (const BatchSong& song : songs) {
        if (!song.output.empty()) folders.push_back(song.output.parent_path());
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const fs::path& folder : folders) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const std::size_t mark = name.find(".loudara-");
            if (name.empty() || name[0] != '.' || mark == std::string::npos) continue;
            const long pid = std::strtol(name.c_str() + mark + 9, nullptr, 10);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                std::error_code ignored;
                fs::remove(it->path(), ignored);
            }
        }
    }
}

void Batch::run() {
    removeStaleWorkingFiles(songs_);
    readMadeSettings();
    std::string error;
    int status = 0;
    const std::unique_ptr<Processor> start = makeProcessor(o_, error, status);
    // Songs already failed or with an output that exists are settled before any job starts. An
    // output made by a batch with other settings is made again; one made by hand, or by a batch
    // that kept no settings, is left alone.
    for (std::size_t i = 0; i < songs_.size(); ++i) {
        BatchSong& song = songs_[i];
        if (start) song.settings = settingsKey(o_, *start, outputKindFor(o_, song.input));
        std::error_code ec;
        if (song.result == BatchSong::Result::Failed || song.result == BatchSong::Result::Skipped) {
            const BatchSong::Result settled = song.result;
            song.result = BatchSong::Result::Pending;
            finish(i, settled, song.reason);
        } else if (!o_.force && fs::exists(song.output, ec)) {
            const auto kept = made_.find(belowOutputFolder(o_, song.output));
            song.redo = kept != made_.end() && !song.settings.empty() && kept->second != song.settings;
            if (!song.redo) finish(i, BatchSong::Result::Skipped, "its output " + song.output.string() + " exists");
        }
    }
    gBatchInterrupted = false;
    std::signal(SIGINT, onBatchInterrupt);
    std::signal(SIGTERM, onBatchInterrupt);
    std::vector<std::thread> workers;
    activeWorkers_ = jobs_;
    for (int i = 0; i < jobs_; ++i) {
        workers.emplace_back([this] {
            worker();
            std::lock_guard lock(workersMutex_);
            --activeWorkers_;
            workerEnded_.notify_all();
        });
    }
    // The main thread watches: Ctrl-C reaches every running job, and the display follows them.
    for (;;) {
        if (gBatchInterrupted && !cancelled_) {
            cancelled_ = true;
            for (auto& slot : hosts_) {
                if (BatchJobHost* host = slot.load()) host->cancelRequested = true;
            }
        }
        showProgress(false);
        // The last worker's end is seen at once; a Ctrl-C and the display within 200 ms.
        std::unique_lock lock(workersMutex_);
        if (workerEnded_.wait_for(lock, std::chrono::milliseconds(200), [this] { return activeWorkers_ == 0; })) break;
    }
    for (std::thread& worker : workers) worker.join();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    showProgress(true);
}

// One document for the batch: every song's export report, and the songs that failed or were
// skipped with their reasons.
bool Batch::writeReport(std::string& error) const {
    nlohmann::ordered_json songs = nlohmann::ordered_json::array();
    for (const BatchSong& song : songs_) {
        switch (song.result) {
            case BatchSong::Result::Done: songs.push_back(song.report); break;
            case BatchSong::Result::Failed:
                songs.push_back({{"song", song.input}, {"status", "failed"}, {"reason", song.reason}});
                break;
            case BatchSong::Result::Skipped:
                songs.push_back({{"song", song.input}, {"status", "skipped"}, {"reason", song.reason}});
                break;
            default: songs.push_back({{"song", song.input}, {"status", "cancelled"}}); break;
        }
    }
    const std::string text = nlohmann::ordered_json{{"songs", songs}}.dump(2) + "\n";
    return ReplaceFileContents(o_.reportFile, text.data(), text.size(), error);
}

int Batch::summarise() const {
    int done = 0, failed = 0, skipped = 0, cancelled = 0, notStarted = 0;
    for (const BatchSong& song : songs_) {
        switch (song.result) {
            case BatchSong::Result::Done: ++done; break;
            case BatchSong::Result::Failed: ++failed; break;
            case BatchSong::Result::Skipped: ++skipped; break;
            case BatchSong::Result::Cancelled: ++cancelled; break;
            default: ++notStarted; break;
        }
    }
    if (terminal_ && !o_.quiet) {
        for (const BatchSong& song : songs_) {
            if (song.result == BatchSong::Result::Done && !song.reason.empty()) {
                std::fprintf(stderr, "%s: %s\n", song.input.c_str(), song.reason.c_str());
            }
        }
    }
    if (failed > 0) {
        std::fprintf(stderr, "failed:\n");
        for (const BatchSong& song : songs_) {
            if (song.result == BatchSong::Result::Failed) std::fprintf(stderr, "  %s: %s\n", song.input.c_str(), song.reason.c_str());
        }
    }
    std::fprintf(stderr, "%d done, %d failed, %d skipped", done, failed, skipped);
    int redone = 0;
    for (const BatchSong& song : songs_) redone += song.redo && song.result == BatchSong::Result::Done ? 1 : 0;
    if (redone > 0) std::fprintf(stderr, ", %d redone: settings changed", redone);
    if (cancelled + notStarted > 0) std::fprintf(stderr, ", %d cancelled or not started", cancelled + notStarted);
    std::fputc('\n', stderr);
    if (cancelled_) return 130;
    return failed > 0 ? 1 : 0;
}

}  // namespace

int processBatch(const ProcessOptions& o) {
    if (o.positional.empty()) return usageError("process", "a batch needs at least one song, folder or playlist");
    std::error_code ec;
    if (fs::exists(o.outputDir, ec) && !fs::is_directory(o.outputDir, ec)) {
        return usageError("process", "--output-dir " + o.outputDir + " is not a folder");
    }
    fs::create_directories(o.outputDir, ec);
    if (ec || access(o.outputDir.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "loudara-cli process: cannot write into %s\n", o.outputDir.c_str());
        return 1;
    }
    // After the output folder is made: the report may be meant to lie in it.
    if (const std::string problem = reportFileProblem(o); !problem.empty()) {
        std::fprintf(stderr, "loudara-cli process: %s\n", problem.c_str());
        return 1;
    }
    std::vector<BatchSong> songs = collectSongs(o);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const int jobs = std::max(1, std::min<int>(o.jobs > 0 ? o.jobs : static_cast<int>(cores), static_cast<int>(std::max<std::size_t>(songs.size(), 1))));
    Batch batch(o, std::move(songs), jobs);
    batch.run();
    const int status = batch.summarise();
    std::string error;
    if (!o.reportFile.empty() && !batch.writeReport(error)) {
        std::fprintf(stderr, "loudara-cli process: cannot write the report %s (%s)\n", o.reportFile.c_str(), error.c_str());
        return status == 0 ? 1 : status;
    }
    return status;
}

}  // namespace loudara::cli
