#include "audio/control_access.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace loudara {

bool ReadTokenFile(const std::string& path, std::string& token, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "cannot read " + path + ": " + (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return false;
    }
    struct stat st{};
    const bool known = fstat(fd, &st) == 0;
    std::string text;
    if (known && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0 && st.st_size <= 4096) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096) text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (!known || !S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    if (st.st_uid != geteuid()) {
        error = path + " belongs to another user; the token file must be this user's own";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        error = path + " may be read or written by others; make it the owner's alone (chmod 600 " + path + ")";
        return false;
    }
    if (st.st_size > 4096) {
        error = path + " is larger than 4 kB; it should hold the token alone";
        return false;
    }
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    token = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (std::any_of(token.begin(), token.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; })) {
        error = "the token in " + path + " holds spaces or control characters";
        return false;
    }
    if (token.size() < kMinTokenBytes) {
        error = "the token in " + path + " is shorter than " + std::to_string(kMinTokenBytes) +
                " characters (make one with: head -c 24 /dev/urandom | base64 > " + path + ")";
        return false;
    }
    return true;
}

bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char x = i < a.size() ? a[i] : 0;
        const char y = i < b.size() ? b[i] : 0;
        difference |= static_cast<unsigned char>(x ^ y);
    }
    return difference == 0;
}

std::string UrlAuthority(const std::string& url) {
    std::size_t start = 0;
    if (url.rfind("http://", 0) == 0) {
        start = 7;
    } else if (url.rfind("https://", 0) == 0) {
        start = 8;
    } else {
        return {};
    }
    const std::size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (authority.find('@') != std::string::npos) return {};
    std::transform(authority.begin(), authority.end(), authority.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return authority;
}

bool SameOriginChange(const std::string& origin, const std::string& referer, const std::string& host,
                      bool cookieAuthorised, std::string& why) {
    std::string wanted = host;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!origin.empty() || !referer.empty()) {
        const std::string& from = origin.empty() ? referer : origin;
        const std::string authority = UrlAuthority(from);
        if (authority.empty() || wanted.empty() || authority != wanted) {
            why = "a change must come from this page (" + std::string(origin.empty() ? "Referer " : "Origin ") + from +
                  " is not " + (host.empty() ? std::string("the server") : host) + ")";
            return false;
        }
        return true;
    }
    if (cookieAuthorised) {
        why = "a change made with the page's session must say where it comes from (Origin)";
        return false;
    }
    return true;
}

double WrongTokenThrottle::waitSeconds(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(address);
    if (it == entries_.end() || it->second.closedUntil <= now) return 0;
    return std::chrono::duration<double>(it->second.closedUntil - now).count();
}

void WrongTokenThrottle::wrongToken(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= 4096 && !entries_.count(address)) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                       [](const auto& a, const auto& b) { return a.second.closedUntil < b.second.closedUntil; });
        entries_.erase(oldest);
    }
    Entry& e = entries_[address];
    ++e.mistakes;
    if (e.mistakes > 2) {
        const int doubling = std::min(e.mistakes - 3, 6);
        const double seconds = std::min(60.0, static_cast<double>(1 << doubling));
        e.closedUntil = now + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    }
}

void WrongTokenThrottle::rightToken(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(address);
}

std::string SessionStore::open(Clock::time_point now) {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        got += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = lastUse_.begin(); it != lastUse_.end();) {
        it = now - it->second > std::chrono::hours(12) ? lastUse_.erase(it) : std::next(it);
    }
    if (lastUse_.size() >= 64) {
        lastUse_.erase(std::min_element(lastUse_.begin(), lastUse_.end(),
                                        [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    lastUse_[id] = now;
    return id;
}

bool SessionStore::valid(const std::string& id, Clock::time_point now) {
    if (id.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = lastUse_.find(id);
    if (it == lastUse_.end()) return false;
    if (now - it->second > std::chrono::hours(12)) {
        lastUse_.erase(it);
        return false;
    }
    it->second = now;
    return true;
}

void SessionStore::close(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastUse_.erase(id);
}

std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t end = std::min(header.find(';', at), header.size());
        std::string part = header.substr(at, end - at);
        const std::size_t first = part.find_first_not_of(' ');
        if (first != std::string::npos) part = part.substr(first);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=') {
            return part.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return {};
}

}  // namespace loudara
