#pragma once
// The processed ON-AIR sound as an MP3 stream to an Icecast server.
//
// The streaming side hands each processed block to processedBlock(), which copies it into a
// bounded queue and returns: it never waits, never encodes and never touches the network. A
// thread of the stream's own encodes the queued blocks (libmp3lame, constant bit rate) and sends
// them (libshout). When the encoder falls behind, a full queue drops the new block and counts it.
// When the server goes away, or refuses the source, the stream tries again after 1 s, then 2, 4,
// ... up to 60 s; the back-off starts again at 1 s after a connection that carried the stream for
// 30 s. A connection over which nothing reaches the server for 10 s while there is sound to send
// (a server that accepts and never reads) counts as broken. ON-AIR itself is never stopped by the
// stream.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>

#include "audio/device_engine.h"
#include "audio/now_playing.h"
#include "audio/spsc_ring.h"

namespace loudara {

struct IcecastTarget {
    std::string user = "source";
    std::string password;
    std::string host;
    uint16_t port = 8000;
    std::string mount;  // starts with '/'

    // "host:port/mount", for logs (no password).
    std::string display() const;
};

// icecast://[USER@]HOST[:PORT]/MOUNT or http://[USER@]HOST[:PORT]/MOUNT, %XX escapes allowed in
// USER (default "source"). The password is not read from the address: one there is refused with
// kIcecastPasswordInAddressText (the command line is there for every user to read); the caller
// sets target.password.
bool ParseIcecastUrl(const std::string& url, IcecastTarget& target, std::string& error);
inline constexpr const char* kIcecastPasswordInAddressText =
    "the address holds a password, and every user of this machine can read a command line (ps): leave it "
    "out of the address and give it with --icecast-password-file FILE (a file only you can read) or in the "
    "environment variable LOUDARA_ICECAST_PASSWORD";

// The MP3 bit rates the stream can be sent at (kbit/s): the MPEG-1 ones, IsMpeg1Bitrate.
bool IcecastBitrateSupported(int kbps);

// Where the stream stands. Its text (StreamStateText) is what the status line and file show.
enum class StreamState {
    Connecting,  // trying to reach the server
    Connected,   // sending
    Retrying,    // waiting before the next try (the connection failed or broke)
    Stopped,     // stop() has ended the stream
};

// "connecting", "connected", "retrying" or "stopped".
const char* StreamStateText(StreamState state);

struct IcecastSettings {
    IcecastTarget target;
    int bitrateKbps = 128;
    std::string name = "Loudara";
    std::string description;
};

class IcecastOutput : public BlockTap {
public:
    explicit IcecastOutput(IcecastSettings settings);
    ~IcecastOutput() override;
    IcecastOutput(const IcecastOutput&) = delete;
    IcecastOutput& operator=(const IcecastOutput&) = delete;

    // Starts the encoder thread (it connects at once).
    void start();
    // Ends the connection and the thread; what is queued is sent first when the server takes it.
    void stop();

    // The title the server shows for the stream ("Artist - Title"); sent while connected, and
    // again after each new connection. Safe from any thread.
    void setNowPlaying(const NowPlaying& playing);
    // How the last title sent fared: "" before any, "sent", or why the server did not take it.
    std::string nowPlayingResult() const;

    // The streaming side: the block is copied and queued, or dropped when the queue is full.
    void processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) override;

    struct Report {
        StreamState state = StreamState::Connecting;
        std::string error;  // the last reason a connection failed or ended
        double retrySeconds = 0;
        uint64_t bytesSent = 0;      // MP3 bytes the server has taken
        uint64_t blocksDropped = 0;  // dropped while connected: the encoder or the network fell behind
        uint64_t connections = 0;    // successful connections so far
    };
    Report report() const;
    const IcecastSettings& settings() const { return settings_; }

private:
    static constexpr int kQueueBlocks = 32;  // about 3 s of sound
    static constexpr std::size_t kBlockFrames = 4096;
    struct Block {
        int16_t samples[2 * kBlockFrames];
        uint32_t frames = 0;
        uint32_t rate = 0;
    };

    void run();
    bool connect();
    void disconnect(const std::string& why);
    void waitBeforeRetry();
    bool encodeAndSend(const Block& block);
    bool send(const unsigned char* data, std::size_t bytes);
    void setState(StreamState state, const std::string& error, double retrySeconds);
    void recycle(int index);
    void sendNowPlaying();

    IcecastSettings settings_;
    Block* blocks_ = nullptr;  // kQueueBlocks, allocated once
    SpscRing<int, 64> full_;   // streaming side -> encoder
    SpscRing<int, 64> free_;   // encoder -> streaming side
    std::counting_semaphore<1 << 20> ready_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> bytesSent_{0};
    std::thread thread_;

    // Encoder thread only.
    void* shout_ = nullptr;
    void* lame_ = nullptr;
    uint32_t lameRate_ = 0;
    unsigned char* mp3_ = nullptr;
    std::size_t mp3Bytes_ = 0;
    double backoffSeconds_ = 1;
    int socket_ = -1;             // libshout's socket to the server, when it could be told
    uint64_t handedOver_ = 0;     // MP3 bytes given to libshout on this connection
    uint64_t delivered_ = 0;      // of those, the bytes the server has taken
    std::chrono::steady_clock::time_point lastProgress_{};  // when the server last took some
    std::string failure_;         // why this connection ended (the first reason)

    mutable std::mutex titleMutex_;
    std::string title_;        // the stream title to show ("" when none was given)
    std::string titleResult_;  // how the last one fared
    std::atomic<bool> titlePending_{false};

    mutable std::mutex reportMutex_;
    StreamState state_ = StreamState::Connecting;
    std::string error_;
    double retrySeconds_ = 0;
    uint64_t connections_ = 0;
};

}  // namespace loudara
