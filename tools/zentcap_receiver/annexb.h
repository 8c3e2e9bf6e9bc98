#pragma once
// Annex B byte streams: NAL units separated by start codes (00 00 01, usually
// preceded by one more zero byte).

#include <cstdint>
#include <span>
#include <vector>

namespace zentrecv {

enum class NalType : uint8_t {
    Slice = 1,
    IdrSlice = 5,
    Sei = 6,
    Sps = 7,
    Pps = 8,
    AccessUnitDelimiter = 9,
};

struct NalUnit {
    size_t startCodeOffset = 0;  // where its start code begins
    size_t startCodeBytes = 0;   // 3 or 4
    std::span<const uint8_t> bytes;  // the NAL unit itself, header byte first

    uint8_t type() const { return bytes.empty() ? 0 : bytes[0] & 0x1f; }
    bool forbiddenBitSet() const { return !bytes.empty() && (bytes[0] & 0x80) != 0; }
};

// The NAL units of `stream`, in order. Bytes before the first start code are not
// part of any unit (leadingGarbage says how many there were).
struct NalSplit {
    std::vector<NalUnit> units;
    size_t leadingGarbage = 0;
};
NalSplit splitNalUnits(std::span<const uint8_t> stream);

// True for the slice types that carry picture data (coded slices, IDR or not).
inline bool isSlice(uint8_t type) { return type >= 1 && type <= 5; }

// Incrementally cuts a raw H.264 elementary stream (as written by encoders that
// output plain Annex B, e.g. ffmpeg -f h264) into access units: a new unit
// starts at an access unit delimiter, an SPS/PPS/SEI that follows a slice, or a
// slice whose first_mb_in_slice is 0 after another slice.
class AccessUnitSplitter {
public:
    // Appends bytes; complete access units are returned as they close.
    std::vector<std::vector<uint8_t>> feed(std::span<const uint8_t> bytes);
    // The last access unit, at the end of the stream.
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> pending_;
    size_t scanned_ = 0;        // bytes of pending_ already searched for start codes
    size_t unitStart_ = 0;      // start of the access unit being collected
    bool unitHasSlice_ = false;
    bool started_ = false;
};

}  // namespace zentrecv
