// The video side of the packet stream: the compression session's output callback and
// the writer that every packet producer goes through.

#include "zentcap/capture.h"
#include "zentcap/output_writer.h"
#include "zentcap/packet.h"

namespace zentcap {

// On the compression service's thread, once per submitted frame. Every check of the
// frame happens before its first byte is written; `pending_` comes down exactly once
// per call, whatever became of the frame, and only after its write, so a slow reader
// holds back further submissions.
void Capture::encodedFrameArrived(platform::Status status, uint32_t infoFlags,
                                  const std::shared_ptr<const platform::EncodedSample>& sample) {
    if (isClosed()) {
        // The streamer is ending: the frame leaves no trace.
    } else if (status != 0) {
        fail("VideoToolbox: " + std::to_string(status));
    } else if (infoFlags & platform::kEncodeInfoFrameDropped) {
        // The encoder dropped the frame; the stream goes on without it.
    } else if (!sample) {
        fail("VideoToolbox no produjo un fotograma");
    } else {
        try {
            auto packet = videoPacket(*sample);
            std::scoped_lock lock(outputLock_);
            writePacket(packet);
        } catch (const CaptureError& error) {
            if (error.kind() != CaptureError::Kind::stopped) fail("Salida H.264: " + error.describe());
        }
    }
    std::scoped_lock lock(stateLock_);
    --pending_;
}

// The caller holds outputLock_, so packets of different producers never interleave;
// stateLock_ is taken inside for each look at `closed_`.
void Capture::writePacket(const std::vector<uint8_t>& packet) {
    writeWhole(streams_.output, packet.data(), packet.size(), [this] { return isClosed(); });
}

}  // namespace zentcap
