#pragma once
// H.264 decoding with libavcodec, one access unit at a time, with no frame delay
// (the streamer never reorders frames), and conversion of decoded pictures to RGB
// with the colour matrix and range the stream itself declares.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace zentrecv {

struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// A new reference to the same picture.
FramePtr refFrame(const AVFrame& frame);

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3, rows from the top

    const uint8_t* pixel(int x, int y) const { return rgb.data() + (size_t(y) * width + x) * 3; }
    uint8_t* pixel(int x, int y) { return rgb.data() + (size_t(y) * width + x) * 3; }
};

// The picture as 8-bit RGB, scaled to width x height (0 keeps the picture's size).
// Empty image when the conversion cannot be set up.
RgbImage toRgb(const AVFrame& frame, int width = 0, int height = 0);

// Mean of the luma samples in the rectangle (clipped to the picture), 0...255.
double meanLuma(const AVFrame& frame, int x, int y, int width, int height);

class H264Decoder {
public:
    struct Output {
        std::vector<FramePtr> frames;
        int errors = 0;  // packets refused, or pictures flagged corrupt
    };

    // Null with `error` set when libavcodec has no H.264 decoder.
    static std::unique_ptr<H264Decoder> create(std::string& error);
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // Decodes one Annex B access unit stamped with `pts` (any unit).
    Output decode(std::span<const uint8_t> accessUnit, int64_t pts);
    // Drains whatever the decoder still holds, at the end of the stream.
    Output flush();

    // From the active sequence parameter set; empty / 0 before the first picture.
    std::string profileName() const;
    int width() const;
    int height() const;

private:
    H264Decoder() = default;
    void receive(Output& output);

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
};

}  // namespace zentrecv
