#pragma once
// The ON-AIR service's remote control over HTTP: the web page at "/", a JSON API under "/api/",
// the live meters as server-sent events and the Prometheus metrics at "/metrics".
//
// Every request but the page needs the token (Authorization: Bearer TOKEN) or the session cookie
// the page gets for it; a change must come from the page's own origin (Origin or Referer), so
// another site cannot make a visitor's browser send one. Wrong tokens close their address for a
// growing while; bodies are at most 16 kB; no request names a file (presets by id, user files by
// name in the user's own folder). Each change is logged with the time and the client's address.
// TLS belongs to a reverse proxy in front; the server itself listens on loopback unless told.
//
// The server's threads never touch the chain: they hand their work to the service's own thread
// (OnAirService::post) and wait for it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/onair_service.h"

namespace loudara {

struct ControlOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string token;
    std::string userFolder;  // where user parameter files are listed, loaded and saved
    int maxEventClients = 64;
};

// "PORT", "HOST:PORT" or "[V6ADDRESS]:PORT" into `host` (127.0.0.1 when only a port is given) and
// `port`. False with `error` otherwise.
bool ParseListenAddress(const std::string& text, std::string& host, int& port, std::string& error);

class ControlServer : public OnAirMeterSink {
public:
    // `log` takes one line per change and problem (from the server's threads).
    ControlServer(OnAirService& service, ControlOptions options, std::function<void(const std::string&)> log);
    ~ControlServer() override;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the address and starts answering; false with `error` when the address cannot be had.
    bool start(std::string& error);
    // Ends the event streams and the server; waits for its threads.
    void stop();
    // The port listened on (the one given, or the one the system chose for port 0).
    int port() const { return port_; }

    // The service's thread: the newest meters for the event streams.
    void meters(const OnAirMeters& meters) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace loudara
