// The MP4 writer, read back with ffprobe, libavformat and libavcodec: what is in the
// file, how long it says it is, where the sound and the pictures sit in time, what a
// crash leaves behind, and how a failed write is reported.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/file_writer.h"
#include "tests/linux/sound_fixture.h"
#include "tests/linux/writer_media.h"
#include "tests/support/child.h"
#include "tests/support/mp4_probe.h"

namespace linuxtest {
namespace {

using namespace std::chrono_literals;
using testsupport::ffprobeDurations;
using testsupport::Probe;
using testsupport::probe;
using testsupport::topLevelBoxes;

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::path(::testing::TempDir()) /
                  ("writer-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "grabacion.mp4").string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    bool finish(platform::FileWriter& writer) {
        std::promise<void> done;
        writer.finishWriting([&done] { done.set_value(); });
        return done.get_future().wait_for(30s) == std::future_status::ready;
    }

    // Time of the first sample louder than `threshold`, in seconds.
    static double onset(const Probe& p, float threshold) {
        for (size_t i = 0; i < p.sound.size(); ++i)
            if (std::fabs(p.sound[i]) > threshold) return p.soundStart + static_cast<double>(i) / writertest::kRate;
        return -1;
    }

    std::filesystem::path folder_;
    std::string path_;
};

TEST_F(WriterTest, AFinishedRecordingIsAnOrdinaryMp4WithItsTrueLength) {
    auto w = writertest::makeWriter(path_);
    ASSERT_TRUE(w.file);
    ASSERT_TRUE(w.file->startWriting()) << w.file->error()->description;
    const int64_t start = static_cast<int64_t>(platform::hostTimeNanos()) + 300'000'000;
    w.file->startSession({start, 1'000'000'000});
    // Media from before the session's start is not shown: a bright frame and loud
    // sound 0.3 s before it would show as an early flash and an early onset.
    auto early = std::make_shared<platform::VideoSample>();
    early->image = writertest::frame(1, 0, 0);
    early->presentationTime = {start - 300'000'000, 1'000'000'000};
    EXPECT_TRUE(w.video->append(early));
    EXPECT_TRUE(w.audio->append(writertest::chunk(start - 300'000'000, 0, 14400, [](double) { return 0.9f; })));
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + 300ms);  // the session's start comes
    // 3 s; the screen moves until 1.5 s, then stays still. Nothing is dropped, so the
    // first bright picture is the flash's own however busy the machine is.
    writertest::Plan plan;
    plan.lossless = true;
    w.video->setExpectsMediaDataInRealTime(false);
    w.audio->setExpectsMediaDataInRealTime(false);
    writertest::feed(w, plan, start);
    w.video->markAsFinished();
    w.audio->markAsFinished();
    w.file->endSession({start + 3'000'000'000LL, 1'000'000'000});
    const uint64_t closing = platform::hostTimeNanos();
    ASSERT_TRUE(finish(*w.file));
    RecordProperty("finish_ms", std::to_string((platform::hostTimeNanos() - closing) / 1'000'000));
    ASSERT_EQ(w.file->status(), platform::WriterStatus::completed)
        << (w.file->error() ? w.file->error()->description : "");

    // An ordinary MP4: one index, no fragments left.
    auto boxes = topLevelBoxes(path_);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);

    auto durations = ffprobeDurations(path_);
    ASSERT_TRUE(durations);
    EXPECT_NEAR(durations->format, 3.0, 0.1);
    EXPECT_NEAR(durations->video, 3.0, 0.1) << "a still screen shows until the end";
    EXPECT_NEAR(durations->audio, 3.0, 0.1);

    Probe p = probe(path_);
    ASSERT_TRUE(p.opened);
    ASSERT_TRUE(p.video && p.audio);
    EXPECT_EQ(p.video->codec, "h264");
    EXPECT_EQ(p.video->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(p.video->width, writertest::kWidth);
    EXPECT_EQ(p.video->height, writertest::kHeight);
    EXPECT_EQ(p.audio->codec, "aac");
    EXPECT_EQ(p.audio->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(p.audio->sampleRate, 48000);
    EXPECT_EQ(p.audio->channels, 2);
    EXPECT_EQ(p.decodeErrors, 0);

    // The tone at its frequency and level.
    const size_t from = static_cast<size_t>((1.0 - p.soundStart) * writertest::kRate);
    const size_t to = static_cast<size_t>((2.5 - p.soundStart) * writertest::kRate);
    ASSERT_GT(p.sound.size(), to);
    std::vector<float> steady(p.sound.begin() + from, p.sound.begin() + to);
    EXPECT_NEAR(amplitudeAt(steady, 1000), 0.5, 0.05);
    EXPECT_LT(amplitudeAt(steady, 700), 0.02);

    // Sound and picture together: the tone starts at 0.5 s, where the picture turns
    // bright; the encoder's priming samples are not heard before it.
    EXPECT_NEAR(p.soundStart, 0.0, 0.001);
    EXPECT_NEAR(onset(p, 0.1f), 0.5, 0.005);
    auto bright = std::find_if(p.pictures.begin(), p.pictures.end(), [](const auto& d) { return d.meanLuma > 120; });
    ASSERT_NE(bright, p.pictures.end());
    EXPECT_NEAR(bright->time, 0.5, 1.0 / 30 + 0.001);
    ASSERT_FALSE(p.pictures.empty());
    EXPECT_NEAR(p.pictures.front().time, 0.0, 0.001);
    EXPECT_GT(p.pictures.back().meanLuma, 120);
    // Key frames at most 2 s apart, and not much closer: each starts a fragment, cut
    // about every 1.75 s (the interval less a margin), which costs bits and writes.
    double lastKey = 0;
    int keys = 0;
    for (const auto& picture : p.pictures) {
        if (!picture.keyFrame) continue;
        EXPECT_LE(picture.time - lastKey, 2.0 + 1e-6);
        if (keys++ > 0) {
            EXPECT_GE(picture.time - lastKey, 1.5) << "a key frame at " << picture.time;
        }
        lastKey = picture.time;
    }
    EXPECT_EQ(keys, 2);
    EXPECT_LE(3.0 - lastKey, 2.0 + 1e-6);
}

TEST_F(WriterTest, AKilledWriterLeavesAFilePlayableToTwoSecondsBeforeTheKill) {
    // The screen is still after 0.6 s, only sound flows: the file must still grow.
    auto child = testsupport::Child::spawn({testsupport::binary("writer_child"), path_, "kill"});
    ASSERT_TRUE(child);
    auto first = child->readLine(10s);
    ASSERT_TRUE(first && first->rfind("start ", 0) == 0) << child->stderrText();
    const int64_t start = std::stoll(first->substr(6));
    for (;;) {
        auto line = child->readLine(10s);
        ASSERT_TRUE(line) << child->stderrText();
        if (std::stod(line->substr(2)) >= 4.8) break;
    }
    child->signal(SIGKILL);
    const double killedAt = (static_cast<double>(platform::hostTimeNanos()) - static_cast<double>(start)) / 1e9;
    ASSERT_TRUE(child->waitExit(10s));

    Probe p = probe(path_);
    ASSERT_TRUE(p.opened);
    ASSERT_TRUE(p.video && p.audio);
    EXPECT_EQ(p.decodeErrors, 0);
    const double soundEnd = p.soundStart + static_cast<double>(p.sound.size()) / writertest::kRate;
    EXPECT_GE(soundEnd, killedAt - 2.0) << "killed at " << killedAt << " s";
    EXPECT_GE(p.videoEnd, killedAt - 2.0) << "killed at " << killedAt << " s";
    RecordProperty("kill_loss_sound_ms", std::to_string(static_cast<int>((killedAt - soundEnd) * 1000)));
    RecordProperty("kill_loss_video_ms", std::to_string(static_cast<int>((killedAt - p.videoEnd) * 1000)));
    ASSERT_FALSE(p.pictures.empty());
    EXPECT_GT(p.pictures.back().meanLuma, 120);
    EXPECT_NEAR(onset(p, 0.1f), 0.5, 0.005);
}

TEST_F(WriterTest, AFileSizeLimitFailsTheWriterWithAReason) {
    auto child = testsupport::Child::spawn({testsupport::binary("writer_child"), path_, "limit"});
    ASSERT_TRUE(child);
    std::optional<std::string> failed, finished;
    for (;;) {
        auto line = child->readLine(20s);
        if (!line) break;
        if (line->rfind("failed\t", 0) == 0) failed = line->substr(7);
        if (line->rfind("finished ", 0) == 0) finished = line->substr(9);
    }
    ASSERT_TRUE(failed) << child->stderrText();
    EXPECT_NE(failed->find("el archivo supera el tamaño máximo permitido"), std::string::npos) << *failed;
    ASSERT_TRUE(finished);
    EXPECT_EQ(*finished, std::to_string(static_cast<int>(platform::WriterStatus::failed)));
    EXPECT_EQ(child->waitExit(10s), 0);
}

TEST_F(WriterTest, ARealTimeInputRefusesInsteadOfWaiting) {
    auto w = writertest::makeWriter(path_, 4'000'000, false);
    ASSERT_TRUE(w.file->startWriting());
    const int64_t start = static_cast<int64_t>(platform::hostTimeNanos());
    w.file->startSession({start, 1'000'000'000});
    // Noise, made beforehand so that the appends come faster than any encoder.
    std::vector<std::shared_ptr<platform::PixelBuffer>> noise;
    for (int n = 0; n < 8; ++n) noise.push_back(writertest::frame(0, 1, n, true));
    // Every frame is offered, ready or not: an input that waited for room would take
    // them all, one that refuses turns some away. How long an append took is no
    // measure of that on a shared machine, where any call may lose the processor.
    size_t accepted = 0;
    int refused = 0;
    for (int n = 0; n < 120; ++n) {
        auto sample = std::make_shared<platform::VideoSample>();
        sample->image = noise[n % noise.size()];
        sample->presentationTime = {start + n * 1'000'000LL, 1'000'000'000};
        if (w.video->append(sample)) ++accepted;
        else ++refused;
    }
    EXPECT_GT(refused, 0) << "120 frames in an instant were all taken: the input waited for the encoder";
    w.video->markAsFinished();
    ASSERT_TRUE(finish(*w.file));
    EXPECT_EQ(w.file->status(), platform::WriterStatus::completed);
    EXPECT_FALSE(w.video->readyForMoreMediaData());
    // What was taken is in the file, and nothing that was turned away.
    EXPECT_EQ(probe(path_).pictures.size(), accepted);
}

TEST_F(WriterTest, RefusesWhatItCannotWrite) {
    auto created = platform::createFileWriter((folder_ / "no-such-folder" / "x.mp4").string());
    ASSERT_TRUE(created);
    auto& writer = *created.value();
    platform::VideoInputSettings odd;
    odd.width = 321;
    odd.height = 240;
    odd.averageBitRate = 1'000'000;
    EXPECT_FALSE(writer.canAddInput(*writer.makeVideoInput(odd)));
    platform::VideoInputSettings reordering = odd;
    reordering.width = 320;
    reordering.allowFrameReordering = true;
    EXPECT_FALSE(writer.canAddInput(*writer.makeVideoInput(reordering)));
    auto mono = writertest::stereoFloat();
    mono.sampleRate = 44100;
    EXPECT_FALSE(writer.canAddInput(*writer.makeAudioInput({}, mono)));

    platform::VideoInputSettings good = odd;
    good.width = 320;
    auto input = writer.makeVideoInput(good);
    ASSERT_TRUE(writer.canAddInput(*input));
    writer.addInput(input);
    EXPECT_FALSE(writer.startWriting());
    EXPECT_EQ(writer.status(), platform::WriterStatus::failed);
    ASSERT_TRUE(writer.error());
    EXPECT_NE(writer.error()->description.find("la carpeta no existe"), std::string::npos)
        << writer.error()->description;

    // A library's failure in Spanish words, its code kept apart (shown once, after them).
    auto folder = writertest::makeWriter(folder_.string(), 1'000'000, false);
    ASSERT_TRUE(folder.file);
    EXPECT_FALSE(folder.file->startWriting());
    ASSERT_TRUE(folder.file->error() && folder.file->error()->underlying);
    EXPECT_EQ(folder.file->error()->description, "No se puede crear el archivo «" + folder_.string() + "»: es una carpeta");
    EXPECT_EQ(folder.file->error()->underlying->code, AVERROR(EISDIR));
}

// The file's two channels, decoded: the RMS of the left one and of left minus right.
std::optional<std::pair<double, double>> leftAndDifference(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closing(format, [](AVFormatContext* f) {
        avformat_close_input(&f);
    });
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (index < 0) return std::nullopt;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoder(avcodec_alloc_context3(codec),
                                                                      [](AVCodecContext* c) { avcodec_free_context(&c); });
    avcodec_parameters_to_context(decoder.get(), format->streams[index]->codecpar);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0 || decoder->ch_layout.nb_channels != 2) return std::nullopt;
    double left = 0, difference = 0;
    int64_t count = 0;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(decoder.get(), packet) >= 0) {
            while (avcodec_receive_frame(decoder.get(), frame) >= 0) {
                const auto* l = reinterpret_cast<const float*>(frame->data[0]);
                const auto* r = reinterpret_cast<const float*>(frame->data[1]);
                for (int i = 0; i < frame->nb_samples; ++i, ++count) {
                    left += double(l[i]) * l[i];
                    difference += double(l[i] - r[i]) * (l[i] - r[i]);
                }
            }
        }
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (count == 0) return std::nullopt;
    return std::pair{std::sqrt(left / count), std::sqrt(difference / count)};
}

TEST_F(WriterTest, AMonoSourceSoundsAlikeOnBothChannels) {
    auto w = writertest::makeWriter(path_, 1'000'000, false);
    ASSERT_TRUE(w.file);
    auto mono = writertest::stereoFloat();
    mono.channelsPerFrame = 1;
    mono.bytesPerPacket = mono.bytesPerFrame = 4;
    w.audio = w.file->makeAudioInput({}, mono);
    ASSERT_TRUE(w.file->canAddInput(*w.audio));
    w.file->addInput(w.audio);
    ASSERT_TRUE(w.file->startWriting());
    const int64_t start = static_cast<int64_t>(platform::hostTimeNanos());
    w.file->startSession({start, 1'000'000'000});
    auto picture = std::make_shared<platform::VideoSample>();
    picture->image = writertest::frame(0, 1, 0);
    picture->presentationTime = {start, 1'000'000'000};
    ASSERT_TRUE(w.video->append(picture));
    // 12 kHz, four samples a cycle: a channel read one sample off is a quarter cycle
    // off, which left minus right shows at once.
    for (int chunk = 0; chunk < 50; ++chunk) {
        auto sound = std::make_shared<platform::AudioSampleBuffer>();
        sound->description = mono;
        sound->frameCount = 960;
        std::vector<float> values(960);
        for (int i = 0; i < 960; ++i) values[i] = 0.5f * static_cast<float>(std::sin(M_PI / 2 * (i + 0.5)));
        std::vector<uint8_t> bytes(values.size() * 4);
        std::memcpy(bytes.data(), values.data(), bytes.size());
        sound->bufferList = std::vector<platform::AudioBuffer>{{1, std::move(bytes)}};
        sound->presentationTime = {start + chunk * 20'000'000LL, 1'000'000'000};
        ASSERT_TRUE(w.audio->append(sound));
    }
    w.video->markAsFinished();
    w.audio->markAsFinished();
    w.file->endSession({start + 1'000'000'000LL, 1'000'000'000});
    ASSERT_TRUE(finish(*w.file));
    ASSERT_EQ(w.file->status(), platform::WriterStatus::completed);
    auto levels = leftAndDifference(path_);
    ASSERT_TRUE(levels);
    EXPECT_NEAR(levels->first, 0.5 / std::sqrt(2.0), 0.05);
    EXPECT_LT(levels->second, 0.02) << "the right channel is not the left one";
}

TEST_F(WriterTest, APathHasOneWriterAndAWriterCompletesOnlyWithItsOwnFile) {
    auto w = writertest::makeWriter(path_, 1'000'000, false);
    ASSERT_TRUE(w.file);
    auto second = platform::createFileWriter(path_);
    ASSERT_FALSE(second) << "two writers on one path";
    EXPECT_EQ(second.error().description, "Otra grabación está escribiendo en «" + path_ + "»");

    ASSERT_TRUE(w.file->startWriting());
    const int64_t start = static_cast<int64_t>(platform::hostTimeNanos());
    w.file->startSession({start, 1'000'000'000});
    writertest::Plan plan;
    plan.seconds = plan.movingUntil = 0.5;
    plan.sound = false;
    writertest::feed(w, plan, start);
    // Someone else moves the file away and puts another in its place.
    std::filesystem::rename(path_, path_ + ".movido");
    std::ofstream(path_) << "otro";
    w.video->markAsFinished();
    w.file->endSession({start + 500'000'000, 1'000'000'000});
    ASSERT_TRUE(finish(*w.file));
    EXPECT_EQ(w.file->status(), platform::WriterStatus::failed);
    ASSERT_TRUE(w.file->error());
    EXPECT_EQ(w.file->error()->description, "El archivo «" + path_ + "» ya no está donde se grabó");
    std::string there;
    std::getline(std::ifstream(path_), there);
    EXPECT_EQ(there, "otro") << "the close replaced a file that was not its own";
}

TEST_F(WriterTest, FinishingAWriterThatNeverStartedReportsAFailure) {
    auto w = writertest::makeWriter(path_);
    ASSERT_TRUE(w.file);
    ASSERT_TRUE(finish(*w.file)) << "the completion must run";
    EXPECT_EQ(w.file->status(), platform::WriterStatus::failed);
    EXPECT_TRUE(w.file->error());
    EXPECT_FALSE(std::filesystem::exists(path_));
}

}  // namespace
}  // namespace linuxtest
