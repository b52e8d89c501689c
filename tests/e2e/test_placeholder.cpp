#include <unistd.h>
#include <gtest/gtest.h>
TEST(E2E, BinaryExists) { EXPECT_EQ(access(QUILLET_BINARY, X_OK), 0); }
