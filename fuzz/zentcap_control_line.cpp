// Fuzzes the control channel: standard-input bytes through the line reader, each line
// through the command decoder. The reader is checked against a plain split of the
// same bytes, and every line must classify without crashing.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "zentcap/command.h"
#include "zentcap/line_reader.h"

namespace {

struct Expected {
    std::string text;
    bool tooLong;
};

// Lines split on LF, a CR before the LF dropped, a last unterminated line kept.
std::vector<Expected> split(const std::string& input) {
    std::vector<Expected> lines;
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        bool terminated = end != std::string::npos;
        std::string line = input.substr(start, (terminated ? end : input.size()) - start);
        if (terminated && !line.empty() && line.back() == '\r') line.pop_back();
        bool tooLong = line.size() > zentcap::kMaxLineBytes;
        lines.push_back({tooLong ? std::string() : line, tooLong});
        start = terminated ? end + 1 : input.size();
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    int fd = ::memfd_create("zentcap_control_line", 0);
    if (fd < 0) return 0;
    if (::write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return 0;
    }

    auto expected = split(input);
    zentcap::LineReader reader(fd);
    zentcap::Line line;
    size_t index = 0;
    while (reader.next(line)) {
        if (index >= expected.size() || line.tooLong != expected[index].tooLong || line.text != expected[index].text) {
            std::abort();
        }
        auto action = zentcap::interpretLine(line);
        using Kind = zentcap::ControlAction::Kind;
        if (action.kind == Kind::qualityChange && !zentcap::qualityInRange(action.quality.fps, action.quality.bitrate)) {
            std::abort();
        }
        if (action.kind == Kind::failure && action.error.empty()) std::abort();
        if (action.kind == Kind::ignore && !line.text.empty()) std::abort();
        ++index;
    }
    if (index != expected.size()) std::abort();
    ::close(fd);
    return 0;
}
