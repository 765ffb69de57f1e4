#pragma once
// Playback and ON-AIR streaming: the song at currentSong (or, in ON-AIR mode, the input device)
// through processBlock to the output device, block by block, driven by the blocks the output
// returns. Everything here runs on the one thread of the event loop (event_loop.h); nothing
// here touches a sound system directly, only the WaveDevice operations.
//
// A stream runs at the output device's rate (StreamRateFor; ON-AIR at the rate chosen for it
// unless the device runs at another rate the processor takes): a WAV or MP3 song at that rate is
// played as it is; a SoundFile song, or a song at another rate than the device's, is read through
// SoundSource resampled to the device's rate, and the processor is prepared for that rate.
//
// One song's road: StartPlayback opens the output at the stream's rate, prepares the processor,
// positions the WAV file at its first sample (or opens the MP3 decoder), fills every block while
// the output is paused, queues them and restarts the output. Each returned block is refilled and
// queued again (Playing) until a fill finds the end of the song (Draining); when every block is
// back (Finished) the devices close (Stopped) and, with continuous playback, the next song starts
// after timer 1. WAV songs end at the end of their "data" chunk.

#include <cstdint>
#include <string>

#include "audio/device_engine.h"
#include "audio/event_loop.h"
#include "audio/transport_state.h"
#include "base/device_choice.h"
#include "base/host.h"
#include "files/mp3_bridge.h"
#include "persistence/playlist.h"
#include "processor/processor.h"

namespace loudara {

// Everything a stream touches. The program has one; tests build their own.
struct Streaming {
    TransportState& transport;
    Playlist& playlist;
    DeviceChoice& devices;
    Processor& processor;
    DeviceEngine& engine;
    EventLoop& loop;
    StreamView& view;
    Host& host;
    Mp3Decoder& mp3;
};

enum class StartResult {
    Started,
    NotStopped,        // a stream runs already
    NoSong,            // currentSong is not an entry of the playlist
    SongPending,       // an MP3 entry whose header has not been read yet
    SongUnsupported,   // a record whose rate or channel count cannot be played
    DevicesNotOpened,  // OpenDevices failed (its message, if any, was shown)
    NoBlocks,          // the blocks could not be allocated
    SongNotOpened,     // the WAV file or the MP3 stream could not be opened
    Mp3NotFilled,      // the MP3 song could not fill the first blocks: marked failed
};

const char* StartResultText(StartResult result);

// Starts the stream for currentSong; only while Stopped. Whatever a failed start opened is
// closed again, and the state stays Stopped.
StartResult StartPlayback(Streaming& s);
// Ends the stream at once and closes everything.
void StopPlayback(Streaming& s);
// A returned output block / a filled input block.
void OnOutputDone(Streaming& s, SoundBlock& block);
void OnInputData(Streaming& s, SoundBlock& block);
// Drains the NoticeChannel into the two handlers above; the loop calls it when wakeFd() is
// readable.
void DispatchDeviceNotices(Streaming& s);
// Timer 1 (the next song) and timer 3 (ON-AIR at boot) expired.
void OnStreamTimer(Streaming& s, int timerId, StartResult* result = nullptr);

// Refills: up to 16384 bytes of processed stereo into the block, its bufferLength set to the
// bytes; 1 while more is to come, 0 for the song's last block.
int FillFromWav(Streaming& s, SoundBlock& block);
int FillFromMp3(Streaming& s, SoundBlock& block);
int FillFromInput(Streaming& s, SoundBlock& block);
// A song read through SoundSource (engine.sound, at the stream's rate), or an MP3 song resampled
// to the stream's rate (engine.mp3Resampler): its float frames through
// processBlockFloat, rounded to 16 bits as processBlock rounds. A SoundSource song seeks as a WAV song
// does; a resampled MP3 song forward only. A read that fails ends the song.
int FillFromSoundFile(Streaming& s, SoundBlock& block);

// Hands the processor's parameters to a chain that runs in the device's own period (ON-AIR on
// Loudara's JACK client) now; without this they go at the next returned block. Nothing when no
// such chain runs or nothing changed.
void PublishParameters(Streaming& s);

// How long the input takes to reach the output in ON-AIR (ms): the chain's delay, plus the queue
// of blocks when the chain does not run in the device's own period.
double OnAirLatencyMs(const Streaming& s);

// The window's ON-AIR figures while ON-AIR plays, or a song plays in the device's period
// ("latency 18.7 ms (JACK period)  xruns 0  late 0": the server's xruns, then the periods our own
// callback finished late), else "".
std::string OnAirFiguresText(const Streaming& s);

// " mm:ss" of the output produced, " 00:00" when stopped, " " in ON-AIR mode.
std::string FormatPlayTime(const Streaming& s);

// The ON-AIR pseudo-song for onAirRateChoice 0, 1, 2 (32000, 44100, 48000; others 48000).
SongRecord OnAirPseudoSong(uint16_t onAirRateChoice);
inline constexpr const char* kOnAirSongPath = "On-Air mode in process..";

// Commands. Each does nothing (and returns false) when its guard does not hold.
// Play: a song of the playlist is selected and the stream is stopped.
bool PlayCommand(Streaming& s, StartResult* result = nullptr);
// Stop: the queued blocks play out, then the devices close; the next song does not follow.
bool StopCommand(Streaming& s);
// A double click on a playlist row: Play while stopped, Stop otherwise.
bool SongRowDoubleClicked(Streaming& s, StartResult* result = nullptr);
// "Continuous Playback - ON/OFF".
void ToggleContinuousPlayback(Streaming& s);
// "** ON AIR MODE ** - ON/OFF", only while stopped.
bool ToggleOnAirMode(Streaming& s);
// Transport buttons 0 (fast rewind), 1 (rewind), 4 (forward), 5 (fast forward) pressed: seek
// while held. Any release ends it.
bool PressTransportButton(Streaming& s, int button);
void ReleaseTransportButtons(Streaming& s);
// The main window came up: with startOnAirAtBoot, ON-AIR starts after timer 3.
void ArmOnAirAtBoot(Streaming& s);
// The main window goes away: the stream stops at once.
void MainWindowClosing(Streaming& s);

}  // namespace loudara
