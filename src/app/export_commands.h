#pragma once
// The commands that work through dialogs: single and batch export, the peak scan, the sound
// device and external encoder settings and "About". Qt-free: the window answers the dialogs
// through a DialogHost, the tests through a fake one. What each dialog stores when the user
// presses OK lives here too, as functions of what the dialog's controls hold, so the rules
// (bit rates, the block count, device indexes, text lengths) are the same for every window.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "app/command_dispatch.h"
#include "files/export_job.h"
#include "files/mp3_bridge.h"
#include "processor/processor.h"

namespace loudara {

inline constexpr const char* kVersionText = "V3.04.03";
inline constexpr const char* kLatestVersionPage = "https://loudara.example.org/";
inline constexpr const char* kExternalEncoderNote = "NOTE: An external MP3 encoding program is in use.";
inline constexpr const char* kOutputFolderTitle = "Specify output folder";
inline constexpr const char* kOriginalFolderText = "( Original Folder )";
inline constexpr const char* kOriginalFolderNameString = "ldr_";

// At most this many characters are taken from the export dialogs' text fields.
inline constexpr int kExportTextChars = 31;
// And from the external encoder dialog's two fields.
inline constexpr int kEncoderTextChars = 258;

// `text` cut to at most maxChars UTF-8 characters and maxBytes bytes, never inside a character.
std::string CutUtf8(std::string_view text, std::size_t maxChars, std::size_t maxBytes);

// The number a dialog's number field holds: its leading digits (after blanks and one sign); 0
// when there are none. Values beyond the range of int32_t are held at its ends.
int32_t FieldNumber(std::string_view text);

// ----- Export options ("Export a song", "Export All Songs") -----

// What the controls of an export options dialog hold. The batch dialog adds the last three.
struct ExportOptionsForm {
    bool wavChecked = false;
    std::string bitrateText;
    bool normalizeChecked = false;
    std::string albumPrefix;
    std::string titlePrefix;
    std::string fileNameString;
    bool prefixChecked = false;
    bool originalFolderChecked = false;
};

// The controls as the dialog opens them on the current options.
ExportOptionsForm ExportOptionsFormFor(const ExportOptions& options);
// The note line of both dialogs: the external encoder note when that program is in use.
std::string ExportNoteLine(bool externalEncoderInUse);
// OK of the single-song (batchDialog false) or the batch dialog.
void StoreExportOptions(ExportOptions& options, const ExportOptionsForm& form, bool batchDialog);

// ----- Sound device settings -----

// One line of a device list: "%d: %s" with the index from 0.
std::string DeviceListText(int index, const char* name);

struct DeviceSettingsForm {
    int outputCount = 0;       // lines of the output list
    std::string outputText;    // its current text
    int inputCount = 0;
    std::string inputText;
    int rateChoice = 1;        // the checked radio button: 0 "32kHz", 1 "44.1kHz", 2 "48kHz"
    bool startAtBootChecked = false;
    std::string blockCountText;
};

DeviceSettingsForm DeviceSettingsFormFor(const StoredSettings& stored, const std::vector<std::string>& outputLines,
                                         const std::vector<std::string>& inputLines);
// The block count the field gives: read as an unsigned number, then held to 2..8.
int32_t BlockCountFor(std::string_view text);
void StoreDeviceSettings(StoredSettings& stored, const DeviceSettingsForm& form);

// ----- External encoder settings -----

struct EncoderSettingsForm {
    bool useChecked = false;
    std::string programPath;
    std::string parameters;
};

EncoderSettingsForm EncoderSettingsFormFor(const StoredSettings& stored);
void StoreEncoderSettings(StoredSettings& stored, const EncoderSettingsForm& form);
// The encoder record the export job reads, from the stored options.
EncoderSettings EncoderSettingsOf(const StoredSettings& stored);

// ----- Export targets -----

// The target an MP3 export hands to the job: a final ".wav" or ".mp3" (any case) removed and
// ".wav" appended (the job encodes from that intermediate WAV file).
std::string Mp3ExportTarget(const std::string& path);

// A batch export's target for one song: `folder` ends in "/"; postfix puts `nameString` in front
// of the file name's last "." (a name without "." gets it appended), prefix in front of the name.
std::string BatchTargetPath(const std::string& folder, const std::string& songPath, const std::string& nameString,
                            bool postfix);

// The folder part of a path, up to and including its last "/" (empty when there is none).
std::string FolderOfPath(const std::string& path);

// ----- The dialogs -----

enum class ReexportChoice : int { Cancel = 0, ExportAll = 1, ExceptExported = 2 };

class DialogHost {
public:
    virtual ~DialogHost() = default;
    // "Export a song" (batch false) or "Export All Songs": true for OK, with the options stored.
    virtual bool editExportOptions(ExportOptions& options, bool batch, bool externalEncoderInUse) = 0;
    // The export progress dialog running the job for `request`: 1 completed, 0 cancelled.
    virtual int runExport(Processor& p, const ExportRequest& request) = 0;
    // "Detecting Peak Level...": the scan of every song of the list; 1 completed, 0 cancelled.
    virtual int runPeakScan(Playlist& list) = 0;
    // The re-export question about the output folder (or "( Original Folder )").
    virtual ReexportChoice askReexport(const std::string& folderText) = 0;
    // The folder browser opened at `startFolder`; empty when cancelled.
    virtual std::string chooseFolder(const std::string& title, const std::string& startFolder) = 0;
    // "Settings of Sound Devices": true for OK, with the settings stored.
    virtual bool editDeviceSettings(StoredSettings& stored) = 0;
    // "Settings for external encoding program"; "Ref." browses only while playState is Stopped
    // and remembers its folder in settingsFile.
    virtual bool editEncoderSettings(StoredSettings& stored, const PlayState& playState,
                                     const std::string& settingsFile) = 0;
    virtual void showSplash() = 0;
    // Scrolls the playlist view to `row` (keepBelow: with two more rows below it on the page).
    virtual void scrollSongIntoView(int row, bool keepBelow) = 0;
    // The whole main window is drawn again.
    virtual void invalidateWindow() = 0;
};

struct DialogCommandContext {
    AppState& state;
    Processor& processor;
    CommandHost& host;
    DialogHost& dialogs;
    const std::string& settingsFile;
};

// The commands with dialogs: 358, 269, 301, 320, 323 and 324, each with its guard. Returns false
// for any other id.
bool RunDialogCommand(const DialogCommandContext& context, int commandId);

// The job the export progress dialog runs for request.song: the 16-bit export job for WAV and MP3
// songs; a SoundFile song is read at full resolution through the sound export job and written as
// a 16-bit WAV file (the dialogs offer no other depth) or an MP3 file at the options' bit rate,
// named as the 16-bit job names its output (the target's extension replaced by ".wav" or ".mp3"),
// normalised when the options say so (the song's soundPeak and peakLevel then hold the peak it
// was normalised from, as a WAV song's peakLevel does after its export). A SoundFile song that
// cannot be read, or whose own file the target is, is marked failed (songStatus 2) and nothing is
// written. Sends host.endNotice() exactly once, as its last act.
ExportOutcome RunSongExport(Processor& p, const ExportRequest& request, JobHost& host);

// The export request for the playlist's `currentSong` and the stored options; `encoder` must
// outlive the job.
ExportRequest ExportRequestFor(AppState& state, const std::string& targetPath, const EncoderSettings& encoder);

// The temporary folder the export job writes its working files to: the run's private folder in
// the system's temporary folder (empty when it cannot be made).
std::string ExportTemporaryFolder();

}  // namespace loudara
