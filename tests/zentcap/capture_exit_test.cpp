// Flows that end the process, each run in a child process as the host would meet it:
// the exit status and the exact standard-error lines of every failure class, the
// first stop deciding the status, and the 2-second guard.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/dispatch.h"
#include "platform/sim/capture/sim_capture.h"
#include "tests/zentcap/flow_harness.h"

namespace zentcap {
namespace {

namespace sim = platform::sim;
using namespace std::chrono_literals;
using testing::ExitedWithCode;
using testing::HasSubstr;
using testing::Not;
using testing_support::defaultParameters;
using testing_support::runUntilExit;

constexpr const char* kStarted = "encoder H.264 en modo de baja latencia\ncaptura 1280x720 H.264 High, cursor=1\n";

platform::Error platformError(std::string description) { return {"sim", -3801, std::move(description), nullptr}; }

enum class Input { open, closed };

// The streams of a streamer run in a death-test child: commands come from a pipe whose
// write end stays open unless `input` is closed, packets go to `output` (the null
// device unless given), diagnostics to the child's own standard error.
struct ChildStreams {
    int inputWrite = -1;
    StandardStreams streams;
};

ChildStreams childStreams(Input input = Input::open, int output = -1) {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(98);
    ChildStreams child;
    child.streams.input = fds[0];
    child.streams.output = output >= 0 ? output : ::open("/dev/null", O_WRONLY);
    child.streams.error = 2;
    if (input == Input::closed) {
        ::close(fds[1]);
    } else {
        child.inputWrite = fds[1];
    }
    return child;
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// Runs `drive` on its own thread once the stream has started, while the main thread
// serves the main queue; the Capture ends the process.
[[noreturn]] void streamThen(const StreamParameters& parameters, const std::function<void(Capture&)>& drive,
                             ChildStreams child = childStreams()) {
    auto capture = Capture::create(parameters, child.streams);
    std::thread([capture, drive] {
        if (!sim::waitFor([] { return sim::streamRecord().startsCompleted == 1; })) ::_exit(96);
        drive(*capture);
    }).detach();
    runUntilExit(*capture);
}

// Submits one frame and waits until the encoder holds it.
void submitOneFrame() {
    size_t before = sim::submittedFrames().size();
    sim::deliverFrame();
    if (!sim::waitFor([before] { return sim::submittedFrames().size() > before; })) ::_exit(95);
}

class ExitFlow : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// ---- Capture start-up failures.

TEST_F(ExitFlow, MissingDisplayIsAStartFailure) {
    EXPECT_EXIT(
        {
            sim::reset();
            auto parameters = defaultParameters();
            parameters.displayID = 7;
            runUntilExit(*Capture::create(parameters, childStreams().streams));
        },
        ExitedWithCode(1), testing::Eq("Inicio de captura: invalid(\"No existe la pantalla 7\")\n"));
}

TEST_F(ExitFlow, ShareableContentErrorIsReportedWithItsDescription) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setContentAnswer({std::nullopt, platformError("El usuario no dio permiso")});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1), testing::Eq("ScreenCaptureKit: El usuario no dio permiso\n"));
}

TEST_F(ExitFlow, NeitherContentNorErrorIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setContentAnswer({std::nullopt, std::nullopt});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1), testing::Eq("ScreenCaptureKit no devolvió pantallas\n"));
}

TEST_F(ExitFlow, NoEncoderAtAllIsAStartFailure) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setCompressionScript({.anyCreate = -12915});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1),
        testing::Eq("Sin el modo de baja latencia (status(\"VT create (baja latencia)\", -12915)); se usa el normal\n"
                    "Sin encoder H.264 por hardware (-12915); se usa el de software\n"
                    "Inicio de captura: status(\"VT create\", -12915)\n"));
}

TEST_F(ExitFlow, RefusedPreparationIsAStartFailure) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setCompressionScript({.prepare = -12911});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1),
        testing::Eq("Sin el modo de baja latencia (status(\"VT prepare\", -12911)); se usa el normal\n"
                    "Inicio de captura: status(\"VT prepare\", -12911)\n"));
}

TEST_F(ExitFlow, RefusedStreamOutputIsAStartFailure) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setStreamScript({.addOutputError = platformError("Salida rechazada")});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1),
        testing::Eq("encoder H.264 en modo de baja latencia\nInicio de captura: Salida rechazada\n"));
}

TEST_F(ExitFlow, RefusedStreamStartIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setStreamScript({.startError = platformError("Pantalla ocupada")});
            runUntilExit(*Capture::create(defaultParameters(), childStreams().streams));
        },
        ExitedWithCode(1), testing::Eq("encoder H.264 en modo de baja latencia\nNo se pudo capturar: Pantalla ocupada\n"));
}

TEST_F(ExitFlow, StreamStoppingByItselfIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            streamThen(defaultParameters(), [](Capture&) { sim::stopStreamByItself(platformError("Pantalla desconectada")); });
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "Captura interrumpida: Pantalla desconectada\n"));
}

// ---- Encoder and output failures while streaming.

TEST_F(ExitFlow, RefusedSubmissionIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setCompressionScript({.encodeFrame = -12902});
            streamThen(defaultParameters(), [](Capture&) { sim::deliverFrame(); });
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "No se pudo codificar: -12902\n"));
}

TEST_F(ExitFlow, EncoderErrorStatusIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            streamThen(defaultParameters(), [](Capture&) {
                submitOneFrame();
                sim::completeNextFrame(-12345, 0, nullptr);
            });
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "VideoToolbox: -12345\n"));
}

TEST_F(ExitFlow, EncoderOutputWithoutSampleIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            streamThen(defaultParameters(), [](Capture&) {
                submitOneFrame();
                sim::completeNextFrame(0, 0, nullptr);
            });
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "VideoToolbox no produjo un fotograma\n"));
}

std::shared_ptr<platform::EncodedSample> sampleWith(int nalLengthSize, std::vector<uint8_t> body) {
    auto sample = sim::standardSample({0, 1'000'000}, true);
    sample->format = std::make_shared<sim::ScriptedFormat>(std::vector<std::vector<uint8_t>>{sim::standardSps()},
                                                           nalLengthSize);
    sample->data = std::make_shared<sim::ScriptedBlock>(std::move(body));
    return sample;
}

TEST_F(ExitFlow, UnusableFramesAreReportedAfterTheOutputPrefix) {
    struct Case {
        std::shared_ptr<platform::EncodedSample> sample;
        std::string line;
    };
    std::vector<Case> cases{
        {sampleWith(5, {0, 0, 0, 1, 0x41}), "Salida H.264: invalid(\"Cabecera NAL inválida\")\n"},
        {sampleWith(4, std::vector<uint8_t>(4 * 1024 * 1024 + 1, 1)), "Salida H.264: invalid(\"Fotograma supera 4 MB\")\n"},
        {sampleWith(4, {0, 0, 0, 9, 0x41}), "Salida H.264: invalid(\"Longitud NAL inválida\")\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                sim::reset();
                auto sample = c.sample;
                streamThen(defaultParameters(), [sample](Capture&) {
                    submitOneFrame();
                    sim::completeNextFrame(0, 0, sample);
                });
            },
            ExitedWithCode(1), testing::Eq(std::string(kStarted) + c.line));
    }
}

TEST_F(ExitFlow, ReaderThatWentAwayEndsTheStreamWithErrnoThirtyTwo) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setCompressionScript({.autoComplete = true});
            int fds[2];
            if (::pipe(fds) != 0) ::_exit(98);
            ::close(fds[0]);
            streamThen(defaultParameters(), [](Capture&) { sim::deliverFrame(); }, childStreams(Input::open, fds[1]));
        },
        ExitedWithCode(1),
        testing::Eq(std::string(kStarted) + "Salida H.264: invalid(\"Se cerró la salida de vídeo (errno 32)\")\n"));
}

// ---- Control channel.

TEST_F(ExitFlow, EndOfInputEndsTheStreamWithStatusZero) {
    EXPECT_EXIT(
        {
            sim::reset();
            auto child = childStreams();
            int inputWrite = child.inputWrite;
            streamThen(defaultParameters(), [inputWrite](Capture&) { ::close(inputWrite); }, child);
        },
        ExitedWithCode(0), testing::Eq(kStarted));
}

struct BadLine {
    std::string input;
    std::string line;  // the whole standard-error text
};

// Test names show the start of the input instead of the struct's bytes.
void PrintTo(const BadLine& bad, std::ostream* out) {
    *out << testing::PrintToString(bad.input.substr(0, 40)) << (bad.input.size() > 40 ? "..." : "");
}

class ControlChannelErrors : public testing::TestWithParam<BadLine> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The display request is held, so the control channel is the only voice.
TEST_P(ControlChannelErrors, EndTheStreamWithStatusOne) {
    const auto& bad = GetParam();
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setContentAnswer({sim::ContentAnswer{}.content, std::nullopt, true});
            auto child = childStreams();
            std::thread([fd = child.inputWrite, input = bad.input] {
                writeAll(fd, input);
                ::close(fd);  // a last line without terminator ends at the end of input
            }).detach();
            runUntilExit(*Capture::create(defaultParameters(), child.streams));
        },
        ExitedWithCode(1), testing::MatchesRegex(bad.line));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ControlChannelErrors,
    testing::Values(
        BadLine{std::string(4097, ' ') + "\n", "Orden de calidad: invalid\\(\"Orden demasiado larga\"\\)\n"},
        BadLine{std::string(1 << 20, '[') + "\n", "Orden de calidad: invalid\\(\"Orden demasiado larga\"\\)\n"},
        BadLine{"\n{\"clave\":false}\n", "Orden de calidad: invalid\\(\"Orden desconocida\"\\)\n"},
        BadLine{"{\"fps\":30}\n", "Orden de calidad: invalid\\(\"Orden desconocida\"\\)\n"},
        BadLine{"{}", "Orden de calidad: invalid\\(\"Orden desconocida\"\\)\n"},
        BadLine{"{\"fps\":121,\"bitrate\":1000000}\n", "Orden de calidad: invalid\\(\"fps o bitrate fuera de rango\"\\)\n"},
        BadLine{"{\"fps\":\"30\",\"bitrate\":1000000}\n",
                "Orden de calidad: \\[json\\.exception\\.type_error\\.302\\] type must be integer, but is string\n"},
        BadLine{"hola\r\n", "Orden de calidad: \\[json\\.exception\\.parse_error\\.101\\] .*\n"}));

TEST_F(ExitFlow, LineOfExactlyTheLimitIsDecoded) {
    // 4096 bytes of valid JSON: decoded and found unknown, not refused as too long.
    std::string line = "{\"x\":\"" + std::string(4096 - 8, 'a') + "\"}";
    ASSERT_EQ(line.size(), 4096u);
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setContentAnswer({sim::ContentAnswer{}.content, std::nullopt, true});
            auto child = childStreams();
            std::thread([fd = child.inputWrite, line] { writeAll(fd, line + "\r\n"); }).detach();
            runUntilExit(*Capture::create(defaultParameters(), child.streams));
        },
        ExitedWithCode(1), testing::Eq("Orden de calidad: invalid(\"Orden desconocida\")\n"));
}

TEST_F(ExitFlow, RefusedEncoderReconfigurationStopsTheRest) {
    EXPECT_EXIT(
        {
            sim::reset();
            auto child = childStreams();
            int fd = child.inputWrite;
            streamThen(
                defaultParameters(),
                [fd](Capture&) {
                    sim::setCompressionScript({.refusedProperties = {{platform::CompressionProperty::averageBitRate, -12900}}});
                    writeAll(fd, "{\"fps\":60,\"bitrate\":2000000}\n");
                },
                child);
        },
        ExitedWithCode(1),
        testing::Eq(std::string(kStarted) + "Configuración del encoder: status(\"VT property AverageBitRate\", -12900)\n"));
}

TEST_F(ExitFlow, RefusedStreamReconfigurationIsReported) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setStreamScript({.updateError = platformError("Configuración no admitida")});
            auto child = childStreams();
            int fd = child.inputWrite;
            streamThen(defaultParameters(), [fd](Capture&) { writeAll(fd, "{\"fps\":60,\"bitrate\":2000000}\n"); }, child);
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "Configuración de captura: Configuración no admitida\n"));
}

// ---- Stops.

TEST_F(ExitFlow, FirstStopDecidesTheStatus) {
    EXPECT_EXIT(
        {
            sim::reset();
            auto child = childStreams();
            int fd = child.inputWrite;
            streamThen(
                defaultParameters(),
                [fd](Capture& capture) {
                    capture.fail("primera");
                    ::close(fd);  // end of input: a stop with status 0, too late
                },
                child);
        },
        ExitedWithCode(1), testing::Eq(std::string(kStarted) + "primera\n"));
}

TEST_F(ExitFlow, SignalsStopWithStatusZero) {
    for (int signalNumber : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                sim::reset();
                streamThen(defaultParameters(), [signalNumber](Capture&) {
                    ::kill(::getpid(), signalNumber);
                    ::kill(::getpid(), signalNumber);
                });
            },
            ExitedWithCode(0), testing::Eq(kStarted));
    }
}

TEST_F(ExitFlow, StopBeforeTheDisplayIsFoundExitsAtOnce) {
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setContentAnswer({sim::ContentAnswer{}.content, std::nullopt, true});
            sim::setStreamScript({.stopCompletes = false});
            auto capture = Capture::create(defaultParameters(), childStreams().streams);
            std::thread([] {
                if (!sim::waitFor([] { return sim::contentRequests() == 1; })) ::_exit(96);
                ::kill(::getpid(), SIGTERM);
            }).detach();
            runUntilExit(*capture);
        },
        ExitedWithCode(0), testing::Eq(""));
}

TEST_F(ExitFlow, StopWithoutStreamCompletionEndsByTheGuardAndIgnoresTheStopReport) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setStreamScript({.stopCompletes = false});
            streamThen(defaultParameters(), [](Capture& capture) {
                capture.stop(0);
                sim::waitFor([] { return sim::streamRecord().stops == 1; });
                // The stream's report of its own stop is expected now and says nothing.
                sim::stopStreamByItself(platformError("Detenida"));
                capture.stop(1);
            });
        },
        ExitedWithCode(0), testing::Eq(kStarted));
    // The guard ends the process 2 s after the stop, not later (the child's start-up
    // on the scripted platform takes milliseconds; the rest is margin for a busy machine).
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 3500ms);
}

TEST_F(ExitFlow, StopInvalidatesTheEncoderAndStopsTheStream) {
    // The child exits only from the stop completion, after it has checked what the
    // stop sequence did; any other outcome is a different status.
    EXPECT_EXIT(
        {
            sim::reset();
            sim::setStreamScript({.stopCompletes = false});
            streamThen(defaultParameters(), [](Capture& capture) {
                submitOneFrame();
                capture.stop(0);
                bool done = sim::waitFor([] { return sim::streamRecord().stops == 1 && sim::invalidations() == 1; });
                // A frame that arrives now is not submitted, an output that comes is not written.
                sim::deliverFrame();
                sim::drainOutputQueue();
                ::_exit(done && sim::submittedFrames().size() == 1 ? 42 : 43);
            });
        },
        ExitedWithCode(42), testing::Eq(kStarted));
}

}  // namespace
}  // namespace zentcap
