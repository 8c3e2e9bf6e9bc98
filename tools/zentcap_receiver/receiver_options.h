#pragma once
// Command line of zentcap_receiver.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zentrecv {

struct ReceiverOptions {
    std::string input;                // empty: standard input
    std::string png;                  // snapshot file, empty: none
    std::optional<uint64_t> frame;    // 0-based decoded frame for the snapshot; none: the last
    std::string mp4;                  // remuxed video, empty: none
    std::string h264;                 // raw Annex B video, empty: none
    std::optional<std::pair<int, int>> cursorAt;  // where the hot spot goes; none: frame centre
    bool drawCursor = true;
    bool stats = true;
};

struct OptionsParse {
    std::optional<ReceiverOptions> options;
    std::string error;  // set when options is empty and help was not asked for
    bool help = false;
};

OptionsParse parseOptions(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace zentrecv
