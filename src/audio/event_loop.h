#pragma once
// What the streaming logic needs of the thread it runs on, and of the window it runs for.
//
// The streaming logic runs on one thread: the GUI's thread (Qt) or the loop of loudara-cli and
// the tests. That thread waits on the NoticeChannel's wakeFd() and calls
// DispatchDeviceNotices() when it is readable, and calls OnStreamTimer(id) when a timer started
// here expires. Timers are one-shot and keyed by id (1: the next song, 3: ON-AIR at boot);
// starting an id that runs replaces it.

namespace loudara {

inline constexpr int kNextSongTimer = 1;
inline constexpr int kNextSongDelayMs = 1000;
inline constexpr int kOnAirBootTimer = 3;
inline constexpr int kOnAirBootDelayMs = 1500;

class EventLoop {
public:
    virtual ~EventLoop() = default;
    virtual void startTimer(int id, int milliseconds) = 0;
    virtual void stopTimer(int id) = 0;
    // Blocks the thread (the input device settles before capture starts).
    virtual void sleepMs(int milliseconds) = 0;
};

// The window's side. Every operation may do nothing (loudara-cli has no window).
class StreamView {
public:
    virtual ~StreamView() = default;
    // After every returned output block: the time display and the meters move.
    virtual void repaintPanel() {}
    // The playlist's rows changed (playing mark, failed mark, ON-AIR entry).
    virtual void refreshSongList() {}
    // ON-AIR mode greys (true) or enables (false) the playlist commands.
    virtual void setOnAirLock(bool /*locked*/) {}
    // All six transport buttons drawn released.
    virtual void clearTransportButtons() {}
    // Whether the mouse cursor lies strictly inside transport button 0..5 (seeking goes on
    // only while it does).
    virtual bool cursorOverTransportButton(int /*button*/) { return false; }
};

}  // namespace loudara
