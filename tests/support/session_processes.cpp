#include "tests/support/session_processes.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Whether `pid` still runs. A process that ended but was not yet reaped by its parent
// (the bus reaps what it activated) counts as ended.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool waitGone(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (alive(pid)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Mount points under `folder` (the document store mounts a FUSE file system there).
std::vector<std::string> mountsUnder(const std::string& folder) {
    std::vector<std::string> mounts;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        // Fields: ID, parent ID, major:minor, root, mount point, ...
        size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) at = line.find(' ', at + 1);
        if (at == std::string::npos) continue;
        const auto end = line.find(' ', at + 1);
        const std::string point = line.substr(at + 1, end - at - 1);
        if (point.starts_with(folder + "/")) mounts.push_back(point);
    }
    return mounts;
}

}  // namespace

int runForStatus(std::vector<std::string> argv, const Environment& env, std::string* output) {
    auto child = Child::spawn(std::move(argv), env);
    if (!child) return -1;
    child->closeStdin();
    std::string text = child->readStdoutToEnd(std::chrono::seconds(30));
    if (output) *output = text;
    auto status = child->waitExit(std::chrono::seconds(30));
    if (!status) {
        child->signal(SIGKILL);
        child->waitExit(std::chrono::seconds(5));
        return -1;
    }
    return *status;
}

std::unique_ptr<SessionProcesses> SessionProcesses::create(const std::string& prefix) {
    std::unique_ptr<SessionProcesses> session(new SessionProcesses());
    std::string folder = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(folder.data())) return nullptr;
    chmod(folder.c_str(), 0700);
    session->folder_ = folder;
    const std::string home = folder + "/home";
    std::error_code error;
    fs::create_directories(home + "/.config", error);
    fs::create_directories(folder + "/state", error);
    if (error) return nullptr;
    session->env_ = {{"HOME", home},
                     {"XDG_RUNTIME_DIR", folder},
                     {"XDG_CONFIG_HOME", home + "/.config"},
                     {"XDG_DATA_HOME", home + "/.local/share"},
                     {"XDG_CACHE_HOME", home + "/.cache"},
                     {"XDG_STATE_HOME", folder + "/state"},
                     {"XDG_SESSION_TYPE", "wayland"},
                     {"DISPLAY", ""},
                     {"WAYLAND_DISPLAY", ""},
                     {"DBUS_SESSION_BUS_ADDRESS", ""},
                     {"PULSE_SERVER", ""}};
    return session;
}

Child* SessionProcesses::launch(std::vector<std::string> argv, const Environment& extra) {
    const std::string name = argv.front();
    // A test process that dies without ending its session (a sanitizer's report, a
    // time limit's SIGKILL) takes the session with it: each process is killed when
    // the thread that started it ends, rather than left to run under init.
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    Environment env = env_;
    for (const auto& [variable, value] : extra) env[variable] = value;
    auto child = Child::spawn(std::move(argv), env);
    if (!child) {
        std::fprintf(stderr, "%s could not be started\n", name.c_str());
        return nullptr;
    }
    processes_.push_back(std::move(child));
    return processes_.back().get();
}

bool SessionProcesses::waitUntil(const std::function<bool()>& ready, std::chrono::seconds limit,
                                 const char* what) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (ready()) return true;
        for (const auto& process : processes_) {
            if (process->waitExit(std::chrono::milliseconds(0))) {
                std::fprintf(stderr, "waiting for %s, a process of the session ended: %s\n", what,
                             process->stderrText().c_str());
                return false;
            }
        }
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "%s did not come up within %lld s\n", what, static_cast<long long>(limit.count()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool SessionProcesses::startBus() {
    const std::string socket = folder_ + "/bus";
    const std::string address = "unix:path=" + socket;
    if (!launch({"dbus-daemon", "--session", "--address=" + address, "--nofork", "--nopidfile"})) return false;
    if (!waitUntil([&] { return fs::exists(socket); }, std::chrono::seconds(30), "the session bus")) return false;
    env_["DBUS_SESSION_BUS_ADDRESS"] = address;
    // The socket may exist a moment before the bus accepts clients.
    if (!waitUntil([&] { return (bus_ = BusConnection::open(address)) != nullptr; }, std::chrono::seconds(30),
                   "a connection to the session bus"))
        return false;
    return passEnvironmentToBus();
}

bool SessionProcesses::passEnvironmentToBus() {
    Environment variables;
    // Unset variables are simply not passed (the bus cannot unset them, and it
    // started without the test runner's display or bus).
    for (const auto& [name, value] : env_)
        if (!value.empty()) variables[name] = value;
    return bus_->updateActivationEnvironment(variables);
}

bool SessionProcesses::startPipeWire(Pulse pulse) {
    if (!launch({"pipewire"})) return false;
    if (!waitUntil([&] { return fs::exists(folder_ + "/pipewire-0"); }, std::chrono::seconds(30), "pipewire"))
        return false;
    if (!launch({"wireplumber"})) return false;
    if (pulse == Pulse::without) return true;
    if (!launch({"pipewire-pulse"})) return false;
    env_["PULSE_SERVER"] = "unix:" + folder_ + "/pulse/native";
    return waitUntil([&] { return runForStatus({"pactl", "info"}, env_) == 0; }, std::chrono::seconds(30),
                     "pipewire-pulse");
}

bool SessionProcesses::startPortal() {
    // -r: replace a front end the bus may already have activated for an early caller
    // (GTK asks the settings portal as it starts). Until the replacement is done the
    // old one may still answer, then drop what it was asked: the portal is ready when
    // this process owns the name and answers.
    const Child* portal = launch({"/usr/libexec/xdg-desktop-portal", "-r"});
    if (!portal) return false;
    const std::string name = "org.freedesktop.portal.Desktop";
    return waitUntil(
        [&] {
            return bus_->ownerProcess(name) == portal->pid() &&
                   bus_->property(name, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.ScreenCast",
                                  "AvailableSourceTypes") != nullptr;
        },
        std::chrono::seconds(60), "the ScreenCast portal");
}

void SessionProcesses::endActivatedServices() {
    std::vector<pid_t> ours{getpid()};
    for (const auto& process : processes_) ours.push_back(process->pid());
    std::vector<pid_t> activated;
    for (pid_t pid : bus_->clientProcesses())
        if (std::find(ours.begin(), ours.end(), pid) == ours.end()) activated.push_back(pid);
    for (pid_t pid : activated) kill(pid, SIGTERM);
    for (pid_t pid : activated) {
        if (!waitGone(pid, std::chrono::seconds(5))) {
            kill(pid, SIGKILL);
            waitGone(pid, std::chrono::seconds(5));
        }
    }
}

SessionProcesses::~SessionProcesses() {
    // What the bus activated is not a child of the test: it is found through the bus
    // while the bus still runs, and ended first, since it uses the others.
    if (bus_) {
        endActivatedServices();
        bus_.reset();
    }
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        (*it)->signal(SIGTERM);
        if (!(*it)->waitExit(std::chrono::seconds(5))) (*it)->signal(SIGKILL);
        (*it)->waitExit(std::chrono::seconds(5));
    }
    processes_.clear();
    // The document store's FUSE mount goes when its helper notices the store ended;
    // a mount still there is detached so that the folder can be removed.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!mountsUnder(folder_).empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const auto& mount : mountsUnder(folder_)) runForStatus({"fusermount3", "-u", "-z", mount}, {});
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

}  // namespace testsupport
