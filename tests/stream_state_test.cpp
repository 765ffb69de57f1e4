// The Icecast stream's state as the ON-AIR service logs it and as the status line and file show
// it, without a server: the states come as the stream's encoder thread reports them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "audio/onair_service.h"
#include "audio/onair_status.h"

namespace loudara {
namespace {

IcecastOutput::Report report(StreamState state, std::string error = "") {
    IcecastOutput::Report r;
    r.state = state;
    r.error = std::move(error);
    return r;
}

// The lines logged for a sequence of reports.
std::vector<std::string> logged(const std::vector<IcecastOutput::Report>& reports) {
    StreamStateLog log("radio:8000/live");
    std::vector<std::string> lines;
    for (const IcecastOutput::Report& r : reports) {
        if (std::optional<std::string> line = log.observe(r)) lines.push_back(*line);
    }
    return lines;
}

TEST(StreamStateLog, AServerThatStaysAwayIsLoggedOnceNotAtEveryRetry) {
    const std::vector<std::string> lines =
        logged({report(StreamState::Connecting), report(StreamState::Retrying, "cannot connect (refused)"),
                report(StreamState::Connecting), report(StreamState::Retrying, "cannot connect (refused)"),
                report(StreamState::Retrying, "no answer from the server within 10 s")});
    EXPECT_EQ(lines, std::vector<std::string>{"stream to radio:8000/live not connected: cannot connect (refused)"});
}

TEST(StreamStateLog, ALostConnectionIsToldFromOneThatNeverCameAndEachReturnIsLogged) {
    const std::vector<std::string> lines = logged({
        report(StreamState::Connecting),
        report(StreamState::Connected),
        report(StreamState::Connected),
        report(StreamState::Retrying, "the connection broke (socket error)"),
        report(StreamState::Connecting),
        report(StreamState::Retrying, "cannot connect (refused)"),
        report(StreamState::Connecting),
        report(StreamState::Connected),
    });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "stream connected to radio:8000/live",
                         "stream to radio:8000/live lost: the connection broke (socket error)",
                         "stream connected to radio:8000/live",
                     }));
}

TEST(StreamStateLog, AReconnectBetweenTwoReportsLeavesNoLine) {
    // Connected, the connection breaks and is made again before the service looks: nothing
    // changed as far as the log goes.
    EXPECT_EQ(logged({report(StreamState::Connected), report(StreamState::Connecting),
                      report(StreamState::Connected)}),
              std::vector<std::string>{"stream connected to radio:8000/live"});
}

OnAirStatus streamStatus(StreamState state, std::string error, double retrySeconds) {
    OnAirStatus s;
    s.sampleRate = 44100;
    s.stream = true;
    s.streamState = state;
    s.streamError = std::move(error);
    s.streamRetrySeconds = retrySeconds;
    s.streamTarget = "radio:8000/live";
    return s;
}

std::string streamPart(const OnAirStatus& s) {
    const std::string line = StatusLineText(s);
    return line.substr(line.find("  stream "));
}

TEST(StreamStatus, TheLineAndTheFileNameTheStateAndOnlyAnUnconnectedStreamShowsItsError) {
    EXPECT_EQ(streamPart(streamStatus(StreamState::Retrying, "cannot connect (refused)", 3.6)),
              "  stream retrying in 4 s: cannot connect (refused)");
    // The error of an earlier connection stays in the record, but a connected stream is fine.
    EXPECT_EQ(streamPart(streamStatus(StreamState::Connected, "the connection broke", 0)), "  stream connected");
    EXPECT_EQ(streamPart(streamStatus(StreamState::Connecting, "", 0)), "  stream connecting");
    EXPECT_EQ(streamPart(streamStatus(StreamState::Stopped, "the connection broke", 0)),
              "  stream stopped: the connection broke");

    const char* names[] = {"connecting", "connected", "retrying", "stopped"};
    const StreamState states[] = {StreamState::Connecting, StreamState::Connected, StreamState::Retrying,
                                  StreamState::Stopped};
    for (int i = 0; i < 4; ++i) {
        const nlohmann::json j = nlohmann::json::parse(StatusJsonText(streamStatus(states[i], "", 0)));
        EXPECT_EQ(j["stream"]["state"], names[i]);
    }
}

}  // namespace
}  // namespace loudara
