// Writes the fuzz targets' seed corpus with the program's own writers: WAV headers, MP3 streams
// from the built-in encoder, ID3v1 tags, parameter files, playlist files and settings files.
//   make_seeds FOLDER   writes FOLDER/<target>/<seed> for every target

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/id3_tag.h"
#include "files/mp3_bridge.h"
#include "files/wav_file.h"
#include "persistence/parameter_file.h"
#include "persistence/playlist.h"
#include "persistence/settings_file.h"

using namespace loudara;
namespace fs = std::filesystem;

namespace {

std::vector<int16_t> tone(int frames, int channels) {
    std::vector<int16_t> samples(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(9000.0 * std::sin(0.05 * double(i)));
    return samples;
}

bool writeWav(const fs::path& path, int frames, uint32_t rate, uint32_t channels, bool extraChunk) {
    FileHandle out = OpenFile(path.c_str(), "wb");
    if (!out) return false;
    const std::vector<int16_t> samples = tone(frames, static_cast<int>(channels));
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    if (!extraChunk) {
        WriteWavHeader(out.get(), dataBytes, rate, channels, 16);
    } else {
        // RIFF, fmt, a LIST chunk before the data: the walk must step over chunks it does not know.
        const uint32_t fmtBytes = 16, listBytes = 10;
        auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, out.get()); };
        auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, out.get()); };
        std::fwrite("RIFF", 1, 4, out.get());
        u32(4 + 8 + fmtBytes + 8 + listBytes + 8 + dataBytes);
        std::fwrite("WAVEfmt ", 1, 8, out.get());
        u32(fmtBytes);
        u16(1);
        u16(static_cast<uint16_t>(channels));
        u32(rate);
        u32(rate * channels * 2);
        u16(static_cast<uint16_t>(channels * 2));
        u16(16);
        std::fwrite("LIST", 1, 4, out.get());
        u32(listBytes);
        std::fwrite("INFOISFT\0\0", 1, listBytes, out.get());
        std::fwrite("data", 1, 4, out.get());
        u32(dataBytes);
    }
    return std::fwrite(samples.data(), 2, samples.size(), out.get()) == samples.size();
}

bool writeMp3(const fs::path& path, int frames, uint32_t rate, uint32_t channels, int kbps) {
    const fs::path wav = path.string() + ".wav";
    if (!writeWav(wav, frames, rate, channels, false)) return false;
    FileHandle in = OpenFile(wav.c_str(), "rb");
    FileHandle out = OpenFile(path.c_str(), "wb");
    std::string error;
    const int64_t bytes = in ? SeekWavData(in.get()) : -1;
    const bool ok = out && bytes >= 0 && EncodePcmToMp3(in.get(), bytes, rate, channels, kbps, out.get(), nullptr, error);
    fs::remove(wav);
    if (!ok) std::fprintf(stderr, "make_seeds: %s: %s\n", path.c_str(), error.c_str());
    return ok;
}

SongTag sampleTag() {
    SongTag tag;
    std::memcpy(tag.bytes, "TAG", 3);
    std::memcpy(tag.bytes + kTagTitleOffset, "A song title", 12);
    std::memcpy(tag.bytes + kTagArtistOffset, "Someone", 7);
    std::memcpy(tag.bytes + kTagAlbumOffset, "Caf\xC3\xA9 album", 11);
    tag.bytes[126] = 7;
    return tag;
}

void cut(const fs::path& path, uintmax_t bytes) { fs::resize_file(path, std::min(fs::file_size(path), bytes)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const fs::path root = argv[1];
    for (const char* target : {"wav", "mp3", "id3v1", "params", "playlist", "settings"}) fs::create_directories(root / target);
    bool ok = true;

    ok &= writeWav(root / "wav/stereo44.wav", 300, 44100, 2, false);
    ok &= writeWav(root / "wav/mono32.wav", 300, 32000, 1, false);
    ok &= writeWav(root / "wav/list48.wav", 200, 48000, 2, true);

    ok &= writeMp3(root / "mp3/stereo44_128.mp3", 5000, 44100, 2, 128);
    ok &= writeMp3(root / "mp3/mono48_64.mp3", 5000, 48000, 1, 64);
    ok &= writeMp3(root / "mp3/stereo32_32.mp3", 4000, 32000, 2, 32);
    ok &= writeMp3(root / "mp3/mono22_64.mp3", 4000, 22050, 1, 64);
    ok &= AppendId3v1Tag((root / "mp3/stereo44_128.mp3").c_str(), sampleTag(), "[LDR] ", "(loud) ");

    // The ID3 target's input: 64 bytes of prefixes, then the song.
    ok &= writeMp3(root / "id3v1/tagged.mp3", 1200, 44100, 1, 32);
    ok &= AppendId3v1Tag((root / "id3v1/tagged.mp3").c_str(), sampleTag(), "", "");
    {
        std::ifstream in(root / "id3v1/tagged.mp3", std::ios::binary);
        const std::string song((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string prefixes(64, '\0');
        std::memcpy(prefixes.data(), "[Best] ", 7);
        std::memcpy(prefixes.data() + 32, "\xE6\x97\xA5\xE6\x9C\xAC ", 7);
        std::ofstream(root / "id3v1/tagged.mp3", std::ios::binary) << prefixes << song;
    }

    {
        auto p = std::make_unique<Processor>();
        StoredSettings stored;
        std::string error;
        selectPresetById(*p, 232);
        ok &= SaveParameterFile(*p, stored, (root / "params/default.ld3").string(), "", error);
        selectPresetById(*p, 340);
        p->settings.virtualSpeakerOn = 1;
        p->settings.gateOn = 1;
        std::snprintf(stored.externalEncoderParams, sizeof stored.externalEncoderParams, "-b 192 %%1 %%2");
        ok &= SaveParameterFile(*p, stored, (root / "params/fm.ld3").string(), "", error);
        ok &= SaveParameterFile(*p, stored, (root / "params/older.ld3").string(), "", error);
        cut(root / "params/older.ld3", 1043);
    }

    {
        auto list = std::make_unique<Playlist>();
        ClearPlaylistTables(*list);
        const char* paths[] = {"/music/one.wav", "/music/two.mp3", "/music/three.WAV"};
        for (int i = 0; i < 3; ++i) {
            list->songs[i].sampleRate = 44100;
            list->songs[i].channels = 2;
            list->songs[i].kind = i == 1 ? SongKind::Mp3 : SongKind::Wav;
            list->songs[i].dataBytes = 44100 * 4 * (i + 1);
            std::snprintf(list->songs[i].path, sizeof list->songs[i].path, "%s", paths[i]);
        }
        list->songCount = 3;
        list->currentSong = 1;
        std::string error;
        ok &= SavePlaylist(*list, (root / "playlist/three.plt").string(), error);
        // Only the first part of the file: up to its counts after entry 100, and the first entries.
        fs::copy_file(root / "playlist/three.plt", root / "playlist/counts.plt", fs::copy_options::overwrite_existing);
        cut(root / "playlist/counts.plt", static_cast<uintmax_t>(EncodePlaylist(*list).size() / 20 + 8));
        cut(root / "playlist/three.plt", 1000);
    }

    const std::string ini = (root / "settings/ldrmp3.ini").string();
    ok &= WriteSetting(kListFileDirKey, "/home/someone/lists/show.plt", ini);
    ok &= WriteSetting(kSoundFileDirKey, "/home/someone/Music", ini);
    {
        std::ofstream(root / "settings/other.ini") << "[Other]\nkey=value\n\n[loudara]\r\nEncToolDir = /usr/bin/lame\r\n;c\n";
    }
    return ok ? 0 : 1;
}
