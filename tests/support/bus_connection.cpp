#include "tests/support/bus_connection.h"

#include <gio/gio.h>

#include <cstdio>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string takeError(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

// Makes `context` the thread's default while it lives, so that what GDBus attaches
// (signal dispatch, call completions) lands there.
class ContextPush {
public:
    explicit ContextPush(GMainContext* context) : context_(context) { g_main_context_push_thread_default(context_); }
    ~ContextPush() { g_main_context_pop_thread_default(context_); }
    ContextPush(const ContextPush&) = delete;
    ContextPush& operator=(const ContextPush&) = delete;

private:
    GMainContext* context_;
};

}  // namespace

void VariantUnref::operator()(GVariant* value) const { g_variant_unref(value); }

struct BusConnection::Subscription {
    std::function<void(GVariant*)> onSignal;
    static void deliver(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                        gpointer self) {
        static_cast<Subscription*>(self)->onSignal(parameters);
    }
};

std::unique_ptr<BusConnection> BusConnection::open(const std::string& address) {
    std::unique_ptr<BusConnection> bus(new BusConnection());
    bus->context_ = g_main_context_new();
    ContextPush push(bus->context_);
    GError* error = nullptr;
    bus->connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus->connection_) {
        std::fprintf(stderr, "cannot connect to the bus %s: %s\n", address.c_str(), takeError(error).c_str());
        return nullptr;
    }
    // The test decides when it is done with the bus; a bus that goes away must not
    // end the test process.
    g_dbus_connection_set_exit_on_close(bus->connection_, FALSE);
    return bus;
}

BusConnection::~BusConnection() {
    if (connection_) {
        for (unsigned id : subscriptionIds_) g_dbus_connection_signal_unsubscribe(connection_, id);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
    // Whatever GDBus still queued on the context (the close, dropped subscriptions)
    // is released with it.
    if (context_) {
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_unref(context_);
    }
}

Variant BusConnection::call(const std::string& name, const std::string& path, const std::string& interface,
                            const std::string& method, GVariant* arguments, const GVariantType* replyType,
                            std::chrono::milliseconds timeout, std::string* error) {
    ContextPush push(context_);
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection_, name.c_str(), path.c_str(), interface.c_str(),
                                                  method.c_str(), arguments, replyType, G_DBUS_CALL_FLAGS_NONE,
                                                  static_cast<int>(timeout.count()), nullptr, &failure);
    if (!reply) {
        std::string text = takeError(failure);
        if (error) *error = text;
        return nullptr;
    }
    return Variant(reply);
}

Variant BusConnection::property(const std::string& name, const std::string& path, const std::string& interface,
                                const std::string& property) {
    auto reply = call(name, path, "org.freedesktop.DBus.Properties", "Get",
                      g_variant_new("(ss)", interface.c_str(), property.c_str()), G_VARIANT_TYPE("(v)"));
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return Variant(value);
}

bool BusConnection::hasOwner(const std::string& name) {
    auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                      g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"));
    gboolean owned = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

std::optional<pid_t> BusConnection::ownerProcess(const std::string& name) {
    auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetConnectionUnixProcessID", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(u)"));
    if (!reply) return std::nullopt;
    guint32 pid = 0;
    g_variant_get(reply.get(), "(u)", &pid);
    return static_cast<pid_t>(pid);
}

bool BusConnection::waitForOwner(const std::string& name, std::chrono::milliseconds limit,
                                 const std::function<bool()>& stillWorth) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (hasOwner(name)) return true;
        if (Clock::now() > deadline || !stillWorth()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool BusConnection::updateActivationEnvironment(const std::map<std::string, std::string>& variables) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
    for (const auto& [name, value] : variables) g_variant_builder_add(&builder, "{ss}", name.c_str(), value.c_str());
    std::string error;
    auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "UpdateActivationEnvironment", g_variant_new("(a{ss})", &builder), nullptr,
                      std::chrono::seconds(25), &error);
    if (!reply) std::fprintf(stderr, "the bus refused the activation environment: %s\n", error.c_str());
    return reply != nullptr;
}

std::vector<pid_t> BusConnection::clientProcesses() {
    std::vector<pid_t> processes;
    auto names = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", nullptr,
                      G_VARIANT_TYPE("(as)"));
    if (!names) return processes;
    GVariantIter* iter = nullptr;
    const gchar* name = nullptr;
    g_variant_get(names.get(), "(as)", &iter);
    while (g_variant_iter_next(iter, "&s", &name)) {
        // Every client has a unique name (":1.N"); well-known names only repeat them.
        if (name[0] != ':') continue;
        auto pid = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"));
        if (!pid) continue;
        guint32 value = 0;
        g_variant_get(pid.get(), "(u)", &value);
        processes.push_back(static_cast<pid_t>(value));
    }
    g_variant_iter_free(iter);
    return processes;
}

void BusConnection::subscribe(const char* sender, const char* interface, const char* member, const char* path,
                              std::function<void(GVariant*)> onSignal) {
    auto subscription = std::make_unique<Subscription>();
    subscription->onSignal = std::move(onSignal);
    ContextPush push(context_);
    subscriptionIds_.push_back(g_dbus_connection_signal_subscribe(connection_, sender, interface, member, path,
                                                                  nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                                  &Subscription::deliver, subscription.get(), nullptr));
    subscriptions_.push_back(std::move(subscription));
}

bool BusConnection::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        // A timeout source bounds the blocking iteration, so the wait never outlives
        // the limit even when nothing arrives.
        GSource* timeout = g_timeout_source_new(static_cast<guint>(left.count()));
        g_source_set_callback(timeout, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(timeout, context_);
        g_main_context_iteration(context_, TRUE);
        g_source_destroy(timeout);
        g_source_unref(timeout);
    }
    return true;
}

}  // namespace testsupport
