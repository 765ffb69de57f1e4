// The block queue every sound device shares (QueuedWaveDevice), the notice channel and the
// lock-free ring under them: the order blocks are played and returned in, pause, underflow,
// reset, capture and overflow, and the hand-over between two threads.

#include <gtest/gtest.h>

#include <poll.h>

#include <numeric>
#include <thread>
#include <vector>

#include "audio/block_notices.h"
#include "audio/spsc_ring.h"
#include "fake_wave.h"

namespace loudara {
namespace {

using test::FakeWaveDevice;

struct Block {
    std::vector<uint8_t> bytes;
    SoundBlock header;
    explicit Block(uint32_t length, uint8_t fill) : bytes(kSoundBlockBytes, fill) {
        header.data = bytes.data();
        header.bufferLength = length;
    }
};

std::vector<SoundBlock*> takeAll(NoticeChannel& notices, WaveDirection expected) {
    std::vector<SoundBlock*> taken;
    WaveDirection direction;
    SoundBlock* block = nullptr;
    while (notices.take(direction, block)) {
        EXPECT_EQ(direction, expected);
        taken.push_back(block);
    }
    return taken;
}

class OutputQueue : public ::testing::Test {
protected:
    NoticeChannel notices;
    FakeWaveDevice device{WaveDirection::Output, notices, 44100};

    void queue(Block& b) {
        ASSERT_EQ(device.prepare(b.header), kWaveOk);
        ASSERT_EQ(device.queue(b.header), kWaveOk);
    }
    std::vector<uint8_t> render(std::size_t bytes) {
        std::vector<uint8_t> out(bytes, 0xEE);
        device.render(out.data(), bytes);
        return out;
    }
};

TEST_F(OutputQueue, PlaysBlocksInOrderAcrossPeriodsAndReturnsEachWhenDone) {
    Block a(10000, 1), b(0, 2), c(9000, 3);
    queue(a);
    EXPECT_TRUE(device.streamRunning);  // not paused: queueing starts the stream
    queue(b);
    queue(c);
    EXPECT_TRUE(a.header.inQueue());

    std::vector<uint8_t> out = render(8192);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 1; }));
    EXPECT_TRUE(takeAll(notices, WaveDirection::Output).empty());

    out = render(8192);  // the rest of a, the empty b, and the start of c
    EXPECT_EQ(out[1807], 1);
    EXPECT_EQ(out[1808], 3);
    EXPECT_EQ(takeAll(notices, WaveDirection::Output), (std::vector<SoundBlock*>{&a.header, &b.header}));
    EXPECT_FALSE(a.header.inQueue());
    EXPECT_TRUE(a.header.flags.load() & kBlockDone);
    EXPECT_EQ(device.counters().underflows, 0u);

    out = render(3000);  // 2616 bytes of c are left: then silence, counted once
    EXPECT_EQ(out[2615], 3);
    EXPECT_EQ(out[2616], 0);
    EXPECT_EQ(out[2999], 0);
    EXPECT_EQ(takeAll(notices, WaveDirection::Output), (std::vector<SoundBlock*>{&c.header}));
    EXPECT_EQ(device.counters().underflows, 1u);
    EXPECT_EQ(device.counters().bytesPlayed, 19000u);
}

TEST_F(OutputQueue, PausePlaysSilenceWithoutConsumingBlocks) {
    ASSERT_EQ(device.pause(), kWaveOk);
    Block a(kSoundBlockBytes, 9);
    queue(a);
    EXPECT_FALSE(device.streamRunning);  // paused: queueing does not start it
    ASSERT_EQ(device.restart(), kWaveOk);
    ASSERT_EQ(device.pause(), kWaveOk);
    std::vector<uint8_t> out = render(4096);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(device.counters().bytesPlayed, 0u);
    EXPECT_EQ(device.counters().underflows, 0u);
    ASSERT_EQ(device.restart(), kWaveOk);
    out = render(4096);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(device.start(), kWaveWrongDirection);
}

TEST_F(OutputQueue, ResetReturnsEveryQueuedBlockAndCloseDropsTheNotices) {
    Block a(kSoundBlockBytes, 1), b(kSoundBlockBytes, 2);
    queue(a);
    queue(b);
    render(100);
    EXPECT_EQ(device.unprepare(a.header), kWaveStillPlaying);
    EXPECT_EQ(device.queue(a.header), kWaveStillPlaying);
    EXPECT_EQ(device.close(), kWaveStillPlaying);
    ASSERT_EQ(device.reset(), kWaveOk);
    EXPECT_FALSE(device.streamRunning);
    EXPECT_FALSE(a.header.inQueue() || b.header.inQueue());
    EXPECT_EQ(device.queuedBlocks(), 0u);
    EXPECT_EQ(device.unprepare(a.header), kWaveOk);
    EXPECT_EQ(device.queue(a.header), kWaveUnprepared);
    ASSERT_TRUE(notices.pending());
    ASSERT_EQ(device.close(), kWaveOk);
    EXPECT_FALSE(notices.pending());
    EXPECT_TRUE(device.streamClosed);
}

TEST(InputQueue, CapturesIntoQueuedBlocksStopsWithThePartOneAndCountsOverflow) {
    NoticeChannel notices;
    FakeWaveDevice device(WaveDirection::Input, notices, 32000);
    Block a(kSoundBlockBytes, 0), b(kSoundBlockBytes, 0);
    for (Block* x : {&a, &b}) {
        ASSERT_EQ(device.prepare(x->header), kWaveOk);
        ASSERT_EQ(device.queue(x->header), kWaveOk);
    }
    EXPECT_FALSE(device.streamRunning);
    ASSERT_EQ(device.start(), kWaveOk);
    std::vector<uint8_t> in(20000);
    std::iota(in.begin(), in.end(), 0);
    device.capture(in.data(), in.size());
    EXPECT_EQ(takeAll(notices, WaveDirection::Input), std::vector<SoundBlock*>{&a.header});
    EXPECT_EQ(a.header.bytesRecorded, kSoundBlockBytes);
    EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), in.begin()));
    EXPECT_EQ(b.bytes[0], in[kSoundBlockBytes]);

    ASSERT_EQ(device.stop(), kWaveOk);  // b returns with what it holds
    EXPECT_EQ(takeAll(notices, WaveDirection::Input), std::vector<SoundBlock*>{&b.header});
    EXPECT_EQ(b.header.bytesRecorded, 20000u - kSoundBlockBytes);
    device.capture(in.data(), 100);  // nothing queued
    EXPECT_EQ(device.counters().overflows, 1u);
    EXPECT_EQ(device.pause(), kWaveWrongDirection);
}

TEST(NoticeChannel, WakesItsDescriptorAndHandsInputOutFirst) {
    NoticeChannel notices;
    ASSERT_GE(notices.wakeFd(), 0);
    pollfd fd{notices.wakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&fd, 1, 0), 0);
    SoundBlock out, in;
    ASSERT_TRUE(notices.post(WaveDirection::Output, &out));
    ASSERT_TRUE(notices.post(WaveDirection::Input, &in));
    EXPECT_EQ(poll(&fd, 1, 0), 1);
    notices.acknowledgeWake();
    EXPECT_EQ(poll(&fd, 1, 0), 0);
    WaveDirection direction;
    SoundBlock* block = nullptr;
    ASSERT_TRUE(notices.take(direction, block));
    EXPECT_EQ(block, &in);
    ASSERT_TRUE(notices.take(direction, block));
    EXPECT_EQ(block, &out);
    EXPECT_FALSE(notices.take(direction, block));
}

TEST(SpscRing, KeepsOrderAndLosesNothingBetweenTwoThreads) {
    SpscRing<uint32_t, 16> ring;
    constexpr uint32_t kCount = 200000;
    std::thread producer([&ring] {
        for (uint32_t i = 0; i < kCount;) {
            if (ring.push(i)) ++i;
        }
    });
    uint32_t expected = 0;
    bool ordered = true;
    while (expected < kCount) {
        uint32_t value = 0;
        if (ring.pop(value)) ordered = ordered && value == expected++;
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(ring.empty());

    SpscRing<int, 4> small;
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(small.push(i));
    EXPECT_FALSE(small.push(4));
    small.clear();
    EXPECT_TRUE(small.empty());
}

}  // namespace
}  // namespace loudara
