#include "tests/support/mp4_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/child.h"

namespace testsupport {

namespace {

struct Decoder {
    AVCodecContext* context = nullptr;
    ~Decoder() { avcodec_free_context(&context); }
    bool open(const AVStream* stream) {
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec) return false;
        context = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(context, stream->codecpar);
        context->pkt_timebase = stream->time_base;
        return avcodec_open2(context, codec, nullptr) == 0;
    }
};

}  // namespace

Probe probe(const std::string& path, std::optional<Region> region) {
    Probe result;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return result;
    if (avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return result;
    }
    result.opened = true;
    int videoIndex = -1, audioIndex = -1;
    Decoder video, audio;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* p = format->streams[i]->codecpar;
        ProbedStream s;
        s.codec = avcodec_get_name(p->codec_id);
        s.profile = p->profile;
        s.width = p->width;
        s.height = p->height;
        s.sampleRate = p->sample_rate;
        s.channels = p->ch_layout.nb_channels;
        s.bitRate = p->bit_rate;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && videoIndex < 0) {
            videoIndex = static_cast<int>(i);
            result.video = s;
            video.open(format->streams[i]);
        } else if (p->codec_type == AVMEDIA_TYPE_AUDIO && audioIndex < 0) {
            audioIndex = static_cast<int>(i);
            result.audio = s;
            audio.open(format->streams[i]);
        }
    }
    auto end = [&](int index) {
        const AVStream* stream = format->streams[index];
        if (stream->duration == AV_NOPTS_VALUE) return -1.0;
        const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
        return static_cast<double>(start + stream->duration) * av_q2d(stream->time_base);
    };
    if (videoIndex >= 0) result.videoEnd = end(videoIndex);
    if (audioIndex >= 0) result.audioEnd = end(audioIndex);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool soundStarted = false;
    auto drain = [&](Decoder& decoder, int index) {
        const AVRational base = format->streams[index]->time_base;
        while (avcodec_receive_frame(decoder.context, frame) == 0) {
            const double time = frame->best_effort_timestamp == AV_NOPTS_VALUE
                                    ? 0
                                    : static_cast<double>(frame->best_effort_timestamp) * av_q2d(base);
            if (index == videoIndex) {
                auto mean = [&](int x0, int y0, int width, int height) {
                    x0 = std::clamp(x0, 0, frame->width);
                    y0 = std::clamp(y0, 0, frame->height);
                    width = std::min(width, frame->width - x0);
                    height = std::min(height, frame->height - y0);
                    if (width <= 0 || height <= 0) return 0.0;
                    double sum = 0;
                    for (int y = y0; y < y0 + height; ++y)
                        for (int x = x0; x < x0 + width; ++x) sum += frame->data[0][y * frame->linesize[0] + x];
                    return sum / (width * height);
                };
                result.pictures.push_back({time, mean(0, 0, frame->width, frame->height),
                                           region ? mean(region->x, region->y, region->width, region->height) : 0,
                                           frame->key_frame != 0});
            } else {
                if (!soundStarted) {
                    result.soundStart = time;
                    soundStarted = true;
                }
                const float* left = reinterpret_cast<const float*>(frame->extended_data[0]);
                result.sound.insert(result.sound.end(), left, left + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        const int index = packet->stream_index;
        Decoder* decoder = index == videoIndex ? &video : index == audioIndex ? &audio : nullptr;
        if (decoder && decoder->context) {
            if (avcodec_send_packet(decoder->context, packet) < 0) ++result.decodeErrors;
            drain(*decoder, index);
        }
        av_packet_unref(packet);
    }
    for (auto [decoder, index] : {std::pair{&video, videoIndex}, std::pair{&audio, audioIndex}}) {
        if (!decoder->context) continue;
        avcodec_send_packet(decoder->context, nullptr);
        drain(*decoder, index);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    return result;
}

std::optional<Durations> ffprobeDurations(const std::string& path) {
    auto child = Child::spawn({"ffprobe", "-v", "error", "-show_entries",
                                            "format=duration:stream=codec_type,duration", "-of", "compact=p=0:nk=1",
                                            path});
    if (!child) return std::nullopt;
    child->closeStdin();
    std::istringstream lines(child->readStdoutToEnd(std::chrono::milliseconds(20000)));
    if (child->waitExit(std::chrono::milliseconds(20000)) != 0) return std::nullopt;
    Durations durations;
    // Stream lines read "video|3.000000", the format line "3.000000".
    for (std::string line; std::getline(lines, line);) {
        const auto bar = line.find('|');
        try {
            if (bar == std::string::npos) {
                durations.format = std::stod(line);
            } else if (line.compare(0, bar, "video") == 0) {
                durations.video = std::stod(line.substr(bar + 1));
            } else if (line.compare(0, bar, "audio") == 0) {
                durations.audio = std::stod(line.substr(bar + 1));
            }
        } catch (const std::exception&) {
        }
    }
    return durations;
}

std::vector<std::string> topLevelBoxes(const std::string& path) {
    std::vector<std::string> boxes;
    std::ifstream file(path, std::ios::binary);
    for (;;) {
        unsigned char header[16];
        if (!file.read(reinterpret_cast<char*>(header), 8)) break;
        uint64_t size = (uint64_t{header[0]} << 24) | (uint64_t{header[1]} << 16) | (uint64_t{header[2]} << 8) | header[3];
        boxes.emplace_back(reinterpret_cast<char*>(header + 4), 4);
        uint64_t headerSize = 8;
        if (size == 1) {
            if (!file.read(reinterpret_cast<char*>(header + 8), 8)) break;
            size = 0;
            for (int i = 8; i < 16; ++i) size = (size << 8) | header[i];
            headerSize = 16;
        }
        if (size == 0) break;  // to the end of the file
        if (size < headerSize) break;
        file.seekg(static_cast<std::streamoff>(size - headerSize), std::ios::cur);
    }
    return boxes;
}

}  // namespace testsupport
