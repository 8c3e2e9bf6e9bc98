#include "platform/linux/capture/pixel_buffer_pool.h"

#include <algorithm>
#include <atomic>

namespace platform::x11 {

uint64_t nextPictureNumber() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

PixelBufferPool::PixelBufferPool(int width, int height, int count, std::function<void()> returned)
    : width_(width), height_(height), shelf_(std::make_shared<Shelf>()) {
    shelf_->returned = std::move(returned);
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    for (int i = 0; i < std::max(count, 1); ++i) {
        auto buffer = std::make_unique<PixelBuffer>();
        buffer->width = width;
        buffer->height = height;
        buffer->pixelFormat = kPixelFormat420v;
        buffer->lumaStride = width;
        buffer->luma.assign(static_cast<size_t>(width) * height, 16);
        buffer->chromaStride = chromaWidth * 2;
        buffer->chroma.assign(static_cast<size_t>(buffer->chromaStride) * chromaHeight, 128);
        slots_.push_back(buffer.get());
        shelf_->free.push_back(std::move(buffer));
    }
}

PixelBufferPool::~PixelBufferPool() {
    std::scoped_lock lock(shelf_->mutex);
    shelf_->open = false;
    shelf_->free.clear();
}

int PixelBufferPool::slotOf(const PixelBuffer& buffer) const {
    const auto found = std::find(slots_.begin(), slots_.end(), &buffer);
    return found == slots_.end() ? -1 : static_cast<int>(found - slots_.begin());
}

bool PixelBufferPool::hasFree() const {
    std::scoped_lock lock(shelf_->mutex);
    return !shelf_->free.empty();
}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::scoped_lock lock(shelf_->mutex);
        if (shelf_->free.empty()) return nullptr;
        buffer = std::move(shelf_->free.back());
        shelf_->free.pop_back();
    }
    // The deleter keeps the shelf alive, not the pool: a buffer released after the pool
    // was destroyed is simply freed.
    return std::shared_ptr<PixelBuffer>(buffer.release(), [shelf = shelf_](PixelBuffer* released) {
        std::unique_ptr<PixelBuffer> owned(released);
        {
            std::scoped_lock lock(shelf->mutex);
            if (!shelf->open) return;
            shelf->free.push_back(std::move(owned));
        }
        // `returned` is set before any buffer leaves the pool and never changes, so
        // it may be read without the lock.
        if (shelf->returned) shelf->returned();
    });
}

}  // namespace platform::x11
