#include "audio/control_server.h"

#include <httplib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <optional>

#include "audio/onair_status.h"
#include "audio/control_access.h"
#include "audio/control_api.h"
#include "audio/control_page.h"
#include "persistence/parameter_file.h"
#include "processor/parameter_names.h"
#include "processor/params.h"

namespace loudara {
namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

constexpr std::size_t kMaxBodyBytes = 16 * 1024;
constexpr const char* kSessionCookie = "loudara_session";

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void reply(Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump() + "\n", "application/json");
}

void refuse(Response& res, int status, const std::string& why) { reply(res, status, {{"error", why}}); }

bool isChange(const std::string& method) { return method != "GET" && method != "HEAD" && method != "OPTIONS"; }

// The calling thread below the service's own: requests may wait, the sound may not.
void yieldToTheSound() {
    [[maybe_unused]] const int niced = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
}

// The server's threads, each lowered below the service's thread before its first request.
class BackgroundPool : public httplib::TaskQueue {
public:
    explicit BackgroundPool(std::size_t threads) : pool_(threads) {}
    void enqueue(std::function<void()> fn) override {
        pool_.enqueue([fn = std::move(fn)] {
            thread_local bool lowered = false;
            if (!lowered) {
                yieldToTheSound();
                lowered = true;
            }
            fn();
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
};

}  // namespace

bool ParseListenAddress(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string portText = text;
    host = "127.0.0.1";
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.empty() || host.find(':') != std::string::npos) {
            error = "the address is HOST:PORT, or a port alone";
            return false;
        }
    }
    port = 0;
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || (port = std::stoi(portText)) < 1 || port > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    return true;
}

struct ControlServer::Impl {
    OnAirService& service;
    ControlOptions options;
    std::function<void(const std::string&)> log;
    httplib::Server http;
    std::thread thread;
    WrongTokenThrottle throttle;
    SessionStore sessions;

    std::mutex metersMutex;
    std::condition_variable metersChanged;
    std::string metersJson;
    uint64_t metersSerial = 0;
    bool stopping = false;  // under metersMutex
    std::atomic<bool> stopped{false};
    std::atomic<int> eventClients{0};
    std::atomic<uint64_t> changes{0};

    Impl(OnAirService& s, ControlOptions o, std::function<void(const std::string&)> l)
        : service(s), options(std::move(o)), log(std::move(l)) {}

    // `work` on the service's thread; nothing when the service did not take it up within 5 s.
    template <class Work>
    auto onService(Work work) -> std::optional<decltype(work())> {
        using Result = decltype(work());
        auto promise = std::make_shared<std::promise<Result>>();
        std::future<Result> future = promise->get_future();
        service.post([promise, work]() mutable { promise->set_value(work()); });
        for (int i = 0; i < 50 && !stopped.load(); ++i) {
            if (future.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) {
                try {
                    return future.get();
                } catch (const std::future_error&) {
                    return std::nullopt;  // the service finished before it came to it
                }
            }
        }
        return std::nullopt;
    }

    void note(const Request& req, const std::string& what) {
        std::string from = req.remote_addr;
        const std::string forwarded = req.get_header_value("X-Forwarded-For");
        if (!forwarded.empty()) from += " (forwarded for " + CleanTitleText(forwarded, 100) + ")";
        log(utcNow() + " " + from + ": " + what);
    }

    // Whether the request carries the token or a session; else the answer is set. `cookie` says
    // which it was.
    bool authorised(const Request& req, Response& res, bool& cookie) {
        const std::string header = req.get_header_value("Authorization");
        if (header.rfind("Bearer ", 0) == 0) {
            const double wait = throttle.waitSeconds(req.remote_addr);
            if (wait > 0) {
                res.set_header("Retry-After", std::to_string(static_cast<int>(std::ceil(wait))));
                refuse(res, 429, "too many wrong tokens from this address; try again in " +
                                     std::to_string(static_cast<int>(std::ceil(wait))) + " s");
                return false;
            }
            if (SameSecret(header.substr(7), options.token)) {
                throttle.rightToken(req.remote_addr);
                cookie = false;
                return true;
            }
            throttle.wrongToken(req.remote_addr);
            note(req, "wrong token for " + req.method + " " + req.path);
            refuse(res, 401, "wrong token");
            return false;
        }
        if (sessions.valid(CookieValue(req.get_header_value("Cookie"), kSessionCookie))) {
            cookie = true;
            return true;
        }
        res.set_header("WWW-Authenticate", "Bearer realm=\"loudara\"");
        refuse(res, 401, "this needs the token (Authorization: Bearer TOKEN) or the page's session");
        return false;
    }

    // Authorisation, and for a change its origin and a JSON body; else the answer is set.
    bool admitted(const Request& req, Response& res, bool& cookie) {
        if (!authorised(req, res, cookie)) return false;
        if (!isChange(req.method)) return true;
        std::string why;
        if (!SameOriginChange(req.get_header_value("Origin"), req.get_header_value("Referer"),
                              req.get_header_value("Host"), cookie, why)) {
            note(req, "refused " + req.method + " " + req.path + ": " + why);
            refuse(res, 403, why);
            return false;
        }
        const std::string type = req.get_header_value("Content-Type");
        if (!req.body.empty() && type.rfind("application/json", 0) != 0) {
            refuse(res, 415, "the body must be JSON (Content-Type: application/json)");
            return false;
        }
        return true;
    }

    using Handler = std::function<void(const Request&, Response&, const json&)>;
    // A route that needs admission; a change's body is parsed as JSON first.
    httplib::Server::Handler guarded(Handler handler) {
        return [this, handler](const Request& req, Response& res) {
            bool cookie = false;
            if (!admitted(req, res, cookie)) return;
            json body;
            if (isChange(req.method) && !req.body.empty()) {
                body = json::parse(req.body, nullptr, false);
                if (body.is_discarded()) {
                    refuse(res, 400, "the body is not valid JSON");
                    return;
                }
            }
            handler(req, res, body);
        };
    }

    void busy(Response& res) { refuse(res, 503, "the service did not answer (it may be stopping)"); }

    void routes();
};

void ControlServer::Impl::routes() {
    http.set_payload_max_length(kMaxBodyBytes);
    http.set_keep_alive_timeout(5);
    http.set_read_timeout(5, 0);
    http.set_write_timeout(5, 0);
    const int threads = options.maxEventClients + 16;
    http.new_task_queue = [threads] { return new BackgroundPool(static_cast<std::size_t>(threads)); };
    http.set_error_handler([](const Request&, Response& res) {
        if (!res.body.empty()) return;
        const char* why = res.status == 413 ? "the body is too large (16 kB at most)"
                          : res.status == 404 ? "there is no such page or request"
                          : res.status == 400 ? "the request could not be read (a POST, PUT or PATCH needs a body, "
                                                "or Content-Length: 0)"
                                              : "the request was refused";
        refuse(res, res.status, why);
    });

    http.Get("/", [](const Request&, Response& res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
                       "img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "same-origin");
        res.set_header("Cache-Control", "no-cache");
        res.set_content(std::string(ControlPageHtml()), "text/html; charset=utf-8");
    });
    http.Get("/favicon.ico", [](const Request&, Response& res) { res.status = 204; });

    // The page's sign-in: the token once, a session cookie from then on.
    http.Post("/api/session", [this](const Request& req, Response& res) {
        bool cookie = false;
        if (!admitted(req, res, cookie)) return;
        const std::string id = sessions.open();
        if (id.empty()) return refuse(res, 500, "no random numbers for a session");
        const bool secure = req.get_header_value("X-Forwarded-Proto") == "https";
        res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" +
                                         (secure ? "; Secure" : ""));
        note(req, "signed in");
        reply(res, 200, {{"session", "open"}});
    });
    http.Delete("/api/session", guarded([this](const Request& req, Response& res, const json&) {
        sessions.close(CookieValue(req.get_header_value("Cookie"), kSessionCookie));
        res.set_header("Set-Cookie", std::string(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        reply(res, 200, {{"session", "closed"}});
    }));

    http.Get("/api/status", guarded([this](const Request&, Response& res, const json&) {
        OnAirService& s = service;
        const std::optional<std::string> text = onService([&s] { return StatusJsonText(s.liveStatus()); });
        if (!text) return busy(res);
        res.set_content(*text, "application/json");
    }));

    http.Get("/api/parameters", guarded([this](const Request&, Response& res, const json&) {
        OnAirService& s = service;
        const std::optional<json> list = onService([&s] { return ParametersJson(s.processor()); });
        if (!list) return busy(res);
        reply(res, 200, {{"parameters", *list}});
    }));
    http.Patch("/api/parameters", guarded([this](const Request& req, Response& res, const json& body) {
        OnAirService& s = service;
        struct Outcome {
            bool ok = false;
            std::vector<std::string> applied;
            std::string error;
        };
        const std::optional<Outcome> outcome = onService([&s, body] {
            Outcome o;
            o.ok = ApplyParameterChanges(s.processor(), body, o.applied, o.error);
            return o;
        });
        if (!outcome) return busy(res);
        if (!outcome->ok) return refuse(res, 422, outcome->error);
        for (const std::string& line : outcome->applied) note(req, "set " + line);
        changes += outcome->applied.size();
        reply(res, 200, {{"applied", outcome->applied}});
    }));

    http.Get("/api/presets", guarded([this](const Request&, Response& res, const json&) {
        reply(res, 200, PresetsJson(options.userFolder));
    }));
    http.Put("/api/preset", guarded([this](const Request& req, Response& res, const json& body) {
        OnAirService& s = service;
        if (body.is_object() && body.contains("id")) {
            const json& given = body["id"];
            const int id = given.is_number_integer() ? given.get<int>() : 0;
            const BuiltinPreset* preset = nullptr;
            for (const BuiltinPreset& b : builtinPresets()) {
                if (b.commandId == id) preset = &b;
            }
            if (!preset) return refuse(res, 422, "there is no built-in preset " + given.dump() + " (232, 334 to 343)");
            if (!onService([&s, id] {
                    selectPresetById(s.processor(), id);
                    return true;
                })) {
                return busy(res);
            }
            note(req, "preset " + std::to_string(id) + " (" + preset->name + ")");
            ++changes;
            return reply(res, 200, {{"preset", id}});
        }
        if (body.is_object() && body.contains("user") && body["user"].is_string()) {
            const std::string name = body["user"].get<std::string>();
            std::string why;
            if (!ValidUserFileName(name, why)) return refuse(res, 422, why);
            const std::string path = options.userFolder + "/" + name + ".ld3";
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) return refuse(res, 404, "there is no user file \"" + name + "\"");
            const std::optional<std::string> refused = onService([&s, path] {
                std::string error;
                return s.loadParameters(path, error) ? std::string() : error;
            });
            if (!refused) return busy(res);
            if (!refused->empty()) return refuse(res, 422, "\"" + name + "\" refused, " + *refused);
            note(req, "user file " + path);
            ++changes;
            return reply(res, 200, {{"user", name}});
        }
        refuse(res, 422, "the body must be {\"id\": 335} or {\"user\": \"NAME\"}");
    }));

    http.Post("/api/reload", guarded([this](const Request& req, Response& res, const json&) {
        OnAirService& s = service;
        if (s.paramsFile().empty()) return refuse(res, 409, "there is no parameter file to load again (--params)");
        struct Outcome {
            bool loaded = false;
            std::string message;
        };
        std::string from = req.remote_addr;
        const std::optional<Outcome> outcome = onService([&s, from] {
            Outcome o;
            o.loaded = s.reloadParameters(utcNow() + " " + from + ": reload", o.message);
            return o;
        });
        if (!outcome) return busy(res);
        if (!outcome->loaded) return refuse(res, 422, outcome->message);
        ++changes;
        reply(res, 200, {{"message", outcome->message}});
    }));

    http.Post("/api/save", guarded([this](const Request& req, Response& res, const json& body) {
        if (!body.is_object() || !body.contains("name") || !body["name"].is_string()) {
            return refuse(res, 422, "the body must be {\"name\": \"...\"}");
        }
        const std::string name = body["name"].get<std::string>();
        std::string why;
        if (!ValidUserFileName(name, why)) return refuse(res, 422, why);
        const bool replace = body.value("replace", false);
        std::error_code ec;
        std::filesystem::create_directories(options.userFolder, ec);
        const std::string path = options.userFolder + "/" + name + ".ld3";
        if (std::filesystem::exists(path, ec) && !replace) {
            return refuse(res, 409, "\"" + name + "\" exists; send \"replace\": true to write over it");
        }
        OnAirService& s = service;
        const std::optional<std::string> error = onService([&s, path] {
            std::string e;
            return SaveParameterFile(s.processor(), s.storedSettings(), path, "", e) ? std::string() : e;
        });
        if (!error) return busy(res);
        if (!error->empty()) return refuse(res, 500, "cannot save \"" + name + "\": " + *error);
        note(req, "saved " + path);
        reply(res, 201, {{"user", name}});
    }));

    http.Post("/api/metadata", guarded([this](const Request& req, Response& res, const json& body) {
        NowPlaying playing;
        if (!body.is_object() || (body.contains("title") && !body["title"].is_string()) ||
            (body.contains("artist") && !body["artist"].is_string())) {
            return refuse(res, 422, "the body must be {\"title\": \"...\", \"artist\": \"...\"}");
        }
        playing.title = CleanTitleText(body.value("title", ""));
        playing.artist = CleanTitleText(body.value("artist", ""));
        if (playing.title.empty() && playing.artist.empty()) return refuse(res, 422, "there is neither a title nor an artist");
        OnAirService& s = service;
        const std::optional<bool> sent = onService([&s, playing] { return s.setNowPlaying(playing); });
        if (!sent) return busy(res);
        if (!*sent) return refuse(res, 409, "there is no stream to carry the title (--icecast)");
        note(req, "now playing: " + StreamTitleText(playing));
        reply(res, 200, {{"title", StreamTitleText(playing)}});
    }));

    http.Get("/api/events", guarded([this](const Request&, Response& res, const json&) {
        if (++eventClients > options.maxEventClients) {
            --eventClients;
            return refuse(res, 503, "too many pages follow the meters (" + std::to_string(options.maxEventClients) + ")");
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");  // a reverse proxy passes each event on at once
        auto seen = std::make_shared<uint64_t>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](std::size_t, httplib::DataSink& sink) {
                std::string text;
                {
                    std::unique_lock<std::mutex> lock(metersMutex);
                    metersChanged.wait_for(lock, std::chrono::seconds(1),
                                           [&] { return stopping || metersSerial != *seen; });
                    if (stopping) return false;
                    if (metersSerial != *seen) {
                        *seen = metersSerial;
                        text = "data: " + metersJson + "\n\n";
                    }
                }
                if (text.empty()) text = ": waiting for sound\n\n";
                return sink.is_writable() && sink.write(text.data(), text.size());
            },
            [this](bool) { --eventClients; });
    }));

    http.Get("/metrics", guarded([this](const Request&, Response& res, const json&) {
        OnAirService& s = service;
        const std::optional<OnAirStatus> status = onService([&s] { return s.liveStatus(); });
        if (!status) return busy(res);
        const MetricsExtras extras{changes.load(), static_cast<uint64_t>(std::max(0, eventClients.load()))};
        res.set_content(MetricsText(*status, extras), "text/plain; version=0.0.4; charset=utf-8");
    }));
}

ControlServer::ControlServer(OnAirService& service, ControlOptions options, std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(service, std::move(options), std::move(log))) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(std::string& error) {
    impl_->routes();
    const std::string& host = impl_->options.host;
    if (impl_->options.port == 0) {
        port_ = impl_->http.bind_to_any_port(host);
        if (port_ <= 0) port_ = 0;
    } else if (impl_->http.bind_to_port(host, impl_->options.port)) {
        port_ = impl_->options.port;
    }
    if (port_ == 0) {
        error = "cannot listen on " + host + ":" + std::to_string(impl_->options.port) +
                " (the port is in use, or the address is not this machine's)";
        return false;
    }
    impl_->thread = std::thread([this] {
        yieldToTheSound();
        impl_->http.listen_after_bind();
    });
    return true;
}

void ControlServer::stop() {
    if (!impl_ || !impl_->thread.joinable()) return;
    impl_->stopped.store(true);
    {
        std::lock_guard<std::mutex> lock(impl_->metersMutex);
        impl_->stopping = true;
    }
    impl_->metersChanged.notify_all();
    impl_->http.stop();
    impl_->thread.join();
}

void ControlServer::meters(const OnAirMeters& meters) {
    std::string text = MetersJson(meters);
    {
        std::lock_guard<std::mutex> lock(impl_->metersMutex);
        impl_->metersJson.swap(text);
        ++impl_->metersSerial;
    }
    impl_->metersChanged.notify_all();
}

}  // namespace loudara
