#include "platform/instancelock.h"

#include <gtest/gtest.h>
#include <string>

#ifndef _WIN32
#include <glib.h>
#endif

namespace zelvo::platform {
namespace {

TEST(InstanceLock, SecondCopyFindsTheNameTakenUntilTheFirstEnds) {
  const std::string name = "zelvo instance lock test";
  int requests = 0;
  {
    InstanceLock holder(name);
    ASSERT_TRUE(holder.first());
    holder.serve([&requests] { ++requests; });
    InstanceLock later(name);
    EXPECT_FALSE(later.first());
    later.askFirstCopy();
#ifndef _WIN32
    // The request reaches the holder through its main loop.
    for (int i = 0; i < 200 && requests == 0; ++i)
      g_main_context_iteration(nullptr, FALSE), g_usleep(5000);
    EXPECT_EQ(requests, 1);
#endif
    EXPECT_TRUE(InstanceLock("another " + name).first());
  }
  EXPECT_TRUE(InstanceLock(name).first());
}

} // namespace
} // namespace zelvo::platform
