// An Icecast server that takes the source, answers, and then never reads: the stream must not
// pass for connected while nothing reaches it. A loopback socket of the test's own plays the
// server (its receive buffer kept small, as a busy server's fills).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "audio/icecast_output.h"

namespace loudara {
namespace {

using Clock = std::chrono::steady_clock;

class SilentServer {
public:
    SilentServer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;  // taken over by the accepted sockets
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SilentServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : clients_) close(fd);
        close(listener_);
    }
    uint16_t port() const { return port_; }

private:
    // Each source: its request read up to the blank line, "200 OK", then nothing more is read.
    void serve() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string request;
            char c;
            while (request.find("\r\n\r\n") == std::string::npos && !stopping_) {
                pollfd q{client, POLLIN, 0};
                if (poll(&q, 1, 100) <= 0) continue;
                if (read(client, &c, 1) != 1) break;
                request += c;
            }
            const std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
            [[maybe_unused]] const ssize_t n = write(client, answer.data(), answer.size());
            clients_.push_back(client);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::vector<int> clients_;
};

TEST(IcecastStall, AServerThatNeverReadsIsABrokenConnectionWithItsReasonAndIsBackedOffFrom) {
    SilentServer server;
    ASSERT_NE(server.port(), 0);
    IcecastSettings settings;
    settings.target.password = "x";
    settings.target.host = "127.0.0.1";
    settings.target.port = server.port();
    settings.target.mount = "/live";
    settings.bitrateKbps = 320;
    IcecastOutput stream(settings);
    stream.start();

    // The sound as ON-AIR hands it over, in real time; what the stream reports on the way.
    const std::vector<int16_t> block(2 * 4096, 1000);
    std::vector<IcecastOutput::Report> failures;
    bool clearedOnReconnection = false;
    double bytesAtFirstFailure = 0;
    StreamState last = StreamState::Connecting;
    const Clock::time_point start = Clock::now(), until = start + std::chrono::seconds(45);
    double firstFailureSeconds = 0;
    while (Clock::now() < until && failures.size() < 2) {
        stream.processedBlock(block.data(), 4096, 44100);
        std::this_thread::sleep_for(std::chrono::milliseconds(90));
        const IcecastOutput::Report r = stream.report();
        if (r.state == StreamState::Retrying && last != StreamState::Retrying) {
            if (failures.empty()) {
                firstFailureSeconds = std::chrono::duration<double>(Clock::now() - start).count();
                bytesAtFirstFailure = static_cast<double>(r.bytesSent);
            }
            failures.push_back(r);
        }
        if (r.state == StreamState::Connected && !failures.empty() && r.error.empty()) clearedOnReconnection = true;
        last = r.state;
    }
    stream.stop();

    ASSERT_EQ(failures.size(), 2u) << "the stalled connection was never given up";
    EXPECT_LT(firstFailureSeconds, 15.0);
    EXPECT_EQ(failures[0].error, "the server took nothing for 10 s");
    EXPECT_EQ(failures[0].connections, 1u);
    // What counts as sent is what the server took: a few buffers, not minutes of sound.
    EXPECT_LT(bytesAtFirstFailure, 256.0 * 1024);
    EXPECT_TRUE(clearedOnReconnection) << "connected again, the old reason must go";
    EXPECT_EQ(failures[1].error, "the server took nothing for 10 s");
    EXPECT_EQ(failures[1].connections, 2u);
    EXPECT_GT(failures[1].retrySeconds, failures[0].retrySeconds) << "a server that stalls again is backed off from";
}

}  // namespace
}  // namespace loudara
