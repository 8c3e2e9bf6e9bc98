#include "platform/linux/capture/shm_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::x11 {

ShmGrabber::ShmGrabber(const Connection& connection, int width, int height)
    : connection_(connection), width_(width), height_(height) {}

ShmGrabber::~ShmGrabber() {
    if (gc_) xcb_free_gc(connection_.get(), gc_);
    if (pixmap_) xcb_free_pixmap(connection_.get(), pixmap_);
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
    grabber->createPixmap();
    return grabber;
}

// A pixmap over the segment, so that CopyArea can write parts of the screen straight
// into it at the segment's stride. Optional: without it every grab reads everything.
void ShmGrabber::createPixmap() {
    xcb_connection_t* c = connection_.get();
    Reply<xcb_shm_query_version_reply_t> version(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!version || !version->shared_pixmaps || version->pixmap_format != XCB_IMAGE_FORMAT_Z_PIXMAP) return;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    Reply<xcb_generic_error_t> pixmapError(xcb_request_check(
        c, xcb_shm_create_pixmap_checked(c, pixmap, connection_.root(), static_cast<uint16_t>(width_),
                                         static_cast<uint16_t>(height_), connection_.screen->root_depth, segment_, 0)));
    if (pixmapError) return;
    // Child windows are part of what the screen shows; no exposure events for the
    // parts of the root that are not viewable.
    const uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
    const xcb_gcontext_t gc = xcb_generate_id(c);
    Reply<xcb_generic_error_t> gcError(xcb_request_check(
        c, xcb_create_gc_checked(c, gc, pixmap, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, values)));
    if (gcError) {
        xcb_free_pixmap(c, pixmap);
        return;
    }
    pixmap_ = pixmap;
    gc_ = gc;
}

std::optional<Error> ShmGrabber::grab(int x, int y, const DirtyRegion& region) {
    if (region.whole() || !pixmap_) return grab(x, y);
    xcb_connection_t* c = connection_.get();
    std::vector<xcb_void_cookie_t> copies;
    for (const Rect& r : region.rectangles())
        copies.push_back(xcb_copy_area_checked(c, connection_.root(), pixmap_, gc_, static_cast<int16_t>(x + r.x),
                                               static_cast<int16_t>(y + r.y), static_cast<int16_t>(r.x),
                                               static_cast<int16_t>(r.y), static_cast<uint16_t>(r.width),
                                               static_cast<uint16_t>(r.height)));
    // The first check waits for the server to have handled every copy (one round
    // trip); the others are then known at once.
    bool failure = false;
    for (const xcb_void_cookie_t& cookie : copies) {
        Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
        failure = failure || error;
    }
    if (int broken = xcb_connection_has_error(c))
        return makeError(kConnectionLost, "Se perdió la conexión con X11: " + connectionErrorText(broken));
    if (!failure) return std::nullopt;
    // A server that takes the pixmap but refuses to copy into it: read everything
    // from now on, as without shared pixmaps.
    xcb_free_gc(c, gc_);
    xcb_free_pixmap(c, pixmap_);
    gc_ = 0;
    pixmap_ = 0;
    return grab(x, y);
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
