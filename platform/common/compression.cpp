#include "platform/compression.h"

namespace platform {

std::string_view propertyName(CompressionProperty key) {
    switch (key) {
        case CompressionProperty::realTime: return "RealTime";
        case CompressionProperty::allowFrameReordering: return "AllowFrameReordering";
        case CompressionProperty::profileLevel: return "ProfileLevel";
        case CompressionProperty::maxFrameDelayCount: return "MaxFrameDelayCount";
        case CompressionProperty::expectedFrameRate: return "ExpectedFrameRate";
        case CompressionProperty::averageBitRate: return "AverageBitRate";
        case CompressionProperty::maxKeyFrameInterval: return "MaxKeyFrameInterval";
        case CompressionProperty::maxKeyFrameIntervalDuration: return "MaxKeyFrameIntervalDuration";
    }
    return "?";
}

}  // namespace platform
