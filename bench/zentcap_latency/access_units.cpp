#include "bench/zentcap_latency/access_units.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <span>

#include "bench/zentcap_latency/screen_flipper.h"
#include "tools/zentcap_receiver/annexb.h"
#include "tools/zentcap_receiver/packet_parser.h"

namespace bench {

std::vector<Arrival> readAccessUnits(StreamFormat format, int fd) {
    std::vector<Arrival> units;
    std::vector<uint8_t> chunk(1 << 20);
    zentrecv::PacketParser parser;
    zentrecv::AccessUnitSplitter splitter;
    // For raw H.264 an access unit closes only when the next one starts; its
    // arrival is the read that brought its last byte.
    std::deque<std::pair<uint64_t, double>> reads;  // (end offset, time)
    uint64_t received = 0, closedBytes = 0;
    for (;;) {
        ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        double now = monotonicSeconds();
        std::span<const uint8_t> bytes(chunk.data(), size_t(got));
        if (format == StreamFormat::zentcapPackets) {
            parser.feed(bytes);
            while (auto packet = parser.next()) {
                if (packet->isVideo()) units.push_back({std::move(packet->payload), now});
            }
            if (parser.error()) {
                std::fprintf(stderr, "zentcap stream broken: %s\n", parser.error()->c_str());
                break;
            }
            continue;
        }
        received += bytes.size();
        reads.emplace_back(received, now);
        for (auto& unit : splitter.feed(bytes)) {
            closedBytes += unit.size();
            while (reads.size() > 1 && reads.front().first < closedBytes) reads.pop_front();
            units.push_back({std::move(unit), reads.front().second});
        }
    }
    if (format == StreamFormat::annexB) {
        auto last = splitter.finish();
        if (!last.empty()) units.push_back({std::move(last), reads.empty() ? monotonicSeconds() : reads.back().second});
    }
    return units;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    double position = fraction * double(values.size() - 1);
    size_t low = size_t(position);
    size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (position - double(low));
}

}  // namespace bench
