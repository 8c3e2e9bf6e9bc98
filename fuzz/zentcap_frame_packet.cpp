// Fuzzes the conversion of one encoded frame into a video packet. The fuzz bytes give
// the NAL length size, the not-sync mark, the timestamp, the parameter sets and the
// body; a packet that comes out is checked against a plain re-conversion.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/sim/capture/sim_capture.h"
#include "zentcap/capture_error.h"
#include "zentcap/packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes take(size_t n) {
        n = std::min(n, size_ - at_);
        Bytes bytes(data_ + at_, data_ + at_ + n);
        at_ += n;
        return bytes;
    }
    Bytes rest() { return take(size_ - at_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The expected payload, or nothing when the frame must be refused.
std::optional<Bytes> reference(const std::vector<Bytes>& sets, bool key, int lengthSize, const Bytes& body) {
    if (lengthSize < 1 || lengthSize > 4 || body.empty()) return std::nullopt;
    Bytes out;
    auto add = [&](const uint8_t* bytes, size_t n) {
        if (n == 0 || out.size() + 4 + n > zentcap::maxAU) return false;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), bytes, bytes + n);
        return true;
    };
    if (key) {
        for (const auto& set : sets) {
            if (!add(set.data(), set.size())) return std::nullopt;
        }
    }
    size_t offset = 0;
    while (offset < body.size()) {
        if (offset + static_cast<size_t>(lengthSize) > body.size()) return std::nullopt;
        size_t n = 0;
        for (int i = 0; i < lengthSize; ++i) n = (n << 8) | body[offset + static_cast<size_t>(i)];
        offset += static_cast<size_t>(lengthSize);
        if (n > body.size() - offset || !add(body.data() + offset, n)) return std::nullopt;
        offset += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    int lengthSize = input.byte() % 6;  // 0 and 5 must be refused
    uint8_t mark = input.byte();
    int64_t time = static_cast<int8_t>(input.byte()) * 1000 + input.byte();
    int setCount = input.byte() % 4;
    std::vector<Bytes> sets;
    for (int i = 0; i < setCount; ++i) sets.push_back(input.take(input.byte() % 40));
    Bytes body = input.rest();

    platform::EncodedSample sample;
    sample.format = std::make_shared<platform::sim::ScriptedFormat>(sets, lengthSize);
    sample.data = std::make_shared<platform::sim::ScriptedBlock>(body);
    switch (mark % 4) {
        case 0: break;  // no attachment: key frame
        case 1: sample.notSync = true; break;
        case 2: sample.notSync = false; break;
        default: sample.notSync = int64_t{1}; break;  // not a boolean: key frame
    }
    sample.presentationTime = {time, static_cast<int32_t>(1 + mark / 4)};
    bool key = mark % 4 != 1;

    auto expected = reference(sets, key, lengthSize, body);
    auto micros = sample.presentationTime.convertScale(1'000'000).value;
    try {
        auto packet = zentcap::videoPacket(sample);
        if (!expected || micros < 0) std::abort();
        Bytes payload(packet.begin() + zentcap::kPacketHeaderSize, packet.end());
        if (payload != *expected || payload.size() > zentcap::maxAU) std::abort();
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length = (length << 8) | packet[static_cast<size_t>(i)];
        uint64_t stamp = 0;
        for (int i = 5; i < 13; ++i) stamp = (stamp << 8) | packet[static_cast<size_t>(i)];
        if (length != payload.size() || packet[4] != (key ? 1 : 0) || stamp != static_cast<uint64_t>(micros)) {
            std::abort();
        }
    } catch (const zentcap::CaptureError& error) {
        if (expected && micros >= 0) std::abort();
        if (error.kind() == zentcap::CaptureError::Kind::stopped) std::abort();
    }
    return 0;
}
