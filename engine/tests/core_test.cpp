#include <gtest/gtest.h>
#include "core/distribution.h"
TEST(Placeholder, Builds) { EXPECT_EQ(quib::core::unix_now() > 0, true); }
