#pragma once
// The playlist: at most 2000 songs in three parallel tables (SongRecord, SongTag, songStatus),
// the rules by which files enter it, its 640008-byte file, the edits of the playlist commands,
// the sort, and the rows the playlist view shows.

#include <cstdint>
#include <string>
#include <vector>

#include "base/host.h"
#include "base/play_state.h"
#include "base/song_record.h"
#include "base/song_tag.h"

namespace loudara {

inline constexpr int kMaxSongs = 2000;
inline constexpr int kSongRecordBytes = 320;
inline constexpr int kPlaylistFileBytes = 640008;
inline constexpr int kSongStatusNone = 0, kSongStatusExported = 1, kSongStatusFailed = 2;
inline constexpr int kSongListColumns = 10;
inline constexpr int kDefaultSortColumn = 4;

// Reads an MP3 file's stream header: returns 1 and stores sampleRate, channels and dataBytes (the
// decoded size) in the record when the file can be played; 0 or less otherwise.
using Mp3ProbeFunction = int (*)(const char* path, SongRecord& song);

// The program's MP3 probe (ProbeMp3File of the MP3 bridge), or null where it is not built in.
Mp3ProbeFunction programMp3Probe();

// The tables and the values that go with them. Large (about 900 kB): create it on the heap or as
// part of the AppState.
// Files the adding routes passed over since `skipped` was last cleared, by reason.
struct SkippedFiles {
    int32_t notSoundFile = 0;  // not a name the list takes (".wav", ".mp3" or a SoundFile name)
    int32_t unplayable = 0;    // refused by its probe, or unreadable
    int32_t pathTooLong = 0;   // more than 255 bytes
    int32_t total() const { return notSoundFile + unplayable + pathTooLong; }
};

// "3 files not added: 2 not named as a sound file, 1 unreadable, damaged, or more than two
// channels", or empty when none.
std::string SkippedFilesText(const SkippedFiles& skipped);

// The endings of the names the list takes, in any case: WAV and MP3 through their own readers,
// the others as SoundFile songs.
inline constexpr const char* kSoundFileEndings[] = {".wav",  ".mp3",  ".flac", ".ogg", ".oga", ".opus",
                                                    ".aif",  ".aiff", ".aifc", ".w64", ".rf64"};

// ".wav, .mp3, ... or .rf64".
std::string SoundFileEndingsText();

struct Playlist {
    SongRecord songs[kMaxSongs];
    SongTag tags[kMaxSongs];
    int32_t songStatus[kMaxSongs] = {};
    int32_t songCount = 0;
    int32_t currentSong = 0;      // the selected song
    int32_t playingSong = 0;      // the song being played
    int32_t sortColumn = kDefaultSortColumn;  // key of the next sort (a column of the view)
    int32_t headerSortAscending = 0;          // direction of the next header-click sort
    // How MP3 files are probed. Without a probe, a readable MP3 file enters as Mp3Pending (as
    // during playback) and stays pending.
    Mp3ProbeFunction probeMp3 = nullptr;
    SkippedFiles skipped;  // what the adding routes passed over, for the status bar
};

// Zeroes the three tables (the counts and sort values are left alone).
void ClearPlaylistTables(Playlist& list);

// What happened to a file offered to the playlist.
enum class AddResult {
    Added,         // entered as Wav, Mp3 or SoundFile
    AddedPending,  // entered as Mp3Pending, to be probed when the transport stops
    NotSoundFile,  // the name ends in none of ".wav", ".mp3" and the SoundFile endings (any case)
    ProbeFailed,   // the probe refused it (or, without an MP3 probe, it cannot be read)
    PathTooLong,   // more than 255 bytes: it does not fit a SongRecord
    ListFull,      // 2000 songs are already on the list
};

// Adds one file (drop, folder scan). The name chooses the probe: ".mp3" the MP3 probe; ".wav" the
// WAV probe (16-bit PCM at 32, 44.1 or 48 kHz: Wav), then SoundSource for a WAV file that is not
// 16-bit PCM (SoundFile); ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff", ".aifc", ".w64" and
// ".rf64" SoundSource (SoundFile, any rate it takes, mono or stereo).
//
// In the playlist file a SoundFile entry is stored as any other, with kind 3. Loading re-probes
// every entry by its path and never trusts the stored kind, so a reader that knows no SoundFile
// drops such entries as files it does not take, and a list of WAV and MP3 songs only is stored
// exactly as before. Shows the limit message when this file makes the list reach
// 2000 songs.
AddResult AddSoundFile(Playlist& list, const std::string& path, PlayState state, Host& host);

// Adds the sound files below `folder`, depth first in the order the file system lists them,
// until the list holds 2000 songs. Symbolic links to folders are not followed (a link cycle
// would never end). Returns the number of songs added.
int AddSoundFolder(Playlist& list, const std::string& folder, PlayState state, Host& host);

// The names dropped on the window: each folder through AddSoundFolder, each file through
// AddSoundFile, names shorter than 4 characters ignored. A list already full shows the limit
// message once and accepts nothing.
void AddDroppedNames(Playlist& list, const std::vector<std::string>& names, PlayState state, Host& host);

// The files chosen in the "Open WAV/MP3 File..." dialog, as full paths. One file: a ".wav" file
// the probe refuses shows "WAVE Format Error", a path too long for the list is refused with a
// message. Several files: failures are skipped silently. No limit message either way. Returns the
// text for the "SoundFileDir" setting: the file's path for one file, their folder for several.
std::string AddChosenSoundFiles(Playlist& list, const std::vector<std::string>& paths, PlayState state, Host& host);

// The songs of the playlist file at `path` appended to the list (as many as it has room for), in
// the list's order; false when the file cannot be read. list.probeMp3 probes its MP3 songs.
bool AppendPlaylistFile(Playlist& list, const std::string& path, PlayState state);

enum class PlaylistLoadStatus {
    Loaded,     // the whole file was read
    Short,      // the file ended early; the values it did not hold kept theirs
    NotOpened,  // nothing was read
};

// Opens a playlist: reads the file in its layout into the tables (clamping currentSong to
// 0..1999 and songCount to 0..2000), then re-probes every entry and compacts the survivors to the
// front in their order. Also runs over the playlist as it was when the file cannot be read.
PlaylistLoadStatus LoadPlaylist(Playlist& list, const std::string& path, PlayState state);

// Writes the 640008-byte layout of the tables (all 2000 entries). An old file stays intact when
// the new one cannot be written completely.
bool SavePlaylist(const Playlist& list, const std::string& path, std::string& error);

// The file image SavePlaylist writes.
std::vector<uint8_t> EncodePlaylist(const Playlist& list);

// Commands 326, 325 and 352. Each returns false (and changes nothing) when its guard fails.
bool MoveSongUp(Playlist& list);
bool MoveSongDown(Playlist& list);
bool DeleteCurrentSong(Playlist& list, PlayState state);

// Stable bubble sort by list.sortColumn; playingSong follows its entry. Afterwards
// headerSortAscending is 1 after a descending sort and 0 after an ascending one, and sortColumn
// is 4 again.
void SortPlaylist(Playlist& list, bool ascending);

// The text after the last "/" of a path.
std::string SongFileName(const char* path);

// One row of the playlist view.
enum SongIcon : int { kIconPlaying = 0, kIconWav = 1, kIconMp3 = 2, kIconWavMarked = 3, kIconMp3Exported = 4,
                      kIconMp3Failed = 5 };

struct SongRow {
    int index = 0;  // the song's index (the row's item data)
    int icon = 0;
    std::string cells[kSongListColumns];
};

inline constexpr const char* kSongListHeaders[kSongListColumns] = {
    "No", "fs", "ch", "File Name", "Time", "Title", "Artist", "Album", "Tr", "Full Path"};
inline constexpr int kSongListWidths[kSongListColumns] = {40, 28, 28, 100, 50, 100, 100, 100, 30, 300};

// The rows of the view, after pending MP3 entries have been probed (only while Stopped).
std::vector<SongRow> RefreshSongList(Playlist& list, PlayState state);

// "%d songs in list", for the first part of the status bar.
std::string SongCountText(const Playlist& list);

// Rows to scroll down after a refresh to restore the view: songCount n, rowsPerPage p, the
// top row t remembered before the refresh. 0 means no scrolling.
int RestoredScrollRows(int songCount, int rowsPerPage, int topRow);

// The top row that brings `row` into view: the row itself, or with keepBelow the row with two
// more rows below it within the page.
int ScrollTopRowFor(int row, bool keepBelow, int rowsPerPage);

// The limit message and the messages of the single-file open dialog.
inline constexpr const char* kLoudaraCaption = "Loudara";
inline constexpr const char* kWaveFormatErrorCaption = "WAVE Format Error";
inline constexpr const char* kWaveFormatErrorText =
    "This WAV file format is not supported.\nSupported Format\xEF\xBC\x9A" "48k/44.1k/32k, 1ch/2ch, 16bit";
std::string SongLimitText();

}  // namespace loudara
