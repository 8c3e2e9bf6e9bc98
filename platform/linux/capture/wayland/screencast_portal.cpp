#include "platform/linux/capture/wayland/screencast_portal.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/linux/capture/wayland/restore_tokens.h"

namespace platform::wayland {

Error makeError(ErrorCode code, std::string description) {
    return Error{kErrorDomain, code, std::move(description), nullptr};
}

namespace {

using namespace std::chrono_literals;

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

// Bounds of the steps. A method call is answered at once by a working portal; the
// Response of a request may wait for the user (the dialog of Start), who gets a few
// minutes to decide.
constexpr int kCallTimeoutMs = 10'000;
constexpr auto kRequestTimeout = 10s;
constexpr auto kStartTimeout = 180s;
constexpr auto kConnectTimeout = 5s;
constexpr int kCloseTimeoutMs = 1'000;
// The portal's source type for monitors and its persist mode "until revoked".
constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kPersistUntilRevoked = 2;

template <class T, void (*Free)(T*)>
struct GDeleter {
    void operator()(T* p) const {
        if (p) Free(p);
    }
};
using ErrorPtr = std::unique_ptr<GError, GDeleter<GError, g_error_free>>;
using VariantPtr = std::unique_ptr<GVariant, GDeleter<GVariant, g_variant_unref>>;
using ContextPtr = std::unique_ptr<GMainContext, GDeleter<GMainContext, g_main_context_unref>>;
using LoopPtr = std::unique_ptr<GMainLoop, GDeleter<GMainLoop, g_main_loop_unref>>;

// A private connection is closed explicitly: GDBus's worker thread keeps it open
// otherwise.
struct ConnectionDeleter {
    void operator()(GDBusConnection* connection) const {
        if (!connection) return;
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
};
using ConnectionPtr = std::unique_ptr<GDBusConnection, ConnectionDeleter>;

std::string errorText(const GError* error) {
    if (!error) return "error desconocido";
    // The remote error's D-Bus name says nothing to a user; the message does.
    GError* copy = g_error_copy(error);
    g_dbus_error_strip_remote_error(copy);
    std::string text = copy->message ? copy->message : "";
    g_error_free(copy);
    return text;
}

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, else the usual socket in
// XDG_RUNTIME_DIR when it is there. Never GLib's autolaunch, which would start a bus of
// its own where there is none.
std::optional<std::string> sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return std::string(address);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') return std::nullopt;
    const std::string socket = std::string(runtime) + "/bus";
    struct stat info {};
    if (stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
    return "unix:path=" + socket;
}

// A main context of this thread's own, the thread default while it lives: the
// signals subscribed and the asynchronous calls made meanwhile complete in it, and
// only where this thread iterates it.
class ThreadContext {
public:
    ThreadContext() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_.get()); }
    ~ThreadContext() { release(); }
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;

    GMainContext* get() const { return context_.get(); }
    // Lets another thread take the context over.
    void release() {
        if (pushed_) g_main_context_pop_thread_default(context_.get());
        pushed_ = false;
    }

    // Dispatches what arrives until `done` holds or `limit` passes; whether it holds.
    template <class Done>
    bool runUntil(Done done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            // A timeout source wakes the wait at the deadline.
            GSource* timeout = g_timeout_source_new(static_cast<guint>(left.count()));
            g_source_set_callback(timeout, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
            g_source_attach(timeout, context_.get());
            g_main_context_iteration(context_.get(), TRUE);
            g_source_destroy(timeout);
            g_source_unref(timeout);
        }
        return true;
    }

private:
    ContextPtr context_;
    bool pushed_ = true;
};

// Opens a private connection to the session bus (not GLib's shared one, so that its
// life is this object's), bounded in time.
Result<ConnectionPtr> connectSessionBus(ThreadContext& context) {
    auto address = sessionBusAddress();
    if (!address) return makeError(kNoSessionBus, "No hay bus de sesión de D-Bus para pedir la pantalla al escritorio");
    struct Outcome {
        bool done = false;
        GDBusConnection* connection = nullptr;
        GError* error = nullptr;
    } outcome;
    GCancellable* cancellable = g_cancellable_new();
    g_dbus_connection_new_for_address(
        address->c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable,
        [](GObject*, GAsyncResult* result, gpointer data) {
            auto* outcome = static_cast<Outcome*>(data);
            outcome->connection = g_dbus_connection_new_for_address_finish(result, &outcome->error);
            outcome->done = true;
        },
        &outcome);
    if (!context.runUntil([&] { return outcome.done; }, kConnectTimeout)) {
        // Cancelled, the call still completes (with an error) before the context goes.
        g_cancellable_cancel(cancellable);
        context.runUntil([&] { return outcome.done; }, 60s);
    }
    g_object_unref(cancellable);
    ErrorPtr error(outcome.error);
    if (!outcome.connection)
        return makeError(kNoSessionBus, "No se pudo conectar con el bus de sesión de D-Bus: " + errorText(error.get()));
    return ConnectionPtr(outcome.connection);
}

// A ScreenCast property; null when the portal does not answer.
VariantPtr screenCastProperty(GDBusConnection* bus, const char* name, GError** error, int timeoutMs) {
    GVariant* reply = g_dbus_connection_call_sync(bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties",
                                                  "Get", g_variant_new("(ss)", kScreenCast, name),
                                                  G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
                                                  error);
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return VariantPtr(value);
}

uint32_t uintProperty(GDBusConnection* bus, const char* name, uint32_t fallback) {
    GError* error = nullptr;
    VariantPtr value = screenCastProperty(bus, name, &error, kCallTimeoutMs);
    if (error) g_error_free(error);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return fallback;
    return g_variant_get_uint32(value.get());
}

// Tokens of requests and sessions: unique in this process, valid in object paths.
std::string newToken(const char* kind) {
    static std::atomic<unsigned> counter{0};
    return std::string("zentori_") + kind + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

}  // namespace

struct ScreenCastPortal::State {
    ThreadContext context;
    ConnectionPtr bus;
    std::string session;  // the session's object path, once created
    guint closedSubscription = 0;
    std::function<void(const Error&)> closed;
    std::atomic<bool> serving{false};  // the flow is done: a close is reported
    std::atomic<bool> closing{false};
    PortalStream stream;
    LoopPtr loop;
    std::thread loopThread;

    // The answer to a request: its response code and results.
    struct Response {
        bool arrived = false;
        uint32_t code = 2;
        VariantPtr results;
    };

    // Calls `method` of the ScreenCast portal as a request, with the `leading`
    // arguments (floating values, taken) before its options: subscribes to the
    // Response of the request's object first (the bus routes it to us from then on,
    // so it cannot be missed however soon it comes), then calls, then waits for the
    // answer within `limit`. `step` names the step in messages.
    Result<VariantPtr> request(const char* step, const char* method, std::vector<GVariant*> leading,
                               GVariantBuilder* options, std::chrono::milliseconds limit) {
        const std::string token = newToken("req");
        std::string sender = g_dbus_connection_get_unique_name(bus.get()) + 1;  // without the ':'
        for (char& c : sender)
            if (c == '.') c = '_';
        const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
        Response response;
        const guint subscription = g_dbus_connection_signal_subscribe(
            bus.get(), kPortalName, kRequest, "Response", path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer data) {
                auto* response = static_cast<Response*>(data);
                if (response->arrived || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
                GVariant* results = nullptr;
                g_variant_get(parameters, "(u@a{sv})", &response->code, &results);
                response->results.reset(results);
                response->arrived = true;
            },
            &response, nullptr);
        struct Unsubscribe {
            GDBusConnection* bus;
            guint id;
            ~Unsubscribe() { g_dbus_connection_signal_unsubscribe(bus, id); }
        } unsubscribe{bus.get(), subscription};

        g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        leading.push_back(g_variant_builder_end(options));
        g_variant_builder_unref(options);
        GVariant* parameters = g_variant_new_tuple(leading.data(), leading.size());
        GError* error = nullptr;
        GVariant* reply =
            g_dbus_connection_call_sync(bus.get(), kPortalName, kPortalPath, kScreenCast, method, parameters,
                                        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
        if (!reply) {
            ErrorPtr owned(error);
            if (g_error_matches(owned.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
                return makeError(kPortalTimeout,
                                 std::string("El portal de captura de pantalla no respondió a tiempo (") + step + ")");
            return makeError(kPortalFailed, std::string("El portal de captura de pantalla falló en ") + step + ": " +
                                                errorText(owned.get()));
        }
        g_variant_unref(reply);
        if (!context.runUntil([&] { return response.arrived; }, limit))
            return makeError(kPortalTimeout,
                             std::string("El portal de captura de pantalla no respondió a tiempo (") + step + ")");
        if (response.code == 1)
            return makeError(kCancelled, "El usuario canceló el permiso para compartir la pantalla");
        if (response.code != 0)
            return makeError(kPortalFailed,
                             std::string("El escritorio no permitió compartir la pantalla (") + step + ")");
        return std::move(response.results);
    }

    // The session's object path as a D-Bus value (floating).
    GVariant* sessionHandle() const { return g_variant_new_object_path(session.c_str()); }
};

bool ScreenCastPortal::available() {
    ThreadContext context;
    auto bus = connectSessionBus(context);
    if (!bus) return false;
    GError* error = nullptr;
    VariantPtr version = screenCastProperty(bus.value().get(), "version", &error, 3'000);
    if (error) g_error_free(error);
    return version && g_variant_is_of_type(version.get(), G_VARIANT_TYPE_UINT32) &&
           g_variant_get_uint32(version.get()) >= 1;
}

Result<std::unique_ptr<ScreenCastPortal>> ScreenCastPortal::open(uint32_t displayID, CursorMode wanted,
                                                                std::function<void(const Error&)> closed) {
    // Owned from the start, so that a failure at any later step closes the session
    // it may have opened.
    std::unique_ptr<ScreenCastPortal> owner(new ScreenCastPortal(std::make_unique<State>()));
    State* state = owner->state_.get();
    state->closed = std::move(closed);
    auto bus = connectSessionBus(state->context);
    if (!bus) return bus.error();
    state->bus = std::move(bus.value());
    GDBusConnection* connection = state->bus.get();

    GError* error = nullptr;
    VariantPtr version = screenCastProperty(connection, "version", &error, kCallTimeoutMs);
    if (!version || !g_variant_is_of_type(version.get(), G_VARIANT_TYPE_UINT32)) {
        ErrorPtr owned(error);
        return makeError(kNoPortal, "El escritorio no ofrece el portal de captura de pantalla: " +
                                        (owned ? errorText(owned.get()) : std::string("sin versión")));
    }
    const uint32_t portalVersion = g_variant_get_uint32(version.get());
    // Hidden and embedded are what every portal offers; the metadata mode only some.
    const uint32_t offered = portalVersion >= 2 ? uintProperty(connection, "AvailableCursorModes", 1) : 1;
    CursorMode mode = CursorMode::hidden;
    if (wanted == CursorMode::embedded && (offered & uint32_t(CursorMode::embedded)))
        mode = CursorMode::embedded;
    else if (wanted != CursorMode::hidden && (offered & uint32_t(CursorMode::metadata)))
        mode = CursorMode::metadata;

    // CreateSession.
    GVariantBuilder* options = g_variant_builder_new(G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(options, "{sv}", "session_handle_token", g_variant_new_string(newToken("session").c_str()));
    auto created = state->request("CreateSession", "CreateSession", {}, options, kRequestTimeout);
    if (!created) return created.error();
    const gchar* session = nullptr;
    if (!g_variant_lookup(created.value().get(), "session_handle", "&s", &session) || !session)
        return makeError(kPortalFailed, "El portal de captura de pantalla no dio una sesión");
    state->session = session;

    // The session may be closed by the desktop from here on.
    state->closedSubscription = g_dbus_connection_signal_subscribe(
        connection, kPortalName, kSession, "Closed", state->session.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
            auto* state = static_cast<State*>(data);
            // Before the flow ends, a closed session shows as a failed request.
            if (!state->serving.load() || state->closing.exchange(true)) return;
            if (state->closed)
                state->closed(makeError(kSessionClosed, "El escritorio dejó de compartir la pantalla"));
        },
        state, nullptr);

    // SelectSources: one monitor, the cursor mode, and the desktop asked to remember
    // the choice (with the token of the last time, when there is one).
    options = g_variant_builder_new(G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(options, "{sv}", "types", g_variant_new_uint32(kSourceMonitor));
    g_variant_builder_add(options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    if (portalVersion >= 2)
        g_variant_builder_add(options, "{sv}", "cursor_mode", g_variant_new_uint32(uint32_t(mode)));
    if (portalVersion >= 4) {
        g_variant_builder_add(options, "{sv}", "persist_mode", g_variant_new_uint32(kPersistUntilRevoked));
        if (auto token = loadRestoreToken(displayID))
            g_variant_builder_add(options, "{sv}", "restore_token", g_variant_new_string(token->c_str()));
    }
    auto selected = state->request("SelectSources", "SelectSources", {state->sessionHandle()}, options, kRequestTimeout);
    if (!selected) return selected.error();

    // Start: where the desktop may show its dialog. Parent window: none.
    options = g_variant_builder_new(G_VARIANT_TYPE_VARDICT);
    auto started = state->request("Start", "Start", {state->sessionHandle(), g_variant_new_string("")}, options,
                                  kStartTimeout);
    if (!started) return started.error();
    GVariant* results = started.value().get();
    const gchar* token = nullptr;
    if (g_variant_lookup(results, "restore_token", "&s", &token) && token)
        storeRestoreToken(displayID, token);
    GVariantIter* streams = nullptr;
    if (!g_variant_lookup(results, "streams", "a(ua{sv})", &streams) || !streams)
        return makeError(kPortalFailed, "El portal de captura de pantalla no dio ninguna pantalla");
    uint32_t node = 0;
    GVariant* properties = nullptr;
    const bool any = g_variant_iter_next(streams, "(u@a{sv})", &node, &properties);
    g_variant_iter_free(streams);
    if (!any) return makeError(kPortalFailed, "El portal de captura de pantalla no dio ninguna pantalla");
    state->stream.nodeID = node;
    state->stream.cursorMode = mode;
    int32_t width = 0, height = 0;
    if (g_variant_lookup(properties, "size", "(ii)", &width, &height)) {
        state->stream.width = width;
        state->stream.height = height;
    }
    g_variant_unref(properties);

    // OpenPipeWireRemote: the fd comes in the message's fd list.
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", state->session.c_str(), nullptr), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
        kCallTimeoutMs, nullptr, &fds, nullptr, &error);
    if (!reply) {
        ErrorPtr owned(error);
        return makeError(kPortalFailed, "El portal de captura de pantalla no abrió la conexión con PipeWire: " +
                                            errorText(owned.get()));
    }
    gint32 handle = -1;
    g_variant_get(reply, "(h)", &handle);
    g_variant_unref(reply);
    const int fd = fds ? g_unix_fd_list_get(fds, handle, &error) : -1;
    if (fds) g_object_unref(fds);
    if (fd < 0) {
        ErrorPtr owned(error);
        return makeError(kPortalFailed, "El portal de captura de pantalla no dio la conexión con PipeWire");
    }
    state->stream.pipewireFd = fd;

    // From here the context serves the Closed signal on a thread of its own.
    state->context.release();
    state->loop.reset(g_main_loop_new(state->context.get(), FALSE));
    state->serving = true;
    state->loopThread = std::thread([state] {
        g_main_context_push_thread_default(state->context.get());
        g_main_loop_run(state->loop.get());
        g_main_context_pop_thread_default(state->context.get());
    });
    return owner;
}

ScreenCastPortal::ScreenCastPortal(std::unique_ptr<State> state) : state_(std::move(state)) {}

ScreenCastPortal::~ScreenCastPortal() {
    state_->closing = true;
    if (state_->bus && !state_->session.empty()) {
        // Closing the session is what makes the desktop stop sharing; bounded, since
        // the process may be on its way out.
        GVariant* reply = g_dbus_connection_call_sync(state_->bus.get(), kPortalName, state_->session.c_str(), kSession,
                                                      "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                      kCloseTimeoutMs, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }
    if (state_->closedSubscription) g_dbus_connection_signal_unsubscribe(state_->bus.get(), state_->closedSubscription);
    if (state_->loop) g_main_loop_quit(state_->loop.get());
    if (state_->loopThread.joinable()) state_->loopThread.join();
    if (state_->stream.pipewireFd >= 0) close(state_->stream.pipewireFd);
}

PortalStream ScreenCastPortal::takeStream() {
    PortalStream stream = state_->stream;
    state_->stream.pipewireFd = -1;
    return stream;
}

}  // namespace platform::wayland
