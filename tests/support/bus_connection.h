#pragma once
// A GDBus connection of the test itself to a private session bus (the one a test
// desktop starts), for the harness's own calls: waiting for a service to appear,
// telling the bus what to pass to the services it activates, driving the desktop
// through its D-Bus API. Signals are delivered on a main context of this connection,
// dispatched only while a caller waits in runUntil(), on the caller's thread.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GVariant GVariant;
typedef struct _GVariantType GVariantType;

namespace testsupport {

struct VariantUnref {
    void operator()(GVariant* value) const;
};
// An owned GVariant reference.
using Variant = std::unique_ptr<GVariant, VariantUnref>;

class BusConnection {
public:
    // Connects to the bus at `address` (a D-Bus address such as "unix:path=…"). Null,
    // with the reason on standard error, when it cannot.
    static std::unique_ptr<BusConnection> open(const std::string& address);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // Calls a method and waits for its reply (of `replyType`, when given). `arguments`
    // is a floating or owned tuple that the call consumes. Null when the call failed,
    // the D-Bus error in `error` when given.
    Variant call(const std::string& name, const std::string& path, const std::string& interface,
                 const std::string& method, GVariant* arguments, const GVariantType* replyType = nullptr,
                 std::chrono::milliseconds timeout = std::chrono::seconds(25), std::string* error = nullptr);
    // A property read through org.freedesktop.DBus.Properties; null when it failed.
    Variant property(const std::string& name, const std::string& path, const std::string& interface,
                     const std::string& property);

    bool hasOwner(const std::string& name);
    // The process that owns `name` now; none when nobody does.
    std::optional<pid_t> ownerProcess(const std::string& name);
    // Waits until `name` has an owner or `stillWorth` (checked between tries) says
    // waiting is pointless; false at the limit.
    bool waitForOwner(const std::string& name, std::chrono::milliseconds limit,
                      const std::function<bool()>& stillWorth = [] { return true; });

    // Adds variables to the environment the bus gives the services it starts.
    bool updateActivationEnvironment(const std::map<std::string, std::string>& variables);
    // The processes of every client connected to the bus (this one included).
    std::vector<pid_t> clientProcesses();

    // Subscribes to a signal (null strings match anything); `onSignal` gets its
    // parameters. It is called from runUntil() only, until this connection ends.
    void subscribe(const char* sender, const char* interface, const char* member, const char* path,
                   std::function<void(GVariant* parameters)> onSignal);
    // Dispatches signals until `done` is true or the limit passes; false at the limit.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

private:
    BusConnection() = default;
    struct Subscription;

    GMainContext* context_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;
    std::vector<unsigned> subscriptionIds_;
};

}  // namespace testsupport
