#pragma once
// An audio converter from float PCM to a compressed format (Opus), one packet at a
// time.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/media.h"

namespace platform {

// Uncompressed input for one conversion: mono (or the first channel) float samples.
struct PCMBuffer {
    std::vector<float> samples;
};

// Room for compressed output: at most `packetCapacity` packets of at most
// `maximumPacketSize` bytes each. After a conversion `data` holds the bytes produced
// (its size is the byte length, possibly 0).
struct CompressedBuffer {
    uint32_t packetCapacity = 1;
    uint32_t maximumPacketSize = 0;
    std::vector<uint8_t> data;
};

enum class ConverterInputStatus : int32_t { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus : int32_t { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

// Asked for input, possibly several times during one conversion: returns a buffer and
// sets `status` to haveData, or returns none and sets another status.
using ConverterInputBlock = std::function<std::shared_ptr<const PCMBuffer>(ConverterInputStatus& status)>;

class AudioConverter {
public:
    virtual ~AudioConverter() = default;
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    virtual void setBitRate(int64_t bitsPerSecond) = 0;
    // The largest packet the converter can produce, in bytes.
    virtual uint32_t maximumOutputPacketSize() const = 0;
    // Fills `output` with up to its packet capacity, pulling input through `input`. On
    // the caller's thread; one conversion at a time.
    virtual ConverterOutputStatus convert(CompressedBuffer& output, const ConverterInputBlock& input) = 0;

protected:
    AudioConverter() = default;
};

// A converter between the two formats; none when the platform cannot convert them.
std::unique_ptr<AudioConverter> createAudioConverter(const AudioStreamDescription& from,
                                                     const AudioStreamDescription& to);

}  // namespace platform
