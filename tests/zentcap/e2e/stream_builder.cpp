#include "tests/zentcap/e2e/stream_builder.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "tools/zentcap_receiver/annexb.h"
#include "tools/zentcap_receiver/h264_decoder.h"

namespace e2e {

using zentrecv::NalType;
using zentrecv::Packet;
using zentrecv::PacketKind;

namespace {

struct ContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// One encoder packet as the streamer would frame it.
Packet frame(const AVPacket& encoded, uint64_t timestamp, std::vector<uint8_t>& parameterSets) {
    bool key = (encoded.flags & AV_PKT_FLAG_KEY) != 0;
    std::vector<uint8_t> body, sets;
    static constexpr uint8_t startCode[] = {0, 0, 0, 1};
    for (const auto& unit : zentrecv::splitNalUnits(std::span(encoded.data, size_t(encoded.size))).units) {
        bool set = unit.type() == uint8_t(NalType::Sps) || unit.type() == uint8_t(NalType::Pps);
        auto& into = set ? sets : body;
        into.insert(into.end(), startCode, startCode + 4);
        into.insert(into.end(), unit.bytes.begin(), unit.bytes.end());
    }
    if (!sets.empty()) parameterSets = sets;
    Packet packet;
    packet.kind = key ? PacketKind::Key : PacketKind::Delta;
    packet.timestamp = timestamp;
    if (key) packet.payload = parameterSets;
    packet.payload.insert(packet.payload.end(), body.begin(), body.end());
    return packet;
}

}  // namespace

Rgb quadrants(int width, int height, int x, int y) {
    bool right = x >= width / 2, bottom = y >= height / 2;
    if (!bottom) return right ? Rgb{20, 200, 40} : Rgb{220, 30, 30};
    return right ? Rgb{240, 240, 240} : Rgb{30, 40, 210};
}

std::vector<Packet> buildVideo(const VideoRecipe& recipe) {
    std::vector<Packet> packets;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return packets;
    std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
    context->width = recipe.width;
    context->height = recipe.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, 1000000};
    context->gop_size = recipe.keyInterval;
    context->max_b_frames = 0;
    context->thread_count = 1;
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->color_range = AVCOL_RANGE_MPEG;
    av_opt_set(context->priv_data, "preset", recipe.preset.c_str(), 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "profile", recipe.profile.c_str(), 0);
    av_log_set_level(AV_LOG_ERROR);  // libx264 reports its statistics at info level
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return packets;

    zentrecv::FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = recipe.width;
    picture->height = recipe.height;
    av_frame_get_buffer(picture.get(), 0);
    std::vector<uint8_t> rgb(size_t(recipe.width) * recipe.height * 3);
    SwsContext* converter = sws_getContext(recipe.width, recipe.height, AV_PIX_FMT_RGB24, recipe.width,
                                           recipe.height, AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND,
                                           nullptr, nullptr, nullptr);
    sws_setColorspaceDetails(converter, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(SWS_CS_ITU601), 0, 0, 1 << 16, 1 << 16);
    std::unique_ptr<AVPacket, PacketFree> encoded(av_packet_alloc());
    std::vector<uint8_t> parameterSets;

    auto drain = [&] {
        while (avcodec_receive_packet(context.get(), encoded.get()) == 0) {
            packets.push_back(frame(*encoded, uint64_t(encoded->pts), parameterSets));
            av_packet_unref(encoded.get());
        }
    };
    for (int n = 0; n < recipe.frames; ++n) {
        for (int y = 0; y < recipe.height; ++y) {
            for (int x = 0; x < recipe.width; ++x) {
                Rgb colour = recipe.paint ? recipe.paint(n, x, y) : quadrants(recipe.width, recipe.height, x, y);
                uint8_t* pixel = rgb.data() + (size_t(y) * recipe.width + x) * 3;
                pixel[0] = colour.r;
                pixel[1] = colour.g;
                pixel[2] = colour.b;
            }
        }
        av_frame_make_writable(picture.get());
        const uint8_t* source[1] = {rgb.data()};
        int stride[1] = {recipe.width * 3};
        sws_scale(converter, source, stride, 0, recipe.height, picture->data, picture->linesize);
        picture->pts = int64_t(recipe.firstTimestamp + n * recipe.frameInterval);
        avcodec_send_frame(context.get(), picture.get());
        drain();
    }
    avcodec_send_frame(context.get(), nullptr);
    drain();
    sws_freeContext(converter);
    for (size_t i = 0; i < packets.size(); ++i) packets[i].index = i;
    return packets;
}

std::vector<uint8_t> serialize(const std::vector<Packet>& packets) {
    std::vector<uint8_t> out;
    for (const auto& packet : packets) {
        auto bytes = zentrecv::encodePacket(packet.kind, packet.timestamp, packet.payload);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace e2e
