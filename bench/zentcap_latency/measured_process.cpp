#include "bench/zentcap_latency/measured_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

std::optional<std::vector<Config>> parseConfigs(const std::string& list) {
    std::vector<Config> configs;
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        Config config;
        if (std::sscanf(item.c_str(), "%dx%d@%d", &config.width, &config.height, &config.fps) != 3)
            return std::nullopt;
        configs.push_back(config);
    }
    return configs;
}

std::string programDir() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "." : self.parent_path().string();
}

std::unique_ptr<MeasuredProcess> MeasuredProcess::start(const std::vector<std::string>& argv,
                                                        const std::string& display, const std::string& errorLog) {
    return start(argv, Launch{{{"DISPLAY", display}}}, errorLog);
}

std::unique_ptr<MeasuredProcess> MeasuredProcess::start(const std::vector<std::string>& argv, const Launch& launch,
                                                        const std::string& errorLog) {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (launch.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, launch.passFd, 3);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (!equals || launch.env.count(std::string(*entry, size_t(equals - *entry))) == 0)
            environment.emplace_back(*entry);
    }
    for (const auto& [name, value] : launch.env)
        if (!value.empty()) environment.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (auto& arg : copy) args.push_back(arg.data());
    args.push_back(nullptr);

    std::unique_ptr<MeasuredProcess> process(new MeasuredProcess());
    int failed = posix_spawnp(&process->pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (failed != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), std::strerror(failed));
        ::close(in[1]);
        ::close(out[0]);
        return nullptr;
    }
    process->stdin_ = in[1];
    process->stdout_ = out[0];
    return process;
}

MeasuredProcess::~MeasuredProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    closeStdin();
    if (stdout_ >= 0) ::close(stdout_);
}

bool MeasuredProcess::writeStdin(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void MeasuredProcess::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void MeasuredProcess::signal(int number) {
    if (!reaped_) ::kill(pid_, number);
}

int MeasuredProcess::waitExit(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

double MeasuredProcess::cpuSeconds() const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), {});
    // The command name may hold spaces; fields are counted after its ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long MeasuredProcess::residentKiB() const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace bench
