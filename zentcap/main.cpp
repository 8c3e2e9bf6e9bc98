// zentcap: streams one display as H.264 packets on standard output, steered by JSON
// commands on standard input.

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/screen_capture.h"
#include "zentcap/capture.h"
#include "zentcap/command_line.h"

namespace {

// The one state object; never released, it lives until the process exits.
std::shared_ptr<zentcap::Capture> capture;

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto commandLine = zentcap::parseCommandLine(args);
    switch (commandLine.kind) {
        case zentcap::CommandLine::Kind::usageError:
            writeAll(2, zentcap::kUsageText);
            return 2;
        case zentcap::CommandLine::Kind::parameterError:
            writeAll(2, commandLine.message);
            return 2;
        case zentcap::CommandLine::Kind::permissionQuery:
            writeAll(1, platform::preflightScreenCaptureAccess() ? "1\n" : "0\n");
            return 0;
        case zentcap::CommandLine::Kind::stream:
            break;
    }
    capture = zentcap::Capture::create(commandLine.parameters);
    capture->start();
    platform::dispatch::dispatchMain();
}
