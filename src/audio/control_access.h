#pragma once
// Who may use the remote control: the token from a file only its owner may read, the session
// cookies the page gets for it, the check that a change comes from the page's own origin, and
// the growing wait imposed on an address that keeps sending wrong tokens.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace loudara {

// The shortest token accepted: long enough that guessing it, slowed down as below, is hopeless.
inline constexpr std::size_t kMinTokenBytes = 16;

// The token in `path`: its text without surrounding white space. Refused (false, `error` says
// why) when the file is not a regular file owned by this user, when its group or others may read
// or write it, or when the token is shorter than kMinTokenBytes or holds spaces or control
// characters.
bool ReadTokenFile(const std::string& path, std::string& token, std::string& error);

// Compares without leaving the position of the first difference in the time taken.
bool SameSecret(const std::string& a, const std::string& b);

// The host[:port] of an absolute http(s) URL ("https://radio.example:8443/x" gives
// "radio.example:8443"); empty when `url` is not one.
std::string UrlAuthority(const std::string& url);

// Whether a request that changes something may be carried out: its Origin (else its Referer)
// names the same host[:port] as its Host header. A request with neither header is a script's (a
// browser always sends one of them with such a request), and is allowed only when it was not
// authorised by a cookie. `why` says what was wrong.
bool SameOriginChange(const std::string& origin, const std::string& referer, const std::string& host,
                      bool cookieAuthorised, std::string& why);

// Addresses that sent a wrong token: the first two mistakes cost nothing, then each one closes
// the address for 1, 2, 4, ... up to 60 s, during which its tokens are not even looked at. A
// right token forgives the address. At most 4096 addresses are remembered (the longest-closed
// forgotten first).
class WrongTokenThrottle {
public:
    using Clock = std::chrono::steady_clock;
    // Seconds until `address` may try again (0 when it may now).
    double waitSeconds(const std::string& address, Clock::time_point now = Clock::now());
    void wrongToken(const std::string& address, Clock::time_point now = Clock::now());
    void rightToken(const std::string& address);

private:
    struct Entry {
        int mistakes = 0;
        Clock::time_point closedUntil{};
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// The sessions the page holds after giving the token once: random ids of 32 bytes, as hex, kept
// for 12 hours after their last use; at most 64 (the oldest gives way).
class SessionStore {
public:
    using Clock = std::chrono::steady_clock;
    // A new session's id, or "" when no random bytes could be had.
    std::string open(Clock::time_point now = Clock::now());
    bool valid(const std::string& id, Clock::time_point now = Clock::now());
    void close(const std::string& id);

private:
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> lastUse_;
};

// The value of cookie `name` in a Cookie header ("" when absent).
std::string CookieValue(const std::string& header, const std::string& name);

}  // namespace loudara
