// Microphones on a private sound server: which inputs are listed and how, the
// default, what a capture delivers and how steadily, and how its end is reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "platform/audio_capture.h"
#include "tests/support/child.h"
#include "tests/linux/sound_fixture.h"

namespace linuxtest {
namespace {

using platform::AudioDeviceType;
using testsupport::SoundServer;

constexpr double kToneHz = 1000;
constexpr float kToneAmplitude = 0.5f;

float tone(int64_t n) { return kToneAmplitude * static_cast<float>(std::sin(2 * M_PI * kToneHz * n / 48000.0)); }

const platform::AudioDevice* find(const std::vector<platform::AudioDevice>& devices, const std::string& id) {
    for (const auto& device : devices)
        if (device.uniqueID == id) return &device;
    return nullptr;
}

// A session on `device` whose handlers count into the members.
struct Recording {
    explicit Recording(const platform::AudioDevice& device) {
        platform::MicrophoneHandlers handlers;
        handlers.samples = [this](std::shared_ptr<const platform::AudioSampleBuffer> sample) { blocks.add(*sample); };
        handlers.runtimeError = [this](std::optional<platform::Error> error) {
            std::scoped_lock lock(mutex);
            runtimeErrors.push_back(error ? error->description : "(sin error)");
        };
        handlers.disconnected = [this] { ++disconnections; };
        opening = platform::openMicrophone(device, {}, platform::dispatch::Queue::serial("microfono"), handlers);
    }
    size_t errorCount() {
        std::scoped_lock lock(mutex);
        return runtimeErrors.size();
    }

    BlockCollector blocks;
    std::mutex mutex;
    std::vector<std::string> runtimeErrors;
    std::atomic<int> disconnections{0};
    platform::MicrophoneOpening opening;
};

class MicrophoneTest : public SoundServerTest {};

TEST_F(MicrophoneTest, ListsInputsButNotMonitorsInTheServersOrder) {
    ASSERT_TRUE(server_->addPipeSource("usb_mic", "Micrófono USB"));
    auto all = platform::discoverAudioDevices({AudioDeviceType::microphone});
    ASSERT_EQ(all.size(), 2u) << "monitors of sinks are not microphones";
    EXPECT_EQ(all[0].uniqueID, SoundServer::kMicrophone);
    EXPECT_EQ(all[0].localizedName, SoundServer::kMicrophoneDescription);
    EXPECT_EQ(all[0].transportType, platform::kTransportTypeBuiltIn);
    EXPECT_EQ(all[1].uniqueID, "usb_mic");
    EXPECT_EQ(all[1].localizedName, "Micrófono USB");
    EXPECT_NE(all[1].transportType, platform::kTransportTypeBuiltIn);

    auto builtIn = platform::discoverAudioDevices({AudioDeviceType::builtInMicrophone});
    ASSERT_EQ(builtIn.size(), 1u);
    EXPECT_EQ(builtIn[0].uniqueID, SoundServer::kMicrophone);
    // The older pair of kinds lists the same devices in the same order.
    auto both = platform::discoverAudioDevices({AudioDeviceType::builtInMicrophone, AudioDeviceType::externalUnknown});
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].uniqueID, SoundServer::kMicrophone);
    EXPECT_EQ(both[1].uniqueID, "usb_mic");

    auto defaultDevice = platform::defaultAudioInputDevice();
    ASSERT_TRUE(defaultDevice);
    EXPECT_EQ(defaultDevice->uniqueID, SoundServer::kMicrophone);
    EXPECT_EQ(platform::microphoneAuthorizationStatus(), platform::AuthorizationStatus::authorized);
}

TEST_F(MicrophoneTest, DeliversWhatTheMicrophoneHearsInSteadySmallBlocks) {
    testsupport::MicrophoneFeeder feeder(server_->fifoOf(SoundServer::kMicrophone), tone);
    ASSERT_TRUE(feeder.opened());
    auto device = platform::defaultAudioInputDevice();
    ASSERT_TRUE(device);
    Recording recording(*device);
    ASSERT_TRUE(recording.opening.session) << (recording.opening.deviceError ? recording.opening.deviceError->description : "");
    recording.opening.session->startRunning();
    // One second of sound after the first block.
    ASSERT_TRUE(recording.blocks.waitUntil(
        [](const std::vector<Block>& blocks) {
            return !blocks.empty() && blocks.back().arrival - blocks.front().arrival > 1'000'000'000;
        },
        10s));
    recording.opening.session->stopRunning();
    auto blocks = recording.blocks.blocks();

    const auto& d = blocks[0].description;
    EXPECT_EQ(d.formatID, platform::kAudioFormatLinearPCM);
    EXPECT_EQ(d.formatFlags, platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked);
    EXPECT_EQ(d.channelsPerFrame, 1u);
    EXPECT_EQ(d.bytesPerFrame, 4u);
    EXPECT_EQ(d.sampleRate, 48000);

    // Steady: blocks of at most 20 ms, none of the 2-second bursts a default
    // fragment size gives, and no long silence between arrivals.
    std::vector<int64_t> sizes;
    uint64_t longestGap = 0;
    for (size_t i = 1; i < blocks.size(); ++i) {
        sizes.push_back(blocks[i].frames);
        longestGap = std::max(longestGap, blocks[i].arrival - blocks[i - 1].arrival);
    }
    std::sort(sizes.begin(), sizes.end());
    ASSERT_FALSE(sizes.empty());
    const int64_t median = sizes[sizes.size() / 2];
    EXPECT_GE(median, 48 * 5) << "median block " << median << " frames";
    EXPECT_LE(median, 48 * 20) << "median block " << median << " frames";
    EXPECT_LE(sizes.back(), 48 * 100) << "largest block " << sizes.back() << " frames";
    EXPECT_LT(longestGap, uint64_t{150'000'000} * static_cast<uint64_t>(testsupport::timeScale())) << "longest gap between blocks " << longestGap / 1e6 << " ms";
    RecordProperty("median_block_ms", std::to_string(median / 48.0));
    RecordProperty("longest_gap_ms", std::to_string(longestGap / 1e6));

    // What was written: the tone at its level, and nothing else.
    auto heard = joined(blocks, blocks.size() / 4, blocks.size());
    // The level window by window (20 ms, twenty periods): over the whole second, one
    // span a busy server dropped would shift the phase and weigh as a lower level.
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(heard, kToneHz, 960), kToneAmplitude, 0.05);
    EXPECT_NEAR(rms(heard), kToneAmplitude / std::sqrt(2.0), 0.03);
    // Presentation times are host times close to the arrival.
    const auto& last = blocks.back();
    EXPECT_EQ(last.presentationTime.timescale, 1'000'000'000);
    EXPECT_LE(static_cast<uint64_t>(last.presentationTime.value), last.arrival);
    EXPECT_GT(static_cast<uint64_t>(last.presentationTime.value), last.arrival - 200'000'000);
}

TEST_F(MicrophoneTest, RemovingTheInputIsOneDisconnection) {
    auto module = server_->addPipeSource("usb_mic", "Micrófono USB");
    ASSERT_TRUE(module);
    testsupport::MicrophoneFeeder feeder(server_->fifoOf("usb_mic"), tone);
    auto devices = platform::discoverAudioDevices({AudioDeviceType::microphone});
    const platform::AudioDevice* usb = find(devices, "usb_mic");
    ASSERT_TRUE(usb);
    Recording recording(*usb);
    ASSERT_TRUE(recording.opening.session);
    recording.opening.session->startRunning();
    ASSERT_TRUE(recording.blocks.waitUntil([](const auto& blocks) { return blocks.size() >= 3; }, 10s));

    ASSERT_TRUE(server_->unloadModule(*module));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (recording.disconnections.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    // Destroying the session guarantees that nothing more is reported: what was
    // reported by then is all there will ever be.
    recording.opening.session.reset();
    EXPECT_EQ(recording.disconnections.load(), 1);
    EXPECT_EQ(recording.errorCount(), 0u) << recording.runtimeErrors[0];
}

TEST_F(MicrophoneTest, AnInputThatIsGoneCannotBeOpened) {
    platform::AudioDevice gone{"no_such_source", "Micrófono desaparecido", 0};
    Recording recording(gone);
    EXPECT_FALSE(recording.opening.session);
    ASSERT_TRUE(recording.opening.deviceError);
    EXPECT_NE(recording.opening.deviceError->description.find("Micrófono desaparecido"), std::string::npos);

    // Sound that is not 48 kHz mono float is not offered: no session and no error.
    platform::MicrophoneSettings stereo;
    stereo.channels = 2;
    auto device = platform::defaultAudioInputDevice();
    ASSERT_TRUE(device);
    auto refused = platform::openMicrophone(*device, stereo, platform::dispatch::Queue::serial("x"), {});
    EXPECT_FALSE(refused.session);
    EXPECT_FALSE(refused.deviceError);
}

TEST_F(MicrophoneTest, LosingTheServerIsARuntimeErrorInSpanish) {
    testsupport::MicrophoneFeeder feeder(server_->fifoOf(SoundServer::kMicrophone), tone);
    auto device = platform::defaultAudioInputDevice();
    ASSERT_TRUE(device);
    Recording recording(*device);
    ASSERT_TRUE(recording.opening.session);
    recording.opening.session->startRunning();
    ASSERT_TRUE(recording.blocks.waitUntil([](const auto& blocks) { return blocks.size() >= 3; }, 10s));
    server_.reset();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (recording.errorCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    recording.opening.session.reset();
    ASSERT_EQ(recording.errorCount(), 1u);
    EXPECT_EQ(recording.disconnections.load(), 0);
    EXPECT_EQ(recording.runtimeErrors[0].rfind("El micrófono dejó de funcionar", 0), 0u) << recording.runtimeErrors[0];
}

// Without a server there is nothing to deny and nothing to list.
TEST(MicrophoneWithoutServerTest, NoDevicesNoDefaultButAuthorized) {
    setenv("PULSE_SERVER", "unix:/nonexistent/zentori/pulse/native", 1);
    EXPECT_TRUE(platform::discoverAudioDevices({AudioDeviceType::microphone}).empty());
    EXPECT_FALSE(platform::defaultAudioInputDevice());
    EXPECT_EQ(platform::microphoneAuthorizationStatus(), platform::AuthorizationStatus::authorized);
    auto opening = platform::openMicrophone({"x", "x", 0}, {}, platform::dispatch::Queue::serial("x"), {});
    EXPECT_FALSE(opening.session);
    ASSERT_TRUE(opening.deviceError);
    EXPECT_NE(opening.deviceError->description.find("servidor de sonido"), std::string::npos);
}

// A server that refuses this client denies access: here a user the server does not
// know, without the server's cookie.
TEST(MicrophoneRefusedTest, AServerThatRefusesTheClientDeniesAccess) {
    if (testsupport::soundServerKind() != testsupport::SoundServerKind::pulseAudio)
        GTEST_SKIP() << "only PulseAudio's server checks cookies";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    testsupport::SoundServerOptions options;
    options.requireCookie = true;
    auto server = testsupport::SoundServer::start(options);
    ASSERT_TRUE(server);
    const std::string home = ::testing::TempDir() + "/nobody-home";
    auto child = testsupport::Child::spawn(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", testsupport::binary("sound_child")},
        {{"PULSE_SERVER", server->address()}, {"HOME", home}, {"PULSE_COOKIE", "/dev/null"}});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->readLine(15s), "denied") << child->stderrText();
    EXPECT_EQ(child->readLine(15s), "refused");
    EXPECT_EQ(child->waitExit(10s), 0);
}

}  // namespace
}  // namespace linuxtest
