#include "audio/icecast_output.h"

#include <dirent.h>
#include <lame/lame.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <shout/shout.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/mp3_bridge.h"

namespace loudara {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLongestBackoffSeconds = 60;
constexpr double kSteadyConnectionSeconds = 30;
constexpr int kConnectTimeoutMs = 10000;
// Bytes libshout may hold unsent before the server counts as stalled (about 30 s at 128 kbit/s).
constexpr ssize_t kMostUnsentBytes = 512 * 1024;
// A connection over which nothing reaches the server for this long, while there is sound to
// send, is broken: a server that accepts and never reads must not pass for a listener.
constexpr double kLongestStallSeconds = 10;
// The socket's own send buffer: small, so that a server that stops reading shows within seconds
// instead of after megabytes (about 4 s at 128 kbit/s).
constexpr int kSocketSendBufferBytes = 64 * 1024;

shout_t* asShout(void* p) { return static_cast<shout_t*>(p); }

// The stream sockets of this process connected to a server's `port`. libshout does not show its
// socket; the one that appears when it connects is its own.
std::vector<int> socketsToPort(uint16_t port) {
    std::vector<int> found;
    DIR* folder = opendir("/proc/self/fd");
    if (!folder) return found;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(folder)) continue;
        struct stat st {};
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        uint16_t peerPort = 0;
        if (peer.ss_family == AF_INET) peerPort = ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
        if (peer.ss_family == AF_INET6) peerPort = ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
        if (peerPort == port) found.push_back(static_cast<int>(fd));
    }
    closedir(folder);
    return found;
}
lame_t asLame(void* p) { return static_cast<lame_t>(p); }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescape(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexDigit(text[i + 1]) < 0 || hexDigit(text[i + 2]) < 0) return false;
        out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
        i += 2;
    }
    return true;
}

}  // namespace

std::string IcecastTarget::display() const { return host + ":" + std::to_string(port) + mount; }

bool ParseIcecastUrl(const std::string& url, IcecastTarget& target, std::string& error) {
    // icecast:// as stream tools write it, http:// as Icecast's own tools do: the same source
    // connection either way.
    std::string rest;
    for (const char* scheme : {"icecast://", "http://"}) {
        if (url.compare(0, std::strlen(scheme), scheme) == 0) rest = url.substr(std::strlen(scheme));
    }
    if (rest.empty()) {
        error = url.compare(0, 8, "https://") == 0
                    ? "https:// is not supported: the stream goes out without TLS (icecast://HOST:PORT/MOUNT or "
                      "http://HOST:PORT/MOUNT; for an encrypted link, a TLS tunnel to the server)"
                    : "the address must start with icecast:// or http://";
        return false;
    }
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) {
        error = "the address names no mount (icecast://HOST:PORT/MOUNT)";
        return false;
    }
    std::string authority = rest.substr(0, slash);
    target = IcecastTarget{};
    target.mount = rest.substr(slash);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const std::size_t colon = credentials.find(':');
        std::string user = credentials.substr(0, colon);
        if (!user.empty() && !unescape(user, target.user)) {
            error = "the user name has a broken %-escape";
            return false;
        }
        if (colon != std::string::npos) {
            error = kIcecastPasswordInAddressText;
            return false;
        }
    }
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']') == std::string::npos) {
        const std::string port = authority.substr(colon + 1);
        authority = authority.substr(0, colon);
        char* end = nullptr;
        const long value = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value < 1 || value > 65535) {
            error = "the port must be a number from 1 to 65535";
            return false;
        }
        target.port = static_cast<uint16_t>(value);
    }
    target.host = authority;
    if (target.host.empty()) {
        error = "the address names no server";
        return false;
    }
    return true;
}

bool IcecastBitrateSupported(int kbps) { return IsMpeg1Bitrate(kbps); }

const char* StreamStateText(StreamState state) {
    switch (state) {
        case StreamState::Connecting: return "connecting";
        case StreamState::Connected: return "connected";
        case StreamState::Retrying: return "retrying";
        case StreamState::Stopped: return "stopped";
    }
    return "connecting";
}

IcecastOutput::IcecastOutput(IcecastSettings settings) : settings_(std::move(settings)) {
    static std::once_flag once;
    std::call_once(once, [] { shout_init(); });
    blocks_ = new Block[kQueueBlocks];
    for (int i = 0; i < kQueueBlocks; ++i) free_.push(i);
    // One block of 4096 frames: 1.25 bytes a sample and 7200 more, as the encoder asks.
    mp3Bytes_ = kBlockFrames * 5 / 4 + 7200;
    mp3_ = new unsigned char[mp3Bytes_];
}

IcecastOutput::~IcecastOutput() {
    stop();
    if (shout_) shout_free(asShout(shout_));
    delete[] blocks_;
    delete[] mp3_;
}

void IcecastOutput::start() {
    if (thread_.joinable()) return;
    stopping_.store(false);
    thread_ = std::thread([this] { run(); });
}

void IcecastOutput::stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    ready_.release();
    thread_.join();
    setState(StreamState::Stopped, "", 0);
}

void IcecastOutput::processedBlock(const int16_t* interleaved, std::size_t frames, uint32_t sampleRate) {
    while (frames > 0) {
        const std::size_t n = std::min(frames, kBlockFrames);
        int index = -1;
        if (!free_.pop(index)) {
            // The encoder has not kept up. While there is no connection it is not a loss.
            if (connected_.load(std::memory_order_relaxed)) dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Block& block = blocks_[index];
        std::memcpy(block.samples, interleaved, n * 2 * sizeof(int16_t));
        block.frames = static_cast<uint32_t>(n);
        block.rate = sampleRate;
        full_.push(index);
        ready_.release();
        interleaved += 2 * n;
        frames -= n;
    }
}

IcecastOutput::Report IcecastOutput::report() const {
    Report r;
    {
        std::lock_guard<std::mutex> lock(reportMutex_);
        r.state = state_;
        r.error = error_;
        r.retrySeconds = retrySeconds_;
        r.connections = connections_;
    }
    r.bytesSent = bytesSent_.load(std::memory_order_relaxed);
    r.blocksDropped = dropped_.load(std::memory_order_relaxed);
    return r;
}

void IcecastOutput::setState(StreamState state, const std::string& error, double retrySeconds) {
    std::lock_guard<std::mutex> lock(reportMutex_);
    state_ = state;
    if (!error.empty()) error_ = error;
    retrySeconds_ = retrySeconds;
}

void IcecastOutput::recycle(int index) { free_.push(index); }

void IcecastOutput::setNowPlaying(const NowPlaying& playing) {
    std::lock_guard<std::mutex> lock(titleMutex_);
    title_ = StreamTitleText(playing);
    titlePending_.store(true);
}

std::string IcecastOutput::nowPlayingResult() const {
    std::lock_guard<std::mutex> lock(titleMutex_);
    return titleResult_;
}

// On the encoder thread, between two blocks: libshout sends the title to the server's metadata
// request over a connection of its own, which waits for the answer (a server on the local network
// answers at once; the queue holds seconds of sound meanwhile).
void IcecastOutput::sendNowPlaying() {
    titlePending_.store(false);
    std::string title;
    {
        std::lock_guard<std::mutex> lock(titleMutex_);
        title = title_;
    }
    if (!shout_ || !connected_.load()) return;
    shout_metadata_t* md = shout_metadata_new();
    if (!md) return;
    int result = shout_metadata_add(md, "song", title.c_str());
    if (result == SHOUTERR_SUCCESS) result = shout_set_metadata_utf8(asShout(shout_), md);
    shout_metadata_free(md);
    std::lock_guard<std::mutex> lock(titleMutex_);
    titleResult_ = result == SHOUTERR_SUCCESS ? std::string("sent")
                                              : std::string("the server did not take the title (") +
                                                    shout_get_error(asShout(shout_)) + ")";
}

void IcecastOutput::run() {
    // Below the thread that refills the sound blocks: the stream may wait, the air may not.
    [[maybe_unused]] const int niced = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    // A server that hangs up makes the next write fail with EPIPE here instead of killing the
    // whole process with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!stopping_.load()) {
        if (!connect()) {
            waitBeforeRetry();
            continue;
        }
        const Clock::time_point since = Clock::now();
        bool failed = false;
        while (!stopping_.load()) {
            if (titlePending_.load()) sendNowPlaying();
            if (!ready_.try_acquire_for(std::chrono::milliseconds(200))) continue;
            int index = -1;
            if (!full_.pop(index)) continue;
            const bool sent = encodeAndSend(blocks_[index]);
            recycle(index);
            if (!sent) {
                failed = true;
                break;
            }
        }
        // Only a connection that carried the stream for a while starts the back-off again: a
        // server that takes the source and then stalls is tried less and less often.
        if (std::chrono::duration<double>(lastProgress_ - since).count() >= kSteadyConnectionSeconds) {
            backoffSeconds_ = 1;
        }
        if (!failed && lame_) {
            // Stopping: the encoder's last frames go out before the connection closes.
            const int n = lame_encode_flush(asLame(lame_), mp3_, static_cast<int>(mp3Bytes_));
            if (n > 0) send(mp3_, static_cast<std::size_t>(n));
        }
        if (failed && failure_.empty()) failure_ = std::string("the connection broke (") + shout_get_error(asShout(shout_)) + ")";
        disconnect(failed ? failure_ : "");
        if (failed) waitBeforeRetry();
    }
}

bool IcecastOutput::connect() {
    setState(StreamState::Connecting, "", 0);
    // One handle for every connection of the stream: libshout 2.4 does not give a handle's memory
    // back in shout_free, so a handle per retry would leak for as long as a server stays away.
    if (!shout_) shout_ = shout_new();
    shout_t* shout = asShout(shout_);
    if (!shout) {
        setState(StreamState::Retrying, "out of memory", backoffSeconds_);
        return false;
    }
    const IcecastTarget& t = settings_.target;
    const std::string bitrate = std::to_string(settings_.bitrateKbps);
    const bool set = shout_set_host(shout, t.host.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_port(shout, t.port) == SHOUTERR_SUCCESS &&
                     shout_set_user(shout, t.user.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_password(shout, t.password.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_mount(shout, t.mount.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_protocol(shout, SHOUT_PROTOCOL_HTTP) == SHOUTERR_SUCCESS &&
                     shout_set_tls(shout, SHOUT_TLS_DISABLED) == SHOUTERR_SUCCESS &&
                     shout_set_content_format(shout, SHOUT_FORMAT_MP3, SHOUT_USAGE_AUDIO, nullptr) ==
                         SHOUTERR_SUCCESS &&
                     shout_set_agent(shout, "Loudara") == SHOUTERR_SUCCESS &&
                     shout_set_meta(shout, SHOUT_META_NAME, settings_.name.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_meta(shout, SHOUT_META_DESCRIPTION, settings_.description.c_str()) ==
                         SHOUTERR_SUCCESS &&
                     shout_set_audio_info(shout, SHOUT_AI_BITRATE, bitrate.c_str()) == SHOUTERR_SUCCESS &&
                     shout_set_nonblocking(shout, 1) == SHOUTERR_SUCCESS;
    if (!set) {
        disconnect(std::string("the stream's settings were refused: ") + shout_get_error(shout));
        return false;
    }
    // Non-blocking: the blocks that arrive meanwhile are let go (there is nowhere to send them).
    const std::vector<int> socketsBefore = socketsToPort(t.port);
    int result = shout_open(shout);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    while (result == SHOUTERR_BUSY && !stopping_.load() && Clock::now() < deadline) {
        if (ready_.try_acquire_for(std::chrono::milliseconds(20))) {
            int index = -1;
            if (full_.pop(index)) recycle(index);
        }
        result = shout_get_connected(shout);
    }
    if (result != SHOUTERR_SUCCESS && result != SHOUTERR_CONNECTED) {
        std::string why = "no answer from the server within 10 s";
        if (result == SHOUTERR_NOLOGIN) {
            why = "the server refused the source (wrong password, or the mount is in use)";
        } else if (result != SHOUTERR_BUSY) {
            why = std::string("cannot connect (") + shout_get_error(shout) + ")";
        }
        disconnect(why);
        return false;
    }
    if (lame_) {
        lame_close(asLame(lame_));
        lame_ = nullptr;
    }
    socket_ = -1;
    std::vector<int> socketsNow = socketsToPort(t.port);
    std::erase_if(socketsNow, [&](int fd) {
        return std::find(socketsBefore.begin(), socketsBefore.end(), fd) != socketsBefore.end();
    });
    if (socketsNow.size() == 1) {
        socket_ = socketsNow[0];
        const int size = kSocketSendBufferBytes;
        setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    handedOver_ = delivered_ = 0;
    lastProgress_ = Clock::now();
    failure_.clear();
    connected_.store(true);
    {
        std::lock_guard<std::mutex> lock(titleMutex_);
        if (!title_.empty()) titlePending_.store(true);
    }
    {
        std::lock_guard<std::mutex> lock(reportMutex_);
        state_ = StreamState::Connected;
        error_.clear();
        retrySeconds_ = 0;
        ++connections_;
    }
    return true;
}

void IcecastOutput::disconnect(const std::string& why) {
    connected_.store(false);
    socket_ = -1;
    if (shout_) shout_close(asShout(shout_));
    if (lame_) {
        lame_close(asLame(lame_));
        lame_ = nullptr;
    }
    if (!why.empty()) setState(StreamState::Retrying, why, backoffSeconds_);
}

void IcecastOutput::waitBeforeRetry() {
    const Clock::time_point until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(backoffSeconds_));
    while (!stopping_.load()) {
        const double left = std::chrono::duration<double>(until - Clock::now()).count();
        if (left <= 0) break;
        setState(StreamState::Retrying, "", left);
        if (ready_.try_acquire_for(std::chrono::milliseconds(100))) {
            int index = -1;
            if (full_.pop(index)) recycle(index);
        }
    }
    backoffSeconds_ = std::min(backoffSeconds_ * 2, kLongestBackoffSeconds);
}

bool IcecastOutput::encodeAndSend(const Block& block) {
    if (!lame_ || block.rate != lameRate_) {
        if (lame_) lame_close(asLame(lame_));
        lame_ = nullptr;  // closed: a failed start below must not leave it to be closed again
        lame_t lame = lame_init();
        if (!lame || !SetUpMp3Encoder(lame, Mp3EncoderUse::Stream, block.rate, 2, settings_.bitrateKbps)) {
            if (lame) lame_close(lame);
            failure_ = "the MP3 encoder cannot start at " + std::to_string(block.rate) + " Hz";
            return false;
        }
        lame_ = lame;
        lameRate_ = block.rate;
    }
    const int n = lame_encode_buffer_interleaved(asLame(lame_), const_cast<short*>(block.samples),
                                                 static_cast<int>(block.frames), mp3_, static_cast<int>(mp3Bytes_));
    if (n < 0) {
        failure_ = "the MP3 encoder failed (" + std::to_string(n) + ")";
        return false;
    }
    return send(mp3_, static_cast<std::size_t>(n));
}

bool IcecastOutput::send(const unsigned char* data, std::size_t bytes) {
    shout_t* shout = asShout(shout_);
    if (bytes > 0) {
        const int result = shout_send(shout, data, bytes);
        if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
            failure_ = std::string("the connection broke (") + shout_get_error(shout) + ")";
            return false;
        }
        handedOver_ += bytes;
    }
    // What has reached the server: what was handed over, less what libshout still holds and what
    // the socket has not had acknowledged yet.
    const ssize_t queued = std::max<ssize_t>(0, shout_queuelen(shout));
    int unacknowledged = 0;
    if (socket_ < 0 || ioctl(socket_, SIOCOUTQ, &unacknowledged) != 0) unacknowledged = 0;
    const uint64_t pending = static_cast<uint64_t>(queued) + static_cast<uint64_t>(std::max(0, unacknowledged));
    const uint64_t delivered = handedOver_ > pending ? handedOver_ - pending : 0;
    const Clock::time_point now = Clock::now();
    if (delivered > delivered_ || pending == 0) {
        if (delivered > delivered_) bytesSent_.fetch_add(delivered - delivered_, std::memory_order_relaxed);
        delivered_ = std::max(delivered_, delivered);
        lastProgress_ = now;
    } else if (std::chrono::duration<double>(now - lastProgress_).count() >= kLongestStallSeconds) {
        failure_ = "the server took nothing for 10 s";
        return false;
    }
    if (queued > kMostUnsentBytes) {
        failure_ = "the server took the stream too slowly";
        return false;
    }
    return true;
}

}  // namespace loudara
