#include "tests/zentcap/e2e/live_stream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "tools/zentcap_receiver/packet_parser.h"
#include "tools/zentcap_receiver/stream_validator.h"

namespace e2e {

std::unique_ptr<LiveStream> LiveStream::start(const StreamSettings& settings) {
    std::unique_ptr<LiveStream> stream(new LiveStream());
    std::map<std::string, std::string> env{{"DISPLAY", settings.display}};
    for (const auto& [name, value] : settings.environment) env.insert_or_assign(name, value);
    stream->child_ = testsupport::Child::spawn(
        {testsupport::binary("zentcap"), std::to_string(settings.displayID), std::to_string(settings.width),
         std::to_string(settings.height), std::to_string(settings.fps), std::to_string(settings.bitrate),
         settings.drawMouse ? "1" : "0"},
        env, settings.stalled);
    if (!stream->child_) return nullptr;
    stream->reader_ = std::thread([raw = stream.get()] { raw->readLoop(); });
    return stream;
}

LiveStream::~LiveStream() {
    {
        std::scoped_lock lock(mutex_);
        stop_ = true;
    }
    if (reader_.joinable()) reader_.join();
}

void LiveStream::readLoop() {
    zentrecv::PacketParser parser;
    zentrecv::StreamValidator validator;
    std::vector<uint8_t> chunk(256 * 1024);
    for (;;) {
        {
            std::scoped_lock lock(mutex_);
            if (stop_) return;
        }
        // A short poll keeps the loop responsive to the destructor.
        pollfd watch{child_->stdoutFd(), POLLIN, 0};
        int ready = ::poll(&watch, 1, 50);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;
        ssize_t got = ::read(child_->stdoutFd(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        auto now = Clock::now();
        std::scoped_lock lock(mutex_);
        if (got <= 0) {
            ended_ = true;
            grew_.notify_all();
            return;
        }
        raw_.append(reinterpret_cast<const char*>(chunk.data()), size_t(got));
        if (error_) continue;  // keep draining so the streamer is never blocked
        parser.feed(std::span(chunk.data(), size_t(got)));
        while (auto packet = parser.next()) {
            if (auto problem = validator.check(*packet)) {
                error_ = *problem;
                break;
            }
            packets_.push_back({std::move(*packet), now});
        }
        if (parser.error()) error_ = *parser.error();
        grew_.notify_all();
    }
}

std::optional<Arrival> LiveStream::waitFor(const std::function<bool(const Arrival&)>& match, milliseconds timeout,
                                           size_t from) {
    std::unique_lock lock(mutex_);
    auto deadline = Clock::now() + timeout;
    size_t next = from;
    for (;;) {
        for (; next < packets_.size(); ++next) {
            if (match(packets_[next])) return packets_[next];
        }
        if (ended_ || error_) return std::nullopt;
        if (grew_.wait_until(lock, deadline) == std::cv_status::timeout && next == packets_.size()) {
            return std::nullopt;
        }
    }
}

std::optional<Arrival> LiveStream::waitForVideo(milliseconds timeout, size_t from) {
    return waitFor([](const Arrival& a) { return a.packet.isVideo(); }, timeout, from);
}

std::optional<Arrival> LiveStream::waitForKey(milliseconds timeout, size_t from) {
    return waitFor([](const Arrival& a) { return a.packet.kind == zentrecv::PacketKind::Key; }, timeout, from);
}

std::optional<Arrival> LiveStream::waitForCursor(milliseconds timeout, size_t from) {
    return waitFor([](const Arrival& a) { return a.packet.kind == zentrecv::PacketKind::Cursor; }, timeout, from);
}

bool LiveStream::waitForQuiet(milliseconds quiet, milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto deadline = Clock::now() + timeout;
    for (;;) {
        Clock::time_point lastVideo{};
        for (auto it = packets_.rbegin(); it != packets_.rend(); ++it) {
            if (it->packet.isVideo()) {
                lastVideo = it->at;
                break;
            }
        }
        auto quietUntil = lastVideo + quiet;
        auto now = Clock::now();
        if (lastVideo != Clock::time_point{} && now >= quietUntil) return true;
        if (now >= deadline || ended_ || error_) return false;
        auto wakeAt = lastVideo == Clock::time_point{} ? deadline : std::min(quietUntil, deadline);
        grew_.wait_until(lock, wakeAt);
    }
}

size_t LiveStream::count() const {
    std::scoped_lock lock(mutex_);
    return packets_.size();
}

std::vector<Arrival> LiveStream::packets(size_t from) const {
    std::scoped_lock lock(mutex_);
    if (from >= packets_.size()) return {};
    return std::vector<Arrival>(packets_.begin() + std::ptrdiff_t(from), packets_.end());
}

std::optional<std::string> LiveStream::streamError() const {
    std::scoped_lock lock(mutex_);
    return error_;
}

std::string LiveStream::rawBytes() const {
    std::scoped_lock lock(mutex_);
    return raw_;
}

bool LiveStream::ended() const {
    std::scoped_lock lock(mutex_);
    return ended_;
}

DecodeSummary decodeVideo(const std::vector<Arrival>& packets,
                          const std::function<void(const zentrecv::Packet&, const AVFrame&)>& seen) {
    DecodeSummary summary;
    std::string error;
    auto decoder = zentrecv::H264Decoder::create(error);
    if (!decoder) {
        summary.errors = 1;
        return summary;
    }
    for (const auto& arrival : packets) {
        if (!arrival.packet.isVideo()) continue;
        auto output = decoder->decode(arrival.packet.payload, int64_t(arrival.packet.timestamp));
        summary.errors += output.errors;
        for (auto& frame : output.frames) {
            ++summary.pictures;
            if (seen) seen(arrival.packet, *frame);
            summary.last = std::move(frame);
        }
    }
    summary.profile = decoder->profileName();
    summary.width = decoder->width();
    summary.height = decoder->height();
    return summary;
}

VideoSpan videoSpan(const std::vector<Arrival>& packets, size_t from, size_t skip, size_t count) {
    std::vector<const zentrecv::Packet*> span;
    for (size_t i = from; i < packets.size() && span.size() < count; ++i) {
        const auto& packet = packets[i].packet;
        if (!packet.isVideo()) continue;
        if (skip > 0) --skip;
        else span.push_back(&packet);
    }
    VideoSpan result;
    result.frames = span.size();
    if (span.empty()) return result;
    uint64_t bytes = 0;
    for (const auto* packet : span) bytes += packet->payload.size();
    result.bitsPerFrame = double(bytes) * 8.0 / double(span.size());
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < span.size(); ++i) gaps.push_back(span[i]->timestamp - span[i - 1]->timestamp);
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
        result.medianGapMicros = double(gaps[gaps.size() / 2]);
    }
    return result;
}

}  // namespace e2e
