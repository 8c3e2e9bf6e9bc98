#pragma once
// Handing captured sound to the program: the sample buffers it receives, and a gate
// that lets a session promise that none of its handlers runs once it is destroyed.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media.h"

namespace platform::pulse {

// Interleaved 48 kHz float32 samples as one sample buffer, stamped with the host time
// of its first frame.
std::shared_ptr<const AudioSampleBuffer> makeSampleBuffer(std::vector<uint8_t> bytes, uint32_t channels,
                                                          uint64_t hostTimeNanos);

// Runs handlers while open. close() waits for a handler that runs on another thread
// to return, so that after close() none runs; a handler may close the gate itself
// (the destructor of a session called from one of its own handlers), which is why
// the lock is recursive.
class Gate {
public:
    template <class Work>
    void run(Work&& work) {
        std::scoped_lock lock(mutex_);
        if (open_) work();
    }
    void close() {
        std::scoped_lock lock(mutex_);
        open_ = false;
    }

private:
    std::recursive_mutex mutex_;
    bool open_ = true;
};

}  // namespace platform::pulse
