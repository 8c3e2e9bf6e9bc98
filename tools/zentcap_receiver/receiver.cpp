#include "tools/zentcap_receiver/receiver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/zentcap_receiver/h264_decoder.h"
#include "tools/zentcap_receiver/image_files.h"
#include "tools/zentcap_receiver/mp4_remuxer.h"
#include "tools/zentcap_receiver/packet_parser.h"
#include "tools/zentcap_receiver/stream_stats.h"
#include "tools/zentcap_receiver/stream_validator.h"

namespace zentrecv {

namespace {

class FileCloser {
public:
    explicit FileCloser(int fd) : fd_(fd) {}
    ~FileCloser() {
        if (fd_ > 0) ::close(fd_);
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int fd_;
};

// Everything the receiver does with one packet, and what it keeps between them.
class Session {
public:
    Session(const ReceiverOptions& options, std::unique_ptr<H264Decoder> decoder)
        : options_(options), decoder_(std::move(decoder)) {
        if (!options.mp4.empty()) mp4_ = std::make_unique<Mp4Remuxer>(options.mp4);
    }
    ~Session() {
        if (h264_) std::fclose(h264_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False once the stream or an output failed (error() says why).
    bool handle(const Packet& packet);
    // Flushes the decoder and writes the files; false on failure.
    bool finish(const PacketParser& parser);

    const std::string& error() const { return error_; }
    const StreamStats& stats() const { return stats_; }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    void keepPictures(H264Decoder::Output& output);

    const ReceiverOptions& options_;
    std::unique_ptr<H264Decoder> decoder_;
    std::unique_ptr<Mp4Remuxer> mp4_;
    std::FILE* h264_ = nullptr;
    StreamValidator validator_;
    StreamStats stats_;
    std::optional<CursorImage> cursor_;
    FramePtr snapshot_;
    std::optional<CursorImage> snapshotCursor_;
    uint64_t picturesSeen_ = 0;
    std::string error_;
};

bool Session::handle(const Packet& packet) {
    if (auto problem = validator_.check(packet)) return fail("flujo inválido: " + *problem);
    stats_.addPacket(packet);
    if (packet.kind == PacketKind::Cursor) {
        cursor_ = parseCursorPayload(packet.payload).image;
        return true;
    }

    auto output = decoder_->decode(packet.payload, static_cast<int64_t>(packet.timestamp));
    stats_.addDecoded(static_cast<int>(output.frames.size()), output.errors);
    keepPictures(output);

    if (mp4_) {
        if (auto problem = mp4_->add(packet, decoder_->width(), decoder_->height())) return fail(*problem);
    }
    if (!options_.h264.empty()) {
        if (!h264_) {
            h264_ = std::fopen(options_.h264.c_str(), "wb");
            if (!h264_) return fail("no se pudo crear " + options_.h264 + ": " + std::strerror(errno));
        }
        if (std::fwrite(packet.payload.data(), 1, packet.payload.size(), h264_) != packet.payload.size()) {
            return fail("no se pudo escribir " + options_.h264);
        }
    }
    return true;
}

void Session::keepPictures(H264Decoder::Output& output) {
    for (auto& frame : output.frames) {
        bool wanted = options_.frame ? picturesSeen_ == *options_.frame : true;
        if (wanted && !options_.png.empty()) {
            snapshot_ = std::move(frame);  // a reference: the decoder's pool stays bounded
            snapshotCursor_ = cursor_;
        }
        ++picturesSeen_;
    }
    if (picturesSeen_ > 0) stats_.setPicture(decoder_->width(), decoder_->height(), decoder_->profileName());
}

bool Session::finish(const PacketParser& parser) {
    auto rest = decoder_->flush();
    stats_.addDecoded(static_cast<int>(rest.frames.size()), rest.errors);
    keepPictures(rest);
    stats_.setTruncatedTail(parser.pendingBytes());
    if (parser.pendingBytes() > 0) {
        // The streamer may stop in the middle of a packet when it is ending; that
        // unfinished packet is the last thing on the stream and is left out.
        std::cerr << "zentcap_receiver: aviso: el flujo termina con un paquete incompleto ("
                  << parser.pendingBytes() << " bytes)\n";
    }

    if (h264_ && std::fclose(h264_) != 0) return fail("no se pudo escribir " + options_.h264);
    h264_ = nullptr;
    if (mp4_) {
        if (auto problem = mp4_->finish()) return fail(*problem);
    }
    if (stats_.videoPackets() == 0) return fail("flujo inválido: no contiene fotogramas de vídeo");
    if (!options_.png.empty()) {
        if (!snapshot_) {
            return fail("no hay fotograma " + std::to_string(options_.frame.value_or(0)) + " para el PNG (" +
                        std::to_string(picturesSeen_) + " decodificados)");
        }
        RgbImage image = toRgb(*snapshot_);
        if (image.rgb.empty()) return fail("no se pudo convertir el fotograma a RGB");
        if (options_.drawCursor && snapshotCursor_) {
            auto [x, y] = options_.cursorAt.value_or(std::pair{image.width / 2, image.height / 2});
            drawCursor(image, *snapshotCursor_, x, y);
        }
        if (auto problem = writePng(image, options_.png)) return fail(*problem);
    }
    if (stats_.decodeErrors() > 0) {
        return fail("flujo inválido: " + std::to_string(stats_.decodeErrors()) + " errores al decodificar");
    }
    if (stats_.decodedFrames() != stats_.videoPackets()) {
        return fail("flujo inválido: se decodificaron " + std::to_string(stats_.decodedFrames()) + " de " +
                    std::to_string(stats_.videoPackets()) + " fotogramas");
    }
    return true;
}

}  // namespace

int runReceiver(const ReceiverOptions& options) {
    av_log_set_level(AV_LOG_ERROR);
    int fd = 0;
    if (!options.input.empty()) {
        fd = ::open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::cerr << "zentcap_receiver: no se pudo abrir " << options.input << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    FileCloser closer(fd);

    std::string error;
    auto decoder = H264Decoder::create(error);
    if (!decoder) {
        std::cerr << "zentcap_receiver: " << error << "\n";
        return 1;
    }
    Session session(options, std::move(decoder));
    PacketParser parser;
    bool ok = true;
    std::vector<uint8_t> chunk(64 * 1024);
    while (ok) {
        ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            std::cerr << "zentcap_receiver: error de lectura: " << std::strerror(errno) << "\n";
            return 1;
        }
        if (got == 0) break;
        parser.feed(std::span(chunk.data(), static_cast<size_t>(got)));
        while (ok) {
            auto packet = parser.next();
            if (!packet) break;
            ok = session.handle(*packet);
        }
        if (parser.error()) break;
    }

    std::string failure;
    if (parser.error()) {
        failure = "flujo inválido: " + *parser.error();
    } else if (!ok) {
        failure = session.error();
    } else if (!session.finish(parser)) {
        failure = session.error();
    }
    if (options.stats) {
        auto json = session.stats().toJson();
        json["valid"] = failure.empty();
        json["error"] = failure.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(failure);
        std::cout << json.dump() << std::endl;
    }
    if (!failure.empty()) {
        std::cerr << "zentcap_receiver: " << failure << "\n";
        return 1;
    }
    return 0;
}

}  // namespace zentrecv
