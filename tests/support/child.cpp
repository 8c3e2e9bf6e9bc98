#include "tests/support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : overrides) {
        if (value.empty()) {
            merged.erase(name);
        } else {
            merged[name] = value;
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

// Shrinks the pipe to its smallest size and fills it, leaving the write end in
// blocking mode: the next write of the child blocks until someone reads.
bool fillPipe(int writeEnd) {
    ::fcntl(writeEnd, F_SETPIPE_SZ, 4096);
    int flags = ::fcntl(writeEnd, F_GETFL);
    if (flags < 0 || ::fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    char block[4096] = {};
    while (::write(writeEnd, block, sizeof block) > 0 || errno == EINTR) {
    }
    // Room for less than a byte-sized write is what full means; a pipe with room
    // left for a short line would not stall anything.
    while (::write(writeEnd, block, 1) > 0) {
    }
    return errno == EAGAIN && ::fcntl(writeEnd, F_SETFL, flags) == 0;
}

}  // namespace

std::string binary(std::string_view name) { return std::string(ZENT_BINARY_DIR) + "/bin/" + std::string(name); }

int timeScale() {
    static const int scale = [] {
        const char* text = std::getenv("ZENT_TEST_TIME_SCALE");
        if (!text) return 1;
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        return (end != text && *end == '\0' && value >= 1 && value <= 100) ? static_cast<int>(value) : 1;
    }();
    return scale;
}

Milliseconds scaled(Milliseconds bound) { return bound * timeScale(); }

std::unique_ptr<Child> Child::spawn(std::vector<std::string> argv, std::map<std::string, std::string> env,
                                    Stalled stalled, Limits limits) {
    // A child that stops reading must show up as a failed write, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(err, O_CLOEXEC) != 0) return nullptr;
    if ((stalled.stdoutFull && !fillPipe(out[1])) || (stalled.stderrFull && !fillPipe(err[1]))) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        return nullptr;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    // The child starts with default signal handling and an empty mask, as a host
    // would start it, whatever the test process did to its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    if (limits.fileSize) {
        // An ignored signal stays ignored across exec; prlimit(1) sets the limit in the
        // child itself, right before it runs the program, so nothing races with it.
        ::signal(SIGXFSZ, SIG_IGN);
        sigdelset(&all, SIGXFSZ);
        const std::string size = std::to_string(*limits.fileSize);
        argv.insert(argv.begin(), {"prlimit", "--fsize=" + size + ":" + size, "--"});
    }
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    std::vector<std::string> environment = mergedEnvironment(env);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (failed != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), std::strerror(failed));
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return nullptr;
    }

    std::unique_ptr<Child> child(new Child());
    child->pid_ = pid;
    child->stdin_ = in[1];
    child->stdout_ = out[0];
    child->stderr_ = err[0];
    if (stalled.stderrFull) {
        child->stderrEnded_ = true;
    } else {
        child->stderrReader_ = std::thread([raw = child.get()] { raw->collectStderr(); });
    }
    return child;
}

Child::~Child() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    closeStdin();
    closeStdout();
    if (stderrReader_.joinable()) stderrReader_.join();
    ::close(stderr_);
}

bool Child::writeStdin(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(stdin_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool Child::limitStdinPipe(int bytes) { return ::fcntl(stdin_, F_SETPIPE_SZ, bytes) >= 0; }

void Child::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void Child::closeStdout() {
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
}

std::optional<std::string> Child::readStdout(size_t n, Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (stdoutPending_.size() < n) {
        pollfd watch{stdout_, POLLIN, 0};
        int ready = ::poll(&watch, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[65536];
        ssize_t got = ::read(stdout_, buffer, std::min(sizeof buffer, n - stdoutPending_.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        stdoutPending_.append(buffer, static_cast<size_t>(got));
    }
    std::string result = stdoutPending_.substr(0, n);
    stdoutPending_.erase(0, n);
    return result;
}

std::optional<std::string> Child::readLine(Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto end = stdoutPending_.find('\n');
        if (end != std::string::npos) {
            std::string line = stdoutPending_.substr(0, end);
            stdoutPending_.erase(0, end + 1);
            return line;
        }
        pollfd watch{stdout_, POLLIN, 0};
        int ready = ::poll(&watch, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[4096];
        ssize_t got = ::read(stdout_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        stdoutPending_.append(buffer, static_cast<size_t>(got));
    }
}

std::string Child::readStdoutToEnd(Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::string result = std::move(stdoutPending_);
    stdoutPending_.clear();
    for (;;) {
        pollfd watch{stdout_, POLLIN, 0};
        int ready = ::poll(&watch, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return result;
        char buffer[65536];
        ssize_t got = ::read(stdout_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return result;
        result.append(buffer, static_cast<size_t>(got));
    }
}

void Child::collectStderr() {
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(stderr_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        {
            std::scoped_lock lock(stderrMutex_);
            stderrText_.append(buffer, static_cast<size_t>(got));
        }
        stderrGrew_.notify_all();
    }
    {
        std::scoped_lock lock(stderrMutex_);
        stderrEnded_ = true;
    }
    stderrGrew_.notify_all();
}

bool Child::waitStderrEnd(Milliseconds timeout) const {
    std::unique_lock lock(stderrMutex_);
    return stderrGrew_.wait_for(lock, timeout, [&] { return stderrEnded_; });
}

std::string Child::stderrText() const {
    std::scoped_lock lock(stderrMutex_);
    return stderrText_;
}

bool Child::waitStderr(std::string_view needle, Milliseconds timeout) const {
    std::unique_lock lock(stderrMutex_);
    return stderrGrew_.wait_for(lock, timeout, [&] { return stderrText_.find(needle) != std::string::npos; });
}

std::optional<int> Child::waitExit(Milliseconds timeout) {
    if (status_) return status_;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(Milliseconds(2));
    }
}

void Child::signal(int signalNumber) {
    if (!status_) ::kill(pid_, signalNumber);
}

Finished runToEnd(std::vector<std::string> argv, const std::string& input, std::map<std::string, std::string> env,
                  Milliseconds timeout, Input inputEnd) {
    Finished result;
    auto child = Child::spawn(std::move(argv), std::move(env));
    if (!child) return result;

    // The input goes in from its own thread while this one drains the output, so a
    // program that writes before it has read everything cannot deadlock the test.
    std::thread feeder([&] {
        child->writeStdin(input);
        if (inputEnd == Input::CloseAfterwards) child->closeStdin();
    });
    auto deadline = Clock::now() + timeout;
    result.out = child->readStdoutToEnd(timeout);
    result.status = child->waitExit(Milliseconds(remainingMs(deadline)));
    if (!result.status) child->signal(SIGKILL);  // unblocks the feeder too
    feeder.join();
    child->waitStderrEnd(std::chrono::seconds(5));
    result.err = child->stderrText();
    return result;
}

}  // namespace testsupport
