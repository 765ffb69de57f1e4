// Playlist files: the load with its clamps and re-probe, then the view's rows and a sort.

#include <memory>

#include "fuzz_input.h"
#include "persistence/playlist.h"

using namespace loudara;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input("plt");
    static const auto list = std::make_unique<Playlist>();
    ClearPlaylistTables(*list);
    list->songCount = list->currentSong = list->playingSong = 0;
    list->probeMp3 = programMp3Probe();
    LoadPlaylist(*list, input.hold(data, size), PlayState::Stopped);
    if (list->songCount < 0 || list->songCount > kMaxSongs) __builtin_trap();
    if (list->currentSong < 0 || list->currentSong >= kMaxSongs) __builtin_trap();
    RefreshSongList(*list, PlayState::Stopped);
    SongCountText(*list);
    SortPlaylist(*list, size % 2 == 0);
    EncodePlaylist(*list);
    return 0;
}
