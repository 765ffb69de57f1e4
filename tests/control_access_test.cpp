// Who may use the remote control: token files others can read are refused, a change from another
// site is refused, wrong tokens close their address for longer and longer, sessions end.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "audio/control_access.h"
#include "wav_builder.h"

namespace loudara {
namespace {

ByteVector bytesOf(const std::string& s) { return ByteVector(s.begin(), s.end()); }

class TokenFile : public TempFolder {};

TEST_F(TokenFile, OnlyTheOwnersOwnFileWithALongEnoughTokenIsAccepted) {
    const std::string path = write("token", bytesOf("  s3cret-token-of-24-chars\n"));
    std::string token, error;
    chmod(path.c_str(), 0644);
    EXPECT_FALSE(ReadTokenFile(path, token, error));
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    chmod(path.c_str(), 0640);
    EXPECT_FALSE(ReadTokenFile(path, token, error));
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(ReadTokenFile(path, token, error)) << error;
    EXPECT_EQ(token, "s3cret-token-of-24-chars");

    const std::string shortOne = write("short", bytesOf("abc\n"));
    chmod(shortOne.c_str(), 0600);
    EXPECT_FALSE(ReadTokenFile(shortOne, token, error));
    EXPECT_NE(error.find("shorter than 16"), std::string::npos) << error;
    const std::string spaced = write("spaced", bytesOf("two words in the token file\n"));
    chmod(spaced.c_str(), 0600);
    EXPECT_FALSE(ReadTokenFile(spaced, token, error));

    fs::create_symlink(path, folder / "link");
    EXPECT_FALSE(ReadTokenFile((folder / "link").string(), token, error));
    EXPECT_FALSE(ReadTokenFile((folder / "missing").string(), token, error));
    EXPECT_FALSE(ReadTokenFile(folder.string(), token, error));
}

TEST(SameOrigin, AChangeMustNameTheServersOwnHost) {
    std::string why;
    EXPECT_TRUE(SameOriginChange("http://127.0.0.1:8080", "", "127.0.0.1:8080", true, why));
    EXPECT_TRUE(SameOriginChange("https://Radio.Example", "", "radio.example", true, why));
    EXPECT_TRUE(SameOriginChange("", "http://127.0.0.1:8080/", "127.0.0.1:8080", true, why));
    EXPECT_FALSE(SameOriginChange("http://evil.example", "", "127.0.0.1:8080", false, why));
    EXPECT_FALSE(SameOriginChange("http://127.0.0.1:9999", "", "127.0.0.1:8080", false, why));
    EXPECT_FALSE(SameOriginChange("null", "", "127.0.0.1:8080", false, why));
    EXPECT_FALSE(SameOriginChange("", "http://evil.example/page", "127.0.0.1:8080", false, why));
    EXPECT_FALSE(SameOriginChange("http://user@127.0.0.1:8080", "", "127.0.0.1:8080", false, why));
    // No Origin and no Referer: a script with the token may; a browser's cookie may not.
    EXPECT_TRUE(SameOriginChange("", "", "127.0.0.1:8080", false, why));
    EXPECT_FALSE(SameOriginChange("", "", "127.0.0.1:8080", true, why));
}

TEST(WrongTokens, EachMistakeAfterTheSecondDoublesTheWaitUpToAMinute) {
    WrongTokenThrottle throttle;
    using Clock = WrongTokenThrottle::Clock;
    const Clock::time_point t0 = Clock::now();
    throttle.wrongToken("10.0.0.1", t0);
    throttle.wrongToken("10.0.0.1", t0);
    EXPECT_EQ(throttle.waitSeconds("10.0.0.1", t0), 0);
    throttle.wrongToken("10.0.0.1", t0);
    EXPECT_NEAR(throttle.waitSeconds("10.0.0.1", t0), 1.0, 1e-6);
    throttle.wrongToken("10.0.0.1", t0);
    EXPECT_NEAR(throttle.waitSeconds("10.0.0.1", t0), 2.0, 1e-6);
    for (int i = 0; i < 20; ++i) throttle.wrongToken("10.0.0.1", t0);
    EXPECT_NEAR(throttle.waitSeconds("10.0.0.1", t0), 60.0, 1e-6);
    EXPECT_EQ(throttle.waitSeconds("10.0.0.1", t0 + std::chrono::seconds(61)), 0);
    EXPECT_EQ(throttle.waitSeconds("10.0.0.2", t0), 0) << "another address is not held up";
    throttle.rightToken("10.0.0.1");
    throttle.wrongToken("10.0.0.1", t0);
    EXPECT_EQ(throttle.waitSeconds("10.0.0.1", t0), 0) << "a right token forgives";
}

TEST(Sessions, RandomIdsThatEndWhenClosedOrUnused) {
    SessionStore sessions;
    using Clock = SessionStore::Clock;
    const Clock::time_point t0 = Clock::now();
    const std::string a = sessions.open(t0), b = sessions.open(t0);
    EXPECT_EQ(a.size(), 64u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(sessions.valid(a, t0 + std::chrono::hours(11)));
    EXPECT_TRUE(sessions.valid(a, t0 + std::chrono::hours(22))) << "use keeps it alive";
    EXPECT_FALSE(sessions.valid(b, t0 + std::chrono::hours(13)));
    sessions.close(a);
    EXPECT_FALSE(sessions.valid(a, t0));
    EXPECT_FALSE(sessions.valid("", t0));

    EXPECT_EQ(CookieValue("theme=dark; loudara_session=abc123; x=1", "loudara_session"), "abc123");
    EXPECT_EQ(CookieValue("xloudara_session=abc", "loudara_session"), "");
    EXPECT_EQ(CookieValue("", "loudara_session"), "");
}

}  // namespace
}  // namespace loudara
