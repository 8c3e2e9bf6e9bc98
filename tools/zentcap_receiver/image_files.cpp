#include "tools/zentcap_receiver/image_files.h"

#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace zentrecv {

void drawCursor(RgbImage& image, const CursorImage& cursor, int x, int y) {
    int left = x - cursor.hotX, top = y - cursor.hotY;
    for (int row = 0; row < cursor.height; ++row) {
        int ty = top + row;
        if (ty < 0 || ty >= image.height) continue;
        for (int column = 0; column < cursor.width; ++column) {
            int tx = left + column;
            if (tx < 0 || tx >= image.width) continue;
            const uint8_t* source = cursor.rgba.data() + (size_t(row) * cursor.width + column) * 4;
            unsigned alpha = source[3];
            uint8_t* target = image.pixel(tx, ty);
            for (int channel = 0; channel < 3; ++channel) {
                unsigned blended = (source[channel] * alpha + target[channel] * (255 - alpha) + 127) / 255;
                target[channel] = static_cast<uint8_t>(blended);
            }
        }
    }
}

namespace {

struct ContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace

std::optional<std::string> writePng(const RgbImage& image, const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return "libavcodec no tiene codificador PNG";
    std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!context || !frame || !packet) return "sin memoria para el PNG";
    context->width = image.width;
    context->height = image.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = {1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return "no se pudo abrir el codificador PNG";

    frame->format = AV_PIX_FMT_RGB24;
    frame->width = image.width;
    frame->height = image.height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return "sin memoria para el PNG";
    for (int row = 0; row < image.height; ++row) {
        std::memcpy(frame->data[0] + size_t(row) * frame->linesize[0], image.pixel(0, row), size_t(image.width) * 3);
    }
    if (avcodec_send_frame(context.get(), frame.get()) < 0 || avcodec_send_frame(context.get(), nullptr) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0) {
        return "no se pudo codificar el PNG";
    }

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "no se pudo crear " + path + ": " + std::strerror(errno);
    bool written = std::fwrite(packet->data, 1, size_t(packet->size), file) == size_t(packet->size);
    bool closed = std::fclose(file) == 0;
    if (!written || !closed) return "no se pudo escribir " + path;
    return std::nullopt;
}

}  // namespace zentrecv
