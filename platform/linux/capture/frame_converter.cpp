#include "platform/linux/capture/frame_converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace platform::x11 {

namespace {

// Converts the rectangle `r` (even-aligned, inside both) of a BGRX image into the same
// place of `out`. libyuv's row functions give each pixel (and each 2x2 chroma block)
// the same value whatever the rectangle around it, so the pieces match a conversion of
// the whole picture byte for byte.
void convertRect(const uint8_t* bgrx, int stride, const Rect& r, PixelBuffer& out) {
    libyuv::ARGBToNV12(bgrx + static_cast<size_t>(r.y) * stride + static_cast<size_t>(r.x) * 4, stride,
                       out.luma.data() + static_cast<size_t>(r.y) * out.lumaStride + r.x, out.lumaStride,
                       out.chroma.data() + static_cast<size_t>(r.y / 2) * out.chromaStride + r.x, out.chromaStride,
                       r.width, r.height);
}

}  // namespace

void FrameConverter::convert(const uint8_t* bgrx, int width, int height, int stride, PixelBuffer& out) {
    DirtyRegion whole(width, height);
    whole.markWhole();
    convert(bgrx, width, height, stride, whole, whole, out);
}

// libyuv against libswscale (BGR0 to NV12, single thread, median of 40 runs of a
// 1920x1080 source on this project's build machines):
//   to 1920x1080: libyuv 0.42 ms; swscale 3.7 ms (fast bilinear) to 4.2 ms (bilinear)
//   to 1280x720:  libyuv 1.2 ms (box or bilinear scale, then convert);
//                 swscale 1.9 ms (fast bilinear) to 3.5 ms (bilinear/area)
// Scaling the BGRX image first and converting at the output size was faster than
// converting first and scaling NV12 (1.8 ms). libyuv's BGRX conversion is BT.601
// video range, which fixes kCaptureColor.
void FrameConverter::convert(const uint8_t* bgrx, int width, int height, int stride, const DirtyRegion& changed,
                             const DirtyRegion& stale, PixelBuffer& out) {
    const uint8_t* source = bgrx;
    int sourceStride = stride;
    const bool scaled = width != out.width || height != out.height;
    if (scaled) {
        const int scaledStride = out.width * 4;
        const bool current = scaledFromWidth_ == width && scaledFromHeight_ == height && scaledWidth_ == out.width &&
                             scaledHeight_ == out.height;
        // libyuv's "ARGB" is B, G, R, A in memory: the X server's BGRX.
        if (!current || changed.whole()) {
            scaled_.resize(static_cast<size_t>(out.width) * out.height * 4);
            libyuv::ARGBScale(bgrx, stride, width, height, scaled_.data(), scaledStride, out.width, out.height,
                              libyuv::kFilterBox);
            scaledFromWidth_ = width, scaledFromHeight_ = height, scaledWidth_ = out.width, scaledHeight_ = out.height;
        } else {
            // ARGBScaleClip computes exactly the pixels the whole scale gives inside the
            // clip rectangle; the cover reaches every pixel whose filter taps read a
            // changed source pixel.
            for (const Rect& r : changed.rectangles()) {
                const Rect d = scaledCover(r, width, height, out.width, out.height);
                if (d.empty()) continue;
                libyuv::ARGBScaleClip(bgrx, stride, width, height, scaled_.data(), scaledStride, out.width,
                                      out.height, d.x, d.y, d.width, d.height, libyuv::kFilterBox);
            }
        }
        source = scaled_.data();
        sourceStride = scaledStride;
    }
    if (stale.whole() || (scaled && !stale.empty() && changed.whole())) {
        libyuv::ARGBToNV12(source, sourceStride, out.luma.data(), out.lumaStride, out.chroma.data(),
                           out.chromaStride, out.width, out.height);
        return;
    }
    for (const Rect& r : stale.rectangles()) {
        const Rect d = scaled ? scaledCover(r, width, height, out.width, out.height) : r;
        const Rect even = roundOutToEven(d, out.width, out.height);
        if (!even.empty()) convertRect(source, sourceStride, even, out);
    }
}

}  // namespace platform::x11
