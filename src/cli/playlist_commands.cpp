// loudara-cli playlist: playlist files shown as the program's list shows them, and made from
// files and folders by the program's adding rules.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "files/unreadable_file.h"
#include "persistence/playlist.h"

namespace loudara {
namespace {

using cli::wantsHelp;

namespace fs = std::filesystem;

const char* kPlaylistHelp =
    "Usage: loudara-cli playlist show FILE.plt\n"
    "       loudara-cli playlist make OUT.plt FILE_OR_FOLDER... [--force]\n"
    "\n"
    "Playlist files (.plt) hold up to 2000 songs. Run 'loudara-cli playlist show --help' or\n"
    "'loudara-cli playlist make --help' for details.\n";

const char* kShowHelp =
    "Usage: loudara-cli playlist show FILE.plt\n"
    "\n"
    "Loads the playlist as the program's Open PlayList does (every song is probed again; songs\n"
    "whose files are gone or no longer playable drop out, the others move up in order) and prints\n"
    "a header line and one tab-separated line per song with the ten columns of the list:\n"
    "No, fs, ch, File Name, Time, Title, Artist, Album, Tr, Full Path. The song count follows on\n"
    "stderr.\n";

const char* kMakeHelp =
    "Usage: loudara-cli playlist make OUT.plt FILE_OR_FOLDER... [--force]\n"
    "\n"
    "Writes a playlist file of the given sound files, in order, as dropping them on the program's\n"
    "window adds them: .wav files (any letter case) the WAV probe accepts and .mp3 files; a folder\n"
    "adds the sound files below it, depth first, in the order the file system lists them. At most\n"
    "2000 songs; paths longer than 255 bytes do not fit a playlist and are skipped.\n"
    "Sound files enter too: .flac, .ogg, .oga, .opus, .aif, .aiff, .aifc, .w64 and .rf64 files, and\n"
    ".wav files that are not 16-bit PCM, mono or stereo (stored with kind 3; a version of Loudara\n"
    "that does not play them leaves them out when it opens the playlist).\n"
    "Files given by name that cannot be added are reported; the playlist is still written, and the\n"
    "exit status is then 1.\n"
    "\n"
    "Options:\n"
    "  --force    replace OUT.plt when it exists (otherwise an existing file is left alone)\n";

int usageError(const std::string& message) { return cli::usageError("playlist", message); }

// A cell for a tab-separated line: tabs and line breaks would split it.
std::string cellText(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

// The full path of a name given on the command line, so the playlist works from any folder.
std::string fullPath(const std::string& name) {
    std::error_code ec;
    const fs::path path(name);
    const bool climbs = std::any_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
    // "a/.." cannot be removed by text alone when "a" is a symbolic link.
    const fs::path full = climbs ? fs::weakly_canonical(path, ec) : fs::absolute(path, ec).lexically_normal();
    if (ec || full.empty()) return name;
    std::string text = full.string();
    if (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

const char* skipReason(AddResult result) {
    switch (result) {
        case AddResult::NotSoundFile: return "not a .wav or .mp3 file";
        case AddResult::ProbeFailed: return "not a sound file Loudara can play";
        case AddResult::PathTooLong: return "its path is longer than 255 bytes";
        case AddResult::ListFull: return "the playlist already holds 2000 songs";
        default: return "";
    }
}

int showPlaylist(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kShowHelp, stdout);
        return 0;
    }
    if (argc != 1) return usageError("show needs exactly one FILE.plt (see 'loudara-cli playlist show --help')");
    if (argv[0][0] == '-') return usageError(cli::UnknownOptionText(argv[0], kShowHelp));
    auto list = std::make_unique<Playlist>();
    list->probeMp3 = programMp3Probe();
    const PlaylistLoadStatus status = LoadPlaylist(*list, argv[0], PlayState::Stopped);
    if (status == PlaylistLoadStatus::NotOpened) {
        std::fprintf(stderr, "loudara-cli playlist: %s\n", CannotRead(argv[0]).c_str());
        return 1;
    }
    if (status == PlaylistLoadStatus::Short) {
        std::fprintf(stderr, "loudara-cli playlist: %s is shorter than a playlist file (%d bytes); the songs it "
                             "does not hold are left out\n",
                     argv[0], kPlaylistFileBytes);
    }
    for (int c = 0; c < kSongListColumns; ++c) std::printf("%s%c", kSongListHeaders[c], c + 1 < kSongListColumns ? '\t' : '\n');
    for (const SongRow& row : RefreshSongList(*list, PlayState::Stopped)) {
        for (int c = 0; c < kSongListColumns; ++c) {
            std::printf("%s%c", cellText(row.cells[c]).c_str(), c + 1 < kSongListColumns ? '\t' : '\n');
        }
    }
    std::fprintf(stderr, "%s\n", SongCountText(*list).c_str());
    return 0;
}

int makePlaylist(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::fputs(kMakeHelp, stdout);
        return 0;
    }
    bool force = false;
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--force") {
            force = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(cli::UnknownOptionText(arg, kMakeHelp));
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() < 2) return usageError("make needs OUT.plt and at least one FILE_OR_FOLDER (see --help)");
    const std::string& out = positional[0];
    std::error_code ec;
    if (fs::is_directory(out, ec)) {
        std::fprintf(stderr, "loudara-cli playlist: %s is a folder\n", out.c_str());
        return 1;
    }
    if (!force && fs::exists(out, ec)) {
        std::fprintf(stderr, "loudara-cli playlist: %s exists; give --force to replace it\n", out.c_str());
        return 1;
    }

    auto list = std::make_unique<Playlist>();
    list->probeMp3 = programMp3Probe();
    TextHost host(stderr);
    int skipped = 0;
    for (size_t i = 1; i < positional.size(); ++i) {
        const std::string name = fullPath(positional[i]);
        if (fs::is_directory(name, ec)) {
            if (AddSoundFolder(*list, name, PlayState::Stopped, host) == 0 && list->songCount < kMaxSongs) {
                std::fprintf(stderr, "loudara-cli playlist: no sound files added from %s\n", name.c_str());
            }
            continue;
        }
        const AddResult result = AddSoundFile(*list, name, PlayState::Stopped, host);
        if (result == AddResult::Added || result == AddResult::AddedPending) continue;
        ++skipped;
        if (result == AddResult::ProbeFailed && !fs::exists(name, ec)) {
            std::fprintf(stderr, "loudara-cli playlist: skipped %s: no such file\n", name.c_str());
        } else {
            std::fprintf(stderr, "loudara-cli playlist: skipped %s: %s\n", name.c_str(), skipReason(result));
        }
    }

    std::string error;
    if (!SavePlaylist(*list, out, error)) {
        std::fprintf(stderr, "loudara-cli playlist: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "wrote %s: %s", out.c_str(), SongCountText(*list).c_str());
    if (skipped > 0) std::fprintf(stderr, ", %d named input%s skipped", skipped, skipped == 1 ? "" : "s");
    std::fputc('\n', stderr);
    return skipped > 0 ? 1 : 0;
}

}  // namespace

int playlistCommand(int argc, char** argv) {
    if (argc == 0 || std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0) {
        std::fputs(kPlaylistHelp, argc == 0 ? stderr : stdout);
        return argc == 0 ? 2 : 0;
    }
    const std::string_view sub = argv[0];
    if (sub == "show") return showPlaylist(argc - 1, argv + 1);
    if (sub == "make") return makePlaylist(argc - 1, argv + 1);
    std::string message = "unknown subcommand '";
    message += sub;
    message += "' (show or make)";
    return usageError(message);
}

}  // namespace loudara
