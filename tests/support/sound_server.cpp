#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
// How long a daemon may take to come up. Only a wait: on a busy machine a start takes
// seconds, and nothing here measures how fast it is.
constexpr auto kStartLimit = std::chrono::seconds(60);

// Whether a Unix socket accepts connections: its file appears when the server binds,
// a moment before it listens.
bool listening(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string pipeSourceArguments(const std::string& name, const std::string& fifo, const std::string& description,
                                const std::string& formFactor) {
    std::string properties = "device.description=\"" + description + "\"";
    if (!formFactor.empty()) properties += " device.form_factor=" + formFactor;
    return "source_name=" + name + " file=" + fifo + " format=float32le rate=48000 channels=1 source_properties='" +
           properties + "'";
}

}  // namespace

SoundServerKind soundServerKind() {
    const char* chosen = std::getenv("ZENT_TEST_SOUND_SERVER");
    return chosen && std::string(chosen) == "pipewire" ? SoundServerKind::pipeWire : SoundServerKind::pulseAudio;
}

std::unique_ptr<SoundServer> SoundServer::start(SoundServerOptions options) {
    std::unique_ptr<SoundServer> server(new SoundServer());
    server->options_ = options;
    char folder[] = "/tmp/zentori-sound-XXXXXX";
    if (!mkdtemp(folder)) return nullptr;
    chmod(folder, 0700);
    server->folder_ = folder;
    const std::string home = server->folder_ + "/home";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(server->folder_ + "/pulse");
    server->address_ = "unix:" + server->folder_ + "/pulse/native";
    std::map<std::string, std::string> env{{"HOME", home},
                                           {"XDG_RUNTIME_DIR", server->folder_},
                                           {"XDG_CONFIG_HOME", home + "/.config"},
                                           {"PULSE_SERVER", ""},
                                           {"DISPLAY", ""}};
    const std::string mic = server->fifoOf(kMicrophone);

    if (options.kind == SoundServerKind::pulseAudio) {
        const std::string config = server->folder_ + "/server.pa";
        std::ofstream file(config);
        file << "load-module module-native-protocol-unix socket=" << server->folder_ << "/pulse/native "
             << (options.requireCookie ? "auth-anonymous=0 auth-cookie-enabled=1" : "auth-anonymous=1") << "\n"
             << "load-module module-null-sink sink_name=" << kSpeakers
             << " sink_properties=device.description=Altavoces\n"
             << "load-module module-pipe-source "
             << pipeSourceArguments(kMicrophone, mic, kMicrophoneDescription, "internal") << "\n"
             << "set-default-sink " << kSpeakers << "\n"
             << "set-default-source " << kMicrophone << "\n";
        file.close();
        auto daemon = Child::spawn({"pulseaudio", "-n", "-F", config, "--exit-idle-time=-1", "--daemonize=no",
                                    "--use-pid-file=no", "--log-target=stderr", "--log-level=error"},
                                   env);
        if (!daemon) return nullptr;
        server->daemons_.push_back(std::move(daemon));
        if (!server->waitUntilReady()) return nullptr;
        if (options.requireCookie) {
            // Reachable, not readable: the cookie check is what keeps others out.
            chmod(server->folder_.c_str(), 0711);
            chmod((server->folder_ + "/pulse").c_str(), 0711);
            chmod((server->folder_ + "/pulse/native").c_str(), 0777);
        }
        return server;
    }

    // PipeWire: a session bus, the graph, its session manager and its PulseAudio
    // server, each a child of the test ended by its PID. Each starts once what it
    // connects to listens: the session manager gives up at once when the graph is not
    // there yet, and the PulseAudio server then starts without some of its modules.
    const std::string bus = server->folder_ + "/bus";
    auto start = [&](std::vector<std::string> argv) {
        auto daemon = Child::spawn(std::move(argv), env);
        if (!daemon) return false;
        server->daemons_.push_back(std::move(daemon));
        return true;
    };
    if (!start({"dbus-daemon", "--session", "--address=unix:path=" + bus, "--nofork", "--nopidfile"}) ||
        !server->waitWhileDaemonsRun([&] { return listening(bus); }, "the session bus"))
        return nullptr;
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus;
    const std::string graph = server->folder_ + "/pipewire-0";
    if (!start({"pipewire"}) || !server->waitWhileDaemonsRun([&] { return listening(graph); }, "pipewire"))
        return nullptr;
    if (!start({"wireplumber"}) || !start({"pipewire-pulse"}) || !server->waitUntilReady()) return nullptr;
    if (!server->addNullSink(kSpeakers) || !server->addPipeSource(kMicrophone, kMicrophoneDescription, "internal") ||
        !server->setDefaultSink(kSpeakers) || !server->setDefaultSource(kMicrophone)) {
        std::fprintf(stderr, "PipeWire did not take the speakers and the microphone\n");
        return nullptr;
    }
    // The session manager applies defaults asynchronously: wait until they show.
    std::string info;
    if (!server->waitWhileDaemonsRun(
            [&] {
                server->pactl({"info"}, &info);
                return info.find(std::string("Default Sink: ") + kSpeakers) != std::string::npos &&
                       info.find(std::string("Default Source: ") + kMicrophone) != std::string::npos;
            },
            "the defaults")) {
        std::fprintf(stderr, "what the server says:\n%s\n", info.c_str());
        return nullptr;
    }
    return server;
}

bool SoundServer::waitWhileDaemonsRun(const std::function<bool()>& condition, const char* what) const {
    const auto deadline = Clock::now() + kStartLimit;
    for (;;) {
        if (condition()) return true;
        for (const auto& daemon : daemons_) {
            if (daemon->waitExit(std::chrono::milliseconds(0))) {
                daemon->waitStderrEnd(std::chrono::seconds(5));
                std::fprintf(stderr, "waiting for %s, a sound daemon ended with status %d: %s\n", what,
                             *daemon->waitExit(std::chrono::milliseconds(0)), daemon->stderrText().c_str());
                return false;
            }
        }
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "%s did not come within %lld s\n", what,
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kStartLimit).count()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool SoundServer::waitUntilReady() const {
    return waitWhileDaemonsRun([this] { return pactl({"info"}) == 0; }, "the PulseAudio protocol");
}

SoundServer::~SoundServer() {
    for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) {
        (*it)->signal(SIGTERM);
        if (!(*it)->waitExit(std::chrono::milliseconds(5000))) (*it)->signal(SIGKILL);
        (*it)->waitExit(std::chrono::milliseconds(5000));
    }
    daemons_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void SoundServer::useInThisProcess() const { setenv("PULSE_SERVER", address_.c_str(), 1); }

int SoundServer::pactl(std::vector<std::string> args, std::string* output) const {
    args.insert(args.begin(), "pactl");
    auto child = Child::spawn(args, {{"PULSE_SERVER", address_}, {"HOME", folder_ + "/home"}});
    if (!child) return -1;
    child->closeStdin();
    std::string text = child->readStdoutToEnd(std::chrono::milliseconds(10000));
    if (output) *output = text;
    auto status = child->waitExit(std::chrono::milliseconds(10000));
    return status ? *status : -1;
}

std::optional<uint32_t> SoundServer::addPipeSource(const std::string& name, const std::string& description,
                                                   const std::string& formFactor) {
    std::string index;
    if (pactl({"load-module", "module-pipe-source", pipeSourceArguments(name, fifoOf(name), description, formFactor)},
              &index) != 0 ||
        !waitUntilListed("sources", name))
        return std::nullopt;
    return static_cast<uint32_t>(std::stoul(index));
}

bool SoundServer::waitUntilListed(const std::string& kind, const std::string& name) const {
    // PipeWire makes the device a moment after the module loaded; until then it cannot
    // be made the default, and a FIFO source may not be reading its FIFO yet.
    return waitWhileDaemonsRun(
        [&] {
            std::string list;
            pactl({"list", "short", kind}, &list);
            return list.find("\t" + name + "\t") != std::string::npos;
        },
        name.c_str());
}

std::optional<uint32_t> SoundServer::addNullSink(const std::string& name) {
    std::string index;
    if (pactl({"load-module", "module-null-sink", "sink_name=" + name, "sink_properties=device.description=" + name},
              &index) != 0 ||
        !waitUntilListed("sinks", name))
        return std::nullopt;
    return static_cast<uint32_t>(std::stoul(index));
}

bool SoundServer::unloadModule(uint32_t index) const { return pactl({"unload-module", std::to_string(index)}) == 0; }

bool SoundServer::setDefault(const std::string& kind, const std::string& name) const {
    // PipeWire's session manager applies it asynchronously, a while after pactl
    // returned on a busy machine.
    bool set = false;
    return waitWhileDaemonsRun(
        [&] {
            set = set || pactl({"set-default-" + kind, name}) == 0;
            std::string current;
            return set && pactl({"get-default-" + kind}, &current) == 0 && current == name + "\n";
        },
        ("the default " + kind + " " + name).c_str());
}

bool SoundServer::setDefaultSink(const std::string& name) const { return setDefault("sink", name); }

bool SoundServer::setDefaultSource(const std::string& name) const { return setDefault("source", name); }

std::unique_ptr<Child> SoundServer::playTone(const std::string& sink, double frequency, double amplitude) const {
    // Twenty seconds outlast every test that plays a tone.
    const std::string file = folder_ + "/tone-" + std::to_string(static_cast<int>(frequency)) + ".raw";
    if (!std::filesystem::exists(file)) {
        std::vector<float> samples(static_cast<size_t>(kRate) * 20 * 2);
        for (size_t n = 0; n < samples.size() / 2; ++n)
            samples[2 * n] = samples[2 * n + 1] =
                static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(n) / kRate));
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
    }
    auto player = Child::spawn({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                "--latency-msec=10", "--device=" + sink, file},
                               {{"PULSE_SERVER", address_}, {"HOME", folder_ + "/home"}});
    if (player) player->closeStdin();
    return player;
}

bool SoundServer::waitUntilHeard(const std::string& sink, std::chrono::milliseconds timeout) const {
    auto listener = Child::spawn({"pacat", "--record", "--raw", "--format=float32le", "--rate=48000", "--channels=1",
                                  "--latency-msec=10", "--device=" + sink + ".monitor"},
                                 {{"PULSE_SERVER", address_}, {"HOME", folder_ + "/home"}});
    if (!listener) return false;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        auto block = listener->readStdout(480 * sizeof(float), left);
        if (!block) return false;
        for (size_t i = 0; i + sizeof(float) <= block->size(); i += sizeof(float)) {
            float value;
            std::memcpy(&value, block->data() + i, sizeof value);
            if (std::fabs(value) > 0.01f) return true;
        }
    }
}

std::unique_ptr<Child> SoundServer::player(const std::string& sink) const {
    return Child::spawn({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                         "--latency-msec=10", "--device=" + sink},
                        {{"PULSE_SERVER", address_}, {"HOME", folder_ + "/home"}});
}

Speaker::Speaker(const SoundServer& server, const std::string& sink, double hum)
    : player_(server.player(sink)), hum_(hum) {
    // Whatever the player has not taken yet delays every later sound: a pipe of one
    // page holds 10 ms of it at most.
    if (!player_ || !player_->limitStdinPipe(4096)) {
        player_.reset();
        return;
    }
    thread_ = std::thread([this] {
        constexpr int kBlock = kRate / 200;
        std::vector<float> block(2 * kBlock);
        int64_t played = 0;
        auto due = Clock::now();
        while (!stop_.load()) {
            {
                std::scoped_lock lock(mutex_);
                for (int i = 0; i < kBlock; ++i) {
                    float value = static_cast<float>(
                        hum_ * std::sin(2 * M_PI * 200 * static_cast<double>(played++) / kRate));
                    if (burstLeft_ > 0) {
                        value += static_cast<float>(
                            amplitude_ * std::sin(2 * M_PI * frequency_ * static_cast<double>(burstDone_) / kRate));
                        ++burstDone_;
                        --burstLeft_;
                    }
                    block[2 * i] = block[2 * i + 1] = value;
                }
            }
            if (!player_->writeStdin({reinterpret_cast<const char*>(block.data()), block.size() * sizeof(float)}))
                break;
            due += std::chrono::milliseconds(5);
            std::this_thread::sleep_until(due);
        }
    });
}

Speaker::~Speaker() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Speaker::click(double frequency, double amplitude, double seconds) {
    std::scoped_lock lock(mutex_);
    frequency_ = frequency;
    amplitude_ = amplitude;
    burstDone_ = 0;
    burstLeft_ = static_cast<int64_t>(seconds * kRate);
}

MicrophoneFeeder::MicrophoneFeeder(const std::string& fifo, std::function<float(int64_t)> next)
    : next_(std::move(next)) {
    // Non-blocking: the server holds the FIFO open for reading; a full pipe (nobody
    // records, or the server is late to read) leaves the block for the next turn
    // instead of hanging the test. Skipping it instead would put a jump in the
    // signal, which a measure of its level over several blocks takes for a fault.
    // The pipe is kept 100 ms ahead of the server: PipeWire's pipe source reads by its
    // own clock and fills with silence whatever the FIFO lacks at that moment, so a
    // feeder that a busy machine wakes late would otherwise put gaps in the signal.
    fd_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    thread_ = std::thread([this] {
        constexpr int kBlock = kRate / 100;
        int64_t n = 0;
        auto due = Clock::now() - std::chrono::milliseconds(100);
        std::vector<float> block(kBlock);
        while (!stop_.load()) {
            for (int i = 0; i < kBlock; ++i) block[i] = next_(n + i);
            // A block is smaller than PIPE_BUF, so it goes in whole or not at all.
            const auto bytes = static_cast<ssize_t>(block.size() * sizeof(float));
            if (::write(fd_, block.data(), static_cast<size_t>(bytes)) == bytes) n += kBlock;
            due += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(due);
        }
    });
}

MicrophoneFeeder::~MicrophoneFeeder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace testsupport
