// Runs the tests with nobody at the terminal, so that a failed check is reported and ignored
// rather than asked about.
#include <cstdio>

#include <gtest/gtest.h>

#include "TestSupport.h"

int main(int argc, char** argv) {
    if (std::freopen(test::nullDevice, "r", stdin) == nullptr) return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
