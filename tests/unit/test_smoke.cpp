#include <gtest/gtest.h>

#include "util.h"

TEST(Smoke, StackAllocates)
{
    diagstk_ptr d(diagstk_new());
    ASSERT_NE(d, nullptr);
}
