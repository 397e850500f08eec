// Session tests run with a wait unit of 20 ms, so waits of a few units stay short.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Set before the session library first reads it.
    ::setenv("TQ_SESSION_WAIT_UNIT_MS", "20", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
