#include "tools/zentcap_receiver/h264_decoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace zentrecv {

FramePtr refFrame(const AVFrame& frame) {
    FramePtr copy(av_frame_alloc());
    if (copy && av_frame_ref(copy.get(), &frame) < 0) copy.reset();
    return copy;
}

namespace {

int swscaleMatrix(AVColorSpace space) {
    switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;  // what an unspecified H.264 stream means in practice
    }
}

// The deprecated "J" formats are full-range aliases of the plain ones.
AVPixelFormat plainFormat(AVPixelFormat format, bool& fullRange) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    default: return format;
    }
}

}  // namespace

RgbImage toRgb(const AVFrame& frame, int width, int height) {
    RgbImage image;
    if (width <= 0 || height <= 0) {
        width = frame.width;
        height = frame.height;
    }
    bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    AVPixelFormat source = plainFormat(static_cast<AVPixelFormat>(frame.format), fullRange);
    SwsContext* scaler = sws_getContext(frame.width, frame.height, source, width, height, AV_PIX_FMT_RGB24,
                                        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                        nullptr);
    if (!scaler) return image;
    const int* coefficients = sws_getCoefficients(swscaleMatrix(frame.colorspace));
    sws_setColorspaceDetails(scaler, coefficients, fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                             1 << 16, 1 << 16);
    image.width = width;
    image.height = height;
    image.rgb.resize(size_t(width) * height * 3);
    uint8_t* planes[1] = {image.rgb.data()};
    int strides[1] = {width * 3};
    sws_scale(scaler, frame.data, frame.linesize, 0, frame.height, planes, strides);
    sws_freeContext(scaler);
    return image;
}

double meanLuma(const AVFrame& frame, int x, int y, int width, int height) {
    int x0 = std::clamp(x, 0, frame.width), y0 = std::clamp(y, 0, frame.height);
    int x1 = std::clamp(x + width, 0, frame.width), y1 = std::clamp(y + height, 0, frame.height);
    if (x1 <= x0 || y1 <= y0 || !frame.data[0]) return 0;
    uint64_t sum = 0;
    for (int row = y0; row < y1; ++row) {
        const uint8_t* line = frame.data[0] + size_t(row) * frame.linesize[0];
        for (int column = x0; column < x1; ++column) sum += line[column];
    }
    return double(sum) / (double(x1 - x0) * (y1 - y0));
}

std::unique_ptr<H264Decoder> H264Decoder::create(std::string& error) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
        error = "libavcodec no tiene decodificador H.264";
        return nullptr;
    }
    std::unique_ptr<H264Decoder> decoder(new H264Decoder());
    decoder->context_ = avcodec_alloc_context3(codec);
    decoder->packet_ = av_packet_alloc();
    if (!decoder->context_ || !decoder->packet_) {
        error = "sin memoria para el decodificador H.264";
        return nullptr;
    }
    // One picture out per access unit in: no frame threads (they add a frame of
    // delay per thread) and no waiting for reordering the stream never uses.
    decoder->context_->thread_count = 1;
    decoder->context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(decoder->context_, codec, nullptr) < 0) {
        error = "no se pudo abrir el decodificador H.264";
        return nullptr;
    }
    return decoder;
}

H264Decoder::~H264Decoder() {
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

H264Decoder::Output H264Decoder::decode(std::span<const uint8_t> accessUnit, int64_t pts) {
    Output output;
    if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) {
        ++output.errors;
        return output;
    }
    std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
    packet_->pts = packet_->dts = pts;
    int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) ++output.errors;
    receive(output);
    return output;
}

H264Decoder::Output H264Decoder::flush() {
    Output output;
    avcodec_send_packet(context_, nullptr);
    receive(output);
    return output;
}

void H264Decoder::receive(Output& output) {
    for (;;) {
        FramePtr frame(av_frame_alloc());
        int got = avcodec_receive_frame(context_, frame.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
        if (got < 0) {
            ++output.errors;
            return;
        }
        if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) ++output.errors;
        output.frames.push_back(std::move(frame));
    }
}

std::string H264Decoder::profileName() const {
    const char* name = avcodec_profile_name(AV_CODEC_ID_H264, context_->profile);
    return name ? name : "";
}

int H264Decoder::width() const { return context_->width; }
int H264Decoder::height() const { return context_->height; }

}  // namespace zentrecv
