// System sound: what the default output plays, following the user's choice of
// output, never a microphone; and the capture stream's audio output built on it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cmath>
#include <cstdlib>
#include <future>
#include <thread>

#include "tests/support/child.h"
#include "platform/linux/sound/pulse.h"
#include "platform/linux/sound/system_sound.h"
#include "platform/screen_capture.h"
#include "tests/linux/sound_fixture.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

using testsupport::SoundServer;

constexpr double kSpeakersHz = 440, kHeadphonesHz = 1320, kMicrophoneHz = 3000;
constexpr double kAmplitude = 0.4;

// Which of the tones dominates a block.
double which(const std::vector<float>& samples) {
    double best = 0, bestLevel = 0.05;
    for (double hz : {kSpeakersHz, kHeadphonesHz, kMicrophoneHz}) {
        const double level = amplitudeAt(samples, hz);
        if (level > bestLevel) best = hz, bestLevel = level;
    }
    return best;
}

// Index of the first block from `from` on at which the last 10 ms of sound (that
// block and the ones just before it) carry `hz`.
std::optional<size_t> firstWith(const std::vector<Block>& blocks, double hz, size_t from = 0) {
    for (size_t i = from; i < blocks.size(); ++i) {
        std::vector<float> recent;
        for (size_t j = i + 1; j-- > 0 && recent.size() < 480;)
            recent.insert(recent.begin(), blocks[j].firstChannel.begin(), blocks[j].firstChannel.end());
        if (recent.size() < 480) continue;
        recent.erase(recent.begin(), recent.end() - 480);
        if (which(recent) == hz) return i;
    }
    return std::nullopt;
}

// Waits until a block from `from` on carries `hz`, and gives its index. Each block is
// looked at once, as it comes: a check of every block at each arrival would fall
// behind the sound itself when the blocks are short and the code slowed down.
std::optional<size_t> waitForTone(BlockCollector& collector, double hz, size_t from, std::chrono::milliseconds timeout) {
    std::optional<size_t> found;
    size_t next = from;
    collector.waitUntil(
        [&](const auto& blocks) {
            found = firstWith(blocks, hz, next);
            next = std::max(next, blocks.size());
            return found.has_value();
        },
        timeout);
    return found;
}

class SystemSoundTest : public SoundServerTest {};

TEST_F(SystemSoundTest, HearsTheDefaultOutputAndFollowsTheUsersChoice) {
    ASSERT_TRUE(server_->addNullSink("headphones"));
    auto speakers = server_->playTone(SoundServer::kSpeakers, kSpeakersHz, kAmplitude);
    auto headphones = server_->playTone("headphones", kHeadphonesHz, kAmplitude);
    testsupport::MicrophoneFeeder microphone(server_->fifoOf(SoundServer::kMicrophone),
                                             [](int64_t n) { return 0.4f * std::sin(2 * M_PI * kMicrophoneHz * n / 48000.0); });
    ASSERT_TRUE(speakers && headphones);

    BlockCollector collector;
    std::atomic<int> lost{0};
    auto started = platform::pulse::SystemSound::start(
        2, platform::dispatch::Queue::serial("sonido"),
        [&collector](std::shared_ptr<const platform::AudioSampleBuffer> sample) { collector.add(*sample); },
        [&lost](const platform::Error&) { ++lost; });
    ASSERT_TRUE(started) << started.error().description;

    // Once the tone is there, 100 ms more of it.
    const auto toneAt = waitForTone(collector, kSpeakersHz, 0, 5s);
    ASSERT_TRUE(toneAt) << "the speakers' tone never came; blocks: " << collector.blocks().size();
    ASSERT_TRUE(collector.waitUntil(
        [&](const auto& blocks) { return blocks.back().arrival - blocks[*toneAt].arrival > 100'000'000; }, 5s));
    const auto first = collector.blocks();
    EXPECT_EQ(first[0].channels, 2u);
    EXPECT_EQ(first[0].description.bytesPerFrame, 8u);
    // The level window by window (25 ms, eleven periods): a player that a busy machine
    // wakes late leaves a gap in what the speakers play, which is not the capture's doing.
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(joined(first, *toneAt, first.size()), kSpeakersHz, 1200), kAmplitude,
                0.05);

    // The user picks the headphones: their tone follows within 200 ms. The time counts
    // from when the server reports the change, not from when the test started pactl:
    // starting that process, and PipeWire's session manager applying the change, are
    // not the backend's doing, and on a busy machine they alone can take longer than
    // the bound.
    const size_t before = collector.blocks().size();
    ASSERT_TRUE(server_->setDefaultSink("headphones"));
    const uint64_t switched = platform::hostTimeNanos();
    const auto heardAt = waitForTone(collector, kHeadphonesHz, before, 5s);
    ASSERT_TRUE(heardAt);
    auto blocks = collector.blocks();
    const size_t heard = *heardAt;
    const double followMs = (static_cast<double>(blocks[heard].arrival) - static_cast<double>(switched)) / 1e6;
    EXPECT_LT(followMs, 200 * testsupport::timeScale()) << "followed after " << followMs << " ms";
    RecordProperty("follow_ms", std::to_string(followMs));

    // The headphones go away: the server falls back to the speakers, and so does the
    // recording; at no time does the microphone come through.
    const size_t beforeRemoval = blocks.size();
    std::string modules;
    server_->pactl({"list", "short", "modules"}, &modules);
    ASSERT_TRUE(server_->setDefaultSink(SoundServer::kSpeakers));
    ASSERT_TRUE(waitForTone(collector, kSpeakersHz, beforeRemoval, 5s));
    started.value().reset();
    EXPECT_FALSE(firstWith(collector.blocks(), kMicrophoneHz)) << "a microphone came through";
    EXPECT_EQ(lost.load(), 0);
}

TEST_F(SystemSoundTest, FollowsWhenTheDefaultOutputIsRemoved) {
    auto module = server_->addNullSink("headphones");
    ASSERT_TRUE(module);
    auto speakers = server_->playTone(SoundServer::kSpeakers, kSpeakersHz, kAmplitude);
    auto headphones = server_->playTone("headphones", kHeadphonesHz, kAmplitude);
    testsupport::MicrophoneFeeder microphone(server_->fifoOf(SoundServer::kMicrophone),
                                             [](int64_t n) { return 0.4f * std::sin(2 * M_PI * kMicrophoneHz * n / 48000.0); });
    ASSERT_TRUE(server_->setDefaultSink("headphones"));
    BlockCollector collector;
    auto started = platform::pulse::SystemSound::start(
        2, platform::dispatch::Queue::serial("sonido"),
        [&collector](std::shared_ptr<const platform::AudioSampleBuffer> sample) { collector.add(*sample); }, {});
    ASSERT_TRUE(started);
    ASSERT_TRUE(waitForTone(collector, kHeadphonesHz, 0, 5s));
    const size_t before = collector.blocks().size();
    headphones.reset();
    ASSERT_TRUE(server_->unloadModule(*module));
    EXPECT_TRUE(waitForTone(collector, kSpeakersHz, before, 5s))
        << "the recording did not move to the remaining output";
    started.value().reset();
    EXPECT_FALSE(firstWith(collector.blocks(), kMicrophoneHz)) << "a microphone came through";
}

TEST_F(SystemSoundTest, LosingTheServerIsReportedOnce) {
    std::mutex mutex;
    std::vector<std::string> reasons;
    auto started = platform::pulse::SystemSound::start(
        2, platform::dispatch::Queue::serial("sonido"), [](auto) {},
        [&](const platform::Error& error) {
            std::scoped_lock lock(mutex);
            reasons.push_back(error.description);
        });
    ASSERT_TRUE(started);
    server_.reset();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        {
            std::scoped_lock lock(mutex);
            if (!reasons.empty() || std::chrono::steady_clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    // After the destructor nothing more is reported: what came by then is all.
    started.value().reset();
    std::scoped_lock lock(mutex);
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_EQ(reasons[0].rfind("Se perdió la conexión con el servidor de sonido", 0), 0u) << reasons[0];
}

// Plays 5 ms clicks into a sink through a playback stream of this process, kept fed
// with silence, and tells when each click sounds: the moment it is written plus the
// stream's latency then (the time a sample written now takes to be played), as
// libpulse interpolates it from the server's timing.
class ClickPlayer {
public:
    explicit ClickPlayer(const std::string& sink) {
        platform::pulse::MainloopLock lock;
        auto context = platform::pulse::connect(lock, "clic");
        if (!context) return;
        context_ = std::move(context.value());
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 48000, 1};
        stream_.reset(pa_stream_new(context_.get(), "clic", &spec, nullptr));
        if (!stream_) return;
        pa_stream_set_state_callback(stream_.get(), [](pa_stream*, void*) { platform::pulse::signalWaiters(); }, nullptr);
        pa_stream_set_write_callback(stream_.get(), [](pa_stream* s, size_t bytes, void*) {
            std::vector<uint8_t> silence(bytes, 0);
            pa_stream_write(s, silence.data(), silence.size(), nullptr, 0, PA_SEEK_RELATIVE);
        }, nullptr);
        pa_buffer_attr attributes{static_cast<uint32_t>(-1), 4 * 480 * 3, static_cast<uint32_t>(-1),
                                  static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};  // 30 ms
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                          PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(stream_.get(), sink.c_str(), &attributes, flags, nullptr, nullptr) < 0) return;
        ready_ = lock.waitUntil([this] { return pa_stream_get_state(stream_.get()) != PA_STREAM_CREATING; }, 5s) &&
                 pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
    }
    ~ClickPlayer() {
        platform::pulse::MainloopLock lock;
        if (stream_) pa_stream_set_write_callback(stream_.get(), nullptr, nullptr);
        stream_.reset();
        context_.reset();
    }
    bool ready() const { return ready_; }

    // Plays a click; the host time (ns) at which it sounds.
    std::optional<uint64_t> click() {
        platform::pulse::MainloopLock lock;
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream_.get(), &latency, &negative) < 0) return std::nullopt;
        const uint64_t now = platform::hostTimeNanos();
        std::vector<float> click(240, 0.5f);
        if (pa_stream_write(stream_.get(), click.data(), click.size() * 4, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return std::nullopt;
        return negative ? now : now + latency * 1000;
    }

private:
    platform::pulse::ContextPtr context_;
    platform::pulse::StreamPtr stream_;
    bool ready_ = false;
};

TEST_F(SystemSoundTest, EachBlockIsStampedWithTheTimeItsSoundWasPlayed) {
    ClickPlayer player(SoundServer::kSpeakers);
    ASSERT_TRUE(player.ready());
    BlockCollector collector;
    auto started = platform::pulse::SystemSound::start(
        2, platform::dispatch::Queue::serial("sonido"),
        [&collector](std::shared_ptr<const platform::AudioSampleBuffer> sample) { collector.add(*sample); },
        [](const platform::Error&) {});
    ASSERT_TRUE(started) << started.error().description;
    ASSERT_TRUE(collector.waitUntil([](const auto& blocks) { return blocks.size() > 10; }, 10s));

    // Clicks 0.9 s apart: each onset is looked for only after its own click was
    // written, and the next one is far beyond any delay, so none pairs with another.
    std::vector<double> offsets;  // stamped minus played, milliseconds
    for (int n = 0; n < 5; ++n) {
        const uint64_t written = platform::hostTimeNanos();
        auto played = player.click();
        ASSERT_TRUE(played);
        std::optional<double> stamped;
        collector.waitUntil(
            [&](const std::vector<Block>& blocks) {
                for (const Block& b : blocks) {
                    if (b.arrival < written) continue;
                    for (size_t i = 0; i < b.firstChannel.size(); ++i) {
                        if (b.firstChannel[i] < 0.25f) continue;
                        stamped = b.presentationTime.seconds() * 1e9 + static_cast<double>(i) * 1e9 / 48000;
                        return true;
                    }
                }
                return false;
            },
            5s);
        ASSERT_TRUE(stamped) << "click " << n << " never came";
        offsets.push_back((*stamped - static_cast<double>(*played)) / 1e6);
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + 900ms);
    }
    std::sort(offsets.begin(), offsets.end());
    std::string all;
    for (double offset : offsets) all += std::to_string(offset) + " ";
    RecordProperty("offsets_ms", all);
    // The sound server's timing and this process's wake-ups blur each measurement by a
    // few milliseconds, and a late wake-up may push one or two far out: the median
    // stays; a block stamped one block (40 ms) off is far outside.
    EXPECT_NEAR(offsets[2], 0.0, 20.0) << "clicks stamped " << all << "ms from when they were played";
}

TEST(SystemSoundWithoutServerTest, CannotStartAndSaysWhy) {
    setenv("PULSE_SERVER", "unix:/nonexistent/zentori/pulse/native", 1);
    auto error = platform::pulse::SystemSound::probe();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description.rfind("No se puede escuchar el sonido del sistema: ", 0), 0u) << error->description;

    platform::StreamConfiguration configuration;
    configuration.capturesAudio = true;
    auto stream = platform::createCaptureStream({{1, 2, 2}}, configuration, [](const platform::Error&) {});
    auto refused = stream->addAudioOutput(platform::dispatch::Queue::serial("sonido"), [](auto) {});
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->description.find("servidor de sonido"), std::string::npos) << refused->description;

    // A stream without system sound never asks the sound server.
    configuration.capturesAudio = false;
    auto silent = platform::createCaptureStream({{1, 2, 2}}, configuration, [](const platform::Error&) {});
    EXPECT_FALSE(silent->addAudioOutput(platform::dispatch::Queue::serial("sonido"), [](auto) {}));
}

// The capture stream's audio output, as the system-sound mode uses it: a 2x2 picture
// once a second, whose frames are dropped, and the speakers' sound.
class CaptureStreamSoundTest : public XServerTest {
protected:
    void SetUp() override {
        XServerTest::SetUp();
        if (IsSkipped()) return;
        sound_ = testsupport::SoundServer::start();
        ASSERT_TRUE(sound_);
        sound_->useInThisProcess();
    }
    std::unique_ptr<testsupport::SoundServer> sound_;
};

TEST_F(CaptureStreamSoundTest, DeliversSystemSoundAndCostsLittleOnTheVideoSide) {
    auto speakers = sound_->playTone(SoundServer::kSpeakers, kSpeakersHz, kAmplitude);
    platform::StreamConfiguration configuration;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = {1, 1};
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    std::atomic<int> stops{0};
    auto stream = platform::createCaptureStream({{1, 1920, 1080}}, configuration,
                                                [&stops](const platform::Error&) { ++stops; });
    auto queue = platform::dispatch::Queue::serial("altavoz");
    std::atomic<int> frames{0};
    ASSERT_FALSE(stream->addStreamOutput(platform::StreamOutputType::screen, queue,
                                         [&frames](auto, platform::StreamOutputType) { ++frames; }));
    BlockCollector collector;
    ASSERT_FALSE(stream->addAudioOutput(
        queue, [&collector](std::shared_ptr<const platform::AudioSampleBuffer> sample) { collector.add(*sample); }));

    std::promise<std::optional<platform::Error>> started;
    timespec cpuBefore{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
    const uint64_t wallBefore = platform::hostTimeNanos();
    stream->startCapture([&started](std::optional<platform::Error> error) { started.set_value(error); });
    auto startResult = started.get_future().get();
    ASSERT_FALSE(startResult) << startResult->description;

    // A changing screen, so the capture really grabs and scales each second.
    std::atomic<bool> painting{true};
    for (int i = 0; i < 30 && painting; ++i) {
        fill(0, 0, 1920, 1080, {static_cast<uint8_t>(i * 8), 40, 90});
        sync();
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(waitForTone(collector, kSpeakersHz, 0, 5s));
    timespec cpuAfter{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
    const double cpu = (cpuAfter.tv_sec - cpuBefore.tv_sec) + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
    const double wall = (platform::hostTimeNanos() - wallBefore) / 1e9;
    std::promise<void> stopped;
    stream->stopCapture([&stopped](std::optional<platform::Error>) { stopped.set_value(); });
    stopped.get_future().wait();

    // About one frame a second, and the whole process (capture, sound, the painting
    // client) well under a tenth of one core.
    EXPECT_LE(frames.load(), static_cast<int>(wall) + 3);
    EXPECT_GE(frames.load(), 2);
    EXPECT_LT(cpu / wall, 0.10) << "CPU " << cpu << " s in " << wall << " s";
    RecordProperty("cpu_share_percent", std::to_string(100 * cpu / wall));
    EXPECT_EQ(stops.load(), 0);
}

TEST_F(CaptureStreamSoundTest, LosingTheSoundServerStopsTheStreamOnce) {
    platform::StreamConfiguration configuration;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = {1, 1};
    configuration.capturesAudio = true;
    std::mutex mutex;
    std::vector<std::string> stops;
    auto stream = platform::createCaptureStream({{1, 1920, 1080}}, configuration, [&](const platform::Error& error) {
        std::scoped_lock lock(mutex);
        stops.push_back(error.description);
    });
    auto queue = platform::dispatch::Queue::serial("altavoz");
    ASSERT_FALSE(stream->addStreamOutput(platform::StreamOutputType::screen, queue, [](auto, auto) {}));
    ASSERT_FALSE(stream->addAudioOutput(queue, [](auto) {}));
    std::promise<std::optional<platform::Error>> started;
    stream->startCapture([&started](std::optional<platform::Error> error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());

    sound_.reset();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        {
            std::scoped_lock lock(mutex);
            if (!stops.empty() || std::chrono::steady_clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    stream.reset();
    std::scoped_lock lock(mutex);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].rfind("Se perdió la conexión con el servidor de sonido", 0), 0u) << stops[0];
}

}  // namespace
}  // namespace linuxtest
