#pragma once
// A program run as the host runs it: pipes on standard input, output and error.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

using Milliseconds = std::chrono::milliseconds;

// Path of a program built by this build tree.
std::string binary(std::string_view name);

// How many times longer a bound on a delay or a rate may be in this run: the whole
// number in ZENT_TEST_TIME_SCALE (sanitized builds run several times slower), else 1.
int timeScale();
// `bound` times timeScale(): for the limits a test checks, not for its waits.
Milliseconds scaled(Milliseconds bound);

// A host that stops reading: the child's standard output or error is a pipe, in
// blocking mode, that is full from the start and never read.
struct Stalled {
    bool stdoutFull = false;
    bool stderrFull = false;
};

// Limits the child starts with.
struct Limits {
    // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored (in this process too): a write that
    // would pass it fails with EFBIG instead of killing the child.
    std::optional<uint64_t> fileSize;
};

class Child {
public:
    // Starts argv[0] (looked up in PATH when it has no slash). `env` entries are added
    // to the current environment or override it; an empty value unsets the variable.
    static std::unique_ptr<Child> spawn(std::vector<std::string> argv,
                                        std::map<std::string, std::string> env = {}, Stalled stalled = {},
                                        Limits limits = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    // False when the child no longer reads its input.
    bool writeStdin(std::string_view text);
    // Shrinks the pipe to the child's standard input to at most `bytes` (a page at
    // least), so that what is written waits there no longer than that takes to read.
    bool limitStdinPipe(int bytes);
    void closeStdin();

    // Standard output, blocking; the test may read it directly or close it.
    int stdoutFd() const { return stdout_; }
    void closeStdout();
    // Exactly n bytes, or nullopt when the timeout passes or the stream ends first.
    std::optional<std::string> readStdout(size_t n, Milliseconds timeout);
    // One line without its line feed; nullopt on timeout or end of stream.
    std::optional<std::string> readLine(Milliseconds timeout);
    // Everything until the child closes its standard output, or what came before the
    // timeout.
    std::string readStdoutToEnd(Milliseconds timeout);

    // Everything the child wrote to standard error so far (nothing when it is stalled).
    std::string stderrText() const;
    bool waitStderr(std::string_view needle, Milliseconds timeout) const;
    // Waits until the child's standard error is closed (usually: it has ended), so that
    // stderrText() holds all of it.
    bool waitStderrEnd(Milliseconds timeout) const;

    // Exit status, or 128 + signal number when a signal ended it; nullopt on timeout.
    std::optional<int> waitExit(Milliseconds timeout);
    void signal(int signalNumber);

private:
    Child() = default;
    void collectStderr();

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string stdoutPending_;  // bytes read past the last line handed out
    std::optional<int> status_;
    mutable std::mutex stderrMutex_;
    std::string stderrText_;
    mutable std::condition_variable stderrGrew_;
    bool stderrEnded_ = false;
    std::thread stderrReader_;
};

// A program run to its end: its exit status (nullopt: still running at the timeout,
// then killed) and everything it wrote.
struct Finished {
    std::optional<int> status;
    std::string out;
    std::string err;
};

enum class Input { CloseAfterwards, KeepOpen };

// Runs argv with `input` on its standard input and collects both outputs until the
// program ends. With Input::KeepOpen standard input stays open after the input was
// written (for programs that end when it closes).
Finished runToEnd(std::vector<std::string> argv, const std::string& input = {},
                  std::map<std::string, std::string> env = {}, Milliseconds timeout = std::chrono::seconds(60),
                  Input inputEnd = Input::CloseAfterwards);

}  // namespace testsupport
