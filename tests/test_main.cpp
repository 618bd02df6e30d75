// The suites' main: a test program started as a child runs only the child's
// function.
#include <gtest/gtest.h>

#include "tests/child_process.h"

int main(int argc, char** argv) {
    childtest::RunChildIfAsked(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
