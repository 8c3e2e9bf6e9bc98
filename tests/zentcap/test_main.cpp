// Death tests re-run this binary for each flow that ends the process ("threadsafe"
// style), so a child never inherits the threads of earlier tests.

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
