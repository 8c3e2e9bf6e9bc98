#include "tests/e2e/process_tools.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;


namespace e2e {

Finished runToEnd(std::vector<std::string> argv, const std::string& input, std::map<std::string, std::string> env,
                  std::chrono::milliseconds timeout, Input inputEnd) {
    Finished result;
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            merged.erase(name);
        } else {
            merged[name] = value;
        }
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : merged) environment.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (failed != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }

    // Feed the input, then read both outputs until both are closed: only then
    // is everything the program wrote in hand.
    int input_fd = in[1];
    fcntl(input_fd, F_SETFL, O_NONBLOCK);
    size_t written = 0;
    auto finishInput = [&] {
        if (inputEnd == Input::CloseAfterwards && input_fd >= 0) {
            ::close(input_fd);
            input_fd = -1;
        }
    };
    if (input.empty()) finishInput();
    bool outOpen = true, errOpen = true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watch[3] = {{outOpen ? out[0] : -1, POLLIN, 0},
                           {errOpen ? err[0] : -1, POLLIN, 0},
                           {written < input.size() ? input_fd : -1, POLLOUT, 0}};
        int ready = ::poll(watch, 3, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        if (watch[2].revents) {
            ssize_t n = ::write(input_fd, input.data() + written, input.size() - written);
            if (n > 0) written += size_t(n);
            if (n < 0 && errno != EAGAIN) written = input.size();
            if (written == input.size()) finishInput();
        }
        for (int i = 0; i < 2; ++i) {
            if (!watch[i].revents) continue;
            ssize_t got = ::read(watch[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, size_t(got));
        }
    }
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (input_fd >= 0) ::close(input_fd);
    ::close(out[0]);
    ::close(err[0]);
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zentcap-e2e-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace e2e
