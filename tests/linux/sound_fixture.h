#pragma once
// What the sound tests share: a private sound server per test, a collector of the
// blocks a capture delivers, and the measures the tests apply to sound.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media.h"
#include "tests/support/sound_measures.h"
#include "tests/support/sound_server.h"

namespace linuxtest {

using namespace std::chrono_literals;

class SoundServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::unique_ptr<testsupport::SoundServer> server_;
};

// One delivered block: its channel-0 samples, its frame count and channel count, and
// when it reached the handler (host clock).
struct Block {
    std::vector<float> firstChannel;
    int64_t frames = 0;
    uint32_t channels = 0;
    uint64_t arrival = 0;
    platform::MediaTime presentationTime;
    platform::AudioStreamDescription description;
};

class BlockCollector {
public:
    void add(const platform::AudioSampleBuffer& sample);
    // Waits until `done` holds for the blocks so far.
    bool waitUntil(const std::function<bool(const std::vector<Block>&)>& done, std::chrono::milliseconds timeout);
    std::vector<Block> blocks() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Block> blocks_;
};

using testsupport::amplitudeAt;
using testsupport::rms;
// The samples of blocks [first, last) joined.
std::vector<float> joined(const std::vector<Block>& blocks, size_t first, size_t last);

}  // namespace linuxtest
