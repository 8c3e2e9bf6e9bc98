#include "tools/zentcap_receiver/annexb.h"

#include <algorithm>

namespace zentrecv {

namespace {

// Offset of the next 00 00 01 at or after `from`, or stream.size().
size_t findStartCode(std::span<const uint8_t> stream, size_t from) {
    for (size_t i = from; i + 3 <= stream.size(); ++i) {
        if (stream[i + 2] > 1) {
            i += 2;  // none of the next positions can start a code ending here
            continue;
        }
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) return i;
    }
    return stream.size();
}

}  // namespace

NalSplit splitNalUnits(std::span<const uint8_t> stream) {
    NalSplit split;
    size_t code = findStartCode(stream, 0);
    if (code == stream.size()) {
        split.leadingGarbage = stream.size();
        return split;
    }
    size_t codeStart = (code > 0 && stream[code - 1] == 0) ? code - 1 : code;
    split.leadingGarbage = codeStart;
    while (code < stream.size()) {
        size_t begin = code + 3;
        size_t nextCode = findStartCode(stream, begin);
        size_t end = nextCode;
        size_t nextCodeStart = nextCode;
        if (nextCode < stream.size() && nextCode > begin && stream[nextCode - 1] == 0) {
            nextCodeStart = nextCode - 1;
            end = nextCodeStart;
        }
        NalUnit unit;
        unit.startCodeOffset = codeStart;
        unit.startCodeBytes = code - codeStart + 3;
        unit.bytes = stream.subspan(begin, end - begin);
        split.units.push_back(unit);
        code = nextCode;
        codeStart = nextCodeStart;
    }
    return split;
}

std::vector<std::vector<uint8_t>> AccessUnitSplitter::feed(std::span<const uint8_t> bytes) {
    std::vector<std::vector<uint8_t>> done;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    // A NAL header is only known once the byte after the start code is there,
    // and first_mb_in_slice needs one byte more.
    for (;;) {
        size_t code = findStartCode(pending_, scanned_);
        if (code + 5 > pending_.size()) {
            // Search again from where a start code could still be incomplete,
            // but never before the last one handled.
            size_t tail = pending_.size() >= 5 ? pending_.size() - 5 : 0;
            scanned_ = std::max({scanned_, tail, unitStart_});
            break;
        }
        size_t codeStart = (code > 0 && pending_[code - 1] == 0) ? code - 1 : code;
        uint8_t type = pending_[code + 3] & 0x1f;
        bool firstSliceOfPicture = isSlice(type) && (pending_[code + 4] & 0x80) != 0;  // ue(v) of 0 is bit '1'
        bool opensUnit = type == static_cast<uint8_t>(NalType::AccessUnitDelimiter) ||
                         type == static_cast<uint8_t>(NalType::Sps) || type == static_cast<uint8_t>(NalType::Pps) ||
                         type == static_cast<uint8_t>(NalType::Sei) || firstSliceOfPicture;
        if (started_ && unitHasSlice_ && opensUnit) {
            done.emplace_back(pending_.begin() + static_cast<std::ptrdiff_t>(unitStart_),
                              pending_.begin() + static_cast<std::ptrdiff_t>(codeStart));
            unitStart_ = codeStart;
            unitHasSlice_ = false;
        }
        if (!started_) {
            started_ = true;
            unitStart_ = codeStart;
        }
        if (isSlice(type)) unitHasSlice_ = true;
        scanned_ = code + 3;
    }
    // Keep the buffer to the unit being collected.
    if (unitStart_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(unitStart_));
        scanned_ -= unitStart_;
        unitStart_ = 0;
    }
    return done;
}

std::vector<uint8_t> AccessUnitSplitter::finish() {
    std::vector<uint8_t> last(pending_.begin() + static_cast<std::ptrdiff_t>(unitStart_), pending_.end());
    pending_.clear();
    scanned_ = unitStart_ = 0;
    unitHasSlice_ = started_ = false;
    return last;
}

}  // namespace zentrecv
