#include "tests/e2e/picture_checks.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/e2e/process_tools.h"

namespace e2e {

Rgb meanColour(const zentrecv::RgbImage& image, int x, int y, int radius) {
    unsigned sum[3] = {0, 0, 0}, count = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            int px = std::clamp(x + dx, 0, image.width - 1), py = std::clamp(y + dy, 0, image.height - 1);
            const uint8_t* pixel = image.pixel(px, py);
            for (int c = 0; c < 3; ++c) sum[c] += pixel[c];
            ++count;
        }
    }
    return {uint8_t(sum[0] / count), uint8_t(sum[1] / count), uint8_t(sum[2] / count)};
}

int colourDistance(Rgb a, Rgb b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

std::string describe(Rgb colour) {
    return "(" + std::to_string(colour.r) + "," + std::to_string(colour.g) + "," + std::to_string(colour.b) + ")";
}

std::optional<zentrecv::RgbImage> readPng(const std::string& path) {
    std::string bytes = readFile(path);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (bytes.empty() || !codec) return std::nullopt;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    zentrecv::FramePtr frame(av_frame_alloc());
    std::optional<zentrecv::RgbImage> image;
    if (avcodec_open2(context, codec, nullptr) == 0 && av_new_packet(packet, int(bytes.size())) == 0) {
        std::copy(bytes.begin(), bytes.end(), packet->data);
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame.get()) == 0 &&
            frame->format == AV_PIX_FMT_RGB24) {
            zentrecv::RgbImage out;
            out.width = frame->width;
            out.height = frame->height;
            out.rgb.resize(size_t(out.width) * out.height * 3);
            for (int row = 0; row < out.height; ++row) {
                std::copy_n(frame->data[0] + size_t(row) * frame->linesize[0], size_t(out.width) * 3,
                            out.pixel(0, row));
            }
            image = std::move(out);
        }
    }
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return image;
}

}  // namespace e2e
