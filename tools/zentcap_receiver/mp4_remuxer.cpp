#include "tools/zentcap_receiver/mp4_remuxer.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tools/zentcap_receiver/annexb.h"

namespace zentrecv {

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

Mp4Remuxer::~Mp4Remuxer() {
    av_packet_free(&held_);
    if (format_) {
        if (format_->pb) avio_closep(&format_->pb);
        avformat_free_context(format_);
    }
}

std::optional<std::string> Mp4Remuxer::open(const Packet& key, int width, int height) {
    // The parameter sets, with their start codes, as extradata: the MP4 muxer
    // turns them into the avcC box (without them it writes an unplayable file).
    std::vector<uint8_t> parameterSets;
    for (const auto& unit : splitNalUnits(key.payload).units) {
        if (unit.type() != static_cast<uint8_t>(NalType::Sps) && unit.type() != static_cast<uint8_t>(NalType::Pps)) {
            break;
        }
        static constexpr uint8_t startCode[] = {0, 0, 0, 1};
        parameterSets.insert(parameterSets.end(), startCode, startCode + 4);
        parameterSets.insert(parameterSets.end(), unit.bytes.begin(), unit.bytes.end());
    }
    if (parameterSets.empty()) return "el fotograma clave no trae SPS/PPS";

    int status = avformat_alloc_output_context2(&format_, nullptr, "mp4", path_.c_str());
    if (status < 0 || !format_) return "no se pudo preparar el MP4: " + avError(status);
    AVStream* stream = avformat_new_stream(format_, nullptr);
    if (!stream) return "no se pudo crear la pista de vídeo";
    stream->time_base = {1, 1000000};
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = width;
    parameters->height = height;
    parameters->extradata = static_cast<uint8_t*>(av_mallocz(parameterSets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters->extradata) return "sin memoria para el MP4";
    std::memcpy(parameters->extradata, parameterSets.data(), parameterSets.size());
    parameters->extradata_size = static_cast<int>(parameterSets.size());

    status = avio_open(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) return "no se pudo crear " + path_ + ": " + avError(status);
    status = avformat_write_header(format_, nullptr);
    if (status < 0) return "no se pudo escribir la cabecera del MP4: " + avError(status);
    firstTimestamp_ = static_cast<int64_t>(key.timestamp);
    held_ = av_packet_alloc();
    if (!held_) return "sin memoria para el MP4";
    return std::nullopt;
}

std::optional<std::string> Mp4Remuxer::writeHeld(int64_t duration) {
    if (!held_ || !held_->data) return std::nullopt;
    held_->duration = duration;
    held_->stream_index = 0;
    // The muxer rescales to the track's time base; the packet carries ours.
    av_packet_rescale_ts(held_, {1, 1000000}, format_->streams[0]->time_base);
    int status = av_write_frame(format_, held_);
    av_packet_unref(held_);
    if (status < 0) return "no se pudo escribir en el MP4: " + avError(status);
    return std::nullopt;
}

std::optional<std::string> Mp4Remuxer::add(const Packet& packet, int width, int height) {
    if (!packet.isVideo() || finished_) return std::nullopt;
    if (!format_) {
        if (packet.kind != PacketKind::Key) return std::nullopt;  // nothing decodable before it
        if (auto problem = open(packet, width, height)) return problem;
    }
    int64_t pts = static_cast<int64_t>(packet.timestamp) - firstTimestamp_;
    if (held_->data) {
        int64_t duration = pts - held_->pts;
        if (duration > 0) lastDuration_ = duration;
        if (auto problem = writeHeld(lastDuration_)) return problem;
    }
    if (av_new_packet(held_, static_cast<int>(packet.payload.size())) < 0) return "sin memoria para el MP4";
    std::memcpy(held_->data, packet.payload.data(), packet.payload.size());
    held_->pts = held_->dts = pts;  // the streamer never reorders frames
    if (packet.kind == PacketKind::Key) held_->flags |= AV_PKT_FLAG_KEY;
    return std::nullopt;
}

std::optional<std::string> Mp4Remuxer::finish() {
    if (!format_ || finished_) return std::nullopt;
    finished_ = true;
    if (auto problem = writeHeld(lastDuration_)) return problem;
    int status = av_write_trailer(format_);
    if (status < 0) return "no se pudo cerrar el MP4: " + avError(status);
    status = avio_closep(&format_->pb);
    if (status < 0) return "no se pudo cerrar el MP4: " + avError(status);
    return std::nullopt;
}

}  // namespace zentrecv
