#include "platform/linux/capture/shm_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

namespace platform::x11 {

ShmGrabber::ShmGrabber(const Connection& connection, int width, int height)
    : connection_(connection), width_(width), height_(height) {}

ShmGrabber::~ShmGrabber() {
    if (attached_) xcb_shm_detach(connection_.get(), segment_), xcb_flush(connection_.get());
    if (pixels_) shmdt(pixels_);
}

Result<std::unique_ptr<ShmGrabber>> ShmGrabber::create(const Connection& connection, int width, int height) {
    std::unique_ptr<ShmGrabber> grabber(new ShmGrabber(connection, width, height));
    const size_t size = static_cast<size_t>(width) * height * 4;
    grabber->shmID_ = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (grabber->shmID_ < 0)
        return makeError(kOutOfMemory, std::string("No se pudo crear la memoria compartida: ") + std::strerror(errno));
    void* address = shmat(grabber->shmID_, nullptr, 0);
    // Marked for removal at once: the segment disappears when the last process (this
    // one or the server) detaches, even if this process is killed.
    shmctl(grabber->shmID_, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1))
        return makeError(kOutOfMemory, std::string("No se pudo usar la memoria compartida: ") + std::strerror(errno));
    grabber->pixels_ = static_cast<uint8_t*>(address);

    xcb_connection_t* c = connection.get();
    grabber->segment_ = xcb_generate_id(c);
    xcb_void_cookie_t cookie = xcb_shm_attach_checked(c, grabber->segment_, grabber->shmID_, /*read_only=*/0);
    Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
    if (error)
        return makeError(kRequestFailed, "El servidor X no aceptó la memoria compartida: " +
                                             protocolErrorText(error->error_code));
    grabber->attached_ = true;
    return grabber;
}

std::optional<Error> ShmGrabber::grab(int x, int y) {
    xcb_connection_t* c = connection_.get();
    xcb_generic_error_t* rawError = nullptr;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
        &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    if (!reply) {
        if (int broken = xcb_connection_has_error(c))
            return makeError(kConnectionLost, "Se perdió la conexión con X11: " + connectionErrorText(broken));
        return makeError(kRequestFailed, "No se pudo leer la pantalla: " +
                                             (error ? protocolErrorText(error->error_code) : std::string("sin respuesta")));
    }
    return std::nullopt;
}

}  // namespace platform::x11
