#pragma once
// The processes of a private desktop session that a test starts: a fresh 0700 folder
// (HOME, XDG_RUNTIME_DIR and the rest live in it), a session bus, PipeWire and the
// ScreenCast portal's front end. Every process is ended by its PID when the session
// ends: those the test started in reverse order, and before them the services the
// bus started on demand (portal backends, the permission and document stores), found
// through the bus itself.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bus_connection.h"
#include "tests/support/child.h"

namespace testsupport {

using Environment = std::map<std::string, std::string>;

// Runs a tool to its end; its exit status (-1 when it could not run or hung), and its
// standard output in `output` when given.
int runForStatus(std::vector<std::string> argv, const Environment& env, std::string* output = nullptr);

class SessionProcesses {
public:
    // Makes the folder "/tmp/<prefix>-XXXXXX" with home/ and state/ in it. Null when it
    // cannot.
    static std::unique_ptr<SessionProcesses> create(const std::string& prefix);
    ~SessionProcesses();
    SessionProcesses(const SessionProcesses&) = delete;
    SessionProcesses& operator=(const SessionProcesses&) = delete;

    const std::string& folder() const { return folder_; }
    // The variables every process of the session gets: the private folders, and none
    // of the test runner's display, bus or sound server. Grows as services start.
    const Environment& environment() const { return env_; }
    void setVariable(const std::string& name, const std::string& value) { env_[name] = value; }

    // Starts one process of the session, kept to be ended with it (and killed if this
    // thread ends first); null (with a message) when it cannot be started.
    Child* launch(std::vector<std::string> argv, const Environment& extra = {});
    // Polls `ready` until it is true; false, with a message naming `what`, at the limit
    // or as soon as one of the session's processes has ended.
    bool waitUntil(const std::function<bool()>& ready, std::chrono::seconds limit, const char* what);

    // Starts the session bus, connects to it and passes it the session's variables
    // for the services it activates; sets DBUS_SESSION_BUS_ADDRESS.
    bool startBus();
    BusConnection& bus() { return *bus_; }
    // Tells the bus to give the session's current variables to what it activates from
    // now on (WAYLAND_DISPLAY once the compositor runs).
    bool passEnvironmentToBus();

    // PipeWire and its session manager, with the PulseAudio server when `pulse`.
    enum class Pulse { without, with };
    bool startPipeWire(Pulse pulse);
    // The portal front end, once its backends run or can be activated; waits until
    // the ScreenCast portal answers.
    bool startPortal();

private:
    SessionProcesses() = default;
    void endActivatedServices();

    std::string folder_;
    Environment env_;
    std::unique_ptr<BusConnection> bus_;
    std::vector<std::unique_ptr<Child>> processes_;  // in start order; ended in reverse
};

}  // namespace testsupport
