#include "tests/zentcap/e2e/process_tools.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/support/child.h"

namespace e2e {

Finished runToEnd(std::vector<std::string> argv, const std::string& input, std::map<std::string, std::string> env,
                  std::chrono::milliseconds timeout, Input inputEnd) {
    Finished result;
    auto child = testsupport::Child::spawn(std::move(argv), std::move(env));
    if (!child) return result;

    // The input goes in from its own thread while this one drains the output, so a
    // program that writes before it has read everything cannot deadlock the test.
    std::thread feeder([&] {
        child->writeStdin(input);
        if (inputEnd == Input::CloseAfterwards) child->closeStdin();
    });
    auto deadline = std::chrono::steady_clock::now() + timeout;
    result.out = child->readStdoutToEnd(timeout);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    result.status = child->waitExit(std::max(left, std::chrono::milliseconds(0)));
    if (!result.status) child->signal(SIGKILL);  // unblocks the feeder too
    feeder.join();
    child->waitStderrEnd(std::chrono::seconds(5));
    result.err = child->stderrText();
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
