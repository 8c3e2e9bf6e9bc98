// The cursor overlay and the shared packet stream: cursor shapes go out scaled and
// only when they change, and with a slow reader every video and cursor packet arrives
// whole, nothing lost, repeated or interleaved.

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch.h"
#include "platform/sim/capture/sim_capture.h"
#include "tests/zentcap/flow_harness.h"

namespace zentcap {
namespace {

namespace sim = platform::sim;
using namespace std::chrono_literals;
using testing_support::FlowHarness;
using testing_support::Packet;
using Bytes = std::vector<uint8_t>;

StreamParameters withoutPointer() { return {1, 2880, 1800, {30, 4000000}, false}; }

bool outputReadable(int fd) {
    pollfd readable{fd, POLLIN, 0};
    return ::poll(&readable, 1, 0) > 0;
}

// Serves the main queue (where the cursor timer runs) until the output has bytes.
bool serveUntilOutput(FlowHarness& h) {
    return platform::dispatch::serveMainQueueUntil([&] { return outputReadable(h.outputReadFd()); }, 10s);
}

uint16_t u16(const Bytes& bytes, size_t at) { return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]); }

class OutputFlow : public testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(OutputFlow, CursorShapeIsSentScaledAndOnlyWhenItChanges) {
    sim::CursorScript arrow;
    arrow.width = 32;
    arrow.height = 32;
    arrow.hotSpotX = 5;
    arrow.hotSpotY = 9;
    arrow.pixel[0] = 64, arrow.pixel[1] = 32, arrow.pixel[2] = 0, arrow.pixel[3] = 128;
    sim::setCursor(arrow);
    FlowHarness h(withoutPointer());
    ASSERT_TRUE(h.startStreaming());
    EXPECT_FALSE(sim::streamRecord().configuration.showsCursor);

    ASSERT_TRUE(serveUntilOutput(h));
    auto packet = h.nextPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->kind, 2);
    EXPECT_EQ(packet->timestamp, 0u);
    ASSERT_EQ(packet->payload.size(), 8u + 64 * 64 * 4);
    EXPECT_EQ(u16(packet->payload, 0), 64);  // 2880 pixels over 1440 points: drawn at twice the size
    EXPECT_EQ(u16(packet->payload, 2), 64);
    EXPECT_EQ(u16(packet->payload, 4), 10);
    EXPECT_EQ(u16(packet->payload, 6), 18);
    EXPECT_EQ(Bytes(packet->payload.begin() + 8, packet->payload.begin() + 12), (Bytes{127, 63, 0, 128}));

    // Ticks with the same shape send nothing.
    int queries = sim::cursorQueries();
    ASSERT_TRUE(platform::dispatch::serveMainQueueUntil([&] { return sim::cursorQueries() >= queries + 3; }, 10s));
    EXPECT_TRUE(h.outputStaysQuiet(0ms));

    sim::CursorScript text;
    text.width = 16;
    text.height = 40;
    text.hotSpotX = 8;
    text.hotSpotY = 20;
    sim::setCursor(text);
    ASSERT_TRUE(serveUntilOutput(h));
    packet = h.nextPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(u16(packet->payload, 0), 32);
    EXPECT_EQ(u16(packet->payload, 2), 80);
    queries = sim::cursorQueries();
    ASSERT_TRUE(platform::dispatch::serveMainQueueUntil([&] { return sim::cursorQueries() >= queries + 3; }, 10s));
    EXPECT_TRUE(h.outputStaysQuiet(0ms));
}

TEST_F(OutputFlow, TicksWithoutACursorOrBitmapSendNothing) {
    sim::setCursor(std::nullopt);
    FlowHarness h(withoutPointer());
    ASSERT_TRUE(h.startStreaming());
    ASSERT_TRUE(platform::dispatch::serveMainQueueUntil([] { return sim::cursorQueries() >= 3; }, 10s));
    sim::CursorScript broken;
    broken.drawFails = true;
    sim::setCursor(broken);
    int queries = sim::cursorQueries();
    ASSERT_TRUE(platform::dispatch::serveMainQueueUntil([&] { return sim::cursorQueries() >= queries + 3; }, 10s));
    EXPECT_TRUE(h.outputStaysQuiet(0ms));
    // The next good tick sends the shape.
    sim::setCursor(sim::CursorScript{});
    EXPECT_TRUE(serveUntilOutput(h));
}

// The frame body of video frame `index`: one unit whose bytes name the frame.
Bytes frameUnit(size_t index) {
    Bytes unit(150'000 + index * 997);
    unit[0] = 0x41;
    for (size_t i = 1; i < unit.size(); ++i) unit[i] = static_cast<uint8_t>(index * 31 + i * 7);
    return unit;
}

TEST_F(OutputFlow, SlowReaderGetsEveryPacketWholeAndInOrder) {
    // A cursor that changes at every tick keeps cursor packets coming between frames.
    std::atomic<int> shade = 0;
    sim::CursorScript changing;
    changing.width = 40;
    changing.height = 40;
    changing.painter = [&shade](int w, int h, uint8_t* rgba) {
        uint8_t value = static_cast<uint8_t>(++shade);
        for (int i = 0; i < w * h; ++i) rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = rgba[4 * i + 3] = value | 1;
    };
    sim::setCursor(changing);
    FlowHarness h(withoutPointer());
    ASSERT_TRUE(h.startStreaming());

    constexpr size_t kFrames = 30;
    std::atomic<bool> fed = false;
    std::thread feeder([&] {
        for (size_t i = 0; i < kFrames; ++i) {
            if (!sim::waitFor([] { return sim::framesInFlight() < 2; })) break;
            sim::advanceHostTime(1'000'000);
            if (!sim::deliverFrame() || !sim::drainOutputQueue()) break;
            auto sample = std::make_shared<platform::EncodedSample>();
            auto frame = sim::submittedFrames().back();
            sample->format = std::make_shared<sim::ScriptedFormat>(std::vector<Bytes>{sim::standardSps()}, 4);
            sample->data = std::make_shared<sim::ScriptedBlock>(sim::lengthPrefixed({frameUnit(i)}, 4));
            sample->notSync = !frame.forceKeyFrame;
            sample->presentationTime = frame.presentationTime;
            if (!sim::completeNextFrame(0, 0, sample)) break;
        }
        fed = true;
    });

    // Read in small bites with pauses, so the writers keep meeting a full pipe.
    std::vector<Packet> video;
    size_t cursorPackets = 0;
    std::atomic<bool> readerDone = false;
    std::string readerFault;
    std::thread reader([&] {
        Bytes stream;
        uint8_t chunk[3000];
        while (video.size() < kFrames) {
            pollfd readable{h.outputReadFd(), POLLIN, 0};
            if (::poll(&readable, 1, 10000) <= 0) {
                readerFault = "output went quiet";
                break;
            }
            ssize_t n = ::read(h.outputReadFd(), chunk, sizeof chunk);
            if (n <= 0) break;
            stream.insert(stream.end(), chunk, chunk + n);
            while (auto packet = testing_support::takePacket(stream)) {
                if (packet->kind == 2) {
                    ++cursorPackets;
                    if (packet->payload.size() != 8u + size_t{u16(packet->payload, 0)} * u16(packet->payload, 2) * 4) {
                        readerFault = "cursor packet of the wrong size";
                    }
                } else {
                    video.push_back(*packet);
                }
            }
            std::this_thread::sleep_for(1ms);  // a slow reader, not a synchronisation
        }
        readerDone = true;
    });

    ASSERT_TRUE(platform::dispatch::serveMainQueueUntil([&] { return readerDone.load(); }, 60s));
    reader.join();
    feeder.join();
    ASSERT_TRUE(fed);
    EXPECT_EQ(readerFault, "");
    EXPECT_GT(cursorPackets, 0u);
    ASSERT_EQ(video.size(), kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
        Bytes expected{0, 0, 0, 1};
        if (video[i].kind == 1) {
            auto sps = sim::standardSps();
            expected.insert(expected.end(), sps.begin(), sps.end());
            expected.insert(expected.end(), {0, 0, 0, 1});
        }
        auto unit = frameUnit(i);
        expected.insert(expected.end(), unit.begin(), unit.end());
        EXPECT_TRUE(video[i].payload == expected) << "frame " << i;
        EXPECT_EQ(video[i].timestamp, (i + 1) * 1000) << "frame " << i;
    }
}

}  // namespace
}  // namespace zentcap
