#include "platform/linux/x264/x264_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bounded_write.h"
#include "platform/linux/capture/color_description.h"

namespace platform::x264 {

namespace {

// Speed preset: "ultrafast", with CABAC and the 8x8 transform turned back on below
// (ultrafast alone drops both and falls to Constrained Baseline). The encode is most of
// the time between a change on the screen and its packet, and screen content gains
// little from the slower presets' motion search: 1080p screen content took 3.5 ms a
// frame this way against 5.2 ms with "superfast" (one thread, these machines).
constexpr const char* kPreset = "ultrafast";
// A file is watched later, at leisure, and its frames come at most at the capture
// rate: "superfast" spends about 1.5 times the time of ultrafast for visibly better
// pictures at the same bit rate, still far below a frame interval.
constexpr const char* kFilePreset = "superfast";
// The finest quantiser the rate control may choose. A still screen costs next to
// nothing, so the average bit rate pulls its quantiser down frame after frame towards
// lossless; every step down makes libx264 code again, with full analysis, each
// macroblock marked constant (it skips one only when its reference is no coarser than
// the new quantiser). On a screen where a few glyphs change, that was a third of the
// encoding time and most of the bits. Below this the pictures are already
// indistinguishable from the source; content that moves never gets this fine at the
// bit rates of a stream.
constexpr int kFinestQp = 16;
// VBV buffer in frame times: small enough that no frame waits long in the decoder's
// buffer, large enough that a key frame is not starved.
constexpr double kVbvFrames = 4;

constexpr auto kDiagnosticWait = std::chrono::milliseconds(500);

void logErrors(void*, int level, const char* format, va_list arguments) {
    if (level > X264_LOG_ERROR) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    // The library's lines end with their own line feed.
    writeWithin(2, std::string("x264: ") + text, kDiagnosticWait);
}

}  // namespace

void reportError(const std::string& text) { writeWithin(2, "x264: " + text + "\n", kDiagnosticWait); }

std::string errorText(const char* operation, int result) {
    return std::string(operation) + " falló (x264 " + std::to_string(result) + ")";
}

void applyRate(x264_param_t& param, const RateSettings& rate, double openFramesPerSecond) {
    // libx264 budgets each frame as bit rate / the frame rate it was opened with, and
    // x264_encoder_reconfig does not change that frame rate (measured: frame sizes stay
    // put). A new frame rate therefore becomes a scaled bit rate with the same budget
    // per frame as bit rate / new frame rate.
    const double perFrameScale = openFramesPerSecond / std::max(rate.framesPerSecond, 0.001);
    const double kbps = std::clamp(rate.bitsPerSecond * perFrameScale / 1000.0, 1.0, 2'000'000.0);
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = static_cast<int>(std::lround(kbps));
    param.rc.i_vbv_max_bitrate = param.rc.i_bitrate;
    param.rc.i_vbv_buffer_size =
        std::max(1, static_cast<int>(std::lround(kbps * kVbvFrames / std::max(openFramesPerSecond, 1.0))));
}

std::unique_ptr<Encoder> Encoder::open(int width, int height, const RateSettings& rate, std::string& error,
                                       Use use) {
    x264_param_t param;
    const char* preset = use == Use::file ? kFilePreset : kPreset;
    if (int result = x264_param_default_preset(&param, preset, "zerolatency"); result < 0) {
        error = errorText("x264_param_default_preset", result);
        return nullptr;
    }
    param.i_width = width;
    param.i_height = height;
    param.i_csp = X264_CSP_NV12;
    param.i_bitdepth = 8;
    param.pf_log = logErrors;
    param.i_log_level = X264_LOG_ERROR;

    // Latency: no B-frames, no lookahead of any kind, and one thread (frame threads
    // would hold frames back). Two sliced threads gained nothing measurable on two
    // cores shared with capture (1080p screen content, ultrafast: 3.5 ms a frame either
    // way), so the second core stays free for the capture thread.
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    param.i_sync_lookahead = 0;
    param.rc.b_mb_tree = 0;
    param.b_sliced_threads = 0;
    param.i_threads = 1;

    // Key frames only when the session asks for them.
    param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    param.i_scenecut_threshold = 0;
    param.b_intra_refresh = 0;

    // Constant frame rate: with timestamps driving the rate control (b_vfr_input)
    // libx264 holds every frame back until the next one arrives, to learn its duration.
    param.b_vfr_input = 0;

    // High profile: CABAC and the 8x8 transform are what make x264 choose it. The
    // deblocking filter (which ultrafast also drops) costs about 0.3 ms a frame at
    // 1080p and keeps edges clean at low bit rates.
    param.b_cabac = 1;
    param.analyse.b_transform_8x8 = 1;
    param.b_deblocking_filter = 1;

    // Macroblocks the caller marks as unchanged since the previous frame are coded as
    // skipped without analysis (libx264 checks that the previous frame is the
    // reference and that its quality is no worse).
    param.analyse.b_mb_info = 1;

    // Parameter sets come apart from the frames; NAL units carry length prefixes.
    param.b_repeat_headers = 0;
    param.b_annexb = 0;
    param.b_aud = 0;

    const platform::x11::ColorDescription& color = platform::x11::kCaptureColor;
    param.vui.i_colorprim = color.colourPrimaries;
    param.vui.i_transfer = color.transferCharacteristics;
    param.vui.i_colmatrix = color.matrixCoefficients;
    param.vui.b_fullrange = color.fullRange ? 1 : 0;

    // The frame rate as a fraction with millisecond precision, for fractional rates.
    param.i_fps_num = static_cast<uint32_t>(std::lround(rate.framesPerSecond * 1000));
    param.i_fps_den = 1000;
    applyRate(param, rate, rate.framesPerSecond);
    param.rc.i_qp_min = kFinestQp;
    if (use == Use::file) {
        // A file has no decoder buffer to protect: the average alone, so that a still
        // screen's few bits are saved for the moments that move. Key frames still come
        // only on request: the writer asks for one at the start of each fragment.
        param.rc.i_vbv_max_bitrate = 0;
        param.rc.i_vbv_buffer_size = 0;
    }
    if (int result = x264_param_apply_profile(&param, "high"); result < 0) {
        error = errorText("x264_param_apply_profile", result);
        return nullptr;
    }
    EncoderPtr handle(x264_encoder_open(&param));
    if (!handle) {
        error = errorText("x264_encoder_open", -1);
        return nullptr;
    }
    return std::unique_ptr<Encoder>(new Encoder(std::move(handle), rate.framesPerSecond, width, height));
}

bool Encoder::reconfigure(const RateSettings& rate, std::string& error) {
    x264_param_t param;
    x264_encoder_parameters(handle_.get(), &param);
    applyRate(param, rate, openFramesPerSecond_);
    if (int result = x264_encoder_reconfig(handle_.get(), &param); result < 0) {
        error = errorText("x264_encoder_reconfig", result);
        return false;
    }
    return true;
}

std::vector<std::vector<uint8_t>> Encoder::parameterSets() {
    x264_nal_t* nals = nullptr;
    int count = 0;
    std::vector<std::vector<uint8_t>> sets;
    if (x264_encoder_headers(handle_.get(), &nals, &count) < 0) return sets;
    for (int type : {NAL_SPS, NAL_PPS}) {
        for (int i = 0; i < count; ++i) {
            // Each payload starts with its 4-byte length (b_annexb off).
            if (nals[i].i_type == type && nals[i].i_payload > 4)
                sets.emplace_back(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        }
    }
    return sets;
}

std::optional<EncodedFrame> Encoder::encode(const PixelBuffer& image, int64_t microseconds, bool forceKeyFrame,
                                            std::string& error) {
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    picture.img.plane[0] = const_cast<uint8_t*>(image.luma.data());
    picture.img.i_stride[0] = image.lumaStride;
    picture.img.plane[1] = const_cast<uint8_t*>(image.chroma.data());
    picture.img.i_stride[1] = image.chromaStride;
    picture.i_pts = microseconds;
    picture.i_type = forceKeyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
    // Freed by libx264 once the frame is done with, whenever that is.
    const std::vector<uint8_t>& unchanged = unchanged_.compare(image);
    picture.prop.mb_info = static_cast<uint8_t*>(std::malloc(unchanged.size()));
    if (picture.prop.mb_info) {
        std::memcpy(picture.prop.mb_info, unchanged.data(), unchanged.size());
        picture.prop.mb_info_free = [](void* flags) { std::free(flags); };
    }

    x264_picture_t output;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(handle_.get(), &nals, &count, &picture, &output);
    if (size < 0) {
        error = errorText("x264_encoder_encode", size);
        return std::nullopt;
    }
    EncodedFrame frame;
    frame.keyFrame = size > 0 && output.b_keyframe != 0;
    frame.data.reserve(static_cast<size_t>(size));
    for (int i = 0; i < count; ++i) {
        // Parameter sets travel in the format description, never inside frames; SEI
        // (x264's version banner) and delimiters are of no use to the receiver.
        const int type = nals[i].i_type;
        if (type == NAL_SPS || type == NAL_PPS || type == NAL_SEI || type == NAL_AUD || type == NAL_FILLER) continue;
        frame.data.insert(frame.data.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
    return frame;
}

}  // namespace platform::x264
