// The scripted sound backend's contracts that the recorder's tests rely on: callbacks
// on the right queues and never inline, sessions silent once destroyed, held writer
// finishes, the converter's input protocol, and reset() detaching old objects.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/sim/sound/sim_sound.h"

namespace platform::sim {
namespace {

using namespace std::chrono_literals;

// Everything a microphone session reported, written from its callbacks.
struct Heard {
    std::mutex mutex;
    std::vector<std::shared_ptr<const AudioSampleBuffer>> samples;
    std::vector<bool> onMicrophoneQueue;
    std::vector<std::string> ends;  // "error:<description>", "error:none", "disconnected"
    std::vector<std::thread::id> endThreads;

    size_t endCount() {
        std::scoped_lock lock(mutex);
        return ends.size();
    }
};

class SimSoundTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    MicrophoneOpening open(const std::shared_ptr<Heard>& heard, MicrophoneSettings settings = {}) {
        MicrophoneHandlers handlers;
        handlers.samples = [heard, queue = queue_](std::shared_ptr<const AudioSampleBuffer> sample) {
            std::scoped_lock lock(heard->mutex);
            heard->samples.push_back(std::move(sample));
            heard->onMicrophoneQueue.push_back(queue.isCurrent());
        };
        handlers.runtimeError = [heard](std::optional<Error> error) {
            std::scoped_lock lock(heard->mutex);
            heard->ends.push_back("error:" + (error ? error->description : std::string("none")));
            heard->endThreads.push_back(std::this_thread::get_id());
        };
        handlers.disconnected = [heard] {
            std::scoped_lock lock(heard->mutex);
            heard->ends.push_back("disconnected");
            heard->endThreads.push_back(std::this_thread::get_id());
        };
        return openMicrophone(builtInMicrophone(), settings, queue_, std::move(handlers));
    }

    dispatch::Queue queue_ = dispatch::Queue::serial("microfono");
};

TEST_F(SimSoundTest, DiscoveryAnswersPerRequestedTypes) {
    AudioDevice usb{"usb", "USB", 0};
    setAudioDevicesFor({AudioDeviceType::microphone}, {usb, builtInMicrophone()});
    EXPECT_EQ(discoverAudioDevices({AudioDeviceType::microphone}).size(), 2u);
    auto others = discoverAudioDevices({AudioDeviceType::builtInMicrophone, AudioDeviceType::externalUnknown});
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0].uniqueID, "sim.mic.builtin");
    auto asked = deviceDiscoveries();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1], (std::vector{AudioDeviceType::builtInMicrophone, AudioDeviceType::externalUnknown}));

    setDefaultAudioDevice(std::nullopt);
    EXPECT_FALSE(defaultAudioInputDevice());
}

TEST_F(SimSoundTest, AccessAnswersOnAPlatformThreadOrWhenTheTestSays) {
    setMicrophoneAuthorization(AuthorizationStatus::notDetermined);
    std::atomic<int> answer{-1};
    std::atomic<bool> inline_{false};
    auto caller = std::this_thread::get_id();
    requestMicrophoneAccess([&](bool granted) {
        inline_ = std::this_thread::get_id() == caller;
        answer = granted;
    });
    ASSERT_TRUE(waitFor([&] { return answer != -1; }));
    EXPECT_EQ(answer, 1);
    EXPECT_FALSE(inline_);
    EXPECT_EQ(microphoneAuthorizationStatus(), AuthorizationStatus::authorized);

    setMicrophoneAccessAnswer(AccessAnswer::hold);
    answer = -1;
    requestMicrophoneAccess([&](bool granted) { answer = granted; });
    EXPECT_EQ(microphoneAccessRequests(), 2);
    EXPECT_TRUE(answerAccessRequest(false));
    ASSERT_TRUE(waitFor([&] { return answer != -1; }));
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(microphoneAuthorizationStatus(), AuthorizationStatus::denied);
    EXPECT_FALSE(answerAccessRequest(true));
}

TEST_F(SimSoundTest, OpeningRefusalsAndRecords) {
    auto heard = std::make_shared<Heard>();
    setMicrophoneScript({.deviceError = Error{"sim", 7, "ocupado"}});
    auto refused = open(heard);
    EXPECT_FALSE(refused.session);
    ASSERT_TRUE(refused.deviceError);
    EXPECT_EQ(refused.deviceError->code, 7);

    setMicrophoneScript({.sessionRefuses = true});
    auto neither = open(heard);
    EXPECT_FALSE(neither.session);
    EXPECT_FALSE(neither.deviceError);

    setMicrophoneScript({});
    MicrophoneSettings settings;
    settings.channels = 2;
    auto opened = open(heard, settings);
    ASSERT_TRUE(opened.session);
    auto opens = microphoneOpens();
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_FALSE(opens[0].opened);
    EXPECT_TRUE(opens[2].opened);
    EXPECT_EQ(opens[2].settings.channels, 2u);
    EXPECT_EQ(opens[2].queueLabel, "microfono");
}

TEST_F(SimSoundTest, SamplesReachTheHandlerOnItsQueueOnlyWhileRunning) {
    auto heard = std::make_shared<Heard>();
    auto opening = open(heard);
    ASSERT_TRUE(opening.session);
    EXPECT_FALSE(deliverMicrophoneFloats({0.5f}));  // not started

    opening.session->startRunning();
    ASSERT_TRUE(deliverMicrophoneFloats({0.25f, -0.5f, 1.0f}));
    ASSERT_TRUE(deliverMicrophoneSamples(floatSampleBuffer({1, 3, -1, -3}, 2, SampleLayout::nonInterleaved, {})));
    ASSERT_TRUE(drainMicrophone());
    EXPECT_EQ(microphoneSession().samplesHandled, 2);

    std::scoped_lock lock(heard->mutex);
    ASSERT_EQ(heard->samples.size(), 2u);
    EXPECT_EQ(heard->onMicrophoneQueue, (std::vector{true, true}));
    const auto& mono = *heard->samples[0];
    ASSERT_TRUE(mono.description);
    EXPECT_EQ(mono.description->channelsPerFrame, 1u);
    EXPECT_EQ(mono.frameCount, 3);
    EXPECT_EQ(decodeFloatSamples(mono), (std::vector<float>{0.25f, -0.5f, 1.0f}));
    EXPECT_EQ(decodeFloatSamples(*heard->samples[1]), (std::vector<float>{1, 3, -1, -3}));
    EXPECT_EQ(heard->samples[1]->bufferList->size(), 2u);
}

TEST_F(SimSoundTest, RuntimeErrorsAndDisconnectionsEndTheSessionOnAPlatformThread) {
    auto heard = std::make_shared<Heard>();
    auto opening = open(heard);
    opening.session->startRunning();
    ASSERT_TRUE(failMicrophone(Error{"sim", 1, "se cayó"}));
    EXPECT_FALSE(deliverMicrophoneFloats({0.1f}));
    EXPECT_FALSE(disconnectMicrophone());  // it reports nothing more
    ASSERT_TRUE(drainMicrophone());
    {
        std::scoped_lock lock(heard->mutex);
        EXPECT_EQ(heard->ends, (std::vector<std::string>{"error:se cayó"}));
        EXPECT_NE(heard->endThreads[0], std::this_thread::get_id());
    }

    auto second = open(heard);
    ASSERT_TRUE(disconnectMicrophone());
    ASSERT_TRUE(drainMicrophone());
    EXPECT_EQ(heard->endCount(), 2u);
    EXPECT_TRUE(microphoneSession().ended);
}

TEST_F(SimSoundTest, DestroyingASessionWaitsForItsRunningHandler) {
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    std::atomic<bool> destructorReturned{false};
    std::atomic<bool> ranAfterDestruction{false};
    MicrophoneHandlers handlers;
    handlers.samples = [&](std::shared_ptr<const AudioSampleBuffer>) {
        if (destructorReturned) ranAfterDestruction = true;
        ++calls;
        waitFor([&] { return release.load(); });
        if (destructorReturned) ranAfterDestruction = true;
    };
    auto opening = openMicrophone(builtInMicrophone(), {}, queue_, std::move(handlers));
    opening.session->startRunning();
    ASSERT_TRUE(deliverMicrophoneFloats({0.1f}));
    ASSERT_TRUE(deliverMicrophoneFloats({0.2f}));  // queued behind the first
    ASSERT_TRUE(waitFor([&] { return calls == 1; }));

    std::thread destroyer([&] {
        opening.session.reset();
        destructorReturned = true;
    });
    ASSERT_TRUE(waitFor([] { return microphoneSession().destroyed; }));
    release = true;
    destroyer.join();
    ASSERT_TRUE(drainMicrophone());
    EXPECT_FALSE(ranAfterDestruction);
    EXPECT_LE(calls, 2);  // the second ran only if it started before the destructor closed the session
    EXPECT_FALSE(deliverMicrophoneFloats({0.3f}));
}

TEST_F(SimSoundTest, ASessionDestroyedByItsOwnHandlerHearsNothingMore) {
    std::unique_ptr<MicrophoneSession> session;
    std::atomic<int> calls{0};
    MicrophoneHandlers handlers;
    handlers.samples = [&](std::shared_ptr<const AudioSampleBuffer>) {
        ++calls;
        session.reset();
    };
    session = openMicrophone(builtInMicrophone(), {}, queue_, std::move(handlers)).session;
    session->startRunning();
    // Both are queued before the first runs, since the queue waits for this test's go.
    std::atomic<bool> go{false};
    queue_.async([&] { waitFor([&] { return go.load(); }); });
    ASSERT_TRUE(deliverMicrophoneFloats({0.1f}));
    ASSERT_TRUE(deliverMicrophoneFloats({0.2f}));
    go = true;
    ASSERT_TRUE(drainMicrophone());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(microphoneSession().destroyed);
}

TEST_F(SimSoundTest, ResetDetachesOldObjects) {
    auto heard = std::make_shared<Heard>();
    auto opening = open(heard);
    opening.session->startRunning();
    auto writer = createFileWriter("old.mp4");
    ASSERT_TRUE(writer.ok());
    setWriterScript({.holdFinish = true});

    reset();
    EXPECT_FALSE(microphoneSession().exists);
    EXPECT_FALSE(deliverMicrophoneFloats({0.1f}));
    EXPECT_FALSE(failMicrophone(std::nullopt));
    EXPECT_FALSE(writerRecord().created);
    EXPECT_TRUE(writerPaths().empty());

    // The old writer's finish never reaches this world, whatever the new script says.
    std::atomic<bool> finished{false};
    writer.value()->finishWriting([&] { finished = true; });
    EXPECT_FALSE(releaseFinish());
    EXPECT_FALSE(drainSystemSound(50ms));  // no stream: nothing to drain
    EXPECT_FALSE(finished);
}

TEST_F(SimSoundTest, SystemSoundReachesTheAudioOutputOnItsQueue) {
    StreamConfiguration configuration;
    configuration.capturesAudio = true;
    auto stream = createCaptureStream({}, configuration, [](const Error&) {});
    setStreamScript({.addAudioOutputError = Error{"sim", 3, "sin sonido"}});
    auto queue = dispatch::Queue::serial("sonido");
    std::mutex mutex;
    std::vector<std::vector<float>> heard;
    std::vector<bool> onQueue;
    AudioSampleHandler handler = [&](std::shared_ptr<const AudioSampleBuffer> sample) {
        std::scoped_lock lock(mutex);
        heard.push_back(decodeFloatSamples(*sample));
        onQueue.push_back(queue.isCurrent());
    };
    auto refusal = stream->addAudioOutput(queue, handler);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->code, 3);
    EXPECT_FALSE(deliverSystemSoundFloats({0.1f, 0.2f}));

    setStreamScript({});
    EXPECT_FALSE(stream->addAudioOutput(queue, handler));
    EXPECT_EQ(streamRecord().audioOutputs, 1);
    EXPECT_EQ(streamRecord().audioOutputQueue, "sonido");
    ASSERT_TRUE(deliverSystemSoundFloats({0.1f, 0.2f, 0.3f, 0.4f}));
    ASSERT_TRUE(deliverSystemSoundFloats({0.5f, 0.6f}, SampleLayout::nonInterleaved));
    ASSERT_TRUE(drainSystemSound());
    {
        std::scoped_lock lock(mutex);
        EXPECT_EQ(heard, (std::vector<std::vector<float>>{{0.1f, 0.2f, 0.3f, 0.4f}, {0.5f, 0.6f}}));
        EXPECT_EQ(onQueue, (std::vector{true, true}));
    }

    // A configuration without system sound delivers none.
    configuration.capturesAudio = false;
    std::atomic<bool> updated{false};
    stream->updateConfiguration(configuration, [&](std::optional<Error>) { updated = true; });
    ASSERT_TRUE(waitFor([&] { return updated.load(); }));
    EXPECT_FALSE(deliverSystemSoundFloats({0.1f, 0.2f}));

    EXPECT_EQ(mainDisplayID(), 1u);
    setMainDisplayID(4);
    EXPECT_EQ(mainDisplayID(), 4u);
}

std::shared_ptr<const VideoSample> frameAt(int64_t value) {
    auto sample = std::make_shared<VideoSample>();
    sample->presentationTime = {value, 600};
    return sample;
}

TEST_F(SimSoundTest, WriterRecordsWhatReachedItAndFailsWhenTold) {
    auto created = createFileWriter("out.mp4");
    ASSERT_TRUE(created.ok());
    auto& writer = *created.value();
    writer.setMovieFragmentInterval({1200, 600});
    auto video = writer.makeVideoInput({.width = 640, .height = 360});
    video->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(writer.canAddInput(*video));
    writer.addInput(video);
    setWriterScript({.refuseAudioInput = true});
    auto audio = writer.makeAudioInput({}, {});
    EXPECT_FALSE(writer.canAddInput(*audio));
    EXPECT_FALSE(video->readyForMoreMediaData());  // not writing yet

    ASSERT_TRUE(writer.startWriting());
    writer.startSession({10, 600});
    EXPECT_TRUE(video->readyForMoreMediaData());
    EXPECT_TRUE(video->append(frameAt(10)));
    setInputReady(InputKind::video, false);
    EXPECT_FALSE(video->readyForMoreMediaData());
    failWriterAtNextAppend(InputKind::video, Error{"sim", 28, "disco lleno"});
    EXPECT_FALSE(video->append(frameAt(30)));
    EXPECT_EQ(writer.status(), WriterStatus::failed);
    ASSERT_TRUE(writer.error());
    EXPECT_EQ(writer.error()->code, 28);

    auto record = writerRecord();
    EXPECT_EQ(record.path, "out.mp4");
    EXPECT_EQ(record.fragmentInterval, (MediaTime{2, 1}));
    EXPECT_EQ(record.videoSettings->width, 640);
    EXPECT_TRUE(record.video.added);
    EXPECT_EQ(record.video.expectsRealTime, true);
    EXPECT_FALSE(record.audio.added);
    ASSERT_EQ(record.frames.size(), 2u);
    EXPECT_TRUE(record.frames[0].accepted);
    EXPECT_FALSE(record.frames[1].accepted);
    EXPECT_EQ(record.frames[1].presentationTime, (MediaTime{30, 600}));
    EXPECT_EQ(record.calls.front(), "setMovieFragmentInterval");
    EXPECT_EQ(record.calls.back(), "append(video)");

    setWriterScript({.createError = Error{"sim", 13, "sin permiso"}});
    auto refused = createFileWriter("otro.mp4");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, 13);
    EXPECT_EQ(writerPaths(), (std::vector<std::string>{"out.mp4", "otro.mp4"}));
}

TEST_F(SimSoundTest, WriterRecordsAudioAsFloats) {
    auto created = createFileWriter("out.mp4");
    auto& writer = *created.value();
    auto audio = writer.makeAudioInput({}, {});
    writer.addInput(audio);
    ASSERT_TRUE(writer.startWriting());
    EXPECT_FALSE(audio->append(std::make_shared<AudioSampleBuffer>(
        floatSampleBuffer({0.5f, -0.5f}, 2, SampleLayout::interleaved, {2112, 48000}))));  // no session yet
    writer.startSession({0, 48000});
    EXPECT_TRUE(audio->append(std::make_shared<AudioSampleBuffer>(
        floatSampleBuffer({0.5f, -0.5f, 0.25f, 0}, 2, SampleLayout::interleaved, {2112, 48000}))));
    auto chunks = writerRecord().audioChunks;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_FALSE(chunks[0].accepted);
    EXPECT_TRUE(chunks[1].accepted);
    EXPECT_EQ(chunks[1].frameCount, 2);
    EXPECT_EQ(chunks[1].presentationTime, (MediaTime{2112, 48000}));
    EXPECT_EQ(chunks[1].samples, (std::vector<float>{0.5f, -0.5f, 0.25f, 0}));
}

TEST_F(SimSoundTest, HeldFinishCompletesOnAPlatformQueueWhenReleased) {
    setWriterScript({.holdFinish = true});
    auto created = createFileWriter("out.mp4");
    auto& writer = *created.value();
    ASSERT_TRUE(writer.startWriting());
    auto caller = std::this_thread::get_id();
    std::atomic<bool> finished{false};
    std::atomic<bool> inline_{false};
    std::atomic<int> statusSeen{-1};
    writer.finishWriting([&] {
        inline_ = std::this_thread::get_id() == caller;
        statusSeen = static_cast<int>(writer.status());
        finished = true;
    });
    EXPECT_EQ(writerRecord().finishCalls, 1);
    EXPECT_EQ(writer.status(), WriterStatus::writing);
    EXPECT_FALSE(finished);

    ASSERT_TRUE(releaseFinish(WriterStatus::failed, Error{"sim", 5, "no cierra"}));
    ASSERT_TRUE(waitFor([] { return writerRecord().finishCompletions == 1; }));
    EXPECT_TRUE(finished);
    EXPECT_FALSE(inline_);
    EXPECT_EQ(statusSeen, static_cast<int>(WriterStatus::failed));
    EXPECT_EQ(writer.error()->code, 5);
    EXPECT_FALSE(releaseFinish());
}

TEST_F(SimSoundTest, FinishCompletesAtOnceByDefaultButNeverInline) {
    auto created = createFileWriter("out.mp4");
    auto& writer = *created.value();
    ASSERT_TRUE(writer.startWriting());
    auto caller = std::this_thread::get_id();
    std::atomic<bool> finished{false};
    std::atomic<bool> inline_{false};
    writer.finishWriting([&] {
        inline_ = std::this_thread::get_id() == caller;
        finished = true;
    });
    ASSERT_TRUE(waitFor([&] { return finished.load(); }));
    EXPECT_FALSE(inline_);
    EXPECT_EQ(writer.status(), WriterStatus::completed);
}

TEST_F(SimSoundTest, ConverterPullsInputLikeARealOneAndMakesScriptedPackets) {
    setConverterScript({.refuseCreation = true});
    AudioStreamDescription pcm{48000, kAudioFormatLinearPCM, 41, 4, 1, 4, 1, 32};
    AudioStreamDescription opus{48000, kAudioFormatOpus, 0, 0, 960, 0, 1, 0};
    EXPECT_FALSE(createAudioConverter(pcm, opus));

    setConverterScript({.maximumOutputPacketSize = 400,
                        .conversions = {{.bytes = 200}, {.status = ConverterOutputStatus::error}, {.bytes = 0}},
                        .otherwise = {.bytes = 1600}});
    auto converter = createAudioConverter(pcm, opus);
    ASSERT_TRUE(converter);
    converter->setBitRate(64000);
    EXPECT_EQ(converter->maximumOutputPacketSize(), 400u);

    auto block = std::make_shared<PCMBuffer>();
    block->samples.assign(960, 0.5f);
    auto convertOnce = [&] {
        CompressedBuffer output{.packetCapacity = 1, .maximumPacketSize = 1500};
        bool handedOver = false;
        auto status = converter->convert(output, [&](ConverterInputStatus& inputStatus) {
            if (handedOver) {
                inputStatus = ConverterInputStatus::noDataNow;
                return std::shared_ptr<const PCMBuffer>();
            }
            handedOver = true;
            inputStatus = ConverterInputStatus::haveData;
            return std::shared_ptr<const PCMBuffer>(block);
        });
        return std::pair{status, output.data};
    };
    EXPECT_EQ(convertOnce(), std::pair(ConverterOutputStatus::haveData, scriptedPacket(0, 200)));
    EXPECT_EQ(convertOnce().first, ConverterOutputStatus::error);
    EXPECT_EQ(convertOnce(), std::pair(ConverterOutputStatus::haveData, std::vector<uint8_t>{}));
    EXPECT_EQ(convertOnce().first, ConverterOutputStatus::error);  // 1600 bytes do not fit 1500

    auto record = converterRecord();
    EXPECT_EQ(record.to.formatID, kAudioFormatOpus);
    EXPECT_EQ(record.bitRates, (std::vector<int64_t>{64000}));
    ASSERT_EQ(record.conversions.size(), 4u);
    EXPECT_EQ(record.conversions[0].inputStatuses,
              (std::vector{ConverterInputStatus::haveData, ConverterInputStatus::noDataNow}));
    ASSERT_EQ(record.conversions[0].blocks.size(), 1u);
    EXPECT_EQ(record.conversions[0].blocks[0], block->samples);
    EXPECT_EQ(record.conversions[0].maximumPacketSize, 1500u);

    // A block that says haveData without a buffer is an error, not a packet.
    CompressedBuffer output{.packetCapacity = 1, .maximumPacketSize = 1500};
    EXPECT_EQ(converter->convert(output,
                                 [](ConverterInputStatus& status) {
                                     status = ConverterInputStatus::haveData;
                                     return std::shared_ptr<const PCMBuffer>();
                                 }),
              ConverterOutputStatus::error);
    EXPECT_TRUE(output.data.empty());
}

TEST_F(SimSoundTest, SystemVersionSatisfiesEveryCheckUnlessSet) {
    EXPECT_TRUE(runningSystemAtLeast({99, 0, 0}));
    setSystemVersion(SystemVersion{13, 2, 0});
    EXPECT_TRUE(runningSystemAtLeast({13, 0, 0}));
    EXPECT_FALSE(runningSystemAtLeast({14, 0, 0}));
    EXPECT_EQ(systemVersionChecks().size(), 3u);
}

}  // namespace
}  // namespace platform::sim
