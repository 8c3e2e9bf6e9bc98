#include "tests/zentcap/e2e/picture_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/support/temp_dir.h"

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

const Rgb kPalette[8] = {{200, 40, 40},   {40, 180, 60},  {50, 60, 200},  {230, 230, 230},
                         {25, 25, 25},    {220, 200, 40}, {40, 190, 200}, {180, 60, 190}};

std::vector<Block> colourGrid(int width, int height) {
    std::vector<Block> blocks;
    for (int i = 0; i < 8; ++i) {
        int column = i % 4, row = i / 4;
        blocks.push_back({column * width / 4, row * height / 2, width / 4, height / 2, kPalette[i]});
    }
    return blocks;
}

zentrecv::RgbImage stillPicture(LiveStream& stream, size_t from) {
    EXPECT_TRUE(stream.waitForVideo(milliseconds(10000), from)) << stream.process().stderrText();
    EXPECT_TRUE(stream.waitForQuiet(milliseconds(500), milliseconds(10000)));
    EXPECT_FALSE(stream.streamError()) << *stream.streamError();
    auto decoded = decodeVideo(stream.packets());
    EXPECT_EQ(decoded.errors, 0);
    if (!decoded.last) return {};
    return zentrecv::toRgb(*decoded.last);
}

void expectShows(const zentrecv::RgbImage& image, const std::vector<Block>& blocks, const Block& shown,
                 int tolerance) {
    int checked = 0;
    for (const auto& block : blocks) {
        const int left = std::max(block.x, shown.x), right = std::min(block.x + block.width, shown.x + shown.width);
        const int top = std::max(block.y, shown.y), bottom = std::min(block.y + block.height, shown.y + shown.height);
        // Too little of it shows to have a middle away from the scaler's reach.
        if (right - left < 60 || bottom - top < 60) continue;
        const int x = ((left + right) / 2 - shown.x) * image.width / shown.width;
        const int y = ((top + bottom) / 2 - shown.y) * image.height / shown.height;
        Rgb seen = meanColour(image, x, y, 6);
        EXPECT_LE(colourDistance(seen, block.colour), tolerance)
            << "block at " << block.x << "," << block.y << " seen at " << x << "," << y << ": painted "
            << describe(block.colour) << ", decoded " << describe(seen);
        ++checked;
    }
    EXPECT_GT(checked, 0) << "no block shows in the part looked at";
}

std::string describe(Rgb colour) {
    return "(" + std::to_string(colour.r) + "," + std::to_string(colour.g) + "," + std::to_string(colour.b) + ")";
}

std::optional<zentrecv::RgbImage> readPng(const std::string& path) {
    std::string bytes = testsupport::readFile(path);
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
