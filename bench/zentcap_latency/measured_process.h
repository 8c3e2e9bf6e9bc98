#pragma once
// A program under measurement: started with a pipe on its standard output (and
// on its standard input, so that closing it is a way to stop it), with its CPU
// time and resident memory read from /proc; and what the latency benchmarks (X and
// Wayland) ask of it alike: the sizes and rates to measure, where it lives.

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// What a capturer under measurement is asked for: its size and frame rate.
struct Config {
    int width = 0, height = 0, fps = 0;
    std::string name() const {
        return std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps);
    }
};

// A --configs list, "1920x1080@30,1280x720@60"; none when an item is not WxH@F.
std::optional<std::vector<Config>> parseConfigs(const std::string& list);

// The folder of this benchmark's program, where the build puts zentcap beside it.
std::string programDir();

class MeasuredProcess {
public:
    // Null (with a message on stderr) if it cannot be started. Its standard
    // error goes to `errorLog` (a file path).
    static std::unique_ptr<MeasuredProcess> start(const std::vector<std::string>& argv, const std::string& display,
                                                  const std::string& errorLog);
    // The same in another environment: `env` entries are added to this process's
    // (an empty value unsets the variable), and `passFd`, when given, becomes the
    // program's descriptor 3.
    struct Launch {
        std::map<std::string, std::string> env;
        int passFd = -1;
    };
    static std::unique_ptr<MeasuredProcess> start(const std::vector<std::string>& argv, const Launch& launch,
                                                  const std::string& errorLog);
    ~MeasuredProcess();
    MeasuredProcess(const MeasuredProcess&) = delete;
    MeasuredProcess& operator=(const MeasuredProcess&) = delete;

    int stdoutFd() const { return stdout_; }
    pid_t pid() const { return pid_; }
    // False when the program no longer reads its input.
    bool writeStdin(const std::string& text);
    void closeStdin();
    void signal(int number);
    // Exit status, or 128 + signal; -1 if it did not end within the time.
    int waitExit(int milliseconds);

    // User + system CPU seconds so far; resident set in KiB.
    double cpuSeconds() const;
    long residentKiB() const;

private:
    MeasuredProcess() = default;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
};

}  // namespace bench
