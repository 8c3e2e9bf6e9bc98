#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace testsupport {
namespace {

// A server picks the lowest display number whose socket it can bind; a killed server's
// number is free again the moment it dies. Tests run in parallel, so starting a server
// and killing one (which then holds on to the number) take turns through this lock,
// shared by every test process on the machine: no start sees the gap.
class NumberLock {
public:
    NumberLock() : fd_(::open("/tmp/.zent-test-xvfb.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~NumberLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    NumberLock(const NumberLock&) = delete;
    NumberLock& operator=(const NumberLock&) = delete;

private:
    int fd_;
};

// Binds the abstract socket name an X server binds for display `number`, without
// listening: other servers then pass the number by, and a client that connects is
// refused, as when no server is there. The socket, or -1.
int holdNumber(const std::string& number) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + number;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    std::fprintf(stderr, "could not keep display :%s taken: %s\n", number.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace

std::unique_ptr<Xvfb> Xvfb::start(std::string geometry, std::vector<std::string> extraArgs) {
    // -displayfd lets the server pick a free display number and tells it once it
    // accepts connections, so there is neither a race on the number nor a guessed wait.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "1", "-screen", "0", geometry, "-noreset", "-nolisten", "tcp"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    NumberLock turn;
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
    NumberLock turn;
    server_->signal(SIGKILL);
    server_->waitExit(Milliseconds(5000));
    if (heldNumber_ < 0) heldNumber_ = holdNumber(display_.substr(1));
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
    if (heldNumber_ >= 0) {
        // A killed server leaves its socket file and lock file behind; they go while
        // the number is still ours, so they cannot be another server's.
        const std::string number = display_.substr(1);
        ::unlink(("/tmp/.X11-unix/X" + number).c_str());
        ::unlink(("/tmp/.X" + number + "-lock").c_str());
        ::close(heldNumber_);
    }
}

}  // namespace testsupport
