// Feeds arbitrary bytes to the receiver's stream checks, in chunks of sizes taken
// from the input itself, the way a pipe hands them over. Whatever the bytes, the
// parser must frame, check and refuse without crashing, and once it reports an
// error it must stay in that state.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include "tools/zentcap_receiver/packet_parser.h"
#include "tools/zentcap_receiver/stream_validator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the chunk size, so that headers split across reads are
    // explored as well as whole ones.
    const size_t chunk = 1 + data[0] % 64;
    std::span<const uint8_t> stream(data + 1, size - 1);

    zentrecv::PacketParser parser;
    zentrecv::StreamValidator validator;
    bool failed = false;
    for (size_t offset = 0; offset < stream.size(); offset += chunk) {
        parser.feed(stream.subspan(offset, std::min(chunk, stream.size() - offset)));
        while (auto packet = parser.next()) {
            if (failed) std::abort();  // no packet may come out after an error
            if (packet->kind == zentrecv::PacketKind::Cursor) {
                zentrecv::parseCursorPayload(packet->payload);
            }
            validator.check(*packet);
        }
        if (parser.error()) failed = true;
    }
    return 0;
}
