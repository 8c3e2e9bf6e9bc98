#include "tests/support/xvfb.h"

#include <csignal>
#include <cstdio>

namespace testsupport {

std::unique_ptr<Xvfb> Xvfb::start(std::string geometry, std::vector<std::string> extraArgs) {
    // -displayfd lets the server pick a free display number and tells it once it
    // accepts connections, so there is neither a race on the number nor a guessed wait.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "1", "-screen", "0", geometry, "-noreset", "-nolisten", "tcp"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    auto server = Child::spawn(argv);
    if (!server) return nullptr;
    auto number = server->readLine(Milliseconds(15000));
    if (!number || number->empty()) {
        std::fprintf(stderr, "Xvfb did not start: %s\n", server->stderrText().c_str());
        return nullptr;
    }
    std::unique_ptr<Xvfb> xvfb(new Xvfb());
    xvfb->display_ = ":" + *number;
    xvfb->server_ = std::move(server);
    return xvfb;
}

void Xvfb::kill() {
    server_->signal(SIGKILL);
    server_->waitExit(Milliseconds(5000));
}

int Xvfb::run(std::vector<std::string> argv) const {
    auto child = Child::spawn(std::move(argv), {{"DISPLAY", display_}});
    if (!child) return -1;
    return child->waitExit(Milliseconds(10000)).value_or(-1);
}

std::unique_ptr<Child> Xvfb::animate(int rectsPerFrame, int fps) const {
    return Child::spawn(
        {binary("zentcap_animator"), "--fps", std::to_string(fps), "--rects", std::to_string(rectsPerFrame)},
        {{"DISPLAY", display_}});
}

Xvfb::~Xvfb() {
    server_->signal(SIGTERM);
    if (!server_->waitExit(Milliseconds(5000))) server_->signal(SIGKILL);
    server_->waitExit(Milliseconds(5000));
}

}  // namespace testsupport
