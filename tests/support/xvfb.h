#pragma once
// A private X server for tests.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"

namespace testsupport {

class Xvfb {
public:
    // Starts Xvfb -noreset on a free display number and waits until it accepts
    // clients. Null (with the reason on standard error) when it cannot be started.
    static std::unique_ptr<Xvfb> start(std::string geometry = "1920x1080x24",
                                       std::vector<std::string> extraArgs = {});
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }

    // Kills the server (SIGKILL, as when it crashes) and waits until it is gone. Its
    // display number stays taken until this object is destroyed: a client that tries
    // the display again (as a program does after losing its server) must find no
    // server there, not the next test's.
    void kill();

    // Runs an X client (argv) against this server until it ends; its exit status, -1
    // when it cannot be started or does not end within 10 s.
    int run(std::vector<std::string> argv) const;
    // Moving content over the whole screen (this build's zentcap_animator) until the
    // returned child is destroyed.
    std::unique_ptr<Child> animate(int rectsPerFrame = 0, int fps = 30) const;

private:
    Xvfb() = default;
    std::unique_ptr<Child> server_;
    std::string display_;
    int heldNumber_ = -1;  // the socket that keeps a killed server's number taken
};

}  // namespace testsupport
