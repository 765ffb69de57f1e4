#include "persistence/playlist.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string_view>

#include <sys/stat.h>

#include "base/byte_io.h"
#include "base/text.h"
#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/safe_write.h"
#include "files/sound_source.h"
#include "files/wav_file.h"

namespace loudara {
namespace {

namespace fs = std::filesystem;

// Playlist file: entries 0..99, then currentSong and songCount, then entries 100..1999.
namespace at {
constexpr int kFirstEntries = 0;
constexpr int kFirstEntryCount = 100;
constexpr int kCurrentSong = 32000;
constexpr int kSongCount = 32004;
constexpr int kLaterEntries = 32008;
}  // namespace at
static_assert(at::kFirstEntryCount * kSongRecordBytes == at::kCurrentSong);
static_assert(at::kLaterEntries + (kMaxSongs - at::kFirstEntryCount) * kSongRecordBytes == kPlaylistFileBytes);

// SongRecord: five u32 fields, 44 reserved bytes, the path.
namespace rec {
constexpr int kSampleRate = 0;
constexpr int kChannels = 4;
constexpr int kPeakLevel = 8;
constexpr int kKind = 12;
constexpr int kDataBytes = 16;
constexpr int kPath = 64;
constexpr int kPathBytes = 256;
}  // namespace rec
static_assert(rec::kPath + rec::kPathBytes == kSongRecordBytes);
static_assert(sizeof(SongRecord::path) == rec::kPathBytes);

constexpr std::size_t kMaxPathBytes = rec::kPathBytes - 1;

int entryOffset(int index) {
    return index < at::kFirstEntryCount ? at::kFirstEntries + index * kSongRecordBytes
                                        : at::kLaterEntries + (index - at::kFirstEntryCount) * kSongRecordBytes;
}

void encodeRecord(const SongRecord& song, uint8_t* out) {
    bytes::putU32(out + rec::kSampleRate, song.sampleRate);
    bytes::putU32(out + rec::kChannels, song.channels);
    bytes::putU32(out + rec::kPeakLevel, song.peakLevel);
    bytes::putU32(out + rec::kKind, static_cast<uint32_t>(song.kind));
    bytes::putU32(out + rec::kDataBytes, song.dataBytes);
    std::memset(out + rec::kDataBytes + 4, 0, rec::kPath - rec::kDataBytes - 4);
    std::memcpy(out + rec::kPath, song.path, rec::kPathBytes);
}

void decodeRecord(const uint8_t* in, SongRecord& song) {
    song.sampleRate = bytes::getU32(in + rec::kSampleRate);
    song.channels = bytes::getU32(in + rec::kChannels);
    song.peakLevel = bytes::getU32(in + rec::kPeakLevel);
    song.kind = static_cast<SongKind>(bytes::getU32(in + rec::kKind));
    song.dataBytes = bytes::getU32(in + rec::kDataBytes);
    std::memcpy(song.path, in + rec::kPath, rec::kPathBytes);
    song.path[rec::kPathBytes - 1] = '\0';  // a damaged file must not run a path into the next entry
}

// A song must be a regular file (or a link to one). A FIFO, device or socket named "x.wav" is
// never opened: a FIFO would wait for a writer forever, a device would read without end.
bool regularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool readable(const std::string& path) { return static_cast<bool>(OpenFile(path.c_str(), "rb")); }

void swapEntries(Playlist& list, int a, int b) {
    std::swap(list.songs[a], list.songs[b]);
    std::swap(list.tags[a], list.tags[b]);
    std::swap(list.songStatus[a], list.songStatus[b]);
}

void setPath(SongRecord& song, const std::string& path) {
    std::memset(song.path, 0, sizeof song.path);
    std::memcpy(song.path, path.data(), std::min(path.size(), kMaxPathBytes));
}

// A probed song as it enters (or re-enters) the list.
struct ProbedSong {
    SongRecord record;
    SongTag tag;
    AddResult result = AddResult::ProbeFailed;
};

// The probe part of the adding rules: what the file at `path` becomes, without the limit.
// The names of the files SoundSource reads for the list, besides ".wav".
bool otherSoundName(const std::string& path) {
    for (const char* ending : kSoundFileEndings) {
        if (std::string_view(ending) != ".wav" && std::string_view(ending) != ".mp3" && endsWithNoCase(path, ending)) {
            return true;
        }
    }
    return false;
}

// A file SoundSource reads, as a SoundFile record: its own rate and channels, and the bytes its
// frames would take as 16-bit samples (held to 4 GiB - 1). Among WAV files only those the WAV
// probe refused come here: a 16-bit WAV at another rate than 32000, 44100 or 48000 Hz is played
// and exported resampled, as any other song at such a rate.
bool probeSoundFile(const std::string& path, SongRecord& song) {
    SoundSource source;
    if (source.open(path) != SoundOpenResult::Ok) return false;
    const SoundFileFormat& format = source.format();
    song.sampleRate = static_cast<uint32_t>(format.sampleRate);
    song.channels = static_cast<uint32_t>(format.channels);
    const int64_t bytes = format.frames * format.channels * 2;
    song.dataBytes = static_cast<uint32_t>(std::min<int64_t>(bytes, UINT32_MAX));
    song.kind = SongKind::SoundFile;
    return true;
}

ProbedSong probeForList(const Playlist& list, const std::string& path, PlayState state) {
    ProbedSong out;
    const bool wav = endsWithNoCase(path, ".wav");
    const bool mp3 = !wav && endsWithNoCase(path, ".mp3");
    const bool other = !wav && !mp3 && otherSoundName(path);
    if (!wav && !mp3 && !other) {
        out.result = AddResult::NotSoundFile;
        return out;
    }
    if (path.size() > kMaxPathBytes || path.find('\0') != std::string::npos) {
        out.result = AddResult::PathTooLong;
        return out;
    }
    if (!regularFile(path)) return out;
    SongRecord& song = out.record;
    if (other) {
        if (!probeSoundFile(path, song)) return out;
        out.result = AddResult::Added;
    } else if (wav) {
        if (ProbeWavFile(path.c_str(), song) == WavProbeResult::Ok) {
            song.kind = SongKind::Wav;
        } else if (!probeSoundFile(path, song)) {
            return out;
        }
        out.result = AddResult::Added;
    } else if (state != PlayState::Stopped || list.probeMp3 == nullptr) {
        // Probed later, when the transport has stopped and a probe is there.
        if (list.probeMp3 == nullptr && !readable(path)) return out;
        song = SongRecord{};
        song.kind = SongKind::Mp3Pending;
        out.result = AddResult::AddedPending;
    } else {
        if (list.probeMp3(path.c_str(), song) <= 0) return out;
        song.kind = SongKind::Mp3;
        ReadSongTag(path.c_str(), out.tag);
        out.result = AddResult::Added;
    }
    song.peakLevel = 0;
    setPath(song, path);
    return out;
}

AddResult addFile(Playlist& list, const std::string& path, PlayState state, Host& host, bool limitMessage) {
    const ProbedSong probed = probeForList(list, path, state);
    switch (probed.result) {
        case AddResult::NotSoundFile: ++list.skipped.notSoundFile; return probed.result;
        case AddResult::ProbeFailed: ++list.skipped.unplayable; return probed.result;
        case AddResult::PathTooLong: ++list.skipped.pathTooLong; return probed.result;
        case AddResult::ListFull: return probed.result;
        default: break;
    }
    if (list.songCount >= kMaxSongs) return AddResult::ListFull;
    const int i = list.songCount++;
    list.songs[i] = probed.record;
    list.tags[i] = probed.tag;
    list.songStatus[i] = kSongStatusNone;
    if (limitMessage && list.songCount == kMaxSongs) {
        host.showMessage(SongLimitText(), kLoudaraCaption, MessageIcon::Exclamation);
    }
    return probed.result;
}

int scanFolder(Playlist& list, const fs::path& folder, PlayState state, Host& host) {
    int added = 0;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (list.songCount >= kMaxSongs) break;
        const fs::directory_entry& entry = *it;
        std::error_code e;
        if (entry.is_symlink(e) && entry.is_directory(e)) continue;
        if (entry.is_directory(e)) {
            added += scanFolder(list, entry.path(), state, host);
        } else if (entry.is_regular_file(e)) {
            // Only regular files: opening a FIFO named "x.wav" would wait for a writer forever.
            const AddResult r = addFile(list, entry.path().string(), state, host, true);
            if (r == AddResult::Added || r == AddResult::AddedPending) ++added;
        }
    }
    return added;
}

// Text of a 30-byte tag field for sorting: the bytes up to the first NUL.
std::string_view tagKey(const Playlist& list, int i, int offset) {
    if (list.songs[i].kind != SongKind::Mp3) return {};
    const char* text = reinterpret_cast<const char*>(list.tags[i].bytes + offset);
    return std::string_view(text, strnlen(text, kTagTextBytes));
}

int compareBytes(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Numeric keys compare as the signed 32-bit difference.
int compareNumbers(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

std::string_view fileNameOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int compareEntries(const Playlist& list, int a, int b, int column) {
    const SongRecord& x = list.songs[a];
    const SongRecord& y = list.songs[b];
    switch (column) {
        case 0: return compareNumbers(static_cast<uint32_t>(x.kind), static_cast<uint32_t>(y.kind));
        case 1: return compareNumbers(x.sampleRate, y.sampleRate);
        case 2: return compareNumbers(x.channels, y.channels);
        case 3: return compareBytes(fileNameOf(x.path), fileNameOf(y.path));
        case 4: return compareNumbers(x.dataBytes, y.dataBytes);
        case 5: return compareBytes(tagKey(list, a, kTagTitleOffset), tagKey(list, b, kTagTitleOffset));
        case 6: return compareBytes(tagKey(list, a, kTagArtistOffset), tagKey(list, b, kTagArtistOffset));
        case 7: return compareBytes(tagKey(list, a, kTagAlbumOffset), tagKey(list, b, kTagAlbumOffset));
        case 8: {
            const uint32_t ta = x.kind == SongKind::Mp3 ? list.tags[a].bytes[126] : 255;
            const uint32_t tb = y.kind == SongKind::Mp3 ? list.tags[b].bytes[126] : 255;
            return compareNumbers(ta, tb);
        }
        default: return compareBytes(x.path, y.path);
    }
}

std::string format(const char* pattern, long value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

int iconFor(const Playlist& list, int i, PlayState state) {
    if (state == PlayState::Playing && i == list.playingSong) return kIconPlaying;
    const int status = list.songStatus[i];
    switch (list.songs[i].kind) {
        case SongKind::Mp3:
        case SongKind::Mp3Pending:
            return status == kSongStatusExported ? kIconMp3Exported
                                                 : (status == kSongStatusFailed ? kIconMp3Failed : kIconMp3);
        default: return status == kSongStatusNone ? kIconWav : kIconWavMarked;
    }
}

}  // namespace

namespace {

int probeWithBridge(const char* path, SongRecord& song) { return static_cast<int>(ProbeMp3File(path, song)); }

}  // namespace

Mp3ProbeFunction programMp3Probe() { return &probeWithBridge; }

std::string SongLimitText() {
    char text[160];
    std::snprintf(text, sizeof text,
                  "More than %d sound files cannot be placed on the list.\nThe exceeded files has been canceled.",
                  kMaxSongs);
    return text;
}

bool AppendPlaylistFile(Playlist& list, const std::string& path, PlayState state) {
    auto loaded = std::make_unique<Playlist>();
    loaded->probeMp3 = list.probeMp3;
    if (LoadPlaylist(*loaded, path, state) == PlaylistLoadStatus::NotOpened) return false;
    for (int i = 0; i < loaded->songCount && list.songCount < kMaxSongs; ++i) {
        list.songs[list.songCount] = loaded->songs[i];
        list.tags[list.songCount] = loaded->tags[i];
        ++list.songCount;
    }
    return true;
}

std::string SoundFileEndingsText() {
    std::string text;
    const std::size_t count = std::size(kSoundFileEndings);
    for (std::size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : i + 1 == count ? " or " : ", ");
        text += kSoundFileEndings[i];
    }
    return text;
}

std::string SkippedFilesText(const SkippedFiles& skipped) {
    const int total = skipped.total();
    if (total == 0) return {};
    std::string text = std::to_string(total) + (total == 1 ? " file" : " files") + " not added:";
    const char* separator = " ";
    auto reason = [&](int count, const char* why) {
        if (count == 0) return;
        text += separator + std::to_string(count) + " " + why;
        separator = ", ";
    };
    reason(skipped.notSoundFile, "not named as a sound file");
    reason(skipped.unplayable, "unreadable, damaged, or more than two channels");
    reason(skipped.pathTooLong, "path over 255 bytes");
    return text;
}

void ClearPlaylistTables(Playlist& list) {
    std::fill(std::begin(list.songs), std::end(list.songs), SongRecord{});
    std::fill(std::begin(list.tags), std::end(list.tags), SongTag{});
    std::fill(std::begin(list.songStatus), std::end(list.songStatus), 0);
}

AddResult AddSoundFile(Playlist& list, const std::string& path, PlayState state, Host& host) {
    if (list.songCount >= kMaxSongs) return AddResult::ListFull;
    return addFile(list, path, state, host, true);
}

int AddSoundFolder(Playlist& list, const std::string& folder, PlayState state, Host& host) {
    return scanFolder(list, fs::path(folder), state, host);
}

void AddDroppedNames(Playlist& list, const std::vector<std::string>& names, PlayState state, Host& host) {
    if (list.songCount >= kMaxSongs) {
        host.showMessage(SongLimitText(), kLoudaraCaption, MessageIcon::Exclamation);
        return;
    }
    for (const std::string& name : names) {
        if (name.size() < 4) continue;
        std::error_code ec;
        if (fs::is_directory(name, ec)) {
            AddSoundFolder(list, name, state, host);
        } else {
            AddSoundFile(list, name, state, host);
        }
    }
}

std::string AddChosenSoundFiles(Playlist& list, const std::vector<std::string>& paths, PlayState state, Host& host) {
    if (paths.empty()) return {};
    if (paths.size() == 1) {
        const std::string& path = paths.front();
        const AddResult result = addFile(list, path, state, host, false);
        if (result == AddResult::ProbeFailed && endsWithNoCase(path, ".wav")) {
            host.showMessage(kWaveFormatErrorText, kWaveFormatErrorCaption, MessageIcon::Exclamation);
        } else if (result == AddResult::PathTooLong) {
            std::string text = "The file path is longer than 255 bytes and cannot be placed on the list.\n";
            text += path;
            host.showMessage(text, kLoudaraCaption, MessageIcon::Exclamation);
        }
        return path;
    }
    for (const std::string& path : paths) addFile(list, path, state, host, false);
    return fs::path(paths.front()).parent_path().string();
}

PlaylistLoadStatus LoadPlaylist(Playlist& list, const std::string& path, PlayState state) {
    PlaylistLoadStatus status = PlaylistLoadStatus::NotOpened;
    if (const FileHandle file = OpenFile(path.c_str(), "rb")) {
        std::vector<uint8_t> image(kPlaylistFileBytes);
        std::size_t length = 0;
        while (length < image.size()) {
            const std::size_t n = std::fread(image.data() + length, 1, image.size() - length, file.get());
            if (n == 0) break;
            length += n;
        }
        const auto has = [&](int offset, int size) { return static_cast<std::size_t>(offset + size) <= length; };
        for (int i = 0; i < kMaxSongs; ++i) {
            if (has(entryOffset(i), kSongRecordBytes)) decodeRecord(image.data() + entryOffset(i), list.songs[i]);
        }
        if (has(at::kCurrentSong, 4)) list.currentSong = bytes::getI32(image.data() + at::kCurrentSong);
        if (has(at::kSongCount, 4)) list.songCount = bytes::getI32(image.data() + at::kSongCount);
        status = length == image.size() ? PlaylistLoadStatus::Loaded : PlaylistLoadStatus::Short;
    }
    list.currentSong = std::clamp(list.currentSong, 0, kMaxSongs - 1);
    list.songCount = std::clamp(list.songCount, 0, kMaxSongs);

    // Every entry is checked again; the ones that still play move up, in order.
    int j = 0;
    for (int i = 0; i < list.songCount; ++i) {
        const std::string entryPath = list.songs[i].path;
        ProbedSong probed = probeForList(list, entryPath, state);
        if (probed.result != AddResult::Added && probed.result != AddResult::AddedPending) continue;
        list.songs[j] = probed.record;
        list.tags[j] = probed.tag;
        list.songStatus[j] = kSongStatusNone;
        ++j;
    }
    list.songCount = j;
    return status;
}

std::vector<uint8_t> EncodePlaylist(const Playlist& list) {
    std::vector<uint8_t> image(kPlaylistFileBytes, 0);
    for (int i = 0; i < kMaxSongs; ++i) encodeRecord(list.songs[i], image.data() + entryOffset(i));
    bytes::putI32(image.data() + at::kCurrentSong, list.currentSong);
    bytes::putI32(image.data() + at::kSongCount, list.songCount);
    return image;
}

bool SavePlaylist(const Playlist& list, const std::string& path, std::string& error) {
    const std::vector<uint8_t> image = EncodePlaylist(list);
    return ReplaceFileContents(path, image.data(), image.size(), error);
}

bool MoveSongUp(Playlist& list) {
    const int c = list.currentSong;
    if (c <= 0 || c >= kMaxSongs) return false;
    swapEntries(list, c, c - 1);
    if (list.playingSong == c - 1) {
        list.playingSong = c;
    } else if (list.playingSong == c) {
        list.playingSong = c - 1;
    }
    list.currentSong = c - 1;
    return true;
}

bool MoveSongDown(Playlist& list) {
    const int c = list.currentSong;
    if (c < 0 || c >= list.songCount - 1) return false;
    swapEntries(list, c, c + 1);
    if (list.playingSong == c + 1) {
        list.playingSong = c;
    } else if (list.playingSong == c) {
        list.playingSong = c + 1;
    }
    list.currentSong = c + 1;
    return true;
}

bool DeleteCurrentSong(Playlist& list, PlayState state) {
    if (state != PlayState::Stopped && list.playingSong == list.currentSong) return false;
    if (list.songCount < 1) return false;
    const int c = list.currentSong;
    if (c >= 0 && c < list.songCount) {
        for (int i = c + 1; i < list.songCount; ++i) {
            list.songs[i - 1] = list.songs[i];
            list.tags[i - 1] = list.tags[i];
            list.songStatus[i - 1] = list.songStatus[i];
        }
        if (list.playingSong > c) --list.playingSong;
    }
    --list.songCount;
    if (list.currentSong >= list.songCount && list.songCount > 0) list.currentSong = list.songCount - 1;
    return true;
}

void SortPlaylist(Playlist& list, bool ascending) {
    const int n = list.songCount;
    for (int k = 0; k < n; ++k) {
        for (int i = 1; i < n - k; ++i) {
            const int c = compareEntries(list, i - 1, i, list.sortColumn);
            if (ascending ? c > 0 : c < 0) {
                swapEntries(list, i - 1, i);
                if (list.playingSong == i - 1) {
                    list.playingSong = i;
                } else if (list.playingSong == i) {
                    list.playingSong = i - 1;
                }
            }
        }
    }
    list.headerSortAscending = ascending ? 0 : 1;
    list.sortColumn = kDefaultSortColumn;
}

std::string SongFileName(const char* path) { return std::string(fileNameOf(path)); }

std::vector<SongRow> RefreshSongList(Playlist& list, PlayState state) {
    if (state == PlayState::Stopped && list.probeMp3 != nullptr) {
        for (int i = 0; i < list.songCount; ++i) {
            SongRecord& song = list.songs[i];
            if (song.kind != SongKind::Mp3Pending) continue;
            SongRecord probed = song;
            if (list.probeMp3(song.path, probed) <= 0) continue;
            song.sampleRate = probed.sampleRate;
            song.channels = probed.channels;
            song.dataBytes = probed.dataBytes;
            song.peakLevel = 0;
            song.kind = SongKind::Mp3;
            ReadSongTag(song.path, list.tags[i]);
        }
    }

    std::vector<SongRow> rows(static_cast<std::size_t>(std::max(list.songCount, 0)));
    for (int i = 0; i < list.songCount; ++i) {
        const SongRecord& song = list.songs[i];
        SongRow& row = rows[i];
        row.index = i;
        row.icon = iconFor(list, i, state);
        std::string* cell = row.cells;
        cell[0] = format("%02ld", i);
        cell[1] = format("%02ld", static_cast<long>(song.sampleRate / 1000));
        cell[2] = format("%ld", static_cast<long>(song.channels));
        cell[3] = SongFileName(song.path);
        cell[4] = FormatSongLength(song);
        if (song.kind == SongKind::Mp3) {
            cell[5] = TagFieldText(list.tags[i], kTagTitleOffset);
            cell[6] = TagFieldText(list.tags[i], kTagArtistOffset);
            cell[7] = TagFieldText(list.tags[i], kTagAlbumOffset);
            cell[8] = format("%ld", list.tags[i].bytes[126]);
        } else if (song.kind == SongKind::Mp3Pending) {
            cell[5] = cell[6] = cell[7] = "(Loading..)";
            cell[8] = "##";
        } else {
            cell[5] = cell[6] = cell[7] = cell[8] = "--";
        }
        cell[9] = song.path;
    }
    return rows;
}

std::string SongCountText(const Playlist& list) { return format("%ld songs in list", list.songCount); }

int RestoredScrollRows(int songCount, int rowsPerPage, int topRow) {
    const int n = songCount, p = rowsPerPage, t = topRow;
    const int target = n - t < p - 1 ? n - p : t;
    if (target > 0 && (n - t >= p - 1 || n >= p)) return target;
    return 0;
}

int ScrollTopRowFor(int row, bool keepBelow, int rowsPerPage) {
    return keepBelow ? std::max(row + 2 - rowsPerPage, 0) : row;
}

}  // namespace loudara
