#pragma once
// Small helpers for tests that run programs to completion and look at files.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct Finished {
    std::optional<int> status;  // nullopt: still running at the timeout (then killed)
    std::string out;
    std::string err;
};

enum class Input { CloseAfterwards, KeepOpen };

// Runs argv with `input` on its standard input and collects both outputs until
// the program ends. With Input::KeepOpen standard input stays open after the
// input was written (for programs that end when it closes).
Finished runToEnd(std::vector<std::string> argv, const std::string& input = {},
                  std::map<std::string, std::string> env = {},
                  std::chrono::milliseconds timeout = std::chrono::seconds(60),
                  Input inputEnd = Input::CloseAfterwards);

// A fresh private directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace e2e
