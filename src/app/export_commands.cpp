#include "app/export_commands.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

#include "base/text.h"
#include "files/peak_level.h"
#include "files/sound_export_job.h"
#include "files/sound_source.h"
#include "files/temp_folder.h"
#include "persistence/playlist.h"
#include "persistence/settings_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

bool isStopped(const AppState& s) { return s.playState == PlayState::Stopped; }

// Bytes of the UTF-8 character that starts with `lead`; a byte that cannot start one counts as one.
std::size_t utf8Length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

template <std::size_t N>
void storeText(char (&field)[N], std::string_view text, std::size_t maxChars) {
    const std::string cut = CutUtf8(text, maxChars, N - 1);
    std::snprintf(field, N, "%s", cut.c_str());
}

// The device index the first character of a list line names, or -1 (not a digit 0 to 7).
int deviceIndexOf(const std::string& line) {
    if (line.empty() || line[0] < '0' || line[0] > '7') return -1;
    return line[0] - '0';
}

const std::pair<std::string, std::string> kAllFiles{"All files {*.*}", "*.*"};

void exportCurrentSong(const DialogCommandContext& c);
void exportAllSongs(const DialogCommandContext& c);

}  // namespace

std::string CutUtf8(std::string_view text, std::size_t maxChars, std::size_t maxBytes) {
    std::size_t at = 0, chars = 0;
    while (at < text.size() && chars < maxChars) {
        std::size_t next = at + utf8Length(static_cast<unsigned char>(text[at]));
        if (next > text.size()) next = text.size();
        if (next > maxBytes) break;
        at = next;
        ++chars;
    }
    return std::string(text.substr(0, at));
}

int32_t FieldNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{INT32_MAX} + 1);
    }
    if (negative) value = -value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

ExportOptionsForm ExportOptionsFormFor(const ExportOptions& o) {
    ExportOptionsForm form;
    form.wavChecked = o.exportFormat == 0;
    form.bitrateText = std::to_string(o.mp3Bitrate);
    form.normalizeChecked = o.normalizeOnExport != 0;
    form.albumPrefix = o.albumPrefix;
    form.titlePrefix = o.titlePrefix;
    form.fileNameString = o.fileNameString;
    form.prefixChecked = o.fileNameStringIsPostfix == 0;
    form.originalFolderChecked = o.useOriginalFolder != 0;
    return form;
}

std::string ExportNoteLine(bool externalEncoderInUse) {
    return externalEncoderInUse ? kExternalEncoderNote : "";
}

void StoreExportOptions(ExportOptions& o, const ExportOptionsForm& form, bool batchDialog) {
    o.exportFormat = form.wavChecked ? 0 : 1;
    storeText(o.albumPrefix, form.albumPrefix, kExportTextChars);
    storeText(o.titlePrefix, form.titlePrefix, kExportTextChars);
    o.normalizeOnExport = form.normalizeChecked ? 1 : 0;
    o.mp3Bitrate = exportBitrateFor(FieldNumber(form.bitrateText), batchDialog);
    if (!batchDialog) return;
    storeText(o.fileNameString, form.fileNameString, kExportTextChars);
    o.fileNameStringIsPostfix = form.prefixChecked ? 0 : 1;
    o.useOriginalFolder = form.originalFolderChecked ? 1 : 0;
}

std::string DeviceListText(int index, const char* name) {
    std::string line = std::to_string(index);
    line += ": ";
    line += name;
    return line;
}

DeviceSettingsForm DeviceSettingsFormFor(const StoredSettings& stored, const std::vector<std::string>& outputLines,
                                         const std::vector<std::string>& inputLines) {
    DeviceSettingsForm form;
    form.outputCount = static_cast<int>(outputLines.size());
    if (stored.selectedOutputDevice < outputLines.size()) form.outputText = outputLines[stored.selectedOutputDevice];
    form.inputCount = static_cast<int>(inputLines.size());
    if (stored.selectedInputDevice < inputLines.size()) form.inputText = inputLines[stored.selectedInputDevice];
    form.rateChoice = std::min<int>(stored.onAirRateChoice, 2);
    form.startAtBootChecked = stored.startOnAirAtBoot != 0;
    form.blockCountText = std::to_string(stored.blockCount);
    return form;
}

int32_t BlockCountFor(std::string_view text) {
    const int32_t n = FieldNumber(text);
    if (n <= 1) return 2;
    return std::min(n, 8);
}

void StoreDeviceSettings(StoredSettings& stored, const DeviceSettingsForm& form) {
    if (form.outputCount > 0) {
        const int index = deviceIndexOf(form.outputText);
        if (index >= 0) stored.selectedOutputDevice = static_cast<uint16_t>(index);
    }
    if (form.inputCount > 0) {
        const int index = deviceIndexOf(form.inputText);
        if (index >= 0) stored.selectedInputDevice = static_cast<uint16_t>(index);
    }
    stored.onAirRateChoice = static_cast<uint16_t>(form.rateChoice == 0 ? 0 : (form.rateChoice == 1 ? 1 : 2));
    stored.startOnAirAtBoot = form.startAtBootChecked ? 1 : 0;
    stored.blockCount = BlockCountFor(form.blockCountText);
}

EncoderSettingsForm EncoderSettingsFormFor(const StoredSettings& stored) {
    EncoderSettingsForm form;
    form.useChecked = stored.useExternalEncoder != 0;
    form.programPath = stored.externalEncoderPath;
    form.parameters = stored.externalEncoderParams;
    return form;
}

void StoreEncoderSettings(StoredSettings& stored, const EncoderSettingsForm& form) {
    storeText(stored.externalEncoderPath, form.programPath, kEncoderTextChars);
    storeText(stored.externalEncoderParams, form.parameters, kEncoderTextChars);
    stored.useExternalEncoder = form.useChecked ? 1 : 0;
}

EncoderSettings EncoderSettingsOf(const StoredSettings& stored) {
    EncoderSettings encoder;
    encoder.useExternalEncoder = stored.useExternalEncoder;
    std::snprintf(encoder.externalEncoderPath, sizeof encoder.externalEncoderPath, "%s", stored.externalEncoderPath);
    std::snprintf(encoder.externalEncoderParams, sizeof encoder.externalEncoderParams, "%s",
                  stored.externalEncoderParams);
    return encoder;
}

std::string Mp3ExportTarget(const std::string& path) {
    std::string target = path;
    if (endsWithNoCase(target, ".wav") || endsWithNoCase(target, ".mp3")) target.resize(target.size() - 4);
    target += ".wav";
    return target;
}

std::string FolderOfPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BatchTargetPath(const std::string& folder, const std::string& songPath, const std::string& nameString,
                            bool postfix) {
    const std::string name = SongFileName(songPath.c_str());
    std::string target = folder;
    if (!postfix) {
        target += nameString;
        target += name;
        return target;
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        target += name;
        target += nameString;
        return target;
    }
    target.append(name, 0, dot);
    target += nameString;
    target.append(name, dot, std::string::npos);
    return target;
}

std::string ExportTemporaryFolder() { return PrivateTemporaryFolder(); }

ExportRequest ExportRequestFor(AppState& state, const std::string& targetPath, const EncoderSettings& encoder) {
    Playlist& list = state.playlist;
    const int song = list.currentSong;
    ExportRequest request;
    request.song = &list.songs[song];
    request.songStatus = &list.songStatus[song];
    request.tag = &list.tags[song];
    request.targetPath = targetPath;
    request.options = &state.stored.exportOptions;
    request.encoder = &encoder;
    request.runStamp = state.runStamp;
    request.temporaryFolder = ExportTemporaryFolder();
    return request;
}

ExportOutcome RunSongExport(Processor& p, const ExportRequest& request, JobHost& host) {
    if (request.song == nullptr || request.song->kind != SongKind::SoundFile || request.options == nullptr) {
        return RunExportJob(p, request, host);
    }
    const ExportOptions& options = *request.options;
    const bool mp3 = options.exportFormat != 0;
    SoundExportRequest sound;
    sound.songPath = request.song->path;
    sound.targetPath = replaceExtension(request.targetPath, mp3 ? ".mp3" : ".wav");
    sound.output.kind = mp3 ? SoundOutputKind::Mp3 : SoundOutputKind::Wav;
    sound.output.depth = SoundOutputDepth::Pcm16;
    sound.normalize = options.normalizeOnExport != 0;
    sound.mp3Bitrate = options.mp3Bitrate;
    if (mp3) {
        sound.albumPrefix = options.albumPrefix;
        sound.titlePrefix = options.titlePrefix;
    }
    sound.encoder = request.encoder;
    sound.runStamp = request.runStamp;
    sound.temporaryFolder = request.temporaryFolder;
    sound.measureLoudness = request.measureLoudness;
    sound.loudnessTargetLufs = request.loudnessTargetLufs;
    sound.truePeakLimitDbtp = request.truePeakLimitDbtp;

    // Refused before the job starts, as the 16-bit job refuses a song it cannot take: the song is
    // marked so that a batch does not count it as exported.
    std::string refusal;
    SoundSource source;
    std::error_code ignored;
    if (source.open(sound.songPath) != SoundOpenResult::Ok) {
        refusal = source.error();
    } else if (fs::equivalent(sound.songPath, sound.targetPath, ignored)) {
        refusal = "the target " + sound.targetPath + " is the song's own file";
    }
    source.close();
    if (!refusal.empty()) {
        if (request.songStatus) *request.songStatus = kSongStatusFailed;
        host.setFromText(sound.songPath);
        host.setToText(sound.targetPath);
        ExportOutcome outcome;
        outcome.status = ExportStatus::Failed;
        outcome.message = refusal;
        host.endNotice();
        return outcome;
    }
    if (sound.normalize) {
        // The song's peak as the job finds it, kept in its record as a normalising export of a WAV
        // song keeps it, so that playback normalises it as the export does.
        host.setFromText(sound.songPath);
        host.setToText(sound.targetPath);
        host.setStatusText("Searching max level for normalization..");
        double peak = 0.0;
        std::string error;
        const PeakScanResult scan = ScanSoundPeak(sound.songPath, host, peak, error);
        if (scan == PeakScanResult::Done) StoreSoundPeak(*request.song, peak);
        if (scan == PeakScanResult::Cancelled || host.cancelRequested.load()) {
            ExportOutcome outcome;
            outcome.status = ExportStatus::Cancelled;
            host.endNotice();
            return outcome;
        }
    }
    return RunSoundExportJob(p, sound, host);
}

bool RunDialogCommand(const DialogCommandContext& c, int id) {
    AppState& state = c.state;
    Playlist& list = state.playlist;
    switch (id) {
        case cmd::SoundDeviceSettings:
            c.dialogs.editDeviceSettings(state.stored);
            return true;
        case cmd::EncoderSettings:
            c.dialogs.editEncoderSettings(state.stored, state.playState, c.settingsFile);
            return true;
        case cmd::About:
            c.host.beep();
            c.dialogs.showSplash();
            return true;
        case cmd::PeakLevel:
            // The result is not used; the playlist has no peak column to refresh.
            if (isStopped(state) && list.songCount > 0) c.dialogs.runPeakScan(list);
            return true;
        case cmd::ExportCurrent:
            if (isStopped(state) && list.songCount > 0 && list.currentSong >= 0 && list.currentSong < list.songCount) {
                exportCurrentSong(c);
            }
            return true;
        case cmd::ExportAll:
            if (isStopped(state) && list.songCount > 0) exportAllSongs(c);
            return true;
        default:
            return false;
    }
}

namespace {

void exportCurrentSong(const DialogCommandContext& c) {
    AppState& state = c.state;
    ExportOptions& options = state.stored.exportOptions;
    if (!c.dialogs.editExportOptions(options, false, state.stored.useExternalEncoder != 0)) return;

    const bool mp3 = options.exportFormat != 0;
    FileDialogRequest request;
    request.save = true;
    request.initialName = mp3 ? "*.mp3" : "*.wav";
    request.filters = {{mp3 ? "Output to WAV File {*.mp3}" : "Output to WAV File {*.wav}", mp3 ? "*.mp3" : "*.wav"},
                       kAllFiles};
    request.defaultExtension = mp3 ? "mp3" : "wav";
    request.folder = DialogFolderFor(ReadSetting(kSoundFileExportDirKey, c.settingsFile));
    const std::vector<std::string> chosen = c.host.chooseFiles(request);
    if (chosen.empty()) return;
    const std::string path = chosen.front();
    WriteSetting(kSoundFileExportDirKey, path, c.settingsFile);

    c.processor.settings.channelMode = 1.0;

    const Playlist& list = state.playlist;
    std::string question = "Create the new file [ ";
    question += path;
    question += " ]\nfrom the original file [ ";
    question += list.songs[list.currentSong].path;
    question += " ].\n\nAre you sure?";
    if (!c.host.askConfirmation(question, kConfirmationCaption, ConfirmButtons::OkCancel)) return;

    const std::string target = mp3 ? Mp3ExportTarget(path) : path;
    const EncoderSettings encoder = EncoderSettingsOf(state.stored);
    const int32_t statusBefore = list.songStatus[list.currentSong];
    state.exportRunning = 1;
    c.dialogs.runExport(c.processor, ExportRequestFor(state, target, encoder));
    state.exportRunning = 0;
    // A song the job marked failed (an MP3 that cannot be decoded) shows its icon at once.
    if (list.songStatus[list.currentSong] != statusBefore) c.host.refreshSongList();
    c.host.repaintPanel();
}

void exportAllSongs(const DialogCommandContext& c) {
    AppState& state = c.state;
    Playlist& list = state.playlist;
    ExportOptions& options = state.stored.exportOptions;
    if (!c.dialogs.editExportOptions(options, true, state.stored.useExternalEncoder != 0)) return;

    const bool originalFolder = options.useOriginalFolder != 0;
    std::string folder;
    if (originalFolder) {
        if (options.fileNameString[0] == '\0') {
            std::snprintf(options.fileNameString, sizeof options.fileNameString, "%s", kOriginalFolderNameString);
        }
    } else {
        const std::string start = DialogFolderFor(ReadSetting(kSelectFolderPathKey, c.settingsFile));
        folder = c.dialogs.chooseFolder(kOutputFolderTitle, start);
        if (folder.empty()) return;
        WriteSetting(kSelectFolderPathKey, folder, c.settingsFile);
    }

    c.processor.settings.channelMode = 1.0;

    bool skipExported = false;
    const bool anyExported =
        std::any_of(list.songStatus, list.songStatus + list.songCount, [](int32_t s) { return s == kSongStatusExported; });
    if (anyExported) {
        const ReexportChoice choice = c.dialogs.askReexport(originalFolder ? kOriginalFolderText : folder);
        if (choice == ReexportChoice::Cancel) return;
        skipExported = choice == ReexportChoice::ExceptExported;
    } else {
        std::string question;
        if (originalFolder) {
            question = "Create new files to the original folder.\n\nAre you sure?";
        } else {
            question = "Create new files to the folder\n[ ";
            question += folder;
            question += " ]\n\nAre you sure?";
        }
        if (!c.host.askConfirmation(question, kConfirmationCaption, ConfirmButtons::OkCancel)) return;
    }

    const int rememberedSong = list.currentSong;
    if (folder.empty() || folder.back() != '/') folder += '/';
    const EncoderSettings encoder = EncoderSettingsOf(state.stored);
    for (int i = 0; i < list.songCount; ++i) {
        if (skipExported && list.songStatus[i] != kSongStatusNone) continue;
        c.host.refreshSongList();
        c.dialogs.scrollSongIntoView(i, true);
        c.dialogs.invalidateWindow();
        const std::string songPath = list.songs[i].path;
        if (originalFolder) folder = FolderOfPath(songPath);
        // The name string is read for each song: the options belong to the whole program.
        std::string target = BatchTargetPath(folder, songPath, options.fileNameString, options.fileNameStringIsPostfix != 0);
        list.currentSong = i;
        // A failed MP3 encoding turns the format to WAV for the songs after it.
        if (options.exportFormat != 0) target = Mp3ExportTarget(target);
        state.exportRunning = 1;
        if (c.dialogs.runExport(c.processor, ExportRequestFor(state, target, encoder)) == 0) break;
        state.exportRunning = 0;
        if (list.songStatus[i] != kSongStatusFailed) list.songStatus[i] = kSongStatusExported;
    }
    state.exportRunning = 0;
    list.currentSong = rememberedSong;
    c.host.refreshSongList();
    c.host.repaintPanel();
}

}  // namespace

}  // namespace loudara
