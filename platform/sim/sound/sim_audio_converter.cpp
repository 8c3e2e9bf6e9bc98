// Scripted Opus converters: creation refusals, recorded settings and input blocks, and
// packets of the sizes the test chose.

#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

namespace detail {

struct ConverterCore {
    uint64_t generation = 0;
    ConverterRecord record;
};

namespace {

// How often one conversion asks for input at most: enough for a caller that hands over
// its block in pieces, bounded for one that never says it has no more.
constexpr int kMaximumInputRequests = 8;

class ScriptedConverter : public AudioConverter {
public:
    explicit ScriptedConverter(std::shared_ptr<ConverterCore> core) : core_(std::move(core)) {}

    void setBitRate(int64_t bitsPerSecond) override {
        std::scoped_lock lock(state().mutex);
        core_->record.bitRates.push_back(bitsPerSecond);
        notifyChanged();
    }

    uint32_t maximumOutputPacketSize() const override {
        std::scoped_lock lock(state().mutex);
        return sound().converterScript.maximumOutputPacketSize;
    }

    // Like a real converter, it pulls input until the caller has none for now, then
    // encodes one packet when it was given at least a packet's worth of frames (what
    // remains of a short input is not kept for the next conversion).
    ConverterOutputStatus convert(CompressedBuffer& output, const ConverterInputBlock& input) override {
        size_t framesPerPacket;
        {
            std::scoped_lock lock(state().mutex);
            if (!current(core_->generation)) return ConverterOutputStatus::error;
            framesPerPacket = core_->record.to.framesPerPacket > 0 ? core_->record.to.framesPerPacket : 960;
        }
        output.data.clear();
        ConversionRecord conversion;
        conversion.packetCapacity = output.packetCapacity;
        conversion.maximumPacketSize = output.maximumPacketSize;

        size_t frames = 0;
        auto last = ConverterInputStatus::noDataNow;
        for (int request = 0; request < kMaximumInputRequests; ++request) {
            // A value the block must overwrite; the record shows when it did not.
            auto status = static_cast<ConverterInputStatus>(-1);
            auto buffer = input ? input(status) : nullptr;
            conversion.inputStatuses.push_back(status);
            last = status;
            if (status != ConverterInputStatus::haveData) break;
            if (!buffer) {
                last = static_cast<ConverterInputStatus>(-1);
                break;
            }
            conversion.blocks.push_back(buffer->samples);
            frames += buffer->samples.size();
        }

        std::scoped_lock lock(state().mutex);
        if (last == static_cast<ConverterInputStatus>(-1)) {
            conversion.result = ConverterOutputStatus::error;  // haveData without a buffer, or no status
        } else if (frames < framesPerPacket) {
            conversion.result = last == ConverterInputStatus::endOfStream ? ConverterOutputStatus::endOfStream
                                                                           : ConverterOutputStatus::inputRanDry;
        } else {
            auto& script = sound().converterScript;
            auto& next = sound().nextConversion;
            Conversion outcome = next < script.conversions.size() ? script.conversions[next++] : script.otherwise;
            conversion.result = outcome.status;
            if (outcome.status == ConverterOutputStatus::haveData) {
                if (output.packetCapacity < 1 || outcome.bytes > output.maximumPacketSize) {
                    conversion.result = ConverterOutputStatus::error;  // the packet does not fit
                } else {
                    output.data = scriptedPacket(core_->record.conversions.size(), outcome.bytes);
                }
            }
        }
        conversion.output = output.data;
        core_->record.conversions.push_back(std::move(conversion));
        notifyChanged();
        return core_->record.conversions.back().result;
    }

private:
    std::shared_ptr<ConverterCore> core_;
};

}  // namespace

}  // namespace detail

using detail::sound;
using detail::state;

void setConverterScript(ConverterScript script) {
    std::scoped_lock lock(state().mutex);
    sound().converterScript = std::move(script);
    sound().nextConversion = 0;
}

int converterCreations() {
    std::scoped_lock lock(state().mutex);
    return sound().converterCreations;
}

ConverterRecord converterRecord() {
    std::scoped_lock lock(state().mutex);
    auto& core = sound().converter;
    return core && detail::current(core->generation) ? core->record : ConverterRecord{};
}

std::vector<uint8_t> scriptedPacket(size_t index, uint32_t bytes) {
    std::vector<uint8_t> packet(bytes);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(index * 31 + i);
    return packet;
}

}  // namespace platform::sim

namespace platform {

std::unique_ptr<AudioConverter> createAudioConverter(const AudioStreamDescription& from,
                                                     const AudioStreamDescription& to) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& sound = sim::detail::sound();
    ++sound.converterCreations;
    auto core = std::make_shared<sim::detail::ConverterCore>();
    core->generation = sim::detail::state().generation;
    core->record.from = from;
    core->record.to = to;
    core->record.created = !sound.converterScript.refuseCreation;
    sound.converter = core;
    sim::detail::notifyChanged();
    if (!core->record.created) return nullptr;
    return std::make_unique<sim::detail::ScriptedConverter>(core);
}

}  // namespace platform
