#include "tests/linux/sound_fixture.h"

#include <cmath>
#include <cstring>

namespace linuxtest {

void SoundServerTest::SetUp() {
    server_ = testsupport::SoundServer::start();
    ASSERT_TRUE(server_) << "the sound server did not start";
    server_->useInThisProcess();
}

void BlockCollector::add(const platform::AudioSampleBuffer& sample) {
    Block block;
    block.arrival = platform::hostTimeNanos();
    block.frames = sample.frameCount;
    block.presentationTime = sample.presentationTime;
    if (sample.description) {
        block.description = *sample.description;
        block.channels = sample.description->channelsPerFrame;
    }
    if (sample.bufferList && !sample.bufferList->empty() && (*sample.bufferList)[0].data && block.channels > 0) {
        const auto& bytes = *(*sample.bufferList)[0].data;
        const size_t frames = bytes.size() / (4 * block.channels);
        block.firstChannel.resize(frames);
        for (size_t f = 0; f < frames; ++f) std::memcpy(&block.firstChannel[f], &bytes[f * 4 * block.channels], 4);
    }
    {
        std::scoped_lock lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    changed_.notify_all();
}

bool BlockCollector::waitUntil(const std::function<bool(const std::vector<Block>&)>& done,
                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(blocks_); });
}

std::vector<Block> BlockCollector::blocks() const {
    std::scoped_lock lock(mutex_);
    return blocks_;
}

std::vector<float> joined(const std::vector<Block>& blocks, size_t first, size_t last) {
    std::vector<float> all;
    for (size_t i = first; i < last && i < blocks.size(); ++i)
        all.insert(all.end(), blocks[i].firstChannel.begin(), blocks[i].firstChannel.end());
    return all;
}

}  // namespace linuxtest
