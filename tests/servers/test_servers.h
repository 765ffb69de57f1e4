#pragma once
// Servers the integration tests run for themselves, on loopback only, and the child processes
// they drive: a JACK server on its dummy driver (real-time paced, no hardware) with a name of its
// own, and an Icecast server with its own configuration and port, run as an unprivileged user.
// Everything they start is stopped and waited for when the object goes.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace loudara::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A program started with an argument vector (no shell), its output to files or /dev/null. It is
// sent SIGTERM when the test process ends in any way, a crash included: a server left behind
// would hold one of the few places JACK keeps for servers, and later tests could not start theirs.
class Child {
public:
    Child() = default;
    Child(std::vector<std::string> args, const std::string& outFile = "/dev/null", const std::string& errFile = "/dev/null") {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Only calls that are safe between fork and exec in a threaded process.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(127);
            if (out > STDERR_FILENO) close(out);
            if (err > STDERR_FILENO) close(err);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    Child(Child&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
        return *this;
    }
    ~Child() { stop(); }

    bool started() const { return pid_ > 0 || status_ != kRunning; }
    pid_t pid() const { return pid_; }
    bool running() {
        poll();
        return pid_ > 0;
    }
    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    // The exit status (128 + signal for a killed child), or -1 when it still runs after `seconds`.
    int wait(double seconds) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pid_ > 0 ? -1 : status_;
    }
    // SIGTERM, then SIGKILL after 5 s.
    void stop() {
        if (pid_ <= 0) return;
        signal(SIGTERM);
        if (wait(5) == -1) {
            signal(SIGKILL);
            wait(5);
        }
    }

private:
    static constexpr int kRunning = -1000;
    void poll() {
        if (pid_ <= 0) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    int status_ = kRunning;
};

// Runs a program to its end; its exit status, or -1 when it could not start or took too long.
inline int runProgram(std::vector<std::string> args, double seconds = 30, const std::string& outFile = "/dev/null") {
    Child child(std::move(args), outFile);
    if (!child.started()) return -1;
    const int status = child.wait(seconds);
    return status;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool programExists(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (access((fs::path(dir) / name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Waits up to `seconds` for `done`, checking every 20 ms.
template <typename Done>
bool waitFor(double seconds, Done done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
inline int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// A JACK server on the dummy driver at `rate` with periods of `periodFrames`, named for this
// process and object so that it meets no other server (or named `name`); this process's JACK
// clients go to it.
class DummyJackServer {
public:
    explicit DummyJackServer(int rate = 44100, std::string name = {}, int periodFrames = 1024) : name_(std::move(name)) {
        static std::atomic<int> serial{0};
        if (name_.empty()) name_ = "loudara_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        if (!programExists("jackd")) {
            why_ = "jackd is not installed (Debian package jackd2)";
            return;
        }
        errors_ = (fs::temp_directory_path() / (name_ + ".err")).string();
        server_ = Child({"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", std::to_string(rate), "-p", std::to_string(periodFrames)},
                        "/dev/null", errors_);
        if (!server_.started()) {
            why_ = "jackd could not be run";
            return;
        }
        // A client that comes while the server is still starting can be turned away (more often
        // when several servers start at once), so the check is repeated until the server answers.
        const bool answered = waitFor(10, [&] {
            return !server_.running() || runProgram({"jack_wait", "-s", name_, "-w", "-t", "2"}, 5) == 0;
        });
        if (!answered || !server_.running()) {
            why_ = "jackd did not come up within 10 seconds: " + readText(errors_);
            return;
        }
        running_ = true;
    }
    ~DummyJackServer() {
        stop();
        if (!errors_.empty()) ::unlink(errors_.c_str());
        // A client that outlived its server leaves its semaphores behind.
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/dev/shm", ec)) {
            if (entry.path().filename().string().find("_" + name_ + "_") != std::string::npos) fs::remove(entry.path(), ec);
        }
    }
    bool running() const { return running_; }
    void stop() {
        server_.stop();
        running_ = false;
    }
    bool installed() const { return why_.rfind("jackd is not installed", 0) != 0; }
    const std::string& why() const { return why_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::string errors_;  // the server's standard error, for the reason it did not come up
    Child server_;
    bool running_ = false;
    std::string why_;
};

// icecast2 with a configuration of its own in `folder`: loopback, the given port, source password
// "loudara-test". Icecast refuses to run as root, so a root test runs it as nobody.
class IcecastServer {
public:
    IcecastServer(const fs::path& folder, int port) : folder_(folder), port_(port) {
        if (!programExists("icecast2")) {
            why_ = "icecast2 is not installed (Debian package icecast2)";
            return;
        }
        fs::create_directories(folder_ / "log");
        std::ofstream(folder_ / "icecast.xml")
            << "<icecast>\n"
               "  <limits><clients>20</clients><sources>4</sources><source-timeout>10</source-timeout></limits>\n"
               "  <authentication><source-password>loudara-test</source-password>"
               "<admin-user>admin</admin-user><admin-password>loudara-admin</admin-password></authentication>\n"
               "  <hostname>127.0.0.1</hostname><location>test</location><admin>test@localhost</admin>\n"
               "  <listen-socket><port>" << port_ << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
               "  <paths><basedir>/usr/share/icecast2</basedir><logdir>" << (folder_ / "log").string() << "</logdir>"
               "<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot>"
               "<pidfile>" << (folder_ / "log" / "icecast.pid").string() << "</pidfile></paths>\n"
               "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel></logging>\n"
               "  <security><chroot>0</chroot></security>\n"
               "</icecast>\n";
        // The server's user must reach its configuration and write its logs.
        for (const fs::path& p : {folder_, folder_ / "log", folder_ / "icecast.xml"}) {
            fs::permissions(p, fs::perms::all, fs::perm_options::add);
        }
        start();
    }
    ~IcecastServer() { stop(); }

    bool start() {
        const std::string config = (folder_ / "icecast.xml").string();
        const std::string err = (folder_ / "icecast.err").string();
        server_ = getuid() == 0 ? Child({"runuser", "-u", "nobody", "--", "icecast2", "-c", config}, "/dev/null", err)
                                : Child({"icecast2", "-c", config}, "/dev/null", err);
        running_ = server_.started() && waitFor(10, [&] { return listening() || !server_.running(); }) && listening();
        if (!running_) why_ = "icecast2 did not come up: " + readText(err);
        return running_;
    }
    // Stops the server (the process itself, not only runuser in front of it).
    void stop() {
        const std::string pid = readText((folder_ / "log" / "icecast.pid").string());
        if (!pid.empty() && server_.running()) kill(std::atoi(pid.c_str()), SIGTERM);
        server_.wait(5);
        server_.stop();
        std::error_code ec;
        fs::remove(folder_ / "log" / "icecast.pid", ec);
        running_ = false;
    }
    bool listening() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return ok;
    }
    bool running() const { return running_; }
    bool installed() const { return why_.rfind("icecast2 is not installed", 0) != 0; }
    const std::string& why() const { return why_; }
    int port() const { return port_; }

private:
    fs::path folder_;
    int port_;
    Child server_;
    bool running_ = false;
    std::string why_;
};

}  // namespace loudara::test
