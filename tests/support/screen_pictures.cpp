#include "tests/support/screen_pictures.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace testsupport {

Rgb Picture::at(int x, int y) const {
    const size_t offset = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return {rgb[offset], rgb[offset + 1], rgb[offset + 2]};
}

std::unique_ptr<ScreenPictures> ScreenPictures::start(uint32_t node, int screenWidth, int screenHeight,
                                                      Rectangle region, const Environment& env) {
    std::unique_ptr<ScreenPictures> pictures(new ScreenPictures());
    pictures->region_ = region;
    const auto number = [](int value) { return std::to_string(value); };
    // -q keeps gst-launch's own messages off standard output, which carries only the
    // pictures; the crop comes first so that only the region is converted. Like the
    // session's processes, it dies with the thread that started it.
    pictures->reader_ = Child::spawn(
        {"setpriv", "--pdeathsig", "KILL", "--", "gst-launch-1.0", "-q", "pipewiresrc", "path=" + number(static_cast<int>(node)), "!", "videocrop",
         "left=" + number(region.x), "top=" + number(region.y),
         "right=" + number(screenWidth - region.x - region.width),
         "bottom=" + number(screenHeight - region.y - region.height), "!", "videoconvert", "!",
         "video/x-raw,format=RGB,width=" + number(region.width) + ",height=" + number(region.height), "!", "fdsink",
         "fd=1", "sync=false"},
        env);
    if (!pictures->reader_) return nullptr;
    pictures->thread_ = std::thread([raw = pictures.get()] { raw->readLoop(); });
    return pictures;
}

ScreenPictures::~ScreenPictures() {
    reader_->signal(SIGTERM);
    if (!reader_->waitExit(std::chrono::seconds(5))) reader_->signal(SIGKILL);
    reader_->waitExit(std::chrono::seconds(5));
    thread_.join();
}

void ScreenPictures::readLoop() {
    const size_t size = static_cast<size_t>(region_.width) * static_cast<size_t>(region_.height) * 3;
    for (;;) {
        Picture picture{region_.width, region_.height, std::vector<uint8_t>(size)};
        size_t filled = 0;
        while (filled < size) {
            ssize_t got = ::read(reader_->stdoutFd(), picture.rgb.data() + filled, size - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                std::scoped_lock lock(mutex_);
                ended_ = true;
                arrived_.notify_all();
                return;
            }
            filled += static_cast<size_t>(got);
        }
        std::scoped_lock lock(mutex_);
        latest_ = std::move(picture);
        ++count_;
        arrived_.notify_all();
    }
}

std::optional<Picture> ScreenPictures::waitFor(const std::function<bool(const Picture&)>& wanted,
                                               std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    uint64_t seen = 0;  // the latest picture is looked at first, then each new one
    for (;;) {
        if (latest_ && count_ != seen) {
            seen = count_;
            if (wanted(*latest_)) return latest_;
        }
        if (ended_) return std::nullopt;
        if (!arrived_.wait_until(lock, deadline, [&] { return ended_ || count_ != seen; })) return std::nullopt;
    }
}

}  // namespace testsupport
