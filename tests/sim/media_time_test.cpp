// Media time comparison and arithmetic across timescales.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/media.h"

namespace {

using platform::MediaTime;

constexpr int32_t kMaxScale = std::numeric_limits<int32_t>::max();  // a prime
constexpr int64_t kMaxValue = std::numeric_limits<int64_t>::max();

struct CompareCase {
    MediaTime a, b;
    int expected;  // sign
};

TEST(MediaTimeTest, ComparesExactlyAcrossTimescales) {
    const CompareCase cases[] = {
        {{1, 2}, {24000, 48000}, 0},
        {{1, 3}, {333333, 1000000}, 1},           // no rounding to the coarser scale
        {{333333, 1000000}, {1, 3}, -1},
        {{-1, 600}, {0, 1}, -1},
        {{kMaxValue, 1}, {kMaxValue, 2}, 1},      // products beyond 64 bits
        {{kMaxValue, kMaxScale}, {kMaxValue - 1, kMaxScale}, 1},
        {{}, {0, 1}, -1},                         // invalid sorts first
        {{0, 1}, {}, 1},
        {{}, {5, 0}, 0},
        {{7, -3}, {-100, 1}, -1},                 // a negative timescale is invalid too
    };
    for (const auto& c : cases) {
        int sign = platform::compare(c.a, c.b);
        sign = (sign > 0) - (sign < 0);
        EXPECT_EQ(sign, c.expected) << c.a.value << "/" << c.a.timescale << " vs " << c.b.value << "/"
                                    << c.b.timescale;
    }
    EXPECT_TRUE((MediaTime{1, 2} == MediaTime{300, 600}));
    EXPECT_TRUE((MediaTime{1, 3} < MediaTime{1, 2}));
    EXPECT_TRUE((MediaTime{1, 2} > MediaTime{}));
}

struct ArithmeticCase {
    MediaTime a, b;
    MediaTime sum, difference;  // exact value and timescale expected
};

TEST(MediaTimeTest, AddsAndSubtractsInTheCommonTimescale) {
    const ArithmeticCase cases[] = {
        // Exact in the least common multiple.
        {{1, 600}, {1, 48000}, {81, 48000}, {79, 48000}},
        {{5, 30}, {2, 20}, {16, 60}, {4, 60}},
        {{3, 7}, {-2, 7}, {1, 7}, {5, 7}},
        {{2112, 48000}, {1, 1}, {50112, 48000}, {-45888, 48000}},
        // The multiple does not fit 32 bits: the finer timescale, rounded half away from zero.
        {{1, 48000}, {1, 1'000'000'000}, {20834, 1'000'000'000}, {20832, 1'000'000'000}},
        {{1, 2}, {0, kMaxScale}, {1073741824, kMaxScale}, {1073741824, kMaxScale}},
        {{-1, 2}, {0, kMaxScale}, {-1073741824, kMaxScale}, {-1073741824, kMaxScale}},
        {{1, 3}, {1, kMaxScale}, {715827883, kMaxScale}, {715827881, kMaxScale}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a.value << "/" << c.a.timescale << " and " << c.b.value << "/"
                                        << c.b.timescale);
        MediaTime sum = c.a + c.b;
        MediaTime difference = c.a - c.b;
        EXPECT_EQ(sum.value, c.sum.value);
        EXPECT_EQ(sum.timescale, c.sum.timescale);
        EXPECT_EQ(difference.value, c.difference.value);
        EXPECT_EQ(difference.timescale, c.difference.timescale);
    }
}

TEST(MediaTimeTest, ArithmeticWithAnInvalidOperandIsInvalid) {
    const MediaTime valid{1, 600};
    const MediaTime invalids[] = {{}, {5, 0}, {5, -600}};
    for (const auto& invalid : invalids) {
        EXPECT_FALSE((valid + invalid).valid());
        EXPECT_FALSE((invalid + valid).valid());
        EXPECT_FALSE((valid - invalid).valid());
        EXPECT_FALSE((invalid - valid).valid());
        EXPECT_FALSE((invalid + invalid).valid());
    }
}

}  // namespace
