#pragma once
// A program under measurement: started with a pipe on its standard output (and
// on its standard input, so that closing it is a way to stop it), with its CPU
// time and resident memory read from /proc.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bench {

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
