// The interrupt check of a thread: answered by the innermost scope, held
// back by a deferral and run once when it ends.
#include <gtest/gtest.h>

#include "base/interrupt.h"

namespace marrowfen {
namespace {

TEST(InterruptCheck, ScopesNestAndDeferralsRunTheCheckOnceAtTheirEnd) {
  EXPECT_TRUE(go_on_after_interrupt());  // none installed: retry
  int outer_calls = 0, inner_calls = 0;
  auto outer_fn = [&] {
    ++outer_calls;
    return false;
  };
  auto inner_fn = [&] {
    ++inner_calls;
    return true;
  };
  InterruptCheck outer(outer_fn), inner(inner_fn);
  {
    InterruptCheckScope a(outer);
    EXPECT_FALSE(go_on_after_interrupt());
    {
      InterruptCheckScope b(inner);
      EXPECT_TRUE(go_on_after_interrupt());
    }
    EXPECT_FALSE(go_on_after_interrupt());
    EXPECT_EQ(outer_calls, 2);
    EXPECT_EQ(inner_calls, 1);

    {
      InterruptCheckDeferral held;
      EXPECT_TRUE(go_on_after_interrupt());  // retried at once
      EXPECT_TRUE(go_on_after_interrupt());
      EXPECT_EQ(outer_calls, 2);
    }
    EXPECT_EQ(outer_calls, 3);  // once, at the end
    {
      InterruptCheckDeferral quiet;
    }
    EXPECT_EQ(outer_calls, 3);  // nothing was interrupted
  }
  EXPECT_TRUE(go_on_after_interrupt());
  EXPECT_EQ(outer_calls, 3);
}

}  // namespace
}  // namespace marrowfen
