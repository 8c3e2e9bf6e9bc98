#include "tools/zentcap_receiver/stream_validator.h"

#include "tools/zentcap_receiver/annexb.h"

namespace zentrecv {

namespace {

std::string where(const Packet& packet) {
    return "paquete " + std::to_string(packet.index) + " (byte " + std::to_string(packet.offset) + "): ";
}

}  // namespace

std::optional<std::string> StreamValidator::check(const Packet& packet) {
    if (!packet.isVideo()) return std::nullopt;  // the parser already checked its layout
    auto problem = checkVideo(packet);
    if (problem) return where(packet) + *problem;
    sawVideo_ = true;
    lastTimestamp_ = packet.timestamp;
    return std::nullopt;
}

std::optional<std::string> StreamValidator::checkVideo(const Packet& packet) {
    bool key = packet.kind == PacketKind::Key;
    if (!sawVideo_ && !key) return "el primer fotograma no es un fotograma clave";
    if (sawVideo_ && packet.timestamp <= lastTimestamp_) {
        return "marca de tiempo " + std::to_string(packet.timestamp) + " no posterior a " +
               std::to_string(lastTimestamp_);
    }

    auto split = splitNalUnits(packet.payload);
    if (split.leadingGarbage != 0 || split.units.empty()) {
        return "la carga no empieza con el código de inicio 00 00 00 01";
    }
    bool inParameterSets = key;
    bool sawSps = false, sawPps = false, sawSlice = false, sawIdr = false;
    for (size_t i = 0; i < split.units.size(); ++i) {
        const auto& unit = split.units[i];
        auto nal = "unidad NAL " + std::to_string(i);
        if (unit.startCodeBytes != 4) return nal + " con código de inicio de 3 bytes";
        if (unit.bytes.empty()) return nal + " vacía";
        if (unit.forbiddenBitSet()) return nal + " con el bit prohibido a 1";
        uint8_t type = unit.type();
        bool parameterSet = type == static_cast<uint8_t>(NalType::Sps) || type == static_cast<uint8_t>(NalType::Pps);
        if (parameterSet) {
            if (!key) return nal + ": SPS/PPS en un fotograma que no es clave";
            if (!inParameterSets) return nal + ": SPS/PPS después de otras unidades";
            if (type == static_cast<uint8_t>(NalType::Sps)) {
                if (sawPps) return nal + ": SPS después del PPS";
                sawSps = true;
            } else {
                sawPps = true;
            }
            continue;
        }
        inParameterSets = false;
        if (isSlice(type)) sawSlice = true;
        if (type == static_cast<uint8_t>(NalType::IdrSlice)) sawIdr = true;
    }
    if (key) {
        if (!sawSps || !sawPps) return "fotograma clave sin SPS y PPS al principio";
        if (!sawIdr) return "fotograma clave sin corte IDR";
    } else if (!sawSlice) {
        return "fotograma sin cortes de imagen";
    }
    return std::nullopt;
}

}  // namespace zentrecv
